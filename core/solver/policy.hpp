// The path policy of every kind of loss, in one table: how the engine
// schedules its passes, rounds the change of a step, sets its convergence
// threshold, maps the intercepts back and stops a generated path early.
// A loss declares its kind (LossKind, losses/family.hpp) and supplies only
// the numbers these rules read of it: its null scale and its deviance ratio.
//
// Every column of the table shows in the results (npasses, where a path
// stops, the last bits of the coefficients), so each kind keeps its row.
//
//   schedule        where the pass limit is checked besides after every
//                   pass that did not converge, and whether penalty values
//                   resume passes over the active list (Schedule)
//   rounding        how the weighted squared change c d^2 of one step is
//                   rounded: d (c d), (c d) d or c (d d)
//   conv_thresh     thresh * the loss's null_scale() for every kind: half
//                   its null deviance per unit weight (least squares: the
//                   null weighted sum of squares of the standardized
//                   responses, 1 for one response)
//   intercept_form  how a solution's intercepts map back to the caller's
//                   scale (InterceptForm, solver/store.hpp)
//   early stop      a generated path stops after solution m (from solution
//                   min_lambdas on, PenaltySequence::early_stop_applies)
//                   when its deviance ratio dev exceeds max_dev_ratio, or
//                   when it made little progress:
//                     relative_gain  (dev - dev[m-1]) / dev < g min_dev_change
//                                    (dev = 0 counts as progress)
//                     gain           dev - dev[m-1] < g min_dev_change
//                     window_gain    (dev - dev[m+1-min_lambdas]) / dev
//                                    < g min_dev_change
//                   with dev[-1] = 0 and g the row's gain factor.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "losses/family.hpp"
#include "solver/store.hpp"

namespace varnel_core {

// Where the pass limit (`npasses > maxit`) is checked besides after every
// pass that did not converge, and whether penalty values resume passes over
// the active list.
struct Schedule {
    bool limit_at_lambda_start;   // once per penalty value, before its first pass
    bool limit_before_full_pass;  // before every full pass
    bool resume_active;           // after a full pass first failed to converge, every
                                  // later penalty value starts with active passes
};

// How c * d^2 is rounded.
enum class StepRounding { d_cd, cd_d, c_dd };

enum class ProgressRule { relative_gain, gain, window_gain };

struct PathPolicy {
    LossKind kind;
    Schedule schedule;
    StepRounding rounding;
    InterceptForm intercept_form;
    ProgressRule progress;
    double gain_factor;
};

// One row per kind, in the order of LossKind.
inline constexpr std::array<PathPolicy, loss_kinds> path_policies = [] {
    using enum LossKind;
    using enum StepRounding;
    using enum InterceptForm;
    using enum ProgressRule;
    // the limit before every full pass, resuming active passes; or once per
    // penalty value
    constexpr Schedule per_pass{false, true, true}, per_lambda{true, false, false};
    return std::array<PathPolicy, loss_kinds>{{
        // kind         schedule    rounding  intercept form      progress       g
        {least_squares, per_pass,   d_cd,     AddCentring,        relative_gain, 1.0},
        {logistic,      per_lambda, cd_d,     SubtractFromStored, gain,          1.0},
        {poisson,       per_lambda, c_dd,     AddCentring,        window_gain,   10.0},
        {glm,           per_lambda, c_dd,     AddCentring,        gain,          1.0},
        {multinomial,   per_lambda, cd_d,     SubtractFromStored, gain,          1.0},
        {cox,           per_lambda, cd_d,     SubtractFromStored, gain,          1.0},
    }};
}();

constexpr const PathPolicy& path_policy(LossKind kind) {
    return path_policies[static_cast<std::size_t>(kind)];
}

constexpr bool rows_in_kind_order() {
    for (std::size_t i = 0; i < path_policies.size(); ++i)
        if (static_cast<std::size_t>(path_policies[i].kind) != i) return false;
    return true;
}
static_assert(rows_in_kind_order(), "path_policies: one row per LossKind, in its order");

template <class F>
inline constexpr const PathPolicy& policy_of = path_policy(F::kind);

// The weighted squared change c d^2 of a step, rounded as rule R says.
template <StepRounding R>
double step_change(double c, double d) {
    if constexpr (R == StepRounding::d_cd) return d * (c * d);
    else if constexpr (R == StepRounding::cd_d) return (c * d) * d;
    else return c * (d * d);
}

// The convergence threshold of a pass and of an outer iteration.
inline double conv_thresh(double thresh, double null_scale) { return thresh * null_scale; }

// Whether solution m, of deviance ratio dev, made too little progress for
// the path to go on (see the header); `min_lambdas` as the sequence counts it.
inline bool little_progress(const PathPolicy& policy, std::uint64_t m, double dev,
                            const SolutionStore& store, double min_dev_change,
                            std::uint64_t min_lambdas) {
    const double limit = policy.gain_factor * min_dev_change;
    switch (policy.progress) {
    case ProgressRule::relative_gain: {
        const double prev = m == 0 ? 0.0 : store.dev(m - 1);
        const double gain =
            dev == 0.0 ? std::numeric_limits<double>::infinity() : (dev - prev) / dev;
        return gain < limit;
    }
    case ProgressRule::gain: {
        const double before = m == 0 ? 0.0 : store.dev(m - 1);
        return dev - before < limit;
    }
    case ProgressRule::window_gain:
        return (dev - store.dev(m + 1 - min_lambdas)) / dev < limit;
    }
    return false;
}

}  // namespace varnel_core
