// One entry to every family on every kind of input, with an offset.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "fit/options.hpp"
#include "families/reweighting.hpp"

namespace varnel_core {

enum class FamilyKind { Gaussian, Binomial, Poisson, Multinomial };

// "gaussian", "binomial", "poisson" or "multinomial"; nullopt for any other
// name.
std::optional<FamilyKind> family_named(std::string_view name);

// The path of `family` for the predictors `x` (nobs x nvars) and response y.
// `offset` (or null) enters the linear predictor of every observation:
// eta = offset + a0 + x b, nobs values (nobs * K for the multinomial family,
// see multinet).  For the Gaussian family that is the fit of y - offset.
// `grouped` (the multinomial family only) takes the grouped penalty.
FitOutcome fit_path(FamilyKind family, DesignInput x, std::span<const double> y, std::uint64_t nobs,
                    std::uint64_t nvars, const FitConfig& config, const Vec* offset,
                    const Interrupt& interrupt = {}, bool grouped = false);

}  // namespace varnel_core
