#include "designs/matrix.hpp"

#include <algorithm>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnel_core {

double dot4(const double* a, const double* b, std::size_t n) noexcept {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    const std::size_t n4 = n - n % 4;
    std::size_t i = 0;
    for (; i < n4; i += 4) {
        s0 += a[i] * b[i];
        s1 += a[i + 1] * b[i + 1];
        s2 += a[i + 2] * b[i + 2];
        s3 += a[i + 3] * b[i + 3];
    }
    double total = (s3 + s2) + (s0 + s1);
    for (; i < n; ++i) total += a[i] * b[i];
    return total;
}

double wdot4(std::span<const double> a, std::span<const double> b, std::span<const double> c) {
    require(a.size() >= b.size() && c.size() >= b.size(), "wdot4: a and c shorter than b");
    const std::size_t n = b.size();
    const double* pa = a.data();
    const double* pb = b.data();
    const double* pc = c.data();
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    const std::size_t n4 = n - n % 4;
    std::size_t i = 0;
    for (; i < n4; i += 4) {
        s0 += (pa[i] * pb[i]) * pc[i];
        s1 += (pa[i + 1] * pb[i + 1]) * pc[i + 1];
        s2 += (pa[i + 2] * pb[i + 2]) * pc[i + 2];
        s3 += (pa[i + 3] * pb[i + 3]) * pc[i + 3];
    }
    double total = (s3 + s2) + (s1 + s0);
    for (; i < n; ++i) total += (pa[i] * pb[i]) * pc[i];
    return total;
}

void sub_scaled(double* r, const double* x, double delta, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) r[i] = r[i] - x[i] * delta;
}

void sub_weighted_scaled(double* r, const double* w, const double* x, double delta,
                         std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) r[i] = r[i] - (w[i] * delta) * x[i];
}

// The four partial sums of dot4 are the lanes of two 128-bit accumulators,
// lo = (s0, s1) and hi = (s2, s3); products and sums are separate IEEE
// operations (no contraction), so the vector code gives the scalar bits.
namespace {

inline double finish4(double s0, double s1, double s2, double s3, const double* a, const double* b,
                      std::size_t from, std::size_t n) noexcept {
    double total = (s3 + s2) + (s0 + s1);
    for (std::size_t i = from; i < n; ++i) total += a[i] * b[i];
    return total;
}

#if defined(__SSE2__)
inline double finish_vec(__m128d lo, __m128d hi, const double* a, const double* b,
                         std::size_t from, std::size_t n) noexcept {
    alignas(16) double l[2], h[2];
    _mm_store_pd(l, lo);
    _mm_store_pd(h, hi);
    return finish4(l[0], l[1], h[0], h[1], a, b, from, n);
}
#endif

}  // namespace

void dot4_batch(const double* const* cols, std::size_t ncols, const double* v, std::size_t n,
                double* out) noexcept {
    const std::size_t n4 = n - n % 4;
#if defined(__SSE2__)
    if (ncols == 4) {
        __m128d lo[4], hi[4];
        for (int c = 0; c < 4; ++c) lo[c] = hi[c] = _mm_setzero_pd();
        for (std::size_t i = 0; i < n4; i += 4) {
            const __m128d v0 = _mm_loadu_pd(v + i), v1 = _mm_loadu_pd(v + i + 2);
            for (int c = 0; c < 4; ++c) {
                lo[c] = _mm_add_pd(lo[c], _mm_mul_pd(_mm_loadu_pd(cols[c] + i), v0));
                hi[c] = _mm_add_pd(hi[c], _mm_mul_pd(_mm_loadu_pd(cols[c] + i + 2), v1));
            }
        }
        for (int c = 0; c < 4; ++c) out[c] = finish_vec(lo[c], hi[c], cols[c], v, n4, n);
        return;
    }
#endif
    for (std::size_t c = 0; c < ncols; ++c) out[c] = dot4(cols[c], v, n);
}

