// A design matrix in compressed sparse columns, never densified.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "data/contract.hpp"

namespace varnel_core {

// One column given on its own, read in place: its stored entries' rows and
// values, either of which may be left out.  Without rows the column is
// full (its `count` entries are the rows 0..n-1 in order); without values
// it is an indicator (every stored value 1), as a data frame's numeric and
// categorical columns give.
struct ColumnEntries {
    const std::uint64_t* rows = nullptr;
    const double* values = nullptr;
    std::size_t count = 0;
};

// Describes the first way in which the columns fail to be nrows long with
// rows ascending and below nrows (a column without rows holds nrows
// entries, a column has rows or values or both); nullopt when they do.
std::optional<std::string> columns_problem(std::span<const ColumnEntries> columns,
                                           std::size_t nrows);

// Describes the first way in which the arrays fail to be a CSC matrix of
// nrows x ncols with distinct rows within each column (col_ptr[0] must be
// 0); nullopt when they are one.
std::optional<std::string> csc_problem(std::span<const std::uint64_t> col_ptr,
                                       std::span<const std::uint64_t> row_idx,
                                       std::size_t nvalues, std::size_t nrows, std::size_t ncols);

// The matrix contract on the stored entries of each column (the rows
// between hold 0).  Every sum runs over a column's stored entries in
// storage order, one chain; sandwich pairs the entries of two columns
// through a dense scatter of the first.  About a centre c, the unstored
// rows hold -c: their part enters through sums over all rows (of v, of w,
// of w v), added after the stored entries' sums.
class CscMatrix {
public:
    CscMatrix() = default;
    // The arrays must describe a valid matrix (see csc_problem).  Owned:
    CscMatrix(Index col_ptr, Index row_idx, Vec values, std::size_t nrows);
    // Borrowed: the caller's arrays, read in place (they must outlive this
    // object); a column to be rewritten has its values copied, alone.
    CscMatrix(std::span<const std::uint64_t> col_ptr, std::span<const std::uint64_t> row_idx,
              std::span<const double> values, std::size_t nrows);
    // Borrowed column by column (see ColumnEntries; columns_problem must
    // find nothing): the same matrix as the CSC arrays holding the same
    // entries, read in the same order.
    CscMatrix(std::span<const ColumnEntries> columns, std::size_t nrows);
    CscMatrix(const CscMatrix& other);
    CscMatrix& operator=(const CscMatrix& other);
    CscMatrix(CscMatrix&&) noexcept = default;
    CscMatrix& operator=(CscMatrix&&) noexcept = default;

    std::size_t rows() const { return nrows_; }
    std::size_t cols() const { return ncols_; }

    // Column j's stored entries: rows_of(j)[e], values_of(j)[e], e < stored(j).
    const std::uint64_t* rows_of(std::size_t j) const {
        if (table_.empty()) return row_idx_.data() + col_ptr_[j];
        return table_[j].rows ? table_[j].rows : iota_.data();
    }
    const double* values_of(std::size_t j) const {
        if (!rewritten_.empty() && rewritten_[j] != nullptr) return rewritten_[j];
        return given_values_of(j);
    }
    // Column j's values to be rewritten: a borrowed column is copied first
    // (that column only).
    double* writable_values_of(std::size_t j);
    std::size_t stored(std::size_t j) const { return col_ptr_[j + 1] - col_ptr_[j]; }
    // Index of column j's first stored entry among all of them.
    std::size_t first(std::size_t j) const { return col_ptr_[j]; }
    std::size_t nonzeros() const { return table_.empty() ? values_.size() : col_ptr_[ncols_]; }

    double at(std::size_t i, std::size_t j) const;

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

private:
    const double* given_values_of(std::size_t j) const {
        if (table_.empty()) return values_.data() + col_ptr_[j];
        return table_[j].values ? table_[j].values : ones_.data();
    }
    // sum_i a_i (b_i) over every row
    double total(std::span<const double> a, std::span<const double> b = {}) const;
    void check_column(std::size_t j, std::size_t length) const {
        require(j < ncols_ && length >= nrows_, "column index or vector length out of range");
    }

    Index own_col_ptr_{0};  // owned arrays (empty when borrowed)
    Index own_row_idx_;
    Vec own_values_;
    std::span<const std::uint64_t> col_ptr_{own_col_ptr_};  // the arrays read
    std::span<const std::uint64_t> row_idx_;
    std::span<const double> values_;
    // borrowed values: the copies of the rewritten columns, read in their place
    std::vector<Vec> own_columns_;
    std::vector<std::size_t> own_column_index_;  // the column of each copy
    std::vector<double*> rewritten_;             // per column, its copy or nullptr (empty: none)
    // given column by column (empty: the CSC arrays): each column's arrays,
    // the rows 0..n-1 of the full columns and the values 1 of the indicators
    std::vector<ColumnEntries> table_;
    Index iota_;
    Vec ones_;
    std::size_t nrows_ = 0;
    std::size_t ncols_ = 0;
};

// 1 for every column that varies (a stored value differs from 0 when a row
// is not stored, else from the first stored value), 0 for a constant one.
Flags varying_columns(const CscMatrix& x, const Interrupt& interrupt = {});

// As clear_weighted_constants for a dense matrix: a column that varies only
// on rows of weight 0 counts as constant.
void clear_weighted_constants(const CscMatrix& x, std::span<const double> w, Flags& include,
                              const Interrupt& interrupt = {});

}  // namespace varnel_core
