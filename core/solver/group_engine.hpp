// The coordinate-descent engine of the sparse-group penalty
// (solver/group_penalty.hpp): block coordinate descent over groups of
// variables on the design's gradients, with the pass structure, reweighting
// loop, guard and path walk of the elastic-net engine (solver/engine.hpp).
// A block family's group covers the K coefficients of each of its
// variables: p_g x K coefficients, penalized as one vector; its L_g is the
// largest over the K predictors of the group's curvature sums.
//
// For each penalty value lambda it minimises over the standardized
// coefficients b (and an intercept)
//
//   Q(b0, b) + lambda * sum_g v_g [ alpha ( tau ||b_g||_1
//                                           + (1 - tau) s_g ||b_g||_2 )
//                                   + (1 - alpha)/2 ||b_g||^2 ]
//
// A group's step reads the gradients g_j = <z_j, r> of its variables,
// takes u = b_g + g / L_g and moves b_g to the penalty's block step.  L_g
// is found by backtracking between the group's largest curvature (a lower
// bound of its weighted Gram's largest eigenvalue) and the trace bound (the
// sum of its variables' curvatures, an upper one; both formed with the
// curvatures: once for a family of fixed weights, at every reweighting
// step otherwise): a step is kept when the quadratic's curvature along the
// move is at most L_g, so that it minimised a majoriser along the move;
// else it is undone and L_g grows.  The moves enter the residual one
// variable at a time, each with its gradient at that moment, so that the
// family's bookkeeping, the quadratic's change and a guarded family's
// model change are exact.
//
// Screening, the optimality check and lambda_max work per group: a group
// joins the strong set when ||S(|g_g|, tau t v_g)|| > (1 - tau) s_g t v_g
// at the strong rule's t = alpha (2 lambda_k - lambda_{k-1}), and a group
// outside it violates optimality at t = lambda alpha; lambda_max is the
// largest over groups of the t that solves the condition's equality,
// divided by v_g.  The active set is over groups (all of a group's
// variables enter together); pmax counts variables.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "base/numeric.hpp"
#include "losses/family.hpp"
#include "solver/group_penalty.hpp"
#include "solver/parts.hpp"
#include "solver/path.hpp"
#include "solver/penalty.hpp"
#include "solver/policy.hpp"
#include "solver/sequence.hpp"
#include "solver/store.hpp"

namespace varnel_core {

// P is a penalty over groups (solver/group_penalty.hpp: violates,
// zero_threshold, step, value).
template <Family F, class D, class P = SparseGroupPenalty>
    requires EngineParts<F, D> && InterceptParts<F>
class GroupEngine {
public:
    using Intercept = std::conditional_t<F::block, Vec, double>;

