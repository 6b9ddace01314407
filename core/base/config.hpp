// The options of a fit, spelled once, and the configuration built from
// them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/errors.hpp"
#include "base/numeric.hpp"

namespace varnel_core {

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

// Values with a shape: a number (no dimension), a vector or a matrix,
// row-major.
struct Table {
    Vec values;
    std::vector<std::size_t> shape;
};

// The options of the entry `fit` besides the ones above, in signature order:
// X(name, type, default).  `offset` enters every linear predictor (n
// values, or n x K for a family with K predictors per row); the start of a
// path is given by start_a0 (a number, or K) and start_beta (p, or p x K)
// on the caller's scale.  `link` (None: the family's default), `power`
// (tweedie) and `theta` (negative_binomial) choose a GLM family's link and
// parameters (fit/glm_models.hpp); `delta` is the huber family's threshold
// between its quadratic and its linear part (None: 1.35).  `strata` (one label per row), `ties`
// ("breslow" or "efron") and `entry` (one entry time per row: the row is at
// risk at t when entry < t <= its time) are the cox family's; `standardize_response` scales
// each response of the multitask family to unit variance first (lambda, the
// deviance and the limits then refer to the scaled responses).  `n_threads`
// bounds the threads of the passes over x that form column moments and
// products (none: every core).  `sparse_coefs` asks the binding for the
// coefficients as the compressed columns of PathResult::beta rather than
// as a dense array (the fit itself is the same either way).
// `feature_groups` (one label 0, 1, ..., G - 1 per variable) puts the
// sparse-group penalty of solver/group_penalty.hpp on the groups, with
// l1_within the lasso's share of the L1 part and, with group_size_weight,
// sqrt(p_g) weighting each group's norm; a group's penalty factor is its
// variables' (they share one); a block family's group holds its variables'
// K coefficients.
// as a dense array (the fit itself is the same either way).  starts_beta
// (p x L, or p x K x L) and starts_a0 (L, or K x L; none: 0) start the
// solve of each of the first L penalty values from their column, on the
// caller's scale, instead of from the previous solution (a cross-validation
// fold starts each value from the fit on all the rows there); each
// solution is still that penalty value's, to the same threshold.
#define VARNEL_FIT_OPTIONS(X)                                \
    X(family, std::string, "gaussian")                       \
    X(offset, std::optional<Table>, std::nullopt)            \
    X(solver, std::string, "naive")                          \
    X(grouped, bool, false)                                  \
    X(start_a0, std::optional<Table>, std::nullopt)          \
    X(start_beta, std::optional<Table>, std::nullopt)        \
    X(link, std::optional<std::string>, std::nullopt)        \
    X(power, std::optional<double>, std::nullopt)            \
    X(theta, std::optional<double>, std::nullopt)            \
    X(delta, std::optional<double>, std::nullopt)            \
    X(strata, std::optional<Index>, std::nullopt)            \
    X(ties, std::string, "breslow")                          \
    X(entry, std::optional<Vec>, std::nullopt)               \
    X(standardize_response, bool, false)                     \
    X(n_threads, std::optional<std::uint64_t>, std::nullopt) \
    X(sparse_coefs, bool, false)                             \
    X(feature_groups, std::optional<Index>, std::nullopt)    \
    X(l1_within, double, 0.0)                                \
    X(group_size_weight, bool, true)                         \
    X(starts_a0, std::optional<Table>, std::nullopt)         \
    X(starts_beta, std::optional<Table>, std::nullopt)

struct FitChoices {
#define VARNEL_CHOICE_FIELD(name, type, init) type name = init;
    VARNEL_FIT_OPTIONS(VARNEL_CHOICE_FIELD)
#undef VARNEL_CHOICE_FIELD
};

// The caller's options as given.
struct FitOptions {
#define VARNEL_GIVEN_FIELD(name, given, resolved, init) given name = init;
    VARNEL_OPTIONS(VARNEL_GIVEN_FIELD)
#undef VARNEL_GIVEN_FIELD
};

// What a path tells its caller after each solution: the solution's index
// (from 0), its penalty value on the caller's scale, its number of non-zero
// variables, its deviance ratio and the passes over the coordinates so far.
struct LambdaReport {
    std::uint64_t index;
    double lambda;
    std::uint64_t df;
    double dev_ratio;
    std::uint64_t passes;
};

// The caller's hook after each solution of a path: `solved(context,
// report)` returns whether the path goes on.  False ends the path there,
// the solutions so far kept (PathWarning::Kind::Stopped); the hook may also
// throw (Interrupted) to abandon the fit.  Empty by default: the path runs
// to its end.
class LambdaHook {
public:
    using Callback = bool (*)(void* context, const LambdaReport& report);

    LambdaHook() = default;
    LambdaHook(Callback solved, void* context) : solved_(solved), context_(context) {}

    explicit operator bool() const { return solved_ != nullptr; }
    bool operator()(const LambdaReport& report) const {
        return solved_ == nullptr || solved_(context_, report);
    }

private:
    Callback solved_ = nullptr;
    void* context_ = nullptr;
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

    // Not an option: the caller's hook after each solution (none by default).
    LambdaHook on_lambda{};
};

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

// Fills the data-dependent defaults: lambda_min_ratio 1e-4 (nobs >= nvars)
// or 0.01; dfmax nvars + 1; pmax min(nvars, 2 * dfmax + 20) from the final
// dfmax; exclude empty.  Validates nothing.
FitConfig build_config(std::uint64_t nobs, std::uint64_t nvars, FitOptions options);

}  // namespace varnel_core
