#include "solver/sequence.hpp"

#include <algorithm>
#include <cmath>

namespace varnel_core {

double lambda_max(std::span<const double> abs_grad, std::span<const double> penalty,
                  const Flags& include) {
    double largest = 0.0;
    for (std::size_t j = 0; j < include.size(); ++j) {
        if (include[j] && penalty[j] > 0.0) largest = nan_max(largest, abs_grad[j] / penalty[j]);
    }
    return largest;
}

bool screen_strong(Flags& strong, const Flags& include, std::span<const double> abs_grad,
                   std::span<const double> penalty, double t) {
    bool joined = false;
    for (std::size_t j = 0; j < include.size(); ++j) {
        if (!strong[j] && include[j] && abs_grad[j] > penalty[j] * t) {
            strong[j] = 1;
            joined = true;
        }
    }
    return joined;
}

PenaltySequence::PenaltySequence(const FitConfig& config, const WorkingConstants& constants,
                                 double user_scale)
    : alpha_(config.alpha), big_(constants.big) {
    if (config.user_lambda) {
        user_ = *config.user_lambda;
        for (double v : user_) require(!std::isnan(v), "user_lambda holds NaN");
        std::stable_sort(user_.begin(), user_.end(), [](double a, double b) { return a > b; });
        for (double& v : user_) v = v / user_scale;
        nlam_ = user_.size();
        generated_ = false;
    } else {
        const double flmin = config.lambda_min_ratio;
        require(flmin < 1.0, "lambda_min_ratio must be below 1 for a generated sequence");
        nlam_ = config.nlambda;
        generated_ = true;
        ratio_ = std::pow(nan_max(constants.min_lambda_ratio, flmin),
                          1.0 / (static_cast<double>(nlam_) - 1.0));
    }
    min_lambdas_ = std::min<std::uint64_t>(nlam_, constants.min_lambdas);
}

}  // namespace varnel_core
