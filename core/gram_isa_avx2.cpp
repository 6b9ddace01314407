// The Gram kernels for AVX2 with FMA (this file is compiled with -mavx2 -mfma
// on x86-64; elsewhere it provides nothing).
#include "gram_isa.hpp"

#if defined(__AVX2__) && defined(__FMA__)

#include <immintrin.h>

#include "gram_tile.hpp"

namespace varnel_core::gram_detail {

namespace {

struct Avx2 {
    using V = __m256d;
    static constexpr std::size_t vl = 4;
    static V zero() { return _mm256_setzero_pd(); }
    static V load(const double* p) { return _mm256_loadu_pd(p); }
    static V bcast(const double* p) { return _mm256_broadcast_sd(p); }
    static V fma(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
};

// (x - centre) * sw, four columns at a time: along the rows when X is in C
// order, with 4 x 4 transposes when it is in Fortran order.
void pack(const PackJob& job) {
    const std::size_t full_c = job.ncols / 4 * 4;
    if (job.col_stride == 1) {
        const double* cen = job.centre + job.j0;
        const double* row = job.x + static_cast<std::ptrdiff_t>(job.i0) * job.row_stride +
                            static_cast<std::ptrdiff_t>(job.j0);
        const std::ptrdiff_t rs = job.row_stride;
        for (std::size_t k = 0, rows = job.rows; k < rows; ++k, row += rs) {
            const __m256d s = _mm256_broadcast_sd(job.sw + k);
            double* d = packed_row(job, k);
            for (std::size_t c = 0; c < full_c; c += 4)
                _mm256_storeu_pd(d + c, _mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(row + c),
                                                                    _mm256_loadu_pd(cen + c)),
                                                      s));
        }
        pack_scalar(job, full_c, job.rows);
        return;
    }
    if (job.row_stride != 1) {
        pack_scalar(job, 0, 0);
        return;
    }
    // The vector stores may alias anything: keep what the loops read in locals.
    const std::size_t full_k = job.rows / 4 * 4, ldp = job.ldp, cs = job.chunk_stride;
    const double* const sw = job.sw;
    for (std::size_t c = 0; c < full_c; c += 4) {
        const double* col[4];
        __m256d cen[4];
        for (int t = 0; t < 4; ++t) {
            col[t] = job.x + static_cast<std::ptrdiff_t>(job.i0) +
                     static_cast<std::ptrdiff_t>(job.j0 + c + t) * job.col_stride;
            cen[t] = _mm256_broadcast_sd(job.centre + job.j0 + c + t);
        }
        double* chunk = job.dst + c;
        for (std::size_t k0 = 0; k0 < full_k; k0 += kChainRows, chunk += cs) {
            const std::size_t k1 = k0 + kChainRows < full_k ? k0 + kChainRows : full_k;
            double* d = chunk;  // rows k..k+3 lie in one chunk
            for (std::size_t k = k0; k < k1; k += 4, d += 4 * ldp) {
                const __m256d s = _mm256_loadu_pd(sw + k);
                __m256d r[4];
                for (int t = 0; t < 4; ++t)
                    r[t] = _mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(col[t] + k), cen[t]), s);
                const __m256d t0 = _mm256_unpacklo_pd(r[0], r[1]), t1 = _mm256_unpackhi_pd(r[0], r[1]);
                const __m256d t2 = _mm256_unpacklo_pd(r[2], r[3]), t3 = _mm256_unpackhi_pd(r[2], r[3]);
                _mm256_storeu_pd(d, _mm256_permute2f128_pd(t0, t2, 0x20));
                _mm256_storeu_pd(d + ldp, _mm256_permute2f128_pd(t1, t3, 0x20));
                _mm256_storeu_pd(d + 2 * ldp, _mm256_permute2f128_pd(t0, t2, 0x31));
                _mm256_storeu_pd(d + 3 * ldp, _mm256_permute2f128_pd(t1, t3, 0x31));
            }
        }
    }
    pack_scalar(job, full_c, full_k);
}

constexpr IsaKernels kTable{Avx2::vl, pack, triangle_chunk<Avx2>, columns_chunk<Avx2>};

}  // namespace

const IsaKernels* avx2_kernels() { return &kTable; }

}  // namespace varnel_core::gram_detail

#else

namespace varnel_core::gram_detail {
const IsaKernels* avx2_kernels() { return nullptr; }
}  // namespace varnel_core::gram_detail

#endif
