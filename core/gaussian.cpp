#include "gaussian.hpp"

#include <cmath>
#include <limits>
#include <utility>
#include <variant>

#include "matrix.hpp"
#include "path.hpp"
#include "standardize.hpp"

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

// Solver state of one least-squares path, generic over the design matrix.
template <class M>
struct Point {
    Vec resid;
    Vec coef;
    Vec abs_grad;
    std::vector<std::size_t> active;
    Flags is_active;
    Flags strong;
    const M& x;
    std::span<const double> x_sumsq;
    std::span<const double> penalty;
    std::span<const double> lower;
    std::span<const double> upper;
    const Flags& include;
    double thresh;
    std::uint64_t maxit;
    std::size_t max_active;
    std::uint64_t npasses = 0;
    double rsq = 0.0;
    double rsq_prev = 0.0;
    double max_change = 0.0;
    double last_grad = 0.0;
    double shift = 0.0;  // residual offset; stays 0 for a dense design
    bool active_loop = false;
    bool pending = false;
    std::size_t pending_j = 0;
    double pending_delta = 0.0;

    Point(const M& xm, const Prepared& p, const FitConfig& cfg, std::size_t nvars)
        : resid(p.y), coef(nvars, 0.0), abs_grad(nvars, 0.0), is_active(nvars, 0),
          strong(nvars, 0), x(xm), x_sumsq(p.st.x_sumsq), penalty(p.penalty),
          lower(p.limits.lower), upper(p.limits.upper), include(p.include), thresh(cfg.thresh),
          maxit(cfg.maxit), max_active(static_cast<std::size_t>(std::min<std::uint64_t>(nvars, cfg.pmax))) {
        active.reserve(max_active);
        refresh_gradients(false);
    }

    // abs_grad_j = |<z_j, r>| for the included variables (outside the strong
    // set only, when `outside_strong`).
    void refresh_gradients(bool outside_strong) {
        refresh_abs_grad(x, resid, shift, include, outside_strong ? &strong : nullptr, abs_grad);
    }

    // The residual update of the latest coefficient change is deferred and
    // fused with the next gradient, saving a sweep over r.
    double gradient(std::size_t j) {
        if (!pending) return x.grad(j, resid, shift);
        pending = false;
        return x.update_then_grad(pending_j, pending_delta, resid, shift, j);
    }
    void flush() {
        if (!pending) return;
        pending = false;
        x.update_residual(pending_j, pending_delta, resid, shift);  // r -= delta * z_j
    }

    // One coordinate step on b_j with lasso weight l1 and ridge weight l2.
    UpdateResult update_one(std::size_t j, bool may_enter, double l1, double l2) {
        const double g = gradient(j);
        last_grad = g;
        const double old = coef[j];
        const double u = g + old * x_sumsq[j];
        const double b = penalized_step(u, x_sumsq[j], penalty[j], l1, l2, lower[j], upper[j]);
        coef[j] = b;
        if (b == old) return UpdateResult::Done;
        if (may_enter && !enter_active(active, is_active, max_active, j))
            return UpdateResult::ActiveFull;
        const double delta = b - old;
        const double d2 = x_sumsq[j] * delta;
        max_change = nan_max(max_change, delta * d2);
        rsq = (g + g - d2) * delta + rsq;  // gain in explained sum of squares
        pending = true;  // r -= delta * z_j, applied with the next gradient
        pending_j = j;
        pending_delta = delta;
        return UpdateResult::Done;
    }

    // Passes over the active list until they converge; false when the pass
    // limit was exceeded first.
    bool active_passes(double l1, double l2) {
        for (;;) {
            ++npasses;
            max_change = 0.0;
            for (std::size_t i = 0; i < active.size(); ++i) update_one(active[i], false, l1, l2);
            flush();
            if (max_change < thresh) return true;
            if (npasses > maxit) return false;
        }
    }

    // Solves one penalty value from the current warm start.
    std::optional<PathWarning::Kind> solve(double l1, double l2) {
        using Kind = PathWarning::Kind;
        if (active_loop && !active_passes(l1, l2)) return Kind::MaxIterReached;
        for (;;) {
            if (npasses > maxit) return Kind::MaxIterReached;
            ++npasses;
            max_change = 0.0;
            for (std::size_t j = 0; j < coef.size(); ++j) {
                if (strong[j] && update_one(j, true, l1, l2) == UpdateResult::ActiveFull) {
                    flush();
                    return Kind::MaxActiveReached;
                }
            }
            flush();
            if (max_change < thresh) {
                // optimality check of the variables outside the strong set
                refresh_gradients(true);
                if (!screen_strong(strong, include, abs_grad, penalty, l1)) return std::nullopt;
            } else {
                if (npasses > maxit) return Kind::MaxIterReached;
                active_loop = true;
                if (!active_passes(l1, l2)) return Kind::MaxIterReached;
            }
        }
    }
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

// The path loop and the assembly of the result, for either design type.
template <class M>
PathResult run_path(const M& x, const Prepared& p, const FitConfig& cfg, WorkingConstants& wc,
                    std::size_t nvars) {
    PenaltySequence seq(cfg, wc, p.st.y_scale);
    Point<M> pt(x, p, cfg, nvars);
    SolutionStore store(pt.max_active, seq.size());

    std::uint64_t lmu = seq.size();
    std::optional<PathWarning> warning;
    for (std::uint64_t m = 0; m < seq.size(); ++m) {
        const double alm = seq.advance(m, [&] { return lambda_max(pt.abs_grad, p.penalty, p.include); });
        pt.rsq_prev = pt.rsq;
        screen_strong(pt.strong, p.include, pt.abs_grad, p.penalty, seq.strong_threshold(alm));
        const double l1 = cfg.alpha * alm;
        const double l2 = (1.0 - cfg.alpha) * alm;
        if (auto stop = pt.solve(l1, l2)) {
            warning = PathWarning{*stop, m};
            lmu = m;
            break;
        }
        store.store(m, pt.active, pt.coef, p.st.y_mean, alm, pt.rsq);
        if (seq.early_stop_applies(m)) {
            const std::uint64_t me = count_nonzero(pt.active, pt.coef);
            const double drsq = pt.rsq == 0.0 ? std::numeric_limits<double>::infinity()
                                              : (pt.rsq - pt.rsq_prev) / pt.rsq;
            if (me > cfg.dfmax || drsq < wc.min_dev_change || pt.rsq > wc.max_dev_ratio) {
                lmu = m + 1;
                break;
            }
        }
    }

    const Assembly how{nvars,      p.st.y_scale,    p.st.y_scale,
                       p.st.x_mean, p.st.x_scale,   cfg.intercept,
                       InterceptForm::AddCentring, seq.generated()};
    PathResult r = store.assemble(lmu, pt.active, how);
    r.nulldev = p.nulldev;
    r.npasses = pt.npasses;
    r.warning = warning;
    return r;
}

}  // namespace

FitOutcome elnet_naive(Vec x, std::span<const double> y, std::uint64_t nobs,
                       std::uint64_t nvars, const FitConfig& config) {
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
    return run_path(dense, p, config, wc, nvars);
}

FitOutcome elnet_naive_sparse(Index col_ptr, Index row_idx, Vec values, std::span<const double> y,
                              std::uint64_t nobs, std::uint64_t nvars, const FitConfig& config) {
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
    return run_path(sparse, p, config, wc, nvars);
}

}  // namespace varnel_core
