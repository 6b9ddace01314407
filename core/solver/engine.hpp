// The coordinate-descent engine: one pass structure, one optimality check,
// one reweighting loop and one path walk for every family, design and
// penalty.  The penalty brings its units (solver/penalty.hpp): what one step
// moves (a coordinate, a variable's block, a group of variables), the step
// itself, the magnitudes screening, the optimality check and lambda_max
// read, and its value; the engine below is written for the elastic net's
// unit, one variable, and runs every other unit the same way.
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
// gradient g_j = <z_j, r> from the design, curvature c_j fixed (given, or
// formed once by the design) or recomputed per reweighting iteration.
//
// Screening: a penalty value starts with the sequential strong rule; full
// passes visit the strong set, active passes the variables that ever moved.
// A pass has converged when its largest weighted squared change (rounded
// as the loss's kind says) is below the threshold, thresh times the loss's
// null scale; the variables outside
// the strong set are then checked against the optimality condition
// |g_j| <= l1 v_j (a design may prove it for a variable by a bound instead
// of forming g_j: data/gradient_bounds.hpp), and violators join the
// strong set.
//
// A reweighting family's outer iteration: coordinate descent on the
// quadratic, then the family's working weights and residuals at the new
// linear predictor eta = offset + b0 + Z b; converged when every weighted
// squared move of the intercepts and of the active coefficients is at most
// the threshold.
//
// A guarded family's outer iteration (GuardedFamily: a non-canonical link,
// a mean with a bounded domain, working curvatures that need not bound the
// loss) may overshoot, so its step is checked.  The coordinate steps add up
// the change D <= 0 of the penalized quadratic they minimise; while the new
// iterate's means leave the family's domain, or its penalized objective
// F = loss + sum_j v_j P(b_j) (P the penalty's value of the variable's
// coefficients, solver/penalty.hpp) falls by less than half of what the
// quadratic promised (F_new - F_start > t D / 2 for the step scaled by t; a
// rise always fails), the step (coefficients and intercepts) is halved back
// toward where the iteration started.  The half-of-D rule also stops the
// two-cycle of a step that overshoots the minimum by twice its distance,
// which a bare "no rise" rule would accept.  A step small enough to count
// as converged is taken as it is (its change of the objective is rounding);
// after max_halvings halvings the step is dropped.
//
// A block family has K coefficients b_j. per variable and K intercepts,
// with curvatures c_jk per predictor.  A step moves the whole block b_j.
// by the penalty's block step (solver/penalty.hpp); screening and the
// optimality check use the penalty's magnitude of g_j.  When the family's
// loss sees only differences between the K predictors (shift_invariant),
// every active block takes the common shift that minimises its penalty
// before each refit, and the intercepts are centred.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "base/numeric.hpp"
#include "solver/parts.hpp"
#include "solver/penalty.hpp"
#include "solver/policy.hpp"
#include "solver/sequence.hpp"
#include "solver/store.hpp"
#include "losses/family.hpp"

namespace varnel_core {

// A family runs on a design of its width, with working weights when it
// reweights.
template <class F, class D>
concept EngineParts =
    (!F::block && (F::reweights ? ScalarWorkingDesign<D> : ScalarDesign<D>)) ||
    (F::block && (F::reweights ? BlockWorkingDesign<D> : BlockDesign<D>));

// The intercepts a family fits by steps need the sums of its weights.
template <class F>
concept InterceptParts = F::intercept_fit != InterceptFit::by_steps ||
                         requires(const F& f) {
                             { f.weight_sums() } -> std::convertible_to<std::span<const double>>;
                         };

// One path: the solver state (coefficients, screening sets, pass counter,
// the linear predictor of a reweighting family) and the algorithm over
// family F, design D and the units U of a penalty (solver/penalty.hpp),
// which read and move this state.  `curvatures` are the fixed curvatures
// of a family that does not reweight, or empty for the design to form them
// (once, or per outer iteration when the family reweights).  The engine
// starts at the family's null model or at `start`.
template <Family F, class D, class U = VariableUnits<ElasticNetPenalty>>
    requires EngineParts<F, D> && InterceptParts<F>
class Engine {
    friend U;  // the units' steps, screening and checks read and move the state below

public:
    using Intercept = std::conditional_t<F::block, Vec, double>;
    // walk's default observer: every solution lets the path go on.
    struct GoOn {
        bool operator()(std::uint64_t, double) const { return true; }
    };

