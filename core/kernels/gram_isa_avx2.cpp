// The Gram kernels for AVX2 with FMA (this file is compiled with -mavx2 -mfma
// on x86-64; elsewhere it provides nothing).
#include "kernels/gram_isa.hpp"

#if defined(__AVX2__) && defined(__FMA__)

#include <immintrin.h>

#include "kernels/gram_tile.hpp"

namespace varnel_core::gram_detail {

namespace {

struct Avx2 {
    using V = __m256d;
    static constexpr std::size_t vl = 4;
    static V zero() { return _mm256_setzero_pd(); }
    static V load(const double* p) { return _mm256_loadu_pd(p); }
    // Lanes [0, m) from p, zeros after.
    static V load_first(const double* p, std::size_t m) {
        const __m256i lanes = _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(m)),
                                                 _mm256_set_epi64x(3, 2, 1, 0));
        return _mm256_maskload_pd(p, lanes);
    }
    static V bcast(const double* p) { return _mm256_broadcast_sd(p); }
    static V fma(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V sqrt(V a) { return _mm256_sqrt_pd(a); }
    static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
};

// (x - centre) * sw: along the rows when X is in C order, four columns at a
// time (the columns of the last, partial group of four come out as zeros)
// with transposes when it is in Fortran order.
void pack(const PackJob& job) {
    if (job.col_stride == 1) {
        pack_along_rows<Avx2>(job);
        return;
    }
    if (job.row_stride != 1) {
        pack_scalar(job, 0, 0);
        return;
    }
    // The vector stores may alias anything: keep what the loops read in locals.
    const std::size_t rows = job.rows, ncols = job.ncols, ldp = job.ldp, cs = job.chunk_stride;
    const double* const sw = job.sw;
    const double* const cen = job.centre + job.j0;
    // Rows k, k + 1 of columns a, b, c, d: x = (a_k a_k+1 | c_k c_k+1) and
    // y = (b_k b_k+1 | d_k d_k+1) by 128-bit loads, centred and weighted;
    // then row k = unpacklo(x, y), row k + 1 = unpackhi(x, y).
    static const double zeros[kMaxPackRows] = {};
    const std::size_t full_k = rows / 2 * 2;
    for (std::size_t c = 0; c < ncols; c += 4) {
        const double* col[4];
        double cv[4];
        for (std::size_t t = 0; t < 4; ++t) {
            const bool real = c + t < ncols;
            col[t] = real ? job.x + static_cast<std::ptrdiff_t>(job.i0) +
                                static_cast<std::ptrdiff_t>(job.j0 + c + t) * job.col_stride
                          : zeros;
            cv[t] = real ? cen[c + t] : 0.0;
        }
        const __m256d cx = _mm256_setr_pd(cv[0], cv[0], cv[2], cv[2]);
        const __m256d cy = _mm256_setr_pd(cv[1], cv[1], cv[3], cv[3]);
        double* chunk = job.dst + c;
        for (std::size_t k0 = 0; k0 < full_k; k0 += kChainRows, chunk += cs) {
            const std::size_t k1 = k0 + kChainRows < full_k ? k0 + kChainRows : full_k;
            double* d = chunk;  // rows k, k + 1 lie in one chunk
            for (std::size_t k = k0; k < k1; k += 2, d += 2 * ldp) {
                const __m256d s = _mm256_broadcast_pd(reinterpret_cast<const __m128d*>(sw + k));
                const __m256d x = _mm256_mul_pd(
                    _mm256_sub_pd(_mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(col[0] + k)),
                                                       _mm_loadu_pd(col[2] + k), 1),
                                  cx),
                    s);
                const __m256d y = _mm256_mul_pd(
                    _mm256_sub_pd(_mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(col[1] + k)),
                                                       _mm_loadu_pd(col[3] + k), 1),
                                  cy),
                    s);
                _mm256_storeu_pd(d, _mm256_unpacklo_pd(x, y));
                _mm256_storeu_pd(d + ldp, _mm256_unpackhi_pd(x, y));
            }
        }
    }
    pack_scalar(job, ncols, full_k);  // the last row when the rows are odd
}

constexpr IsaKernels kTable{Avx2::vl,
                             pack,
                             triangle_chunk<Avx2>,
                             columns_chunk<Avx2>,
                             block_column_sums<Avx2>,
                             block_deviation_sums<Avx2>,
                             square_roots<Avx2>,
                             fma_loop<Avx2>};

}  // namespace

const IsaKernels* avx2_kernels() { return &kTable; }

}  // namespace varnel_core::gram_detail

#else

namespace varnel_core::gram_detail {
const IsaKernels* avx2_kernels() { return nullptr; }
}  // namespace varnel_core::gram_detail

#endif
