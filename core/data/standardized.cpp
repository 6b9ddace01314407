#include "data/standardized.hpp"

namespace varnel_core {

void centre_full_columns(CscMatrix& x, Vec& centre, std::span<const double> w) {
    require(w.empty() || w.size() == x.rows(), "weights of the wrong length");
    double total = 0.0;
    for (const double wi : w) total += wi;
    for (std::size_t j = 0; j < x.cols(); ++j) {
        if (x.stored(j) != x.rows() || centre[j] == 0.0) continue;
        double* s = x.writable_values_of(j);
        const std::uint64_t* r = x.rows_of(j);
        double drift = 0.0;
        for (std::size_t e = 0; e < x.stored(j); ++e) {
            s[e] = s[e] - centre[j];
            if (!w.empty()) drift += w[r[e]] * s[e];
        }
        if (!w.empty()) {
            drift /= total;
            for (std::size_t e = 0; e < x.stored(j); ++e) s[e] = s[e] - drift;
        }
        centre[j] = 0.0;
    }
}

}  // namespace varnel_core
