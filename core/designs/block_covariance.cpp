#include "designs/block_covariance.hpp"

#include <utility>

namespace varnel_core {

BlockCovarianceDesign::BlockCovarianceDesign(ProductColumns columns, const Flags& include,
                                             Vec gradient, std::size_t width)
    : include_(include), g_(std::move(gradient)), nk_(width), columns_(std::move(columns)) {
    require(width >= 1 && g_.size() == checked_size(columns_.size(), width) &&
                include.size() == columns_.size(),
            "block covariance design: inputs of the wrong length");
}

void BlockCovarianceDesign::defer(std::size_t j, std::span<const double> delta) {
    const std::size_t p = columns_.size(), nk = nk_;
    const double* c = columns_.column(j);
    for (std::size_t l = 0; l < p; ++l)
        for (std::size_t k = 0; k < nk; ++k) g_[l * nk + k] -= delta[k] * c[l];  // g -= C[:, j] d'
}

void BlockCovarianceDesign::strong_set_grew(const Flags& strong) {
    columns_.grow(strong, include_, [&](std::size_t j) {
        double s = 0.0;
        for (std::size_t k = 0; k < nk_; ++k) s += g_[j * nk_ + k] * g_[j * nk_ + k];
        return s;
    });
}

}  // namespace varnel_core
