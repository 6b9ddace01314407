// Poisson (log link) elastic-net path: iteratively reweighted least squares
// around cyclic coordinate descent.
#pragma once

#include <cstdint>
#include <span>

#include "fit/options.hpp"
#include "families/reweighting.hpp"

namespace varnel_core {

// Minimises over (a0, b), on the standardized data:
//   sum_i w_i (exp(eta_i) - y_i eta_i)
//     + lambda sum_j v_j (alpha |b_j| + (1 - alpha)/2 b_j^2),
//   eta = offset + a0 + x b,
// subject to the box limits; w are the weights normalized to sum 1.  The
// convergence threshold is thresh * (null deviance / 2), as for the
// logistic path.  `offset` (nobs values) may be null.
FitOutcome fishnet(DesignInput x, std::span<const double> y, std::uint64_t nobs,
                   std::uint64_t nvars, const FitConfig& config, const Vec* offset,
                   const Interrupt& interrupt = {});

// The dense path without an offset; the solver works in the buffer x.
FitOutcome fishnet(Vec x, std::span<const double> y, std::uint64_t nobs, std::uint64_t nvars,
                   const FitConfig& config, const Interrupt& interrupt = {});

}  // namespace varnel_core
