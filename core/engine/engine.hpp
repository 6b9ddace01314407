// The coordinate-descent engine: one pass structure, one optimality check
// and one path walk for every family and every design.
//
// For each penalty value lambda of a decreasing sequence the engine
// minimises, over the standardized coefficients b (and an intercept b0),
//
//   Q(b0, b) + lambda * sum_j v_j (alpha |b_j| + (1 - alpha)/2 b_j^2),
//   lower_j <= b_j <= upper_j,
//
// where Q is the family's loss, or its quadratic approximation at the
// current fit for the families that reweight, and v the normalized penalty
// factors.  Coordinate j is minimised exactly on Q's quadratic in b_j:
// gradient g_j = <z_j, r> from the design, curvature c_j from the family
// (fixed) or the design (recomputed per reweighting iteration).
//
// Screening: a penalty value starts with the sequential strong rule; full
// passes visit the strong set, active passes the variables that ever moved.
// A pass has converged when its largest weighted squared change (as the
// family measures it) is below the family's threshold; the variables outside
// the strong set are then checked against the optimality condition
// |g_j| <= l1 v_j, and violators join the strong set.
//
// A block family (the multinomial) has K coefficients b_j. per variable, one
// per class, and K intercepts, with working weights and curvatures c_jk per
// class.  A coordinate step moves the whole block b_j.: every class by its
// own soft threshold, or, with the grouped penalty alpha ||b_j.||_2, by the
// grouped minimiser.  Screening and the optimality check use one magnitude
// per variable, max_k |g_jk| or ||g_j.||_2.  Its loss sees only the
// differences between a variable's class coefficients, so before each refit
// every active block takes the common shift that minimises its penalty.
#pragma once

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <variant>
#include <vector>

#include "fit/options.hpp"
#include "designs/matrix.hpp"
#include "base/numeric.hpp"
#include "engine/sequence.hpp"
#include "engine/store.hpp"

