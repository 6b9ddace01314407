// The families that fit through working weights (binomial, Poisson,
// multinomial, and the GLM families by variance and link of
// fit/glm_models.hpp): their common preparation and their paths.
#pragma once

#include <variant>

#include "base/interrupt.hpp"
#include "fit/fit.hpp"

namespace varnel_core {

// The path of `family` (any but Gaussian) for the request, on the
// standardized data: the columns are centred (with an intercept) and scaled
// by their weighted standard deviations (when standardizing), in place in
// the dense copy or implicitly over CSC columns.  `classes` is K of the
// multinomial family (1 for the others).  See each family's header for the
// objective and its convergence rule.  `covariance`: the same path through
// a statistics design (fit/summed_fit.hpp), x read in place.
std::variant<PathResult, FitError> working_family_path(FitRequest& request, FamilyKind family,
                                                       std::size_t classes, bool covariance,
                                                       const Interrupt& interrupt);

}  // namespace varnel_core
