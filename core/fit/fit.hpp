// The one entry of the core: a fit request of any family, on any kind of
// input, with any solver, to its path.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "data/csc.hpp"
#include "data/dense.hpp"
#include "solver/store.hpp"
#include "base/config.hpp"

namespace varnel_core {

enum class SolverKind { Auto, Naive, Covariance };

// "auto", "naive", "covariance"; nullopt for any other name.
std::optional<SolverKind> solver_named(std::string_view name);
std::string_view solver_name(SolverKind solver);

// Compressed sparse columns as given (checked by the fit): each array an
// owned copy, or the caller's array read in place (its view set; it must
// outlive the fit); or the caller's columns one by one (`by_column`, each
// read in place, see ColumnEntries).
struct CscInput {
    Index col_ptr;
    Index row_idx;
    Vec values;
    std::optional<std::span<const std::uint64_t>> col_ptr_view;
    std::optional<std::span<const std::uint64_t>> row_idx_view;
    std::optional<std::span<const double>> values_view;
    std::vector<ColumnEntries> columns;
    bool by_column = false;

    std::span<const std::uint64_t> col_ptr_read() const { return col_ptr_view ? *col_ptr_view : col_ptr; }
    std::span<const std::uint64_t> row_idx_read() const { return row_idx_view ? *row_idx_view : row_idx; }
    std::span<const double> values_read() const { return values_view ? *values_view : values; }
    // The matrix of nrows rows these arrays describe, reading them where
    // they are (this object must outlive it).
    CscMatrix matrix(std::size_t nrows) const {
        if (by_column) return CscMatrix(columns, nrows);
        return CscMatrix(col_ptr_read(), row_idx_read(), values_read(), nrows);
    }
};

// One fit.  The predictors are nobs x nvars: a dense matrix (an owned
// column-major copy, which a naive solver standardizes in place, or the
// caller's array borrowed for a covariance solver, which reads it in
// place), or compressed sparse columns.  y is nobs x y_cols, row-major
// (the cox family's time and status, the multitask family's K responses).
struct FitRequest {
    std::variant<DenseMatrix, CscInput> x;
    std::uint64_t nobs = 0;
    std::uint64_t nvars = 0;
    Vec y;
    std::uint64_t y_cols = 1;
    FitChoices choices;
    FitConfig config;
    // elnet_sparse's pinned bits: the sparse least-squares gradients summed
    // in one chain and every optimality check a full sweep.  Otherwise a
    // sparse least-squares fit sums in four interleaved partial sums and
    // bounds the gradients it need not form (data/least_squares.hpp,
    // data/gradient_bounds.hpp).
    bool stable_sparse_sums = false;
    // The deviances checked after the path (check_deviances); elnet_path
    // and elnet_sparse keep their results as they are.
    bool check_deviances = true;
    // A dense x that nobody has scanned for non-finite values: the fit
    // refuses one (InputError "x must be finite, but x[i, j] is nan"), in
    // the pass that forms the products where the route has one, else by a
    // scan before it starts.
    bool x_unchecked = false;
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

// The solver "auto" stands for: covariance updates for least squares (one
// response or several: `least_squares`) on a dense x with nobs >= 2 nvars
// and nvars <= covariance_all_at_once, the naive solver otherwise.
SolverKind auto_solver(bool least_squares, bool dense, std::uint64_t nobs, std::uint64_t nvars);

// The solver that will run, after the checks of the choices that need no
// data (a PreconditionError naming the option): a known family, solver and
// ties, n_threads of at least 1 when given, `grouped` for the multinomial
// (and the always grouped multitask) family only, a link, power and theta
// the family takes (fit/glm_models.hpp), the covariance solver on a dense x
// and for every family but the cox family, strata and Efron's ties for the
// cox family only, standardize_response for the multitask family only, a
// positive and finite delta for the huber family only.
// The family is a row of the family table (fit/registry.hpp).
SolverKind check_choices(const FitChoices& choices, bool dense, std::uint64_t nobs,
                         std::uint64_t nvars);

// The threads a fit may use for its passes over x: n_threads, or every
// core the machine reports (at least 1); n_threads = 0 is a
// PreconditionError.
std::size_t fit_threads(const FitChoices& choices);

// The shapes of the offset (nobs x K), of start_beta (nvars x K) and of
// start_a0 (K) for the family's K (a PreconditionError naming the option
// and what the family needs).
void check_tables(FitChoices& choices, std::uint64_t nobs, std::uint64_t nvars, std::size_t nk);

// The path of the request.  Preconditions (a PreconditionError naming the
// option): the choices (check_choices); y of one column (two for the cox
// family, K for the multitask family); an offset of nobs values (nobs x K
// for the multinomial family, K classes in y, and the multitask family); a
// start of nvars coefficients (nvars x K) and one intercept (K); strata of
// nobs labels; no negative weight; valid CSC arrays.  The response's own checks are the
// family's (InputError or FitError).
FitOutcome fit(FitRequest request, const Interrupt& interrupt = {});

// Whether the route of `request` under `solver` refuses a non-finite x in the
// pass that forms its products (the covariance solver of one response's
// least squares, every product formed at once), so that an unchecked x
// needs no scan of its own.
bool checks_x_in_products(const FitRequest& request, SolverKind solver);

// Marks in r.bound the first solution (and in it the first variable) with
// a coefficient at the bound that stands for an infinite limit: within
// 1e-9 of config.big (the rounding of the map back to the caller's scale)
// on a side whose limit the caller left infinite.  A mark already made
// stays (a path whose responses were scaled marks it before they are
// scaled back).  Such a coefficient is
// held there, not at its optimum: its column is too small for the range of
// doubles' comfortable part (x scaled by 1e-37, say).
void find_bound_reached(PathResult& r, const FitConfig& config);

// What the deviance checks know of a fit's rows, for their advice: the
// family's name and theta (NaN but for the negative binomial), the largest
// |y| and |offset| (0 without an offset, NaN when unknown), and the size
// of the terms the null deviance cancels (response_terms_size, times 2 on
// the caller's weight scale; 0: nothing cancels).
struct DevianceSetting {
    std::string_view family;
    double theta;
    double y_reach;
    double offset_reach;
    double terms_size;
};

// Throws InputError, saying which and advising (a huge offset: the offset;
// a huge theta, or huge counts of the negative binomial: the poisson
// family; a huge y: scale it; else the offset when there is one, else y),
// when the null deviance is not finite, when
// it cancels to rounding noise (at most 16 eps times the size of the terms
// it sums, 3.6e-15 of them: each term carries a rounding of about eps of
// itself, so not one digit of the difference is sure; a negative binomial
// theta of 1e20 leaves 6e-17, counts of 1e6 that barely vary under theta = 2
// keep 1.4e-14, which is 3 digits by the terms' typical rounding), when
// the deviance at a solution is not finite, or when a deviance ratio lies
// outside [0, 1] by more than its rounding: 1e-9 (of a ratio of sums) plus
// 64 eps times the terms' size over the null deviance (of the terms they
// cancel: large counts round a ratio at 1e-8), at most 1e-6.
void check_deviances(const PathResult& r, const DevianceSetting& setting);

}  // namespace varnel_core
