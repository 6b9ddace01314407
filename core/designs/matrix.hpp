// Design matrices as the solvers see them, and the column kernels whose
// summation order fixes the rounding of every gradient.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fit/options.hpp"
#include "base/errors.hpp"

namespace varnel_core {

using Flags = std::vector<std::uint8_t>;
using Index = std::vector<std::uint64_t>;

// sum_i a[i] * b[i] over n entries: four interleaved partial sums over the
// full groups of four, combined as (s3 + s2) + (s0 + s1), then the remaining
// (< 4) terms added in order.
double dot4(const double* a, const double* b, std::size_t n) noexcept;

// sum_i (a[i] * b[i]) * c[i] for i < b.size(), same scheme, combined as
// (s3 + s2) + (s1 + s0).  a and c must be at least as long as b.
double wdot4(std::span<const double> a, std::span<const double> b, std::span<const double> c);

// r[i] -= x[i] * delta over n entries (product first, then the subtraction).
void sub_scaled(double* r, const double* x, double delta, std::size_t n) noexcept;

// r[i] -= (w[i] * delta) * x[i] over n entries.
void sub_weighted_scaled(double* r, const double* w, const double* x, double delta,
                         std::size_t n) noexcept;

// out[c] = dot4(cols[c], v, n) for c < ncols (at most 4): the same sums
// computed side by side, so that their add chains overlap.
void dot4_batch(const double* const* cols, std::size_t ncols, const double* v, std::size_t n,
                double* out) noexcept;

// out[c] = wdot4(v, cols[c], cols[c]) for c < ncols (at most 4), side by side.
void wsumsq4_batch(const double* v, const double* const* cols, std::size_t ncols, std::size_t n,
                   double* out) noexcept;

// r[i] -= x[i] * delta, then returns dot4(next, r, n) of the updated r; one
// sweep instead of two, with the results of sub_scaled followed by dot4.
double sub_scaled_dot4(double* r, const double* x, double delta, const double* next,
                       std::size_t n) noexcept;

// r[i] -= (w[i] * delta) * x[i], then returns dot4(next, r, n), in one sweep.
double sub_weighted_scaled_dot4(double* r, const double* w, const double* x, double delta,
                                const double* next, std::size_t n) noexcept;

// An owned column-major matrix: element (i, j) at data[j * nrows + i].
struct Dense {
    Vec data;
    std::size_t nrows = 0;
    std::size_t ncols = 0;

    Dense() = default;
    Dense(Vec values, std::size_t rows, std::size_t cols);

    const double* col(std::size_t j) const {
        require(j < ncols, "column index out of range");
        return data.data() + j * nrows;
    }
    double at(std::size_t i, std::size_t j) const { return data[j * nrows + i]; }
    double* col(std::size_t j) {
        require(j < ncols, "column index out of range");
        return data.data() + j * nrows;
    }

    // <x_j, v>, in the fixed four-way order of dot4.
    double dot(std::size_t j, std::span<const double> v) const {
        require(v.size() >= nrows, "vector shorter than the column");
        return dot4(col(j), v.data(), nrows);
    }
    // out[c] = dot(js[c], v) for up to four columns at once.
    void dot_batch(std::span<const std::size_t> js, std::span<const double> v, double* out) const {
        require(js.size() <= 4 && v.size() >= nrows, "dot_batch: bad arguments");
        const double* cols[4];
        for (std::size_t c = 0; c < js.size(); ++c) cols[c] = col(js[c]);
        dot4_batch(cols, js.size(), v.data(), nrows, out);
    }
    void grad_batch(std::span<const std::size_t> js, std::span<const double> r, double /*shift*/,
                    double* out) const {
        dot_batch(js, r, out);
    }
    // update_residual(j, delta) followed by grad(k): r -= delta * x_j; <x_k, r>
    double update_then_grad(std::size_t j, double delta, std::span<double> r, double& /*shift*/,
                            std::size_t k) const {
        require(r.size() >= nrows, "residual shorter than the column");
        return sub_scaled_dot4(r.data(), col(j), delta, col(k), nrows);
    }
    // Negative derivative of half the residual sum of squares in b_j.
    double grad(std::size_t j, std::span<const double> r, double /*shift*/) const {
        return dot(j, r);
    }
    // r -= delta * x_j
    void update_residual(std::size_t j, double delta, std::span<double> r, double& /*shift*/) const {
        require(r.size() >= nrows, "residual shorter than the column");
        sub_scaled(r.data(), col(j), delta, nrows);
    }
};

// Compressed sparse columns; centring, scaling and the observation weights
// are applied implicitly, the residual being r + shift.  A column that
// stores every row holds its values centred instead (its x_mean is then 0),
// so that a large mean never enters the arithmetic.
struct Sparse {
    Index col_ptr;
    Index row_idx;
    Vec values;
    Vec norm_weights;
    Vec x_mean;
    Vec x_scale;
    std::size_t nrows = 0;
    std::size_t ncols = 0;
    Vec weighted_values;  // values[k] * norm_weights[row_idx[k]], formed once

