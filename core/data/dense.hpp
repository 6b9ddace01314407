// A dense design matrix: owned and column-major (the copy a preparation
// centres and scales in place), or borrowed from the caller with any
// strides (read in place, never written).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "data/contract.hpp"
#include "kernels/column_kernels.hpp"
#include "kernels/gram.hpp"

namespace varnel_core {

// The matrix contract on dense values.  A column is read in place when its
// rows are contiguous (and no centre is given) and otherwise gathered into a
// scratch column first, centred value by value, so that every sum runs over
// the same values in the same order in any memory layout:
//   dot, transpose_times    dot4's four interleaved partial sums
//   weighted_dot            wdot4(w, x_j, v), (w_i x_ij) v_i
//   weighted_sums           sequential over the rows
//   times                   row by row, the columns added in list order
//   sandwich                wdot4(w, x_a, x_b) for a <= b, mirrored
// A borrowed matrix must outlive this object; the scratch columns make a
// const object unsafe to share between threads.
class DenseMatrix {
public:
    DenseMatrix() = default;
    // Owned: `values` column-major, element (i, j) at j * nrows + i.
    DenseMatrix(Vec values, std::size_t nrows, std::size_t ncols);
    // Borrowed: the caller's values, read in place.
    explicit DenseMatrix(const StridedMatrix& view);

    DenseMatrix(const DenseMatrix& other);
    DenseMatrix& operator=(const DenseMatrix& other);
    DenseMatrix(DenseMatrix&&) noexcept = default;
    DenseMatrix& operator=(DenseMatrix&&) noexcept = default;

    std::size_t rows() const { return view_.nrows; }
    std::size_t cols() const { return view_.ncols; }
    double at(std::size_t i, std::size_t j) const { return view_.at(i, j); }
    const StridedMatrix& strided() const { return view_; }
    bool owned() const { return !values_.empty() || view_.data == nullptr; }

    // Column j of an owned matrix, to be written by a preparation.
    double* col(std::size_t j) {
        require(owned() && j < cols(), "column index out of range");
        return values_.data() + j * rows();
    }
    // Column j less `centre` as rows() contiguous values: in place, or
    // gathered into scratch column `slot` (0 or 1), valid until that slot is
    // reused.
    const double* column(std::size_t j, int slot = 0, double centre = 0.0) const;

    // The matrix contract (data/contract.hpp), about the given centres.
    double dot(std::size_t j, std::span<const double> v, double centre = 0.0) const;
    double weighted_dot(std::size_t j, std::span<const double> w, std::span<const double> v,
                        double centre = 0.0) const;
    void axpy(std::size_t j, double a, std::span<double> r, double centre = 0.0) const;
    void weighted_axpy(std::size_t j, std::span<const double> w, double a, std::span<double> r,
                       double centre = 0.0) const;
    ColumnSums weighted_sums(std::size_t j, std::span<const double> w, double centre = 0.0) const;
    void transpose_times(std::span<const std::size_t> set, std::span<const double> v,
                         std::span<double> out, std::span<const double> centres = {}) const;
    void times(std::span<const std::size_t> set, std::span<const double> b, std::span<double> out,
               std::span<const double> centres = {}) const;
    void sandwich(std::span<const std::size_t> set, std::span<const double> w,
                  std::span<double> out, std::span<const double> centres = {}) const;

    // What the naive designs add, with the bits of the single-column calls:
    // up to four dots side by side, an update fused with the next dot,
    // weighted sums of squares (wdot4(v, x_j, x_j)) four columns at a time,
    // and the linear predictor over a coefficient vector indexed by variable.
    // Each reads the columns about centres when given (`centres` one per
    // column of the set, or of the matrix for the flagged and predictor
    // calls), value by value as the centred column kernels do; without
    // centres (or with centres of 0) the bits are the uncentred ones.
    void dot_batch(std::span<const std::size_t> js, std::span<const double> v, double* out,
                   std::span<const double> centres = {}) const;
    double axpy_then_dot(std::size_t j, double a, std::span<double> r, std::size_t k) const;
    double weighted_axpy_then_dot(std::size_t j, std::span<const double> w, double a,
                                  std::span<double> r, std::size_t k, double centre_j = 0.0,
                                  double centre_k = 0.0) const;
    void weighted_sumsq_flagged(const Flags& flags, std::span<const double> v,
                                std::span<double> out, std::span<const double> centres = {}) const;
    // eta_i = intercept + sum over the active list, in list order, of
    // coef_k (x_ik - c_k)
    void linear_predictor(std::span<const double> coef, std::span<const std::size_t> active,
                          double intercept, std::span<double> eta,
                          const Interrupt& interrupt = {},
                          std::span<const double> centres = {}) const;

private:
    void check_column(std::size_t j, std::size_t length) const {
        require(j < cols() && length >= rows(), "column index or vector length out of range");
    }

    Vec values_;  // the owned values (empty when borrowed)
    StridedMatrix view_;
    mutable Vec scratch_[2];
};

// 1 for every column that varies, 0 for a constant one (a NaN counts as
// varying).  M is any matrix with rows(), cols() and at(i, j).
template <class M>
Flags varying_columns(const M& x, const Interrupt& interrupt = {}) {
    Flags include(x.cols(), 0);
    if (x.cols() > 0) require(x.rows() >= 1, "a matrix with columns needs at least one row");
    for (std::size_t j = 0; j < x.cols(); ++j) {
        interrupt.tick(x.rows());
        const double f = x.at(0, j);
        for (std::size_t i = 1; i < x.rows(); ++i) {
            if (x.at(i, j) != f) {
                include[j] = 1;
                break;
            }
        }
    }
    return include;
}

// The first NaN or infinite value of x, as (row, column): a scan in memory
// order, then the first in column-major order.
std::optional<std::pair<std::size_t, std::size_t>> first_non_finite(
    const StridedMatrix& x, const Interrupt& interrupt = {});

// Throws InputError "x must be finite, but x[i, j] is nan" (inf, -inf) for
// the first non-finite value of x (first_non_finite); nothing when every
// value is finite.
void require_finite(const StridedMatrix& x, const Interrupt& interrupt = {});

// Clears the flag of every included column that is constant on the rows of
// positive weight (its weighted variance is 0), so that it is treated like a
// constant column.
template <class M>
void clear_weighted_constants(const M& x, std::span<const double> w, Flags& include,
                              const Interrupt& interrupt = {}) {
    require(w.size() == x.rows() && include.size() == x.cols(),
            "weights or flags of the wrong length");
    for (std::size_t j = 0; j < x.cols(); ++j) {
        if (!include[j]) continue;
        interrupt.tick(x.rows());
        bool have_first = false, varies = false;
        double f = 0.0;
        for (std::size_t i = 0; i < x.rows() && !varies; ++i) {
            if (!(w[i] > 0.0)) continue;
            if (!have_first) {
                f = x.at(i, j);
                have_first = true;
            } else if (x.at(i, j) != f) {
                varies = true;
            }
        }
        if (!varies) include[j] = 0;
    }
}

}  // namespace varnel_core
