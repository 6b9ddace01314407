#include "families/gaussian.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <variant>

#include "designs/matrix.hpp"
#include "designs/covariance.hpp"
#include "designs/designs.hpp"
#include "engine/engine.hpp"
#include "fit/prepare.hpp"
#include "engine/sequence.hpp"
#include "engine/store.hpp"
#include "fit/standardize.hpp"

namespace varnel_core {

namespace {

// Everything the path loop reads, prepared before it starts.
struct Prepared {
    Flags include;
    Vec penalty;
    Limits limits;      // on the standardized scale once scale_limits has run
    Standardization st;
    Vec y;              // standardized response: the initial residual
    double nulldev = 0.0;
};

// Least squares: the quadratic is exact, so one coordinate-descent solve
// per penalty value; the fraction of the response's sum of squares that
// the fit explains (rsq) is kept up to date step by step.
class GaussianFamily {
public:
    static constexpr Schedule schedule{false, true, true};
    static constexpr bool reweights = false;
    static constexpr bool block = false;
    // x_sumsq_j * delta^2, rounded as delta * (x_sumsq_j * delta)
    static double step_change(double c, double d) { return d * (c * d); }

    GaussianFamily(double thresh, double y_mean, double min_dev_change)
        : thresh_(thresh), y_mean_(y_mean), min_dev_change_(min_dev_change) {}

    double conv_thresh() const { return thresh_; }
    // gain in explained sum of squares: (2 g - c d) d
    void on_step(double g, double c, double d) { rsq_ = (g + g - c * d) * d + rsq_; }
    double deviance_ratio() const { return rsq_; }
    double stored_intercept(double) const { return y_mean_; }
    // the relative gain (rsq - rsq_prev) / rsq fell below min_dev_change
    bool little_progress(std::uint64_t m, double rsq, const SolutionStore& store) const {
        const double prev = m == 0 ? 0.0 : store.dev(m - 1);
        const double drsq =
            rsq == 0.0 ? std::numeric_limits<double>::infinity() : (rsq - prev) / rsq;
        return drsq < min_dev_change_;
    }

private:
    double thresh_;
    double y_mean_;
    double min_dev_change_;
    double rsq_ = 0.0;
};

// Steps shared by the dense and the sparse driver after the include flags:
// exclusions, penalties, limits, weights, null deviance.
// `clear_weighted(weights, include)` drops the columns that vary only on
// rows of weight 0.
template <class ClearWeighted>
std::variant<Prepared, FitError> prepare(Flags include, std::span<const double> y,
                                         const FitConfig& cfg, WorkingConstants& wc,
                                         std::size_t nvars, Weights& weights,
                                         ClearWeighted&& clear_weighted) {
    Prepared p;
    apply_exclude(cfg, include);
    if (!any_flag(include)) return FitError::AllPredictorsExcluded;
    auto pen = normalize_penalty(cfg, nvars);
    if (auto* e = std::get_if<FitError>(&pen)) return *e;
    auto lim = box_limits(cfg, nvars, wc);
    if (auto* e = std::get_if<FitError>(&lim)) return *e;
    auto w = prepare_weights(cfg, y.size());
    if (auto* e = std::get_if<FitError>(&w)) return *e;
    weights = std::move(std::get<Weights>(w));
    // Columns that vary only on rows of weight 0 count as constant.
    clear_weighted(weights.norm, include);
    if (!any_flag(include)) return FitError::AllPredictorsExcluded;
    check_response_varies(y, weights.raw, cfg.intercept);

    // null deviance with the caller's (clipped) weights
    double m0 = 0.0;
    if (cfg.intercept) {
        double s = 0.0;
        for (std::size_t i = 0; i < y.size(); ++i) s += weights.raw[i] * y[i];
        m0 = s / weights.sum;
    }
    double dev = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        const double d = y[i] - m0;
        dev += weights.raw[i] * (d * d);
    }
    p.include = std::move(include);
    p.penalty = std::move(std::get<Vec>(pen));
    p.limits = std::move(std::get<Limits>(lim));
    p.y.assign(y.begin(), y.end());
    p.nulldev = dev;
    return p;
}

// Limits to the standardized scale: divided by y_scale, times x_scale when
// standardizing.
void scale_limits(Prepared& p, bool standardize) {
    for (std::size_t j = 0; j < p.limits.lower.size(); ++j) {
        p.limits.lower[j] = p.limits.lower[j] / p.st.y_scale;
        p.limits.upper[j] = p.limits.upper[j] / p.st.y_scale;
        if (standardize) {
            p.limits.lower[j] = p.st.x_scale[j] * p.limits.lower[j];
            p.limits.upper[j] = p.st.x_scale[j] * p.limits.upper[j];
        }
    }
}

// The path and the assembly of the result, for any design.
template <class D>
PathResult run_path(D& design, const Prepared& p, const FitConfig& cfg,
                    const WorkingConstants& wc, std::size_t nvars, const Interrupt& interrupt) {
    PenaltySequence seq(cfg, wc, p.st.y_scale);
    GaussianFamily family(cfg.thresh, p.st.y_mean, wc.min_dev_change);
    const PathRules rules{cfg.alpha, cfg.maxit, cfg.dfmax, cfg.pmax, wc.max_dev_ratio, interrupt};
    Engine engine(family, design,
                  Coordinates{p.include, p.penalty, p.limits.lower, p.limits.upper}, rules,
                  p.st.x_sumsq, 0.0, false);
    SolutionStore store(static_cast<std::size_t>(std::min<std::uint64_t>(nvars, cfg.pmax)),
                        seq.size());
    const PathEnd end = engine.walk(seq, store);

    const Assembly how{nvars,      p.st.y_scale,    p.st.y_scale,
                       p.st.x_mean, p.st.x_scale,   cfg.intercept,
                       InterceptForm::AddCentring, seq.generated()};
    PathResult r = store.assemble(end.lmu, engine.active(), how);
    r.nulldev = p.nulldev;
    r.npasses = engine.npasses();
    r.warning = end.warning;
    r.lambda_max = engine.lambda_max() * p.st.y_scale;
    return r;
}

}  // namespace