    GroupEngine(F& family, D& design, Coordinates coords, const GroupTable& groups,
                P penalty, const PathRules& rules,
                std::span<const double> curvatures, bool fit_intercept,
                const WarmStart* start = nullptr)
        : fam_(family), x_(design), in_(coords), groups_(groups), pen_(penalty), rules_(rules),
          nvars_(coords.include.size()), width_(family.width()),
          coef_(checked_size(nvars_, width_), 0.0), coef_prev_(coef_.size(), 0.0),
          curv_(curvatures.begin(), curvatures.end()), abs_grad_(coef_.size(), 0.0),
          strong_(nvars_, 0), is_active_(nvars_, 0), group_strong_(groups.count(), 0),
          group_active_(groups.count(), 0), bound_(groups.count(), 0.0),
          step_(groups.count(), 0.0),
          max_active_(static_cast<std::size_t>(std::min<std::uint64_t>(nvars_, rules.pmax))),
          fit_intercept_(fit_intercept && F::intercept_fit == InterceptFit::by_steps),
          step_work_(design.step_work()) {
        curv_.resize(coef_.size(), 0.0);
        std::size_t widest = 0;
        for (std::size_t g = 0; g < groups_.count(); ++g)
            widest = std::max(widest, groups_.of(g).size());
        buf_a_.resize(widest * width_);
        buf_b_.resize(widest * width_);
        buf_c_.resize(widest * width_);
        buf_g_.resize(widest * width_);
        buf_o_.resize(widest * width_);
        block_g_.resize(width_);
        block_d_.resize(width_);
        if constexpr (F::block) {
            require(design.width() == width_, "a design of the family's width");
            intercept_.assign(width_, 0.0);
        }
        if constexpr (F::reweights && RefitsThroughSource<D>) {
            const Vec b0 = x_.null_model();
            require(b0.size() == width_, "one intercept per linear predictor");
            std::ranges::copy(b0, values(intercept_).begin());
        } else if constexpr (F::reweights) {
            eta_.resize(checked_size(x_.rows(), width_));
            x_.begin_refit();
            intercept_ = fam_.null_model(x_.weights(), x_.residual());
            x_.end_refit();
        } else if constexpr (requires { x_.curvatures(in_.include, curv_); }) {
            if (curvatures.empty()) x_.curvatures(in_.include, curv_);
        } else {
            require(!curvatures.empty(), "fixed curvatures for a design that cannot form them");
        }
        if constexpr (!F::reweights) form_bounds(nullptr);
        intercept_prev_ = intercept_;
        refresh_abs_gradients(nullptr);
        for (std::size_t j = 0; j < nvars_; ++j)
            for (std::size_t k = 0; k < width_; ++k)
                if (in_.include[j] && !std::isfinite(abs_grad_[j * width_ + k]))
                    data_overflow("the gradient of variable " + std::to_string(j) +
                                      " at the null model",
                                  "x or y");
        if (start) {
            begin_at(*start);
            refresh_abs_gradients(nullptr);
        }
    }

    // Walks the penalty sequence as Engine::walk does: solved(m, dev_ratio)
    // is told of each stored solution, and false ends the walk after it.
    template <class Solved>
    PathEnd walk(PenaltySequence& seq, SolutionStore& store, Solved&& solved) {
        for (std::uint64_t m = 0; m < seq.size(); ++m) {
            const double lambda = seq.advance(m, [&] { return largest_ratio(); });
            lambda_ = lambda;
            screen(seq.strong_threshold(lambda));
            if (policy.schedule.limit_at_lambda_start && npasses_ > rules_.maxit)
                return {m, PathWarning{Kind::MaxIterReached, m}};
            const double l1 = rules_.alpha * lambda;
            const double l2 = (1.0 - rules_.alpha) * lambda;
            if (policy.schedule.resume_active && active_loop_ && !active_passes(l1, l2))
                return {m, PathWarning{Kind::MaxIterReached, m}};
            const auto end = solve(l1, l2);
            if (const auto* kind = std::get_if<Kind>(&end)) return {m, PathWarning{*kind, m}};
            const double dev = fam_.deviance_ratio();
            if constexpr (F::block)
                store.store(m, active_, coef_, intercept_, lambda, dev);
            else
                store.store(m, active_, coef_, fam_.stored_intercept(intercept_), lambda, dev);
            if (m == 0 && seq.generated()) lambda_max_ = seq.start(largest_ratio());
            const bool go_on = solved(m, dev);
            if (seq.early_stop_applies(m) &&
                early_stop(m, dev, std::get<PenaltyEnd>(end), store, seq.min_lambdas()))
                return {m + 1, std::nullopt};
            if (!go_on && m + 1 < seq.size()) return {m + 1, PathWarning{Kind::Stopped, m + 1}};
        }
        return {seq.size(), std::nullopt};
    }

    std::span<const std::size_t> active() const { return active_; }
    std::uint64_t npasses() const { return npasses_; }
    double lambda_max() const { return lambda_max_; }
    std::size_t width() const { return width_; }
    std::span<const double> coefficients() const { return coef_; }
    Vec stored_intercepts() const {
        if constexpr (F::block) return intercept_;
        else return Vec{fam_.stored_intercept(intercept_)};
    }
    double lambda() const { return lambda_; }

private:
    using Kind = PathWarning::Kind;
    static constexpr const PathPolicy& policy = policy_of<F>;
    enum class UpdateResult { Done, ActiveFull };
    enum class PenaltyEnd { Solved, Saturated };

    static std::span<double> values(double& b0) { return {&b0, 1}; }
    static std::span<double> values(Vec& b0) { return b0; }
    static std::span<const double> values(const double& b0) { return {&b0, 1}; }
    static std::span<const double> values(const Vec& b0) { return b0; }

