// The decreasing penalty sequence of a path and the strong-rule screening
// that each of its values starts with.
#pragma once

#include <cstdint>
#include <span>

#include "base/config.hpp"
#include "base/numeric.hpp"
#include "base/numeric.hpp"

namespace varnel_core {

// max over included j with penalty_j > 0 of abs_grad_j / penalty_j (0 when
// none; NaN quotients skipped).
double lambda_max(std::span<const double> abs_grad, std::span<const double> penalty,
                  const Flags& include);

// Every included variable outside the strong set joins it when
// abs_grad_j > penalty_j * t.  Returns whether any variable joined.
bool screen_strong(Flags& strong, const Flags& include, std::span<const double> abs_grad,
                   std::span<const double> penalty, double t);

// The caller's values, sorted, or the geometric sequence that starts at `big`
// and continues from lambda_max / max(alpha, 0.001).
class PenaltySequence {
public:
    // user values are divided by `user_scale` (the least-squares solver works
    // on the response's scale).
    PenaltySequence(const FitConfig& config, const WorkingConstants& constants, double user_scale);

    std::uint64_t size() const { return nlam_; }
    bool generated() const { return generated_; }

    // The reference value a generated sequence continues from, given the
    // largest gradient ratio: lmax / max(alpha, 0.001), capped at `big` (a
    // tiny positive penalty factor could make the quotient overflow).
    double start(double lmax) const { return nan_min(lmax / nan_max(alpha_, 0.001), big_); }

    // The value of step m (called for m = 0, 1, ... in order).  At m = 1 of a
    // generated sequence `lmax` supplies the largest gradient ratio.
    template <class LambdaMax>
    double advance(std::uint64_t m, LambdaMax&& lmax) {
        double cur;
        if (!generated_) {
            prev_ = last_;
            cur = user_[m];
        } else if (m == 0) {
            prev_ = 0.0;
            cur = big_;
        } else if (m == 1) {
            prev_ = start(lmax());
            cur = ratio_ * prev_;
        } else {
            prev_ = last_;
            cur = ratio_ * prev_;
        }
        last_ = cur;
        return cur;
    }
    // Strong-rule threshold t = (lambda + lambda - prev) * alpha.
    double strong_threshold(double lambda) const { return (lambda + lambda - prev_) * alpha_; }
    // Early stops apply to a generated sequence from solution min(nlam, 5) on.
    bool early_stop_applies(std::uint64_t m) const {
        return generated_ && m + 1 >= min_lambdas_;
    }
    std::uint64_t min_lambdas() const { return min_lambdas_; }

private:
    Vec user_;
    std::uint64_t nlam_ = 0;
    bool generated_ = false;
    double ratio_ = 1.0;
    double alpha_ = 1.0;
    double big_ = 0.0;
    std::uint64_t min_lambdas_ = 0;
    double prev_ = 0.0;
    double last_ = 0.0;
};

}  // namespace varnel_core
