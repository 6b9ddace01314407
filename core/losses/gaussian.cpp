#include "losses/gaussian.hpp"

#include <limits>

namespace varnel_core {

bool GaussianFamily::little_progress(std::uint64_t m, double rsq, const SolutionStore& store) const {
    const double prev = m == 0 ? 0.0 : store.dev(m - 1);
    const double drsq = rsq == 0.0 ? std::numeric_limits<double>::infinity() : (rsq - prev) / rsq;
    return drsq < min_dev_change_;
}

}  // namespace varnel_core
