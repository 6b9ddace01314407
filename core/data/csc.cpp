#include "data/csc.hpp"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

namespace varnel_core {

std::optional<std::string> csc_problem(std::span<const std::uint64_t> col_ptr,
                                       std::span<const std::uint64_t> row_idx,
                                       std::size_t nvalues, std::size_t nrows, std::size_t ncols) {
    using std::to_string;
    if (ncols == std::numeric_limits<std::size_t>::max() || col_ptr.size() != ncols + 1)
        return "col_ptr has " + to_string(col_ptr.size()) + " entries but p + 1 = " +
               to_string(ncols + 1) + " are needed";
    if (row_idx.size() != nvalues)
        return "row_idx has " + to_string(row_idx.size()) + " entries but values has " +
               to_string(nvalues);
    if (col_ptr[0] != 0)
        return "col_ptr[0] = " + to_string(col_ptr[0]) + " but the first column starts at 0";
    const std::size_t nnz = row_idx.size();
    for (std::size_t j = 0; j <= ncols; ++j) {
        if (col_ptr[j] > nnz)
            return "col_ptr[" + to_string(j) + "] = " + to_string(col_ptr[j]) + " exceeds the " +
                   to_string(nnz) + " stored entries";
        if (j > 0 && col_ptr[j] < col_ptr[j - 1])
            return "col_ptr decreases at index " + to_string(j);
    }
    // Rows in range and distinct within each column, the first offence in
    // storage order reported.  A marker per row holds the last column (plus
    // one) in which the row was seen; when the rows far outnumber the stored
    // entries, each column's (row, position) pairs are sorted instead, so
    // that a hostile n costs no memory of its own.
    auto out_of_range = [&](std::uint64_t k) {
        return "row_idx[" + to_string(k) + "] = " + to_string(row_idx[k]) + " is not below n = " +
               to_string(nrows);
    };
    auto twice = [&](std::uint64_t k, std::size_t j) {
        return "row " + to_string(row_idx[k]) + " is stored twice in column " + to_string(j);
    };
    if (nrows <= 2 * nnz + 64) {
        std::vector<std::size_t> seen(nrows, 0);
        for (std::size_t j = 0; j < ncols; ++j) {
            for (std::uint64_t k = col_ptr[j]; k < col_ptr[j + 1]; ++k) {
                const std::uint64_t i = row_idx[k];
                if (i >= nrows) return out_of_range(k);
                if (seen[i] == j + 1) return twice(k, j);
                seen[i] = j + 1;
            }
        }
        return std::nullopt;
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> rows;
    for (std::size_t j = 0; j < ncols; ++j) {
        rows.clear();
        for (std::uint64_t k = col_ptr[j]; k < col_ptr[j + 1]; ++k) rows.emplace_back(row_idx[k], k);
        std::sort(rows.begin(), rows.end());
        std::uint64_t first = std::numeric_limits<std::uint64_t>::max();  // earliest offence
        bool repeated = false;
        for (std::size_t t = 0; t < rows.size(); ++t) {
            if (rows[t].first >= nrows && rows[t].second < first) first = rows[t].second, repeated = false;
            if (t > 0 && rows[t].first == rows[t - 1].first && rows[t].first < nrows &&
                (t < 2 || rows[t - 2].first != rows[t].first) && rows[t].second < first)
                first = rows[t].second, repeated = true;
        }
        if (first != std::numeric_limits<std::uint64_t>::max())
            return repeated ? twice(first, j) : out_of_range(first);
    }
    return std::nullopt;
}

std::optional<std::string> columns_problem(std::span<const ColumnEntries> columns,
                                           std::size_t nrows) {
    using std::to_string;
    for (std::size_t j = 0; j < columns.size(); ++j) {
        const ColumnEntries& c = columns[j];
        const std::string col = "column " + to_string(j);
        if (c.rows == nullptr && c.values == nullptr) return col + " has neither rows nor values";
        if (c.rows == nullptr && c.count != nrows)
            return col + " has " + to_string(c.count) + " values but n = " + to_string(nrows);
        if (c.count > nrows)
            return col + " has " + to_string(c.count) + " entries but n = " + to_string(nrows);
        if (c.rows == nullptr) continue;
        for (std::size_t e = 0; e < c.count; ++e) {
            if (c.rows[e] >= nrows)
                return col + ": row " + to_string(c.rows[e]) + " is not below n = " + to_string(nrows);
            if (e > 0 && c.rows[e] <= c.rows[e - 1])
                return col + ": row " + to_string(c.rows[e]) + " follows row " +
                       to_string(c.rows[e - 1]) + ", but the rows must ascend";
        }
    }
    return std::nullopt;
}

CscMatrix::CscMatrix(std::span<const ColumnEntries> columns, std::size_t nrows)
    : own_col_ptr_(columns.size() + 1, 0), col_ptr_(own_col_ptr_),
      table_(columns.begin(), columns.end()), nrows_(nrows), ncols_(columns.size()) {
    if (auto problem = columns_problem(columns, nrows))
        throw PreconditionError("malformed columns: " + *problem);
    std::size_t longest_indicator = 0;
    bool full = false;
    for (std::size_t j = 0; j < ncols_; ++j) {
        own_col_ptr_[j + 1] = own_col_ptr_[j] + columns[j].count;
        if (columns[j].values == nullptr)
            longest_indicator = std::max(longest_indicator, columns[j].count);
        full = full || columns[j].rows == nullptr;
    }
    ones_.assign(longest_indicator, 1.0);
    if (full) {
        iota_.resize(nrows);
        for (std::size_t i = 0; i < nrows; ++i) iota_[i] = i;
    }
}

CscMatrix::CscMatrix(Index col_ptr, Index row_idx, Vec values, std::size_t nrows)
    : own_col_ptr_(std::move(col_ptr)), own_row_idx_(std::move(row_idx)),
      own_values_(std::move(values)), col_ptr_(own_col_ptr_), row_idx_(own_row_idx_),
      values_(own_values_), nrows_(nrows), ncols_(col_ptr_.empty() ? 0 : col_ptr_.size() - 1) {
    if (auto problem = csc_problem(col_ptr_, row_idx_, values_.size(), nrows_, ncols_))
        throw PreconditionError("malformed CSC arrays: " + *problem);
}

CscMatrix::CscMatrix(std::span<const std::uint64_t> col_ptr, std::span<const std::uint64_t> row_idx,
                     std::span<const double> values, std::size_t nrows)
    : own_col_ptr_(), col_ptr_(col_ptr), row_idx_(row_idx), values_(values), nrows_(nrows),
      ncols_(col_ptr_.empty() ? 0 : col_ptr_.size() - 1) {
    if (auto problem = csc_problem(col_ptr_, row_idx_, values_.size(), nrows_, ncols_))
        throw PreconditionError("malformed CSC arrays: " + *problem);
}

CscMatrix::CscMatrix(const CscMatrix& other)
    : own_col_ptr_(other.own_col_ptr_), own_row_idx_(other.own_row_idx_),
      own_values_(other.own_values_), col_ptr_(other.col_ptr_), row_idx_(other.row_idx_),
      values_(other.values_), own_columns_(other.own_columns_),
      own_column_index_(other.own_column_index_), table_(other.table_), iota_(other.iota_),
      ones_(other.ones_), nrows_(other.nrows_), ncols_(other.ncols_) {
    if (other.col_ptr_.data() == other.own_col_ptr_.data()) col_ptr_ = own_col_ptr_;
    if (other.row_idx_.data() == other.own_row_idx_.data()) row_idx_ = own_row_idx_;
    if (other.values_.data() == other.own_values_.data()) values_ = own_values_;
    if (!other.rewritten_.empty()) rewritten_.assign(ncols_, nullptr);
    for (std::size_t k = 0; k < own_columns_.size(); ++k)
        rewritten_[own_column_index_[k]] = own_columns_[k].data();
}

CscMatrix& CscMatrix::operator=(const CscMatrix& other) {
    if (this != &other) *this = CscMatrix(other);
    return *this;
}

double* CscMatrix::writable_values_of(std::size_t j) {
    require(j < ncols_, "column index out of range");
    if (table_.empty() && values_.data() == own_values_.data() &&
        own_values_.size() == values_.size())
        return own_values_.data() + col_ptr_[j];  // owned
    if (rewritten_.empty()) rewritten_.assign(ncols_, nullptr);
    if (rewritten_[j] == nullptr && stored(j) > 0) {
        const double* from = given_values_of(j);
        own_columns_.emplace_back(from, from + stored(j));  // (a move keeps each buffer)
        own_column_index_.push_back(j);
        rewritten_[j] = own_columns_.back().data();
    }
    return rewritten_[j];
}

double CscMatrix::at(std::size_t i, std::size_t j) const {
    require(i < nrows_ && j < ncols_, "index out of range");
    const std::uint64_t* r = rows_of(j);
    for (std::size_t e = 0; e < stored(j); ++e)
        if (r[e] == i) return values_of(j)[e];
    return 0.0;
}

double CscMatrix::total(std::span<const double> a, std::span<const double> b) const {
    double s = 0.0;
    for (std::size_t i = 0; i < nrows_; ++i) s += b.empty() ? a[i] : a[i] * b[i];
    return s;
}

namespace {

double centre_of(std::span<const double> centres, std::size_t t) {
    return centres.empty() ? 0.0 : centres[t];
}

}  // namespace

double CscMatrix::dot(std::size_t j, std::span<const double> v, double centre) const {
    check_column(j, v.size());
    const std::uint64_t* r = rows_of(j);
    const double* s = values_of(j);
    double acc = 0.0;
    for (std::size_t e = 0; e < stored(j); ++e) acc += s[e] * v[r[e]];
    return centre == 0.0 ? acc : acc - centre * total(v);
}

double CscMatrix::weighted_dot(std::size_t j, std::span<const double> w,
                               std::span<const double> v, double centre) const {
    check_column(j, std::min(w.size(), v.size()));
    const std::uint64_t* r = rows_of(j);
    const double* s = values_of(j);
    double acc = 0.0;
    for (std::size_t e = 0; e < stored(j); ++e) acc += (s[e] * w[r[e]]) * v[r[e]];
    return centre == 0.0 ? acc : acc - centre * total(w, v);
}

void CscMatrix::axpy(std::size_t j, double a, std::span<double> r, double centre) const {
    check_column(j, r.size());
    const std::uint64_t* rows = rows_of(j);
    const double* s = values_of(j);
    for (std::size_t e = 0; e < stored(j); ++e) r[rows[e]] = r[rows[e]] - s[e] * a;
    if (centre != 0.0)
        for (std::size_t i = 0; i < nrows_; ++i) r[i] = r[i] + a * centre;
}

void CscMatrix::weighted_axpy(std::size_t j, std::span<const double> w, double a,
                              std::span<double> r, double centre) const {
    check_column(j, std::min(w.size(), r.size()));
    const std::uint64_t* rows = rows_of(j);
    const double* s = values_of(j);
    for (std::size_t e = 0; e < stored(j); ++e) {
        const std::uint64_t i = rows[e];
        r[i] = r[i] - (w[i] * a) * s[e];
    }
    if (centre != 0.0)
        for (std::size_t i = 0; i < nrows_; ++i) r[i] = r[i] + (w[i] * a) * centre;
}

ColumnSums CscMatrix::weighted_sums(std::size_t j, std::span<const double> w,
                                    double centre) const {
    check_column(j, w.size());
    const std::uint64_t* r = rows_of(j);
    const double* s = values_of(j);
    ColumnSums out;
    double stored_weight = 0.0;
    for (std::size_t e = 0; e < stored(j); ++e) {
        const double d = s[e] - centre;
        out.sum += w[r[e]] * d;
        out.squares += w[r[e]] * (d * d);
        stored_weight += w[r[e]];
    }
    if (centre != 0.0) {  // the unstored rows hold -centre
        const double unstored = total(w) - stored_weight;
        out.sum -= centre * unstored;
        out.squares += (centre * centre) * unstored;
    }
    return out;
}

void CscMatrix::transpose_times(std::span<const std::size_t> set, std::span<const double> v,
                                std::span<double> out, std::span<const double> centres) const {
    require(out.size() >= set.size(), "one output per column");
    for (std::size_t t = 0; t < set.size(); ++t) out[t] = dot(set[t], v, centre_of(centres, t));
}

void CscMatrix::times(std::span<const std::size_t> set, std::span<const double> b,
                      std::span<double> out, std::span<const double> centres) const {
    require(b.size() >= set.size() && out.size() >= nrows_, "times: vectors of the wrong length");
    std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(nrows_), 0.0);
    double shift = 0.0;
    for (std::size_t t = 0; t < set.size(); ++t) {
        axpy(set[t], -b[t], out);
        shift += b[t] * centre_of(centres, t);
    }
    if (shift != 0.0)
        for (std::size_t i = 0; i < nrows_; ++i) out[i] = out[i] - shift;
}

void CscMatrix::sandwich(std::span<const std::size_t> set, std::span<const double> w,
                         std::span<double> out, std::span<const double> centres) const {
    const std::size_t m = set.size();
    require(out.size() >= checked_size(m, m) && w.size() >= nrows_,
            "sandwich: vectors of the wrong length");
    Vec scattered(nrows_, 0.0);  // w_i x_ia on the rows column a stores
    Vec u(m);                    // sum_i w_i x_ia
    for (std::size_t a = 0; a < m; ++a) u[a] = dot(set[a], w);
    const double weight = centres.empty() ? 0.0 : total(w);
    for (std::size_t a = 0; a < m; ++a) {
        const std::size_t ja = set[a];
        const std::uint64_t* ra = rows_of(ja);
        for (std::size_t e = 0; e < stored(ja); ++e) scattered[ra[e]] = w[ra[e]] * values_of(ja)[e];
        const double ca = centre_of(centres, a);
        for (std::size_t b = a; b < m; ++b) {
            const double cb = centre_of(centres, b);
            double s = dot(set[b], scattered);
            // sum_i w_i (x_ia - c_a)(x_ib - c_b)
            if (ca != 0.0 || cb != 0.0) s = ((s - ca * u[b]) - cb * u[a]) + weight * ca * cb;
            out[a * m + b] = s;
            out[b * m + a] = s;
        }
        for (std::size_t e = 0; e < stored(ja); ++e) scattered[ra[e]] = 0.0;
    }
}

Flags varying_columns(const CscMatrix& x, const Interrupt& interrupt) {
    Flags include(x.cols(), 0);
    for (std::size_t j = 0; j < x.cols(); ++j) {
        interrupt.tick(x.stored(j));
        const std::size_t nnz = x.stored(j);
        const double* s = x.values_of(j);
        if (nnz == 0) continue;  // all zeros
        // implicit zeros: varies iff a stored value differs from 0
        const double f = nnz < x.rows() ? 0.0 : s[0];
        for (std::size_t e = 0; e < nnz; ++e) {
            if (s[e] != f) {
                include[j] = 1;
                break;
            }
        }
    }
    return include;
}

void clear_weighted_constants(const CscMatrix& x, std::span<const double> w, Flags& include,
                              const Interrupt& interrupt) {
    require(w.size() == x.rows() && include.size() == x.cols(), "weights or flags of the wrong length");
    std::size_t npos = 0;
    for (double wi : w) npos += wi > 0.0;
    for (std::size_t j = 0; j < x.cols(); ++j) {
        if (!include[j]) continue;
        interrupt.tick(x.stored(j));
        const std::uint64_t* r = x.rows_of(j);
        const double* s = x.values_of(j);
        std::size_t kpos = 0;
        bool nonzero = false, differ = false, have_first = false;
        double f = 0.0;
        for (std::size_t e = 0; e < x.stored(j); ++e) {
            if (!(w[r[e]] > 0.0)) continue;
            ++kpos;
            nonzero = nonzero || s[e] != 0.0;
            if (!have_first) {
                f = s[e];
                have_first = true;
            } else if (s[e] != f) {
                differ = true;
            }
        }
        // With an implicit zero on some weighted row the column varies iff a
        // weighted stored value is nonzero; otherwise iff two of them differ.
        const bool varies = kpos < npos ? nonzero : differ;
        if (!varies) include[j] = 0;
    }
}

}  // namespace varnel_core
