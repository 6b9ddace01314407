// Fit configuration and the path result shared by every solver.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "error.hpp"

namespace varnel_core {

using Vec = std::vector<double>;

// The caller's options as given; absent optionals take data-dependent
// defaults in build_config.
struct FitOptions {
    double alpha = 1.0;
    std::uint64_t nlambda = 100;
    std::optional<double> lambda_min_ratio;
    std::optional<Vec> user_lambda;
    bool standardize = true;
    bool intercept = true;
    double thresh = 1e-7;
    std::uint64_t maxit = 100000;
    std::optional<std::uint64_t> dfmax;
    std::optional<std::uint64_t> pmax;
    std::optional<Vec> penalty_factor;
    std::optional<Vec> lower_limits;
    std::optional<Vec> upper_limits;
    std::optional<Vec> weights;
    std::optional<std::vector<std::uint64_t>> exclude;
};

// Configuration of one fit: built once, read (never changed) by a solver.
struct FitConfig {
    double alpha = 1.0;
    std::uint64_t nlambda = 100;
    double lambda_min_ratio = 1e-4;
    std::optional<Vec> user_lambda;
    bool standardize = true;
    bool intercept = true;
    double thresh = 1e-7;
    std::uint64_t maxit = 100000;
    std::uint64_t dfmax = 0;
    std::uint64_t pmax = 0;
    std::optional<Vec> penalty_factor;
    std::optional<Vec> lower_limits;
    std::optional<Vec> upper_limits;
    std::optional<Vec> weights;
    std::vector<std::uint64_t> exclude;

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
// dfmax.  Validates nothing.
FitConfig build_config(std::uint64_t nobs, std::uint64_t nvars, FitOptions options);

// What every solver returns on success.  Per-solution vectors hold lmu
// entries; beta is solution-major (variable j of solution l at l * nvars + j).
struct PathResult {
    Vec lambda;
    Vec a0;
    Vec beta;
    Vec dev_ratio;
    std::uint64_t lmu = 0;
    double nulldev = 0.0;
    std::uint64_t npasses = 0;
    std::optional<PathWarning> warning;
};

using FitOutcome = std::variant<PathResult, FitError>;

}  // namespace varnel_core
