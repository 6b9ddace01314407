// Least squares: 1/2 sum_i w_i (y_i - a0 - x_i b)^2 on the standardized
// data.  The quadratic is exact, so a penalty value needs one
// coordinate-descent solve; the intercept comes from centring.
#pragma once

#include <cstddef>
#include <cstdint>

#include "losses/family.hpp"

namespace varnel_core {

// Keeps the fraction of the response's weighted sum of squares that the fit
// explains (rsq) up to date step by step: the deviance ratio.  Convergence:
// the largest x_sumsq_j * delta_j^2 of a pass (on the response's unit scale)
// falls below thresh; the path stops early when rsq gains less than
// min_dev_change of itself.
class GaussianFamily {
public:
    static constexpr Schedule schedule{false, true, true};
    static constexpr bool block = false;
    static constexpr bool reweights = false;
    static constexpr bool shift_invariant = false;
    static constexpr InterceptFit intercept_fit = InterceptFit::by_centring;
    static constexpr InterceptForm intercept_form = InterceptForm::AddCentring;
    // x_sumsq_j * delta^2, rounded as delta * (x_sumsq_j * delta)
    static double step_change(double c, double d) { return d * (c * d); }

    GaussianFamily(double thresh, double y_mean, double min_dev_change)
        : thresh_(thresh), y_mean_(y_mean), min_dev_change_(min_dev_change) {}

    std::size_t width() const { return 1; }
    double conv_thresh() const { return thresh_; }
    // gain in explained sum of squares: (2 g - c d) d
    void on_step(double g, double c, double d) { rsq_ = (g + g - c * d) * d + rsq_; }
    double deviance_ratio() const { return rsq_; }
    double stored_intercept(double) const { return y_mean_; }
    bool little_progress(std::uint64_t m, double rsq, const SolutionStore& store) const;

private:
    double thresh_;
    double y_mean_;
    double min_dev_change_;
    double rsq_ = 0.0;
};

}  // namespace varnel_core
