#include "kernels/column_kernels.hpp"

#include "base/errors.hpp"

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

}  // namespace varnel_core
