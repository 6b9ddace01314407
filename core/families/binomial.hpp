// Two-class logistic elastic-net path: iteratively reweighted least squares
// around cyclic coordinate descent.
#pragma once

#include <cstdint>
#include <span>

#include "fit/options.hpp"
#include "families/reweighting.hpp"

namespace varnel_core {

// Minimises over (a0, b), on the standardized data:
//   -sum_i w_i (y_i eta_i - log(1 + exp(eta_i)))
//     + lambda sum_j v_j (alpha |b_j| + (1 - alpha)/2 b_j^2),
//   eta = offset + a0 + x b,
// subject to the box limits; w are the weights normalized to sum 1.  An
// outer iteration has converged when every weighted squared change of the
// coefficients and the intercept is at most thresh * (null deviance / 2).
// y holds 0/1 labels or proportions in [0, 1]; `offset` (nobs values) may
// be null.
FitOutcome lognet(DesignInput x, std::span<const double> y, std::uint64_t nobs,
                  std::uint64_t nvars, const FitConfig& config, const Vec* offset,
                  const Interrupt& interrupt = {});

// The dense path without an offset; the solver works in the buffer x
// (column-major, nobs * nvars values).
FitOutcome lognet(Vec x, std::span<const double> y, std::uint64_t nobs, std::uint64_t nvars,
                  const FitConfig& config, const Interrupt& interrupt = {});

}  // namespace varnel_core
