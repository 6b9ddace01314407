// The one solve: a loss on a design of any storage, walked along its
// penalty sequence by run_path from what the preparation made.
#pragma once

#include <cstddef>
#include <span>

#include "base/config.hpp"
#include "base/interrupt.hpp"
#include "solver/path.hpp"
#include "solver/penalty.hpp"
#include "solver/sequence.hpp"
#include "fit/fit.hpp"
#include "fit/prepare.hpp"

namespace varnel_core {

// Whether a loss's coefficients of one variable are penalized as a group:
// never (one coefficient per variable), when the choices say so
// (`grouped`), or always.
enum class Grouping { never, by_choice, always };

// What the solve reads of the request besides the prepared inputs.
struct SolveOptions {
    const FitConfig& config;
    const FitChoices& choices;
    // Each response's scale (K values) when the loss fits scaled responses;
    // empty: the caller's scale, or y_scale of one-response least squares.
    std::span<const double> response_scales = {};
};

// The path of `loss` on `design`: the path rules, the start (start_beta and
// start_a0 to the engine's scale; a loss whose intercept comes from centring
// starts from start_beta alone), the coordinates and curvatures of `p`, and
// the map back (coefficients and penalty values times y_scale).  The null
// deviance is the loss's, or the prepared one of least squares; a loss of
// scaled responses maps its path back to the caller's scale after the
// bound check (find_bound_reached) on the scale the bound applies to.
template <Grouping G, class F, class D>
PathResult solve(F& loss, D& design, const Prepared& p, const SolveOptions& o,
                 PenaltySequence& seq, const WorkingConstants& wc, const Interrupt& interrupt) {
    const FitConfig& cfg = o.config;
    const std::size_t nk = loss.width();
    const bool centred = F::intercept_fit == InterceptFit::by_centring;
    const std::span<const double> scales =
        !o.response_scales.empty() ? o.response_scales
        : p.st.y_scale != 1.0      ? std::span<const double>(&p.st.y_scale, 1)
                                   : std::span<const double>();
    const auto values = engine_start(o.choices, p.st.x_mean, p.st.x_scale, nk, scales, centred);
    WarmStart start;
    if (values) start = {values->coef, values->intercepts};
    const PathRules rules(cfg, wc, interrupt);
    const PathSetup setup{{p.include, p.penalty, p.limits.lower, p.limits.upper},
                          p.st.x_sumsq,
                          cfg.intercept && F::intercept_fit != InterceptFit::none,
                          values ? &start : nullptr,
                          p.st.y_scale,
                          p.st.y_scale,
                          p.st.x_mean,
                          p.st.x_scale};
    PathResult r;
    if constexpr (G == Grouping::never)
        r = run_path<ElasticNetPenalty>(loss, design, seq, rules, setup);
    else if constexpr (G == Grouping::always)
        r = run_path<GroupElasticNetPenalty>(loss, design, seq, rules, setup);
    else if (o.choices.grouped)
        r = run_path<GroupElasticNetPenalty>(loss, design, seq, rules, setup);
    else
        r = run_path<ElasticNetPenalty>(loss, design, seq, rules, setup);
    if constexpr (requires { loss.null_deviance(); }) r.nulldev = loss.null_deviance();
    else r.nulldev = p.nulldev;
    if constexpr (requires { loss.to_response_scale(r); }) {
        find_bound_reached(r, cfg);
        loss.to_response_scale(r);
    }
    return r;
}

// The path of a request whose choices are checked (check_choices) with
// the solver that runs: the one place that asks the family table for the
// loss (with_loss) and takes the route its properties and the solver name.
// Its checks of the response's columns and of the tables' shapes; least
// squares (one response or K) fits y less the offset; then the design:
//   one-response least squares   its own designs (fit/least_squares.hpp)
//   K responses, covariance      the products they share (products_path)
//   sums over rows, covariance   a statistics design over summed rows
//   otherwise                    a working design over the dense or CSC
//                                columns, standardized
// and after the path the bound check and the deviance checks.
FitOutcome solve_request(FitRequest request, SolverKind solver, const Interrupt& interrupt);

}  // namespace varnel_core
