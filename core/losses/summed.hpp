// What a route that sums the rows of a reweighting loss needs, for any
// loss F: F's sums over a block of rows (family_block_sums), the passes
// over the rows held in memory (MemoryRows), and the path's side of F
// fitted through a statistics design (SummedFamily, SummedSource).
//
// Each pass over the rows (RowPasses: in this process, or on the blocks of
// a distributed array) runs F's own per-row maths on every block (F over
// the block's rows, without the whole-data checks: F::over_block) and
// returns the sums of RowSums; the summed family keeps only what the path
// needs from them:
//   deviance_ratio   (null loss - loss) / (null loss - saturated loss)
//   null_scale       null loss - saturated loss
//   weight_sums      sum_i v_ik of the last pass
// and is of F's kind, so that the path keeps F's policy.
// The loss is F's, sum_i w_i l_i with the weights normalized to sum 1; the
// deviances are those F computes from all the rows at once, up to the
// order of summation.  When F guards its steps (a GLM family by variance
// and link) so does the summed family: loss() is the summed loss, and a
// pass whose loss is not finite (a block's mean left the domain, where
// block_loss is infinite) lies outside, so the engine halves the step that
// led there.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "data/block_sums.hpp"
#include "data/statistics.hpp"
#include "losses/family.hpp"

namespace varnel_core {

// F's loss per unit weight at its last working(), infinite when a mean left
// the domain, so that the sum over the blocks tells the path's guard.
template <class F>
double block_loss(const F& f) {
    return f.inside() ? f.loss() : std::numeric_limits<double>::infinity();
}

// F's sums over a block at an iterate: eta, F's working weights and
// residuals there (F over the block's rows, its working()), the sums, F's
// loss, and the products of `cols`.  `v`, `r` and `eta` are the caller's
// scratch of n x K values.
template <class F>
void family_block_sums(F& family, const StandardizedBlock& z, std::span<const double> coef,
                       std::span<const std::size_t> active, std::span<const double> b0,
                       std::span<const std::size_t> cols, RowSums& sums, Vec& eta, Vec& v, Vec& r,
                       const Interrupt& interrupt) {
    const std::size_t nk = family.width(), n = z.x.nrows;
    eta.resize(checked_size(n, nk));
    v.resize(eta.size());
    r.resize(eta.size());
    block_linear_predictor(z, nk, coef, active, b0, family.offset(), eta, interrupt);
    family.working(eta, v, r);
    sums.reset(z.x.ncols, nk, cols.size());
    block_working_sums(z, nk, v, r, sums, interrupt);
    if (!cols.empty()) block_products(z, nk, v, cols, sums.products.data(), interrupt);
    sums.loss = block_loss(family);
}

// F's passes over all the rows of x in memory: one block, the whole of x,
// with F over all the rows for the per-row maths.  Each evaluation and each
// batch of products reads x once.
template <class F>
class MemoryRows : public RowPasses {
public:
    MemoryRows(F family, const StandardizedBlock& z, const Interrupt& interrupt)
        : family_(std::move(family)), z_(z), interrupt_(interrupt) {}

    void evaluate(std::span<const double> coef, std::span<const std::size_t> active,
                  std::span<const double> b0, std::span<const std::size_t> cols,
                  RowSums& sums) override {
        family_block_sums(family_, z_, coef, active, b0, cols, sums, eta_, v_, r_, interrupt_);
        ++count_;
    }
    void products(std::span<const std::size_t> cols, double* out) override {
        block_products(z_, family_.width(), v_, cols, out, interrupt_);
        ++count_;
    }
    double saturated_loss() override { return family_.saturated_loss(); }
    std::uint64_t count() const override { return count_; }

private:
    F family_;
    StandardizedBlock z_;
    const Interrupt& interrupt_;
    Vec eta_, v_, r_;
    std::uint64_t count_ = 0;
};

template <class F>
class SummedFamily {
public:
    static constexpr LossKind kind = F::kind;
    static constexpr bool block = F::block;
    static constexpr bool reweights = true;
    static constexpr bool guards_steps = GuardedFamily<F>;
    static constexpr bool shift_invariant = F::shift_invariant;
    static constexpr InterceptFit intercept_fit = F::intercept_fit;

    // `rules`: F over no rows (its saturation bound); `total`: the caller's
    // sum of weights.
    SummedFamily(F rules, std::size_t width, double total)
        : rules_(std::move(rules)), nk_(width), total_(total), weight_sums_(width, 0.0) {}

