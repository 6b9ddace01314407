#include "fit/working_fit.hpp"

#include <tuple>
#include <utility>

#include "designs/csc.hpp"
#include "designs/dense.hpp"
#include "designs/standardized.hpp"
#include "designs/working.hpp"
#include "engine/path.hpp"
#include "families/binomial.hpp"
#include "families/multinomial.hpp"
#include "families/poisson.hpp"
#include "fit/prepare.hpp"
#include "fit/standardize.hpp"

namespace varnel_core {

namespace {

// The inputs of the path, prepared in this order: include flags (constant
// columns, exclude), penalty factors, weights, limits, the standardization
// and the limits brought to its scale.
struct Inputs {
    Flags include;
    Vec penalty;
    Limits limits;
    Weights weights;
    Vec x_mean;
    Vec x_scale;
};

// The predictors once prepared: the dense copy centred and scaled in place,
// or the CSC matrix whose centring and scaling stay implicit.
struct Prepared {
    Inputs in;
    std::variant<DenseMatrix, CscMatrix> matrix;
};

template <class M, class Standardize>
std::variant<Inputs, FitError> prepare_inputs(const M& x, const FitConfig& config,
                                              WorkingConstants& constants,
                                              const Interrupt& interrupt,
                                              Standardize&& standardize) {
    const std::size_t nobs = x.rows(), nvars = x.cols();
    Inputs p;
    p.include = varying_columns(x, interrupt);
    apply_exclude(config, p.include);
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    auto pen = normalize_penalty(config, nvars);
    if (auto* e = std::get_if<FitError>(&pen)) return *e;
    p.penalty = std::move(std::get<Vec>(pen));
    auto w = prepare_weights(config, nobs);
    if (auto* e = std::get_if<FitError>(&w)) return *e;
    p.weights = std::move(std::get<Weights>(w));
    clear_weighted_constants(x, p.weights.norm, p.include, interrupt);
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    auto lim = box_limits(config, nvars, constants);
    if (auto* e = std::get_if<FitError>(&lim)) return *e;
    p.limits = std::move(std::get<Limits>(lim));
    std::tie(p.x_mean, p.x_scale) = standardize(p.weights.norm, p.include);
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    if (config.standardize) {
        for (std::size_t j = 0; j < nvars; ++j) {
            p.limits.lower[j] = p.limits.lower[j] * p.x_scale[j];
            p.limits.upper[j] = p.limits.upper[j] * p.x_scale[j];
        }
    }
    return p;
}

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
            return column_scales(m, cfg.standardize, cfg.intercept, inc);
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

// The start on the engine's scale: b_jk x_scale_j, and the intercepts
// a0_k + sum_j b_jk x_mean_j (the engine's predictors are centred).
struct StartValues {
    Vec coef;
    Vec intercepts;
};
std::optional<StartValues> engine_start(const FitRequest& request, const Inputs& in,
                                        std::size_t nk) {
    const auto& beta = request.choices.start_beta;
    const auto& a0 = request.choices.start_a0;
    if (!beta && !a0) return std::nullopt;
    StartValues s{Vec(checked_size(request.nvars, nk), 0.0), Vec(nk, 0.0)};
    if (a0) s.intercepts = a0->values;
    if (beta) {
        for (std::size_t j = 0; j < request.nvars; ++j) {
            for (std::size_t k = 0; k < nk; ++k) {
                const double b = beta->values[j * nk + k];
                s.coef[j * nk + k] = b * in.x_scale[j];
                s.intercepts[k] += b * in.x_mean[j];
            }
        }
    }
    return s;
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
    const auto start_values = engine_start(request, in, nk);
    WarmStart start;
    if (start_values) start = {start_values->coef, start_values->intercepts};
    const PathSetup setup{{in.include, in.penalty, in.limits.lower, in.limits.upper},
                          {},
                          cfg.intercept,
                          start_values ? &start : nullptr,
                          1.0,
                          1.0,
                          in.x_mean,
                          in.x_scale};
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
                return run_path<P>(family, design, seq, rules, setup);
            } else {
                SparseWorkingDesign design(
                    Standardized<CscMatrix>(std::move(x), in.x_mean, in.x_scale, in.weights.norm),
                    nk, interrupt);
                return run_path<P>(family, design, seq, rules, setup);
            }
        },
        prep.matrix);
    r.nulldev = family.null_deviance();
    return r;
}

RowData rows_of(const FitRequest& request, const Inputs& in) {
    const auto& offset = request.choices.offset;
    return {request.y, in.weights.norm, in.weights.sum,
            offset ? std::span<const double>(offset->values) : std::span<const double>()};
}

}  // namespace

std::variant<PathResult, FitError> working_family_path(FitRequest& request, FamilyKind kind,
                                                       std::size_t classes,
                                                       const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    if (kind == FamilyKind::Binomial) BinomialFamily::check_response(request.y);
    if (kind == FamilyKind::Poisson)
        if (auto e = PoissonFamily::check_response(request.y)) return *e;
    WorkingConstants wc(cfg);
    auto prepared = prepare(request, wc, interrupt);
    if (auto* e = std::get_if<FitError>(&prepared)) return *e;
    Prepared& prep = std::get<Prepared>(prepared);
    PenaltySequence seq(cfg, wc, 1.0);
    const RowData rows = rows_of(request, prep.in);
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
    case FamilyKind::Gaussian:
        break;
    }
    throw PreconditionError("least squares is not a working-weights family");
}

}  // namespace varnel_core
