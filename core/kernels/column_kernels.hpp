// Column kernels: inner products, residual updates and weighted sums of
// squares over contiguous columns.  Their summation orders are part of the
// results (the naive solvers' bits), so each states its own.
//
// The kernels marked "centred" read a column x about a centre c, as if it
// held x_i - c: the difference is formed value by value, in a register, and
// takes the place of x_i in the uncentred kernel's arithmetic, with the same
// summation order.  With c = 0 they give the uncentred kernel's bits.
#pragma once

#include <cstddef>
#include <span>

namespace varnel_core {

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

// Centred: sum_i (x[i] - c) * v[i] in dot4's order.
double dot4_centred(const double* x, double c, const double* v, std::size_t n) noexcept;

// Centred: r[i] -= (w[i] * delta) * (x[i] - c).
void sub_weighted_scaled_centred(double* r, const double* w, const double* x, double c,
                                 double delta, std::size_t n) noexcept;

// Centred: out[k] = dot4_centred(cols[k], centres[k], v, n), side by side.
void dot4_batch_centred(const double* const* cols, const double* centres, std::size_t ncols,
                        const double* v, std::size_t n, double* out) noexcept;

// Centred: out[k] = sum_i (v[i] * (x_i - c_k)) * (x_i - c_k) for the
// columns cols[k], in wdot4's order, side by side.
void wsumsq4_batch_centred(const double* v, const double* const* cols, const double* centres,
                           std::size_t ncols, std::size_t n, double* out) noexcept;

// Centred: r[i] -= (w[i] * delta) * (x[i] - c), then returns
// dot4_centred(next, c_next, r, n) of the updated r, in one sweep.
double sub_weighted_scaled_dot4_centred(double* r, const double* w, const double* x, double c,
                                        double delta, const double* next, double c_next,
                                        std::size_t n) noexcept;

}  // namespace varnel_core
