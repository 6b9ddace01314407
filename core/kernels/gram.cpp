#include "kernels/gram.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "base/errors.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#define VARNEL_GRAM_X86 1
#include <immintrin.h>
#endif
// Plain loops compiled also for wider vectors and picked at load time (the
// same IEEE operations in the same order, so the same bits).
#if defined(VARNEL_GRAM_X86) && defined(__linux__) && !defined(__clang__)
#define VARNEL_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define VARNEL_CLONES
#endif

namespace varnel_core {

namespace {

constexpr std::size_t KC = gram_row_block;

// A zero-filled buffer of doubles on a 64-byte boundary (whole cache lines
// for the packed panels and the result tiles).  A buffer given a slot reuses
// that slot's memory from the thread's earlier calls (up to kKeepBytes), so
// that repeated calls do not pay fresh pages for their panels.
constexpr std::size_t kKeepBytes = 4u << 20;

class Buffer {
    struct Free {
        void operator()(double* p) const { ::operator delete[](p, std::align_val_t{64}); }
    };
    using Owned = std::unique_ptr<double[], Free>;
    struct Kept {
        Owned p;
        std::size_t cap = 0;
    };
    static Owned allocate(std::size_t n) {
        return Owned(static_cast<double*>(::operator new[](n * sizeof(double), std::align_val_t{64})));
    }

public:
    explicit Buffer(std::size_t n, int slot = -1) {
        n = std::max<std::size_t>(n, 1);
        if (slot >= 0 && n * sizeof(double) <= kKeepBytes) {
            thread_local Kept kept[4];
            Kept& k = kept[slot];
            if (k.cap < n) {
                k.p = allocate(n);
                k.cap = n;
            }
            data_ = k.p.get();
        } else {
            own_ = allocate(n);
            data_ = own_.get();
        }
        std::fill(data_, data_ + n, 0.0);
    }
    double* data() const { return data_; }
    double& operator[](std::size_t i) const { return data_[i]; }

private:
    Owned own_;
    double* data_ = nullptr;
};

// Packed panels of nb consecutive blocks of rows.  The packed columns are cut
// into groups of up to gw = 3 vl columns (vl = the kernel's vector length);
// group g holds row r (counted from the first block) of its columns at
// P[offset(g) + r * width(g) + c], so that one column is packed over all nb
// blocks in one run.  The last group is padded with zero columns up to a
// multiple of vl.  Block b of group g starts at base(g, b).
struct Panels {
    std::size_t vl = 0, gw = 0, ncols = 0, padded = 0, ngroups = 0, nb = 1;
    Panels(std::size_t vlen, std::size_t p, std::size_t blocks = 1)
        : vl(vlen), gw(3 * vlen), ncols(p), padded((p + vlen - 1) / vlen * vlen),
          ngroups((padded + gw - 1) / gw), nb(blocks) {}
    std::size_t width(std::size_t g) const { return std::min(gw, padded - g * gw); }
    std::size_t offset(std::size_t g) const { return g * gw * KC * nb; }
    std::size_t base(std::size_t g, std::size_t b) const { return offset(g) + b * KC * width(g); }
    std::size_t size() const { return ngroups * gw * KC * nb; }
    // Start (in block b) and row stride of packed column j.
    std::size_t start(std::size_t j, std::size_t b) const { return base(j / gw, b) + j % gw; }
    std::size_t stride(std::size_t j) const { return width(j / gw); }
};

// The arguments of one packing call: rows [i0, i0 + kb) of columns
// [j0, j0 + ncols) become P[k * ldp + c] = (x[i0+k, j0+c] - centre[j0+c]) * sw[k].
struct PackJob {
    const StridedMatrix* x;
    std::size_t i0, kb, j0, ncols;
    const double* centre;  // indexed by absolute column
    const double* sw;      // sqrt(w) of the block's rows, sw[0] for row i0
    double* dst;
    std::size_t ldp;
};

void pack_scalar(const PackJob& job, std::size_t c_from, std::size_t k_from) {
    // columns [c_from, ncols) for all rows, and rows [k_from, kb) for columns < c_from
    const StridedMatrix& x = *job.x;
    for (std::size_t c = 0; c < job.ncols; ++c) {
        const std::size_t j = job.j0 + c;
        const double cj = job.centre[j];
        for (std::size_t k = (c < c_from ? k_from : 0); k < job.kb; ++k)
            job.dst[k * job.ldp + c] = (x.at(job.i0 + k, j) - cj) * job.sw[k];
    }
}

// ---- portable micro-kernel (vl = 4, the AVX2 layout) -------------------------

// c[r + j * ldc] += sum_k a[k*sa + r] * b[k*sb + j] for r < 4 NV, j < 4, each
// sum a chain of fused multiply-adds from 0 in k order.
template <int NV>
void mk_portable(std::size_t kb, const double* a, std::size_t sa, const double* b, std::size_t sb,
                 double* c, std::size_t ldc) {
    double acc[4][4 * NV] = {};
    for (std::size_t k = 0; k < kb; ++k) {
        for (int j = 0; j < 4; ++j)
            for (int r = 0; r < 4 * NV; ++r) acc[j][r] = std::fma(a[r], b[j], acc[j][r]);
        a += sa;
        b += sb;
    }
    for (int j = 0; j < 4; ++j)
        for (int r = 0; r < 4 * NV; ++r) c[j * ldc + r] = c[j * ldc + r] + acc[j][r];
}

struct PortableKernel {
    static constexpr std::size_t vl = 4;
    static void pack(const PackJob& job) { pack_scalar(job, 0, 0); }
    static void mk(int nv, std::size_t kb, const double* a, std::size_t sa, const double* b,
                   std::size_t sb, double* c, std::size_t ldc) {
        switch (nv) {
            case 1: mk_portable<1>(kb, a, sa, b, sb, c, ldc); break;
            case 2: mk_portable<2>(kb, a, sa, b, sb, c, ldc); break;
            default: mk_portable<3>(kb, a, sa, b, sb, c, ldc); break;
        }
    }
};

#if defined(VARNEL_GRAM_X86)

// ---- AVX2 + FMA ---------------------------------------------------------------

template <int NV>
__attribute__((target("avx2,fma"))) void mk_avx2(std::size_t kb, const double* a, std::size_t sa,
                                                 const double* b, std::size_t sb, double* c,
                                                 std::size_t ldc) {
    __m256d acc[4][NV];
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j)
#pragma GCC unroll 3
        for (int v = 0; v < NV; ++v) acc[j][v] = _mm256_setzero_pd();
    for (std::size_t k = 0; k < kb; ++k) {
        __m256d av[NV];
#pragma GCC unroll 3
        for (int v = 0; v < NV; ++v) av[v] = _mm256_loadu_pd(a + 4 * v);
#pragma GCC unroll 4
        for (int j = 0; j < 4; ++j) {
            const __m256d bj = _mm256_broadcast_sd(b + j);
#pragma GCC unroll 3
            for (int v = 0; v < NV; ++v) acc[j][v] = _mm256_fmadd_pd(av[v], bj, acc[j][v]);
        }
        a += sa;
        b += sb;
    }
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j)
#pragma GCC unroll 3
        for (int v = 0; v < NV; ++v) {
            double* cp = c + j * ldc + 4 * v;
            _mm256_storeu_pd(cp, _mm256_add_pd(_mm256_loadu_pd(cp), acc[j][v]));
        }
}