void wsumsq4_batch(const double* v, const double* const* cols, std::size_t ncols, std::size_t n,
                   double* out) noexcept {
#if defined(__SSE2__)
    if (ncols == 4) {
        const std::size_t n4 = n - n % 4;
        __m128d lo[4], hi[4];
        for (int c = 0; c < 4; ++c) lo[c] = hi[c] = _mm_setzero_pd();
        for (std::size_t i = 0; i < n4; i += 4) {
            const __m128d v0 = _mm_loadu_pd(v + i), v1 = _mm_loadu_pd(v + i + 2);
            for (int c = 0; c < 4; ++c) {
                const __m128d x0 = _mm_loadu_pd(cols[c] + i), x1 = _mm_loadu_pd(cols[c] + i + 2);
                lo[c] = _mm_add_pd(lo[c], _mm_mul_pd(_mm_mul_pd(v0, x0), x0));  // (v x) x
                hi[c] = _mm_add_pd(hi[c], _mm_mul_pd(_mm_mul_pd(v1, x1), x1));
            }
        }
        for (int c = 0; c < 4; ++c) {
            alignas(16) double l[2], h[2];
            _mm_store_pd(l, lo[c]);
            _mm_store_pd(h, hi[c]);
            double total = (h[1] + h[0]) + (l[1] + l[0]);
            for (std::size_t i = n4; i < n; ++i) total += (v[i] * cols[c][i]) * cols[c][i];
            out[c] = total;
        }
        return;
    }
#endif
    for (std::size_t c = 0; c < ncols; ++c)
        out[c] = wdot4(std::span<const double>(v, n), std::span<const double>(cols[c], n),
                       std::span<const double>(cols[c], n));
}

double sub_scaled_dot4(double* r, const double* x, double delta, const double* next,
                       std::size_t n) noexcept {
    const std::size_t n4 = n - n % 4;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128d d = _mm_set1_pd(delta);
    __m128d lo = _mm_setzero_pd(), hi = _mm_setzero_pd();
    for (; i < n4; i += 4) {
        const __m128d r0 = _mm_sub_pd(_mm_loadu_pd(r + i), _mm_mul_pd(_mm_loadu_pd(x + i), d));
        const __m128d r1 = _mm_sub_pd(_mm_loadu_pd(r + i + 2), _mm_mul_pd(_mm_loadu_pd(x + i + 2), d));
        _mm_storeu_pd(r + i, r0);
        _mm_storeu_pd(r + i + 2, r1);
        lo = _mm_add_pd(lo, _mm_mul_pd(_mm_loadu_pd(next + i), r0));
        hi = _mm_add_pd(hi, _mm_mul_pd(_mm_loadu_pd(next + i + 2), r1));
    }
    for (std::size_t t = i; t < n; ++t) r[t] = r[t] - x[t] * delta;
    return finish_vec(lo, hi, next, r, i, n);
#else
    sub_scaled(r, x, delta, n);
    return dot4(next, r, n);
#endif
}

double sub_weighted_scaled_dot4(double* r, const double* w, const double* x, double delta,
                                const double* next, std::size_t n) noexcept {
    const std::size_t n4 = n - n % 4;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128d d = _mm_set1_pd(delta);
    __m128d lo = _mm_setzero_pd(), hi = _mm_setzero_pd();
    for (; i < n4; i += 4) {
        const __m128d w0 = _mm_mul_pd(_mm_loadu_pd(w + i), d);
        const __m128d w1 = _mm_mul_pd(_mm_loadu_pd(w + i + 2), d);
        const __m128d r0 = _mm_sub_pd(_mm_loadu_pd(r + i), _mm_mul_pd(w0, _mm_loadu_pd(x + i)));
        const __m128d r1 = _mm_sub_pd(_mm_loadu_pd(r + i + 2), _mm_mul_pd(w1, _mm_loadu_pd(x + i + 2)));
        _mm_storeu_pd(r + i, r0);
        _mm_storeu_pd(r + i + 2, r1);
        lo = _mm_add_pd(lo, _mm_mul_pd(_mm_loadu_pd(next + i), r0));
        hi = _mm_add_pd(hi, _mm_mul_pd(_mm_loadu_pd(next + i + 2), r1));
    }
    for (std::size_t t = i; t < n; ++t) r[t] = r[t] - (w[t] * delta) * x[t];
    return finish_vec(lo, hi, next, r, i, n);
#else
    sub_weighted_scaled(r, w, x, delta, n);
    return dot4(next, r, n);
#endif
}