namespace varnel_core {

// Outcome of one coordinate step: Done (whether or not the coefficient
// changed) or ActiveFull (the variable had to enter a full active list).
enum class UpdateResult { Done, ActiveFull };

// How one penalty value ended when it was solved.
enum class PenaltyEnd { Solved, Saturated };

// The coordinate minimiser:
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

// The grouped minimiser, over the K entries of b, with a curvature c_k per
// entry:
//   argmin_b  sum_k (c_k/2 b_k^2 - u_k b_k) + l1 v ||b||_2 + l2 v ||b||^2 / 2,
//   lo <= b_k <= hi.
// 0 when the part of u that points into the box (all of u when lo < 0 < hi)
// has a norm of at most l1 v.  Otherwise b_k = clamp(u_k / (c_k + l2 v + l1 v / rho))
// at the rho where rho = ||b||: in closed form, (1 - l1 v / ||u||) u / (c + l2 v),
// for equal curvatures when no limit is reached, else the root of the
// decreasing ||b(rho)|| / rho - 1 by false position (a NaN limit is ignored).
inline void group_step(std::span<const double> u, std::span<const double> curv, double v,
                       double l1, double l2, double lo, double hi, std::span<double> out) {
    const std::size_t nk = u.size();
    const double t = l1 * v, r = l2 * v;
    auto clamp = [&](double b) { return nan_max(nan_min(b, hi), lo); };
    double into = 0.0, all = 0.0;
    bool equal = true;
    for (std::size_t k = 0; k < nk; ++k) {
        const double x = u[k];
        if ((x > 0.0 && !(hi <= 0.0)) || (x < 0.0 && !(lo >= 0.0))) into += x * x;
        all += x * x;
        equal = equal && curv[k] == curv[0];
    }
    if (!(std::sqrt(into) > t)) {
        for (double& b : out) b = 0.0;
        return;
    }
    if (equal) {
        const double f = (1.0 - t / std::sqrt(all)) / (curv[0] + r);
        bool inside = true;
        for (std::size_t k = 0; k < nk; ++k) {
            out[k] = f * u[k];
            inside = inside && !(out[k] > hi) && !(out[k] < lo);
        }
        if (inside) return;
    }
    auto fill = [&](double rho) {
        for (std::size_t k = 0; k < nk; ++k) out[k] = clamp(u[k] / (curv[k] + r + t / rho));
    };
    if (t == 0.0) return fill(HUGE_VAL);  // no group term: separable
    auto excess = [&](double rho) {  // ||b(rho)|| / rho - 1
        double s = 0.0;
        for (std::size_t k = 0; k < nk; ++k) {
            const double b = clamp(u[k] / (curv[k] + r + t / rho)) / rho;
            s += b * b;
        }
        return std::sqrt(s) - 1.0;
    };
    // ||b(rho)|| / rho falls from ||u into the box|| / t at 0 to at most 1 at
    // rho = ||clamp(u_k / (c_k + l2 v))||
    double a = 0.0, fa = std::sqrt(into) / t - 1.0, b = 0.0;
    for (std::size_t k = 0; k < nk; ++k) {
        const double x = clamp(u[k] / (curv[k] + r));
        b += x * x;
    }
    b = std::sqrt(b);
    double fb = excess(b);
    int kept = 0;  // the end kept by the last step: -1 the lower, 1 the upper
    for (int it = 0; it < 200 && fb < 0.0; ++it) {
        double c = b - fb * (b - a) / (fb - fa);
        if (!(c > a && c < b)) c = 0.5 * (a + b);
        if (!(c > a && c < b)) break;
        const double fc = excess(c);
        if (fc > 0.0) {
            a = c, fa = fc;
            if (kept == 1) fb *= 0.5;  // Illinois: keep the stale end moving
            kept = 1;
        } else {
            b = c, fb = fc;
            if (kept == -1) fa *= 0.5;
            kept = -1;
        }
        if (b - a <= 4e-16 * b) break;
    }
    fill(b);
}

// The common shift c of a variable's block b that minimises its penalty,
//   sum_k alpha |b_k + c| + (1 - alpha)/2 (b_k + c)^2
// (grouped, alpha ||b + c||_2 + (1 - alpha)/2 ||b + c||^2: c = -mean(b)),
// subject to lo <= b_k + c <= hi; of several minimisers the one nearest 0.
// The loss sees only differences between the classes, so this is a free
// descent step.  A minimiser at a kink is exactly -b_k, so that b_k + c is
// exactly 0.
template <bool Grouped>
double common_shift(std::span<const double> b, double alpha, double lo, double hi) {
    const std::size_t nk = b.size();
    double sum = 0.0, below = -HUGE_VAL, above = HUGE_VAL;
    for (const double x : b) {
        if (std::isnan(x)) return 0.0;
        sum += x;
        below = nan_max(below, lo - x);
        above = nan_min(above, hi - x);
    }
    const double n = static_cast<double>(nk);
    const double beta = 1.0 - alpha;
    double first = -sum / n, last = first;  // the minimisers
    if (!Grouped && alpha > 0.0) {
        // the counts of kinks -b_k below and above c
        auto counts = [&](double c, double& less, double& more) {
            less = more = 0.0;
            for (const double x : b) {
                less += -x < c;
                more += -x > c;
            }
        };
        bool kink = false;
        for (const double x : b) {
            double less = 0.0, more = 0.0;
            counts(-x, less, more);
            const double ridge = beta * (sum - n * x);
            // the penalty's slope just below and just above c = -x
            if (alpha * (less - (n - less)) + ridge <= 0.0 &&
                alpha * ((n - more) - more) + ridge >= 0.0) {
                first = kink ? std::min(first, -x) : -x;
                last = kink ? std::max(last, -x) : -x;
                kink = true;
            }
        }
        if (!kink) {
            // inside a piece: alpha (#below - #above) + beta (sum + K c) = 0
            first = last = 0.0;
            for (std::size_t d = 0; d <= nk; ++d) {
                const double diff = 2.0 * static_cast<double>(d) - n;
                const double c = -(alpha * diff + beta * sum) / (beta * n);
                double less = 0.0, more = 0.0;
                counts(c, less, more);
                if (less + more == n && less - more == diff) {
                    first = last = c;
                    break;
                }
            }
        }
    }
    // within the limits, nearest 0
    if (last < below) return below;
    if (first > above) return above;
    return nan_max(nan_min(0.0, nan_min(last, above)), nan_max(first, below));
}
// The magnitude of a block gradient that screening and the optimality check
// compare with l1 v_j: ||g||_2 when grouped, else max_k |g_k| (NaN sticks).
template <bool Grouped>
double block_magnitude(std::span<const double> g) {
    if constexpr (Grouped) {
        double s = 0.0;
        for (const double x : g) s += x * x;
        return std::sqrt(s);
    } else {
        double m = 0.0;
        for (const double x : g) {
            const double a = std::abs(x);
            if (a > m || std::isnan(a)) m = a;
        }
        return m;
    }
}

// Where a family checks the pass limit (`npasses > maxit`) besides after
// every pass that did not converge, and whether its penalty values resume
// passes over the active list.  The schedule shows in npasses and in where
// a path stops, so it belongs to the family's results.
struct Schedule {
    bool limit_at_lambda_start;   // once per penalty value, before its first pass
    bool limit_before_full_pass;  // before every full pass
    bool resume_active;           // after a full pass first failed to converge, every
                                  // later penalty value starts with active passes
};

// A design answers for the coordinate descent what it needs of the
// standardized predictors z_j and of the residual r it keeps:
//   gradient(j)      <z_j, r>, after any deferred update
//   defer(j, delta)  r -= delta * (working weights) * z_j, possibly applied
//                    with the next gradient
//   flush()          applies a deferred update
//   abs_gradients(include, skip, out)
//                    out_j = |<z_j, r>| for included j (outside `skip` when given)
template <class D>
concept Design = requires(D& d, std::size_t j, double delta, const Flags& flags,
                          std::span<double> out) {
    { d.gradient(j) } -> std::same_as<double>;
    d.defer(j, delta);
    d.flush();
    d.abs_gradients(flags, &flags, out);
};

// A design for the reweighting families also carries working weights v
// (written by the family at each refit, between begin_refit and end_refit):
//   curvatures(flags, out)  out_j = sum_i v_i z_ij^2 for flagged j
//   residual_sum()          sum_i r_i
//   subtract_weights(d)     r -= v * d  (an intercept step)
//   linear_predictor(coef, active, b0, eta)
//                           eta_i = b0 + sum over active k of coef_k z_ik
template <class D>
concept WorkingDesign = Design<D> && requires(D& d, const D& cd, const Flags& flags,
                                              std::span<double> out, std::span<const double> coef,
                                              std::span<const std::size_t> active) {
    d.curvatures(flags, out);
    { d.residual_sum() } -> std::same_as<double>;
    d.subtract_weights(1.0);
    cd.linear_predictor(coef, active, 0.0, out);
    { d.weights() } -> std::same_as<std::span<double>>;
    { d.residual() } -> std::same_as<std::span<double>>;
    d.begin_refit();
    d.end_refit();
};

// A family supplies what the engine cannot know of the loss:
//   schedule, step_change(c, d)   its pass schedule and how it measures the
//                                 change of one step (its rounding is part
//                                 of the results)
//   conv_thresh()                 the convergence threshold of a pass
//   on_step(g, c, d)              bookkeeping of a coefficient change
//   deviance_ratio()              fraction of the null deviance explained
//   stored_intercept(b0)          the intercept a solution stores
//   little_progress(m, dev, store)  the early-stop rule on the deviance
// and, when it reweights (reweights = true), on a WorkingDesign:
//   weight_sum()                  the sum of the working weights
//   refit(design, coef, active, b0) -> bool
//                                 new working weights and residuals from the
//                                 linear predictor; true when the weights
//                                 vanished (a saturated fit)
template <class F>
concept Family = requires(F& f, const F& cf, const SolutionStore& store) {
    { F::schedule } -> std::convertible_to<Schedule>;
    { F::reweights } -> std::convertible_to<bool>;
    { F::block } -> std::convertible_to<bool>;
    { F::step_change(1.0, 1.0) } -> std::same_as<double>;
    { cf.conv_thresh() } -> std::same_as<double>;
    f.on_step(1.0, 1.0, 1.0);
    { cf.deviance_ratio() } -> std::same_as<double>;
    { cf.stored_intercept(0.0) } -> std::same_as<double>;
    { cf.little_progress(std::uint64_t{0}, 0.0, store) } -> std::same_as<bool>;
};

// A block family (block = true) reweights and has classes() coefficients per
// variable and as many intercepts:
//   grouped                       the group penalty alpha ||b_j.||_2
//   initial_intercepts()          its null model's intercepts
//   weight_sums()                 the sum of each class's working weights
//   refit(design, coef, active, b0) -> bool
//                                 as above, with the K intercepts b0, which
//                                 it may shift by a common amount
template <class F>
concept BlockFamily = Family<F> && F::block && F::reweights &&
                      requires(const F& cf) {
                          { F::grouped } -> std::convertible_to<bool>;
                          { cf.classes() } -> std::same_as<std::size_t>;
                          { cf.initial_intercepts() } -> std::convertible_to<Vec>;
                          { cf.weight_sums() } -> std::convertible_to<std::span<const double>>;
                      };

// A design for a block family keeps the residual r and the working weights
// v as n x K matrices (row-major); what the engine asks of it in one
// coefficient it asks in K:
//   gradient(j, g)             g_k = <z_j, r_.k>, after any deferred update
//   defer(j, delta)            r_.k -= delta_k * v_.k * z_j (delta is copied)
//   flush()                    applies a deferred update
//   abs_gradients(include, skip, out, magnitude)
//                              out_j = magnitude(g_j.) for included j
//   curvatures(flags, out)     out_jk = sum_i v_ik z_ij^2 for flagged j (at j * K + k)
//   residual_sum(s)            s_k = sum_i r_ik
//   subtract_weights(d)        r_.k -= v_.k * d_k  (an intercept step)
//   linear_predictor(coef, active, b0, eta)
//                              eta_ik = b0_k + sum over active j of coef_jk z_ij
//   weights(), residual(), begin_refit(), end_refit(), classes()
template <class D>
concept BlockDesign = requires(D& d, const D& cd, std::size_t j, const Flags& flags,
                               std::span<double> out, std::span<const double> in,
                               std::span<const std::size_t> active,
                               double (*magnitude)(std::span<const double>)) {
    d.gradient(j, out);
    d.defer(j, in);
    d.flush();
    d.abs_gradients(flags, &flags, out, magnitude);
    d.curvatures(flags, out);
    d.residual_sum(out);
    d.subtract_weights(in);
    cd.linear_predictor(in, active, in, out);
    { d.weights() } -> std::same_as<std::span<double>>;
    { d.residual() } -> std::same_as<std::span<double>>;
    d.begin_refit();
    d.end_refit();
    { cd.classes() } -> std::same_as<std::size_t>;
};

// A scalar family runs on a Design, a block family on a BlockDesign.
template <class F, class D>
concept EngineParts = (!F::block && Design<D>) || (BlockFamily<F> && BlockDesign<D>);

// What the coordinate steps read of every variable, prepared before the path.
struct Coordinates {
    const Flags& include;             // 1 = the variable may enter
    std::span<const double> penalty;  // normalized penalty factors
    std::span<const double> lower;    // limits on the standardized scale
    std::span<const double> upper;
};

// The rules a path ends by, besides its length.
struct PathRules {
    double alpha;
    std::uint64_t maxit;
    std::uint64_t dfmax;
    std::uint64_t pmax;
    double max_dev_ratio;
    Interrupt interrupt;
};

struct PathEnd {
    std::uint64_t lmu;
    std::optional<PathWarning> warning;
};

// One path: the solver state (coefficients, screening sets, pass counter)
// and the algorithm over family F and design D.  `curvatures` is the fixed
// curvature of every coordinate for a family that does not reweight (for
// one that does, the design recomputes it per iteration).  `intercept` is
// the starting intercept (K of them for a block family) and `fit_intercept`
// whether passes update it.
template <Family F, class D>
    requires EngineParts<F, D>
class Engine {
public:
    using Intercept = std::conditional_t<F::block, Vec, double>;

