// The sparse-group elastic net over groups of variables:
//
//   sum_g v_g [ l1 ( tau ||b_g||_1 + (1 - tau) s_g ||b_g||_2 ) + l2/2 ||b_g||^2 ]
//
// with l1 = lambda alpha, l2 = lambda (1 - alpha), s_g the group's size
// weight (sqrt(p_g), or 1) and tau the share of the lasso inside the L1
// part: tau = 0 the group elastic net, tau = 1 the elastic net of every
// coefficient by itself.  The groups are not orthonormalised.
//
// Its units (GroupUnits, run by the engine of solver/engine.hpp as the
// elastic net's variables are) are the groups: block coordinate descent
// over groups on the design's gradients.  A block family's group covers the
// K coefficients of each of its variables: p_g x K coefficients, penalized
// as one vector.  A group moves by one majorised block step: its loss's
// quadratic Q(b_g) is bounded above (along the move) by the quadratic of
// curvature L_g times the identity, and the bound is minimised exactly by
// the sparse-group soft-threshold.  The step reads the gradients g_j =
// <z_j, r> of the group's variables, takes u = b_g + g / L_g and moves b_g
// to the penalty's block step.  L_g is found by backtracking between the
// group's largest curvature (a lower bound of its weighted Gram's largest
// eigenvalue) and the trace bound (the largest over the K predictors of the
// sums of its variables' curvatures, an upper one; both formed with the
// curvatures: once for a family of fixed weights, at every reweighting step
// otherwise): a step is kept when the quadratic's curvature along the move
// is at most L_g, so that it minimised a majoriser along the move; else it
// is undone and L_g grows.  The moves enter the residual one variable at a
// time, each with its gradient at that moment, so that the family's
// bookkeeping, the quadratic's change and a guarded family's model change
// are exact.
//
// Screening, the optimality check and lambda_max work per group: a group
// joins the strong set when ||S(|g_g|, tau t v_g)|| > (1 - tau) s_g t v_g
// at the strong rule's t = alpha (2 lambda_k - lambda_{k-1}), and a group
// outside it violates optimality at t = lambda alpha; lambda_max is the
// largest over groups of the t that solves the condition's equality,
// divided by v_g.  The active set is over groups (all of a group's
// variables enter together, a start's too); pmax counts variables.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "base/numeric.hpp"
#include "losses/family.hpp"
#include "solver/parts.hpp"
#include "solver/penalty.hpp"
#include "solver/policy.hpp"

namespace varnel_core {

// The groups of the variables: members[start[g]:start[g + 1]] are group g's
// included variables in increasing order; v its penalty factor (the
// normalized factor its variables share), s its size weight.
struct GroupTable {
    std::vector<std::size_t> start;
    std::vector<std::size_t> members;
    std::vector<double> v;
    std::vector<double> s;
    std::size_t count() const { return v.size(); }
    std::span<const std::size_t> of(std::size_t g) const {
        return std::span<const std::size_t>(members).subspan(start[g], start[g + 1] - start[g]);
    }
};

// ||S(a, t)||_2, the norm of the magnitudes a soft-thresholded by t.
inline double thresholded_norm(std::span<const double> a, double t) {
    double s = 0.0;
    for (const double x : a) {
        const double d = std::abs(x) - t;
        if (d > 0.0 || std::isnan(d)) s += d * d;
    }
    return std::sqrt(s);
}

struct SparseGroupPenalty {
    double tau;  // the lasso's share of the L1 part

    // True when a group whose gradient magnitudes are `a` must move off 0
    // at l1 v (the optimality condition of b_g = 0 fails):
    //   ||S(a, tau l1 v)||_2 > (1 - tau) s l1 v.
    bool violates(std::span<const double> a, double l1v, double s) const {
        const double n = thresholded_norm(a, tau * l1v);
        return n > (1.0 - tau) * s * l1v || std::isnan(n);
    }

