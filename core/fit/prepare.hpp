// Preparation of a fit's inputs before its path starts: penalty factors,
// coefficient limits, observation weights, include flags and the checks of
// the response.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "base/errors.hpp"
#include "base/numeric.hpp"
#include "fit/options.hpp"

namespace varnel_core {

// The fixed constants of a fit, copied so that a solver may adjust them.
struct WorkingConstants {
    double min_dev_change;
    double min_lambda_ratio;
    double big;
    std::uint64_t min_lambdas;
    double max_dev_ratio;
    double pmin;
    explicit WorkingConstants(const FitConfig& c)
        : min_dev_change(c.min_dev_change), min_lambda_ratio(c.min_lambda_ratio), big(c.big),
          min_lambdas(c.min_lambdas), max_dev_ratio(c.max_dev_ratio), pmin(c.pmin) {}
};

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

// Throws InputError when the response has nothing to fit: with an intercept,
// y takes one value on all observations of positive weight; without one, y
// is 0 on all of them.
void check_response_varies(std::span<const double> y, std::span<const double> weights,
                           bool intercept);
// The same from the smallest and largest y on the observations of positive
// weight (a fit from statistics).
void check_response_range(double low, double high, bool intercept);

}  // namespace varnel_core
