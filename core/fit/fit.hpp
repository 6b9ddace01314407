// The one entry of the core: a fit request of any family, on any kind of
// input, with any solver, to its path.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "designs/dense.hpp"
#include "engine/store.hpp"
#include "fit/options.hpp"

namespace varnel_core {

enum class FamilyKind {
    Gaussian,
    Binomial,
    Poisson,
    Multinomial,
    Gamma,
    InverseGaussian,
    Tweedie,
    NegativeBinomial,
};
enum class SolverKind { Auto, Naive, Covariance };

// "gaussian", "binomial", "poisson", "multinomial", "gamma", "inverse_gaussian",
// "tweedie", "negative_binomial"; nullopt for any other name.
std::optional<FamilyKind> family_named(std::string_view name);
// "auto", "naive", "covariance"; nullopt for any other name.
std::optional<SolverKind> solver_named(std::string_view name);
std::string_view solver_name(SolverKind solver);

// Compressed sparse columns as given (checked by the fit).
struct CscInput {
    Index col_ptr;
    Index row_idx;
    Vec values;
};

// One fit.  The predictors are nobs x nvars: a dense matrix (an owned
// column-major copy, which a naive solver standardizes in place, or the
// caller's array borrowed for a covariance solver, which reads it in
// place), or compressed sparse columns.
struct FitRequest {
    std::variant<DenseMatrix, CscInput> x;
    std::uint64_t nobs = 0;
    std::uint64_t nvars = 0;
    Vec y;
    FitChoices choices;
    FitConfig config;
};

// A path, or the fault of an input that no path can be fitted to.
struct FitResult {
    PathResult path;
    SolverKind solver;  // the solver that ran
};
using FitOutcome = std::variant<FitResult, FitError>;

// Up to this many columns the covariance solver forms every product at
// once (p * p doubles); "auto" takes it only up to this width.
inline constexpr std::size_t covariance_all_at_once = 2000;

// The solver "auto" stands for: covariance updates for least squares on a
// dense x with nobs >= 2 nvars and nvars <= covariance_all_at_once, the
// naive solver otherwise.
SolverKind auto_solver(FamilyKind family, bool dense, std::uint64_t nobs, std::uint64_t nvars);

// The solver that will run, after the checks of the choices that need no
// data (a PreconditionError naming the option): a known family and solver,
// `grouped` for the multinomial family only, a link, power and theta the
// family takes (fit/glm_models.hpp), the covariance solver on a dense x
// only.  "auto" takes the naive solver for a model named by variance and
// link.
SolverKind check_choices(const FitChoices& choices, bool dense, std::uint64_t nobs,
                         std::uint64_t nvars);

// The shapes of the offset (nobs x K), of start_beta (nvars x K) and of
// start_a0 (K) for the family's K (a PreconditionError naming the option
// and what the family needs).
void check_tables(FitChoices& choices, std::uint64_t nobs, std::uint64_t nvars, std::size_t nk);

// The path of the request.  Preconditions (a PreconditionError naming the
// option): the choices (check_choices); an
// offset of nobs values (nobs x K for the multinomial family, K classes in
// y); a start of nvars coefficients (nvars x K) and one intercept (K); no
// negative weight; valid CSC arrays.  The response's own checks are the
// family's (InputError or FitError).
FitOutcome fit(FitRequest request, const Interrupt& interrupt = {});

}  // namespace varnel_core
