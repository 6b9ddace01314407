#include "binomial.hpp"

#include <cmath>
#include <string>
#include <variant>

#include "glm_matrix.hpp"
#include "path.hpp"

namespace varnel_core {

namespace binomial {

// Solver state of one logistic path.
template <class M>
struct Point {
    M x;
    Vec coef;
    Vec coef_prev;
    Vec prob;
    Vec work_weight;
    Vec resid;
    Vec eta;
    Vec col_wss;
    Vec abs_grad;
    Flags strong;
    std::vector<std::size_t> active;
    Flags is_active;
    std::span<const double> y;
    std::span<const double> w;
    std::span<const double> penalty;
    std::span<const double> lower;
    std::span<const double> upper;
    const Flags& include;
    double intercept_value = 0.0;
    double intercept_prev = 0.0;
    double work_weight_sum = 0.0;
    double conv_thresh = 0.0;
    std::uint64_t maxit;
    std::size_t max_active;
    double eta_limit;
    double min_weight_sum;
    std::uint64_t npasses = 0;
    double max_change = 0.0;
    double null_half_dev = 0.0;
    double null_loss = 0.0;
    bool intercept;
    DeferredUpdate deferred;
    double pmin;

    // The state at the null model with probability p-bar (0.5 without intercept).
    Point(GlmPrepared& prep, std::span<const double> yv, const FitConfig& cfg, double pbar)
        : x(std::move(prep.x)), coef(x.ncols, 0.0), coef_prev(x.ncols, 0.0), prob(x.nrows),
          work_weight(x.nrows), resid(x.nrows), eta(x.nrows, 0.0), col_wss(x.ncols, 0.0),
          abs_grad(x.ncols, 0.0), strong(x.ncols, 0), is_active(x.ncols, 0), y(yv),
          w(prep.weights.norm), penalty(prep.penalty), lower(prep.limits.lower),
          upper(prep.limits.upper), include(prep.include), maxit(cfg.maxit),
          max_active(static_cast<std::size_t>(std::min<std::uint64_t>(x.ncols, cfg.pmax))),
          eta_limit(std::log(1.0 / cfg.pmin - 1.0)),
          min_weight_sum((1.0 + cfg.pmin) * cfg.pmin * (1.0 - cfg.pmin)), intercept(cfg.intercept),
          pmin(cfg.pmin) {
        active.reserve(max_active);
        double p0 = 0.5;
        if (intercept) {
            intercept_value = std::log(pbar / (1.0 - pbar));
            p0 = pbar;
        }
        for (std::size_t i = 0; i < x.nrows; ++i) {
            prob[i] = p0;
            work_weight[i] = w[i] * p0 * (1.0 - p0);
            resid[i] = w[i] * (y[i] - p0);
        }
        work_weight_sum = p0 * (1.0 - p0);
        null_loss = -(p0 * intercept_value + std::log(1.0 - p0));
        double nhd = null_loss;
        for (std::size_t i = 0; i < x.nrows; ++i) {
            if (y[i] > 0.0) nhd += w[i] * y[i] * std::log(y[i]);
            if (y[i] < 1.0) nhd += w[i] * (1.0 - y[i]) * std::log(1.0 - y[i]);
        }
        null_half_dev = nhd;
        conv_thresh = cfg.thresh * null_half_dev;
        refresh_abs_grad(x, resid, 0.0, include, nullptr, abs_grad);
    }

    UpdateResult update_one(std::size_t j, bool add, double l1, double l2) {
        const double g = deferred.dot(x, j, work_weight, resid);
        const double old = coef[j];
        const double u = g + old * col_wss[j];
        const double b = penalized_step(u, col_wss[j], penalty[j], l1, l2, lower[j], upper[j]);
        coef[j] = b;
        if (b == old) return UpdateResult::Done;
        if (add && !enter_active(active, is_active, max_active, j)) return UpdateResult::ActiveFull;
        const double d = b - old;
        max_change = nan_max(max_change, col_wss[j] * d * d);
        deferred.defer(j, d);  // r -= v * d * x_j, applied with the next inner product
        return UpdateResult::Done;
    }

    void flush() { deferred.flush(x, work_weight, resid); }

    void intercept_step() {
        if (intercept) glm_intercept_step(resid, work_weight, work_weight_sum, intercept_value, max_change);
    }