    Engine(F& family, D& design, Coordinates coords, const PathRules& rules,
           std::span<const double> curvatures, Intercept intercept, bool fit_intercept)
        : fam_(family), x_(design), in_(coords), rules_(rules),
          nvars_(coords.include.size()), width_(classes(family)),
          coef_(checked_size(nvars_, width_), 0.0), coef_prev_(coef_.size(), 0.0),
          curv_(curvatures.begin(), curvatures.end()), abs_grad_(nvars_, 0.0),
          strong_(nvars_, 0), is_active_(nvars_, 0),
          max_active_(static_cast<std::size_t>(std::min<std::uint64_t>(nvars_, rules.pmax))),
          intercept_(std::move(intercept)), intercept_prev_(intercept_),
          fit_intercept_(fit_intercept) {
        curv_.resize(checked_size(nvars_, width_), 0.0);
        active_.reserve(max_active_);
        if constexpr (F::block) {
            require(intercept_.size() == width_, "one intercept per class");
            block_g_.resize(width_);
            block_b_.resize(width_);
        } else {
            intercept_prev_ = 0.0;
        }
        refresh_abs_gradients(nullptr);
    }

    // Walks the penalty sequence with warm starts and stores every solution.
    PathEnd walk(PenaltySequence& seq, SolutionStore& store) {
        using Kind = PathWarning::Kind;
        for (std::uint64_t m = 0; m < seq.size(); ++m) {
            const double lambda = seq.advance(m, [&] { return largest_ratio(); });
            screen(seq.strong_threshold(lambda));
            if (F::schedule.limit_at_lambda_start && npasses_ > rules_.maxit)
                return {m, PathWarning{Kind::MaxIterReached, m}};
            const double l1 = rules_.alpha * lambda;
            const double l2 = (1.0 - rules_.alpha) * lambda;
            if (F::schedule.resume_active && active_loop_ && !active_passes(l1, l2))
                return {m, PathWarning{Kind::MaxIterReached, m}};
            const auto end = solve(l1, l2);
            if (const auto* kind = std::get_if<Kind>(&end)) return {m, PathWarning{*kind, m}};
            const double dev = fam_.deviance_ratio();
            if constexpr (F::block)
                store.store(m, active_, coef_, intercept_, lambda, dev);
            else
                store.store(m, active_, coef_, fam_.stored_intercept(intercept_), lambda, dev);
            if (m == 0 && seq.generated()) lambda_max_ = seq.start(largest_ratio());
            if (seq.early_stop_applies(m) &&
                early_stop(m, dev, std::get<PenaltyEnd>(end), store))
                return {m + 1, std::nullopt};
        }
        return {seq.size(), std::nullopt};
    }