Dense::Dense(Vec values, std::size_t rows, std::size_t cols)
    : data(std::move(values)), nrows(rows), ncols(cols) {
    require(cols == 0 || rows <= std::numeric_limits<std::size_t>::max() / cols,
            "matrix dimensions overflow");
    require(data.size() == rows * cols, "matrix data length differs from nrows * ncols");
}

Sparse::Sparse(Index cp, Index ri, Vec vals, Vec nw, Vec xm, Vec xs, std::size_t rows,
               std::size_t cols)
    : col_ptr(std::move(cp)), row_idx(std::move(ri)), values(std::move(vals)),
      norm_weights(std::move(nw)), x_mean(std::move(xm)), x_scale(std::move(xs)), nrows(rows),
      ncols(cols) {
    require(!csc_problem(col_ptr, row_idx, values.size(), nrows, ncols), "malformed CSC arrays");
    require(norm_weights.size() == nrows, "weights length differs from nrows");
    require(x_mean.size() == ncols && x_scale.size() == ncols, "column statistics length differs from ncols");
    double total = 0.0;
    for (const double w : norm_weights) total += w;
    for (std::size_t j = 0; j < ncols; ++j) {
        if (col_ptr[j + 1] - col_ptr[j] != nrows || x_mean[j] == 0.0) continue;
        // Every row stored: centre the values themselves, then once more by
        // their weighted mean, which the rounding of a large x_mean leaves
        // (the gradient relies on sum_i w_i z_ij = 0).
        double drift = 0.0;
        for (std::uint64_t k = col_ptr[j]; k < col_ptr[j + 1]; ++k) {
            values[k] = values[k] - x_mean[j];
            drift += norm_weights[row_idx[k]] * values[k];
        }
        drift /= total;
        for (std::uint64_t k = col_ptr[j]; k < col_ptr[j + 1]; ++k) values[k] = values[k] - drift;
        x_mean[j] = 0.0;
    }
    weighted_values.resize(values.size());
    for (std::size_t k = 0; k < values.size(); ++k)
        weighted_values[k] = values[k] * norm_weights[row_idx[k]];
}

double Sparse::grad(std::size_t j, std::span<const double> r, double shift) const {
    require(j < ncols, "column index out of range");
    require(r.size() >= nrows, "residual shorter than the column");
    const std::uint64_t* rows = row_idx.data();
    const double* vw = weighted_values.data();
    double acc = 0.0;
    for (std::uint64_t k = col_ptr[j]; k < col_ptr[j + 1]; ++k)
        acc += (r[rows[k]] + shift) * vw[k];  // (r_i + shift) * (x_ij * w_i)
    return acc / x_scale[j];
}

void Sparse::grad_batch(std::span<const std::size_t> js, std::span<const double> r, double shift,
                        double* out) const {
    require(js.size() <= 4, "grad_batch takes at most four columns");
    if (js.size() < 4) {
        for (std::size_t c = 0; c < js.size(); ++c) out[c] = grad(js[c], r, shift);
        return;
    }
    require(r.size() >= nrows, "residual shorter than the column");
    const std::uint64_t* rows = row_idx.data();
    const double* vw = weighted_values.data();
    std::uint64_t k[4], end[4];
    std::uint64_t common = std::numeric_limits<std::uint64_t>::max();
    for (std::size_t c = 0; c < 4; ++c) {
        require(js[c] < ncols, "column index out of range");
        k[c] = col_ptr[js[c]];
        end[c] = col_ptr[js[c] + 1];
        common = std::min(common, end[c] - k[c]);
    }
    double acc[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::uint64_t t = 0; t < common; ++t) {
        for (std::size_t c = 0; c < 4; ++c) {
            acc[c] += (r[rows[k[c]]] + shift) * vw[k[c]];
            ++k[c];
        }
    }
    for (std::size_t c = 0; c < 4; ++c) {
        for (; k[c] < end[c]; ++k[c]) acc[c] += (r[rows[k[c]]] + shift) * vw[k[c]];
        out[c] = acc[c] / x_scale[js[c]];
    }
}

