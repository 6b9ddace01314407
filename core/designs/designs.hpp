// The designs of the coordinate-descent engine: a matrix of standardized
// predictors z_j together with the residual r it keeps (see engine.hpp for
// the operations).
//
//   FixedWeightDesign<Dense>   least squares on a dense copy standardized in
//                              place, rows already scaled by sqrt(w)
//   FixedWeightDesign<Sparse>  least squares on CSC arrays; centring, scaling
//                              and the weights w applied implicitly
//   DenseWorkingDesign         reweighting families on a dense copy centred
//                              and scaled in place; working weights v
//   SparseWorkingDesign        reweighting families on CSC arrays; centring
//                              and scaling implicit; working weights v
//   DenseBlockDesign           the multinomial family (K classes) on a dense
//   SparseBlockDesign          copy or on CSC arrays: an n x K residual and
//                              n x K working weights
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>

#include "kernels/block_kernels.hpp"
#include "designs/glm_matrix.hpp"
#include "designs/matrix.hpp"
#include "base/numeric.hpp"

namespace varnel_core {

// abs_grad_j = |grad_j| for every included j (outside `skip` when given),
// four columns at a time through `batch(js, count, out)`.
template <class Batch>
void abs_gradient_batches(const Flags& include, const Flags* skip, std::span<double> abs_grad,
                          Batch&& batch) {
    std::size_t js[4];
    double g[4];
    std::size_t k = 0;
    auto flush_batch = [&] {
        batch(std::span<const std::size_t>(js, k), g);
        for (std::size_t c = 0; c < k; ++c) abs_grad[js[c]] = std::abs(g[c]);
        k = 0;
    };
    for (std::size_t j = 0; j < include.size(); ++j) {
        if (include[j] && !(skip && (*skip)[j])) {
            js[k++] = j;
            if (k == 4) flush_batch();
        }
    }
    if (k) flush_batch();
}

// The residual update of the latest coordinate step, deferred until the
// next gradient so that both can share one sweep over the residual.
struct PendingStep {
    bool pending = false;
    std::size_t j = 0;
    double delta = 0.0;

    void set(std::size_t column, double d) {
        pending = true;
        j = column;
        delta = d;
    }
    // True (once) when a step is waiting.
    bool take() { return std::exchange(pending, false); }
};

// The same for a block step: one move per class (copied).
struct PendingBlockStep {
    bool pending = false;
    std::size_t j = 0;
    Vec delta;

    explicit PendingBlockStep(std::size_t classes) : delta(classes, 0.0) {}
    void set(std::size_t column, std::span<const double> d) {
        require(d.size() == delta.size(), "one step per class");
        pending = true;
        j = column;
        std::copy(d.begin(), d.end(), delta.begin());
    }
    bool take() { return std::exchange(pending, false); }
};

// Least squares with fixed weights: the residual is r (+ shift for a sparse
// matrix) and a step moves it by -delta * z_j.  M is Dense or Sparse.
template <class M>
class FixedWeightDesign {
public:
    FixedWeightDesign(const M& x, Vec resid) : x_(x), r_(std::move(resid)) {}

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
        });
    }

private:
    const M& x_;
    Vec r_;
    double shift_ = 0.0;  // residual offset; stays 0 for a dense matrix
    PendingStep step_;
};

// Reweighting families on a dense matrix centred and scaled in place: the
// residual r is the weighted working residual, and a step moves it by
// -delta * v * x_j.
class DenseWorkingDesign {
public:
    explicit DenseWorkingDesign(DenseGlm x) : x_(std::move(x)), r_(x_.nrows), v_(x_.nrows) {}

    const DenseGlm& matrix() const { return x_; }

    double gradient(std::size_t j) {
        if (!step_.take()) return x_.dot(j, r_);
        return x_.update_then_dot(step_.j, v_, step_.delta, r_, j);
    }
    void defer(std::size_t j, double delta) { step_.set(j, delta); }
    void flush() {
        if (step_.take()) x_.update(step_.j, v_, step_.delta, r_);  // r -= (v * delta) * x_j
    }
    void abs_gradients(const Flags& include, const Flags* skip, std::span<double> out) const {
        abs_gradient_batches(include, skip, out, [&](std::span<const std::size_t> js, double* g) {
            x_.dot_batch(js, r_, g);
        });
    }
    void curvatures(const Flags& flags, std::span<double> out) const {
        x_.weighted_sumsq_flagged(flags, v_, out);
    }
    double residual_sum() const {
        double s = 0.0;
        for (const double r : r_) s += r;
        return s;
    }
    void subtract_weights(double d) {
        for (std::size_t i = 0; i < r_.size(); ++i) r_[i] -= v_[i] * d;  // r -= v * d
    }
    void linear_predictor(std::span<const double> coef, std::span<const std::size_t> active,
                          double intercept, std::span<double> eta) const {
        x_.linear_predictor(coef, active, intercept, eta);
    }
    std::span<double> weights() { return v_; }
    std::span<double> residual() { return r_; }
    void begin_refit() {}
    void end_refit() {}

private:
    DenseGlm x_;
    Vec r_;
    Vec v_;
    PendingStep step_;
};

