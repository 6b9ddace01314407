// The covariance design of least squares: gradients kept in p-space.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "kernels/gram.hpp"

namespace varnel_core {

// For the standardized columns z_j = sqrt(w) (x_j - m_j) / s_j and the
// residual r, it keeps g_j = <z_j, r> of every variable.  A step of delta on
// b_k moves every g by -delta C[:, k], where C[j, k] = <z_j, z_k> comes from
// the Gram kernel, formed for a batch of columns when they join the strong
// set (with the columns of the largest gradients outside it, the batches
// growing geometrically, so that the passes over x are few), or all at once
// by the caller.  A coordinate step costs O(p), independent of n; x is read
// only to form the batches.
//
// Reproducibility: the products come from gram_columns, whose bits do not
// depend on the memory layout of x nor on the CPU's vector unit; which
// columns a batch holds does not change them either (see gram.hpp).  The
// path therefore has the same bits for the same input in any layout, but
// they differ from those of the naive (residual) design.
class CovarianceDesign {
public:
    // `centre` holds the means (empty without an intercept), `scale` the
    // column scales, `gradient` the gradients at b = 0.  `x` must stay valid
    // while the design lives.
    CovarianceDesign(const StridedMatrix& x, std::span<const double> w, std::span<const double> centre,
                     std::span<const double> scale, const Flags& include, Vec gradient,
                     const Interrupt& interrupt, std::size_t min_batch = 32);
    // Every product given at once: `products` is C, p x p column-major.
    CovarianceDesign(Vec products, const Flags& include, Vec gradient, const Interrupt& interrupt);

    std::size_t step_work() const { return g_.size(); }

    double gradient(std::size_t j) {
        flush();
        return g_[j];
    }
    void defer(std::size_t j, double delta);
    void flush() {}
    void abs_gradients(const Flags& include, const Flags* skip, std::span<double> out) const;
    // Forms the products of the strong variables that have none yet.
    void strong_set_grew(const Flags& strong);

    // Columns formed so far (for the tests).
    std::size_t formed() const { return slot_count_; }
    // The threads of the passes that form products (1 by default).
    void use_threads(std::size_t n) { threads_ = std::max<std::size_t>(n, 1); }

private:
    StridedMatrix x_;
    std::span<const double> w_;
    std::span<const double> centre_;
    std::span<const double> scale_;
    const Flags& include_;
    Vec g_;
    std::size_t min_batch_;
    std::vector<std::ptrdiff_t> slot_;  // column of C holding variable j, or -1
    Vec products_;                       // the formed columns of C, p values each
    std::size_t slot_count_ = 0;
    std::vector<std::size_t> batch_;     // scratch for one batch
    std::size_t threads_ = 1;
    const Interrupt& interrupt_;
};

}  // namespace varnel_core