    Engine(F& family, D& design, Coordinates coords, const PathRules& rules,
           std::span<const double> curvatures, bool fit_intercept,
           const WarmStart* start = nullptr, U units = U{})
        : fam_(family), x_(design), in_(coords), rules_(rules), units_(std::move(units)),
          nvars_(coords.include.size()), width_(family.width()),
          coef_(checked_size(nvars_, width_), 0.0), coef_prev_(coef_.size(), 0.0),
          curv_(curvatures.begin(), curvatures.end()), strong_(nvars_, 0), is_active_(nvars_, 0),
          max_active_(static_cast<std::size_t>(std::min<std::uint64_t>(nvars_, rules.pmax))),
          fit_intercept_(fit_intercept && F::intercept_fit == InterceptFit::by_steps),
          step_work_(design.step_work()) {
        curv_.resize(checked_size(nvars_, width_), 0.0);
        active_.reserve(max_active_);
        if constexpr (F::block) {
            require(design.width() == width_, "a design of the family's width");
            block_g_.resize(width_);
            block_b_.resize(width_);
            intercept_.assign(width_, 0.0);
        }
        if constexpr (F::reweights && RefitsThroughSource<D>) {
            set_intercepts(x_.null_model());
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
        units_.begin(*this);
        intercept_prev_ = intercept_;
        units_.gradients(*this, nullptr);
        const std::size_t per = nvars_ ? abs_grad_.size() / nvars_ : 0;  // magnitudes per variable
        for (std::size_t j = 0; j < nvars_; ++j)
            for (std::size_t k = j * per; k < (j + 1) * per; ++k)
                if (in_.include[j] && !std::isfinite(abs_grad_[k]))
                    data_overflow("the gradient of variable " + std::to_string(j) +
                                      " at the null model",
                                  "x or y");
        if (start) {
            begin_at(*start);
            units_.gradients(*this, nullptr);
        }
    }

    // Walks the penalty sequence with warm starts and stores every solution;
    // penalty value m < starts.size() starts from starts[m] instead of the
    // previous solution (restart_at).  solved(m, dev_ratio) is told of each
    // stored solution; false ends the walk after it (the solutions so far
    // kept, a Stopped warning unless it was the last).
    template <class Solved = GoOn>
    PathEnd walk(PenaltySequence& seq, SolutionStore& store,
                 std::span<const WarmStart> starts = {}, Solved&& solved = {}) {
        for (std::uint64_t m = 0; m < seq.size(); ++m) {
            const double lambda = seq.advance(m, [&] { return largest_ratio(); });
            lambda_ = lambda;
            const double l1 = rules_.alpha * lambda;
            const double l2 = (1.0 - rules_.alpha) * lambda;
            const bool restarted = m < starts.size() && restart_at(starts[m], l1, l2);
            screen(seq.strong_threshold(lambda));
            if (policy.schedule.limit_at_lambda_start && npasses_ > rules_.maxit)
                return {m, PathWarning{Kind::MaxIterReached, m}};
            if (policy.schedule.resume_active && active_loop_ && !restarted &&
                !active_passes(l1, l2))
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
    // lambda_max / max(alpha, 0.001) at the first solution of a generated
    // sequence, on the standardized scale; NaN otherwise.
    double lambda_max() const { return lambda_max_; }
    std::size_t width() const { return width_; }
    // The current iterate: the coefficients (variable j's at j * K), the
    // intercepts as a solution stores them, and the penalty value last taken.
    std::span<const double> coefficients() const { return coef_; }
    Vec stored_intercepts() const {
        if constexpr (F::block) return intercept_;
        else return Vec{fam_.stored_intercept(intercept_)};
    }
    double lambda() const { return lambda_; }

private:
    using Kind = PathWarning::Kind;
    using Fam = F;
    static constexpr const PathPolicy& policy = policy_of<F>;
    enum class PenaltyEnd { Solved, Saturated };

    void set_intercepts(const Vec& b0) {
        require(b0.size() == width_, "one intercept per linear predictor");
        std::ranges::copy(b0, values(intercept_).begin());
    }

    // The intercept(s) as width_ values.
    static std::span<double> values(double& b0) { return {&b0, 1}; }
    static std::span<double> values(Vec& b0) { return b0; }
    static std::span<const double> values(const double& b0) { return {&b0, 1}; }
    static std::span<const double> values(const Vec& b0) { return b0; }

    // Moves to the start: the units of its non-zero variables enter the
    // strong set and the active list; a reweighting family takes its
    // working weights at the start's linear predictor, a fixed-weight one
    // walks there by coordinate moves (so that its bookkeeping follows).
    void begin_at(const WarmStart& start) {
        require(start.coef.size() == coef_.size() && start.intercepts.size() == width_,
                "a start of the wrong length");
        require(units_.enter(*this, start),
                "the start has more non-zero variables than pmax allows");
        move_to(start);
        if constexpr (GuardedFamily<F>) {
            if (!fam_.inside())
                throw InputError("the start (start_a0, start_beta) gives means outside the "
                                 "family's domain");
        }
    }

    // Moves the iterate of the path to `start` before the penalty value of
    // weights l1, l2 is solved, as begin_at does, keeping the gradients of
    // the last optimality check for the screening.  It stays where it is
    // (false) when the start has more non-zero variables than pmax allows,
    // and a reweighting family goes back (false) when its penalized
    // objective at the start is not below the one where it was, or its
    // means leave the family's domain there.
    bool restart_at(const WarmStart& start, double l1, double l2) {
        require(start.coef.size() == coef_.size() && start.intercepts.size() == width_,
                "a start of the wrong length");
        const std::size_t before = active_.size();
        if (!units_.enter(*this, start)) return false;
        [[maybe_unused]] double where = 0.0;
        if constexpr (F::reweights) {  // (the entered coefficients are still 0)
            std::ranges::copy(values(intercept_), values(intercept_prev_).begin());
            for (const std::size_t j : active_)
                for (std::size_t k = j * width_; k < (j + 1) * width_; ++k) coef_prev_[k] = coef_[k];
            where = objective(l1, l2);
        }
        move_to(start);
        if constexpr (F::reweights) {
            if (!fam_.inside() || !(objective(l1, l2) < where)) {  // back to where it was
                for (std::size_t i = 0; i < active_.size(); ++i)
                    for (std::size_t k = active_[i] * width_; k < (active_[i] + 1) * width_; ++k)
                        coef_[k] = i < before ? coef_prev_[k] : 0.0;
                std::ranges::copy(values(intercept_prev_), values(intercept_).begin());
                refit();
                return false;
            }
        }
        return true;
    }

    // Whether variable j is included and has a non-zero coefficient in `start`.
    bool starts_variable(const WarmStart& start, std::size_t j) const {
        const auto b = start.coef.subspan(j * width_, width_);
        return in_.include[j] && std::any_of(b.begin(), b.end(), [](double v) { return v != 0.0; });
    }

    // The active variables' coefficients (and a reweighting family's
    // intercepts) to the start's, once its variables are active: the
    // strong set takes them, a reweighting family refits at the new linear
    // predictor, a fixed-weight one moves each coordinate by its difference.
    void move_to(const WarmStart& start) {
        for (const std::size_t j : active_) strong_[j] = 1;
        if constexpr (requires { x_.strong_set_grew(strong_); }) x_.strong_set_grew(strong_);
        if constexpr (F::reweights) {
            for (const std::size_t j : active_)
                for (std::size_t k = j * width_; k < (j + 1) * width_; ++k)
                    coef_[k] = in_.include[j] ? start.coef[k] : 0.0;
            if (fit_intercept_) std::ranges::copy(start.intercepts, values(intercept_).begin());
            refit();
        } else {
            for (const std::size_t j : active_) {
                if constexpr (F::block) {
                    // the step's u_k = g_jk + c_jk b_jk at the old b (update_block)
                    x_.gradient(j, block_g_);
                    for (std::size_t k = 0; k < width_; ++k) {
                        const std::size_t e = j * width_ + k;
                        block_g_[k] = block_g_[k] + coef_[e] * curv_[e];
                        block_b_[k] = start.coef[e] - coef_[e];
                        coef_[e] = start.coef[e];
                    }
                    const std::span<const double> b(coef_.data() + j * width_, width_);
                    fam_.on_step(block_g_, std::span<const double>(curv_).subspan(j * width_, width_),
                                 b, block_b_);
                    x_.defer(j, block_b_);
                } else {
                    const double d = start.coef[j] - coef_[j];
                    if (d == 0.0) continue;
                    const double g = x_.gradient(j);
                    coef_[j] = start.coef[j];
                    fam_.on_step(g, curv_[j], d);
                    x_.defer(j, d);
                }
            }
            x_.flush();
        }
    }

    // Every unit whose optimality condition fails at t joins the strong set
    // (the penalty's screen); a design that prepares per strong variable is
    // told.  True when any joined.
    bool screen(double t) {
        const bool joined = units_.screen(*this, t);
        if constexpr (requires { x_.strong_set_grew(strong_); }) {
            if (joined) x_.strong_set_grew(strong_);
        }
        return joined;
    }

    double largest_ratio() { return units_.lambda_max(*this); }

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
    // (per predictor for a block family).  A predictor with no working weight
    // left (a saturated fit) is flat and keeps its intercept.
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

    // Ends a pass; true when it converged.
    bool end_pass() {
        x_.flush();
        if (fit_intercept_) intercept_step();
        rules_.interrupt.poll();
        return max_change_ < conv_thresh(rules_.thresh, fam_.null_scale());
    }

    // Passes over the active list until they converge; false when the pass
    // limit was exceeded first.
    bool active_passes(double l1, double l2) {
        for (;;) {
            ++npasses_;
            max_change_ = 0.0;
            const auto units = units_.active(*this);
            for (std::size_t i = 0; i < units.size(); ++i) units_.step(*this, units[i], false, l1, l2);
            if (end_pass()) return true;
            if (npasses_ > rules_.maxit) return false;
        }
    }

    // Coordinate descent on the current quadratic: a full pass over the
    // strong set, then active passes until they converge, repeated until a
    // full pass converges.
    std::optional<Kind> passes(double l1, double l2) {
        for (;;) {
            if (policy.schedule.limit_before_full_pass && npasses_ > rules_.maxit)
                return Kind::MaxIterReached;
            ++npasses_;
            max_change_ = 0.0;
            for (std::size_t u = 0; u < units_.count(*this); ++u) {
                if (units_.strong(*this, u) &&
                    units_.step(*this, u, true, l1, l2) == StepResult::ActiveFull)
                    return Kind::MaxActiveReached;
            }
            if (end_pass()) return std::nullopt;
            if (npasses_ > rules_.maxit) return Kind::MaxIterReached;
            active_loop_ = true;
            if (!active_passes(l1, l2)) return Kind::MaxIterReached;
        }
    }

    // Saves the iterate and recomputes the curvatures of the strong set from
    // the current working weights (a guarded family: and its objective).
    void begin_iteration(double l1, double l2) {
        std::ranges::copy(values(intercept_), values(intercept_prev_).begin());
        for (const std::size_t j : active_)
            for (std::size_t k = j * width_; k < (j + 1) * width_; ++k) coef_prev_[k] = coef_[k];
        x_.curvatures(strong_, curv_);
        units_.curvatures_changed(*this);
        if constexpr (GuardedFamily<F>) {
            objective_before_ = objective(l1, l2);
            model_change_ = 0.0;
        }
    }

    // The loss at the last refit plus the penalty of the coefficients.
    double objective(double l1, double l2) {
        return fam_.loss() + units_.penalty(*this, l1, l2);
    }

    // Refits after the passes; a guarded family's step is halved as the
    // header says.  True when the weights vanished.
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
                const bool back = halvings == max_halvings;  // to where the iteration started
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

    // New working weights and residuals at eta = offset + b0 + Z b; true
    // when the weights vanished (a saturated fit).
    bool refit() {
        if constexpr (F::shift_invariant) {
            units_.shift(*this);
            if (fit_intercept_) subtract_mean(intercept_.data(), width_);
        }
        if constexpr (RefitsThroughSource<D>) {
            return x_.refit(coef_, active_, values(std::as_const(intercept_)));
        } else {
            return refit_rows();
        }
    }

    // refit() on a design that holds the rows.
    bool refit_rows() {
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

    // The reweighting iteration converged when every weighted squared move of
    // the intercept and of the active coefficients is at most the threshold
    // (a NaN move does not count as converged).
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

    // Solves one penalty value from the current warm start; for a family
    // that reweights, each outer iteration is one quadratic approximation.
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
                // optimality of the units outside the strong set
                units_.check(*this, l1);
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
    const PathRules& rules_;
    U units_;
    std::size_t nvars_;
    std::size_t width_;  // coefficients per variable: K for a block family, else 1
    Vec coef_;           // variable j's at j * width_
    Vec coef_prev_;
    Vec curv_;
    Vec abs_grad_;  // the gradients' magnitudes, as the units read them
    Flags strong_;
    Flags is_active_;
    std::vector<std::size_t> active_;
    std::size_t max_active_;
    Intercept intercept_{};
    Intercept intercept_prev_{};
    Vec eta_;      // n x K linear predictor of a reweighting family
    Vec block_g_;  // K-vectors of a block step: gradients, then new values and moves
    Vec block_b_;
    bool fit_intercept_;
    std::size_t step_work_;
    std::uint64_t npasses_ = 0;
    double max_change_ = 0.0;
    double lambda_ = std::numeric_limits<double>::quiet_NaN();
    bool active_loop_ = false;
    double lambda_max_ = std::numeric_limits<double>::quiet_NaN();
    double objective_before_ = 0.0;  // a guarded family's, where its iteration started
    double model_change_ = 0.0;      // and the change its quadratic promised
    static constexpr int max_halvings = 50;
};

}  // namespace varnel_core
