// The designs of least squares with fixed weights: the residual r of the
// standardized response, moved by -delta * z_j at each coordinate step.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "data/csc.hpp"
#include "data/dense.hpp"
#include "data/gradient_bounds.hpp"
#include "data/pending.hpp"
#include "data/standardized.hpp"

namespace varnel_core {

// The dense copy standardized in place, its rows already scaled by
// sqrt(w): z_j is column j itself and <z_j, r> an unweighted dot4.
class DenseLeastSquaresColumns {
public:
    explicit DenseLeastSquaresColumns(DenseMatrix x) : x_(std::move(x)) {}
    std::size_t rows() const { return x_.rows(); }
    double grad(std::size_t j, std::span<const double> r, double) const { return x_.dot(j, r); }
    void grad_batch(std::span<const std::size_t> js, std::span<const double> r, double,
                    double* out) const {
        x_.dot_batch(js, r, out);
    }
    void update_residual(std::size_t j, double delta, std::span<double> r, double&) const {
        x_.axpy(j, delta, r);
    }
    double update_then_grad(std::size_t j, double delta, std::span<double> r, double&,
                            std::size_t k) const {
        return x_.axpy_then_dot(j, delta, r, k);
    }

private:
    DenseMatrix x_;
};

// A dense matrix read in place under the standardized view, with the
// weights applied in the updates: the residual held is u_i = w_i r_i, so
// that <z_j, r>_w = <z_j, u> (dot4 over (x_ij - c_j) u_i, divided by s_j)
// and a step moves u by -(w_i delta / s_j)(x_ij - c_j).
class WeightedDenseColumns {
public:
    // `w` (the normalized weights) must outlive this object.
    WeightedDenseColumns(Standardized<DenseMatrix> z, std::span<const double> w)
        : z_(std::move(z)), w_(w) {
        require(w.size() == z_.rows() && (z_.base().strided().row_stride == 1 || z_.rows() <= 1),
                "weights of the wrong length or columns that are not contiguous");
    }
    std::size_t rows() const { return z_.rows(); }
    double grad(std::size_t j, std::span<const double> u, double) const { return z_.dot(j, u); }
    void grad_batch(std::span<const std::size_t> js, std::span<const double> u, double,
                    double* out) const {
        z_.dot_batch(js, u, out);
    }
    void update_residual(std::size_t j, double delta, std::span<double> u, double&) const {
        z_.weighted_axpy(j, w_, delta, u);
    }
    double update_then_grad(std::size_t j, double delta, std::span<double> u, double&,
                            std::size_t k) const {
        return z_.weighted_axpy_then_dot(j, w_, delta, u, k);
    }

private:
    Standardized<DenseMatrix> z_;
    std::span<const double> w_;
};

// CSC columns under the standardized view, the weights applied implicitly:
// the residual is r + shift on every row, and since it stays centred under
// w (sum_i w_i (r_i + shift) = 0), <z_j, r + shift>_w needs no centring term:
// sum over stored k of (r_i + shift) * (x_k * w_i), divided by s_j (the
// product x_k * w_i formed as it is read, so that nothing of the size of x
// is stored).
class SparseLeastSquaresColumns {
public:
    // `w` are the normalized weights, which the view's recentring also uses;
    // they must outlive this object.
    SparseLeastSquaresColumns(Standardized<CscMatrix> z, std::span<const double> w);
    std::size_t rows() const { return z_.rows(); }
    double grad(std::size_t j, std::span<const double> r, double shift) const;
    // out[c] = grad(js[c], r, shift) for up to four columns, their sums
    // interleaved so that the add chains overlap.
    void grad_batch(std::span<const std::size_t> js, std::span<const double> r, double shift,
                    double* out) const;
    // r_i -= x_k * delta / s_j on stored rows; shift += delta / s_j * c_j
    void update_residual(std::size_t j, double delta, std::span<double> r, double& shift) const;
    double update_then_grad(std::size_t j, double delta, std::span<double> r, double& shift,
                            std::size_t k) const {
        update_residual(j, delta, r, shift);
        return grad(k, r, shift);
    }

