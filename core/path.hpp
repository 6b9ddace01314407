// Mechanics shared by the three path solvers: preparation of penalty
// factors, limits and weights; the penalty sequence; strong-rule screening;
// the compressed per-solution store and its expansion into a PathResult.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "control.hpp"
#include "glm_matrix.hpp"
#include "matrix.hpp"

namespace varnel_core {

// Outcome of one coordinate step: Done (whether or not the coefficient
// changed) or ActiveFull (the variable had to enter a full active list).
enum class UpdateResult { Done, ActiveFull };

// Minimum and maximum that ignore a NaN operand (the other one is the result).
inline double nan_min(double a, double b) { return std::fmin(a, b); }
inline double nan_max(double a, double b) { return std::fmax(a, b); }

// The coordinate minimiser shared by every family:
//   argmin_b  curv/2 b^2 - u b + l1 v |b| + l2 v b^2 / 2   on [lo, hi],
// that is soft-threshold u by l1 v, shrink by curv + l2 v, then clamp to the
// upper and the lower limit (a NaN limit is ignored).
inline double penalized_step(double u, double curv, double v, double l1, double l2, double lo,
                             double hi) {
    const double s = std::abs(u) - l1 * v;
    if (!(s > 0.0)) return 0.0;
    double b = std::copysign(s, u) / (curv + l2 * v);
    b = nan_min(b, hi);
    return nan_max(b, lo);
}

// Appends j to the active list unless it is already there; false when j
// would have to enter a list that already holds max_active variables.
inline bool enter_active(std::vector<std::size_t>& active, Flags& is_active,
                         std::size_t max_active, std::size_t j) {
    if (is_active[j]) return true;
    if (active.size() >= max_active) return false;
    active.push_back(j);
    is_active[j] = 1;
    return true;
}

// Unpenalized intercept step of a reweighting solver with working weights v
// (their sum vsum): d = sum_i r_i / vsum; b0 += d; r -= v * d.
inline void glm_intercept_step(std::span<double> resid, std::span<const double> v, double vsum,
                               double& intercept, double& max_change) {
    double s = 0.0;
    for (const double r : resid) s += r;
    const double d = s / vsum;
    if (d == 0.0) return;
    max_change = nan_max(max_change, vsum * d * d);
    intercept += d;
    for (std::size_t i = 0; i < resid.size(); ++i) resid[i] -= v[i] * d;  // r -= v * d
}

// The fixed constants of a fit, copied so that a solver may adjust them.
struct WorkingConstants {
    double min_dev_change;
    double min_lambda_ratio;
    double big;
    std::uint64_t min_lambdas;
    double max_dev_ratio;
    double pmin;
    explicit WorkingConstants(const FitConfig& c)
        : min_dev_change(c.min_dev_change), min_lambda_ratio(c.min_lambda_ratio), big(c.big),
          min_lambdas(c.min_lambdas), max_dev_ratio(c.max_dev_ratio), pmin(c.pmin) {}
};

// Penalty factors scaled to sum to nvars; negative and NaN entries become 0.
// Fails with NonPositivePenalties when none is > 0.
std::variant<Vec, FitError> normalize_penalty(const FitConfig& config, std::size_t nvars);

struct Limits {
    Vec lower;
    Vec upper;
};

// Box limits with infinities replaced by -big / +big.  Fails with
// PositiveLowerLimit, then NegativeUpperLimit.  A limit of exactly 0 sets
// constants.min_dev_change to 0.
std::variant<Limits, FitError> box_limits(const FitConfig& config, std::size_t nvars,
                                          WorkingConstants& constants);

struct Weights {
    Vec raw;      // the caller's weights (or ones) with negative entries set to 0
    double sum;   // sum of raw, in index order
    Vec norm;     // raw / sum
};

// Fails with NonPositiveWeightSum when the clipped weights sum to <= 0.
std::variant<Weights, FitError> prepare_weights(const FitConfig& config, std::size_t nobs);

// Include flags of a dense or sparse design: varying columns not excluded.
void apply_exclude(const FitConfig& config, Flags& include);
bool any_flag(const Flags& include);

// max over included j with penalty_j > 0 of abs_grad_j / penalty_j (0 when
// none; NaN quotients skipped).
double lambda_max(std::span<const double> abs_grad, std::span<const double> penalty,
                  const Flags& include);

// abs_grad_j = |grad_j(r)| for every included j (outside the strong set only,
// when `strong` is given), four columns at a time.
template <class M>
void refresh_abs_grad(const M& x, std::span<const double> r, double shift, const Flags& include,
                      const Flags* strong, std::span<double> abs_grad) {
    std::size_t js[4];
    double g[4];
    std::size_t k = 0;
    auto flush_batch = [&] {
        x.grad_batch(std::span<const std::size_t>(js, k), r, shift, g);
        for (std::size_t c = 0; c < k; ++c) abs_grad[js[c]] = std::abs(g[c]);
        k = 0;
    };
    for (std::size_t j = 0; j < include.size(); ++j) {
        if (include[j] && !(strong && (*strong)[j])) {
            js[k++] = j;
            if (k == 4) flush_batch();
        }
    }
    if (k) flush_batch();
}

// Every included variable outside the strong set joins it when
// abs_grad_j > penalty_j * t.
// Returns whether any variable joined.
bool screen_strong(Flags& strong, const Flags& include, std::span<const double> abs_grad,
                   std::span<const double> penalty, double t);

// Throws InputError when the response has nothing to fit: with an intercept,
// y takes one value on all observations of positive weight; without one, y
// is 0 on all of them.
void check_response_varies(std::span<const double> y, std::span<const double> weights,
                           bool intercept);

// The decreasing penalty sequence: the caller's values, sorted, or the
// geometric sequence that starts at `big` and continues from lambda_max.
class PenaltySequence {
public:
    // user values are divided by `user_scale` (the least-squares solver works
    // on the response's scale).
    PenaltySequence(const FitConfig& config, const WorkingConstants& constants, double user_scale);