void Sparse::update_residual(std::size_t j, double delta, std::span<double> r, double& shift) const {
    require(j < ncols, "column index out of range");
    require(r.size() >= nrows, "residual shorter than the column");
    const double d = delta / x_scale[j];
    const std::uint64_t* rows = row_idx.data();
    const double* v = values.data();
    for (std::uint64_t k = col_ptr[j]; k < col_ptr[j + 1]; ++k) {
        const std::uint64_t i = rows[k];
        r[i] = r[i] - v[k] * d;  // stored rows: r -= x_ij * d
    }
    shift = d * x_mean[j] + shift;  // every row: the centring term -(-x_mean_j * d)
}

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
    const std::size_t nnz = row_idx.size();
    for (std::size_t j = 0; j <= ncols; ++j) {
        if (col_ptr[j] > nnz)
            return "col_ptr[" + to_string(j) + "] = " + to_string(col_ptr[j]) + " exceeds the " +
                   to_string(nnz) + " stored entries";
        if (j > 0 && col_ptr[j] < col_ptr[j - 1])
            return "col_ptr decreases at index " + to_string(j);
    }
    // Rows in range and distinct within each column: a marker per row holds
    // the last column (plus one) in which the row was seen.
    std::vector<std::size_t> seen(nrows, 0);
    for (std::size_t j = 0; j < ncols; ++j) {
        for (std::uint64_t k = col_ptr[j]; k < col_ptr[j + 1]; ++k) {
            const std::uint64_t i = row_idx[k];
            if (i >= nrows)
                return "row_idx[" + to_string(k) + "] = " + to_string(i) + " is not below n = " +
                       to_string(nrows);
            if (seen[i] == j + 1)
                return "row " + to_string(i) + " is stored twice in column " + to_string(j);
            seen[i] = j + 1;
        }
    }
    return std::nullopt;
}

Flags chkvars_sparse(std::span<const std::uint64_t> col_ptr, std::span<const double> values,
                     std::size_t nrows) {
    require(!col_ptr.empty(), "col_ptr is empty");
    const std::size_t ncols = col_ptr.size() - 1;
    Flags include(ncols, 0);
    for (std::size_t j = 0; j < ncols; ++j) {
        const std::uint64_t begin = col_ptr[j], end = col_ptr[j + 1];
        require(begin <= end && end <= values.size(), "col_ptr out of range");
        const std::uint64_t nnz = end - begin;
        if (nnz == 0) continue;  // all zeros
        if (nnz < nrows) {
            // implicit zeros: varies iff a stored value differs from 0
            for (std::uint64_t k = begin; k < end; ++k) {
                if (values[k] != 0.0) {
                    include[j] = 1;
                    break;
                }
            }
        } else {
            const double f = values[begin];
            for (std::uint64_t k = begin + 1; k < end; ++k) {
                if (values[k] != f) {
                    include[j] = 1;
                    break;
                }
            }
        }
    }
    return include;
}

void clear_weighted_constants_sparse(std::span<const std::uint64_t> col_ptr,
                                     std::span<const std::uint64_t> row_idx,
                                     std::span<const double> values, std::span<const double> w,
                                     Flags& include) {
    require(col_ptr.size() == include.size() + 1, "flags of the wrong length");
    require(row_idx.size() == values.size(), "row_idx and values differ in length");
    std::size_t npos = 0;
    for (double wi : w) npos += wi > 0.0;
    for (std::size_t j = 0; j < include.size(); ++j) {
        if (!include[j]) continue;
        require(col_ptr[j] <= col_ptr[j + 1] && col_ptr[j + 1] <= row_idx.size(),
                "col_ptr out of range");
        std::size_t kpos = 0;
        bool nonzero = false, differ = false, have_first = false;
        double f = 0.0;
        for (std::uint64_t k = col_ptr[j]; k < col_ptr[j + 1]; ++k) {
            require(row_idx[k] < w.size(), "row index out of range");
            if (!(w[row_idx[k]] > 0.0)) continue;
            ++kpos;
            nonzero = nonzero || values[k] != 0.0;
            if (!have_first) {
                f = values[k];
                have_first = true;
            } else if (values[k] != f) {
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
