// The dense row kernels of block_kernels.hpp, written once and compiled for
// several instruction sets (block_rows_*.cpp), chosen at run time.
//
// The n x K matrices are held in the blocked layout of block_kernels.hpp:
// chunks of kChunkRows rows, each class's entries of a chunk contiguous.  A
// kernel takes one chunk at a time: the chunk's slice of z (centred once,
// into a buffer on the stack) stays in the first-level cache while every
// class streams its contiguous entries past it, so one read of z serves all
// K classes and every class's inner loop runs along the rows in vector
// registers.
//
// The arithmetic is that of a virtual vector of kLanes doubles (the GCC
// vector extension), which each instruction set carries out in its own
// registers (4 SSE2, 2 AVX2 or 1 AVX-512 register): every operation acts
// lane by lane, with separate multiplications and additions (the build's
// -ffp-contract=off).  A class's sum runs in kChains chains, chain l over
// the rows i with i mod kChains = l in increasing order, combined at the
// end by halving: s_l += s_(l+h) for h = 8, 4, 2, 1.  The rows that do not
// fill a group of kChains at a chunk's end join their chains one by one,
// so every instruction set, and every chunk size that is a multiple of
// kChains, gives the same bits.
//
// A class whose step delta_k is 0 keeps its residual: its weights are not
// read and its residual not written (in a lasso path most classes of a
// moving variable stay where they are), so a step streams only what moves.
//
// As in gram_isa.hpp, the kernel files are compiled for different
// instruction sets, so this header holds only a plain struct and functions
// with internal linkage, and the kernel files include nothing else.
#pragma once

#include <cstddef>

// (the virtual vectors never cross a function boundary that is not inlined)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace varnel_core::block_detail {

constexpr std::size_t kChunkRows = 128;  // rows per chunk of the blocked layout
constexpr std::size_t kLanes = 8;        // doubles per virtual vector
constexpr std::size_t kChains = 16;      // partial sums per class: two virtual vectors
constexpr std::size_t kSliceClasses = 16;  // classes whose sums one sweep carries
static_assert(kChunkRows % kChains == 0 && kChains == 2 * kLanes);

// The row kernels of one instruction set; the arguments as in
// block_kernels.hpp.
struct RowKernels {
    void (*dot)(const double* const* z, const double* c, std::size_t m, const double* R,
                std::size_t n, std::size_t K, double* out);
    void (*wsumsq)(const double* const* z, const double* c, std::size_t m, const double* V,
                   std::size_t n, std::size_t K, double* out);
    void (*sub)(const double* z, double c, const double* V, const double* delta, double* R,
                std::size_t n, std::size_t K);
    void (*sub_dot)(const double* z, double c, const double* V, const double* delta, double* R,
                    const double* next, double c_next, std::size_t n, std::size_t K, double* out);
    void (*add)(const double* const* z, const double* c, const double* const* b, std::size_t m,
                double* R, std::size_t n, std::size_t K);
};

// Null when this build has no such kernels (not an x86-64 build).
const RowKernels* portable_row_kernels();
const RowKernels* avx2_row_kernels();
const RowKernels* avx512_row_kernels();

