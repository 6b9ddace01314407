#include "designs/covariance.hpp"

#include <algorithm>
#include <cmath>

#include "base/numeric.hpp"

namespace varnel_core {

CovarianceDesign::CovarianceDesign(const StridedMatrix& x, std::span<const double> w,
                                   std::span<const double> centre, std::span<const double> scale,
                                   const Flags& include, Vec gradient, const Interrupt& interrupt,
                                   std::size_t min_batch)
    : include_(include), g_(std::move(gradient)),
      columns_(x, w, centre, scale, interrupt, min_batch) {
    require(g_.size() == x.ncols && include.size() == x.ncols,
            "covariance design: inputs of the wrong length");
}

CovarianceDesign::CovarianceDesign(Vec products, const Flags& include, Vec gradient,
                                   const Interrupt&)
    : include_(include), g_(std::move(gradient)), columns_(std::move(products), g_.size()) {
    require(include.size() == g_.size(), "covariance design: inputs of the wrong length");
}

void CovarianceDesign::defer(std::size_t j, double delta) {
    const std::size_t p = g_.size();
    const double* c = columns_.column(j);
    for (std::size_t k = 0; k < p; ++k) g_[k] -= delta * c[k];  // g -= delta C[:, j]
}

void CovarianceDesign::abs_gradients(const Flags& include, const Flags* skip,
                                     std::span<double> out) const {
    for (std::size_t j = 0; j < g_.size(); ++j)
        if (include[j] && !(skip && (*skip)[j])) out[j] = std::abs(g_[j]);
}

void CovarianceDesign::strong_set_grew(const Flags& strong) {
    columns_.grow(strong, include_, [&](std::size_t j) { return std::abs(g_[j]); });
}

}  // namespace varnel_core
