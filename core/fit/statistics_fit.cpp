#include "fit/statistics_fit.hpp"

#include <cmath>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "base/format.hpp"
#include "data/block_sums.hpp"
#include "losses/intercept_scoring.hpp"
#include "losses/response.hpp"
#include "fit/glm_models.hpp"
#include "fit/least_squares.hpp"
#include "fit/registry.hpp"
#include "fit/solve.hpp"
#include "fit/standardize.hpp"
#include "fit/summed_parts.hpp"

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

// The rows as the preparation reads them, from their sums: the columns
// that vary over all the rows and over the rows of positive weight, and
// the sum of the weights (the weights themselves live in the sums).
struct StatisticsColumns {
    const RowStatistics& s;
    Flags varying(const Interrupt&) const { return varnel_core::varying(s, false); }
    std::variant<Weights, FitError> weights(const FitConfig&) const {
        if (const auto e = check_weight_total(s.weight)) return *e;
        return Weights{{}, s.weight, {}};
    }
    void clear_weighted(const Weights&, Flags& include, const Interrupt&) const {
        const Flags weighted = varnel_core::varying(s, true);
        for (std::size_t j = 0; j < s.nvars; ++j) include[j] = include[j] && weighted[j];
    }
};

// The columns' means and scales from their moments.
template <class Standardize>
std::variant<Prepared, FitError> prepare_statistics(const RowStatistics& s, const FitConfig& cfg,
                                                    WorkingConstants& wc,
                                                    const Interrupt& interrupt,
                                                    Standardize&& standardize) {
    return prepare(StatisticsColumns{s}, s.nvars, cfg, wc, interrupt, [&](Prepared& p) {
        standardize(p);
        return std::optional<FitError>();
    });
}

// The weighted products of two columns of the statistics (x's, then the
// responses), from S, d, c and W.
struct Products {
    const RowStatistics& s;
    // sum_i w_i (a_ij + c_j)(a_ik + c_k), the uncentred products
    double raw(std::size_t j, std::size_t k) const {
        const std::size_t q = s.centre.size();
        const Vec& c = s.centre;
        const Vec& d = s.deviations;
        return s.products[k * q + j] + c[j] * d[k] + d[j] * c[k] + s.weight * c[j] * c[k];
    }
    // about the weighted means
    double centred(std::size_t j, std::size_t k) const {
        const std::size_t q = s.centre.size();
        const Vec& d = s.deviations;
        return s.products[k * q + j] - d[j] * d[k] / s.weight;
    }
};

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
    const std::size_t nv = s.nvars;
    const double W = s.weight;
    const Products sums{s};
    Vec gram, gradient;
    auto prep = prepare_statistics(s, cfg, wc, interrupt, [&](Prepared& p) {
        check_response_range(s.positive_min[nv], s.positive_max[nv], cfg.intercept);
        ColumnMoments m{Vec(nv), Vec(nv), Vec(nv)};
        m.total = 1.0;
        for (std::size_t j = 0; j < nv; ++j) {
            m.mean[j] = s.centre[j] + s.deviations[j] / W;
            m.var[j] = sums.centred(j, j) / W;
            m.cov[j] = sums.centred(j, nv) / W;
        }
        m.ymean = s.centre[nv] + s.deviations[nv] / W;
        p.nulldev = cfg.intercept ? sums.centred(nv, nv) : sums.raw(nv, nv);
        if (!std::isfinite(p.nulldev)) data_overflow("the weighted sum of squares of y", "y");
        gram.resize(checked_size(nv, nv));
        for (std::size_t k = 0; k < nv; ++k)
            for (std::size_t j = 0; j < nv; ++j)
                gram[k * nv + j] = (cfg.intercept ? sums.centred(j, k) : sums.raw(j, k)) / W;
        p.st = standardize_covariance(m, p.nulldev / W, p.include, cfg.standardize,
                                      cfg.intercept, gradient);
    });
    if (auto* e = std::get_if<FitError>(&prep)) return *e;
    return all_products_path(std::get<Prepared>(prep), std::move(gram), nv, std::move(gradient),
                             request, wc, interrupt);
}