    std::uint64_t size() const { return nlam_; }
    bool generated() const { return generated_; }

    // The value of step m (called for m = 0, 1, ... in order).  At m = 1 of a
    // generated sequence `lmax` supplies the largest gradient ratio.
    template <class LambdaMax>
    double advance(std::uint64_t m, LambdaMax&& lmax) {
        double cur;
        if (!generated_) {
            prev_ = last_;
            cur = user_[m];
        } else if (m == 0) {
            prev_ = 0.0;
            cur = big_;
        } else if (m == 1) {
            // capped at `big`, the value that opened the sequence (a tiny
            // positive penalty factor could make the quotient overflow)
            prev_ = nan_min(lmax() / nan_max(alpha_, 0.001), big_);
            cur = ratio_ * prev_;
        } else {
            prev_ = last_;
            cur = ratio_ * prev_;
        }
        last_ = cur;
        return cur;
    }
    // The previous value the strong rule compares against.
    double prev() const { return prev_; }
    // Strong-rule threshold t = (lambda + lambda - prev) * alpha.
    double strong_threshold(double lambda) const { return (lambda + lambda - prev_) * alpha_; }
    // Early stops apply to a generated sequence from solution min(nlam, 5) on.
    bool early_stop_applies(std::uint64_t m) const {
        return generated_ && m + 1 >= min_lambdas_;
    }
    std::uint64_t min_lambdas() const { return min_lambdas_; }

private:
    Vec user_;
    std::uint64_t nlam_ = 0;
    bool generated_ = false;
    double ratio_ = 1.0;
    double alpha_ = 1.0;
    double big_ = 0.0;
    std::uint64_t min_lambdas_ = 0;
    double prev_ = 0.0;
    double last_ = 0.0;
};

// How the intercept of each solution is mapped back to the caller's scale.
enum class InterceptForm {
    // a0 = stored + (0 - b_1 m_1 - b_2 m_2 - ...)
    AddCentring,
    // a0 = ((stored - b_1 m_1) - b_2 m_2) - ...
    SubtractFromStored,
};

struct Assembly {
    std::size_t nvars;
    double coef_scale;               // multiplies every stored coefficient (y_scale or 1)
    double lambda_scale;             // multiplies every stored penalty value
    std::span<const double> x_mean;
    std::span<const double> x_scale;
    bool intercept;
    InterceptForm form;
    bool extrapolate_first;          // generated sequence: replace lambda[0]
};

// Compressed store of the solutions along a path: max_active coefficient
// slots per solution, slot i of a solution holding active[i].  Allocated,
// zero-filled, before the path loop.
class SolutionStore {
public:
    SolutionStore(std::size_t max_active, std::uint64_t nlam);

    void store(std::uint64_t m, std::span<const std::size_t> active, std::span<const double> coef,
               double intercept, double lambda, double dev);

    // Expands the first lmu solutions; `active` is the final active list.
    PathResult assemble(std::uint64_t lmu, std::span<const std::size_t> active,
                        const Assembly& how) const;

    double dev(std::uint64_t m) const { return dev_[m]; }

private:
    std::size_t max_active_;
    Vec coef_;
    std::vector<std::size_t> count_;
    Vec intercept_;
    Vec lambda_;
    Vec dev_;
};

// Number of entries of `active` whose coefficient is not 0 (NaN counts).
std::uint64_t count_nonzero(std::span<const std::size_t> active, std::span<const double> coef);

// n * m, throwing std::bad_alloc when the product does not fit in memory.
std::size_t checked_size(std::uint64_t n, std::uint64_t m);

}  // namespace varnel_core

