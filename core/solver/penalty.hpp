// The penalties of the coordinate descent and their steps: the elastic net
// on every coefficient by itself, and the group elastic net on the K
// coefficients of a variable together.  A penalty supplies the coordinate
// minimiser (its prox on the family's quadratic), the magnitude of a
// variable's gradient that screening and the optimality check compare with
// l1 v_j, and the common shift of a block that minimises it (for families
// whose loss sees only differences between the K predictors).
//
// A penalty also brings the engine (solver/engine.hpp) its units: what one
// step moves, how screening, the optimality check and lambda_max read the
// gradients, what a start enters and the penalty's value.  The elastic
// net's unit is one variable (VariableUnits below: one coordinate, or the
// K coefficients of a variable of a block family); the sparse-group
// penalty's is a group (solver/group_penalty.hpp).  A units type U is a
// template of the engine E it serves, with
//   begin(e)                       sizes its state and e's gradients, once
//                                  the curvatures are known
//   count(e), strong(e, u)         the units, and whether u is strong
//   active(e)                      the active units, in the order they entered
//   step(e, u, may_enter, l1, l2)  one step on unit u (StepResult)
//   gradients(e, skip)             the magnitudes screening reads
//   check(e, l1)                   the magnitudes of the units outside the
//                                  strong set, before screen(e, l1)
//   screen(e, t)                   the units whose condition fails at t join
//                                  the strong set; true when any did
//   lambda_max(e)                  the largest ratio of the gradients
//   enter(e, start)                the start's units enter (false: pmax)
//   curvatures_changed(e)          after a reweighting step's curvatures
//   penalty(e, l1, l2)             the penalty of the active coefficients
//   shift(e)                       a shift-invariant family's common shifts
// The engine names each of these for one type; none is a call through a
// pointer or a flag per step.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

#include "base/numeric.hpp"
#include "losses/family.hpp"
#include "solver/parts.hpp"
#include "solver/policy.hpp"
#include "solver/sequence.hpp"

namespace varnel_core {

// A coordinate whose quadratic is flat (no curvature left, e.g. every
// working weight of its rows 0 on separated data, and no ridge term) has no
// finite minimiser: the step would send it to a limit, or to +-big on the
// sign of a rounding-level gradient.  The engine leaves such a coordinate
// where it is.
inline bool flat_coordinate(double curv, double v, double l2) { return !(curv + l2 * v > 0.0); }

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

// sum_j v_j (alpha sum_k |b_jk| + (1 - alpha)/2 sum_k b_jk^2): each
// coefficient by itself.
struct ElasticNetPenalty {
    static constexpr bool grouped = false;
    static void block_step(std::span<const double> u, std::span<const double> curv, double v,
                           double l1, double l2, double lo, double hi, std::span<double> out) {
        for (std::size_t k = 0; k < u.size(); ++k)
            out[k] = penalized_step(u[k], curv[k], v, l1, l2, lo, hi);
    }
    static double magnitude(std::span<const double> g) { return block_magnitude<false>(g); }
    // sum_k (l1 |b_k| + l2/2 b_k^2)
    static double value(std::span<const double> b, double l1, double l2) {
        double a = 0.0, s = 0.0;
        for (const double x : b) {
            a += std::abs(x);
            s += x * x;
        }
        return l1 * a + 0.5 * l2 * s;
    }
    static double shift(std::span<const double> b, double alpha, double lo, double hi) {
        return common_shift<false>(b, alpha, lo, hi);
    }
};

// sum_j v_j (alpha ||b_j.||_2 + (1 - alpha)/2 ||b_j.||^2): a variable enters
// or leaves with all its K coefficients.
struct GroupElasticNetPenalty {
    static constexpr bool grouped = true;
    static void block_step(std::span<const double> u, std::span<const double> curv, double v,
                           double l1, double l2, double lo, double hi, std::span<double> out) {
        group_step(u, curv, v, l1, l2, lo, hi, out);
    }
    static double magnitude(std::span<const double> g) { return block_magnitude<true>(g); }
    // l1 ||b||_2 + l2/2 ||b||^2
    static double value(std::span<const double> b, double l1, double l2) {
        double s = 0.0;
        for (const double x : b) s += x * x;
        return l1 * std::sqrt(s) + 0.5 * l2 * s;
    }
    static double shift(std::span<const double> b, double alpha, double lo, double hi) {
        return common_shift<true>(b, alpha, lo, hi);
    }
};

// What a step did: Done, or ActiveFull when the unit would enter an active
// list that is full (pmax).
enum class StepResult { Done, ActiveFull };

// The units of the elastic-net penalty P (ElasticNetPenalty or
// GroupElasticNetPenalty): one variable each.  A variable's step is the
// exact minimiser on its coordinate (or P's block step on its K
// coefficients); screening and the optimality check compare the magnitude
// of its gradient with l1 v_j.
template <class P>
struct VariableUnits {
    template <class E>
    void begin(E& e) const {
        e.abs_grad_.assign(e.nvars_, 0.0);
    }
    template <class E>
    std::size_t count(const E& e) const {
        return e.nvars_;
    }
    template <class E>
    bool strong(const E& e, std::size_t j) const {
        return e.strong_[j];
    }
    template <class E>
    std::span<const std::size_t> active(const E& e) const {
        return e.active_;
    }

