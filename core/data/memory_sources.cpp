#include "data/memory_sources.hpp"

#include <algorithm>

#include "base/errors.hpp"

namespace varnel_core {

FixedWeightsSource::FixedWeightsSource(const StridedMatrix& x, std::span<const double> w,
                                       std::span<const double> centre,
                                       std::span<const double> scale, std::size_t n_threads,
                                       const Interrupt& interrupt)
    : x_(x), w_(w), centre_(centre), scale_(scale), threads_(std::max<std::size_t>(n_threads, 1)),
      interrupt_(interrupt) {
    require(scale.size() == x.ncols && (centre.empty() || centre.size() == x.ncols) &&
                w.size() == x.nrows,
            "fixed weights source: inputs of the wrong length");
}

void FixedWeightsSource::products(std::span<const std::size_t> cols, double* out) {
    gram_columns(x_, w_, Centring::given, centre_, scale_, cols, out, x_.ncols, {},
                 GramKernel::best, {}, threads_, interrupt_);
}

}  // namespace varnel_core