    std::span<const std::size_t> active() const { return active_; }
    std::uint64_t npasses() const { return npasses_; }
    // lambda_max / max(alpha, 0.001) at the first solution of a generated
    // sequence, on the standardized scale; NaN otherwise.
    double lambda_max() const { return lambda_max_; }

    std::size_t width() const { return width_; }

private:
    using Kind = PathWarning::Kind;

    static std::size_t classes(const F& family) {
        if constexpr (F::block) return family.classes();
        else return 1;
    }

    // The intercept(s) as width_ values.
    static std::span<double> values(double& b0) { return {&b0, 1}; }
    static std::span<double> values(Vec& b0) { return b0; }
    static std::span<const double> values(const double& b0) { return {&b0, 1}; }
    static std::span<const double> values(const Vec& b0) { return b0; }

    // Every variable with abs_grad_j > v_j t joins the strong set; a design
    // that prepares per strong variable is told.  True when any joined.
    bool screen(double t) {
        const bool joined = screen_strong(strong_, in_.include, abs_grad_, in_.penalty, t);
        if constexpr (requires { x_.strong_set_grew(strong_); }) {
            if (joined) x_.strong_set_grew(strong_);
        }
        return joined;
    }

    double largest_ratio() const {
        return varnel_core::lambda_max(abs_grad_, in_.penalty, in_.include);
    }

