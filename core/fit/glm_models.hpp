// The GLM families by variance and link: the links each family takes, its
// default link and parameters, and whether a choice runs on the family's
// own solver or on GlmFamily (losses/glm.hpp).
//
//   family              variance               links (the first the default)
//   gaussian            1                      identity (least squares), log, inverse
//   binomial            mu (1 - mu)            logit (its own), probit, cloglog, log
//   poisson             mu                     log (its own), identity, sqrt
//   gamma               mu^2                   log, inverse, identity
//   inverse_gaussian    mu^3                   log, inverse, inverse_squared, identity
//   tweedie             mu^power               log, identity
//   negative_binomial   mu + theta mu^2        log, identity, sqrt
//
// tweedie needs `power`, 0 or a value in [1, 3]; negative_binomial takes
// `theta` > 0 (default 1).  Any other family takes no link, power or theta.
#pragma once

#include <optional>

#include "losses/glm.hpp"
#include "fit/fit.hpp"

namespace varnel_core {

// The model of `family` under the link, power and theta of `choices`, or
// nullopt when the family runs on its own solver (its default link, or a
// family outside the table).  A PreconditionError names the option that
// does not fit the family.
std::optional<GlmModel> glm_model(FamilyKind family, const FitChoices& choices);

}  // namespace varnel_core
