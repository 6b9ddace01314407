// Multi-response least squares with covariance updates: x read in place,
// the products of its columns shared by the K responses.
#pragma once

#include <span>
#include <variant>

#include "base/interrupt.hpp"
#include "data/statistics.hpp"
#include "losses/multitask.hpp"
#include "fit/fit.hpp"
#include "fit/prepare.hpp"

namespace varnel_core {

// The multitask family's path (losses/multitask.hpp; y is the response
// less its offset) on a dense x read in place: the weighted moments of the
// columns, X'W(Y - mean) in one pass of the Gram kernel (Y as its extra
// columns), and the columns' products all at once (up to
// covariance_all_at_once columns) or as they enter the strong set.  The
// same problem and path rules as the naive solver; the bits follow the
// Gram kernel's (data/memory_sources.hpp): a statistics design whose K
// responses share each column of products (data/statistics.hpp).
std::variant<PathResult, FitError> multitask_covariance_path(FitRequest& request,
                                                             const Interrupt& interrupt);

// The path of `family` over a statistics design of the standardized
// columns (its gradients at b = 0 those of the centred and scaled
// responses), from the prepared inputs and the columns' weighted means and
// variances (the weights normalized): the columns' curvatures, then the one
// solve.  Shared by the rows in memory and a fit from statistics.
PathResult multitask_products_path(MultitaskFamily& family, StatisticsDesign& design, Prepared& p,
                                   std::span<const double> mean, std::span<const double> var,
                                   const FitRequest& request, const WorkingConstants& wc,
                                   const Interrupt& interrupt);

}  // namespace varnel_core