    // abs_grad_j for every included j (outside `skip` when given).
    void refresh_abs_gradients(const Flags* skip) {
        if constexpr (F::block)
            x_.abs_gradients(in_.include, skip, abs_grad_, &block_magnitude<F::grouped>);
        else
            x_.abs_gradients(in_.include, skip, abs_grad_);
    }

    // One coordinate step on variable j with lasso weight l1 and ridge weight l2.
    UpdateResult update_one(std::size_t j, bool may_enter, double l1, double l2) {
        if constexpr (F::block)
            return update_block(j, may_enter, l1, l2);
        else
            return update_scalar(j, may_enter, l1, l2);
    }

    UpdateResult update_scalar(std::size_t j, bool may_enter, double l1, double l2) {
        const double g = x_.gradient(j);
        const double old = coef_[j];
        const double c = curv_[j];
        const double b = penalized_step(g + old * c, c, in_.penalty[j], l1, l2, in_.lower[j],
                                        in_.upper[j]);
        coef_[j] = b;
        if (b == old) return UpdateResult::Done;
        if (may_enter && !enter_active(j)) return UpdateResult::ActiveFull;
        const double d = b - old;
        max_change_ = nan_max(max_change_, F::step_change(c, d));
        fam_.on_step(g, c, d);
        x_.defer(j, d);  // r -= d * z_j, applied with the next gradient
        return UpdateResult::Done;
    }

