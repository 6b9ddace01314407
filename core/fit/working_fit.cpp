#include "fit/working_fit.hpp"

#include <tuple>
#include <utility>

#include "data/csc.hpp"
#include "data/dense.hpp"
#include "data/standardized.hpp"
#include "data/working.hpp"
#include "solver/path.hpp"
#include "losses/binomial.hpp"
#include "losses/cox.hpp"
#include "losses/glm.hpp"
#include "losses/huber.hpp"
#include "losses/multinomial.hpp"
#include "losses/multitask.hpp"
#include "losses/poisson.hpp"
#include "fit/glm_models.hpp"
#include "fit/prepare.hpp"
#include "fit/standardize.hpp"
#include "fit/summed_fit.hpp"
#include "fit/working_inputs.hpp"

namespace varnel_core {

namespace {

// The predictors once prepared: the dense copy centred and scaled in place,
// or the CSC matrix whose centring and scaling stay implicit.
struct Prepared {
    Inputs in;
    std::variant<DenseMatrix, CscMatrix> matrix;
};

std::variant<Prepared, FitError> prepare(FitRequest& request, WorkingConstants& constants,
                                         const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    if (auto* dense = std::get_if<DenseMatrix>(&request.x)) {
        DenseMatrix x = std::move(*dense);
        // The stable entry points' own copy is centred and scaled in place;
        // the caller's array is read in place, standardized on the fly.
        const bool in_place = x.owned();
        auto in = prepare_inputs(x, cfg, constants, interrupt, [&](const Vec& w, Flags& inc) {
            if (in_place)
                return centre_and_scale_in_place(x, w, cfg.standardize, cfg.intercept, inc,
                                                 interrupt);
            const ColumnMoments m =
                column_moments(x.strided(), w, {}, fit_threads(request.choices), interrupt);
            return scales_from_moments(m.mean, m.var, m.total, cfg.standardize, cfg.intercept,
                                       inc);
        });
        if (auto* e = std::get_if<FitError>(&in)) return *e;
        return Prepared{std::move(std::get<Inputs>(in)), std::move(x)};
    }
    CscMatrix x = std::get<CscInput>(request.x).matrix(request.nobs);
    auto in = prepare_inputs(x, cfg, constants, interrupt, [&](const Vec& w, Flags& inc) {
        return column_scales(x, w, cfg.standardize, cfg.intercept, inc, interrupt);
    });
    if (auto* e = std::get_if<FitError>(&in)) return *e;
    return Prepared{std::move(std::get<Inputs>(in)), std::move(x)};
}

// The path of family F, already checked against the prepared rows.
template <class P, class F>
PathResult family_path(F& family, Prepared& prep, const FitRequest& request,
                       const WorkingConstants& wc, PenaltySequence& seq,
                       const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    const Inputs& in = prep.in;
    const std::size_t nk = family.width();
    const PathRules rules{cfg.alpha, cfg.maxit, cfg.dfmax, cfg.pmax, wc.max_dev_ratio, interrupt};
    const auto start_values = engine_start(request, in.x_mean, in.x_scale, nk);
    WarmStart start;
    if (start_values) start = {start_values->coef, start_values->intercepts};
    const PathSetup setup{{in.include, in.penalty, in.limits.lower, in.limits.upper},
                          {},
                          cfg.intercept && F::intercept_fit != InterceptFit::none,
                          start_values ? &start : nullptr,
                          1.0,
                          1.0,
                          in.x_mean,
                          in.x_scale};
    // a family of fixed weights writes them, and its null residual, once
    auto run = [&](auto& design) {
        if constexpr (!F::reweights) {
            design.begin_refit();
            family.fixed_rows(design.weights(), design.residual());
            design.end_refit();
        }
        return run_path<P>(family, design, seq, rules, setup);
    };
    PathResult r = std::visit(
        [&](auto& x) {
            using M = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<M, DenseMatrix>) {
                const std::size_t p = x.cols();
                const bool in_place = x.owned();  // already centred and scaled
                DenseWorkingDesign design(
                    Standardized<DenseMatrix>(std::move(x), in_place ? Vec(p, 0.0) : in.x_mean,
                                              in_place ? Vec(p, 1.0) : in.x_scale),
                    nk, interrupt);
                return run(design);
            } else {
                SparseWorkingDesign design(
                    Standardized<CscMatrix>(std::move(x), in.x_mean, in.x_scale, in.weights.norm),
                    nk, interrupt);
                return run(design);
            }
        },
        prep.matrix);
    r.nulldev = family.null_deviance();
    return r;
}

}  // namespace