// Compressed sparse columns as the reweighting families' sparse designs
// hold them, never densified.  The standardized column is
// z_j = (s_j - c_j) / x_scale_j, where s_j holds the stored values (0
// elsewhere) and c_j is the column's centre; a column that stores every row
// keeps its values centred instead (c_j = 0), so that a large mean never
// enters the arithmetic.  Also holds W columns of working weights v (n x W,
// row-major; W = 1 but for the multinomial family), their sums V and
// <s_j, v_.k>, refreshed with the curvatures.
class SparseColumns {
public:
    // out_jk = sum_i v_ik z_ij^2 for the flagged j (at j * W + k); also
    // refreshes <s_j, v_.k> of those columns.
    void curvatures(const Flags& flags, std::span<double> out);
    std::span<double> weights() { return v_; }
    // eta_ik = b0_k + sum over active j of coef_jk z_ij for the K = b0.size()
    // classes; eta is row-major, coef holds variable j's K values at j * K.
    void linear_predictor(std::span<const double> coef, std::span<const std::size_t> active,
                          std::span<const double> b0, std::span<double> eta) const;

    std::size_t nrows() const { return nrows_; }
    std::size_t ncols() const { return ncols_; }

protected:
    // `values` are the caller's; `centre` the weighted means (0 without an
    // intercept) and `scale` the scales of the columns (1 for skipped ones).
    SparseColumns(Index col_ptr, Index row_idx, Vec values, Vec centre, Vec scale,
                  std::size_t nrows, std::size_t width);

    const std::uint64_t* rows(std::size_t j) const { return row_idx_.data() + col_ptr_[j]; }
    const double* stored(std::size_t j) const { return values_.data() + col_ptr_[j]; }
    std::size_t nstored(std::size_t j) const { return col_ptr_[j + 1] - col_ptr_[j]; }

    Index col_ptr_;
    Index row_idx_;
    Vec values_;
    Vec centre_;
    Vec scale_;
    std::size_t nrows_;
    std::size_t ncols_;
    std::size_t width_;
    Vec v_;
    Vec sv_;    // <s_j, v_.k> of the columns whose curvature is current, at j * W + k
    Vec vsum_;  // sum_i v_ik
};

// Reweighting families on compressed sparse columns.  The residual is kept
// as r = q + sigma * v, so that the part of a step (or of an intercept step)
// that touches every row costs O(1):
//   <z_j, r>      = (<s_j, q> + sigma <s_j, v> - c_j (Q + sigma V)) / x_scale_j
//   r -= d v z_j:   q -= (d / x_scale_j) v s_j,  sigma += (d / x_scale_j) c_j,
//                   Q -= (d / x_scale_j) <s_j, v>
// with Q = sum q and V = sum v.
class SparseWorkingDesign : public SparseColumns {
public:
    SparseWorkingDesign(Index col_ptr, Index row_idx, Vec values, Vec centre, Vec scale,
                        std::size_t nrows);

    double gradient(std::size_t j) {
        flush();
        return column_gradient(j, sv_[j]);
    }
    void defer(std::size_t j, double delta) { step_.set(j, delta); }
    void flush();
    void abs_gradients(const Flags& include, const Flags* skip, std::span<double> out) const;
    double residual_sum() const { return qsum_ + sigma_ * vsum_[0]; }
    void subtract_weights(double d) { sigma_ -= d; }  // r -= v * d
    void linear_predictor(std::span<const double> coef, std::span<const std::size_t> active,
                          double intercept, std::span<double> eta) const {
        SparseColumns::linear_predictor(coef, active, std::span<const double>(&intercept, 1), eta);
    }
    std::span<double> residual() { return q_; }
    // Folds sigma * v into q, so that residual() is r while v changes.
    void begin_refit();
    // Takes note of the new weights and residual.
    void end_refit();

private:
    double column_gradient(std::size_t j, double sv) const;
    // <z_j, r> from sq = <s_j, q>, sv = <s_j, v> and rsum = Q + sigma V:
    // (sq + sigma sv - c_j rsum) / x_scale_j
    double combine(std::size_t j, double sq, double sv, double rsum) const {
        return ((sq + sigma_ * sv) - centre_[j] * rsum) / scale_[j];
    }

