#include "designs/glm_matrix.hpp"

#include <algorithm>

namespace varnel_core {

void DenseGlm::linear_predictor(std::span<const double> coef, std::span<const std::size_t> active,
                                double intercept, std::span<double> eta) const {
    require(eta.size() >= nrows, "eta shorter than the columns");
    double* e = eta.data();
    std::fill(e, e + nrows, 0.0);
    // s_i += b_k * x_ik in list order; four columns per sweep over s keep the
    // same sequence of additions for every i.
    std::size_t a = 0;
    for (; a + 4 <= active.size(); a += 4) {
        const double* x[4];
        double c[4];
        for (std::size_t t = 0; t < 4; ++t) {
            require(active[a + t] < coef.size(), "active index out of range");
            c[t] = coef[active[a + t]];
            x[t] = col(active[a + t]);
        }
        for (std::size_t i = 0; i < nrows; ++i)
            e[i] = (((e[i] + c[0] * x[0][i]) + c[1] * x[1][i]) + c[2] * x[2][i]) + c[3] * x[3][i];
    }
    for (; a < active.size(); ++a) {
        require(active[a] < coef.size(), "active index out of range");
        const double c = coef[active[a]];
        const double* x = col(active[a]);
        for (std::size_t i = 0; i < nrows; ++i) e[i] = e[i] + c * x[i];
    }
    for (std::size_t i = 0; i < nrows; ++i) e[i] = intercept + e[i];
}

void DenseGlm::weighted_sumsq_flagged(const Flags& flags, std::span<const double> v,
                                      std::span<double> out) const {
    require(v.size() >= nrows && flags.size() == ncols && out.size() >= ncols,
            "weighted_sumsq_flagged: vectors of the wrong length");
    std::size_t js[4];
    const double* cols[4];
    double s[4];
    std::size_t k = 0;
    auto flush_batch = [&] {
        wsumsq4_batch(v.data(), cols, k, nrows, s);
        for (std::size_t c = 0; c < k; ++c) out[js[c]] = s[c];
        k = 0;
    };
    for (std::size_t j = 0; j < ncols; ++j) {
        if (!flags[j]) continue;
        js[k] = j;
        cols[k++] = col(j);
        if (k == 4) flush_batch();
    }
    if (k) flush_batch();
}

}  // namespace varnel_core