    // |g_jk| of every included variable (outside `skip` when given): the
    // design's own pass for one predictor, each variable's K gradients for
    // a block family.
    void refresh_abs_gradients(const Flags* skip) {
        if constexpr (F::block) {
            x_.flush();
            for (std::size_t j = 0; j < nvars_; ++j) {
                if (!in_.include[j] || (skip && (*skip)[j])) continue;
                x_.gradient(j, block_g_);
                for (std::size_t k = 0; k < width_; ++k)
                    abs_grad_[j * width_ + k] = std::abs(block_g_[k]);
            }
        } else {
            x_.abs_gradients(in_.include, skip, abs_grad_);
        }
    }

    // The magnitudes of group g's gradients (its variables' K each) into buf_a_.
    std::span<const double> magnitudes(std::size_t g) {
        const auto members = groups_.of(g);
        std::size_t at = 0;
        for (const std::size_t j : members)
            for (std::size_t k = 0; k < width_; ++k) buf_a_[at++] = abs_grad_[j * width_ + k];
        return std::span<const double>(buf_a_).first(at);
    }

    // L_g = the largest over the predictors of the sums of the group's
    // curvatures, for every group (flagged strong ones when `only` is given).
    void form_bounds(const Flags* only) {
        for (std::size_t g = 0; g < groups_.count(); ++g) {
            if (only && !(*only)[g]) continue;
            double L = 0.0;
            for (std::size_t k = 0; k < width_; ++k) {
                double sum = 0.0;
                for (const std::size_t j : groups_.of(g)) sum += curv_[j * width_ + k];
                L = nan_max(L, sum);
            }
            bound_[g] = L;
            double largest = 0.0;  // the largest curvature: at most the Gram's largest eigenvalue
            for (const std::size_t j : groups_.of(g))
                for (std::size_t k = 0; k < width_; ++k) largest = nan_max(largest, curv_[j * width_ + k]);
            step_[g] = std::min(std::max(step_[g], largest), L);
        }
    }

    void begin_at(const WarmStart& start) {
        require(start.coef.size() == coef_.size() && start.intercepts.size() == width_,
                "a start of the wrong length");
        for (std::size_t g = 0; g < groups_.count(); ++g) {
            bool zero = true;
            for (const std::size_t j : groups_.of(g))
                for (std::size_t k = 0; k < width_; ++k) zero = zero && start.coef[j * width_ + k] == 0.0;
            if (zero) continue;
            require(enter_group(g), "the start has more non-zero variables than pmax allows");
            join(g);
        }
        if constexpr (requires { x_.strong_set_grew(strong_); }) x_.strong_set_grew(strong_);
        if constexpr (F::reweights) {
            for (const std::size_t j : active_)
                for (std::size_t k = j * width_; k < (j + 1) * width_; ++k) coef_[k] = start.coef[k];
            if (fit_intercept_) std::ranges::copy(start.intercepts, values(intercept_).begin());
            refit();
            if constexpr (GuardedFamily<F>) {
                if (!fam_.inside())
                    throw InputError("the start (start_a0, start_beta) gives means outside the "
                                     "family's domain");
            }
        } else {
            for (const std::size_t j : active_) {
                if constexpr (F::block) {
                    x_.gradient(j, block_g_);
                    Vec d(width_);
                    for (std::size_t k = 0; k < width_; ++k) {
                        d[k] = start.coef[j * width_ + k];
                        coef_[j * width_ + k] = d[k];
                    }
                    fam_.on_step(block_g_, std::span<const double>(curv_).subspan(j * width_, width_),
                                 std::span<const double>(coef_).subspan(j * width_, width_), d);
                    x_.defer(j, d);
                } else {
                    const double g = x_.gradient(j), d = start.coef[j];
                    coef_[j] = d;
                    fam_.on_step(g, curv_[j], d);
                    x_.defer(j, d);
                }
            }
            x_.flush();
        }
    }

    void join(std::size_t g) {
        group_strong_[g] = 1;
        for (const std::size_t j : groups_.of(g)) strong_[j] = 1;
    }

