#include "kernels/column_kernels.hpp"

#include "base/errors.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnel_core {

namespace {

// Value i of a column, about centre c when the kernel is centred: the
// uncentred and centred kernels share one body, and with C false no
// subtraction is made at all.
template <bool C>
inline double at(const double* x, std::size_t i, double c) noexcept {
    if constexpr (C) return x[i] - c;
    else return x[i];
}

template <bool C>
double dot4_impl(const double* a, double c, const double* b, std::size_t n) noexcept {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    const std::size_t n4 = n - n % 4;
    std::size_t i = 0;
    for (; i < n4; i += 4) {
        s0 += at<C>(a, i, c) * b[i];
        s1 += at<C>(a, i + 1, c) * b[i + 1];
        s2 += at<C>(a, i + 2, c) * b[i + 2];
        s3 += at<C>(a, i + 3, c) * b[i + 3];
    }
    double total = (s3 + s2) + (s0 + s1);
    for (; i < n; ++i) total += at<C>(a, i, c) * b[i];
    return total;
}

template <bool C>
void sub_weighted_scaled_impl(double* r, const double* w, const double* x, double c,
                              double delta, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) r[i] = r[i] - (w[i] * delta) * at<C>(x, i, c);
}

// (v x) x over n entries in wdot4's order, x about c.
template <bool C>
double wsumsq4(const double* v, const double* x, double c, std::size_t n) noexcept {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    const std::size_t n4 = n - n % 4;
    std::size_t i = 0;
    auto term = [&](std::size_t t) {
        const double d = at<C>(x, t, c);
        return (v[t] * d) * d;
    };
    for (; i < n4; i += 4) {
        s0 += term(i);
        s1 += term(i + 1);
        s2 += term(i + 2);
        s3 += term(i + 3);
    }
    double total = (s3 + s2) + (s1 + s0);
    for (; i < n; ++i) total += term(i);
    return total;
}

// The four partial sums of dot4 are the lanes of two 128-bit accumulators,
// lo = (s0, s1) and hi = (s2, s3); products and sums are separate IEEE
// operations (no contraction), so the vector code gives the scalar bits.
#if defined(__SSE2__)
template <bool C>
inline __m128d load(const double* x, std::size_t i, __m128d c) noexcept {
    if constexpr (C) return _mm_sub_pd(_mm_loadu_pd(x + i), c);
    else return _mm_loadu_pd(x + i);
}

// (s3 + s2) + (s0 + s1), then the tail terms a_i * b_i in order.
template <bool C>
inline double finish_vec(__m128d lo, __m128d hi, const double* a, double c, const double* b,
                         std::size_t from, std::size_t n) noexcept {
    alignas(16) double l[2], h[2];
    _mm_store_pd(l, lo);
    _mm_store_pd(h, hi);
    double total = (h[1] + h[0]) + (l[0] + l[1]);
    for (std::size_t i = from; i < n; ++i) total += at<C>(a, i, c) * b[i];
    return total;
}
#endif

template <bool C>
void dot4_batch_impl(const double* const* cols, const double* centres, std::size_t ncols,
                     const double* v, std::size_t n, double* out) noexcept {
    auto centre = [&](std::size_t k) { return C ? centres[k] : 0.0; };
#if defined(__SSE2__)
    if (ncols == 4) {
        const std::size_t n4 = n - n % 4;
        __m128d lo[4], hi[4], cc[4];
        for (int k = 0; k < 4; ++k) {
            lo[k] = hi[k] = _mm_setzero_pd();
            cc[k] = _mm_set1_pd(centre(k));
        }
        for (std::size_t i = 0; i < n4; i += 4) {
            const __m128d v0 = _mm_loadu_pd(v + i), v1 = _mm_loadu_pd(v + i + 2);
            for (int k = 0; k < 4; ++k) {
                lo[k] = _mm_add_pd(lo[k], _mm_mul_pd(load<C>(cols[k], i, cc[k]), v0));
                hi[k] = _mm_add_pd(hi[k], _mm_mul_pd(load<C>(cols[k], i + 2, cc[k]), v1));
            }
        }
        for (int k = 0; k < 4; ++k) out[k] = finish_vec<C>(lo[k], hi[k], cols[k], centre(k), v, n4, n);
        return;
    }
#endif
    for (std::size_t k = 0; k < ncols; ++k) out[k] = dot4_impl<C>(cols[k], centre(k), v, n);
}

template <bool C>
void wsumsq4_batch_impl(const double* v, const double* const* cols, const double* centres,
                        std::size_t ncols, std::size_t n, double* out) noexcept {
    auto centre = [&](std::size_t k) { return C ? centres[k] : 0.0; };
#if defined(__SSE2__)
    if (ncols == 4) {
        const std::size_t n4 = n - n % 4;
        __m128d lo[4], hi[4], cc[4];
        for (int k = 0; k < 4; ++k) {
            lo[k] = hi[k] = _mm_setzero_pd();
            cc[k] = _mm_set1_pd(centre(k));
        }
        for (std::size_t i = 0; i < n4; i += 4) {
            const __m128d v0 = _mm_loadu_pd(v + i), v1 = _mm_loadu_pd(v + i + 2);
            for (int k = 0; k < 4; ++k) {
                const __m128d x0 = load<C>(cols[k], i, cc[k]), x1 = load<C>(cols[k], i + 2, cc[k]);
                lo[k] = _mm_add_pd(lo[k], _mm_mul_pd(_mm_mul_pd(v0, x0), x0));  // (v x) x
                hi[k] = _mm_add_pd(hi[k], _mm_mul_pd(_mm_mul_pd(v1, x1), x1));
            }
        }
        for (int k = 0; k < 4; ++k) {
            alignas(16) double l[2], h[2];
            _mm_store_pd(l, lo[k]);
            _mm_store_pd(h, hi[k]);
            double total = (h[1] + h[0]) + (l[1] + l[0]);
            for (std::size_t i = n4; i < n; ++i) {
                const double d = at<C>(cols[k], i, centre(k));
                total += (v[i] * d) * d;
            }
            out[k] = total;
        }
        return;
    }
#endif
    for (std::size_t k = 0; k < ncols; ++k) out[k] = wsumsq4<C>(v, cols[k], centre(k), n);
}