    Vec q_;
    double sigma_ = 0.0;
    double qsum_ = 0.0;
    PendingStep step_;
};

// The multinomial family on a dense matrix centred and scaled in place: the
// residual r and the working weights v are n x K (row-major), and a step on
// b_j. moves class k by -delta_k * v_.k * x_j.
class DenseBlockDesign {
public:
    DenseBlockDesign(DenseGlm x, std::size_t classes);

    void gradient(std::size_t j, std::span<double> g) {
        require(g.size() == nk_, "one gradient per class");
        if (!step_.take()) return rows_dot(x_.col(j), r_.data(), x_.nrows, nk_, g.data());
        rows_sub_dot(x_.col(step_.j), v_.data(), step_.delta.data(), r_.data(), x_.col(j),
                     x_.nrows, nk_, g.data());
    }
    void defer(std::size_t j, std::span<const double> delta) { step_.set(j, delta); }
    void flush();
    template <class Magnitude>
    void abs_gradients(const Flags& include, const Flags* skip, std::span<double> out,
                       Magnitude&& magnitude) {
        for (std::size_t j = 0; j < include.size(); ++j) {
            if (!include[j] || (skip && (*skip)[j])) continue;
            rows_dot(x_.col(j), r_.data(), x_.nrows, nk_, g_.data());
            out[j] = magnitude(std::span<const double>(g_));
        }
    }
    void curvatures(const Flags& flags, std::span<double> out) const {
        for (std::size_t j = 0; j < flags.size(); ++j)
            if (flags[j]) rows_wsumsq(x_.col(j), v_.data(), x_.nrows, nk_, out.data() + j * nk_);
    }
    void residual_sum(std::span<double> s) const;
    void subtract_weights(std::span<const double> d);  // r_.k -= v_.k * d_k
    void linear_predictor(std::span<const double> coef, std::span<const std::size_t> active,
                          std::span<const double> b0, std::span<double> eta) const;
    std::span<double> weights() { return v_; }
    std::span<double> residual() { return r_; }
    void begin_refit() {}
    void end_refit() {}
    std::size_t classes() const { return nk_; }

private:
    DenseGlm x_;
    std::size_t nk_;
    Vec r_;
    Vec v_;
    Vec g_;  // one column's gradients
    PendingBlockStep step_;
};

// The multinomial family on compressed sparse columns: the residual of
// class k is kept as r_.k = q_.k + sigma_k v_.k (q and v are n x K,
// row-major), as for SparseWorkingDesign with one sigma per class.
class SparseBlockDesign : public SparseColumns {
public:
    SparseBlockDesign(Index col_ptr, Index row_idx, Vec values, Vec centre, Vec scale,
                      std::size_t nrows, std::size_t classes);

    void gradient(std::size_t j, std::span<double> g) {
        require(g.size() == nk_, "one gradient per class");
        flush();
        column_gradient(j, sv_.data() + j * nk_, g.data());
    }
    void defer(std::size_t j, std::span<const double> delta) { step_.set(j, delta); }
    void flush();
    template <class Magnitude>
    void abs_gradients(const Flags& include, const Flags* skip, std::span<double> out,
                       Magnitude&& magnitude) {
        for (std::size_t j = 0; j < ncols_; ++j) {
            if (!include[j] || (skip && (*skip)[j])) continue;
            gather_dot(rows(j), stored(j), nstored(j), v_.data(), nk_, sv_col_.data());
            column_gradient(j, sv_col_.data(), g_.data());
            out[j] = magnitude(std::span<const double>(g_));
        }
    }
    void residual_sum(std::span<double> s) const {
        for (std::size_t k = 0; k < nk_; ++k) s[k] = qsum_[k] + sigma_[k] * vsum_[k];
    }
    void subtract_weights(std::span<const double> d) {  // r_.k -= v_.k * d_k
        for (std::size_t k = 0; k < nk_; ++k) sigma_[k] -= d[k];
    }
    std::span<double> residual() { return q_; }
    // Folds sigma_k * v into q_.k, so that residual() is r while v changes.
    void begin_refit();
    // Takes note of the new weights and residual.
    void end_refit();
    std::size_t classes() const { return nk_; }

private:
    // g_k = <z_j, r_.k> given sv_k = <s_j, v_.k>
    void column_gradient(std::size_t j, const double* sv, double* g) const;

    std::size_t nk_;
    Vec q_;
    Vec sigma_;
    Vec qsum_;
    Vec g_;
    Vec sv_col_;  // <s_j, v_.k> of a column outside the strong set
    PendingBlockStep step_;  // its moves are divided by the column's scale once flushed
};

}  // namespace varnel_core