__attribute__((target("avx2,fma"))) void pack_avx2(const PackJob& job) {
    const StridedMatrix& x = *job.x;
    const std::size_t full_c = job.ncols / 4 * 4;
    if (x.col_stride == 1) {
        for (std::size_t k = 0; k < job.kb; ++k) {
            const double* row = x.data + static_cast<std::ptrdiff_t>(job.i0 + k) * x.row_stride +
                                static_cast<std::ptrdiff_t>(job.j0);
            const double* cen = job.centre + job.j0;
            const __m256d s = _mm256_broadcast_sd(job.sw + k);
            double* d = job.dst + k * job.ldp;
            for (std::size_t c = 0; c < full_c; c += 4)
                _mm256_storeu_pd(d + c, _mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(row + c),
                                                                    _mm256_loadu_pd(cen + c)),
                                                      s));
        }
        pack_scalar(job, full_c, job.kb);
        return;
    }
    if (x.row_stride != 1) {
        pack_scalar(job, 0, 0);
        return;
    }
    const std::size_t full_k = job.kb / 4 * 4;
    for (std::size_t c = 0; c < full_c; c += 4) {
        const double* col[4];
        __m256d cen[4];
        for (int t = 0; t < 4; ++t) {
            col[t] = x.data + static_cast<std::ptrdiff_t>(job.i0) +
                     static_cast<std::ptrdiff_t>(job.j0 + c + t) * x.col_stride;
            cen[t] = _mm256_broadcast_sd(job.centre + job.j0 + c + t);
        }
        for (std::size_t k = 0; k < full_k; k += 4) {
            const __m256d s = _mm256_loadu_pd(job.sw + k);
            __m256d r[4];
            for (int t = 0; t < 4; ++t)
                r[t] = _mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(col[t] + k), cen[t]), s);
            const __m256d t0 = _mm256_unpacklo_pd(r[0], r[1]), t1 = _mm256_unpackhi_pd(r[0], r[1]);
            const __m256d t2 = _mm256_unpacklo_pd(r[2], r[3]), t3 = _mm256_unpackhi_pd(r[2], r[3]);
            double* d = job.dst + k * job.ldp + c;
            _mm256_storeu_pd(d, _mm256_permute2f128_pd(t0, t2, 0x20));
            _mm256_storeu_pd(d + job.ldp, _mm256_permute2f128_pd(t1, t3, 0x20));
            _mm256_storeu_pd(d + 2 * job.ldp, _mm256_permute2f128_pd(t0, t2, 0x31));
            _mm256_storeu_pd(d + 3 * job.ldp, _mm256_permute2f128_pd(t1, t3, 0x31));
        }
    }
    pack_scalar(job, full_c, full_k);
}

struct Avx2Kernel {
    static constexpr std::size_t vl = 4;
    static void pack(const PackJob& job) { pack_avx2(job); }
    static void mk(int nv, std::size_t kb, const double* a, std::size_t sa, const double* b,
                   std::size_t sb, double* c, std::size_t ldc) {
        switch (nv) {
            case 1: mk_avx2<1>(kb, a, sa, b, sb, c, ldc); break;
            case 2: mk_avx2<2>(kb, a, sa, b, sb, c, ldc); break;
            default: mk_avx2<3>(kb, a, sa, b, sb, c, ldc); break;
        }
    }
};