    const Standardized<CscMatrix>& view() const { return z_; }
    std::span<const double> weights() const { return w_; }

private:
    Standardized<CscMatrix> z_;
    std::span<const double> w_;  // the normalized weights (outlive this object)
};

// The view and residual of SparseLeastSquaresColumns for the fits that need
// not keep elnet_sparse's bits (the `fit` entry): a gradient sums the terms
// (r_i + shift) * (x_k * w_i) of its stored entries in four interleaved
// partial sums, entry e into sum e mod 4 over the full groups of four,
// combined as (s0 + s1) + (s2 + s3), then the remaining (< 4) terms added in
// order; equal weights are read as one number (the same bits).  A batch is
// four such gradients.  Its design may skip a column of the optimality
// check by a bound (bounded_checks; data/gradient_bounds.hpp).
class InterleavedSparseColumns {
public:
    static constexpr bool bounded_checks = true;

    InterleavedSparseColumns(Standardized<CscMatrix> z, std::span<const double> w);
    std::size_t rows() const { return base_.rows(); }
    double grad(std::size_t j, std::span<const double> r, double shift) const;
    void grad_batch(std::span<const std::size_t> js, std::span<const double> r, double shift,
                    double* out) const {
        for (std::size_t c = 0; c < js.size(); ++c) out[c] = grad(js[c], r, shift);
    }
    void update_residual(std::size_t j, double delta, std::span<double> r, double& shift) const {
        base_.update_residual(j, delta, r, shift);
    }
    double update_then_grad(std::size_t j, double delta, std::span<double> r, double& shift,
                            std::size_t k) const {
        update_residual(j, delta, r, shift);
        return grad(k, r, shift);
    }
    std::span<const double> weights() const { return base_.weights(); }
    // sum_i w_i (x_ij / s_j)^2: the squared length, under the weights, of the
    // column as grad() reads it (about no centre; its centring term vanishes
    // only on a centred residual)
    double squared_norm(std::size_t j) const {
        const double s = base_.view().scale(j);
        return base_.view().base().weighted_sums(j, base_.weights()).squares / (s * s);
    }

private:
    SparseLeastSquaresColumns base_;
    bool equal_weights_ = false;
};

// Least squares: gradient(j) = <z_j, r> after any deferred step, defer(j, d)
// r -= d z_j (applied with the next gradient, fused into its sweep), and
// the gradients of every included variable four at a time.  Columns is
// DenseLeastSquaresColumns, WeightedDenseColumns, SparseLeastSquaresColumns or
// InterleavedSparseColumns.
template <class Columns>
class LeastSquaresDesign {
public:
    LeastSquaresDesign(Columns x, Vec resid, const Interrupt& interrupt)
        : x_(std::move(x)), r_(std::move(resid)), interrupt_(interrupt) {}

    std::size_t rows() const { return x_.rows(); }
    std::size_t step_work() const { return x_.rows(); }
    double gradient(std::size_t j) {
        if (!step_.take()) return x_.grad(j, r_, shift_);
        return x_.update_then_grad(step_.j, step_.delta, r_, shift_, j);
    }
    void defer(std::size_t j, double delta) { step_.set(j, delta); }
    void flush() {
        if (step_.take()) x_.update_residual(step_.j, step_.delta, r_, shift_);  // r -= delta * z_j
    }
    void abs_gradients(const Flags& include, const Flags* skip, std::span<double> out) const {
        abs_gradient_batches(include, skip, out, [&](std::span<const std::size_t> js, double* g) {
            x_.grad_batch(js, r_, shift_, g);
            interrupt_.tick(js.size() * rows());
        });
    }

    // The optimality check of the variables outside `skip` (the strong set)
    // at penalty l1: |g_j|, or a bound of it below l1 v_j
    // (data/gradient_bounds.hpp), for the columns that allow it.
    void check_gradients(const Flags& include, const Flags& skip, std::span<const double> penalty,
                         double l1, std::span<double> out)
        requires Columns::bounded_checks
    {
        bounds_.check(x_, r_, shift_, include, skip, penalty, l1, out, interrupt_);
    }

private:
    Columns x_;
    GradientBounds bounds_;
    Vec r_;
    double shift_ = 0.0;  // residual offset; stays 0 for a dense matrix
    PendingStep step_;
    const Interrupt& interrupt_;
};

}  // namespace varnel_core
