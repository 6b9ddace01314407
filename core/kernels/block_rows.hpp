// The dense row kernels of block_kernels.hpp, written once and compiled for
// several instruction sets (block_rows_*.cpp), chosen at run time.
//
// Classes are taken in slices of at most kSliceClasses, each slice's width
// a compile-time constant, so that a row's slice of R and V sits in vector
// registers and the compiler spreads the classes over the vector lanes.
// Every class's sum runs in two chains, over the even and over the odd rows
// (the last row of an odd count joins the even chain), combined as
// even + odd, with separate multiplications and additions (the build's
// -ffp-contract=off): the classes never mix, so every instruction set, and
// every slicing, gives the same bits.
//
// As in gram_isa.hpp, the kernel files are compiled for different
// instruction sets, so this header holds only a plain struct and functions
// with internal linkage, and the kernel files include nothing else.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace varnel_core::block_detail {

constexpr std::size_t kSliceClasses = 16;

// The row kernels of one instruction set; the arguments as in
// block_kernels.hpp.
struct RowKernels {
    void (*dot)(const double* z, double c, const double* R, std::size_t n, std::size_t K,
                double* out);
    void (*wsumsq)(const double* z, double c, const double* V, std::size_t n, std::size_t K,
                   double* out);
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

// Runs fn(slice width as a constant, first class, width) over the slices of
// K classes.
template <class Fn>
inline void for_slices(std::size_t K, Fn&& fn) {
    for (std::size_t k0 = 0; k0 < K; k0 += kSliceClasses) {
        const std::size_t w = K - k0 < kSliceClasses ? K - k0 : kSliceClasses;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((w == I + 1 ? (fn(std::integral_constant<std::size_t, I + 1>{}, k0), 0) : 0), ...);
        }(std::make_index_sequence<kSliceClasses>{});
    }
}

template <std::size_t W>
inline void dot_slice(const double* z, double c, const double* R, std::size_t n, std::size_t K,
                      double* out) {
    double a[W] = {}, b[W] = {};
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const double z0 = z[i] - c, z1 = z[i + 1] - c;
        const double* r0 = R + i * K;
        const double* r1 = r0 + K;
        for (std::size_t k = 0; k < W; ++k) a[k] += z0 * r0[k];
        for (std::size_t k = 0; k < W; ++k) b[k] += z1 * r1[k];
    }
    if (i < n)
        for (std::size_t k = 0; k < W; ++k) a[k] += (z[i] - c) * R[i * K + k];
    for (std::size_t k = 0; k < W; ++k) out[k] = a[k] + b[k];
}

template <std::size_t W>
inline void wsumsq_slice(const double* z, double c, const double* V, std::size_t n,
                         std::size_t K, double* out) {
    double a[W] = {}, b[W] = {};
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const double d0 = z[i] - c, d1 = z[i + 1] - c;
        const double zz0 = d0 * d0, zz1 = d1 * d1;
        const double* v0 = V + i * K;
        const double* v1 = v0 + K;
        for (std::size_t k = 0; k < W; ++k) a[k] += v0[k] * zz0;
        for (std::size_t k = 0; k < W; ++k) b[k] += v1[k] * zz1;
    }
    if (i < n)
        for (std::size_t k = 0; k < W; ++k) a[k] += V[i * K + k] * ((z[i] - c) * (z[i] - c));
    for (std::size_t k = 0; k < W; ++k) out[k] = a[k] + b[k];
}

template <std::size_t W>
inline void sub_slice(const double* z, double c, const double* V, const double* delta, double* R,
                      std::size_t n, std::size_t K) {
    double d[W];
    for (std::size_t k = 0; k < W; ++k) d[k] = delta[k];
    for (std::size_t i = 0; i < n; ++i) {
        const double* v = V + i * K;
        double* row = R + i * K;
        const double zi = z[i] - c;
        for (std::size_t k = 0; k < W; ++k) row[k] = row[k] - (v[k] * zi) * d[k];
    }
}