template <bool C>
double sub_weighted_scaled_dot4_impl(double* r, const double* w, const double* x, double c,
                                     double delta, const double* next, double c_next,
                                     std::size_t n) noexcept {
#if defined(__SSE2__)
    const std::size_t n4 = n - n % 4;
    std::size_t i = 0;
    const __m128d d = _mm_set1_pd(delta), cx = _mm_set1_pd(c), cn = _mm_set1_pd(c_next);
    __m128d lo = _mm_setzero_pd(), hi = _mm_setzero_pd();
    for (; i < n4; i += 4) {
        const __m128d w0 = _mm_mul_pd(_mm_loadu_pd(w + i), d);
        const __m128d w1 = _mm_mul_pd(_mm_loadu_pd(w + i + 2), d);
        const __m128d r0 = _mm_sub_pd(_mm_loadu_pd(r + i), _mm_mul_pd(w0, load<C>(x, i, cx)));
        const __m128d r1 = _mm_sub_pd(_mm_loadu_pd(r + i + 2), _mm_mul_pd(w1, load<C>(x, i + 2, cx)));
        _mm_storeu_pd(r + i, r0);
        _mm_storeu_pd(r + i + 2, r1);
        lo = _mm_add_pd(lo, _mm_mul_pd(load<C>(next, i, cn), r0));
        hi = _mm_add_pd(hi, _mm_mul_pd(load<C>(next, i + 2, cn), r1));
    }
    for (std::size_t t = i; t < n; ++t) r[t] = r[t] - (w[t] * delta) * at<C>(x, t, c);
    return finish_vec<C>(lo, hi, next, c_next, r, i, n);
#else
    sub_weighted_scaled_impl<C>(r, w, x, c, delta, n);
    return dot4_impl<C>(next, c_next, r, n);
#endif
}

}  // namespace

double dot4(const double* a, const double* b, std::size_t n) noexcept {
    return dot4_impl<false>(a, 0.0, b, n);
}

double dot4_centred(const double* x, double c, const double* v, std::size_t n) noexcept {
    return dot4_impl<true>(x, c, v, n);
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
    sub_weighted_scaled_impl<false>(r, w, x, 0.0, delta, n);
}

void sub_weighted_scaled_centred(double* r, const double* w, const double* x, double c,
                                 double delta, std::size_t n) noexcept {
    sub_weighted_scaled_impl<true>(r, w, x, c, delta, n);
}

void dot4_batch(const double* const* cols, std::size_t ncols, const double* v, std::size_t n,
                double* out) noexcept {
    dot4_batch_impl<false>(cols, nullptr, ncols, v, n, out);
}

void dot4_batch_centred(const double* const* cols, const double* centres, std::size_t ncols,
                        const double* v, std::size_t n, double* out) noexcept {
    dot4_batch_impl<true>(cols, centres, ncols, v, n, out);
}

void wsumsq4_batch(const double* v, const double* const* cols, std::size_t ncols, std::size_t n,
                   double* out) noexcept {
    wsumsq4_batch_impl<false>(v, cols, nullptr, ncols, n, out);
}

void wsumsq4_batch_centred(const double* v, const double* const* cols, const double* centres,
                           std::size_t ncols, std::size_t n, double* out) noexcept {
    wsumsq4_batch_impl<true>(v, cols, centres, ncols, n, out);
}

double sub_scaled_dot4(double* r, const double* x, double delta, const double* next,
                       std::size_t n) noexcept {
    const std::size_t n4 = n - n % 4;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128d d = _mm_set1_pd(delta), none = _mm_setzero_pd();
    __m128d lo = _mm_setzero_pd(), hi = _mm_setzero_pd();
    for (; i < n4; i += 4) {
        const __m128d r0 = _mm_sub_pd(_mm_loadu_pd(r + i), _mm_mul_pd(_mm_loadu_pd(x + i), d));
        const __m128d r1 = _mm_sub_pd(_mm_loadu_pd(r + i + 2), _mm_mul_pd(_mm_loadu_pd(x + i + 2), d));
        _mm_storeu_pd(r + i, r0);
        _mm_storeu_pd(r + i + 2, r1);
        lo = _mm_add_pd(lo, _mm_mul_pd(load<false>(next, i, none), r0));
        hi = _mm_add_pd(hi, _mm_mul_pd(load<false>(next, i + 2, none), r1));
    }
    for (std::size_t t = i; t < n; ++t) r[t] = r[t] - x[t] * delta;
    return finish_vec<false>(lo, hi, next, 0.0, r, i, n);
#else
    sub_scaled(r, x, delta, n);
    return dot4(next, r, n);
#endif
}

double sub_weighted_scaled_dot4(double* r, const double* w, const double* x, double delta,
                                const double* next, std::size_t n) noexcept {
    return sub_weighted_scaled_dot4_impl<false>(r, w, x, 0.0, delta, next, 0.0, n);
}

double sub_weighted_scaled_dot4_centred(double* r, const double* w, const double* x, double c,
                                        double delta, const double* next, double c_next,
                                        std::size_t n) noexcept {
    return sub_weighted_scaled_dot4_impl<true>(r, w, x, c, delta, next, c_next, n);
}

}  // namespace varnel_core
