// The reweighting families through a statistics design (the covariance
// solver): each reweighting step sums the family's per-row maths over the
// rows (losses/summed.hpp) into Z'r, Z'v, the loss and the products
// Z'VZ of the strong set, and the coordinate descent runs in p-space.
#pragma once

#include <cstddef>
#include <variant>

#include "base/interrupt.hpp"
#include "data/statistics.hpp"
#include "fit/fit.hpp"

namespace varnel_core {

// The path of `family` (binomial, Poisson, multinomial, or a GLM family by
// the variance and link of the request's choices; `classes` its K)
// on the dense x of the request, read in place: the same objective, path
// rules and result as working_family_path, its sums from the Gram kernel.
std::variant<PathResult, FitError> covariance_family_path(FitRequest& request, FamilyKind family,
                                                          std::size_t classes,
                                                          const Interrupt& interrupt);

}  // namespace varnel_core
