// The designs of the families that fit through working weights: K linear
// predictors per row (K = 1 but for the multinomial family), a residual r
// and working weights v held as n x K matrices (row-major), written by the
// family between begin_refit and end_refit.  A coordinate step on variable
// j moves predictor k's residual by -delta_k * v_.k * z_j.
//
// Each design answers in two spellings: one coefficient per variable
// (gradient(j) -> double, K = 1) and K of them (gradient(j, g)); see
// solver/engine.hpp for what the engine asks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "data/csc.hpp"
#include "data/dense.hpp"
#include "data/pending.hpp"
#include "data/standardized.hpp"
#include "kernels/block_kernels.hpp"

namespace varnel_core {

// On a dense matrix under the standardized view: the caller's array read in
// place with its centres and scales applied value by value, or the copy a
// stable entry point centres and scales in place (centres 0, scales 1,
// which give the bits of the plain kernels).  With K = 1 the sums are the
// column kernels' (dot4, wdot4); with K > 1 the block kernels', and r and v
// are kept in their blocked layout (kernels/block_kernels.hpp) but from
// begin_refit to end_refit, where the family sees them row-major.
class DenseWorkingDesign {
public:
    DenseWorkingDesign(Standardized<DenseMatrix> z, std::size_t width, const Interrupt& interrupt);

    std::size_t rows() const { return z_.rows(); }
    std::size_t width() const { return nk_; }
    std::size_t step_work() const { return rows() * nk_; }
    std::span<double> weights() { return v_; }
    std::span<double> residual() { return r_; }
    void begin_refit();
    void end_refit();

    double gradient(std::size_t j);
    void gradient(std::size_t j, std::span<double> g);
    void defer(std::size_t j, double delta) { step_.set(j, std::span<const double>(&delta, 1)); }
    void defer(std::size_t j, std::span<const double> delta) { step_.set(j, delta); }
    void flush();
    void abs_gradients(const Flags& include, const Flags* skip, std::span<double> out) const;
    template <class Magnitude>
    void abs_gradients(const Flags& include, const Flags* skip, std::span<double> out,
                       Magnitude&& magnitude) const {
        // four columns per sweep over r
        const double* cols[4];
        double centres[4];
        std::size_t js[4], m = 0;
        const auto sweep = [&] {
            rows_dot(cols, centres, m, r_.data(), rows(), nk_, g_.data());
            for (std::size_t t = 0; t < m; ++t) {
                double* g = g_.data() + t * nk_;
                for (std::size_t k = 0; k < nk_; ++k) g[k] = g[k] / z_.scale(js[t]);
                out[js[t]] = magnitude(std::span<const double>(g, nk_));
            }
            interrupt_.tick(rows() * nk_);
            m = 0;
        };
        for (std::size_t j = 0; j < include.size(); ++j) {
            if (!include[j] || (skip && (*skip)[j])) continue;
            cols[m] = column(j);
            centres[m] = z_.centre(j);
            js[m++] = j;
            if (m == 4) sweep();
        }
        if (m) sweep();
    }
    // out_jk = sum_i v_ik z_ij^2 for flagged j (at j * K + k)
    void curvatures(const Flags& flags, std::span<double> out) const;
    double residual_sum() const;
    void residual_sum(std::span<double> s) const;
    void subtract_weights(double d);                   // r -= v d
    void subtract_weights(std::span<const double> d);  // r_.k -= v_.k d_k
    void linear_predictor(std::span<const double> coef, std::span<const std::size_t> active,
                          double b0, std::span<double> eta) const {
        z_.linear_predictor(coef, active, b0, eta, interrupt_);
    }
    void linear_predictor(std::span<const double> coef, std::span<const std::size_t> active,
                          std::span<const double> b0, std::span<double> eta) const;

private:
    const double* column(std::size_t j) const { return z_.base().column(j); }
    // g_k = <z_j, r_.k> (K > 1)
    void column_gradient(std::size_t j, double* g) const;

    Standardized<DenseMatrix> z_;
    std::size_t nk_;
    Vec r_;
    Vec v_;
    bool blocked_ = false;  // r_ and v_ in the blocked layout
    mutable Vec chunk_;     // K > 1: one chunk of rows, to change the layout
    mutable Vec g_;  // the K gradients of up to four columns
    mutable Vec scaled_;  // K steps or 4 K sums divided by a scale
    // the linear predictor's columns, centres and coefficients divided by a scale
    mutable std::vector<const double*> lp_cols_, lp_rows_;
    mutable Vec lp_centres_, lp_coefs_;
    PendingBlockStep step_;
    const Interrupt& interrupt_;
};

// On CSC columns under the standardized view: z_j = (s_j - c_j) / x_scale_j
// with s_j the stored values (0 elsewhere).  Predictor k's residual is kept
// as r_.k = q_.k + sigma_k v_.k, so that the part of a step (or of an
// intercept step) that touches every row costs O(1):
//   <z_j, r_.k>      = (<s_j, q_.k> + sigma_k <s_j, v_.k> - c_j (Q_k + sigma_k V_k)) / x_scale_j
//   r_.k -= d v z_j:   q_.k -= (d / x_scale_j) v_.k s_j,  sigma_k += (d / x_scale_j) c_j,
//                      Q_k -= (d / x_scale_j) <s_j, v_.k>
// with Q = sum q and V = sum v per predictor.  <s_j, v_.k> is refreshed
// with the curvatures of the columns whose curvature is asked for.
//
// With one linear predictor, two shapes of column are read without one of
// their arrays: an indicator column (every stored value 1, as a data
// frame's categorical columns give) without its values, a full column (the
// rows 0..n-1 in order, as a dense column stored sparse) without its row
// indices.  The products with a value 1 are exact and a full column's
// entries come in the same order, so every sum and update has the bits of
// the general reading (`shapes` false: every column read the general way).
class SparseWorkingDesign {
public:
    SparseWorkingDesign(Standardized<CscMatrix> z, std::size_t width, const Interrupt& interrupt,
                        bool shapes = true);

