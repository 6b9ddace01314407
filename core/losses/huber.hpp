// Huber's robust regression: the identity link and, per row, the loss
//   rho(r) = r^2 / 2                  for |r| <= delta,
//            delta |r| - delta^2 / 2  otherwise,        r = y - eta,
// quadratic for small residuals and linear beyond delta, so that a few
// gross errors in y pull the fit far less than under least squares.  The
// loss of a fit is sum_i w_i rho(r_i) (the weights normalized to sum 1);
// its deviance is twice that (the squared error for every |r| <= delta),
// 0 at the saturated model.
//
// It is reweighted around the current fit by iteratively reweighted least
// squares: working weights v_i = w_i min(1, delta / |r_i|) and residuals
// v_i r_i = w_i psi(r_i), psi = rho' (the working response eta + r).  The
// weights' quadratic lies above the loss and touches it at the current
// fit (rho is a concave function of r^2), so each reweighting lowers the
// penalized objective: the steps need no guard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/config.hpp"
#include "base/errors.hpp"
#include "base/numeric.hpp"
#include "losses/family.hpp"

namespace varnel_core {

// delta of the choices (absent: 1.35, which keeps 95% of least squares'
// efficiency under normal errors of unit variance); a PreconditionError
// unless it is positive and finite.
double huber_delta(const std::optional<double>& given);

// Its path follows the policy of the models by variance and link
// (solver/policy.hpp): the same schedule, rounding and early stop.
class HuberFamily {
public:
    static constexpr LossKind kind = LossKind::glm;
    static constexpr bool block = false;
    static constexpr bool reweights = true;
    static constexpr bool shift_invariant = false;
    static constexpr InterceptFit intercept_fit = InterceptFit::by_steps;

    // The family of the prepared rows; InputError for a constant response
    // with an intercept, which the null model fits exactly.
    static HuberFamily make(RowData rows, std::span<const double> raw, double delta,
                            const FitConfig& config, const WorkingConstants& constants);

    std::size_t width() const { return 1; }
    std::span<const double> offset() const { return rows_.offset; }
    // The null model: eta_i = o_i + b0 with b0 the weighted Huber location
    // of y - o (0 without an intercept), found exactly: Newton steps on the
    // piecewise quadratic, kept inside a shrinking bracket.
    double null_model(std::span<double> v, std::span<double> r);
    bool working(std::span<const double> eta, std::span<double> v, std::span<double> r);
    std::span<const double> weight_sums() const { return {&weight_sum_, 1}; }

    double null_scale() const { return null_loss_; }
    void on_step(double, double, double) {}
    double deviance_ratio() const { return (null_loss_ - loss_) / null_loss_; }
    double stored_intercept(double b0) const { return b0; }
    double null_deviance() const { return 2.0 * null_loss_ * rows_.total; }

    // Sums over blocks of rows (losses/summed.hpp): the family over one
    // block, without the whole-data checks; the weights vanish only with
    // the observation weights.
    static HuberFamily over_block(RowData rows, double delta, const FitConfig& config,
                                  const WorkingConstants& constants);
    bool saturated_by(std::span<const double> weight_sums) const { return !(weight_sums[0] > 0.0); }
    // sum_i w_i rho(r_i) at the last working() (every predictor lies in
    // the domain), and 0 at the saturated model.
    double loss() const { return loss_; }
    bool inside() const { return true; }
    double saturated_loss() const { return 0.0; }

private:
    HuberFamily(RowData rows, double delta, const FitConfig& config,
                const WorkingConstants& constants);
    // The weighted Huber location of y - offset.
    double location() const;

    RowData rows_;
    double delta_;
    bool intercept_;
    Vec eta_;  // the null model's predictor
    double weight_sum_ = 0.0;
    double loss_ = 0.0;
    double null_loss_ = 0.0;
};

}  // namespace varnel_core