    // Every group whose optimality condition fails at t joins the strong
    // set; a design that prepares per strong variable is told.
    bool screen(double t) {
        bool joined = false;
        for (std::size_t g = 0; g < groups_.count(); ++g) {
            if (group_strong_[g] || groups_.of(g).empty()) continue;
            if (pen_.violates(magnitudes(g), t * groups_.v[g], groups_.s[g])) {
                join(g);
                joined = true;
            }
        }
        if constexpr (requires { x_.strong_set_grew(strong_); }) {
            if (joined) x_.strong_set_grew(strong_);
        }
        return joined;
    }

    double largest_ratio() {
        double largest = 0.0;
        for (std::size_t g = 0; g < groups_.count(); ++g) {
            if (groups_.of(g).empty() || !(groups_.v[g] > 0.0)) continue;
            largest = nan_max(largest,
                              pen_.zero_threshold(magnitudes(g), groups_.s[g]) / groups_.v[g]);
        }
        return largest;
    }

    bool enter_group(std::size_t g) {
        if (group_active_[g]) return true;
        std::size_t more = 0;
        for (const std::size_t j : groups_.of(g)) more += !is_active_[j];
        if (active_.size() + more > max_active_) return false;
        group_active_[g] = 1;
        active_groups_.push_back(g);
        for (const std::size_t j : groups_.of(g)) {
            if (is_active_[j]) continue;
            is_active_[j] = 1;
            active_.push_back(j);
        }
        return true;
    }

    // One block step on group g.  The step starts from the group's current
    // curvature L (at least its largest curvature, a lower bound of the
    // Gram's largest eigenvalue) and is kept when the quadratic along the
    // move d is within it, d'Ad <= L d'd (d'Ad read off the exact change
    // of the quadratic the sequential moves make): then the step minimised
    // a majoriser along d and lowered the objective.  Otherwise the moves
    // are undone and L grows (to the curvature seen, at least doubled),
    // up to the trace bound, where every step is kept.
    UpdateResult update_group(std::size_t g, bool may_enter, double l1, double l2) {
        const auto members = groups_.of(g);
        const std::size_t m = members.size(), nk = width_, size = m * nk;
        rules_.interrupt.tick(step_work_ * m);
        const double v = groups_.v[g], top = bound_[g];
        if (flat_coordinate(top, v, l2)) return UpdateResult::Done;
        double L = step_[g] > 0.0 && step_[g] < top ? step_[g] : top;
        const std::span<double> grad(buf_g_.data(), size), old(buf_o_.data(), size);
        const std::span<double> lu(buf_b_.data(), size), next(buf_c_.data(), size);
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t j = members[i];
            if constexpr (F::block) {
                x_.gradient(j, block_g_);
                for (std::size_t k = 0; k < nk; ++k) grad[i * nk + k] = block_g_[k];
            } else {
                grad[i] = x_.gradient(j);
            }
            for (std::size_t k = 0; k < nk; ++k) old[i * nk + k] = coef_[j * nk + k];
        }
        for (;;) {
            for (std::size_t e = 0; e < size; ++e) lu[e] = grad[e] + L * old[e];
            pen_.step(lu, L, v, l1, l2, groups_.s[g], next);
            bool moved = false;
            for (std::size_t e = 0; e < size; ++e) moved = moved || next[e] != old[e];
            if (!moved) return UpdateResult::Done;
            if (may_enter && !enter_group(g)) return UpdateResult::ActiveFull;
            double q = 0.0, gd = 0.0, dd = 0.0, change = 0.0;
            move(members, next, L, q, change);
            for (std::size_t e = 0; e < size; ++e) {
                const double d = next[e] - old[e];
                gd += grad[e] * d;
                dd += d * d;
            }
            const double dad = 2.0 * (q + gd);  // d'Ad, the quadratic along the move
            if (L >= top || dad <= L * dd * (1.0 + 1e-12) || !(dad == dad)) {
                step_[g] = L;
                max_change_ = nan_max(max_change_, change);
                if constexpr (GuardedFamily<F>)
                    model_change_ += q + v * (pen_.value(next, l1, l2, groups_.s[g]) -
                                              pen_.value(old, l1, l2, groups_.s[g]));
                return UpdateResult::Done;
            }
            double unused_q = 0.0, unused_change = 0.0;
            move(members, old, L, unused_q, unused_change);  // back where the step started
            L = std::min(top, std::max(2.0 * L, dad / dd));
        }
    }

