// Weighted centring and scaling of the predictors (and, for least squares,
// of the response) before a path is fitted.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "kernels/gram.hpp"
#include "designs/matrix.hpp"

namespace varnel_core {

struct Standardization {
    Vec x_mean;   // subtracted from each column (0 without intercept or for skipped columns)
    Vec x_scale;  // divisor of each centred column (1 without standardize)
    Vec x_sumsq;  // weighted sum of squares of each column as the solver sees it
    double y_mean = 0.0;
    double y_scale = 1.0;
};

// All variants take normalized weights w (sum 1) and the include flags; a
// column whose flag is 0 is skipped.  An included column whose weighted
// scale comes out 0 (or not finite) is not divided: its flag is cleared so
// that it is treated like a constant column.

// Dense least squares: every row is multiplied by sqrt(w_i); x and y are
// transformed in place.
Standardization standardize_naive(Dense& x, std::span<double> y, std::span<const double> w,
                                  Flags& include, bool standardize, bool intercept);

// Sparse least squares: the column statistics come from the stored entries
// (see sparse_moments); y is centred and scaled in place, the matrix is not
// touched.
Standardization standardize_naive_sparse(std::span<const std::uint64_t> col_ptr,
                                         std::span<const std::uint64_t> row_idx,
                                         std::span<const double> values, std::span<double> y,
                                         std::span<const double> w, Flags& include,
                                         bool standardize, bool intercept);

// Weighted moments of one sparse column over all nobs rows (unstored rows
// hold 0), from its stored entries: mean = sum_i w_i x_i / total, and the
// centred second moment sum_i w_i (x_i - mean)^2 summed as the stored
// entries' centred squares plus mean^2 times the weight of the unstored
// rows, both corrected for the rounding of the first pass, so that a mean
// large against the spread loses no precision; and the uncentred second
// moment sum_i w_i x_i^2.  `total` is sum_i w_i (1 up to rounding).
struct SparseMoments {
    double mean;
    double centred;
    double second;
};
SparseMoments sparse_moments(std::span<const std::uint64_t> rows, std::span<const double> values,
                             std::span<const double> w, double total);

// Weighted moments of the columns of x and of y about their weighted
// means, as weighted_column_stats or a Gram of [x y] give them: mean, var
// and cov (with y) divided by total = sum_i w_i.
struct ColumnMoments {
    Vec mean;
    Vec var;
    Vec cov;
    double ymean = 0.0;
    double total = 1.0;
};

// Least squares with covariance updates: the Standardization that
// standardize_naive would give, from the moments (x is never touched), and
// the gradient of every variable at b = 0, <z_j, y standardized>.
Standardization standardize_covariance(const ColumnMoments& m, std::span<const double> y,
                                       std::span<const double> w, Flags& include,
                                       bool standardize, bool intercept, Vec& gradient);

// Reweighting solvers on a sparse matrix: the means and scales that
// standardize_lognet would compute, from the stored entries; the matrix is
// not touched.
std::pair<Vec, Vec> standardize_sparse_glm(std::span<const std::uint64_t> col_ptr,
                                           std::span<const std::uint64_t> row_idx,
                                           std::span<const double> values,
                                           std::span<const double> w, bool standardize,
                                           bool intercept, Flags& include);

// Reweighting solvers: columns centred (with intercept) and scaled in place;
// returns (x_mean, x_scale).
std::pair<Vec, Vec> standardize_lognet(Dense& x, std::span<const double> w, bool standardize,
                                       bool intercept, Flags& include);

}  // namespace varnel_core
