// The covariance design of least squares with K responses: gradients kept
// in p x K.
#pragma once

#include <cstddef>
#include <span>

#include "base/numeric.hpp"
#include "designs/product_columns.hpp"

namespace varnel_core {

// For the standardized columns z_j = sqrt(w) (x_j - m_j) / s_j and the
// residuals r_.k of the K responses, it keeps g_jk = <z_j, r_.k> of every
// variable (at j * K + k).  A block step of d on b_j. moves g_.k by
// -d_k C[:, j], C[l, j] = <z_l, z_j>: one column of products serves the K
// responses.  The columns are given at once or formed as variables join the
// strong set (designs/product_columns.hpp), topped up with the largest
// gradients outside it by the Euclidean norm of g_j.  A step costs O(p K);
// x is read only to form the products.
//
// Reproducibility: the products' bits depend neither on the memory layout
// of x nor on the vector unit, nor on the batches (see gram.hpp); so the
// path has the same bits for the same input in any layout.
class BlockCovarianceDesign {
public:
    // `gradient`: the gradients at b = 0 (p x K).
    BlockCovarianceDesign(ProductColumns columns, const Flags& include, Vec gradient,
                          std::size_t width);

    std::size_t width() const { return nk_; }
    std::size_t step_work() const { return g_.size(); }

    void gradient(std::size_t j, std::span<double> g) const {
        for (std::size_t k = 0; k < nk_; ++k) g[k] = g_[j * nk_ + k];
    }
    void defer(std::size_t j, std::span<const double> delta);
    void flush() {}
    template <class Magnitude>
    void abs_gradients(const Flags& include, const Flags* skip, std::span<double> out,
                       Magnitude&& magnitude) const {
        for (std::size_t j = 0; j < include.size(); ++j)
            if (include[j] && !(skip && (*skip)[j]))
                out[j] = magnitude(std::span<const double>(g_).subspan(j * nk_, nk_));
    }
    // Forms the products of the strong variables that have none yet.
    void strong_set_grew(const Flags& strong);

private:
    const Flags& include_;
    Vec g_;
    std::size_t nk_;
    ProductColumns columns_;
};

}  // namespace varnel_core
