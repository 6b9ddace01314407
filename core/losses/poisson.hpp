// Poisson regression with the log link: the loss sum_i w_i (exp(eta_i) - y_i eta_i),
// reweighted around the current fit (working weights v_i = w_i mu_i,
// residuals r_i = w_i (y_i - mu_i)).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <optional>
#include <variant>

#include "base/errors.hpp"
#include "base/numeric.hpp"
#include "losses/family.hpp"
#include "base/config.hpp"

namespace varnel_core {

// Its null scale is half the null deviance per unit weight.
class PoissonFamily {
public:
    static constexpr LossKind kind = LossKind::poisson;
    static constexpr bool block = false;
    static constexpr bool reweights = true;
    static constexpr bool shift_invariant = false;
    static constexpr InterceptFit intercept_fit = InterceptFit::by_steps;

    // NegativeResponse when a count is negative.
    static std::optional<FitError> check_response(std::span<const double> y);
    // The family of the prepared rows; InputError for a constant response
    // with an intercept, which the null model fits exactly.
    static PoissonFamily make(RowData rows, std::span<const double> raw, const FitConfig& config,
                              const WorkingConstants& constants);

    std::size_t width() const { return 1; }
    std::span<const double> offset() const { return rows_.offset; }
    // The null model: mu = ybar with an intercept, 1 without; with an offset
    // o, mu_i = exp(o_i + b0) with b0 = log(ybar / sum_i w_i exp(o_i)) (0
    // without an intercept).
    double null_model(std::span<double> v, std::span<double> r);
    bool working(std::span<const double> eta, std::span<double> v, std::span<double> r);
    std::span<const double> weight_sums() const { return {&weight_sum_, 1}; }

    double null_scale() const { return null_half_dev_; }
    void on_step(double, double, double) {}
    // (loglik - null loglik) / (saturated loglik - null loglik), halved
    // deviances per unit weight
    double deviance_ratio() const {
        return (eta_loglik_ - weight_sum_ - dev_offset_) / null_half_dev_;
    }
    double stored_intercept(double b0) const { return b0; }
    double null_deviance() const { return 2.0 * rows_.total * null_half_dev_; }

    // The loss sum_i w_i (mu_i - y_i eta_i) at the last working(); mu is
    // kept finite, so every predictor is a valid one.
    double loss() const { return weight_sum_ - eta_loglik_; }
    bool inside() const { return true; }
    // The loss of the saturated model (mu = y).
    double saturated_loss() const;
    // A Poisson fit never saturates.
    bool saturated_by(std::span<const double>) const { return false; }

    // The family over rows without make()'s whole-data checks: over a block
    // of rows whose sums are added elsewhere (losses/summed.hpp), or over
    // no rows, its rules.
    static PoissonFamily over_block(RowData rows, const FitConfig& config,
                                    const WorkingConstants& constants);
    // The null model's intercept without an offset: log of the weighted mean
    // response (0 without an intercept).
    static std::variant<Vec, FitError> null_intercepts(std::span<const double> mean, bool intercept,
                                                       const WorkingConstants& constants);

private:
    PoissonFamily(RowData rows, const FitConfig& config);
    // mu = exp(eta) with |eta| cut at eta_limit, so that it stays finite
    double mean(double e) const;

    RowData rows_;
    bool intercept_;
    Vec wy_;
    double eta_limit_;
    double weight_sum_ = 0.0;
    double eta_loglik_ = 0.0;  // sum_i w_i y_i eta_i of the last eta
    double dev_offset_ = 0.0;
    double null_half_dev_ = 0.0;
};

}  // namespace varnel_core
