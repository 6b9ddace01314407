// The coordinate-descent engine of the sparse-group penalty
// (solver/group_penalty.hpp) for a family of one linear predictor: block
// coordinate descent over groups of variables on the design's gradients,
// with the pass structure, reweighting loop, guard and path walk of the
// elastic-net engine (solver/engine.hpp).
//
// For each penalty value lambda it minimises over the standardized
// coefficients b (and an intercept)
//
//   Q(b0, b) + lambda * sum_g v_g [ alpha ( tau ||b_g||_1
//                                           + (1 - tau) s_g ||b_g||_2 )
//                                   + (1 - alpha)/2 ||b_g||^2 ]
//
// A group's step reads the gradients g_j = <z_j, r> of its variables,
// takes u = b_g + g / L_g with L_g the trace bound of the group's weighted
// Gram (the sum of its variables' curvatures, formed with the curvatures:
// once for a family of fixed weights, at every reweighting step
// otherwise), and moves b_g to the penalty's block step; the moves enter
// the residual one variable at a time, each with its gradient at that
// moment, so that the family's bookkeeping and a guarded family's model
// change are exact.
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

template <Family F, class D>
    requires(!F::block) && EngineParts<F, D> && InterceptParts<F>
class GroupEngine {
public:
    GroupEngine(F& family, D& design, Coordinates coords, const GroupTable& groups,
                SparseGroupPenalty penalty, const PathRules& rules,
                std::span<const double> curvatures, bool fit_intercept,
                const WarmStart* start = nullptr)
        : fam_(family), x_(design), in_(coords), groups_(groups), pen_(penalty), rules_(rules),
          nvars_(coords.include.size()), coef_(nvars_, 0.0), coef_prev_(nvars_, 0.0),
          curv_(curvatures.begin(), curvatures.end()), abs_grad_(nvars_, 0.0),
          strong_(nvars_, 0), is_active_(nvars_, 0), group_strong_(groups.count(), 0),
          group_active_(groups.count(), 0), bound_(groups.count(), 0.0),
          max_active_(static_cast<std::size_t>(std::min<std::uint64_t>(nvars_, rules.pmax))),
          fit_intercept_(fit_intercept && F::intercept_fit == InterceptFit::by_steps),
          step_work_(design.step_work()) {
        curv_.resize(nvars_, 0.0);
        std::size_t widest = 0;
        for (std::size_t g = 0; g < groups_.count(); ++g)
            widest = std::max(widest, groups_.of(g).size());
        buf_a_.resize(widest);
        buf_b_.resize(widest);
        buf_c_.resize(widest);
        if constexpr (F::reweights && RefitsThroughSource<D>) {
            intercept_ = x_.null_model().at(0);
        } else if constexpr (F::reweights) {
            eta_.resize(x_.rows());
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
        x_.abs_gradients(in_.include, nullptr, abs_grad_);
        for (std::size_t j = 0; j < nvars_; ++j)
            if (in_.include[j] && !std::isfinite(abs_grad_[j]))
                data_overflow("the gradient of variable " + std::to_string(j) + " at the null model",
                              "x or y");
        if (start) {
            begin_at(*start);
            x_.abs_gradients(in_.include, nullptr, abs_grad_);
        }
    }

    PathEnd walk(PenaltySequence& seq, SolutionStore& store) {
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
            store.store(m, active_, coef_, fam_.stored_intercept(intercept_), lambda, dev);
            if (m == 0 && seq.generated()) lambda_max_ = seq.start(largest_ratio());
            if (seq.early_stop_applies(m) &&
                early_stop(m, dev, std::get<PenaltyEnd>(end), store, seq.min_lambdas()))
                return {m + 1, std::nullopt};
        }
        return {seq.size(), std::nullopt};
    }

    std::span<const std::size_t> active() const { return active_; }
    std::uint64_t npasses() const { return npasses_; }
    double lambda_max() const { return lambda_max_; }
    std::size_t width() const { return 1; }
    std::span<const double> coefficients() const { return coef_; }
    Vec stored_intercepts() const { return Vec{fam_.stored_intercept(intercept_)}; }
    double lambda() const { return lambda_; }

private:
    using Kind = PathWarning::Kind;
    static constexpr const PathPolicy& policy = policy_of<F>;
    enum class UpdateResult { Done, ActiveFull };
    enum class PenaltyEnd { Solved, Saturated };