    // One step on the block b_j. of a block family: u_k = g_jk + c_jk b_jk,
    // then each class's minimiser or the grouped one.
    UpdateResult update_block(std::size_t j, bool may_enter, double l1, double l2) {
        const std::size_t nk = width_;
        double* b = coef_.data() + j * nk;
        const double* c = curv_.data() + j * nk;
        double* u = block_g_.data();
        double* next = block_b_.data();
        x_.gradient(j, block_g_);
        for (std::size_t k = 0; k < nk; ++k) u[k] = u[k] + b[k] * c[k];
        if constexpr (F::grouped) {
            group_step(block_g_, std::span<const double>(c, nk), in_.penalty[j], l1, l2,
                       in_.lower[j], in_.upper[j], block_b_);
        } else {
            for (std::size_t k = 0; k < nk; ++k)
                next[k] = penalized_step(u[k], c[k], in_.penalty[j], l1, l2, in_.lower[j],
                                         in_.upper[j]);
        }
        bool moved = false;
        for (std::size_t k = 0; k < nk; ++k) {
            const double d = next[k] - b[k];
            moved = moved || next[k] != b[k];
            b[k] = next[k];
            next[k] = d;
        }
        if (!moved) return UpdateResult::Done;
        if (may_enter && !enter_active(j)) return UpdateResult::ActiveFull;
        for (std::size_t k = 0; k < nk; ++k)
            max_change_ = nan_max(max_change_, F::step_change(c[k], next[k]));
        x_.defer(j, block_b_);  // r_.k -= d_k v z_j, applied with the next gradient
        return UpdateResult::Done;
    }

    // Appends j to the active list unless it is there; false when the list
    // is full.
    bool enter_active(std::size_t j) {
        if (is_active_[j]) return true;
        if (active_.size() >= max_active_) return false;
        active_.push_back(j);
        is_active_[j] = 1;
        return true;
    }

    // Unpenalized intercept step: d = sum_i r_i / sum_i v_i; b0 += d; r -= v d
    // (per class for a block family).
    void intercept_step() {
        if constexpr (F::block) {
            const auto vsum = fam_.weight_sums();
            x_.residual_sum(block_g_);
            for (std::size_t k = 0; k < width_; ++k) {
                const double d = block_g_[k] / vsum[k];
                block_g_[k] = d;
                if (d == 0.0) continue;
                max_change_ = nan_max(max_change_, vsum[k] * d * d);
                intercept_[k] += d;
            }
            x_.subtract_weights(block_g_);
        } else {
            const double vsum = fam_.weight_sum();
            const double d = x_.residual_sum() / vsum;
            if (d == 0.0) return;
            max_change_ = nan_max(max_change_, vsum * d * d);
            intercept_ += d;
            x_.subtract_weights(d);
        }
    }

    // Ends a pass; true when it converged.
    bool end_pass() {
        x_.flush();
        if constexpr (F::reweights) {
            if (fit_intercept_) intercept_step();
        }
        rules_.interrupt.poll();
        return max_change_ < fam_.conv_thresh();
    }

    // Passes over the active list until they converge; false when the pass
    // limit was exceeded first.
    bool active_passes(double l1, double l2) {
        for (;;) {
            ++npasses_;
            max_change_ = 0.0;
            for (std::size_t i = 0; i < active_.size(); ++i) update_one(active_[i], false, l1, l2);
            if (end_pass()) return true;
            if (npasses_ > rules_.maxit) return false;
        }
    }

    // Coordinate descent on the current quadratic: a full pass over the
    // strong set, then active passes until they converge, repeated until a
    // full pass converges.
    std::optional<Kind> passes(double l1, double l2) {
        for (;;) {
            if (F::schedule.limit_before_full_pass && npasses_ > rules_.maxit)
                return Kind::MaxIterReached;
            ++npasses_;
            max_change_ = 0.0;
            for (std::size_t j = 0; j < nvars_; ++j) {
                if (strong_[j] && update_one(j, true, l1, l2) == UpdateResult::ActiveFull)
                    return Kind::MaxActiveReached;
            }
            if (end_pass()) return std::nullopt;
            if (npasses_ > rules_.maxit) return Kind::MaxIterReached;
            active_loop_ = true;
            if (!active_passes(l1, l2)) return Kind::MaxIterReached;
        }
    }