FitOutcome elnet_naive(Vec x, std::span<const double> y, std::uint64_t nobs,
                       std::uint64_t nvars, const FitConfig& config,
                       const Interrupt& interrupt) {
    require(y.size() == nobs, "y must have nobs entries");
    require(x.size() == checked_size(nobs, nvars), "x must have nobs * nvars entries");
    WorkingConstants wc(config);
    Dense dense(std::move(x), nobs, nvars);
    Weights weights;
    auto prep = prepare(chkvars(dense), y, config, wc, nvars, weights,
                        [&](const Vec& w, Flags& inc) { clear_weighted_constants(dense, w, inc); });
    if (auto* e = std::get_if<FitError>(&prep)) return *e;
    Prepared& p = std::get<Prepared>(prep);
    p.st = standardize_naive(dense, p.y, weights.norm, p.include, config.standardize, config.intercept);
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    scale_limits(p, config.standardize);
    FixedWeightDesign<Dense> design(dense, std::move(p.y));
    return run_path(design, p, config, wc, nvars, interrupt);
}

FitOutcome elnet_naive_sparse(Index col_ptr, Index row_idx, Vec values, std::span<const double> y,
                              std::uint64_t nobs, std::uint64_t nvars, const FitConfig& config,
                              const Interrupt& interrupt) {
    require(y.size() == nobs, "y must have nobs entries");
    if (auto problem = csc_problem(col_ptr, row_idx, values.size(), nobs, nvars))
        throw PreconditionError(*problem);
    WorkingConstants wc(config);
    Weights weights;
    auto prep = prepare(chkvars_sparse(col_ptr, values, nobs), y, config, wc, nvars, weights,
                        [&](const Vec& w, Flags& inc) {
                            clear_weighted_constants_sparse(col_ptr, row_idx, values, w, inc);
                        });
    if (auto* e = std::get_if<FitError>(&prep)) return *e;
    Prepared& p = std::get<Prepared>(prep);
    p.st = standardize_naive_sparse(col_ptr, row_idx, values, p.y, weights.norm, p.include,
                                    config.standardize, config.intercept);
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    scale_limits(p, config.standardize);
    const Sparse sparse(std::move(col_ptr), std::move(row_idx), std::move(values), weights.norm,
                        p.st.x_mean, p.st.x_scale, nobs, nvars);
    FixedWeightDesign<Sparse> design(sparse, std::move(p.y));
    return run_path(design, p, config, wc, nvars, interrupt);
}