    std::size_t width() const { return nk_; }
    double null_scale() const { return null_half_dev_; }
    void on_step(double, double, double) {}
    void on_step(std::span<const double>, std::span<const double>, std::span<const double>,
                 std::span<const double>) {}
    double deviance_ratio() const { return (null_loss_ - loss_) / null_half_dev_; }
    double stored_intercept(double b0) const { return b0; }
    std::span<const double> weight_sums() const { return weight_sums_; }
    double null_deviance() const { return 2.0 * null_half_dev_ * total_; }
    double loss() const { return loss_; }
    bool inside() const { return std::isfinite(loss_); }

    // The sums at the null model fix the deviances.
    void take_null(const RowSums& sums, double saturated_loss) {
        take(sums);
        null_loss_ = sums.loss;
        null_half_dev_ = sums.loss - saturated_loss;
        if (!std::isfinite(null_half_dev_)) data_overflow("the null deviance of y", "y");
    }
    // The sums of a later pass; true when the weights vanished (never
    // outside a guarded family's domain, where the weights mean nothing).
    bool take(const RowSums& sums) {
        weight_sums_ = sums.weight_sums;
        loss_ = sums.loss;
        if constexpr (guards_steps)
            if (!inside()) return false;
        return rules_.saturated_by(weight_sums_);
    }

private:
    F rules_;
    std::size_t nk_;
    double total_;
    Vec weight_sums_;
    double loss_ = 0.0;
    double null_loss_ = 0.0;
    double null_half_dev_ = 1.0;
};

// The statistics source of a summed family.  The null model: from the
// intercepts F gives for the weighted mean response (exact without an
// offset), Newton steps on the intercepts, one pass each, until a step is
// below 1e-13 of the intercept (at most 50 passes; without an intercept,
// one pass at 0).  A guarded family starts at the null model found on all
// the rows (fit/solve.cpp), where the steps only polish the rounding;
// a step that raises its loss (working weights all but vanished, as under
// a huge offset, make a step of any size) is taken back, and the
// polishing ends there.
template <class F>
class SummedSource : public StatisticsSource {
public:
    SummedSource(SummedFamily<F>& family, RowPasses& rows, Vec start, bool intercept)
        : family_(family), rows_(rows), start_(std::move(start)), intercept_(intercept) {}

    void products(std::span<const std::size_t> cols, double* out) override {
        rows_.products(cols, out);
    }

    Vec null_model(std::span<const std::size_t> cols, RowSums& sums) override {
        const std::size_t nk = family_.width();
        require(start_.size() == nk, "summed source: one start intercept per predictor");
        Vec b0 = start_, before;
        double loss_before = HUGE_VAL;
        for (int pass = 0;; ++pass) {
            rows_.evaluate({}, {}, b0, cols, sums);
            if constexpr (SummedFamily<F>::guards_steps) {
                if (pass > 0 && !(sums.loss <= loss_before)) {
                    b0 = before;
                    rows_.evaluate({}, {}, b0, cols, sums);
                    break;
                }
                before = b0;
                loss_before = sums.loss;
            }
            if (!intercept_ || pass == 50 || !newton_step(sums, b0)) break;
        }
        family_.take_null(sums, rows_.saturated_loss());
        return b0;
    }

    bool refit(std::span<const double> coef, std::span<const std::size_t> active,
               std::span<const double> b0, std::span<const std::size_t> cols,
               RowSums& sums) override {
        rows_.evaluate(coef, active, b0, cols, sums);
        return family_.take(sums);
    }

private:
    // b0_k += sum_i r_ik / sum_i v_ik (centred for a shift-invariant
    // family); false when every step is below 1e-13 of its intercept.
    bool newton_step(const RowSums& sums, Vec& b0) const {
        bool moved = false;
        Vec step(b0.size(), 0.0);
        for (std::size_t k = 0; k < b0.size(); ++k) {
            if (!(sums.weight_sums[k] > 0.0)) continue;
            step[k] = sums.residual_sums[k] / sums.weight_sums[k];
            moved = moved || std::abs(step[k]) > 1e-13 * std::max(1.0, std::abs(b0[k]));
        }
        if (!moved) return false;
        for (std::size_t k = 0; k < b0.size(); ++k) b0[k] += step[k];
        if (F::shift_invariant) subtract_mean(b0.data(), b0.size());
        return true;
    }

    SummedFamily<F>& family_;
    RowPasses& rows_;
    Vec start_;
    bool intercept_;
};

}  // namespace varnel_core
