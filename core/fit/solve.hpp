// The one solve: a loss on a design of any storage, walked along its
// penalty sequence by run_path from what the preparation made; and the
// one passage that takes a request there (solve_source).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "base/config.hpp"
#include "base/interrupt.hpp"
#include "solver/group_penalty.hpp"
#include "solver/path.hpp"
#include "solver/penalty.hpp"
#include "solver/sequence.hpp"
#include "fit/fit.hpp"
#include "fit/glm_models.hpp"
#include "fit/prepare.hpp"
#include "fit/registry.hpp"

namespace varnel_core {

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
// the map back (coefficients and penalty values times y_scale); the
// per-penalty starts (starts_beta, starts_a0) to the same scale.  The null
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
    const StartTable starts =
        engine_starts(o.choices, p.st.x_mean, p.st.x_scale, nk, scales, centred);
    const PathRules rules(cfg, wc, interrupt);
    const PathSetup setup{{p.include, p.penalty, p.limits.lower, p.limits.upper},
                          p.st.x_sumsq,
                          cfg.intercept && F::intercept_fit != InterceptFit::none,
                          values ? &start : nullptr,
                          p.st.y_scale,
                          p.st.y_scale,
                          p.st.x_mean,
                          p.st.x_scale,
                          starts.starts};
    // the penalty's units: a group of variables under feature_groups, else
    // one variable under the elastic net or, grouped, its K coefficients
    // under the group elastic net
    auto walk = [&](auto units) {
        return run_path(loss, design, seq, rules, setup, std::move(units));
    };
    PathResult r;
    if (o.choices.feature_groups) {
        if (cfg.lower_limits || cfg.upper_limits)
            throw PreconditionError("feature_groups takes no lower_limits or upper_limits");
        const GroupTable groups = group_table(*o.choices.feature_groups, p.include, p.penalty,
                                              o.choices.group_size_weight);
        r = walk(GroupUnits(groups, SparseGroupPenalty{o.choices.l1_within}));
    } else if constexpr (G == Grouping::never)
        r = walk(VariableUnits<ElasticNetPenalty>{});
    else if constexpr (G == Grouping::always)
        r = walk(VariableUnits<GroupElasticNetPenalty>{});
    else if (o.choices.grouped)
        r = walk(VariableUnits<GroupElasticNetPenalty>{});
    else
        r = walk(VariableUnits<ElasticNetPenalty>{});
    if constexpr (requires { loss.null_deviance(); }) r.nulldev = loss.null_deviance();
    else r.nulldev = p.nulldev;
    if constexpr (requires { loss.to_response_scale(r); }) {
        find_bound_reached(r, cfg);
        loss.to_response_scale(r);
    }
    return r;
}

// The one passage from a checked request to its path, whatever holds the
// rows: it asks the family table once for the loss (with_loss) and the
// source for the route the loss's properties and the solver name; then
// the bound check and the deviance checks.  A Source offers
//   choices(), config(), nobs(), nvars()
//   width<L>()            K of the loss L, after its checks of y's columns
//   deviance_setting(v)   what the deviance checks know of the rows
//   path<L>(l, model, K, solver, interrupt)
//   check_deviances()     whether the deviances are checked
// The rows in memory (solve_request) and a fit from statistics
// (fit/statistics_fit.hpp) are its two sources.
template <class Source>
FitOutcome solve_source(Source& source, SolverKind solver, const Interrupt& interrupt) {
    FitChoices& c = source.choices();
    const FamilyEntry& family = *family_named(c.family);
    const auto model = glm_model(family, c);
    return with_loss(family, model, [&](auto l) -> FitOutcome {
        using L = decltype(l);
        const std::size_t nk = source.template width<L>();
        check_tables(c, source.nobs(), source.nvars(), nk);
        std::optional<Variance> variance;
        if (model && !L::least_squares) variance = model->variance;
        const DevianceSetting setting = source.deviance_setting(variance);
        std::variant<PathResult, FitError> path = source.path(l, model, nk, solver, interrupt);
        if (auto* e = std::get_if<FitError>(&path)) return *e;
        find_bound_reached(std::get<PathResult>(path), source.config());
        if (source.check_deviances()) check_deviances(std::get<PathResult>(path), setting);
        return FitResult{std::move(std::get<PathResult>(path)), solver};
    });
}

// The path of a request of rows in memory whose choices are checked
// (check_choices), with the solver that runs: its checks of y's columns;
// least squares (one response or K) fits y less the offset; the design:
//   one-response least squares   its own designs (fit/least_squares.hpp)
//   K responses, covariance      the products they share (products_path)
//   sums over rows, covariance   a statistics design over summed rows
//   otherwise                    a working design over the dense or CSC
//                                columns, standardized
FitOutcome solve_request(FitRequest request, SolverKind solver, const Interrupt& interrupt);

}  // namespace varnel_core