namespace varnel_core {

// Inputs of a reweighting solver, prepared in its fixed order: copy of x,
// include flags (constant columns, exclude), penalty factors, weights,
// limits (times the column scale when standardizing), standardization.
struct GlmPrepared {
    DenseGlm x;
    Flags include;
    Vec penalty;
    Limits limits;
    Weights weights;
    Vec x_mean;
    Vec x_scale;
};

std::variant<GlmPrepared, FitError> prepare_glm(Vec x, std::uint64_t nobs,
                                                std::uint64_t nvars, const FitConfig& config,
                                                WorkingConstants& constants);

// ---------------------------------------------------------------------------
// The reweighting solvers (logistic, Poisson) share the shape of their path
// loop; only the quadratic approximation differs.  A solver state P offers:
//   fields  x, resid, coef, abs_grad, strong, include, penalty, active,
//           intercept_value, npasses, maxit, max_change, conv_thresh
//   update_one(j, may_enter, l1, l2) -> UpdateResult
//   flush()                 applies a deferred residual update
//   intercept_step()        unpenalized intercept update
//   begin_iteration()       saves the iterate, refreshes the curvatures
//   refit() -> bool         new working weights and residuals; true when
//                           the weights vanished (saturated fit)
//   converged() -> bool     the iterate moved less than conv_thresh
//   deviance_ratio()        fraction of the null deviance explained

enum class PenaltyEnd { Solved, Saturated };

// Coordinate descent on one quadratic approximation: a full pass over the
// strong set, then passes over the active list until they converge, repeated
// until a full pass converges.
template <class P>
std::optional<PathWarning::Kind> glm_passes(P& pt, double l1, double l2) {
    using Kind = PathWarning::Kind;
    for (;;) {
        ++pt.npasses;
        pt.max_change = 0.0;
        for (std::size_t j = 0; j < pt.coef.size(); ++j) {
            if (pt.strong[j] && pt.update_one(j, true, l1, l2) == UpdateResult::ActiveFull)
                return Kind::MaxActiveReached;
        }
        pt.flush();
        pt.intercept_step();
        if (pt.max_change < pt.conv_thresh) return std::nullopt;
        if (pt.npasses > pt.maxit) return Kind::MaxIterReached;
        for (;;) {
            ++pt.npasses;
            pt.max_change = 0.0;
            for (std::size_t i = 0; i < pt.active.size(); ++i)
                pt.update_one(pt.active[i], false, l1, l2);
            pt.flush();
            pt.intercept_step();
            if (pt.max_change < pt.conv_thresh) break;
            if (pt.npasses > pt.maxit) return Kind::MaxIterReached;
        }
    }
}

// Outer (reweighting) iterations for one penalty value, ending with the
// optimality check of the variables outside the strong set.
template <class P>
std::variant<PenaltyEnd, PathWarning::Kind> glm_solve(P& pt, double l1, double l2) {
    for (;;) {
        pt.begin_iteration();
        if (auto stop = glm_passes(pt, l1, l2)) return *stop;
        if (pt.refit()) return PenaltyEnd::Saturated;
        if (pt.converged()) {
            refresh_abs_grad(pt.x, pt.resid, 0.0, pt.include, &pt.strong, pt.abs_grad);
            if (!screen_strong(pt.strong, pt.include, pt.abs_grad, pt.penalty, l1))
                return PenaltyEnd::Solved;
        }
        if (pt.npasses > pt.maxit) return PathWarning::Kind::MaxIterReached;
    }
}

struct PathEnd {
    std::uint64_t lmu;
    std::optional<PathWarning> warning;
};

// Walks the penalty sequence with warm starts and stores every solution.
// `stop(m, dev, end)` is the family's early-stop rule, consulted once the
// sequence allows early stops.
template <class P, class StopRule>
PathEnd glm_path(P& pt, PenaltySequence& seq, SolutionStore& store, double alpha, StopRule&& stop) {
    for (std::uint64_t m = 0; m < seq.size(); ++m) {
        const double lambda =
            seq.advance(m, [&] { return lambda_max(pt.abs_grad, pt.penalty, pt.include); });
        screen_strong(pt.strong, pt.include, pt.abs_grad, pt.penalty, seq.strong_threshold(lambda));
        if (pt.npasses > pt.maxit) return {m, PathWarning{PathWarning::Kind::MaxIterReached, m}};
        const double l1 = alpha * lambda;
        const double l2 = (1.0 - alpha) * lambda;
        const auto end = glm_solve(pt, l1, l2);
        if (const auto* kind = std::get_if<PathWarning::Kind>(&end)) return {m, PathWarning{*kind, m}};
        const double dev = pt.deviance_ratio();
        store.store(m, pt.active, pt.coef, pt.intercept_value, lambda, dev);
        if (seq.early_stop_applies(m) && stop(m, dev, std::get<PenaltyEnd>(end))) return {m + 1, std::nullopt};
    }
    return {seq.size(), std::nullopt};
}

}  // namespace varnel_core