    // Moves the group's variables to `to`, one variable at a time, each with
    // its gradient then: the family's bookkeeping, the residual, and the
    // exact change q of the quadratic; `change` the largest move weighed by
    // L (a majorised step is shorter than the coordinate's own, so its
    // change is measured as the gradient map measures it).
    void move(std::span<const std::size_t> members, std::span<const double> to, double L,
              double& q, double& change) {
        const std::size_t nk = width_;
        for (std::size_t i = 0; i < members.size(); ++i) {
            const std::size_t j = members[i];
            if constexpr (F::block) {
                double* b = coef_.data() + j * nk;
                const double* c = curv_.data() + j * nk;
                bool any = false;
                for (std::size_t k = 0; k < nk; ++k) any = any || to[i * nk + k] != b[k];
                if (!any) continue;
                x_.gradient(j, block_g_);
                for (std::size_t k = 0; k < nk; ++k) {
                    const double d = to[i * nk + k] - b[k];
                    q += d * (0.5 * c[k] * d - block_g_[k]);
                    block_g_[k] += c[k] * b[k];  // u = g + c b_old
                    b[k] = to[i * nk + k];
                    block_d_[k] = d;
                    change = nan_max(change, step_change<policy.rounding>(L, d));
                }
                fam_.on_step(block_g_, std::span<const double>(c, nk),
                             std::span<const double>(b, nk), block_d_);
                x_.defer(j, block_d_);
            } else {
                const double d = to[i] - coef_[j];
                if (d == 0.0) continue;
                const double c = curv_[j];
                const double gj = x_.gradient(j);
                coef_[j] = to[i];
                q += d * (0.5 * c * d - gj);
                change = nan_max(change, step_change<policy.rounding>(L, d));
                fam_.on_step(gj, c, d);
                x_.defer(j, d);
            }
        }
    }

    void intercept_step() {
        if constexpr (F::intercept_fit == InterceptFit::by_steps) {
            const auto vsum = fam_.weight_sums();
            if constexpr (F::block) {
                x_.residual_sum(block_g_);
                for (std::size_t k = 0; k < width_; ++k) {
                    const bool flat = flat_coordinate(vsum[k], 0.0, 0.0);
                    const double d = flat ? 0.0 : block_g_[k] / vsum[k];
                    if constexpr (GuardedFamily<F>) model_change_ -= 0.5 * block_g_[k] * d;
                    block_g_[k] = d;
                    if (d == 0.0) continue;
                    max_change_ = nan_max(max_change_, vsum[k] * d * d);
                    intercept_[k] += d;
                }
                x_.subtract_weights(block_g_);
            } else {
                const double rsum = x_.residual_sum();
                if (flat_coordinate(vsum[0], 0.0, 0.0)) return;
                const double d = rsum / vsum[0];
                if (d == 0.0) return;
                if constexpr (GuardedFamily<F>) model_change_ -= 0.5 * rsum * d;
                max_change_ = nan_max(max_change_, vsum[0] * d * d);
                intercept_ += d;
                x_.subtract_weights(d);
            }
        }
    }

    bool end_pass() {
        x_.flush();
        if (fit_intercept_) intercept_step();
        rules_.interrupt.poll();
        return max_change_ < conv_thresh(rules_.thresh, fam_.null_scale());
    }

    bool active_passes(double l1, double l2) {
        for (;;) {
            ++npasses_;
            max_change_ = 0.0;
            for (std::size_t i = 0; i < active_groups_.size(); ++i)
                update_group(active_groups_[i], false, l1, l2);
            if (end_pass()) return true;
            if (npasses_ > rules_.maxit) return false;
        }
    }

