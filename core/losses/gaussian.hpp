// Least squares: 1/2 sum_i w_i (y_i - a0 - x_i b)^2 on the standardized
// data.  The quadratic is exact, so a penalty value needs one
// coordinate-descent solve; the intercept comes from centring.
#pragma once

#include <cstddef>

#include "losses/family.hpp"

namespace varnel_core {

// Keeps the fraction of the response's weighted sum of squares that the fit
// explains (rsq) up to date step by step: the deviance ratio.  The response
// is standardized to a weighted sum of squares of 1, its null scale.
class GaussianFamily {
public:
    static constexpr LossKind kind = LossKind::least_squares;
    static constexpr bool block = false;
    static constexpr bool reweights = false;
    static constexpr bool shift_invariant = false;
    static constexpr InterceptFit intercept_fit = InterceptFit::by_centring;

    explicit GaussianFamily(double y_mean) : y_mean_(y_mean) {}

    std::size_t width() const { return 1; }
    double null_scale() const { return 1.0; }
    // gain in explained sum of squares: (2 g - c d) d
    void on_step(double g, double c, double d) { rsq_ = (g + g - c * d) * d + rsq_; }
    double deviance_ratio() const { return rsq_; }
    double stored_intercept(double) const { return y_mean_; }

private:
    double y_mean_;
    double rsq_ = 0.0;
};

}  // namespace varnel_core
