// The path of a reweighting family over summed rows, shared by the
// covariance solver in memory and the fit from statistics: the family's
// rules, its source, the statistics design and the engine.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "base/interrupt.hpp"
#include "data/statistics.hpp"
#include "solver/path.hpp"
#include "solver/penalty.hpp"
#include "solver/sequence.hpp"
#include "losses/binomial.hpp"
#include "losses/glm.hpp"
#include "losses/multinomial.hpp"
#include "losses/poisson.hpp"
#include "losses/summed.hpp"
#include "fit/fit.hpp"
#include "fit/prepare.hpp"
#include "fit/working_inputs.hpp"
#include "losses/response.hpp"

namespace varnel_core {

// What the path takes from the data besides the passes over its rows:
// include flags, normalized penalty factors, limits on the standardized
// scale, the standardization, the caller's sum of weights and the weighted
// mean response (each class's share for K > 1), the weights normalized.
struct SummedInputs {
    const Flags& include;
    std::span<const double> penalty;
    const Limits& limits;
    std::span<const double> x_mean;
    std::span<const double> x_scale;
    double total;
    Vec means;
    // The smallest and largest y on the rows of positive weight, when the
    // family refuses a constant response (with an intercept) and no one
    // checked it on the rows.
    std::optional<std::pair<double, double>> response_range = std::nullopt;
    // A guarded family's null intercepts, found on all the rows with its
    // halved steps (the summed source's steps on the intercepts are not
    // guarded; the other families start from F::null_intercepts).
    std::optional<Vec> null_intercepts = std::nullopt;
};

// visit(make) with make(rows) giving the family of `kind` (GlmFamily when a
// `model` by variance and link is given) over those rows without the
// whole-data checks (F::over_block): over no rows, the family's rules; over
// the rows of a block, its per-row maths.
template <class Visit>
decltype(auto) with_summed_family(FamilyKind kind, std::size_t classes,
                                  const std::optional<GlmModel>& model, const FitConfig& cfg,
                                  const WorkingConstants& wc, const PenaltySequence& seq,
                                  const Interrupt& interrupt, Visit&& visit) {
    if (model)
        return visit([&](RowData rows) { return GlmFamily::over_block(*model, rows, cfg, wc); });
    switch (kind) {
    case FamilyKind::Binomial:
        return visit([&](RowData rows) { return BinomialFamily::over_block(rows, cfg, wc); });
    case FamilyKind::Poisson:
        return visit([&](RowData rows) {
            return PoissonFamily::over_block(rows, cfg, wc, seq.min_lambdas());
        });
    case FamilyKind::Multinomial:
        return visit([&](RowData rows) {
            return MultinomialFamily::over_block(rows, classes, cfg, wc, interrupt);
        });
    default:
        break;
    }
    throw PreconditionError("only the binomial, poisson, multinomial and GLM families have "
                            "summed working weights");
}

// The path of F over `rows`, from the rules of F (F over no rows).
template <class F>
std::variant<PathResult, FitError> summed_path(F rules, RowPasses& rows, const SummedInputs& in,
                                               const FitRequest& request,
                                               const WorkingConstants& wc, PenaltySequence& seq,
                                               const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    const std::size_t nk = rules.width();
    std::variant<Vec, FitError> start;
    if constexpr (!requires { F::null_intercepts(in.means, cfg.intercept, wc); }) {
        require(in.null_intercepts.has_value(), "summed path: a guarded family's null model");
        start = *in.null_intercepts;
    } else {
        start = F::null_intercepts(in.means, cfg.intercept, wc);
    }
    if (auto* e = std::get_if<FitError>(&start)) return *e;
    if (in.response_range && cfg.intercept)
        check_response_range(in.response_range->first, in.response_range->second, true);
    rows.standardize(in.x_mean, in.x_scale);
    SummedFamily<F> family(std::move(rules), nk, cfg.thresh, in.total);
    SummedSource<F> source(family, rows, std::move(std::get<Vec>(start)), cfg.intercept);
    StatisticsDesign design(source, in.include, nk, interrupt);
    const PathRules path_rules(cfg, wc, interrupt);
    const auto start_values = engine_start(request, in.x_mean, in.x_scale, nk);
    WarmStart warm;
    if (start_values) warm = {start_values->coef, start_values->intercepts};
    const PathSetup setup{{in.include, in.penalty, in.limits.lower, in.limits.upper},
                          {},
                          cfg.intercept,
                          start_values ? &warm : nullptr,
                          1.0,
                          1.0,
                          in.x_mean,
                          in.x_scale};
    PathResult r;
    if constexpr (F::block) {
        if (request.choices.grouped)
            r = run_path<GroupElasticNetPenalty>(family, design, seq, path_rules, setup);
        else
            r = run_path<ElasticNetPenalty>(family, design, seq, path_rules, setup);
    } else {
        r = run_path<ElasticNetPenalty>(family, design, seq, path_rules, setup);
    }
    r.nulldev = family.null_deviance();
    r.npasses_data = rows.count();
    return r;
}

}  // namespace varnel_core
