// Preparation of a fit's inputs before its path starts: penalty factors,
// coefficient limits, observation weights and include flags.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "base/errors.hpp"
#include "base/numeric.hpp"
#include "base/config.hpp"

namespace varnel_core {

// Penalty factors scaled to sum to nvars; negative and NaN entries become 0,
// and so do infinite ones, whose variables apply_exclude leaves out.  Fails
// with NonPositivePenalties when none is > 0.
std::variant<Vec, FitError> normalize_penalty(const FitConfig& config, std::size_t nvars);

struct Limits {
    Vec lower;
    Vec upper;
};

// Box limits with infinities replaced by -big / +big.  Fails with
// PositiveLowerLimit, then NegativeUpperLimit.  A limit of exactly 0 sets
// constants.min_dev_change to 0.
std::variant<Limits, FitError> box_limits(const FitConfig& config, std::size_t nvars,
                                          WorkingConstants& constants);

struct Weights {
    Vec raw;      // the caller's weights (or ones)
    double sum;   // sum of raw, in index order
    Vec norm;     // raw / sum
};

// The weights must not be negative (a precondition: the entry points that
// mend them set negative weights to 0 first).  Fails with
// NonPositiveWeightSum when they sum to <= 0.
std::variant<Weights, FitError> prepare_weights(const FitConfig& config, std::size_t nobs);

// Clears the include flag of every variable listed in `exclude` (indices of
// nvars or more are ignored) and of every variable whose penalty factor is
// infinite.
void apply_exclude(const FitConfig& config, Flags& include);
bool any_flag(const Flags& include);

}  // namespace varnel_core