    // The smallest t >= 0 at which b_g = 0 is optimal, ||S(a, tau t)|| <=
    // (1 - tau) s t: the root of a decreasing function of t, by bisection
    // (max |a| when tau = 1, ||a|| / s when tau = 0).  NaN sticks.
    double zero_threshold(std::span<const double> a, double s) const {
        double top = 0.0, sq = 0.0;
        for (const double x : a) {
            if (std::isnan(x)) return x;
            top = std::max(top, std::abs(x));
            sq += x * x;
        }
        if (top == 0.0) return 0.0;
        if (tau >= 1.0) return top;
        if (tau <= 0.0) return std::sqrt(sq) / s;
        double lo = 0.0, hi = std::min(top / tau, std::sqrt(sq) / ((1.0 - tau) * s));
        for (int it = 0; it < 200 && hi - lo > 1e-15 * hi; ++it) {
            const double mid = 0.5 * (lo + hi);
            if (thresholded_norm(a, tau * mid) > (1.0 - tau) * s * mid) lo = mid;
            else hi = mid;
        }
        return hi;
    }

    // The block step: argmin_b  L/2 ||b - u||^2 + l1 v (tau ||b||_1 +
    // (1 - tau) s ||b||_2) + l2 v/2 ||b||^2, with u = b_old + g / L: the
    // elementwise soft-threshold of L u by tau l1 v, then the group shrink
    // by (1 - tau) s l1 v, divided by L + l2 v.
    void step(std::span<const double> lu, double curv, double v, double l1, double l2,
              double s, std::span<double> out) const {
        double sq = 0.0;
        const double t = tau * l1 * v;
        for (std::size_t k = 0; k < lu.size(); ++k) {
            const double d = std::abs(lu[k]) - t;
            out[k] = d > 0.0 ? std::copysign(d, lu[k]) : 0.0;
            sq += out[k] * out[k];
        }
        const double norm = std::sqrt(sq), c = (1.0 - tau) * s * l1 * v;
        const double f = norm > c ? (1.0 - c / norm) / (curv + l2 * v) : 0.0;
        for (double& b : out) b = b * f;
    }

    // The group's penalty at l1, l2 without its factor v.
    double value(std::span<const double> b, double l1, double l2, double s) const {
        double a = 0.0, sq = 0.0;
        for (const double x : b) {
            a += std::abs(x);
            sq += x * x;
        }
        return l1 * (tau * a + (1.0 - tau) * s * std::sqrt(sq)) + 0.5 * l2 * sq;
    }
};

// The groups of `groups` as the engine's units under the sparse-group
// penalty `pen` (see the header).
class GroupUnits {
public:
    GroupUnits(const GroupTable& groups, SparseGroupPenalty pen) : groups_(&groups), pen_(pen) {}

    template <class E>
    void begin(E& e) {
        const std::size_t n = groups_->count(), nk = e.width_;
        e.abs_grad_.assign(e.coef_.size(), 0.0);
        group_strong_.assign(n, 0);
        group_active_.assign(n, 0);
        bound_.assign(n, 0.0);
        step_.assign(n, 0.0);
        std::size_t widest = 0;
        for (std::size_t g = 0; g < n; ++g) widest = std::max(widest, groups_->of(g).size());
        for (Vec* buf : {&buf_a_, &buf_b_, &buf_c_, &buf_g_, &buf_o_}) buf->resize(widest * nk);
        if constexpr (!E::Fam::reweights) form_bounds(e, nullptr);
    }
    template <class E>
    std::size_t count(const E&) const {
        return groups_->count();
    }
    template <class E>
    bool strong(const E&, std::size_t g) const {
        return group_strong_[g];
    }
    template <class E>
    std::span<const std::size_t> active(const E&) const {
        return active_groups_;
    }