    // Saves the iterate and recomputes the curvatures of the strong set from
    // the current working weights.
    void begin_iteration() {
        std::ranges::copy(values(intercept_), values(intercept_prev_).begin());
        for (const std::size_t j : active_)
            for (std::size_t k = j * width_; k < (j + 1) * width_; ++k) coef_prev_[k] = coef_[k];
        x_.curvatures(strong_, curv_);
    }

    // The reweighting iteration converged when every weighted squared move of
    // the intercept and of the active coefficients is at most the threshold
    // (a NaN move does not count as converged).
    bool converged() const {
        const double t = fam_.conv_thresh();
        const auto b0 = values(intercept_), b0_prev = values(intercept_prev_);
        for (std::size_t k = 0; k < width_; ++k) {
            const double di = b0[k] - b0_prev[k];
            double vsum;
            if constexpr (F::block) vsum = fam_.weight_sums()[k];
            else vsum = fam_.weight_sum();
            if (!(vsum * (di * di) <= t)) return false;
        }
        for (const std::size_t j : active_) {
            for (std::size_t k = j * width_; k < (j + 1) * width_; ++k) {
                const double d = coef_[k] - coef_prev_[k];
                if (!(curv_[k] * (d * d) <= t)) return false;
            }
        }
        return true;
    }

    // Solves one penalty value from the current warm start; for a family
    // that reweights, each outer iteration is one quadratic approximation.
    std::variant<PenaltyEnd, Kind> solve(double l1, double l2) {
        for (;;) {
            if constexpr (F::reweights) begin_iteration();
            if (auto stop = passes(l1, l2)) return *stop;
            bool check = true;
            if constexpr (F::reweights) {
                if constexpr (F::block) shift_blocks();
                if (fam_.refit(x_, coef_, active_, intercept_)) return PenaltyEnd::Saturated;
                check = converged();
            }
            if (check) {
                // optimality of the variables outside the strong set
                refresh_abs_gradients(&strong_);
                if (!screen(l1)) return PenaltyEnd::Solved;
            }
            if (npasses_ > rules_.maxit) return Kind::MaxIterReached;
        }
    }

    // Moves every active block by the common shift that minimises its
    // penalty (an unpenalized variable's to mean 0 over the classes).
    void shift_blocks() {
        for (const std::size_t j : active_) {
            const std::span<double> b(coef_.data() + j * width_, width_);
            const double c = in_.penalty[j] > 0.0
                                 ? common_shift<F::grouped>(b, rules_.alpha, in_.lower[j], in_.upper[j])
                                 : common_shift<true>(b, rules_.alpha, in_.lower[j], in_.upper[j]);
            if (c == 0.0) continue;
            for (double& x : b) x += c;
        }
    }

    bool early_stop(std::uint64_t m, double dev, PenaltyEnd end, const SolutionStore& store) const {
        return end == PenaltyEnd::Saturated ||
               count_nonzero(active_, coef_, width_) > rules_.dfmax ||
               dev > rules_.max_dev_ratio || fam_.little_progress(m, dev, store);
    }

    F& fam_;
    D& x_;
    Coordinates in_;
    PathRules rules_;
    std::size_t nvars_;
    std::size_t width_;  // coefficients per variable: K for a block family, else 1
    Vec coef_;           // variable j's at j * width_
    Vec coef_prev_;
    Vec curv_;
    Vec abs_grad_;
    Flags strong_;
    Flags is_active_;
    std::vector<std::size_t> active_;
    std::size_t max_active_;
    Intercept intercept_;
    Intercept intercept_prev_;
    Vec block_g_;  // K-vectors of a block step: gradients, then new values and moves
    Vec block_b_;
    bool fit_intercept_;
    std::uint64_t npasses_ = 0;
    double max_change_ = 0.0;
    bool active_loop_ = false;
    double lambda_max_ = std::numeric_limits<double>::quiet_NaN();
};

}  // namespace varnel_core
