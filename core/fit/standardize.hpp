// Weighted centring and scaling of the predictors (and, for least squares,
// of the response) before a path is fitted.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "data/csc.hpp"
#include "data/dense.hpp"
#include "kernels/gram.hpp"

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
Standardization standardize_rows_in_place(DenseMatrix& x, std::span<double> y,
                                          std::span<const double> w, Flags& include,
                                          bool standardize, bool intercept,
                                          const Interrupt& interrupt);

// Weighted moments of the columns of x and of y about their weighted
// means, as weighted_column_stats or a Gram of [x y] give them: mean, var
// and cov (with y) divided by total = sum_i w_i.
struct ColumnMoments {
    Vec mean;
    Vec var;
    Vec cov;     // empty: not formed (no gradients wanted)
    double ymean = 0.0;
    double total = 1.0;
    Vec second{};  // sum_i w_i x_ij^2 when the storage sums it (else empty)
};

// The weighted moments of the columns of a dense x (and of y, when given:
// ymean and cov) in one pass, read in place on up to n_threads threads
// (weighted_column_stats: the same bits in any layout and for any thread
// count); total is the sum of w.
ColumnMoments column_moments(const StridedMatrix& x, std::span<const double> w,
                             std::span<const double> y, std::size_t n_threads,
                             const Interrupt& interrupt);

// The weighted moments of the included columns of compressed sparse
// columns from their stored entries (sparse_moments): mean, the centred
// sum of squares as var (total 1) and the uncentred one as second; cov
// not formed.
ColumnMoments csc_moments(const CscMatrix& x, std::span<const double> w, const Flags& include,
                          const Interrupt& interrupt);

// Least squares with covariance updates (and any least-squares design
// standardized from moments): the Standardization that
// standardize_rows_in_place would give, from the moments (x is never
// touched) and yss = sum_i w_i (y_i - c_y)^2 (c_y the mean, 0 without
// intercept), and the gradient of every variable at b = 0, <z_j, y
// standardized> (when m.cov is formed).  Without an intercept a column's
// sum of squares is m.second when given.
Standardization standardize_covariance(const ColumnMoments& m, double yss, Flags& include,
                                       bool standardize, bool intercept, Vec& gradient);

// Working-weights families from the columns' weighted means and variances
// about them (the centred sums divided by total): the (x_mean, x_scale)
// that centre_and_scale_in_place would compute, x never touched; each
// column's centred sum of squares is taken as var_j * total (total = 1: the
// variance itself, for weights that sum to about 1).  Raw columns (no
// intercept, no standardize) have their sums of squares checked: `second`
// when given, else from the moments.
std::pair<Vec, Vec> scales_from_moments(std::span<const double> mean, std::span<const double> var,
                                        double total, bool standardize, bool intercept,
                                        Flags& include, std::span<const double> second = {});

// Working-weights families: columns centred (with intercept) and scaled in
// place; returns (x_mean, x_scale).
std::pair<Vec, Vec> centre_and_scale_in_place(DenseMatrix& x, std::span<const double> w,
                                              bool standardize, bool intercept, Flags& include,
                                              const Interrupt& interrupt);

}  // namespace varnel_core
