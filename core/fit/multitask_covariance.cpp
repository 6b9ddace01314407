#include "fit/multitask_covariance.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "designs/block_covariance.hpp"
#include "designs/dense.hpp"
#include "engine/path.hpp"
#include "families/multitask.hpp"
#include "fit/prepare.hpp"
#include "kernels/gram.hpp"

namespace varnel_core {

namespace {

// Centres, scales and curvatures of the included columns from their
// weighted moments (the weights sum to 1), as the naive solver's
// standardization gives them; a column of no spread is dropped.
struct Columns {
    Vec centre;
    Vec scale;
    Vec curvature;
};

Columns column_standardization(const StridedMatrix& x, std::span<const double> w, Flags& include,
                               const FitConfig& cfg, const Interrupt& interrupt) {
    const std::size_t p = x.ncols;
    Vec mean(p), var(p);
    weighted_column_stats(x, w, {}, mean, var, {}, 1, interrupt);
    Columns c{Vec(p, 0.0), Vec(p, 1.0), Vec(p, 0.0)};
    for (std::size_t j = 0; j < p; ++j) {
        if (!include[j]) continue;
        if (!std::isfinite(mean[j]) || !std::isfinite(var[j]))
            data_overflow("the weighted mean or sum of squares of column " + std::to_string(j) +
                              " of x",
                          "x");
        const double sumsq = cfg.intercept ? var[j] : var[j] + mean[j] * mean[j];
        if (!(var[j] > 0.0) || !(sumsq > 0.0)) {
            include[j] = 0;
            continue;
        }
        if (cfg.intercept) c.centre[j] = mean[j];
        c.curvature[j] = sumsq;
        if (cfg.standardize) {
            c.scale[j] = std::sqrt(var[j]);
            c.curvature[j] = sumsq / var[j];
        }
    }
    return c;
}

}  // namespace

std::variant<PathResult, FitError> multitask_covariance_path(FitRequest& request,
                                                             const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    const DenseMatrix& matrix = std::get<DenseMatrix>(request.x);
    const StridedMatrix& x = matrix.strided();
    const std::size_t n = x.nrows, p = x.ncols, nk = request.y_cols;
    WorkingConstants wc(cfg);

    Flags include = varying_columns(matrix, interrupt);
    apply_exclude(cfg, include);
    if (!any_flag(include)) return FitError::AllPredictorsExcluded;
    auto pen = normalize_penalty(cfg, p);
    if (auto* e = std::get_if<FitError>(&pen)) return *e;
    auto lim = box_limits(cfg, p, wc);
    if (auto* e = std::get_if<FitError>(&lim)) return *e;
    auto weights = prepare_weights(cfg, n);
    if (auto* e = std::get_if<FitError>(&weights)) return *e;
    const Weights& wt = std::get<Weights>(weights);
    clear_weighted_constants(matrix, wt.norm, include, interrupt);
    if (!any_flag(include)) return FitError::AllPredictorsExcluded;
    MultitaskFamily family = MultitaskFamily::make({request.y, wt.norm, wt.sum, {}}, nk, cfg,
                                                   request.choices.standardize_response,
                                                   wc.min_dev_change);
    Columns cols = column_standardization(x, wt.norm, include, cfg, interrupt);
    if (!any_flag(include)) return FitError::AllPredictorsExcluded;
    Limits& limits = std::get<Limits>(lim);
    for (std::size_t j = 0; j < p; ++j) {
        limits.lower[j] = limits.lower[j] * cols.scale[j];
        limits.upper[j] = limits.upper[j] * cols.scale[j];
    }

    // the gradients at b = 0: the products of the columns with the centred
    // and scaled responses, Y the Gram's extra columns
    Vec centre(cols.centre), scale(cols.scale);
    centre.insert(centre.end(), family.means().begin(), family.means().end());
    scale.insert(scale.end(), family.scales().begin(), family.scales().end());
    std::vector<std::size_t> responses(nk);
    for (std::size_t k = 0; k < nk; ++k) responses[k] = p + k;
    Vec products(checked_size(p + nk, nk));
    const StridedMatrix y{request.y.data(), n, nk, static_cast<std::ptrdiff_t>(nk), 1};
    gram_columns(x, wt.norm, Centring::given, centre, scale, responses, products.data(), p + nk, {},
                 GramKernel::best, y, 1, interrupt);
    Vec gradient(checked_size(p, nk));
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t k = 0; k < nk; ++k) gradient[j * nk + k] = products[j + k * (p + nk)];
    Vec curvatures(checked_size(p, nk));
    for (std::size_t e = 0; e < curvatures.size(); ++e) curvatures[e] = cols.curvature[e / nk];

    Vec start_coef;
    const Vec no_intercepts(nk, 0.0);
    WarmStart start{{}, no_intercepts};
    if (const auto& beta = request.choices.start_beta) {
        start_coef.resize(checked_size(p, nk));
        for (std::size_t e = 0; e < start_coef.size(); ++e)
            start_coef[e] = beta->values[e] * cols.scale[e / nk] / family.scales()[e % nk];
        start.coef = start_coef;
    }
    PenaltySequence seq(cfg, wc, 1.0);
    const Vec& penalty = std::get<Vec>(pen);
    const PathRules rules{cfg.alpha, cfg.maxit, cfg.dfmax, cfg.pmax, wc.max_dev_ratio, interrupt};
    const PathSetup setup{{include, penalty, limits.lower, limits.upper},
                          curvatures,
                          cfg.intercept,
                          request.choices.start_beta ? &start : nullptr,
                          1.0,
                          1.0,
                          cols.centre,
                          cols.scale};
    auto columns = [&] {
        if (p > covariance_all_at_once) return ProductColumns(x, wt.norm, cols.centre, cols.scale, interrupt);
        Vec all(checked_size(p, p));
        gram_full(x, wt.norm, Centring::given, cols.centre, cols.scale, all.data(), p, {},
                  GramKernel::best, {}, 1, interrupt);
        return ProductColumns(std::move(all), p);
    };
    BlockCovarianceDesign design(columns(), include, std::move(gradient), nk);
    PathResult r = run_path<GroupElasticNetPenalty>(family, design, seq, rules, setup);
    r.nulldev = family.null_deviance();
    family.to_response_scale(r);
    return r;
}

}  // namespace varnel_core
