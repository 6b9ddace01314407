#include "fit/statistics_fit.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "base/format.hpp"
#include "designs/block_sums.hpp"
#include "fit/glm_models.hpp"
#include "fit/least_squares_parts.hpp"
#include "fit/summed_parts.hpp"
#include "fit/working_inputs.hpp"

namespace varnel_core {

namespace {

// The columns' weighted means and variances about them, from the merged
// sums (normalized weights).
struct Moments {
    Vec mean;
    Vec var;
};
Moments moments(const RowStatistics& s) {
    const std::size_t p = s.nvars;
    Moments m{Vec(p), Vec(p)};
    for (std::size_t j = 0; j < p; ++j) {
        const double d = s.deviations[j];
        m.mean[j] = s.centre[j] + d / s.weight;
        m.var[j] = std::max((s.squares[j] - d * d / s.weight) / s.weight, 0.0);
    }
    return m;
}

// Include flags from the ranges: a column that takes one value (on the rows
// of positive weight) is constant.
Flags varying(const RowStatistics& s, bool positive) {
    Flags include(s.nvars, 0);
    for (std::size_t j = 0; j < s.nvars; ++j)
        include[j] = positive ? s.positive_min[j] < s.positive_max[j] : s.min[j] < s.max[j];
    return include;
}

void check_weight(double total) {
    if (!std::isfinite(total)) data_overflow("the sum of the weights", "weights");
}

// Exclusions, penalties and limits as the in-memory preparations make them,
// in the same order; then the weights and the columns constant on the rows
// of positive weight.
std::variant<Prepared, FitError> prepare(const RowStatistics& s, const FitConfig& cfg,
                                         WorkingConstants& wc) {
    Prepared p;
    Flags include = varying(s, false);
    apply_exclude(cfg, include);
    if (!any_flag(include)) return FitError::AllPredictorsExcluded;
    auto pen = normalize_penalty(cfg, s.nvars);
    if (auto* e = std::get_if<FitError>(&pen)) return *e;
    auto lim = box_limits(cfg, s.nvars, wc);
    if (auto* e = std::get_if<FitError>(&lim)) return *e;
    if (!(s.weight > 0.0)) return FitError::NonPositiveWeightSum;
    check_weight(s.weight);
    const Flags weighted = varying(s, true);
    for (std::size_t j = 0; j < s.nvars; ++j) include[j] = include[j] && weighted[j];
    if (!any_flag(include)) return FitError::AllPredictorsExcluded;
    p.include = std::move(include);
    p.penalty = std::move(std::get<Vec>(pen));
    p.limits = std::move(std::get<Limits>(lim));
    p.weights.sum = s.weight;
    return p;
}

// Least squares: the centred (with an intercept) or uncentred products of
// the columns, the moments and the response's sums under the normalized
// weights, from S, d and W.
std::variant<PathResult, FitError> least_squares(const StatisticsRequest& r,
                                                 const FitRequest& request,
                                                 const Interrupt& interrupt) {
    const RowStatistics& s = r.stats;
    const FitConfig& cfg = request.config;
    require(!s.products.empty(), "fit from statistics: least squares needs the products");
    WorkingConstants wc(cfg);
    auto prep = prepare(s, cfg, wc);
    if (auto* e = std::get_if<FitError>(&prep)) return *e;
    Prepared& p = std::get<Prepared>(prep);
    const std::size_t nv = s.nvars, q = nv + 1;
    check_response_range(s.positive_min[nv], s.positive_max[nv], cfg.intercept);
    const double W = s.weight;
    const Vec& c = s.centre;
    const Vec& d = s.deviations;
    // sum_i w_i (a_ij + c_j)(a_ik + c_k), the uncentred products
    auto raw = [&](std::size_t j, std::size_t k) {
        return s.products[k * q + j] + c[j] * d[k] + d[j] * c[k] + W * c[j] * c[k];
    };
    auto centred = [&](std::size_t j, std::size_t k) {
        return s.products[k * q + j] - d[j] * d[k] / W;
    };
    ColumnMoments m{Vec(nv), Vec(nv), Vec(nv)};
    m.total = 1.0;
    for (std::size_t j = 0; j < nv; ++j) {
        m.mean[j] = c[j] + d[j] / W;
        m.var[j] = centred(j, j) / W;
        m.cov[j] = centred(j, nv) / W;
    }
    m.ymean = c[nv] + d[nv] / W;
    p.nulldev = cfg.intercept ? centred(nv, nv) : raw(nv, nv);
    if (!std::isfinite(p.nulldev)) data_overflow("the weighted sum of squares of y", "y");
    Vec gram(checked_size(nv, nv));
    for (std::size_t k = 0; k < nv; ++k)
        for (std::size_t j = 0; j < nv; ++j)
            gram[k * nv + j] = (cfg.intercept ? centred(j, k) : raw(j, k)) / W;
    return all_products_path(p, m, p.nulldev / W, std::move(gram), nv, request, wc, interrupt);
}

// A reweighting family: its inputs from the moments, then the summed path
// over the request's passes.
std::variant<PathResult, FitError> reweighting(const StatisticsRequest& r, FamilyKind kind,
                                               std::size_t classes, const FitRequest& request,
                                               const Interrupt& interrupt) {
    const RowStatistics& s = r.stats;
    const FitConfig& cfg = request.config;
    require(r.rows != nullptr, "fit from statistics: the family needs passes over the rows");
    const double low = r.stats.min[s.nvars], high = r.stats.max[s.nvars];
    if (kind == FamilyKind::Binomial && !(low >= 0.0 && high <= 1.0))
        throw InputError("y must lie in [0, 1] for the binomial family, but y holds " +
                         format_number(low >= 0.0 ? high : low));
    if (kind == FamilyKind::Poisson && low < 0.0) return FitError::NegativeResponse;
    WorkingConstants wc(cfg);
    auto prep = prepare(s, cfg, wc);
    if (auto* e = std::get_if<FitError>(&prep)) return *e;
    Prepared& p = std::get<Prepared>(prep);
    const std::size_t nv = s.nvars;
    const Moments m = moments(s);
    auto [x_mean, x_scale] = scales_from_moments(m.mean, m.var, 1.0, cfg.standardize, cfg.intercept,
                                                 p.include);
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    if (cfg.standardize) {
        for (std::size_t j = 0; j < nv; ++j) {
            p.limits.lower[j] = p.limits.lower[j] * x_scale[j];
            p.limits.upper[j] = p.limits.upper[j] * x_scale[j];
        }
    }
    Vec means = r.response_means;
    if (means.empty()) means = {s.centre[nv] + s.deviations[nv] / s.weight};
    require(means.size() == classes, "fit from statistics: one mean response per class");
    SummedInputs summed{p.include, p.penalty, p.limits, x_mean, x_scale, s.weight,
                        std::move(means)};
    if (kind != FamilyKind::Multinomial)
        summed.response_range = {s.positive_min[nv], s.positive_max[nv]};
    PenaltySequence seq(cfg, wc, 1.0);
    const std::optional<GlmModel> built_in;  // fit_statistics refuses a model by variance and link
    return with_summed_family(kind, classes, built_in, cfg, wc, seq, interrupt, [&](auto make) {
        return summed_path(make(RowData{}), *r.rows, summed, request, wc, seq, interrupt);
    });
}

}  // namespace

FitOutcome fit_statistics(StatisticsRequest r, const Interrupt& interrupt) {
    r.stats.check();
    const std::size_t nv = r.stats.nvars;
    const SolverKind solver = check_choices(r.choices, true, r.stats.nobs, nv);
    const auto named = *family_named(r.choices.family);
    if (glm_model(named, r.choices) || named == FamilyKind::Cox || named == FamilyKind::Multitask)
        throw PreconditionError("a fit from statistics fits the built-in families (gaussian with "
                                "the identity link, binomial, poisson, multinomial) only");
    if (r.choices.solver == "naive")
        throw PreconditionError(
            "solver 'naive' needs the rows of x; a fit from statistics runs the covariance solver");
    require(!r.config.weights, "fit from statistics: the weights are in the statistics");
    require(!r.choices.offset, "fit from statistics: the offset is in the rows");
    const auto kind = *family_named(r.choices.family);
    const std::size_t classes = kind == FamilyKind::Multinomial ? r.response_means.size() : 1;
    require(kind != FamilyKind::Multinomial || classes >= 2,
            "fit from statistics: the multinomial family needs each class's mean");
    FitRequest request;
    request.nobs = r.stats.nobs;
    request.nvars = nv;
    request.choices = r.choices;
    request.config = r.config;
    check_tables(request.choices, request.nobs, nv, classes);
    std::variant<PathResult, FitError> path =
        kind == FamilyKind::Gaussian ? least_squares(r, request, interrupt)
                                     : reweighting(r, kind, classes, request, interrupt);
    if (auto* e = std::get_if<FitError>(&path)) return *e;
    find_bound_reached(std::get<PathResult>(path), request.config);
    // the rows are elsewhere: the response's range, an offset unknown
    const double y_reach = std::fmax(std::abs(r.stats.positive_min[nv]), std::abs(r.stats.positive_max[nv]));
    check_deviances(std::get<PathResult>(path), {request.choices.family, NAN, y_reach, NAN, 0.0});
    return FitResult{std::move(std::get<PathResult>(path)), solver};
}

RowSums block_pass(const BlockPass& b, const FitConfig& config, double* saturated_loss,
                   const Interrupt& interrupt) {
    const std::size_t n = b.x.nrows;
    require(b.y.size() == n && b.w.size() == n &&
                (b.offset.empty() || b.offset.size() == checked_size(n, b.classes)),
            "block pass: y, weights or offset of the wrong length");
    Vec w(n);
    for (std::size_t i = 0; i < n; ++i) w[i] = b.w[i] / b.total;
    const RowData rows{b.y, w, b.total, b.offset};
    const StandardizedBlock z{b.x, b.centre, b.scale};
    WorkingConstants wc(config);
    const PenaltySequence seq(config, wc, 1.0);
    RowSums sums;
    Vec eta, v, r;
    const std::optional<GlmModel> built_in;  // a model by variance and link has no block passes
    with_summed_family(b.family, b.classes, built_in, config, wc, seq, interrupt, [&](auto make) {
        auto family = make(rows);
        family_block_sums(family, z, b.coef, b.active, b.b0, b.cols, sums, eta, v, r, interrupt);
        if (saturated_loss != nullptr) *saturated_loss = family.saturated_loss_sum();
        return 0;
    });
    return sums;
}

}  // namespace varnel_core