namespace {

typedef double Lanes __attribute__((vector_size(kLanes * sizeof(double))));

inline Lanes load(const double* p) {
    Lanes v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
inline void store(double* p, Lanes v) { __builtin_memcpy(p, &v, sizeof v); }

// The rows of chunk i0 of n: min(kChunkRows, n - i0).
inline std::size_t chunk_rows(std::size_t i0, std::size_t n) {
    return n - i0 < kChunkRows ? n - i0 : kChunkRows;
}

// out = the halving combination of the kChains partial sums s.
inline double combine(double* s) {
    for (std::size_t h = kChains / 2; h >= 1; h /= 2)
        for (std::size_t l = 0; l < h; ++l) s[l] = s[l] + s[l + h];
    return s[0];
}

// The sums for M <= 4 columns z_s at once, one sweep over X (blocked, n x K):
// out_(s K + k) = sum_i X_ik a_si with a_si = z_si - c_s, or its square
// (Square), every (column, class) sum in its own chains; the classes taken
// kSliceClasses at a time.
template <std::size_t M, bool Square>
inline void column_sums(const double* const* z, const double* c, const double* X, std::size_t n,
                        std::size_t K, double* out) {
    alignas(64) double a[M][kChunkRows];
    for (std::size_t k0 = 0; k0 < K; k0 += kSliceClasses) {
        const std::size_t w = K - k0 < kSliceClasses ? K - k0 : kSliceClasses;
        alignas(64) double acc[M][kSliceClasses][kChains] = {};
        for (std::size_t i0 = 0; i0 < n; i0 += kChunkRows) {
            const std::size_t m = chunk_rows(i0, n), full = m / kChains * kChains;
            for (std::size_t s = 0; s < M; ++s)
                for (std::size_t t = 0; t < m; ++t)
                    a[s][t] = Square ? (z[s][i0 + t] - c[s]) * (z[s][i0 + t] - c[s])
                                     : z[s][i0 + t] - c[s];
            for (std::size_t k = 0; k < w; ++k) {
                const double* x = X + i0 * K + (k0 + k) * m;
                Lanes lo[M], hi[M];
                for (std::size_t s = 0; s < M; ++s) {
                    lo[s] = load(acc[s][k]);
                    hi[s] = load(acc[s][k] + kLanes);
                }
                for (std::size_t t = 0; t < full; t += kChains) {
                    const Lanes x0 = load(x + t), x1 = load(x + t + kLanes);
                    for (std::size_t s = 0; s < M; ++s) {
                        lo[s] += x0 * load(a[s] + t);
                        hi[s] += x1 * load(a[s] + t + kLanes);
                    }
                }
                for (std::size_t s = 0; s < M; ++s) {
                    store(acc[s][k], lo[s]);
                    store(acc[s][k] + kLanes, hi[s]);
                }
                for (std::size_t t = full; t < m; ++t)
                    for (std::size_t s = 0; s < M; ++s) acc[s][k][t - full] += x[t] * a[s][t];
            }
        }
        for (std::size_t s = 0; s < M; ++s)
            for (std::size_t k = 0; k < w; ++k) out[s * K + k0 + k] = combine(acc[s][k]);
    }
}

template <bool Square>
inline void sums_of_columns(const double* const* z, const double* c, std::size_t m,
                            const double* X, std::size_t n, std::size_t K, double* out) {
    for (std::size_t g = 0; g < m; g += 4) {
        const std::size_t q = m - g < 4 ? m - g : 4;
        if (q == 4) column_sums<4, Square>(z + g, c + g, X, n, K, out + g * K);
        else if (q == 3) column_sums<3, Square>(z + g, c + g, X, n, K, out + g * K);
        else if (q == 2) column_sums<2, Square>(z + g, c + g, X, n, K, out + g * K);
        else column_sums<1, Square>(z + g, c + g, X, n, K, out + g * K);
    }
}

inline void rows_dot_all(const double* const* z, const double* c, std::size_t m, const double* R,
                         std::size_t n, std::size_t K, double* out) {
    sums_of_columns<false>(z, c, m, R, n, K, out);
}

inline void rows_wsumsq_all(const double* const* z, const double* c, std::size_t m,
                            const double* V, std::size_t n, std::size_t K, double* out) {
    sums_of_columns<true>(z, c, m, V, n, K, out);
}

inline void rows_sub_all(const double* z, double c, const double* V, const double* delta,
                         double* R, std::size_t n, std::size_t K) {
    alignas(64) double a[kChunkRows];
    for (std::size_t i0 = 0; i0 < n; i0 += kChunkRows) {
        const std::size_t m = chunk_rows(i0, n), full = m / kLanes * kLanes;
        for (std::size_t t = 0; t < m; ++t) a[t] = z[i0 + t] - c;
        for (std::size_t k = 0; k < K; ++k) {
            const double d = delta[k];
            if (d == 0.0) continue;  // the class keeps its residual
            const double* v = V + i0 * K + k * m;
            double* r = R + i0 * K + k * m;
            for (std::size_t t = 0; t < full; t += kLanes)
                store(r + t, load(r + t) - (load(v + t) * load(a + t)) * d);
            for (std::size_t t = full; t < m; ++t) r[t] = r[t] - (v[t] * a[t]) * d;
        }
    }
}

inline void rows_sub_dot_all(const double* z, double c, const double* V, const double* delta,
                             double* R, const double* next, double cn, std::size_t n,
                             std::size_t K, double* out) {
    alignas(64) double a[kChunkRows], b[kChunkRows];
    for (std::size_t k0 = 0; k0 < K; k0 += kSliceClasses) {
        const std::size_t w = K - k0 < kSliceClasses ? K - k0 : kSliceClasses;
        alignas(64) double acc[kSliceClasses][kChains] = {};
        for (std::size_t i0 = 0; i0 < n; i0 += kChunkRows) {
            const std::size_t m = chunk_rows(i0, n), full = m / kChains * kChains;
            for (std::size_t t = 0; t < m; ++t) {
                a[t] = z[i0 + t] - c;
                b[t] = next[i0 + t] - cn;
            }
            for (std::size_t k = 0; k < w; ++k) {
                const double d = delta[k0 + k];
                const double* v = V + i0 * K + (k0 + k) * m;
                double* r = R + i0 * K + (k0 + k) * m;
                Lanes lo = load(acc[k]), hi = load(acc[k] + kLanes);
                if (d == 0.0) {  // the class keeps its residual: the sum alone
                    for (std::size_t t = 0; t < full; t += kChains) {
                        lo += load(b + t) * load(r + t);
                        hi += load(b + t + kLanes) * load(r + t + kLanes);
                    }
                    store(acc[k], lo);
                    store(acc[k] + kLanes, hi);
                    for (std::size_t t = full; t < m; ++t) acc[k][t - full] += b[t] * r[t];
                    continue;
                }
                for (std::size_t t = 0; t < full; t += kChains) {
                    const Lanes r0 = load(r + t) - (load(v + t) * load(a + t)) * d;
                    const Lanes r1 =
                        load(r + t + kLanes) - (load(v + t + kLanes) * load(a + t + kLanes)) * d;
                    store(r + t, r0);
                    store(r + t + kLanes, r1);
                    lo += load(b + t) * r0;
                    hi += load(b + t + kLanes) * r1;
                }
                store(acc[k], lo);
                store(acc[k] + kLanes, hi);
                for (std::size_t t = full; t < m; ++t) {
                    const double x = r[t] - (v[t] * a[t]) * d;
                    r[t] = x;
                    acc[k][t - full] += b[t] * x;
                }
            }
        }
        for (std::size_t k = 0; k < w; ++k) out[k0 + k] = combine(acc[k]);
    }
}

// R += b_t z_t for t < m in turn, each entry updated as
// (((r + b_0 z_0) + b_1 z_1) + ...).
inline void rows_add_all(const double* const* z, const double* c, const double* const* b,
                         std::size_t m, double* R, std::size_t n, std::size_t K) {
    alignas(64) double a[4][kChunkRows];
    for (std::size_t i0 = 0; i0 < n; i0 += kChunkRows) {
        const std::size_t rows = chunk_rows(i0, n), full = rows / kLanes * kLanes;
        for (std::size_t g = 0; g < m; g += 4) {
            const std::size_t q = m - g < 4 ? m - g : 4;
            for (std::size_t s = 0; s < q; ++s)
                for (std::size_t t = 0; t < rows; ++t) a[s][t] = z[g + s][i0 + t] - c[g + s];
            for (std::size_t k = 0; k < K; ++k) {
                double* r = R + i0 * K + k * rows;
                if (q == 4) {
                    const double b0 = b[g][k], b1 = b[g + 1][k], b2 = b[g + 2][k], b3 = b[g + 3][k];
                    for (std::size_t t = 0; t < full; t += kLanes)
                        store(r + t, (((load(r + t) + b0 * load(a[0] + t)) + b1 * load(a[1] + t)) +
                                      b2 * load(a[2] + t)) +
                                         b3 * load(a[3] + t));
                    for (std::size_t t = full; t < rows; ++t)
                        r[t] = (((r[t] + b0 * a[0][t]) + b1 * a[1][t]) + b2 * a[2][t]) + b3 * a[3][t];
                    continue;
                }
                for (std::size_t s = 0; s < q; ++s) {
                    const double bs = b[g + s][k];
                    for (std::size_t t = 0; t < full; t += kLanes)
                        store(r + t, load(r + t) + bs * load(a[s] + t));
                    for (std::size_t t = full; t < rows; ++t) r[t] = r[t] + bs * a[s][t];
                }
            }
        }
    }
}

constexpr RowKernels kRowKernels{rows_dot_all, rows_wsumsq_all, rows_sub_all, rows_sub_dot_all,
                                 rows_add_all};

}  // namespace

}  // namespace varnel_core::block_detail

#pragma GCC diagnostic pop