    void begin_iteration() {
        intercept_prev = intercept_value;
        for (const std::size_t k : active) coef_prev[k] = coef[k];
        x.weighted_sumsq_flagged(strong, work_weight, col_wss);
    }

    bool refit() {
        x.linear_predictor(coef, active, intercept_value, eta);
        double sum = 0.0;
        for (std::size_t i = 0; i < x.nrows; ++i) {
            const double e = eta[i];
            const double p = e < -eta_limit ? 0.0 : e > eta_limit ? 1.0 : 1.0 / (1.0 + std::exp(-e));
            prob[i] = p;
            work_weight[i] = w[i] * p * (1.0 - p);
            sum += work_weight[i];
        }
        work_weight_sum = sum;
        if (work_weight_sum <= min_weight_sum) return true;
        for (std::size_t i = 0; i < x.nrows; ++i) resid[i] = w[i] * (y[i] - prob[i]);
        return false;
    }

    bool converged() const {
        const double di = intercept_value - intercept_prev;
        if (!(work_weight_sum * (di * di) <= conv_thresh)) return false;
        for (const std::size_t k : active) {
            const double d = coef[k] - coef_prev[k];
            if (!(col_wss[k] * (d * d) <= conv_thresh)) return false;
        }
        return true;
    }

    // (null loss - loss) / (null deviance / 2), probabilities kept off 0 and 1
    double deviance_ratio() const {
        double acc = 0.0;
        for (std::size_t i = 0; i < x.nrows; ++i) {
            const double q = std::fmin(std::fmax(prob[i], pmin), 1.0 - pmin);
            acc += w[i] * (y[i] * std::log(q) + (1.0 - y[i]) * std::log(1.0 - q));
        }
        return (null_loss - -acc) / null_half_dev;
    }
};

}  // namespace binomial

FitOutcome lognet(Vec x, std::span<const double> y, std::uint64_t nobs,
                  std::uint64_t nvars, const FitConfig& config) {
    require(y.size() == nobs, "y must have nobs entries");
    for (std::size_t i = 0; i < nobs; ++i) {
        if (!(y[i] >= 0.0 && y[i] <= 1.0))
            throw InputError("y must lie in [0, 1] for the binomial family, but y[" +
                             std::to_string(i) + "] = " + std::to_string(y[i]));
    }
    WorkingConstants wc(config);
    auto prepared = prepare_glm(std::move(x), nobs, nvars, config, wc);
    if (auto* e = std::get_if<FitError>(&prepared)) return *e;
    GlmPrepared& prep = std::get<GlmPrepared>(prepared);
    PenaltySequence seq(config, wc, 1.0);

    double pbar = 0.0;
    for (std::size_t i = 0; i < nobs; ++i) pbar += prep.weights.norm[i] * y[i];
    if (pbar <= wc.pmin) return FitError::NullProbUnderflow;
    if (pbar >= 1.0 - wc.pmin) return FitError::NullProbOverflow;
    if (config.intercept) check_response_varies(y, prep.weights.raw, true);

    const double weight_sum = prep.weights.sum;
    const Vec x_mean = std::move(prep.x_mean), x_scale = std::move(prep.x_scale);
    binomial::Point<DenseGlm> pt(prep, y, config, pbar);
    SolutionStore store(pt.max_active, seq.size());
    const double dev_change = wc.min_dev_change;
    const PathEnd end = glm_path(pt, seq, store, config.alpha,
                                 [&](std::uint64_t m, double dev, PenaltyEnd how) {
                                     const double before = m == 0 ? 0.0 : store.dev(m - 1);
                                     return how == PenaltyEnd::Saturated ||
                                            dev - before < dev_change ||
                                            dev > wc.max_dev_ratio ||
                                            count_nonzero(pt.active, pt.coef) > config.dfmax;
                                 });

    const Assembly how{nvars, 1.0, 1.0, x_mean, x_scale, config.intercept,
                       InterceptForm::SubtractFromStored, seq.generated()};
    PathResult r = store.assemble(end.lmu, pt.active, how);
    r.nulldev = 2.0 * pt.null_half_dev * weight_sum;
    r.npasses = pt.npasses;
    r.warning = end.warning;
    return r;
}

}  // namespace varnel_core