// ---- AVX-512 ------------------------------------------------------------------

// GCC 12 reports its own _mm512_undefined_pd() inside the unpack intrinsics as
// maybe uninitialized.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

template <int NV>
__attribute__((target("avx512f"))) void mk_avx512(std::size_t kb, const double* a, std::size_t sa,
                                                  const double* b, std::size_t sb, double* c,
                                                  std::size_t ldc) {
    __m512d acc[8][NV];
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j)
#pragma GCC unroll 3
        for (int v = 0; v < NV; ++v) acc[j][v] = _mm512_setzero_pd();
    for (std::size_t k = 0; k < kb; ++k) {
        __m512d av[NV];
#pragma GCC unroll 3
        for (int v = 0; v < NV; ++v) av[v] = _mm512_loadu_pd(a + 8 * v);
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j) {
            const __m512d bj = _mm512_set1_pd(b[j]);
#pragma GCC unroll 3
            for (int v = 0; v < NV; ++v) acc[j][v] = _mm512_fmadd_pd(av[v], bj, acc[j][v]);
        }
        a += sa;
        b += sb;
    }
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j)
#pragma GCC unroll 3
        for (int v = 0; v < NV; ++v) {
            double* cp = c + j * ldc + 8 * v;
            _mm512_storeu_pd(cp, _mm512_add_pd(_mm512_loadu_pd(cp), acc[j][v]));
        }
}

