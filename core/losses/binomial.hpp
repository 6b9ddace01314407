// Two-class logistic regression: the loss -sum_i w_i (y_i eta_i - log(1 + exp(eta_i))),
// reweighted around the current fit (working weights v_i = w_i p_i (1 - p_i),
// residuals r_i = w_i (y_i - p_i)).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "base/errors.hpp"
#include "base/numeric.hpp"
#include "losses/family.hpp"
#include "base/config.hpp"

namespace varnel_core {

// y holds 0/1 labels or proportions in [0, 1].  Its null scale is half the
// null deviance per unit weight.
class BinomialFamily {
public:
    static constexpr LossKind kind = LossKind::logistic;
    static constexpr bool block = false;
    static constexpr bool reweights = true;
    static constexpr bool shift_invariant = false;
    static constexpr InterceptFit intercept_fit = InterceptFit::by_steps;

    // InputError naming the first value outside [0, 1].
    static void check_response(std::span<const double> y);
    // The family of the prepared rows; NullProbUnderflow / NullProbOverflow
    // when the weighted mean response is within pmin of 0 or 1, InputError
    // for a constant response with an intercept (`raw`: the weights as given).
    static std::variant<BinomialFamily, FitError> make(RowData rows, std::span<const double> raw,
                                                       const FitConfig& config,
                                                       const WorkingConstants& constants);

    std::size_t width() const { return 1; }
    std::span<const double> offset() const { return rows_.offset; }
    // The null model: probability pbar everywhere (0.5 without an
    // intercept), or, with an offset o, p_i = 1 / (1 + exp(-o_i - b0)) with
    // b0 solving sum_i w_i (y_i - p_i) = 0 (0 without an intercept).
    double null_model(std::span<double> v, std::span<double> r);
    bool working(std::span<const double> eta, std::span<double> v, std::span<double> r);
    std::span<const double> weight_sums() const { return {&weight_sum_, 1}; }

    double null_scale() const { return null_half_dev_; }
    void on_step(double, double, double) {}
    // (null loss - loss) / (null deviance / 2)
    double deviance_ratio() const { return (null_loss_ - loss()) / null_half_dev_; }
    double stored_intercept(double b0) const { return b0; }
    // The null deviance on the caller's weight scale.
    double null_deviance() const { return 2.0 * null_half_dev_ * rows_.total; }

    // -sum_i w_i (y_i log q_i + (1 - y_i) log(1 - q_i)) at the last eta, q
    // kept off 0 and 1; every predictor is a valid one.
    double loss() const;
    bool inside() const { return true; }
    // The loss of the saturated model (y for p).
    double saturated_loss() const;
    // Whether working weights summing to these are a saturated fit.
    bool saturated_by(std::span<const double> weight_sums) const {
        return weight_sums[0] <= saturation_bound(pmin_);
    }

    // The family over rows without make()'s whole-data checks: over a block
    // of rows whose sums are added elsewhere (losses/summed.hpp), or over
    // no rows, its rules.
    static BinomialFamily over_block(RowData rows, const FitConfig& config,
                                     const WorkingConstants& constants);
    // The null model's intercept without an offset, from the weighted mean
    // response (0 without an intercept); make()'s FitErrors.
    static std::variant<Vec, FitError> null_intercepts(std::span<const double> mean, bool intercept,
                                                       const WorkingConstants& constants);

private:
    // The smallest sum of working weights that is not a saturated fit.
    static double saturation_bound(double pmin) { return (1.0 + pmin) * pmin * (1.0 - pmin); }
    static std::optional<FitError> check_mean(double pbar, const WorkingConstants& constants);

    BinomialFamily(RowData rows, double pbar, const FitConfig& config);
    // exactly 0 or 1 beyond eta_limit
    double probability(double e) const;
    double offset_intercept() const;

    RowData rows_;
    double pbar_;
    bool intercept_;
    Vec prob_;
    double eta_limit_;
    double min_weight_sum_;
    double pmin_;
    double weight_sum_ = 0.0;
    double null_loss_ = 0.0;
    double null_half_dev_ = 0.0;
};

}  // namespace varnel_core
