// Least squares on its own designs: one response by naive updates on a
// dense copy standardized in place, on the caller's dense array or on CSC
// columns, or by covariance updates from the columns' products; K
// responses (the multitask family) by covariance updates from products
// the K responses share.
#pragma once

#include <cstddef>
#include <variant>

#include "base/interrupt.hpp"
#include "data/statistics.hpp"
#include "losses/multitask.hpp"
#include "fit/fit.hpp"
#include "fit/prepare.hpp"

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

// The response's null deviance with the caller's weights into p.nulldev,
// after the check that y varies (on the rows of positive weight).
void least_squares_null(Prepared& p, std::span<const double> y, bool intercept);

// The covariance path with every product given: `gram` holds G (nvars x
// nvars at leading dimension ld) under the normalized weights, about the
// means with an intercept and uncentred without, `gradient` the gradients
// at b = 0, both on the scale of the raw columns; p is prepared (its
// standardization from the same moments).
std::variant<PathResult, FitError> all_products_path(const Prepared& p, Vec gram, std::size_t ld,
                                                     Vec gradient, const FitRequest& request,
                                                     const WorkingConstants& wc,
                                                     const Interrupt& interrupt);

// The multitask family's path (losses/multitask.hpp; y is the response
// less its offset) on a dense x read in place: the weighted moments of the
// columns, X'W(Y - mean) in one pass of the Gram kernel (Y as its extra
// columns), and the columns' products all at once (up to
// covariance_all_at_once columns) or as they enter the strong set.  The
// same problem and path rules as the naive solver; the bits follow the
// Gram kernel's (data/memory_sources.hpp): a statistics design whose K
// responses share each column of products (data/statistics.hpp).
std::variant<PathResult, FitError> products_path(FitRequest& request, const Interrupt& interrupt);

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
