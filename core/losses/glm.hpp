// A GLM family given by its variance function and its link
// (losses/variance.hpp, losses/link.hpp).  The loss is half the
// weighted deviance,
//   sum_i w_i d(y_i, mu_i) / 2,   mu_i = g^-1(eta_i),
// reweighted around the current fit by Fisher scoring: working weights
// v_i = w_i (dmu/deta)^2 / V(mu_i) and residuals
// r_i = w_i (y_i - mu_i) (dmu/deta) / V(mu_i), i.e. v_i times the working
// response's residual (y_i - mu_i) / (dmu/deta).  Where the observed
// information is never negative (a log link with a power variance from 1 to
// 2, the negative binomial with a log link) the weights are that instead,
// and each reweighting is a Newton step (variance.hpp, information_factors).
//
// Its reweighting iteration is guarded (guards_steps, see
// solver/engine.hpp): a step that raises the penalized objective, or whose
// mean leaves the family's domain, is halved.  loss() and inside() report
// on the last predictor the family was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "base/errors.hpp"
#include "base/numeric.hpp"
#include "losses/family.hpp"
#include "losses/link.hpp"
#include "losses/variance.hpp"
#include "base/config.hpp"

namespace varnel_core {

// A family by variance and link; `name` is the family's, for messages.
struct GlmModel {
    Variance variance;
    Link link;
    std::string_view name;
};

// Its null scale is half the null deviance per unit weight.
class GlmFamily {
public:
    static constexpr LossKind kind = LossKind::glm;
    static constexpr bool block = false;
    static constexpr bool reweights = true;
    static constexpr bool shift_invariant = false;
    static constexpr bool guards_steps = true;
    static constexpr InterceptFit intercept_fit = InterceptFit::by_steps;

    // The family of the prepared rows (the response already checked against
    // the family's support).  NullProbUnderflow / NullProbOverflow for a
    // binomial mean within pmin of 0 or 1; InputError for a constant response
    // with an intercept, and for a null model whose mean leaves the domain.
    static std::variant<GlmFamily, FitError> make(const GlmModel& model, RowData rows,
                                                  std::span<const double> raw,
                                                  const FitConfig& config,
                                                  const WorkingConstants& constants);
    // The refusal of a weighted mean response ybar (per unit weight) that
    // make() gives: NullProbUnderflow / NullProbOverflow for a binomial
    // mean within pmin of 0 or 1.
    static std::optional<FitError> refuses_mean(const GlmModel& model, double ybar,
                                                const WorkingConstants& constants);

    std::size_t width() const { return 1; }
    std::span<const double> offset() const { return rows_.offset; }
    // The null model: mu = the weighted mean of y with an intercept, or, with
    // an offset o, mu_i = g^-1(o_i + b0) with b0 from scoring on the
    // intercept alone (its steps halved as the path's are); eta = o (or 0)
    // without an intercept.
    double null_model(std::span<double> v, std::span<double> r);
    bool working(std::span<const double> eta, std::span<double> v, std::span<double> r);
    std::span<const double> weight_sums() const { return {&weight_sum_, 1}; }

    double null_scale() const { return null_loss_; }
    void on_step(double, double, double) {}
    double deviance_ratio() const { return (null_loss_ - loss_) / null_loss_; }
    double stored_intercept(double b0) const { return b0; }
    double null_deviance() const { return 2.0 * null_loss_ * rows_.total; }

    // Half the deviance per unit weight at the last predictor, and whether
    // its means lay inside the domain.
    double loss() const { return loss_; }
    bool inside() const { return inside_; }

    // The deviance is 0 at the saturated model.
    double saturated_loss() const { return 0.0; }
    // Whether working weights summing to these are a saturated fit.
    bool saturated_by(std::span<const double> weight_sums) const {
        return !(weight_sums[0] > min_weight_sum_);
    }

    // The family over rows without make()'s whole-data checks: over a block
    // of rows whose sums are added elsewhere (losses/summed.hpp), or over
    // no rows, its rules.
    static GlmFamily over_block(const GlmModel& model, RowData rows, const FitConfig& config,
                                const WorkingConstants& constants);
    // The InputError of a predictor (`where`, e.g. "the null model") whose
    // mean leaves the domain.
    [[noreturn]] void outside_domain(const char* where) const;

private:
    GlmFamily(const GlmModel& model, RowData rows, const FitConfig& config,
              const WorkingConstants& constants);
    // The means, slopes, ratios and loss at eta; false outside the domain.
    bool evaluate(std::span<const double> eta);
    // The intercept of the null model with an offset.
    double offset_intercept(double ybar);
    // eta_i = offset_i + b0 (b0 without an offset) into eta_, then evaluate.
    bool evaluate_at(double b0);
    // f of the working weights w a f: the observed information's factors,
    // or the slopes dmu/deta (Fisher scoring).
    std::span<const double> factors() const { return observed_ ? factors_ : slope_; }

    GlmModel model_;
    RowData rows_;
    bool intercept_;
    double min_weight_sum_;
    Vec terms_;  // the response terms of the deviance
    Vec eta_;    // the null model's predictor
    Vec mu_;
    Vec slope_;
    Vec log_mu_;
    Vec ratio_;
    bool observed_;  // the weights carry the observed information
    Vec factors_;    // its factors f (variance.hpp), when observed_
    double weight_sum_ = 0.0;
    double loss_ = 0.0;
    double null_loss_ = 0.0;
    bool inside_ = true;
};

}  // namespace varnel_core
