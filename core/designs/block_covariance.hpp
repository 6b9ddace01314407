// The covariance design of least squares with K responses: gradients kept
// in p x K.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "kernels/gram.hpp"

namespace varnel_core {

// For the standardized columns z_j = sqrt(w) (x_j - m_j) / s_j and the
// residuals r_.k of the K responses, it keeps g_jk = <z_j, r_.k> of every
// variable (at j * K + k).  A block step of d on b_j. moves g_.k by
// -d_k C[:, j], C[l, j] = <z_l, z_j>: one column of products serves the K
// responses.  The columns of C come from the Gram kernel, all at once or,
// as for one response (designs/covariance.hpp), for a batch of columns when
// they join the strong set, topped up with the largest gradients outside it
// (by the Euclidean norm of g_j.) and growing geometrically.  A step costs
// O(p K); x is read only to form the products.
//
// Reproducibility: the products are gram_columns' (or gram_full's, the same
// entries), whose bits depend neither on the memory layout of x nor on the
// vector unit, nor on the batches; so the path has the same bits for the
// same input in any layout.
class BlockCovarianceDesign {
public:
    // `centre` holds the centres (zeros without an intercept), `scale` the
    // column scales, `gradient` the gradients at b = 0 (p x K).  `x` must
    // stay valid while the design lives.
    BlockCovarianceDesign(const StridedMatrix& x, std::span<const double> w,
                          std::span<const double> centre, std::span<const double> scale,
                          const Flags& include, Vec gradient, std::size_t width, bool all_at_once,
                          const Interrupt& interrupt);

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

    // Columns formed so far (for the tests).
    std::size_t formed() const { return slot_count_; }

private:
    double block_norm(std::size_t j) const;

    StridedMatrix x_;
    std::span<const double> w_;
    std::span<const double> centre_;
    std::span<const double> scale_;
    const Flags& include_;
    Vec g_;
    std::size_t nk_;
    std::vector<std::ptrdiff_t> slot_;  // column of C holding variable j, or -1
    Vec products_;                      // the formed columns of C, p values each
    std::size_t slot_count_ = 0;
    std::vector<std::size_t> batch_;
    const Interrupt& interrupt_;
};

}  // namespace varnel_core