// Least squares of K responses: the standardization, each response's
// centre and sum of squares, the gradients X'W(Y - mean) / scale and the
// columns' products, all from S, d and W (the responses the last K
// columns), then the path products_path runs on them.  A
// response constant on the rows of positive weight (at 0 without an
// intercept) has that value as its centre and the sum of squares and the
// gradients 0, whatever the rounding of S (as MultitaskFamily::make).
std::variant<PathResult, FitError> multitask(const StatisticsRequest& r, const FitRequest& request,
                                             const Interrupt& interrupt) {
    const RowStatistics& s = r.stats;
    const FitConfig& cfg = request.config;
    require(!s.products.empty(), "fit from statistics: least squares needs the products");
    WorkingConstants wc(cfg);
    const std::size_t nv = s.nvars, nk = s.responses;
    const double W = s.weight;
    const Products sums{s};
    Vec mean(nv), var(nv);
    auto prep = prepare_statistics(s, cfg, wc, interrupt, [&](Prepared& p) {
        for (std::size_t j = 0; j < nv; ++j) {
            mean[j] = s.centre[j] + s.deviations[j] / W;
            var[j] = sums.centred(j, j) / W;
        }
        standardize_from_moments(p, mean, var, 1.0, cfg);
    });
    if (auto* e = std::get_if<FitError>(&prep)) return *e;
    Prepared& p = std::get<Prepared>(prep);
    const Vec& x_scale = p.st.x_scale;
    Vec y_mean(nk, 0.0), y_ss(nk, 0.0);
    Flags constant(nk, 0);
    for (std::size_t k = 0; k < nk; ++k) {
        const std::size_t e = nv + k;
        constant[k] = s.positive_min[e] == s.positive_max[e] &&
                      (cfg.intercept || s.positive_min[e] == 0.0);
        if (cfg.intercept)
            y_mean[k] = constant[k] ? s.positive_min[e] : s.centre[e] + s.deviations[e] / W;
        if (!constant[k]) y_ss[k] = (cfg.intercept ? sums.centred(e, e) : sums.raw(e, e)) / W;
    }
    MultitaskFamily family = MultitaskFamily::from_moments(
        std::move(y_mean), std::move(y_ss), W, cfg, request.choices.standardize_response);
    auto product = [&](std::size_t j, std::size_t k) {
        return (cfg.intercept ? sums.centred(j, k) : sums.raw(j, k)) / W;
    };
    Vec gradient(checked_size(nv, nk), 0.0);  // at k * p + j; 0 for a constant response
    for (std::size_t k = 0; k < nk; ++k)
        for (std::size_t j = 0; j < nv && !constant[k]; ++j)
            gradient[k * nv + j] = product(j, nv + k) / (x_scale[j] * family.scales()[k]);
    Vec gram(checked_size(nv, nv));
    for (std::size_t k = 0; k < nv; ++k)
        for (std::size_t j = 0; j < nv; ++j)
            gram[k * nv + j] = product(j, k) / (x_scale[j] * x_scale[k]);
    StatisticsDesign design(std::move(gram), p.include, std::move(gradient), nk, interrupt);
    return multitask_products_path(family, design, p, mean, var, request, wc, interrupt);
}

// A family by variance and link: the intercept of its null model from
// passes over the rows, as GlmFamily::null_model finds it on the rows in
// memory (g(ybar) with an intercept and no offset, scoring on the
// intercept from the offset's summary with one, 0 without an intercept);
// an InputError when its means leave the domain.
double summed_null_intercept(const GlmModel& model, RowPasses& rows, double ybar, double total,
                             const std::optional<OffsetSummary>& offset, const FitConfig& cfg,
                             const WorkingConstants& wc) {
    const GlmFamily rules = GlmFamily::over_block(model, RowData{}, cfg, wc);
    RowSums sums;
    auto at = [&](double b0) -> std::optional<InterceptScore> {
        rows.evaluate({}, {}, {&b0, 1}, {}, sums);
        if (!std::isfinite(sums.loss)) return std::nullopt;
        return InterceptScore{sums.loss, sums.residual_sums[0], sums.weight_sums[0]};
    };
    if (cfg.intercept && offset) {
        const double g = link_value(model.link, ybar);
        const auto b = scored_intercept(
            {g - offset->weighted_sum / total, g - offset->min, g - offset->max}, at);
        if (!b) rules.outside_domain("the null model");
        return *b;
    }
    const double b0 = cfg.intercept ? link_value(model.link, ybar) : 0.0;
    if (!std::isfinite(b0) || !at(b0)) rules.outside_domain("the null model");
    return b0;
}

