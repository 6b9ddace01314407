// A reweighting family whose rows are summed elsewhere: the path's side of
// a family fitted through a statistics design.  Each pass over the rows
// (RowPasses: in this process, or on the blocks of a distributed array)
// runs family F's own per-row maths on every block (F::over_block) and
// returns the sums of RowSums; the family here keeps only what the path
// needs from them:
//   deviance_ratio   (null loss - loss) / (null loss - saturated loss)
//   null_scale       null loss - saturated loss
//   weight_sums      sum_i v_ik of the last pass
// and is of F's kind, so that the path keeps F's policy.
// The loss is F's, sum_i w_i l_i with the weights normalized to sum 1; the
// deviances are those F computes from all the rows at once, up to the
// order of summation.  When F guards its steps (a GLM family by variance
// and link) so does the summed family: loss() is the summed loss, and a
// pass whose loss is not finite (a block's mean left the domain, F's
// loss_sum()) lies outside, so the engine halves the step that led there.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "base/errors.hpp"
#include "base/numeric.hpp"
#include "data/statistics.hpp"
#include "losses/family.hpp"

namespace varnel_core {

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
    // (thresh is the path's, solver/policy.hpp; this form is kept for the
    // callers that still pass it.)
    SummedFamily(F rules, std::size_t width, double /*thresh*/, double total)
        : SummedFamily(std::move(rules), width, total) {}

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
// the rows (fit/summed_fit.cpp), where the steps only polish the rounding;
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
