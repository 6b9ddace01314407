// What the engine asks of a design, and what it is told about each
// coordinate and about the path.
//
// A design keeps the standardized predictors z_j and the residual r of the
// current fit.  With one coefficient per variable:
//   gradient(j)          <z_j, r>, after any deferred update
//   defer(j, delta)      r -= delta * (weights) * z_j, possibly applied with
//                        the next gradient
//   flush()              applies a deferred update
//   abs_gradients(include, skip, out)
//                        out_j = |<z_j, r>| for included j (outside `skip`)
//   step_work()          the work of one step, for the interrupt's clock
// With working weights v besides (written by the family between
// begin_refit and end_refit):
//   curvatures(flags, out)  out_j = sum_i v_i z_ij^2 for flagged j
//   residual_sum()          sum_i r_i
//   subtract_weights(d)     r -= v * d  (an intercept step)
//   linear_predictor(coef, active, b0, eta)
//                           eta_i = b0 + sum over active j of coef_j z_ij
//   weights(), residual(), rows(), begin_refit(), end_refit()
// With K coefficients per variable (a block design: r and v are n x K,
// row-major) the same in K: gradient(j, g), defer(j, delta[K]),
// abs_gradients(include, skip, out, magnitude), and with working weights
// curvatures at j * K + k, residual_sum(s[K]), subtract_weights(d[K]),
// linear_predictor(coef, active, b0[K], eta).
// A design that reweights through its own source (data/statistics.hpp)
// holds no rows: instead of the linear predictor, the weights and the
// residual it answers
//   null_model()               the null model's K intercepts, its sums taken
//   refit(coef, active, b0)    the sums at the new iterate; true when the
//                              working weights vanished
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/config.hpp"
#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/numeric.hpp"

namespace varnel_core {

template <class D>
concept ScalarDesign = requires(D& d, const D& cd, std::size_t j, double delta, const Flags& flags,
                                std::span<double> out) {
    { d.gradient(j) } -> std::same_as<double>;
    d.defer(j, delta);
    d.flush();
    cd.abs_gradients(flags, &flags, out);
    { cd.step_work() } -> std::same_as<std::size_t>;
};

// A design whose source evaluates the family at each refit.
template <class D>
concept RefitsThroughSource = requires(D& d, std::span<const double> in,
                                       std::span<const std::size_t> active) {
    { d.null_model() } -> std::same_as<Vec>;
    { d.refit(in, active, in) } -> std::same_as<bool>;
};

// A design that holds the rows: the family writes its working weights and
// residuals into it.
template <class D>
concept WorkingRows = requires(D& d, const D& cd) {
    { d.weights() } -> std::same_as<std::span<double>>;
    { d.residual() } -> std::same_as<std::span<double>>;
    { cd.rows() } -> std::same_as<std::size_t>;
    d.begin_refit();
    d.end_refit();
};

template <class D>
concept ScalarWorkingDesign =
    ScalarDesign<D> && requires(D& d, const D& cd, const Flags& flags, std::span<double> out,
                                std::span<const double> coef,
                                std::span<const std::size_t> active) {
        d.curvatures(flags, out);
        { cd.residual_sum() } -> std::same_as<double>;
        d.subtract_weights(1.0);
    } && (RefitsThroughSource<D> ||
          (WorkingRows<D> && requires(const D& cd, std::span<double> out,
                                      std::span<const double> coef,
                                      std::span<const std::size_t> active) {
              cd.linear_predictor(coef, active, 0.0, out);
          }));

template <class D>
concept BlockDesign = requires(D& d, const D& cd, std::size_t j, const Flags& flags,
                               std::span<double> out, std::span<const double> in,
                               double (*magnitude)(std::span<const double>)) {
    d.gradient(j, out);
    d.defer(j, in);
    d.flush();
    cd.abs_gradients(flags, &flags, out, magnitude);
    { cd.width() } -> std::same_as<std::size_t>;
    { cd.step_work() } -> std::same_as<std::size_t>;
};

template <class D>
concept BlockWorkingDesign =
    BlockDesign<D> && requires(D& d, const D& cd, const Flags& flags, std::span<double> out,
                               std::span<const double> in) {
        d.curvatures(flags, out);
        cd.residual_sum(out);
        d.subtract_weights(in);
    } && (RefitsThroughSource<D> ||
          (WorkingRows<D> && requires(const D& cd, std::span<double> out,
                                      std::span<const double> in,
                                      std::span<const std::size_t> active) {
              cd.linear_predictor(in, active, in, out);
          }));

// What the coordinate steps read of every variable, prepared before the path.
struct Coordinates {
    const Flags& include;             // 1 = the variable may enter
    std::span<const double> penalty;  // normalized penalty factors
    std::span<const double> lower;    // limits on the standardized scale
    std::span<const double> upper;
};

// The numbers of a fit that the path policy (solver/policy.hpp) reads:
// the rules a path converges and ends by, besides its length.
struct PathRules {
    double alpha;
    std::uint64_t maxit;
    std::uint64_t dfmax;
    std::uint64_t pmax;
    double thresh;          // relative to the loss's null scale
    double max_dev_ratio;
    double min_dev_change;  // the constants' (0 when a limit is exactly 0)
    const Interrupt& interrupt;
    LambdaHook on_lambda;   // told of each solution (run_path)

    PathRules(const FitConfig& config, const WorkingConstants& constants,
              const Interrupt& interrupt)
        : alpha(config.alpha), maxit(config.maxit), dfmax(config.dfmax), pmax(config.pmax),
          thresh(config.thresh), max_dev_ratio(constants.max_dev_ratio),
          min_dev_change(constants.min_dev_change), interrupt(interrupt),
          on_lambda(config.on_lambda) {}
};

// Where a path starts from instead of its null model: the coefficients of
// every variable on the standardized scale (nvars * K, variable j's at
// j * K) and the K intercepts (on the scale of the engine's intercept; a
// family whose intercept comes from centring ignores them).
struct WarmStart {
    std::span<const double> coef;
    std::span<const double> intercepts;
};

struct PathEnd {
    std::uint64_t lmu;
    std::optional<PathWarning> warning;
};

}  // namespace varnel_core
