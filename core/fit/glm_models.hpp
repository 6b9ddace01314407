// The model of a family by variance and link (the rows of the family
// table with a variance, fit/registry.hpp): the link of the choices or the
// family's default, and its parameters.  tweedie needs `power`, 0 or a
// value in [1, 3]; negative_binomial takes `theta` > 0 (default 1).  Any
// other family takes no link.  A model whose link is the family's default
// is fitted by the family's own loss when it has one (with_loss).
#pragma once

#include <optional>

#include "base/config.hpp"
#include "losses/glm.hpp"
#include "fit/registry.hpp"

namespace varnel_core {

// The model of `family` under the link, power and theta of `choices`, or
// nullopt for a family outside the variance and link table.  A
// PreconditionError names the option that does not fit the family: a
// link it does not take, a power or theta of another family, a power or
// theta out of range.
std::optional<GlmModel> glm_model(const FamilyEntry& family, const FitChoices& choices);

// A PreconditionError when an option of family_parameters (power, theta,
// delta) is given to a family that does not take it.
void refuse_parameters(const FamilyEntry& family, const FitChoices& choices);

}  // namespace varnel_core
