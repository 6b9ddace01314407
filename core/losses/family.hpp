// What a loss is to the engine: the per-row maths around the linear
// predictor eta, never a design nor a path policy (the engine reads its
// policy from one table by the loss's kind, solver/policy.hpp).
//
// Every loss has K linear predictors per row (width(); K = 1 for the
// scalar losses, whose coefficients and intercept are plain doubles, and
// any K for a block loss) and supplies:
//   kind                         its LossKind, the row of the path policy
//   null_scale()                 the scale its convergence threshold is
//                                relative to: half the null deviance per
//                                unit weight (least squares: the null sum
//                                of squares of the standardized responses)
//   on_step(g, c, d)             bookkeeping of a coefficient change; a block
//                                loss's on_step(u, c, b, d) of a block step
//                                that moved b_j. by d to b, with u = g + c (b - d)
//   deviance_ratio()             the fraction of the null deviance explained
//   intercept_fit                whether the intercept comes from centring
//                                (least squares: the stored intercept is
//                                stored_intercept()), from unpenalized steps
//                                on the intercept, or does not exist (none:
//                                the loss is blind to a common shift of eta,
//                                as a partial likelihood is)
//   shift_invariant              the loss sees only differences between the
//                                K predictors of a row (the multinomial), so
//                                a common shift of a variable's block is free
//   check_response(y)            (a static, where the response has a
//                                support) refuses a y outside it
//
// A loss that reweights (reweights = true) is a working-weights loss: a
// quadratic approximation of it at eta is what the engine minimises,
// built from
//   null_model(v, r)             the intercepts of the null model (with the
//                                offset), writing its working weights v and
//                                working residuals r
//   working(eta, v, r)           v and r of the whole vector eta (offset
//                                included; n x K, row-major), true when the
//                                weights vanished (a saturated fit).  A
//                                loss may couple rows here; the row-local
//                                ones compute row i from eta_i. alone.
//   weight_sums()                sum_i v_ik per predictor, of the last call
//   offset()                     the offset eta includes (empty: none)
// A loss that does not reweight has fixed curvatures, given by the
// preparation or computed once by the design from its fixed weights.
//
// A working-weights loss whose reweighting step may raise its objective
// (a link other than the canonical one, a mean with a bounded domain,
// working weights that need not bound the loss: the multinomial's widened
// diagonal, the partial likelihood's diagonal) guards its steps
// (guards_steps = true) and reports on the last eta it was given:
//   loss()                       its loss per unit weight
//   inside()                     whether every mean lay inside its domain
//                                (and the loss was finite)
// The engine then halves such steps (solver/engine.hpp).  The row-local
// losses that do not guard their steps report loss() and inside() too, for
// the routes that sum their rows elsewhere (losses/summed.hpp).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/numeric.hpp"

namespace varnel_core {

// The kinds of loss, each a row of the path policy (solver/policy.hpp).
enum class LossKind { least_squares, logistic, poisson, glm, multinomial, cox };
inline constexpr std::size_t loss_kinds = 6;

enum class InterceptFit { by_centring, by_steps, none };

// The rows a loss is fitted to: the response, the observation weights
// normalized to sum 1 (`total`: their sum before the normalization) and the
// offset (empty, or n x K row-major).
struct RowData {
    std::span<const double> y;
    std::span<const double> w;
    double total;
    std::span<const double> offset;
};

// A block loss keeps its books of a block step (the scalar losses of a
// coordinate step).
template <class F>
concept BlockSteps = !F::block || requires(F& f, std::span<const double> s) {
    f.on_step(s, s, s, s);
};

template <class F>
concept Family = BlockSteps<F> && requires(F& f, const F& cf) {
    { F::kind } -> std::convertible_to<LossKind>;
    { F::block } -> std::convertible_to<bool>;
    { F::reweights } -> std::convertible_to<bool>;
    { F::shift_invariant } -> std::convertible_to<bool>;
    { F::intercept_fit } -> std::convertible_to<InterceptFit>;
    { cf.width() } -> std::same_as<std::size_t>;
    { cf.null_scale() } -> std::same_as<double>;
    f.on_step(1.0, 1.0, 1.0);
    { cf.deviance_ratio() } -> std::same_as<double>;
    { cf.stored_intercept(0.0) } -> std::same_as<double>;
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

// (A reweighting loss whose rows are summed elsewhere, losses/summed.hpp,
// guards its steps as the loss it sums does.)
template <class F>
concept GuardedFamily = Family<F> && F::reweights && requires(const F& cf) {
    requires F::guards_steps;
    { cf.loss() } -> std::same_as<double>;
    { cf.inside() } -> std::same_as<bool>;
};

}  // namespace varnel_core