// A reweighting loss: the response's range, its inputs from the moments,
// then the summed path over the request's passes.
template <class L>
std::variant<PathResult, FitError> reweighting(const L& l, const StatisticsRequest& r,
                                               std::size_t classes,
                                               const std::optional<GlmModel>& model,
                                               const FitRequest& request,
                                               const Interrupt& interrupt) {
    const RowStatistics& s = r.stats;
    const FitConfig& cfg = request.config;
    require(r.rows != nullptr, "fit from statistics: the family needs passes over the rows");
    const std::size_t nv = s.nvars;
    WorkingConstants wc(cfg);
    const LossContext checks{cfg, request.choices, wc, model, classes, interrupt};
    if (auto e = l.check_range(s.min[nv], s.max[nv], checks)) return *e;
    auto prep = prepare_statistics(s, cfg, wc, interrupt, [&](Prepared& p) {
        const Moments m = moments(s);
        standardize_from_moments(p, m.mean, m.var, 1.0, cfg);
    });
    if (auto* e = std::get_if<FitError>(&prep)) return *e;
    const Prepared& p = std::get<Prepared>(prep);
    Vec means = r.response_means;
    if (means.empty()) means = {s.centre[nv] + s.deviations[nv] / s.weight};
    require(means.size() == classes, "fit from statistics: one mean response per class");
    SummedInputs summed{p, std::move(means)};
    if (classes == 1) summed.response_range = {s.positive_min[nv], s.positive_max[nv]};
    if constexpr (!NullFromMeans<typename L::Loss>) {
        // the whole data's checks of GlmFamily::make, then its null model
        if (auto e = GlmFamily::refuses_mean(*model, summed.means[0], wc)) return *e;
        if (cfg.intercept) check_response_range(s.positive_min[nv], s.positive_max[nv], true);
        r.rows->standardize(p.st.x_mean, p.st.x_scale);
        summed.null_intercepts = Vec{summed_null_intercept(*model, *r.rows, summed.means[0],
                                                           s.weight, r.offset, cfg, wc)};
    }
    PenaltySequence seq(cfg, wc, 1.0);
    const LossContext context{cfg, request.choices, wc, model, classes, interrupt};
    return summed_path<L>(L::block(RowData{}, context), *r.rows, summed,
                          {cfg, request.choices}, wc, seq, interrupt);
}

// The statistics of the rows as a source of the one passage
// (solve_source): the rows are elsewhere, so the deviance checks know the
// response's range and not the offset.
struct RowsFromStatistics {
    const StatisticsRequest& r;
    FitRequest request;  // the shapes, choices and options; no rows

    FitChoices& choices() { return request.choices; }
    const FitConfig& config() const { return request.config; }
    std::uint64_t nobs() const { return request.nobs; }
    std::uint64_t nvars() const { return request.nvars; }
    bool check_deviances() const { return true; }
    template <class L>
    std::size_t width() const {
        return L::width == Width::classes     ? r.response_means.size()
               : L::width == Width::responses ? r.stats.responses
                                              : 1;
    }
    DevianceSetting deviance_setting(const std::optional<Variance>&) const {
        const std::size_t nv = r.stats.nvars;
        const double y_reach =
            std::fmax(std::abs(r.stats.positive_min[nv]), std::abs(r.stats.positive_max[nv]));
        return {request.choices.family, NAN, y_reach, NAN, 0.0};
    }
    template <class L>
    std::variant<PathResult, FitError> path(const L& l, const std::optional<GlmModel>& model,
                                            std::size_t classes, SolverKind,
                                            const Interrupt& interrupt) {
        if constexpr (L::least_squares) return least_squares(r, request, interrupt);
        else if constexpr (L::shared_products)
            return multitask(r, request, interrupt);
        else if constexpr (L::summed && L::from_blocks)
            return reweighting(l, r, classes, model, request, interrupt);
        else
            throw PreconditionError("the " + request.choices.family +
                                    " family is fitted on rows in memory only, not from "
                                    "statistics summed over blocks");
    }
};

}  // namespace

