// Multi-response least squares with covariance updates: x read in place,
// the products of its columns shared by the K responses.
#pragma once

#include <variant>

#include "base/interrupt.hpp"
#include "fit/fit.hpp"

namespace varnel_core {

// The multitask family's path (families/multitask.hpp; y is the response
// less its offset) on a dense x read in place: the weighted moments of the
// columns, X'W(Y - mean) in one pass of the Gram kernel (Y as its extra
// columns), and the columns' products all at once (up to
// covariance_all_at_once columns) or as they enter the strong set.  The
// same problem and path rules as the naive solver; the bits follow the
// Gram kernel's (designs/memory_sources.hpp): a statistics design whose K
// responses share each column of products (designs/statistics.hpp).
std::variant<PathResult, FitError> multitask_covariance_path(FitRequest& request,
                                                             const Interrupt& interrupt);

}  // namespace varnel_core