    // |g_jk| of every included variable (outside `skip` when given): the
    // design's own pass for one predictor, each variable's K gradients for
    // a block family.
    template <class E>
    void gradients(E& e, const Flags* skip) const {
        if constexpr (E::Fam::block) {
            const std::size_t nk = e.width_;
            e.x_.flush();
            for (std::size_t j = 0; j < e.nvars_; ++j) {
                if (!e.in_.include[j] || (skip && (*skip)[j])) continue;
                e.x_.gradient(j, e.block_g_);
                for (std::size_t k = 0; k < nk; ++k) e.abs_grad_[j * nk + k] = std::abs(e.block_g_[k]);
            }
        } else {
            e.x_.abs_gradients(e.in_.include, skip, e.abs_grad_);
        }
    }

    template <class E>
    void check(E& e, double) const {
        gradients(e, &e.strong_);
    }

    // Every group whose optimality condition fails at t joins the strong set.
    template <class E>
    bool screen(E& e, double t) {
        bool joined = false;
        for (std::size_t g = 0; g < groups_->count(); ++g) {
            if (group_strong_[g] || groups_->of(g).empty()) continue;
            if (pen_.violates(magnitudes(e, g), t * groups_->v[g], groups_->s[g])) {
                join(e, g);
                joined = true;
            }
        }
        return joined;
    }

    template <class E>
    double lambda_max(const E& e) {
        double largest = 0.0;
        for (std::size_t g = 0; g < groups_->count(); ++g) {
            if (groups_->of(g).empty() || !(groups_->v[g] > 0.0)) continue;
            largest = nan_max(largest,
                              pen_.zero_threshold(magnitudes(e, g), groups_->s[g]) / groups_->v[g]);
        }
        return largest;
    }

    // The groups with a non-zero start enter the active list and the strong
    // set, unless they would make the list longer than pmax allows (false,
    // none entered).
    template <class E>
    bool enter(E& e, const WarmStart& start) {
        std::size_t joining = 0;
        for (std::size_t g = 0; g < groups_->count(); ++g)
            if (!group_active_[g] && starts_group(e, start, g))
                for (const std::size_t j : groups_->of(g)) joining += !e.is_active_[j];
        if (e.active_.size() + joining > e.max_active_) return false;
        for (std::size_t g = 0; g < groups_->count(); ++g) {
            if (!starts_group(e, start, g)) continue;
            enter_group(e, g);
            join(e, g);
        }
        return true;
    }

    template <class E>
    void curvatures_changed(E& e) {
        form_bounds(e, &group_strong_);
    }

    // sum over active groups of v_g times the group's penalty
    template <class E>
    double penalty(const E& e, double l1, double l2) {
        double pen = 0.0;
        for (const std::size_t g : active_groups_) {
            std::size_t at = 0;
            for (const std::size_t j : groups_->of(g))
                for (std::size_t k = 0; k < e.width_; ++k) buf_a_[at++] = e.coef_[j * e.width_ + k];
            pen += groups_->v[g] * pen_.value(std::span<const double>(buf_a_).first(at), l1, l2,
                                              groups_->s[g]);
        }
        return pen;
    }

    // Before each refit of a shift-invariant family, every active variable
    // takes the common shift of its K coefficients that its group's penalty
    // prefers where that is known in closed form: minus their mean for an
    // unpenalized group and for tau = 0 (the group norm and the ridge term
    // are both least there, variable by variable), the elastic net's shift
    // for tau = 1 (solver/penalty.hpp); for 0 < tau < 1 the block steps find
    // it.  The loss sees no shift, so each is a free descent step.
    template <class E>
    void shift(E& e) const {
        const std::size_t nk = e.width_;
        for (const std::size_t g : active_groups_) {
            const bool mean = !(groups_->v[g] > 0.0) || pen_.tau <= 0.0;
            if (!mean && pen_.tau < 1.0) continue;
            for (const std::size_t j : groups_->of(g)) {
                const std::span<double> b(e.coef_.data() + j * nk, nk);
                if (mean) {
                    subtract_mean(b.data(), nk);
                } else {
                    const double c = ElasticNetPenalty::shift(b, e.rules_.alpha, -HUGE_VAL, HUGE_VAL);
                    if (c != 0.0)
                        for (double& x : b) x += c;
                }
            }
        }
    }