    // abs_grad_j for every included j (outside `skip` when given).
    template <class E>
    void gradients(E& e, const Flags* skip) const {
        if constexpr (E::Fam::block)
            e.x_.abs_gradients(e.in_.include, skip, e.abs_grad_, &P::magnitude);
        else
            e.x_.abs_gradients(e.in_.include, skip, e.abs_grad_);
    }

    // The variables outside the strong set (a design may bound the
    // gradients it need not form).
    template <class E>
    void check(E& e, double l1) const {
        if constexpr (requires { e.x_.check_gradients(e.in_.include, e.strong_, e.in_.penalty, l1,
                                                      std::span<double>(e.abs_grad_)); })
            e.x_.check_gradients(e.in_.include, e.strong_, e.in_.penalty, l1, e.abs_grad_);
        else
            gradients(e, &e.strong_);
    }

    // Every variable with abs_grad_j > v_j t joins the strong set.
    template <class E>
    bool screen(E& e, double t) const {
        return screen_strong(e.strong_, e.in_.include, e.abs_grad_, e.in_.penalty, t);
    }

    template <class E>
    double lambda_max(const E& e) const {
        return varnel_core::lambda_max(e.abs_grad_, e.in_.penalty, e.in_.include);
    }

    // The variables with a non-zero start enter the active list, unless
    // they would make it longer than pmax allows (false, none entered).
    template <class E>
    bool enter(E& e, const WarmStart& start) const {
        std::size_t joining = 0;
        for (std::size_t j = 0; j < e.nvars_; ++j)
            joining += e.starts_variable(start, j) && !e.is_active_[j];
        if (e.active_.size() + joining > e.max_active_) return false;
        for (std::size_t j = 0; j < e.nvars_; ++j)
            if (e.starts_variable(start, j)) e.enter_active(j);
        return true;
    }

    template <class E>
    void curvatures_changed(E&) const {}

    // sum over active j of v_j P(b_j.)
    template <class E>
    double penalty(const E& e, double l1, double l2) const {
        double pen = 0.0;
        for (const std::size_t j : e.active_)
            pen += e.in_.penalty[j] *
                   P::value(std::span<const double>(e.coef_).subspan(j * e.width_, e.width_), l1,
                            l2);
        return pen;
    }

    // Moves every active block by the common shift that minimises its
    // penalty (an unpenalized variable's to mean 0 over the predictors).
    template <class E>
    void shift(E& e) const {
        for (const std::size_t j : e.active_) {
            const std::span<double> b(e.coef_.data() + j * e.width_, e.width_);
            const double c = e.in_.penalty[j] > 0.0
                                 ? P::shift(b, e.rules_.alpha, e.in_.lower[j], e.in_.upper[j])
                                 : GroupElasticNetPenalty::shift(b, e.rules_.alpha, e.in_.lower[j],
                                                                 e.in_.upper[j]);
            if (c == 0.0) continue;
            for (double& x : b) x += c;
        }
    }