__attribute__((target("avx512f"))) void pack_avx512(const PackJob& job) {
    const StridedMatrix& x = *job.x;
    const std::size_t full_c = job.ncols / 8 * 8;
    if (x.col_stride == 1) {
        for (std::size_t k = 0; k < job.kb; ++k) {
            const double* row = x.data + static_cast<std::ptrdiff_t>(job.i0 + k) * x.row_stride +
                                static_cast<std::ptrdiff_t>(job.j0);
            const double* cen = job.centre + job.j0;
            const __m512d s = _mm512_set1_pd(job.sw[k]);
            double* d = job.dst + k * job.ldp;
            for (std::size_t c = 0; c < full_c; c += 8)
                _mm512_storeu_pd(d + c, _mm512_mul_pd(_mm512_sub_pd(_mm512_loadu_pd(row + c),
                                                                    _mm512_loadu_pd(cen + c)),
                                                      s));
        }
        pack_scalar(job, full_c, job.kb);
        return;
    }
    if (x.row_stride != 1) {
        pack_scalar(job, 0, 0);
        return;
    }
    const std::size_t full_k = job.kb / 8 * 8;
    for (std::size_t c = 0; c < full_c; c += 8) {
        const double* col[8];
        __m512d cen[8];
        for (int t = 0; t < 8; ++t) {
            col[t] = x.data + static_cast<std::ptrdiff_t>(job.i0) +
                     static_cast<std::ptrdiff_t>(job.j0 + c + t) * x.col_stride;
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
            // u[0] = (c0 c1) pairs of rows 0,2,4,6; u[1] = rows 1,3,5,7; u[2], u[3] for c2 c3...
            v[0] = _mm512_shuffle_f64x2(u[0], u[2], _MM_SHUFFLE(2, 0, 2, 0));
            v[1] = _mm512_shuffle_f64x2(u[0], u[2], _MM_SHUFFLE(3, 1, 3, 1));
            v[2] = _mm512_shuffle_f64x2(u[1], u[3], _MM_SHUFFLE(2, 0, 2, 0));
            v[3] = _mm512_shuffle_f64x2(u[1], u[3], _MM_SHUFFLE(3, 1, 3, 1));
            v[4] = _mm512_shuffle_f64x2(u[4], u[6], _MM_SHUFFLE(2, 0, 2, 0));
            v[5] = _mm512_shuffle_f64x2(u[4], u[6], _MM_SHUFFLE(3, 1, 3, 1));
            v[6] = _mm512_shuffle_f64x2(u[5], u[7], _MM_SHUFFLE(2, 0, 2, 0));
            v[7] = _mm512_shuffle_f64x2(u[5], u[7], _MM_SHUFFLE(3, 1, 3, 1));
            double* d = job.dst + k * job.ldp + c;
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

struct Avx512Kernel {
    static constexpr std::size_t vl = 8;
    static void pack(const PackJob& job) { pack_avx512(job); }
    static void mk(int nv, std::size_t kb, const double* a, std::size_t sa, const double* b,
                   std::size_t sb, double* c, std::size_t ldc) {
        switch (nv) {
            case 1: mk_avx512<1>(kb, a, sa, b, sb, c, ldc); break;
            case 2: mk_avx512<2>(kb, a, sa, b, sb, c, ldc); break;
            default: mk_avx512<3>(kb, a, sa, b, sb, c, ldc); break;
        }
    }
};

#pragma GCC diagnostic pop

#endif  // VARNEL_GRAM_X86

// Rows of the result (packed columns) per cache block: their panels of one
// row block (rows x KC doubles) stay in L2 while every column slice passes.
constexpr std::size_t kRowsPerL2Block = 240;
// Bytes of packed panels per superblock: small designs pack several row
// blocks in one go, so each column of X is read in longer runs.
constexpr std::size_t kPackBytes = 768 * 1024;

std::size_t blocks_per_pack(std::size_t vl, std::size_t ncols) {
    const std::size_t one = Panels(vl, ncols).size() * sizeof(double);
    return std::clamp<std::size_t>(kPackBytes / std::max<std::size_t>(one, 1), 1, 8);
}

struct Inputs {
    const StridedMatrix* x = nullptr;
    const StridedMatrix* z = nullptr;  // extra columns after those of x
    std::size_t p = 0;                 // x.ncols + z.ncols
    std::vector<double> centre, scale;
    bool at_mean = false;  // one more packed column, sqrt(w), gives the corrections
    double value(std::size_t i, std::size_t j) const {
        return j < x->ncols ? x->at(i, j) : z->at(i, j - x->ncols);
    }
};

Inputs check_inputs(const StridedMatrix& x, const StridedMatrix& z, std::span<const double> w,
                    Centring centring, std::span<const double> centre,
                    std::span<const double> scale, std::span<double> means) {
    const std::size_t n = x.nrows, p = x.ncols + z.ncols;
    require(w.size() == n, "gram: weights of the wrong length");
    require(z.ncols == 0 || z.nrows == n, "gram: extra columns of the wrong length");
    require(centre.empty() || centre.size() == p, "gram: centres of the wrong length");
    require(scale.empty() || scale.size() == p, "gram: scales of the wrong length");
    require(means.empty() || (means.size() == p && centring == Centring::weighted_mean),
            "gram: means are given back only when centring at the weighted means, p of them");
    require(n == 0 || ((x.ncols == 0 || x.data) && (z.ncols == 0 || z.data)), "gram: no data");
    Inputs in;
    in.x = &x;
    in.z = &z;
    in.p = p;
    in.at_mean = centring == Centring::weighted_mean;
    in.centre = centre.empty() ? std::vector<double>(p, 0.0)
                               : std::vector<double>(centre.begin(), centre.end());
    in.scale = scale.empty() ? std::vector<double>(p, 1.0)
                             : std::vector<double>(scale.begin(), scale.end());
    if (in.at_mean && centre.empty()) {
        // Provisional centres: the weighted means of the first block of rows.
        const std::size_t kb = std::min(KC, n);
        double ws = 0.0;
        for (std::size_t i = 0; i < kb; ++i) ws += w[i];
        if (ws > 0.0)
            for (std::size_t j = 0; j < p; ++j) {
                double s1 = 0.0;
                for (std::size_t i = 0; i < kb; ++i) s1 += w[i] * in.value(i, j);
                in.centre[j] = std::isfinite(s1) ? s1 / ws : 0.0;
            }
    }
    return in;
}

// Packs rows [i0, i0 + rows) (rows <= nb KC) of the p columns (those of x,
// then those of z), and sqrt(w) as column p when `at_mean`; sw holds sqrt(w)
// of those rows.
template <class K>
void pack_rows(const Panels& pa, const Inputs& in, std::size_t i0, std::size_t rows,
               const double* sw, double* P) {
    const std::size_t px = in.x->ncols;
    for (std::size_t g = 0; g < pa.ngroups; ++g) {
        const std::size_t j0 = g * pa.gw;
        if (j0 >= in.p) break;
        const std::size_t end = std::min(j0 + pa.gw, in.p), wg = pa.width(g);
        double* dst = P + pa.offset(g);
        if (j0 < px)
            K::pack(PackJob{in.x, i0, rows, j0, std::min(end, px) - j0, in.centre.data(), sw, dst, wg});
        for (std::size_t j = std::max(j0, px); j < end; ++j)  // the few extra columns
            for (std::size_t k = 0; k < rows; ++k)
                dst[k * wg + (j - j0)] = (in.z->at(i0 + k, j - px) - in.centre[j]) * sw[k];
    }
    if (in.at_mean) {
        double* d = P + pa.start(in.p, 0);
        const std::size_t ld = pa.stride(in.p);
        for (std::size_t k = 0; k < rows; ++k) d[k * ld] = sw[k];
    }
}

// Packs the rows superblock by superblock and calls body(b, kb) for every
// row block b (of kb rows) of the superblock, in row order.
// Software prefetch of the next superblock's rows of x while the current one
// is being multiplied, spread over the micro-kernel calls (the multiplication
// leaves the memory bus idle; the packing would otherwise wait for it).
class Prefetcher {
public:
    Prefetcher(const StridedMatrix& x, std::size_t i0, std::size_t rows, std::size_t per_call)
        : per_call_(per_call) {
        if (rows == 0 || x.ncols == 0) return;
        if (x.row_stride == 1) {  // one run per column
            base_ = reinterpret_cast<const char*>(x.data + static_cast<std::ptrdiff_t>(i0));
            nseg_ = x.ncols, seg_bytes_ = rows * sizeof(double);
            seg_step_ = x.col_stride * static_cast<std::ptrdiff_t>(sizeof(double));
        } else if (x.col_stride == 1) {  // one run per row
            base_ = reinterpret_cast<const char*>(x.data + static_cast<std::ptrdiff_t>(i0) * x.row_stride);
            nseg_ = rows, seg_bytes_ = x.ncols * sizeof(double);
            seg_step_ = x.row_stride * static_cast<std::ptrdiff_t>(sizeof(double));
        }
    }
    std::size_t lines() const { return nseg_ * ((seg_bytes_ + 63) / 64); }
    void step() {
#if defined(VARNEL_GRAM_X86)
        for (std::size_t t = 0; t < per_call_ && seg_ < nseg_; ++t) {
            _mm_prefetch(base_ + static_cast<std::ptrdiff_t>(seg_) * seg_step_ + off_, _MM_HINT_T1);
            off_ += 64;
            if (off_ >= seg_bytes_) off_ = 0, ++seg_;
        }
#endif
    }

private:
    const char* base_ = nullptr;
    std::size_t nseg_ = 0, seg_bytes_ = 0, seg_ = 0, off_ = 0, per_call_;
    std::ptrdiff_t seg_step_ = 0;
};

// Packs the rows superblock by superblock and calls body(b, kb, pf) for every
// row block b (of kb rows) of the superblock, in row order; the body calls
// pf.step() before each micro-kernel call.
template <class K, class Body>
void for_each_block(const StridedMatrix& x, std::span<const double> w, const Panels& pa,
                    const Inputs& in, double* P, double* sw, std::size_t calls,
                    const Interrupt& interrupt, Body&& body) {
    const std::size_t n = x.nrows, span = pa.nb * KC;
    for (std::size_t s0 = 0; s0 < n; s0 += span) {
        const std::size_t rows = std::min(span, n - s0);
        for (std::size_t k = 0; k < rows; ++k) sw[k] = std::sqrt(w[s0 + k]);
        pack_rows<K>(pa, in, s0, rows, sw, P);
        const std::size_t next = s0 + rows, next_rows = next < n ? std::min(span, n - next) : 0;
        Prefetcher probe(x, next, next_rows, 0);
        const std::size_t per_call = (probe.lines() + calls * pa.nb - 1) / std::max<std::size_t>(calls * pa.nb, 1);
        Prefetcher pf(x, next, next_rows, per_call);
        for (std::size_t b = 0; b * KC < rows; ++b) {
            interrupt.poll();
            body(b, std::min(KC, rows - b * KC), pf);
        }
    }
}

// The value given back for the sums S[k, j] of a packed block: with the
// sqrt(w) column, d_k = S[k, p] and W = S[p, p], the products at the exact
// weighted means are S[k, j] - d_k d_j / W.
struct Finish {
    const Inputs& in;
    std::vector<double> d;
    double wsum = 0.0;
    bool correct = false;
    double operator()(double v, std::size_t k, std::size_t j) const {
        if (correct) v = v - (d[k] * d[j]) / wsum;
        return v / (in.scale[k] * in.scale[j]);
    }
    void means(std::span<double> out) const {
        for (std::size_t j = 0; j < out.size(); ++j)
            out[j] = correct ? in.centre[j] + d[j] / wsum : in.centre[j];
    }
};

template <class K>
void full_impl(const StridedMatrix& x, std::span<const double> w, const Inputs& in, double* out,
               std::size_t ld, std::span<double> means, const Interrupt& interrupt) {
    const std::size_t p = in.p;
    const std::size_t pe = p + (in.at_mean ? 1 : 0);
    const Panels pa(K::vl, pe, blocks_per_pack(K::vl, pe));
    const std::size_t ldc = pa.padded;
    Buffer P(pa.size(), 0), C(ldc * ldc, 1), sw(pa.nb * KC, 2);
    const std::size_t groups_per_block = std::max<std::size_t>(1, kRowsPerL2Block / pa.gw);
    std::size_t calls = 0;  // micro-kernel calls per block
    for (std::size_t gb0 = 0; gb0 < pa.ngroups; gb0 += groups_per_block) {
        const std::size_t gb1 = std::min(pa.ngroups, gb0 + groups_per_block);
        for (std::size_t j0 = 0; j0 < std::min(pa.padded, gb1 * pa.gw); j0 += K::vl)
            calls += gb1 - std::max(gb0, j0 / pa.gw);
    }
    for_each_block<K>(x, w, pa, in, P.data(), sw.data(), calls, interrupt, [&](std::size_t blk, std::size_t kb,
                                                                 Prefetcher& pf) {
        for (std::size_t gb0 = 0; gb0 < pa.ngroups; gb0 += groups_per_block) {
            const std::size_t gb1 = std::min(pa.ngroups, gb0 + groups_per_block);
            const std::size_t row_end = std::min(pa.padded, gb1 * pa.gw);
            for (std::size_t j0 = 0; j0 < row_end; j0 += K::vl) {
                const std::size_t gj = j0 / pa.gw;
                const double* b = P.data() + pa.start(j0, blk);
                const std::size_t sb = pa.stride(j0);
                for (std::size_t g = std::max(gb0, gj); g < gb1; ++g) {
                    const std::size_t from = g == gj ? j0 % pa.gw : 0;
                    const std::size_t wg = pa.width(g);
                    pf.step();
                    K::mk(static_cast<int>((wg - from) / K::vl), kb,
                          P.data() + pa.base(g, blk) + from, wg, b, sb,
                          C.data() + g * pa.gw + from + j0 * ldc, ldc);
                }
            }
        }
    });
    // C holds the sums for rows r >= columns j.
    Finish fin{in, {}, 0.0, false};
    if (in.at_mean) {
        fin.wsum = C[p + p * ldc];
        fin.correct = fin.wsum > 0.0;
        fin.d.resize(p);
        for (std::size_t j = 0; j < p; ++j) fin.d[j] = C[p + j * ldc];
    }
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t k = 0; k < p; ++k)
            out[k + j * ld] = fin(k >= j ? C[k + j * ldc] : C[j + k * ldc], k, j);
    fin.means(means);
}

template <class K>
void columns_impl(const StridedMatrix& x, std::span<const double> w, const Inputs& in,
                  std::span<const std::size_t> cols_in, double* out, std::size_t ld,
                  std::span<double> means, const Interrupt& interrupt) {
    const std::size_t p = in.p;
    std::vector<std::size_t> cols(cols_in.begin(), cols_in.end());
    if (in.at_mean) cols.push_back(p);  // the sqrt(w) column
    const std::size_t q = cols.size();
    const std::size_t pe = p + (in.at_mean ? 1 : 0);
    const Panels pa(K::vl, pe, blocks_per_pack(K::vl, pe));
    const std::size_t ldc = pa.padded;
    const std::size_t nslices = (q + K::vl - 1) / K::vl;
    Buffer P(pa.size(), 0), Q(nslices * K::vl * KC, 3), C(ldc * nslices * K::vl, 1), sw(pa.nb * KC, 2);
    const std::size_t groups_per_block = std::max<std::size_t>(1, kRowsPerL2Block / pa.gw);
    for_each_block<K>(x, w, pa, in, P.data(), sw.data(), nslices * pa.ngroups, interrupt,
                      [&](std::size_t blk, std::size_t kb, Prefetcher& pf) {
        for (std::size_t s0 = 0; s0 < q; s0 += K::vl) {  // slice by slice, row by row
            const std::size_t sw_ = std::min(K::vl, q - s0);
            const double* src[K::vl];
            std::size_t ss[K::vl];
            for (std::size_t t = 0; t < sw_; ++t) {
                src[t] = P.data() + pa.start(cols[s0 + t], blk);
                ss[t] = pa.stride(cols[s0 + t]);
            }
            double* dst = Q.data() + s0 * KC;
            for (std::size_t k = 0; k < kb; ++k)
                for (std::size_t t = 0; t < sw_; ++t) dst[k * K::vl + t] = src[t][k * ss[t]];
        }
        for (std::size_t gb0 = 0; gb0 < pa.ngroups; gb0 += groups_per_block) {
            const std::size_t gb1 = std::min(pa.ngroups, gb0 + groups_per_block);
            for (std::size_t s = 0; s < nslices; ++s)
                for (std::size_t g = gb0; g < gb1; ++g) {
                    const std::size_t wg = pa.width(g);
                    pf.step();
                    K::mk(static_cast<int>(wg / K::vl), kb, P.data() + pa.base(g, blk), wg,
                          Q.data() + s * K::vl * KC, K::vl, C.data() + g * pa.gw + s * K::vl * ldc,
                          ldc);
                }
        }
    });
    Finish fin{in, {}, 0.0, false};
    if (in.at_mean) {
        const double* dcol = C.data() + (q - 1) * ldc;  // the products with sqrt(w)
        fin.wsum = dcol[p];
        fin.correct = fin.wsum > 0.0;
        fin.d.assign(dcol, dcol + p);
    }
    for (std::size_t t = 0; t < cols_in.size(); ++t)
        for (std::size_t k = 0; k < p; ++k)
            out[k + t * ld] = fin(C[k + t * ldc], k, cols[t]);
    fin.means(means);
}

GramKernel resolve(GramKernel k) {
    if (k == GramKernel::best) return gram_best_kernel();
    require(gram_kernel_available(k), "gram: this CPU cannot run the requested kernel");
    return k;
}

}  // namespace

bool gram_kernel_available(GramKernel k) noexcept {
    switch (k) {
        case GramKernel::best:
        case GramKernel::portable: return true;
#if defined(VARNEL_GRAM_X86)
        case GramKernel::avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case GramKernel::avx512: return __builtin_cpu_supports("avx512f");
#else
        default: return false;
#endif
    }
    return false;
}

GramKernel gram_best_kernel() noexcept {
    static const GramKernel best = [] {
        if (gram_kernel_available(GramKernel::avx512)) return GramKernel::avx512;
        if (gram_kernel_available(GramKernel::avx2)) return GramKernel::avx2;
        return GramKernel::portable;
    }();
    return best;
}

std::string_view gram_kernel_name(GramKernel k) noexcept {
    switch (k) {
        case GramKernel::best: return "best";
        case GramKernel::portable: return "portable";
        case GramKernel::avx2: return "avx2";
        case GramKernel::avx512: return "avx512";
    }
    return "?";
}

void gram_columns(const StridedMatrix& x, std::span<const double> w, Centring centring,
                  std::span<const double> centre, std::span<const double> scale,
                  std::span<const std::size_t> cols, double* out, std::size_t ld,
                  std::span<double> means, GramKernel kernel, const StridedMatrix& extra,
                  const Interrupt& interrupt) {
    const Inputs in = check_inputs(x, extra, w, centring, centre, scale, means);
    require(ld >= in.p, "gram_columns: leading dimension below p");
    for (std::size_t c : cols) require(c < in.p, "gram_columns: column index out of range");
    if (in.p == 0 || (cols.empty() && means.empty())) return;
    switch (resolve(kernel)) {
#if defined(VARNEL_GRAM_X86)
        case GramKernel::avx512: columns_impl<Avx512Kernel>(x, w, in, cols, out, ld, means, interrupt); return;
        case GramKernel::avx2: columns_impl<Avx2Kernel>(x, w, in, cols, out, ld, means, interrupt); return;
#endif
        default: columns_impl<PortableKernel>(x, w, in, cols, out, ld, means, interrupt); return;
    }
}

void gram_full(const StridedMatrix& x, std::span<const double> w, Centring centring,
               std::span<const double> centre, std::span<const double> scale, double* out,
               std::size_t ld, std::span<double> means, GramKernel kernel,
               const StridedMatrix& extra, const Interrupt& interrupt) {
    const Inputs in = check_inputs(x, extra, w, centring, centre, scale, means);
    require(ld >= in.p, "gram_full: leading dimension below p");
    if (in.p == 0) return;
    switch (resolve(kernel)) {
#if defined(VARNEL_GRAM_X86)
        case GramKernel::avx512: full_impl<Avx512Kernel>(x, w, in, out, ld, means, interrupt); return;
        case GramKernel::avx2: full_impl<Avx2Kernel>(x, w, in, out, ld, means, interrupt); return;
#endif
        default: full_impl<PortableKernel>(x, w, in, out, ld, means, interrupt); return;
    }
}

// ---- weighted column statistics ----------------------------------------------

namespace {

// Column sums over the rows of a packed row-major block, 32 columns (four
// vectors of eight) at a time so that the sums stay in registers; each
// column's sum runs down the rows in order, with separate IEEE operations,
// so every vector width gives the same bits.  lda must be a multiple of 32.
typedef double v8d __attribute__((vector_size(64)));
typedef double v8du __attribute__((vector_size(64), aligned(8), may_alias));

// s[c] = sum_k w[k] * a[k * lda + c] for c < lda.
VARNEL_CLONES void column_sums(const double* a, std::size_t lda, const double* w, std::size_t kb,
                               double* s) {
    for (std::size_t c0 = 0; c0 < lda; c0 += 32) {
        v8d s0 = {}, s1 = {}, s2 = {}, s3 = {};
        for (std::size_t k = 0; k < kb; ++k) {
            const v8du* row = reinterpret_cast<const v8du*>(a + k * lda + c0);
            const double wk = w[k];
            s0 = s0 + wk * row[0];
            s1 = s1 + wk * row[1];
            s2 = s2 + wk * row[2];
            s3 = s3 + wk * row[3];
        }
        v8du* out = reinterpret_cast<v8du*>(s + c0);
        out[0] = s0, out[1] = s1, out[2] = s2, out[3] = s3;
    }
}

// With d = a[k, c] - m[c] and t = w[k] d: q[c] = sum_k t d and, when dy is
// given, r[c] = sum_k t dy[k] (else r is left alone), for c < lda.
VARNEL_CLONES void deviation_sums(const double* a, std::size_t lda, const double* w,
                                  const double* dy, std::size_t kb, const double* m, double* q,
                                  double* r) {
    for (std::size_t c0 = 0; c0 < lda; c0 += 32) {
        const v8du* mv = reinterpret_cast<const v8du*>(m + c0);
        const v8d m0 = mv[0], m1 = mv[1], m2 = mv[2], m3 = mv[3];
        v8d q0 = {}, q1 = {}, q2 = {}, q3 = {}, r0 = {}, r1 = {}, r2 = {}, r3 = {};
        for (std::size_t k = 0; k < kb; ++k) {
            const v8du* row = reinterpret_cast<const v8du*>(a + k * lda + c0);
            const double wk = w[k];
            const v8d d0 = row[0] - m0, d1 = row[1] - m1, d2 = row[2] - m2, d3 = row[3] - m3;
            const v8d t0 = wk * d0, t1 = wk * d1, t2 = wk * d2, t3 = wk * d3;
            q0 = q0 + t0 * d0;
            q1 = q1 + t1 * d1;
            q2 = q2 + t2 * d2;
            q3 = q3 + t3 * d3;
            if (dy) {
                const double yk = dy[k];
                r0 = r0 + t0 * yk;
                r1 = r1 + t1 * yk;
                r2 = r2 + t2 * yk;
                r3 = r3 + t3 * yk;
            }
        }
        v8du* qo = reinterpret_cast<v8du*>(q + c0);
        qo[0] = q0, qo[1] = q1, qo[2] = q2, qo[3] = q3;
        if (dy) {
            v8du* ro = reinterpret_cast<v8du*>(r + c0);
            ro[0] = r0, ro[1] = r1, ro[2] = r2, ro[3] = r3;
        }
    }
}

// Statistics of nb KC rows at a time: the rows are packed (x - shift, by the
// Gram packers, so in every layout the same values) into a row-major scratch,
// then every column is summed down the rows in order.
template <class K>
double stats_impl(const StridedMatrix& x, std::span<const double> w, std::span<const double> y,
                  std::span<double> mean, std::span<double> var, std::span<double> cov,
                  const Interrupt& interrupt) {
    const std::size_t n = x.nrows, p = x.ncols;
    const bool want_y = !y.empty();
    const std::size_t pw = std::max<std::size_t>((p + 31) / 32 * 32, 32);  // whole groups of 32
    const std::size_t nb = 1;
    Buffer S(nb * KC * pw, 0), ones(nb * KC, 2);
    for (std::size_t k = 0; k < nb * KC; ++k) ones[k] = 1.0;
    // Values are shifted by a provisional centre (the weighted mean of the
    // first block of rows with positive weight) before any sum, so that the
    // block means and their differences are formed on deviations, not on
    // values that may be 1e9 times larger.
    std::vector<double> shift(p, 0.0), ms(p, 0.0), m2(p, 0.0), cy(p, 0.0), s1(pw), q(pw), r(pw, 0.0);
    double wtot = 0.0, yshift = 0.0, yms = 0.0;
    double dy[KC];
    for (std::size_t s0 = 0; s0 < n; s0 += nb * KC) {
        interrupt.poll();
        const std::size_t rows = std::min(nb * KC, n - s0);
        const bool raw = wtot == 0.0;  // packed before the shift is known: x - 0
        if (p > 0)
            K::pack(PackJob{&x, s0, rows, 0, p, shift.data(), ones.data(), S.data(), pw});
        for (std::size_t i0 = s0; i0 < s0 + rows; i0 += KC) {
            const std::size_t kb = std::min(KC, s0 + rows - i0);
            const double* wb = w.data() + i0;
            double* base = S.data() + (i0 - s0) * pw;
            double wsum = 0.0;
            for (std::size_t k = 0; k < kb; ++k) wsum += wb[k];
            if (!(wsum > 0.0)) continue;
            const bool first = wtot == 0.0;
            const double wn = wtot + wsum;
            const double f = wsum / wn, h = wtot * f;  // the block's share; W_a W_b / W
            if (first) {  // the shift: this block's weighted means
                column_sums(base, pw, wb, kb, s1.data());
                for (std::size_t c = 0; c < p; ++c) shift[c] = s1[c] / wsum;
            }
            if (raw)  // (x - 0) - shift is exactly what packing x - shift gives
                for (std::size_t k = 0; k < kb; ++k)
                    for (std::size_t c = 0; c < p; ++c) base[k * pw + c] = base[k * pw + c] - shift[c];
            double ydelta = 0.0;
            if (want_y) {
                double ybm = 0.0;
                for (int round = first ? 0 : 1; round < 2; ++round) {
                    ybm = 0.0;
                    for (std::size_t k = 0; k < kb; ++k) ybm += wb[k] * (y[i0 + k] - yshift);
                    ybm /= wsum;
                    if (round == 0) yshift = ybm;
                }
                for (std::size_t k = 0; k < kb; ++k) dy[k] = (y[i0 + k] - yshift) - ybm;
                ydelta = ybm - yms;
            }
            column_sums(base, pw, wb, kb, s1.data());
            for (std::size_t c = 0; c < p; ++c) s1[c] = s1[c] / wsum;  // block means
            deviation_sums(base, pw, wb, want_y ? dy : nullptr, kb, s1.data(), q.data(), r.data());
            for (std::size_t c = 0; c < p; ++c) {
                const double delta = s1[c] - ms[c];
                ms[c] = ms[c] + delta * f;
                m2[c] = m2[c] + (q[c] + (delta * delta) * h);
                cy[c] = cy[c] + (r[c] + (delta * ydelta) * h);
            }
            if (want_y) yms = yms + ydelta * f;
            wtot = wn;
        }
    }
    require(wtot > 0.0, "weighted_column_stats: the weights sum to 0");
    for (std::size_t j = 0; j < p; ++j) mean[j] = shift[j] + ms[j];
    if (!var.empty())
        for (std::size_t j = 0; j < p; ++j) var[j] = m2[j] / wtot;
    if (!cov.empty())
        for (std::size_t j = 0; j < p; ++j) cov[j] = cy[j] / wtot;
    return yshift + yms;
}

}  // namespace

double weighted_column_stats(const StridedMatrix& x, std::span<const double> w,
                             std::span<const double> y, std::span<double> mean,
                             std::span<double> var, std::span<double> cov,
                             const Interrupt& interrupt) {
    const std::size_t n = x.nrows, p = x.ncols;
    require(w.size() == n, "weighted_column_stats: weights of the wrong length");
    require(y.empty() || y.size() == n, "weighted_column_stats: response of the wrong length");
    require(mean.size() == p, "weighted_column_stats: means of the wrong length");
    require(var.empty() || var.size() == p, "weighted_column_stats: variances of the wrong length");
    require(cov.empty() || (!y.empty() && cov.size() == p),
            "weighted_column_stats: covariances need y and p entries");
    require(n == 0 || p == 0 || x.data != nullptr, "weighted_column_stats: no data");
    switch (gram_best_kernel()) {
#if defined(VARNEL_GRAM_X86)
        case GramKernel::avx512: return stats_impl<Avx512Kernel>(x, w, y, mean, var, cov, interrupt);
        case GramKernel::avx2: return stats_impl<Avx2Kernel>(x, w, y, mean, var, cov, interrupt);
#endif
        default: return stats_impl<PortableKernel>(x, w, y, mean, var, cov, interrupt);
    }
}

}  // namespace varnel_core