FitOutcome elnet_covariance(const StridedMatrix& x, std::span<const double> y,
                            const FitConfig& config, const Interrupt& interrupt) {
    const std::size_t nobs = x.nrows, nvars = x.ncols;
    require(y.size() == nobs, "y must have nobs entries");
    WorkingConstants wc(config);
    Weights weights;
    auto prep = prepare(chkvars(x), y, config, wc, nvars, weights,
                        [&](const Vec& w, Flags& inc) { clear_weighted_constants(x, w, inc); });
    if (auto* e = std::get_if<FitError>(&prep)) return *e;
    Prepared& p = std::get<Prepared>(prep);
    const std::span<const double> w = weights.norm;

    // Up to covariance_all_at_once columns every product is formed at once
    // (with an intercept one pass over [x y] also gives the means, variances
    // and x'Wy); beyond, a pass for the moments, and products as columns
    // enter.
    const bool all_at_once = nvars <= covariance_all_at_once;
    ColumnMoments m{Vec(nvars), Vec(nvars), Vec(nvars)};
    m.total = 0.0;
    for (const double wi : w) m.total += wi;
    Vec gram;
    std::size_t ld = nvars;
    if (all_at_once && config.intercept) {
        ld = nvars + 1;
        gram.resize(checked_size(ld, ld));
        Vec means(ld);
        const StridedMatrix response{y.data(), nobs, 1, 1, static_cast<std::ptrdiff_t>(nobs)};
        gram_full(x, w, Centring::weighted_mean, {}, {}, gram.data(), ld, means, GramKernel::best,
                  response);
        for (std::size_t j = 0; j < nvars; ++j) {
            m.mean[j] = means[j];
            m.var[j] = gram[j * ld + j] / m.total;
            m.cov[j] = gram[nvars * ld + j] / m.total;
        }
        m.ymean = means[nvars];
    } else {
        m.ymean = weighted_column_stats(x, w, y, m.mean, m.var, m.cov);
        if (all_at_once) {  // uncentred products, as a fit without intercept needs
            gram.resize(checked_size(nvars, nvars));
            gram_full(x, w, Centring::given, {}, {}, gram.data(), nvars);
        }
    }
    Vec gradient;
    p.st = standardize_covariance(m, p.y, w, p.include, config.standardize, config.intercept,
                                  gradient);
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    scale_limits(p, config.standardize);
    if (all_at_once) {
        // C_jk = G_jk / (s_j s_k), in place: column k of C from column k of G
        for (std::size_t k = 0; k < nvars; ++k)
            for (std::size_t j = 0; j < nvars; ++j)
                gram[k * nvars + j] = gram[k * ld + j] / p.st.x_scale[j] / p.st.x_scale[k];
        gram.resize(nvars * nvars);
        CovarianceDesign design(std::move(gram), p.include, std::move(gradient));
        return run_path(design, p, config, wc, nvars, interrupt);
    }
    const std::span<const double> centre =
        config.intercept ? std::span<const double>(p.st.x_mean) : std::span<const double>();
    CovarianceDesign design(x, w, centre, p.st.x_scale, p.include, std::move(gradient));
    return run_path(design, p, config, wc, nvars, interrupt);
}

}  // namespace varnel_core