    // One step on variable j with lasso weight l1 and ridge weight l2.
    template <class E>
    StepResult step(E& e, std::size_t j, bool may_enter, double l1, double l2) const {
        e.rules_.interrupt.tick(e.step_work_);
        if constexpr (E::Fam::block)
            return block_step(e, j, may_enter, l1, l2);
        else
            return coordinate_step(e, j, may_enter, l1, l2);
    }

    template <class E>
    static StepResult coordinate_step(E& e, std::size_t j, bool may_enter, double l1, double l2) {
        const double g = e.x_.gradient(j);
        const double old = e.coef_[j];
        const double c = e.curv_[j];
        if (flat_coordinate(c, e.in_.penalty[j], l2)) return StepResult::Done;
        const double b = penalized_step(g + old * c, c, e.in_.penalty[j], l1, l2, e.in_.lower[j],
                                        e.in_.upper[j]);
        e.coef_[j] = b;
        if (b == old) return StepResult::Done;
        if (may_enter && !e.enter_active(j)) return StepResult::ActiveFull;
        const double d = b - old;
        e.max_change_ = nan_max(e.max_change_, step_change<E::policy.rounding>(c, d));
        e.fam_.on_step(g, c, d);
        if constexpr (GuardedFamily<typename E::Fam>)  // the step's exact change of the penalized quadratic
            e.model_change_ += d * (0.5 * c * d - g) +
                               e.in_.penalty[j] * (l1 * (std::abs(b) - std::abs(old)) +
                                                   0.5 * l2 * (b * b - old * old));
        e.x_.defer(j, d);  // r -= d * z_j, applied with the next gradient
        return StepResult::Done;
    }

    // One step on the block b_j.: u_k = g_jk + c_jk b_jk, then the
    // penalty's block step.
    template <class E>
    static StepResult block_step(E& e, std::size_t j, bool may_enter, double l1, double l2) {
        const std::size_t nk = e.width_;
        double* b = e.coef_.data() + j * nk;
        const double* c = e.curv_.data() + j * nk;
        double* u = e.block_g_.data();
        double* next = e.block_b_.data();
        e.x_.gradient(j, e.block_g_);
        for (std::size_t k = 0; k < nk; ++k) u[k] = u[k] + b[k] * c[k];
        P::block_step(e.block_g_, std::span<const double>(c, nk), e.in_.penalty[j], l1, l2,
                      e.in_.lower[j], e.in_.upper[j], e.block_b_);
        bool moved = false;
        for (std::size_t k = 0; k < nk; ++k)
            if (flat_coordinate(c[k], e.in_.penalty[j], l2)) next[k] = b[k];
        if constexpr (GuardedFamily<typename E::Fam>) {  // the step's exact change of the penalized quadratic
            const std::span<const double> from(b, nk), to(next, nk);
            double q = 0.0;
            for (std::size_t k = 0; k < nk; ++k)
                q += (next[k] - b[k]) * (0.5 * c[k] * (b[k] + next[k]) - u[k]);
            e.model_change_ +=
                q + e.in_.penalty[j] * (P::value(to, l1, l2) - P::value(from, l1, l2));
        }
        for (std::size_t k = 0; k < nk; ++k) {
            const double d = next[k] - b[k];
            moved = moved || next[k] != b[k];
            b[k] = next[k];
            next[k] = d;
        }
        if (!moved) return StepResult::Done;
        if (may_enter && !e.enter_active(j)) return StepResult::ActiveFull;
        for (std::size_t k = 0; k < nk; ++k)
            e.max_change_ = nan_max(e.max_change_, step_change<E::policy.rounding>(c[k], next[k]));
        e.fam_.on_step(e.block_g_, std::span<const double>(c, nk), std::span<const double>(b, nk),
                       e.block_b_);
        e.x_.defer(j, e.block_b_);  // r_.k -= d_k v z_j, applied with the next gradient
        return StepResult::Done;
    }
};

}  // namespace varnel_core