    std::optional<Kind> passes(double l1, double l2) {
        for (;;) {
            if (policy.schedule.limit_before_full_pass && npasses_ > rules_.maxit)
                return Kind::MaxIterReached;
            ++npasses_;
            max_change_ = 0.0;
            for (std::size_t g = 0; g < groups_.count(); ++g) {
                if (group_strong_[g] && update_group(g, true, l1, l2) == UpdateResult::ActiveFull)
                    return Kind::MaxActiveReached;
            }
            if (end_pass()) return std::nullopt;
            if (npasses_ > rules_.maxit) return Kind::MaxIterReached;
            active_loop_ = true;
            if (!active_passes(l1, l2)) return Kind::MaxIterReached;
        }
    }

    void begin_iteration(double l1, double l2) {
        intercept_prev_ = intercept_;
        for (const std::size_t j : active_)
            for (std::size_t k = j * width_; k < (j + 1) * width_; ++k) coef_prev_[k] = coef_[k];
        x_.curvatures(strong_, curv_);
        form_bounds(&group_strong_);
        if constexpr (GuardedFamily<F>) {
            objective_before_ = objective(l1, l2);
            model_change_ = 0.0;
        }
    }

    double objective(double l1, double l2) {
        double pen = 0.0;
        for (const std::size_t g : active_groups_) {
            const auto members = groups_.of(g);
            std::size_t at = 0;
            for (const std::size_t j : members)
                for (std::size_t k = 0; k < width_; ++k) buf_a_[at++] = coef_[j * width_ + k];
            pen += groups_.v[g] * pen_.value(std::span<const double>(buf_a_).first(at), l1, l2,
                                             groups_.s[g]);
        }
        return fam_.loss() + pen;
    }

    bool refit_step(double l1, double l2) {
        if constexpr (!GuardedFamily<F>) {
            return refit();
        } else {
            double t = 1.0;
            for (int halvings = 0;; ++halvings, t *= 0.5) {
                const bool saturated = refit();
                if (fam_.inside() &&
                    (objective(l1, l2) - objective_before_ <= 0.5 * t * model_change_ ||
                     converged()))
                    return saturated;
                const bool back = halvings == max_halvings;
                for (const std::size_t j : active_)
                    for (std::size_t k = j * width_; k < (j + 1) * width_; ++k)
                        coef_[k] = back ? coef_prev_[k] : 0.5 * (coef_prev_[k] + coef_[k]);
                if (fit_intercept_) {
                    const auto b0 = values(intercept_);
                    const auto b0_prev = values(std::as_const(intercept_prev_));
                    for (std::size_t k = 0; k < b0.size(); ++k)
                        b0[k] = back ? b0_prev[k] : 0.5 * (b0_prev[k] + b0[k]);
                }
                if (back) return refit();
            }
        }
    }

    bool refit() {
        if constexpr (F::shift_invariant) {
            shift_blocks();
            if (fit_intercept_) subtract_mean(intercept_.data(), width_);
        }
        if constexpr (RefitsThroughSource<D>) {
            return x_.refit(coef_, active_, values(std::as_const(intercept_)));
        } else {
            x_.linear_predictor(coef_, active_, intercept_, eta_);
            const auto offset = fam_.offset();
            if (!offset.empty())
                for (std::size_t i = 0; i < eta_.size(); ++i) eta_[i] += offset[i];
            x_.begin_refit();
            const bool saturated = fam_.working(eta_, x_.weights(), x_.residual());
            x_.end_refit();
            rules_.interrupt.tick(eta_.size() * (active_.size() + 4));
            return saturated;
        }
    }

    // Before each refit of a shift-invariant family, every active variable
    // takes the common shift of its K coefficients that its group's penalty
    // prefers where that is known in closed form: minus their mean for an
    // unpenalized group and for tau = 0 (the group norm and the ridge term
    // are both least there, variable by variable), the elastic net's shift
    // for tau = 1 (solver/penalty.hpp); for 0 < tau < 1 the block steps find
    // it.  The loss sees no shift, so each is a free descent step.
    void shift_blocks() {
        for (const std::size_t g : active_groups_) {
            const bool mean = !(groups_.v[g] > 0.0) || pen_.tau <= 0.0;
            if (!mean && pen_.tau < 1.0) continue;
            for (const std::size_t j : groups_.of(g)) {
                const std::span<double> b(coef_.data() + j * width_, width_);
                if (mean) {
                    subtract_mean(b.data(), width_);
                } else {
                    const double c = ElasticNetPenalty::shift(b, rules_.alpha, -HUGE_VAL, HUGE_VAL);
                    if (c != 0.0)
                        for (double& x : b) x += c;
                }
            }
        }
    }

