// What a family is to the engine: the per-row maths of a loss around the
// linear predictor eta, never a design.
//
// Every family has K linear predictors per row (width(); K = 1 for the
// scalar families, whose coefficients and intercept are plain doubles, and
// any K for a block family) and supplies:
//   schedule, step_change(c, d)  its pass schedule and how it rounds the
//                                weighted squared change c d^2 of one step
//                                (both show in the results)
//   conv_thresh()                the convergence threshold of a pass and of
//                                an outer iteration
//   on_step(g, c, d)             bookkeeping of a coefficient change; a block
//                                family's on_step(u, c, b, d) of a block step
//                                that moved b_j. by d to b, with u = g + c (b - d)
//   deviance_ratio()             the fraction of the null deviance explained
//   little_progress(m, dev, store)  its early-stop rule on the deviance ratio
//   intercept_fit                whether the intercept comes from centring
//                                (least squares: the stored intercept is
//                                stored_intercept()), from unpenalized steps
//                                on the intercept, or does not exist (none:
//                                the loss is blind to a common shift of eta,
//                                as a partial likelihood is)
//   intercept_form               how the intercept maps back to the caller's
//                                scale (its rounding)
//   shift_invariant              the loss sees only differences between the
//                                K predictors of a row (the multinomial), so
//                                a common shift of a variable's block is free
//
// A family that reweights (reweights = true) is a working-weights family:
// a quadratic approximation of its loss at eta is what the engine
// minimises, built from
//   null_model(v, r)             the intercepts of the null model (with the
//                                offset), writing its working weights v and
//                                working residuals r
//   working(eta, v, r)           v and r of the whole vector eta (offset
//                                included; n x K, row-major), true when the
//                                weights vanished (a saturated fit).  A
//                                family may couple rows here; the row-local
//                                ones compute row i from eta_i. alone.
//   weight_sums()                sum_i v_ik per predictor, of the last call
//   offset()                     the offset eta includes (empty: none)
// A family that does not reweight has fixed curvatures, given by the
// preparation or computed once by the design from its fixed weights.
//
// A working-weights family whose reweighting step may raise its objective
// (a link other than the canonical one, a mean with a bounded domain,
// working weights that need not bound the loss: the multinomial's widened
// diagonal, the partial likelihood's diagonal) guards its steps
// (guards_steps = true) and reports on the last eta it was given:
//   loss()                       its loss per unit weight
//   inside()                     whether every mean lay inside its domain
//                                (and the loss was finite)
// The engine then halves such steps (solver/engine.hpp).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/numeric.hpp"
#include "solver/store.hpp"

namespace varnel_core {

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

enum class InterceptFit { by_centring, by_steps, none };

// The rows a family is fitted to: the response, the observation weights
// normalized to sum 1 (`total`: their sum before the normalization) and the
// offset (empty, or n x K row-major).
struct RowData {
    std::span<const double> y;
    std::span<const double> w;
    double total;
    std::span<const double> offset;
};

// A block family keeps its books of a block step (the scalar families of a
// coordinate step).
template <class F>
concept BlockSteps = !F::block || requires(F& f, std::span<const double> s) {
    f.on_step(s, s, s, s);
};

template <class F>
concept Family = BlockSteps<F> && requires(F& f, const F& cf, const SolutionStore& store) {
    { F::schedule } -> std::convertible_to<Schedule>;
    { F::block } -> std::convertible_to<bool>;
    { F::reweights } -> std::convertible_to<bool>;
    { F::shift_invariant } -> std::convertible_to<bool>;
    { F::intercept_fit } -> std::convertible_to<InterceptFit>;
    { F::intercept_form } -> std::convertible_to<InterceptForm>;
    { cf.width() } -> std::same_as<std::size_t>;
    { F::step_change(1.0, 1.0) } -> std::same_as<double>;
    { cf.conv_thresh() } -> std::same_as<double>;
    f.on_step(1.0, 1.0, 1.0);
    { cf.deviance_ratio() } -> std::same_as<double>;
    { cf.stored_intercept(0.0) } -> std::same_as<double>;
    { cf.little_progress(std::uint64_t{0}, 0.0, store) } -> std::same_as<bool>;
};

template <class F>
concept WorkingFamily = Family<F> && F::reweights &&
                        requires(F& f, const F& cf, std::span<const double> eta,
                                 std::span<double> out) {
                            f.null_model(out, out);
                            { f.working(eta, out, out) } -> std::same_as<bool>;
                            { cf.weight_sums() } -> std::convertible_to<std::span<const double>>;
                            { cf.offset() } -> std::convertible_to<std::span<const double>>;
                        };

// (A reweighting family whose rows are summed elsewhere, losses/summed.hpp,
// guards its steps as the family it sums does.)
template <class F>
concept GuardedFamily = Family<F> && F::reweights && requires(const F& cf) {
    requires F::guards_steps;
    { cf.loss() } -> std::same_as<double>;
    { cf.inside() } -> std::same_as<bool>;
};

}  // namespace varnel_core
