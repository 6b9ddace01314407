// The Gram kernels for AVX-512 (this file is compiled with -mavx512f on
// x86-64; elsewhere it provides nothing).
#include "kernels/gram_isa.hpp"

#if defined(__AVX512F__)

#include <immintrin.h>

#include "kernels/gram_tile.hpp"

// GCC 12 reports its own _mm512_undefined_pd() inside the unpack and sqrt
// intrinsics as (maybe) uninitialized.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace varnel_core::gram_detail {

namespace {

struct Avx512 {
    using V = __m512d;
    static constexpr std::size_t vl = 8;
    static V zero() { return _mm512_setzero_pd(); }
    static V load(const double* p) { return _mm512_loadu_pd(p); }
    // Lanes [0, m) from p, zeros after.
    static V load_first(const double* p, std::size_t m) {
        return _mm512_maskz_loadu_pd(static_cast<__mmask8>((1u << m) - 1), p);
    }
    static V bcast(const double* p) { return _mm512_set1_pd(*p); }
    static V fma(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }
    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static V sqrt(V a) { return _mm512_sqrt_pd(a); }
    static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
};

// (x - centre) * sw: along the rows when X is in C order, eight columns at a
// time with 8 x 8 transposes when it is in Fortran order.
void pack(const PackJob& job) {
    const std::size_t full_c = job.ncols / 8 * 8;
    if (job.col_stride == 1) {
        pack_along_rows<Avx512>(job);
        return;
    }
    if (job.row_stride != 1) {
        pack_scalar(job, 0, 0);
        return;
    }
    const std::size_t full_k = job.rows / 8 * 8;
    for (std::size_t c = 0; c < full_c; c += 8) {
        const double* col[8];
        __m512d cen[8];
        for (int t = 0; t < 8; ++t) {
            col[t] = job.x + static_cast<std::ptrdiff_t>(job.i0) +
                     static_cast<std::ptrdiff_t>(job.j0 + c + t) * job.col_stride;
            cen[t] = _mm512_set1_pd(job.centre[job.j0 + c + t]);
        }
        for (std::size_t k = 0; k < full_k; k += 8) {
            const __m512d s = _mm512_loadu_pd(job.sw + k);
            __m512d r[8];
#pragma GCC unroll 8
            for (int t = 0; t < 8; ++t)
                r[t] = _mm512_mul_pd(_mm512_sub_pd(_mm512_loadu_pd(col[t] + k), cen[t]), s);
            // 8 x 8 transpose: r[t] holds column t of rows k..k+7.
            __m512d u[8], v[8];
#pragma GCC unroll 4
            for (int t = 0; t < 4; ++t) {
                u[2 * t] = _mm512_unpacklo_pd(r[2 * t], r[2 * t + 1]);
                u[2 * t + 1] = _mm512_unpackhi_pd(r[2 * t], r[2 * t + 1]);
            }
            v[0] = _mm512_shuffle_f64x2(u[0], u[2], _MM_SHUFFLE(2, 0, 2, 0));
            v[1] = _mm512_shuffle_f64x2(u[0], u[2], _MM_SHUFFLE(3, 1, 3, 1));
            v[2] = _mm512_shuffle_f64x2(u[1], u[3], _MM_SHUFFLE(2, 0, 2, 0));
            v[3] = _mm512_shuffle_f64x2(u[1], u[3], _MM_SHUFFLE(3, 1, 3, 1));
            v[4] = _mm512_shuffle_f64x2(u[4], u[6], _MM_SHUFFLE(2, 0, 2, 0));
            v[5] = _mm512_shuffle_f64x2(u[4], u[6], _MM_SHUFFLE(3, 1, 3, 1));
            v[6] = _mm512_shuffle_f64x2(u[5], u[7], _MM_SHUFFLE(2, 0, 2, 0));
            v[7] = _mm512_shuffle_f64x2(u[5], u[7], _MM_SHUFFLE(3, 1, 3, 1));
            double* d = packed_row(job, k) + c;  // rows k..k+7 lie in one chunk
            const std::size_t l = job.ldp;
            _mm512_storeu_pd(d + 0 * l, _mm512_shuffle_f64x2(v[0], v[4], _MM_SHUFFLE(2, 0, 2, 0)));
            _mm512_storeu_pd(d + 4 * l, _mm512_shuffle_f64x2(v[0], v[4], _MM_SHUFFLE(3, 1, 3, 1)));
            _mm512_storeu_pd(d + 2 * l, _mm512_shuffle_f64x2(v[1], v[5], _MM_SHUFFLE(2, 0, 2, 0)));
            _mm512_storeu_pd(d + 6 * l, _mm512_shuffle_f64x2(v[1], v[5], _MM_SHUFFLE(3, 1, 3, 1)));
            _mm512_storeu_pd(d + 1 * l, _mm512_shuffle_f64x2(v[2], v[6], _MM_SHUFFLE(2, 0, 2, 0)));
            _mm512_storeu_pd(d + 5 * l, _mm512_shuffle_f64x2(v[2], v[6], _MM_SHUFFLE(3, 1, 3, 1)));
            _mm512_storeu_pd(d + 3 * l, _mm512_shuffle_f64x2(v[3], v[7], _MM_SHUFFLE(2, 0, 2, 0)));
            _mm512_storeu_pd(d + 7 * l, _mm512_shuffle_f64x2(v[3], v[7], _MM_SHUFFLE(3, 1, 3, 1)));
        }
    }
    pack_scalar(job, full_c, full_k);
}

constexpr IsaKernels kTable{Avx512::vl,
                             pack,
                             triangle_chunk<Avx512>,
                             columns_chunk<Avx512>,
                             block_column_sums<Avx512>,
                             block_deviation_sums<Avx512>,
                             square_roots<Avx512>,
                             fma_loop<Avx512>};

}  // namespace

const IsaKernels* avx512_kernels() { return &kTable; }

}  // namespace varnel_core::gram_detail

#pragma GCC diagnostic pop

#else

namespace varnel_core::gram_detail {
const IsaKernels* avx512_kernels() { return nullptr; }
}  // namespace varnel_core::gram_detail

#endif