    bool converged() const {
        const double t = conv_thresh(rules_.thresh, fam_.null_scale());
        const auto b0 = values(intercept_), b0_prev = values(intercept_prev_);
        const auto vsum = fam_.weight_sums();
        for (std::size_t k = 0; k < width_; ++k) {
            const double di = b0[k] - b0_prev[k];
            if (!(vsum[k] * (di * di) <= t)) return false;
        }
        for (const std::size_t j : active_) {
            for (std::size_t k = j * width_; k < (j + 1) * width_; ++k) {
                const double d = coef_[k] - coef_prev_[k];
                if (!(curv_[k] * (d * d) <= t)) return false;
            }
        }
        return true;
    }

    std::variant<PenaltyEnd, Kind> solve(double l1, double l2) {
        for (;;) {
            if constexpr (F::reweights) begin_iteration(l1, l2);
            if (auto stop = passes(l1, l2)) return *stop;
            bool check = true;
            if constexpr (F::reweights) {
                if (refit_step(l1, l2)) return PenaltyEnd::Saturated;
                check = converged();
            }
            if (check) {
                // optimality of the groups outside the strong set
                refresh_abs_gradients(&strong_);
                if (!screen(l1)) return PenaltyEnd::Solved;
            }
            if (npasses_ > rules_.maxit) return Kind::MaxIterReached;
        }
    }

    bool early_stop(std::uint64_t m, double dev, PenaltyEnd end, const SolutionStore& store,
                    std::uint64_t min_lambdas) const {
        return end == PenaltyEnd::Saturated ||
               count_nonzero(active_, coef_, width_) > rules_.dfmax ||
               dev > rules_.max_dev_ratio ||
               little_progress(policy, m, dev, store, rules_.min_dev_change, min_lambdas);
    }

    F& fam_;
    D& x_;
    Coordinates in_;
    const GroupTable& groups_;
    P pen_;
    const PathRules& rules_;
    std::size_t nvars_;
    std::size_t width_;  // coefficients per variable: K for a block family, else 1
    Vec coef_;
    Vec coef_prev_;
    Vec curv_;
    Vec abs_grad_;
    Flags strong_;  // per variable: its group is strong
    Flags is_active_;
    Flags group_strong_;
    Flags group_active_;
    Vec bound_;  // the trace bound of each group
    Vec step_;   // the curvature each group's steps take, between its largest curvature and the bound
    std::vector<std::size_t> active_;        // variables, in the order they entered
    std::vector<std::size_t> active_groups_;
    std::size_t max_active_;
    Intercept intercept_{};
    Intercept intercept_prev_{};
    Vec eta_;
    Vec buf_a_, buf_b_, buf_c_, buf_g_, buf_o_;
    Vec block_g_, block_d_;
    bool fit_intercept_;
    std::size_t step_work_;
    std::uint64_t npasses_ = 0;
    double max_change_ = 0.0;
    double lambda_ = std::numeric_limits<double>::quiet_NaN();
    bool active_loop_ = false;
    double lambda_max_ = std::numeric_limits<double>::quiet_NaN();
    double objective_before_ = 0.0;
    double model_change_ = 0.0;
    static constexpr int max_halvings = 50;
};

// run_path (solver/path.hpp) under the group penalty P of `groups`.
template <class F, class D, class P>
PathResult run_group_path(F& family, D& design, PenaltySequence& seq, const PathRules& rules,
                          const PathSetup& s, const GroupTable& groups, P penalty) {
    const std::size_t nvars = s.coords.include.size();
    GroupEngine<F, D, P> engine(family, design, s.coords, groups, penalty, rules, s.curvatures,
                             s.intercept, s.start);
    SolutionStore store(seq.size(), engine.width());
    const PathEnd end = engine.walk(seq, store, solution_reporter(engine, seq, rules, s));
    return assembled<F>(engine, store, end, seq, s, nvars);
}

}  // namespace varnel_core