    std::size_t rows() const { return z_.rows(); }
    std::size_t width() const { return nk_; }
    std::size_t step_work() const {
        return (z_.base().nonzeros() / std::max<std::size_t>(z_.cols(), 1) + 1) * nk_;
    }
    std::span<double> weights() { return v_; }
    // q, which is r while sigma = 0 (from begin_refit to end_refit)
    std::span<double> residual() { return q_; }
    // Folds sigma_k * v_.k into q_.k, so that residual() is r while v changes.
    void begin_refit();
    // Takes note of the new weights and residual.
    void end_refit();

    double gradient(std::size_t j) {
        double g;
        gradient(j, std::span<double>(&g, 1));
        return g;
    }
    void gradient(std::size_t j, std::span<double> g) {
        require(g.size() == nk_, "one gradient per linear predictor");
        if (step_.pending && shape_[j] == Shape::full && shape_[step_.j] == Shape::full)
            return step_then_gradient(j, g.data());
        flush();
        column_gradient(j, sv_.data() + j * nk_, g.data());
    }
    void defer(std::size_t j, double delta) { step_.set(j, std::span<const double>(&delta, 1)); }
    void defer(std::size_t j, std::span<const double> delta) { step_.set(j, delta); }
    void flush();
    void abs_gradients(const Flags& include, const Flags* skip, std::span<double> out) const {
        abs_gradients(include, skip, out, [](std::span<const double> g) { return std::abs(g[0]); });
    }
    template <class Magnitude>
    void abs_gradients(const Flags& include, const Flags* skip, std::span<double> out,
                       Magnitude&& magnitude) const {
        const CscMatrix& x = z_.base();
        for (std::size_t j = 0; j < x.cols(); ++j) {
            if (!include[j] || (skip && (*skip)[j])) continue;
            sums_with_weights(j, g_.data(), sv_col_.data());
            combine(j, sv_col_.data(), g_.data());
            out[j] = magnitude(std::span<const double>(g_));
            interrupt_.tick(x.stored(j) * nk_);
        }
    }
    void curvatures(const Flags& flags, std::span<double> out);
    double residual_sum() const { return qsum_[0] + sigma_[0] * vsum_[0]; }
    void residual_sum(std::span<double> s) const {
        for (std::size_t k = 0; k < nk_; ++k) s[k] = qsum_[k] + sigma_[k] * vsum_[k];
    }
    void subtract_weights(double d) { sigma_[0] -= d; }  // r -= v d
    void subtract_weights(std::span<const double> d) {
        for (std::size_t k = 0; k < nk_; ++k) sigma_[k] -= d[k];
    }
    void linear_predictor(std::span<const double> coef, std::span<const std::size_t> active,
                          double b0, std::span<double> eta) const {
        linear_predictor(coef, active, std::span<const double>(&b0, 1), eta);
    }
    void linear_predictor(std::span<const double> coef, std::span<const std::size_t> active,
                          std::span<const double> b0, std::span<double> eta) const;

private:
    // How column j is read (one linear predictor only; else `general`).
    enum class Shape : unsigned char { general, indicator, full };
    // g_k = <z_j, r_.k> given sv_k = <s_j, v_.k>
    void column_gradient(std::size_t j, const double* sv, double* g) const;
    // g_k = <s_j, q_.k> and sv_k = <s_j, v_.k>, in one sweep over the entries
    void sums_with_weights(std::size_t j, double* g, double* sv) const;
    // flush, then column_gradient(j), in one sweep over q: the pending step's
    // column and column j both full
    void step_then_gradient(std::size_t j, double* g);
    // g_k <- <z_j, r_.k> from g_k = <s_j, q_.k> and sv_k = <s_j, v_.k>
    void combine(std::size_t j, const double* sv, double* g) const {
        for (std::size_t k = 0; k < nk_; ++k)
            g[k] = ((g[k] + sigma_[k] * sv[k]) - z_.centre(j) * (qsum_[k] + sigma_[k] * vsum_[k])) /
                   z_.scale(j);
    }

    Standardized<CscMatrix> z_;
    std::size_t nk_;
    Vec v_;
    Vec q_;
    Vec sigma_;
    Vec qsum_;
    Vec vsum_;
    Vec sv_;  // <s_j, v_.k> of the columns whose curvature is current, at j * K + k
    mutable Vec g_;
    mutable Vec sv_col_;  // <s_j, v_.k> of a column outside the strong set
    std::vector<Shape> shape_;  // per column
    PendingBlockStep step_;
    const Interrupt& interrupt_;
};

}  // namespace varnel_core