std::variant<PathResult, FitError> working_family_path(FitRequest& request, FamilyKind kind,
                                                       std::size_t classes, bool covariance,
                                                       const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    if (kind == FamilyKind::Binomial) BinomialFamily::check_response(request.y);
    if (kind == FamilyKind::Cox) {
        CoxFamily::check_response(request.y);
        request.config.intercept = true;  // centred columns; the family has no intercept
    }
    if (kind == FamilyKind::Poisson)
        if (auto e = PoissonFamily::check_response(request.y)) return *e;
    const auto model = glm_model(kind, request.choices);
    if (model) check_response(model->variance, request.y, model->name);
    if (covariance) return covariance_family_path(request, kind, classes, interrupt);
    WorkingConstants wc(cfg);
    auto prepared = prepare(request, wc, interrupt);
    if (auto* e = std::get_if<FitError>(&prepared)) return *e;
    Prepared& prep = std::get<Prepared>(prepared);
    PenaltySequence seq(cfg, wc, 1.0);
    const RowData rows = rows_of(request, prep.in.weights);
    if (model) {
        auto made = GlmFamily::make(*model, rows, prep.in.weights.raw, cfg, wc);
        if (auto* e = std::get_if<FitError>(&made)) return *e;
        return family_path<ElasticNetPenalty>(std::get<GlmFamily>(made), prep, request, wc, seq,
                                              interrupt);
    }
    switch (kind) {
    case FamilyKind::Binomial: {
        auto made = BinomialFamily::make(rows, prep.in.weights.raw, cfg, wc);
        if (auto* e = std::get_if<FitError>(&made)) return *e;
        return family_path<ElasticNetPenalty>(std::get<BinomialFamily>(made), prep, request, wc,
                                              seq, interrupt);
    }
    case FamilyKind::Poisson: {
        PoissonFamily family =
            PoissonFamily::make(rows, prep.in.weights.raw, cfg, wc, seq.min_lambdas());
        return family_path<ElasticNetPenalty>(family, prep, request, wc, seq, interrupt);
    }
    case FamilyKind::Multinomial: {
        auto made = MultinomialFamily::make(rows, classes, cfg, wc, interrupt);
        if (auto* e = std::get_if<FitError>(&made)) return *e;
        auto& family = std::get<MultinomialFamily>(made);
        if (request.choices.grouped)
            return family_path<GroupElasticNetPenalty>(family, prep, request, wc, seq, interrupt);
        return family_path<ElasticNetPenalty>(family, prep, request, wc, seq, interrupt);
    }
    case FamilyKind::Cox: {
        const auto& strata = request.choices.strata;
        CoxFamily family = CoxFamily::make(
            rows, strata ? std::span<const std::uint64_t>(*strata) : std::span<const std::uint64_t>(),
            *ties_named(request.choices.ties), cfg, wc, interrupt);
        return family_path<ElasticNetPenalty>(family, prep, request, wc, seq, interrupt);
    }
    case FamilyKind::Multitask: {
        MultitaskFamily family = MultitaskFamily::make(
            rows, classes, cfg, request.choices.standardize_response, wc.min_dev_change);
        if (auto& beta = request.choices.start_beta)  // to the scaled responses
            for (std::size_t e = 0; e < beta->values.size(); ++e)
                beta->values[e] = beta->values[e] / family.scales()[e % classes];
        PathResult r =
            family_path<GroupElasticNetPenalty>(family, prep, request, wc, seq, interrupt);
        find_bound_reached(r, cfg);  // on the scale the bound applies to
        family.to_response_scale(r);
        return r;
    }
    case FamilyKind::Huber: {  // the robust loss
        HuberFamily family = HuberFamily::make(rows, prep.in.weights.raw,
                                               huber_delta(request.choices.delta), cfg, wc);
        return family_path<ElasticNetPenalty>(family, prep, request, wc, seq, interrupt);
    }
    default:
        break;
    }
    throw PreconditionError("one-response least squares is not a working-weights family");
}

}  // namespace varnel_core