    Sparse(Index col_ptr, Index row_idx, Vec values, Vec norm_weights, Vec x_mean, Vec x_scale,
           std::size_t nrows, std::size_t ncols);

    // sum over stored k of (r_i + shift) * (x_k * w_i), divided by x_scale_j
    double grad(std::size_t j, std::span<const double> r, double shift) const;
    // r_i -= x_k * delta / x_scale_j on stored rows; shift += delta / x_scale_j * x_mean_j
    void update_residual(std::size_t j, double delta, std::span<double> r, double& shift) const;

    // out[c] = grad(js[c], r, shift) for up to four columns, their sums
    // interleaved so that the add chains overlap.
    void grad_batch(std::span<const std::size_t> js, std::span<const double> r, double shift,
                    double* out) const;
    double update_then_grad(std::size_t j, double delta, std::span<double> r, double& shift,
                            std::size_t k) const {
        update_residual(j, delta, r, shift);
        return grad(k, r, shift);
    }
};

// Describes the first way in which the arrays fail to be a CSC matrix of
// nrows x ncols with distinct rows within each column; nullopt when they are.
std::optional<std::string> csc_problem(std::span<const std::uint64_t> col_ptr,
                                       std::span<const std::uint64_t> row_idx,
                                       std::size_t nvalues, std::size_t nrows, std::size_t ncols);

// 1 for every column that varies, 0 for a constant one (a NaN counts as
// varying).  M is any matrix with nrows, ncols and at(i, j).
template <class M>
Flags chkvars(const M& x) {
    Flags include(x.ncols, 0);
    if (x.ncols > 0) require(x.nrows >= 1, "chkvars needs at least one row");
    for (std::size_t j = 0; j < x.ncols; ++j) {
        const double f = x.at(0, j);
        for (std::size_t i = 1; i < x.nrows; ++i) {
            if (x.at(i, j) != f) {
                include[j] = 1;
                break;
            }
        }
    }
    return include;
}
Flags chkvars_sparse(std::span<const std::uint64_t> col_ptr, std::span<const double> values,
                     std::size_t nrows);

// Clears the flag of every included column that is constant on the rows of
// positive weight (its weighted variance is 0), so that it is treated like a
// constant column.
template <class M>
void clear_weighted_constants(const M& x, std::span<const double> w, Flags& include) {
    require(w.size() == x.nrows && include.size() == x.ncols, "weights or flags of the wrong length");
    for (std::size_t j = 0; j < x.ncols; ++j) {
        if (!include[j]) continue;
        bool have_first = false, varies = false;
        double f = 0.0;
        for (std::size_t i = 0; i < x.nrows && !varies; ++i) {
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
void clear_weighted_constants_sparse(std::span<const std::uint64_t> col_ptr,
                                     std::span<const std::uint64_t> row_idx,
                                     std::span<const double> values, std::span<const double> w,
                                     Flags& include);

}  // namespace varnel_core
