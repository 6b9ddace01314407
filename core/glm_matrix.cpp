#include "glm_matrix.hpp"

#include <algorithm>

namespace varnel_core {

void DenseGlm::linear_predictor(std::span<const double> coef, std::span<const std::size_t> active,
                                double intercept, std::span<double> eta) const {
    require(eta.size() >= nrows, "eta shorter than the columns");
    double* e = eta.data();
    std::fill(e, e + nrows, 0.0);
    for (const std::size_t k : active) {
        require(k < coef.size(), "active index out of range");
        const double c = coef[k];
        const double* x = col(k);
        for (std::size_t i = 0; i < nrows; ++i) e[i] = e[i] + c * x[i];  // s_i += b_k * x_ik
    }
    for (std::size_t i = 0; i < nrows; ++i) e[i] = intercept + e[i];
}

}  // namespace varnel_core
