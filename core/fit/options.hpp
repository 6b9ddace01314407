// Fit options, the configuration of one fit and the path result shared by
// every solver.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <variant>
#include <vector>

#include "base/errors.hpp"

namespace varnel_core {

using Vec = std::vector<double>;
using Index = std::vector<std::uint64_t>;

// The options of every fitting entry point, in signature order: the one
// place where they are spelled.  X(name, type as given, type once resolved,
// default as given).  An option given as nullopt takes a data-dependent
// default in build_config; its resolved type drops the optional.
#define VARNEL_OPTIONS(X)                                                                \
    X(alpha, double, double, 1.0)                                                       \
    X(nlambda, std::uint64_t, std::uint64_t, 100)                                       \
    X(lambda_min_ratio, std::optional<double>, double, std::nullopt)                    \
    X(user_lambda, std::optional<Vec>, std::optional<Vec>, std::nullopt)                \
    X(standardize, bool, bool, true)                                                    \
    X(intercept, bool, bool, true)                                                      \
    X(thresh, double, double, 1e-7)                                                     \
    X(maxit, std::uint64_t, std::uint64_t, 100000)                                      \
    X(dfmax, std::optional<std::uint64_t>, std::uint64_t, std::nullopt)                 \
    X(pmax, std::optional<std::uint64_t>, std::uint64_t, std::nullopt)                  \
    X(penalty_factor, std::optional<Vec>, std::optional<Vec>, std::nullopt)             \
    X(lower_limits, std::optional<Vec>, std::optional<Vec>, std::nullopt)               \
    X(upper_limits, std::optional<Vec>, std::optional<Vec>, std::nullopt)               \
    X(weights, std::optional<Vec>, std::optional<Vec>, std::nullopt)                    \
    X(exclude, std::optional<Index>, Index, std::nullopt)

// The caller's options as given.
struct FitOptions {
#define VARNEL_GIVEN_FIELD(name, given, resolved, init) given name = init;
    VARNEL_OPTIONS(VARNEL_GIVEN_FIELD)
#undef VARNEL_GIVEN_FIELD
};

// Configuration of one fit: built once, read (never changed) by a solver.
struct FitConfig {
#define VARNEL_RESOLVED_FIELD(name, given, resolved, init) resolved name{};
    VARNEL_OPTIONS(VARNEL_RESOLVED_FIELD)
#undef VARNEL_RESOLVED_FIELD

    // Fixed constants.
    double min_dev_change = 1e-5;   // relative deviance-ratio change that ends a generated path
    double min_lambda_ratio = 1e-6; // floor of lambda_min_ratio for a generated sequence
    double big = 9.9e35;            // stands for infinity
    std::uint64_t min_lambdas = 5;  // early stops apply from this solution number on
    double max_dev_ratio = 0.999;   // a generated path stops above this deviance ratio
    double pmin = 1e-9;             // probability bound of the logistic solver
};

// Fills the data-dependent defaults: lambda_min_ratio 1e-4 (nobs >= nvars)
// or 0.01; dfmax nvars + 1; pmax min(nvars, 2 * dfmax + 20) from the final
// dfmax; exclude empty.  Validates nothing.
FitConfig build_config(std::uint64_t nobs, std::uint64_t nvars, FitOptions options);

// What every solver returns on success.  Per-solution vectors hold lmu
// entries, a0 lmu * nclass; beta is solution-major, then variable, then
// class (coefficient k of variable j of solution l at (l * nvars + j) *
// nclass + k).  nclass is 1 but for the multinomial family.
struct PathResult {
    Vec lambda;
    Vec a0;
    Vec beta;
    Vec dev_ratio;
    std::uint64_t lmu = 0;
    std::uint64_t nclass = 1;
    double nulldev = 0.0;
    std::uint64_t npasses = 0;
    std::optional<PathWarning> warning;
    // The smallest penalty value whose solution is all zero (apart from
    // unpenalized variables), on the caller's scale: the value a generated
    // sequence starts from.  NaN when the path does not tell.
    double lambda_max = std::numeric_limits<double>::quiet_NaN();
};

using FitOutcome = std::variant<PathResult, FitError>;

// Asked once per coordinate-descent pass whether the caller wants the fit
// abandoned; a true answer ends the fit with Interrupted.
struct Interrupt {
    bool (*requested)(void* context) = nullptr;
    void* context = nullptr;

    void poll() const {
        if (requested != nullptr && requested(context)) throw Interrupted();
    }
};

}  // namespace varnel_core