FitOutcome fit_statistics(StatisticsRequest r, const Interrupt& interrupt) {
    r.stats.check();
    const std::size_t nv = r.stats.nvars;
    const SolverKind solver = check_choices(r.choices, true, r.stats.nobs, nv);
    const FamilyEntry& family = *family_named(r.choices.family);
    const auto [width, coupled, shared] = with_loss(family, std::nullopt, [](auto l) {
        using L = decltype(l);
        return std::tuple{L::width, L::coupled_rows, L::shared_products};
    });
    if (coupled)
        throw PreconditionError("a fit from statistics fits the families whose loss is a sum "
                                "over the rows, not the " + r.choices.family + " family");
    if (!shared && r.stats.responses > 1)
        throw PreconditionError("statistics of " + std::to_string(r.stats.responses) +
                                " responses need family=\"multitask\", but family is " +
                                quoted(r.choices.family));
    if (r.choices.solver == "naive")
        throw PreconditionError(
            "solver 'naive' needs the rows of x; a fit from statistics runs the covariance solver");
    require(!r.config.weights, "fit from statistics: the weights are in the statistics");
    require(!r.choices.offset, "fit from statistics: the offset is in the rows");
    require(width != Width::classes || r.response_means.size() >= 2,
            "fit from statistics: the multinomial family needs each class's mean");
    FitRequest request;
    request.nobs = r.stats.nobs;
    request.nvars = nv;
    request.choices = r.choices;
    request.config = r.config;
    RowsFromStatistics source{r, std::move(request)};
    return solve_source(source, solver, interrupt);
}

bool sums_over_rows(const FamilyEntry& family, const FitChoices& choices) {
    return with_loss(family, glm_model(family, choices),
                     [](auto l) { return decltype(l)::summed && decltype(l)::from_blocks; });
}

RowSums block_pass(const BlockPass& b, const FitConfig& config, double* saturated_loss,
                   const Interrupt& interrupt, BlockRows* out) {
    const std::size_t n = b.x.nrows;
    require(b.y.size() == n && b.w.size() == n &&
                (b.offset.empty() || b.offset.size() == checked_size(n, b.classes)),
            "block pass: y, weights or offset of the wrong length");
    check_weights(b.w);
    Vec w(n);
    for (std::size_t i = 0; i < n; ++i) w[i] = b.w[i] / b.total;
    const RowData rows{b.y, w, b.total, b.offset};
    const StandardizedBlock z{b.x, b.centre, b.scale};
    WorkingConstants wc(config);
    const PenaltySequence seq(config, wc, 1.0);
    FitChoices choices;
    const LossContext context{config, choices, wc, b.model, b.classes, interrupt};
    RowSums sums;
    Vec eta, v, r;
    with_loss(b.family, b.model, [&](auto l) {
        using L = decltype(l);
        if constexpr (!(L::summed && L::from_blocks)) {
            throw PreconditionError("block pass: a loss that sums over blocks of rows");
        } else {
            auto loss = L::block(rows, context);
            family_block_sums(loss, z, b.coef, b.active, b.b0, b.cols, sums, eta, v, r, interrupt);
            if (saturated_loss != nullptr) *saturated_loss = loss.saturated_loss();
        }
    });
    if (out != nullptr) {
        out->v = std::move(v);
        out->r = std::move(r);
    }
    return sums;
}

}  // namespace varnel_core