    // One block step on group g.  The step starts from the group's current
    // curvature L (at least its largest curvature, a lower bound of the
    // Gram's largest eigenvalue) and is kept when the quadratic along the
    // move d is within it, d'Ad <= L d'd (d'Ad read off the exact change
    // of the quadratic the sequential moves make): then the step minimised
    // a majoriser along d and lowered the objective.  Otherwise the moves
    // are undone and L grows (to the curvature seen, at least doubled),
    // up to the trace bound, where every step is kept.
    template <class E>
    StepResult step(E& e, std::size_t g, bool may_enter, double l1, double l2) {
        const auto members = groups_->of(g);
        const std::size_t m = members.size(), nk = e.width_, size = m * nk;
        e.rules_.interrupt.tick(e.step_work_ * m);
        const double v = groups_->v[g], top = bound_[g];
        if (flat_coordinate(top, v, l2)) return StepResult::Done;
        double L = step_[g] > 0.0 && step_[g] < top ? step_[g] : top;
        const std::span<double> grad(buf_g_.data(), size), old(buf_o_.data(), size);
        const std::span<double> lu(buf_b_.data(), size), next(buf_c_.data(), size);
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t j = members[i];
            if constexpr (E::Fam::block) {
                e.x_.gradient(j, e.block_g_);
                for (std::size_t k = 0; k < nk; ++k) grad[i * nk + k] = e.block_g_[k];
            } else {
                grad[i] = e.x_.gradient(j);
            }
            for (std::size_t k = 0; k < nk; ++k) old[i * nk + k] = e.coef_[j * nk + k];
        }
        for (;;) {
            for (std::size_t i = 0; i < size; ++i) lu[i] = grad[i] + L * old[i];
            pen_.step(lu, L, v, l1, l2, groups_->s[g], next);
            bool moved = false;
            for (std::size_t i = 0; i < size; ++i) moved = moved || next[i] != old[i];
            if (!moved) return StepResult::Done;
            if (may_enter && !enter_group(e, g)) return StepResult::ActiveFull;
            double q = 0.0, gd = 0.0, dd = 0.0, change = 0.0;
            move(e, members, next, L, q, change);
            for (std::size_t i = 0; i < size; ++i) {
                const double d = next[i] - old[i];
                gd += grad[i] * d;
                dd += d * d;
            }
            const double dad = 2.0 * (q + gd);  // d'Ad, the quadratic along the move
            if (L >= top || dad <= L * dd * (1.0 + 1e-12) || !(dad == dad)) {
                step_[g] = L;
                e.max_change_ = nan_max(e.max_change_, change);
                if constexpr (GuardedFamily<typename E::Fam>)
                    e.model_change_ += q + v * (pen_.value(next, l1, l2, groups_->s[g]) -
                                                pen_.value(old, l1, l2, groups_->s[g]));
                return StepResult::Done;
            }
            double unused_q = 0.0, unused_change = 0.0;
            move(e, members, old, L, unused_q, unused_change);  // back where the step started
            L = std::min(top, std::max(2.0 * L, dad / dd));
        }
    }

private:
    // The magnitudes of group g's gradients (its variables' K each) into buf_a_.
    template <class E>
    std::span<const double> magnitudes(const E& e, std::size_t g) {
        std::size_t at = 0;
        for (const std::size_t j : groups_->of(g))
            for (std::size_t k = 0; k < e.width_; ++k) buf_a_[at++] = e.abs_grad_[j * e.width_ + k];
        return std::span<const double>(buf_a_).first(at);
    }

    // L_g = the largest over the predictors of the sums of the group's
    // curvatures, for every group (flagged strong ones when `only` is given).
    template <class E>
    void form_bounds(const E& e, const Flags* only) {
        const std::size_t nk = e.width_;
        for (std::size_t g = 0; g < groups_->count(); ++g) {
            if (only && !(*only)[g]) continue;
            double L = 0.0;
            for (std::size_t k = 0; k < nk; ++k) {
                double sum = 0.0;
                for (const std::size_t j : groups_->of(g)) sum += e.curv_[j * nk + k];
                L = nan_max(L, sum);
            }
            bound_[g] = L;
            double largest = 0.0;  // the largest curvature: at most the Gram's largest eigenvalue
            for (const std::size_t j : groups_->of(g))
                for (std::size_t k = 0; k < nk; ++k) largest = nan_max(largest, e.curv_[j * nk + k]);
            step_[g] = std::min(std::max(step_[g], largest), L);
        }
    }

