// Least squares through its three solvers: naive updates on a dense copy
// standardized in place or on CSC columns, and covariance updates on a
// dense matrix read in place.
#pragma once

#include "base/interrupt.hpp"
#include "fit/fit.hpp"

namespace varnel_core {

// Minimises, on the standardized data, over (a0, b):
//   1/2 sum_i wn_i (y_i - a0 - x_i b)^2
//     + lambda sum_j v_j (alpha |b_j| + (1 - alpha)/2 b_j^2)
// subject to lower_j <= b_j <= upper_j, along a decreasing lambda sequence;
// wn are the weights normalized to sum 1 and v the normalized penalty
// factors; y is the request's response less its offset.  The covariance
// solver (`covariance`) solves the same problem with the same path rules;
// its sums are the Gram kernel's (see data/memory_sources.hpp for what is
// reproducible).
std::variant<PathResult, FitError> least_squares_path(FitRequest& request, bool covariance,
                                                      const Interrupt& interrupt);

}  // namespace varnel_core
