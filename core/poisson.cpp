#include "poisson.hpp"

#include <cfloat>
#include <cmath>
#include <variant>

#include "glm_matrix.hpp"
#include "path.hpp"

namespace varnel_core {

namespace poisson {

// Solver state of one Poisson path.
template <class M>
struct Point {
    M x;
    Vec wy;
    Vec coef;
    Vec coef_prev;
    Vec q;
    Vec resid;
    Vec eta;
    Vec xv;
    Vec abs_grad;
    Flags strong;
    std::vector<std::size_t> active;
    Flags is_active;
    std::span<const double> w;
    std::span<const double> penalty;
    std::span<const double> lower;
    std::span<const double> upper;
    const Flags& include;
    double intercept_value = 0.0;
    double intercept_prev = 0.0;
    double q_sum = 0.0;
    double conv_thresh = 0.0;
    std::uint64_t maxit;
    std::size_t max_active;
    double eta_limit = std::log(DBL_MAX / 10.0);  // exp(eta) stays finite
    std::uint64_t npasses = 0;
    double max_change = 0.0;
    double null_half_dev = 0.0;
    double dev_offset = 0.0;
    bool intercept;
    DeferredUpdate deferred;

    // The state at the null model: mu = ybar with an intercept, 1 without.
    Point(GlmPrepared& prep, std::span<const double> y, const FitConfig& cfg)
        : x(std::move(prep.x)), wy(x.nrows), coef(x.ncols, 0.0), coef_prev(x.ncols, 0.0),
          q(x.nrows), resid(x.nrows), eta(x.nrows), xv(x.ncols, 0.0), abs_grad(x.ncols, 0.0),
          strong(x.ncols, 0), is_active(x.ncols, 0), w(prep.weights.norm), penalty(prep.penalty),
          lower(prep.limits.lower), upper(prep.limits.upper), include(prep.include),
          maxit(cfg.maxit),
          max_active(static_cast<std::size_t>(std::min<std::uint64_t>(x.ncols, cfg.pmax))),
          intercept(cfg.intercept) {
        active.reserve(max_active);
        const std::size_t n = x.nrows;
        double ybar = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            ybar += w[i] * y[i];
            wy[i] = w[i] * y[i];
        }
        if (intercept) {
            for (std::size_t i = 0; i < n; ++i) q[i] = w[i] * ybar;
            intercept_value = std::log(ybar);
            dev_offset = (std::log(ybar) - 1.0) * ybar;
            q_sum = ybar;
        } else {
            for (std::size_t i = 0; i < n; ++i) q[i] = w[i];
            intercept_value = 0.0;
            dev_offset = -1.0;
            q_sum = 1.0;
        }
        for (std::size_t i = 0; i < n; ++i) {
            resid[i] = wy[i] - q[i];
            eta[i] = intercept_value;
        }
        double sum_ylogy = 0.0;
        for (std::size_t i = 0; i < n; ++i)
            if (wy[i] > 0.0) sum_ylogy += wy[i] * std::log(y[i]);
        null_half_dev = sum_ylogy - ybar - dev_offset;
        conv_thresh = cfg.thresh * null_half_dev;
        refresh_abs_grad(x, resid, 0.0, include, nullptr, abs_grad);
    }

    UpdateResult update_one(std::size_t j, bool may_enter, double l1, double l2) {
        const double g = deferred.dot(x, j, q, resid);
        const double a = coef[j];
        const double u = g + a * xv[j];
        const double b = penalized_step(u, xv[j], penalty[j], l1, l2, lower[j], upper[j]);
        coef[j] = b;
        if (b == a) return UpdateResult::Done;
        if (may_enter && !enter_active(active, is_active, max_active, j)) return UpdateResult::ActiveFull;
        const double d = b - a;
        max_change = nan_max(max_change, xv[j] * (d * d));
        deferred.defer(j, d);  // r -= q * d * x_j, applied with the next inner product
        return UpdateResult::Done;
    }

    void flush() { deferred.flush(x, q, resid); }

    void intercept_step() {
        if (intercept) glm_intercept_step(resid, q, q_sum, intercept_value, max_change);
    }

    void begin_iteration() {
        intercept_prev = intercept_value;
        for (const std::size_t k : active) coef_prev[k] = coef[k];
        x.weighted_sumsq_flagged(strong, q, xv);
    }

    bool refit() {
        x.linear_predictor(coef, active, intercept_value, eta);
        double sum = 0.0;
        for (std::size_t i = 0; i < x.nrows; ++i) {
            const double e = eta[i];
            // mu = exp(eta) with |eta| cut at eta_limit
            q[i] = w[i] * std::exp(std::copysign(nan_min(std::abs(e), eta_limit), e));
            sum += q[i];
        }
        q_sum = sum;
        for (std::size_t i = 0; i < x.nrows; ++i) resid[i] = wy[i] - q[i];
        return false;
    }

    bool converged() const {
        const double di = intercept_value - intercept_prev;
        if (q_sum * (di * di) > conv_thresh) return false;
        for (const std::size_t k : active) {
            const double d = coef[k] - coef_prev[k];
            if (xv[k] * (d * d) > conv_thresh) return false;
        }
        return true;
    }

    double deviance_ratio() const {
        double s = 0.0;
        for (std::size_t i = 0; i < x.nrows; ++i) s += wy[i] * eta[i];
        return (s - q_sum - dev_offset) / null_half_dev;
    }
};

}  // namespace poisson

FitOutcome fishnet(Vec x, std::span<const double> y, std::uint64_t nobs,
                   std::uint64_t nvars, const FitConfig& config) {
    require(y.size() == nobs, "y must have nobs entries");
    for (const double v : y)
        if (v < 0.0) return FitError::NegativeResponse;
    WorkingConstants wc(config);
    auto prepared = prepare_glm(std::move(x), nobs, nvars, config, wc);
    if (auto* e = std::get_if<FitError>(&prepared)) return *e;
    GlmPrepared& prep = std::get<GlmPrepared>(prepared);
    // With an intercept a constant response is fitted exactly by the null
    // model (an all-zero one not at all): nothing is left to fit.
    if (config.intercept) check_response_varies(y, prep.weights.raw, true);
    const double sml = 10.0 * wc.min_dev_change;  // 0 when a limit is exactly 0
    PenaltySequence seq(config, wc, 1.0);

    const double weight_sum = prep.weights.sum;
    const Vec x_mean = std::move(prep.x_mean), x_scale = std::move(prep.x_scale);
    poisson::Point<DenseGlm> pt(prep, y, config);
    SolutionStore store(pt.max_active, seq.size());
    const std::uint64_t mnl = seq.min_lambdas();
    const PathEnd end = glm_path(pt, seq, store, config.alpha,
                                 [&](std::uint64_t m, double dev, PenaltyEnd) {
                                     const double earlier = store.dev(m + 1 - mnl);
                                     return count_nonzero(pt.active, pt.coef) > config.dfmax ||
                                            (dev - earlier) / dev < sml ||
                                            dev > wc.max_dev_ratio;
                                 });

    const Assembly how{nvars, 1.0, 1.0, x_mean, x_scale, config.intercept,
                       InterceptForm::AddCentring, seq.generated()};
    PathResult r = store.assemble(end.lmu, pt.active, how);
    r.nulldev = 2.0 * weight_sum * pt.null_half_dev;
    r.npasses = pt.npasses;
    r.warning = end.warning;
    return r;
}

}  // namespace varnel_core