    // Whether any variable of group g has a non-zero coefficient in `start`.
    template <class E>
    bool starts_group(const E& e, const WarmStart& start, std::size_t g) const {
        for (const std::size_t j : groups_->of(g))
            if (e.starts_variable(start, j)) return true;
        return false;
    }

    template <class E>
    void join(E& e, std::size_t g) {
        group_strong_[g] = 1;
        for (const std::size_t j : groups_->of(g)) e.strong_[j] = 1;
    }

    // Group g and its variables enter the active lists; false when they
    // would make the variables' list longer than pmax allows.
    template <class E>
    bool enter_group(E& e, std::size_t g) {
        if (group_active_[g]) return true;
        std::size_t more = 0;
        for (const std::size_t j : groups_->of(g)) more += !e.is_active_[j];
        if (e.active_.size() + more > e.max_active_) return false;
        group_active_[g] = 1;
        active_groups_.push_back(g);
        for (const std::size_t j : groups_->of(g)) {
            if (e.is_active_[j]) continue;
            e.is_active_[j] = 1;
            e.active_.push_back(j);
        }
        return true;
    }

    // Moves the group's variables to `to`, one variable at a time, each with
    // its gradient then: the family's bookkeeping, the residual, and the
    // exact change q of the quadratic; `change` the largest move weighed by
    // L (a majorised step is shorter than the coordinate's own, so its
    // change is measured as the gradient map measures it).
    template <class E>
    static void move(E& e, std::span<const std::size_t> members, std::span<const double> to,
                     double L, double& q, double& change) {
        const std::size_t nk = e.width_;
        for (std::size_t i = 0; i < members.size(); ++i) {
            const std::size_t j = members[i];
            if constexpr (E::Fam::block) {
                double* b = e.coef_.data() + j * nk;
                const double* c = e.curv_.data() + j * nk;
                bool any = false;
                for (std::size_t k = 0; k < nk; ++k) any = any || to[i * nk + k] != b[k];
                if (!any) continue;
                e.x_.gradient(j, e.block_g_);
                for (std::size_t k = 0; k < nk; ++k) {
                    const double d = to[i * nk + k] - b[k];
                    q += d * (0.5 * c[k] * d - e.block_g_[k]);
                    e.block_g_[k] += c[k] * b[k];  // u = g + c b_old
                    b[k] = to[i * nk + k];
                    e.block_b_[k] = d;
                    change = nan_max(change, step_change<E::policy.rounding>(L, d));
                }
                e.fam_.on_step(e.block_g_, std::span<const double>(c, nk),
                               std::span<const double>(b, nk), e.block_b_);
                e.x_.defer(j, e.block_b_);
            } else {
                const double d = to[i] - e.coef_[j];
                if (d == 0.0) continue;
                const double c = e.curv_[j];
                const double gj = e.x_.gradient(j);
                e.coef_[j] = to[i];
                q += d * (0.5 * c * d - gj);
                change = nan_max(change, step_change<E::policy.rounding>(L, d));
                e.fam_.on_step(gj, c, d);
                e.x_.defer(j, d);
            }
        }
    }

    const GroupTable* groups_;
    SparseGroupPenalty pen_;
    Flags group_strong_;
    Flags group_active_;
    Vec bound_;  // the trace bound of each group
    Vec step_;   // the curvature each group's steps take, between its largest curvature and the bound
    std::vector<std::size_t> active_groups_;  // in the order they entered
    Vec buf_a_, buf_b_, buf_c_, buf_g_, buf_o_;
};

}  // namespace varnel_core