    // The magnitudes of group g's gradients into buf_a_.
    std::span<const double> magnitudes(std::size_t g) {
        const auto members = groups_.of(g);
        for (std::size_t k = 0; k < members.size(); ++k) buf_a_[k] = abs_grad_[members[k]];
        return std::span<const double>(buf_a_).first(members.size());
    }

    // L_g = sum of the group's curvatures, for every group (flagged strong
    // ones when `only` is given).
    void form_bounds(const Flags* only) {
        for (std::size_t g = 0; g < groups_.count(); ++g) {
            if (only && !(*only)[g]) continue;
            double L = 0.0;
            for (const std::size_t j : groups_.of(g)) L += curv_[j];
            bound_[g] = L;
        }
    }

    void begin_at(const WarmStart& start) {
        require(start.coef.size() == nvars_ && start.intercepts.size() == 1,
                "a start of the wrong length");
        for (std::size_t g = 0; g < groups_.count(); ++g) {
            const auto members = groups_.of(g);
            if (std::all_of(members.begin(), members.end(),
                            [&](std::size_t j) { return start.coef[j] == 0.0; }))
                continue;
            require(enter_group(g), "the start has more non-zero variables than pmax allows");
            join(g);
        }
        if constexpr (requires { x_.strong_set_grew(strong_); }) x_.strong_set_grew(strong_);
        if constexpr (F::reweights) {
            for (const std::size_t j : active_) coef_[j] = start.coef[j];
            if (fit_intercept_) intercept_ = start.intercepts[0];
            refit();
            if constexpr (GuardedFamily<F>) {
                if (!fam_.inside())
                    throw InputError("the start (start_a0, start_beta) gives means outside the "
                                     "family's domain");
            }
        } else {
            for (const std::size_t j : active_) {
                const double g = x_.gradient(j), d = start.coef[j];
                coef_[j] = d;
                fam_.on_step(g, curv_[j], d);
                x_.defer(j, d);
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

    UpdateResult update_group(std::size_t g, bool may_enter, double l1, double l2) {
        const auto members = groups_.of(g);
        const std::size_t m = members.size();
        rules_.interrupt.tick(step_work_ * m);
        const double v = groups_.v[g], L = bound_[g];
        if (flat_coordinate(L, v, l2)) return UpdateResult::Done;
        const std::span<double> lu(buf_b_.data(), m), next(buf_c_.data(), m);
        for (std::size_t k = 0; k < m; ++k)
            lu[k] = x_.gradient(members[k]) + L * coef_[members[k]];
        pen_.step(lu, L, v, l1, l2, groups_.s[g], next);
        bool moved = false;
        for (std::size_t k = 0; k < m; ++k) moved = moved || next[k] != coef_[members[k]];
        if (!moved) return UpdateResult::Done;
        if (may_enter && !enter_group(g)) return UpdateResult::ActiveFull;
        if constexpr (GuardedFamily<F>) {
            for (std::size_t k = 0; k < m; ++k) buf_a_[k] = coef_[members[k]];
            model_change_ += v * (pen_.value(next, l1, l2, groups_.s[g]) -
                                  pen_.value(std::span<const double>(buf_a_).first(m), l1, l2,
                                             groups_.s[g]));
        }
        for (std::size_t k = 0; k < m; ++k) {
            const std::size_t j = members[k];
            const double d = next[k] - coef_[j];
            if (d == 0.0) continue;
            const double c = curv_[j];
            const double gj = x_.gradient(j);  // after the moves before it
            coef_[j] = next[k];
            // the block's move on the scale of its step (L_g >= c_j): a
            // majorised step is shorter than the coordinate's own, so its
            // change is weighed by L_g, as the gradient map measures it
            max_change_ = nan_max(max_change_, step_change<policy.rounding>(L, d));
            fam_.on_step(gj, c, d);
            if constexpr (GuardedFamily<F>) model_change_ += d * (0.5 * c * d - gj);
            x_.defer(j, d);
        }
        return UpdateResult::Done;
    }

    void intercept_step() {
        if constexpr (F::intercept_fit == InterceptFit::by_steps) {
            const auto vsum = fam_.weight_sums();
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
        for (const std::size_t j : active_) coef_prev_[j] = coef_[j];
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
            for (std::size_t k = 0; k < members.size(); ++k) buf_a_[k] = coef_[members[k]];
            pen += groups_.v[g] * pen_.value(std::span<const double>(buf_a_).first(members.size()),
                                             l1, l2, groups_.s[g]);
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
                    coef_[j] = back ? coef_prev_[j] : 0.5 * (coef_prev_[j] + coef_[j]);
                if (fit_intercept_)
                    intercept_ = back ? intercept_prev_ : 0.5 * (intercept_prev_ + intercept_);
                if (back) return refit();
            }
        }
    }

    bool refit() {
        if constexpr (RefitsThroughSource<D>) {
            const double b0 = intercept_;
            return x_.refit(coef_, active_, std::span<const double>(&b0, 1));
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

    bool converged() const {
        const double t = conv_thresh(rules_.thresh, fam_.null_scale());
        const auto vsum = fam_.weight_sums();
        const double di = intercept_ - intercept_prev_;
        if (!(vsum[0] * (di * di) <= t)) return false;
        for (const std::size_t j : active_) {
            const double d = coef_[j] - coef_prev_[j];
            if (!(curv_[j] * (d * d) <= t)) return false;
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
                x_.abs_gradients(in_.include, &strong_, abs_grad_);
                if (!screen(l1)) return PenaltyEnd::Solved;
            }
            if (npasses_ > rules_.maxit) return Kind::MaxIterReached;
        }
    }

    bool early_stop(std::uint64_t m, double dev, PenaltyEnd end, const SolutionStore& store,
                    std::uint64_t min_lambdas) const {
        return end == PenaltyEnd::Saturated || count_nonzero(active_, coef_, 1) > rules_.dfmax ||
               dev > rules_.max_dev_ratio ||
               little_progress(policy, m, dev, store, rules_.min_dev_change, min_lambdas);
    }

    F& fam_;
    D& x_;
    Coordinates in_;
    const GroupTable& groups_;
    SparseGroupPenalty pen_;
    const PathRules& rules_;
    std::size_t nvars_;
    Vec coef_;
    Vec coef_prev_;
    Vec curv_;
    Vec abs_grad_;
    Flags strong_;  // per variable: its group is strong
    Flags is_active_;
    Flags group_strong_;
    Flags group_active_;
    Vec bound_;  // L_g
    std::vector<std::size_t> active_;        // variables, in the order they entered
    std::vector<std::size_t> active_groups_;
    std::size_t max_active_;
    double intercept_ = 0.0;
    double intercept_prev_ = 0.0;
    Vec eta_;
    Vec buf_a_, buf_b_, buf_c_;
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

// run_path (solver/path.hpp) under the sparse-group penalty of `groups`.
template <class F, class D>
PathResult run_group_path(F& family, D& design, PenaltySequence& seq, const PathRules& rules,
                          const PathSetup& s, const GroupTable& groups,
                          SparseGroupPenalty penalty) {
    const std::size_t nvars = s.coords.include.size();
    GroupEngine<F, D> engine(family, design, s.coords, groups, penalty, rules, s.curvatures,
                             s.intercept, s.start);
    SolutionStore store(seq.size(), 1);
    const PathEnd end = engine.walk(seq, store);
    const Assembly how{nvars,    s.coef_scale, s.lambda_scale, s.x_mean, s.x_scale,
                       s.intercept, policy_of<F>.intercept_form, seq.generated()};
    PathResult r = store.assemble(end.lmu, engine.active(), how);
    r.block = false;
    r.npasses = engine.npasses();
    r.warning = end.warning;
    r.lambda_max = engine.lambda_max() * s.lambda_scale;
    if (end.warning && end.warning->kind == PathWarning::Kind::MaxIterReached)
        r.iterate = store.assemble(engine.coefficients(), engine.active(),
                                   engine.stored_intercepts(), engine.lambda(), how);
    return r;
}

}  // namespace varnel_core