template <std::size_t W>
inline void sub_dot_slice(const double* z, double c, const double* V, const double* delta,
                          double* R, const double* next, double cn, std::size_t n, std::size_t K,
                          double* out) {
    double d[W], a[W] = {}, b[W] = {};
    for (std::size_t k = 0; k < W; ++k) d[k] = delta[k];
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const double z0 = z[i] - c, z1 = z[i + 1] - c;
        const double n0 = next[i] - cn, n1 = next[i + 1] - cn;
        const double* v0 = V + i * K;
        const double* v1 = v0 + K;
        double* r0 = R + i * K;
        double* r1 = r0 + K;
        for (std::size_t k = 0; k < W; ++k) {
            const double r = r0[k] - (v0[k] * z0) * d[k];
            r0[k] = r;
            a[k] += n0 * r;
        }
        for (std::size_t k = 0; k < W; ++k) {
            const double r = r1[k] - (v1[k] * z1) * d[k];
            r1[k] = r;
            b[k] += n1 * r;
        }
    }
    if (i < n) {
        for (std::size_t k = 0; k < W; ++k) {
            const double r = R[i * K + k] - (V[i * K + k] * (z[i] - c)) * d[k];
            R[i * K + k] = r;
            a[k] += (next[i] - cn) * r;
        }
    }
    for (std::size_t k = 0; k < W; ++k) out[k] = a[k] + b[k];
}

// R += b_t z_t for t < m in turn, each entry updated as
// (((r + b_0 z_0) + b_1 z_1) + ...) in one sweep when m = 4.
template <std::size_t W>
inline void add_slice(const double* const* z, const double* c, const double* const* b,
                      std::size_t k0, std::size_t m, double* R, std::size_t n, std::size_t K) {
    if (m == 4) {
        double bb[4][W];
        for (std::size_t t = 0; t < 4; ++t)
            for (std::size_t k = 0; k < W; ++k) bb[t][k] = b[t][k0 + k];
        for (std::size_t i = 0; i < n; ++i) {
            const double z0 = z[0][i] - c[0], z1 = z[1][i] - c[1], z2 = z[2][i] - c[2],
                         z3 = z[3][i] - c[3];
            double* row = R + i * K;
            for (std::size_t k = 0; k < W; ++k)
                row[k] = (((row[k] + bb[0][k] * z0) + bb[1][k] * z1) + bb[2][k] * z2) + bb[3][k] * z3;
        }
        return;
    }
    for (std::size_t t = 0; t < m; ++t) {
        double bt[W];
        for (std::size_t k = 0; k < W; ++k) bt[k] = b[t][k0 + k];
        for (std::size_t i = 0; i < n; ++i) {
            const double zi = z[t][i] - c[t];
            double* row = R + i * K;
            for (std::size_t k = 0; k < W; ++k) row[k] = row[k] + bt[k] * zi;
        }
    }
}

inline void rows_dot_all(const double* z, double c, const double* R, std::size_t n, std::size_t K,
                         double* out) {
    for_slices(K, [&](auto w, std::size_t k0) { dot_slice<w.value>(z, c, R + k0, n, K, out + k0); });
}
inline void rows_wsumsq_all(const double* z, double c, const double* V, std::size_t n,
                            std::size_t K, double* out) {
    for_slices(K, [&](auto w, std::size_t k0) { wsumsq_slice<w.value>(z, c, V + k0, n, K, out + k0); });
}
inline void rows_sub_all(const double* z, double c, const double* V, const double* delta,
                         double* R, std::size_t n, std::size_t K) {
    for_slices(K, [&](auto w, std::size_t k0) {
        sub_slice<w.value>(z, c, V + k0, delta + k0, R + k0, n, K);
    });
}
inline void rows_sub_dot_all(const double* z, double c, const double* V, const double* delta,
                             double* R, const double* next, double cn, std::size_t n,
                             std::size_t K, double* out) {
    for_slices(K, [&](auto w, std::size_t k0) {
        sub_dot_slice<w.value>(z, c, V + k0, delta + k0, R + k0, next, cn, n, K, out + k0);
    });
}
inline void rows_add_all(const double* const* z, const double* c, const double* const* b,
                         std::size_t m, double* R, std::size_t n, std::size_t K) {
    for_slices(K, [&](auto w, std::size_t k0) { add_slice<w.value>(z, c, b, k0, m, R + k0, n, K); });
}

constexpr RowKernels kRowKernels{rows_dot_all, rows_wsumsq_all, rows_sub_all, rows_sub_dot_all,
                                 rows_add_all};

}  // namespace

}  // namespace varnel_core::block_detail
