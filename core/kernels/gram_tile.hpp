// The Gram micro-kernel and the loops over one packed chunk, written once for
// every instruction set: a kernel file supplies the vector operations `O`
// (V, vl, zero, load, load_first, bcast, fma, add, sub, mul, sqrt, store)
// and instantiates these templates with them.  Each entry of a result is formed by the same IEEE
// operations in the same order whatever `O` is, so every kernel gives the
// same bits.  Included only by the kernel files (see gram_isa.hpp on why
// nothing here may have external linkage: the functions are static, the
// class is in an unnamed namespace).
#pragma once

#include "kernels/gram_isa.hpp"

namespace varnel_core::gram_detail {

// c[r + j ldc] += sum_k a[k sa + r] b[k sb + j] for r < NV vl, j < vl, over
// the kChainRows rows of a chunk: each sum one chain of fused multiply-adds
// started from 0 in row order, then added to c.
template <class O, int NV>
static inline void chain_tile(const double* a, std::size_t sa, const double* b, std::size_t sb,
                              double* c, std::size_t ldc) {
    constexpr int NB = static_cast<int>(O::vl);
    typename O::V acc[NB][NV];
#pragma GCC unroll 8
    for (int j = 0; j < NB; ++j)
#pragma GCC unroll 3
        for (int v = 0; v < NV; ++v) acc[j][v] = O::zero();
#pragma GCC unroll 2
    for (std::size_t k = 0; k < kChainRows; ++k) {
        typename O::V av[NV];
#pragma GCC unroll 3
        for (int v = 0; v < NV; ++v) av[v] = O::load(a + v * O::vl);
#pragma GCC unroll 8
        for (int j = 0; j < NB; ++j) {
            const typename O::V bj = O::bcast(b + j);
#pragma GCC unroll 3
            for (int v = 0; v < NV; ++v) acc[j][v] = O::fma(av[v], bj, acc[j][v]);
        }
        a += sa;
        b += sb;
    }
#pragma GCC unroll 8
    for (int j = 0; j < NB; ++j)
#pragma GCC unroll 3
        for (int v = 0; v < NV; ++v) {
            double* cp = c + j * ldc + v * O::vl;
            O::store(cp, O::add(O::load(cp), acc[j][v]));
        }
}

template <class O>
static inline void chain_tile(std::size_t nv, const double* a, std::size_t sa, const double* b,
                              std::size_t sb, double* c) {
    constexpr std::size_t ldc = 3 * O::vl;
    switch (nv) {
        case 1: chain_tile<O, 1>(a, sa, b, sb, c, ldc); break;
        case 2: chain_tile<O, 2>(a, sa, b, sb, c, ldc); break;
        default: chain_tile<O, 3>(a, sa, b, sb, c, ldc); break;
    }
}

// For each of NV packed column vectors v (rows at a[v] + k stride[v]):
// d[v][i] += sum_k sw[k] a[v][k stride[v] + i], each a chain over the chunk
// as in chain_tile; NV independent chains at once hide the latency of each.
template <class O, int NV>
static inline void weight_sums(const double* const* a, const std::size_t* stride, const double* sw,
                               double* const* d) {
    typename O::V acc[NV];
    const double* p[NV];
    std::size_t st[NV];
#pragma GCC unroll 12
    for (int v = 0; v < NV; ++v) acc[v] = O::zero(), p[v] = a[v], st[v] = stride[v];
    for (std::size_t k = 0; k < kChainRows; ++k) {
        const typename O::V s = O::bcast(sw + k * O::vl);
#pragma GCC unroll 12
        for (int v = 0; v < NV; ++v) acc[v] = O::fma(O::load(p[v]), s, acc[v]), p[v] += st[v];
    }
#pragma GCC unroll 12
    for (int v = 0; v < NV; ++v) O::store(d[v], O::add(O::load(d[v]), acc[v]));
}

// weight_sums<O, m> for a count m <= N known at run time.
template <class O, int N>
static inline void weight_sums_of(int m, const double* const* a, const std::size_t* stride,
                                  const double* sw, double* const* d) {
    if constexpr (N > 1)
        if (m < N) return weight_sums_of<O, N - 1>(m, a, stride, sw, d);
    weight_sums<O, N>(a, stride, sw, d);
}

// The products of every packed column with the weights' square roots (sw
// packed as the first column of a slice), added to d (padded(l) doubles), in
// batches of at most 12 vectors and as even as can be (a short batch would
// wait on its few chains).
template <class O>
static inline void weight_sums(const Layout& l, const double* panel, const double* sw, double* d) {
    constexpr std::size_t kBatch = 12;
    const std::size_t batches = (l.nvec + kBatch - 1) / kBatch, size = (l.nvec + batches - 1) / batches;
    const double* a[kBatch];
    std::size_t stride[kBatch];
    double* dst[kBatch];
    std::size_t m = 0, done = 0;
    for (std::size_t g = 0; g < l.ngroups; ++g)
        for (std::size_t v = 0, gz = group_size(l, g); v < gz; ++v) {
            a[m] = panel + group_offset(l, g) + v * O::vl;
            stride[m] = gz * O::vl;
            dst[m] = d + (group_start(l, g) + v) * O::vl;
            ++done;
            if (++m < size && done < l.nvec) continue;
            weight_sums_of<O, kBatch>(static_cast<int>(m), a, stride, sw, dst);
            m = 0;
        }
}

namespace {  // each kernel file's own copy (see gram_isa.hpp)

// Issues the prefetches of a chunk, per_tile at a time.
class Prefetcher {
public:
    explicit Prefetcher(const Prefetch& p)
        : base_(p.base), step_(p.seg_step), lines_(p.seg_lines), left_(p.nseg), per_tile_(p.per_tile) {}
    void step() {
        for (std::size_t t = per_tile_; t > 0 && left_ > 0; --t) {
            __builtin_prefetch(base_ + static_cast<std::ptrdiff_t>(line_ * 64), 0, 2);
            if (++line_ == lines_) line_ = 0, base_ += step_, --left_;
        }
    }

private:
    const char* base_;
    std::ptrdiff_t step_;
    std::size_t lines_, left_, per_tile_, line_ = 0;
};

}  // namespace

// The triangle's tiles (see gram_isa.hpp): group g against every column
// slice s that reaches its rows, from the diagonal down.
template <class O>
static void triangle_chunk(const ChunkJob& job) {
    const Layout& l = job.layout;
    const std::size_t ts = tile_size(l);
    double* tile = job.tiles;
    Prefetcher pf(job.prefetch);
    for (std::size_t g = 0; g < l.ngroups; ++g) {
        const std::size_t g0 = group_start(l, g), gz = group_size(l, g), sa = gz * O::vl;
        const double* a = job.panel + group_offset(l, g);
        std::size_t h = 0;  // the group holding slice s
        for (std::size_t s = 0; s < g0 + gz; ++s, tile += ts) {
            while (group_start(l, h + 1) <= s) ++h;
            const std::size_t hz = group_size(l, h);
            const double* b = job.panel + group_offset(l, h) + (s - group_start(l, h)) * O::vl;
            const std::size_t from = s > g0 ? s - g0 : 0;  // vectors above the diagonal
            pf.step();
            chain_tile<O>(gz - from, a + from * O::vl, sa, b, hz * O::vl, tile + from * O::vl);
        }
    }
    if (job.sw) weight_sums<O>(l, job.panel, job.sw, tile);
}

// Every group against every slice of the requested columns.
template <class O>
static void columns_chunk(const ChunkJob& job) {
    const Layout& l = job.layout;
    const std::size_t ts = tile_size(l), nqs = job.qpad / O::vl;
    double* tile = job.tiles;
    Prefetcher pf(job.prefetch);
    for (std::size_t g = 0; g < l.ngroups; ++g) {
        const std::size_t gz = group_size(l, g);
        const double* a = job.panel + group_offset(l, g);
        for (std::size_t s = 0; s < nqs; ++s, tile += ts) {
            pf.step();
            chain_tile<O>(gz, a, gz * O::vl, job.cols_panel + s * O::vl, job.qpad, tile);
        }
    }
    if (job.sw) weight_sums<O>(l, job.panel, job.sw, tile);
}

// The address of packed row k (rows of one chunk are ldp apart).
static inline double* packed_row(const PackJob& job, std::size_t k) {
    return job.dst + k / kChainRows * job.chunk_stride + k % kChainRows * job.ldp;
}

// Element-by-element packing: any strides, and the edges the vector packers
// leave (columns [c_from, ncols) of every row, rows [k_from, rows) of the
// columns before c_from).
static inline void pack_scalar(const PackJob& job, std::size_t c_from, std::size_t k_from) {
    for (std::size_t c = 0; c < job.ncols; ++c) {
        const std::size_t j = job.j0 + c;
        const double cj = job.centre[j];
        const double* col = job.x + static_cast<std::ptrdiff_t>(j) * job.col_stride;
        for (std::size_t k = c < c_from ? k_from : 0; k < job.rows; ++k)
            packed_row(job, k)[c] =
                (col[static_cast<std::ptrdiff_t>(job.i0 + k) * job.row_stride] - cj) * job.sw[k];
    }
}

// Packing from a matrix whose rows are contiguous (col_stride 1): whole
// vectors along each row, the last, partial one with zeros after the
// columns.
template <class O>
static void pack_along_rows(const PackJob& job) {
    // The vector stores may alias anything: keep what the loop reads in locals.
    const std::size_t rows = job.rows, full_c = job.ncols / O::vl * O::vl, tail = job.ncols - full_c;
    const std::size_t ldp = job.ldp, cs = job.chunk_stride;
    const std::ptrdiff_t step = job.row_stride;
    const double* const cen = job.centre + job.j0;
    const double* const sw = job.sw;
    double* const dst = job.dst;
    const typename O::V cen_tail = O::load_first(cen + full_c, tail);
    const double* row =
        job.x + static_cast<std::ptrdiff_t>(job.i0) * step + static_cast<std::ptrdiff_t>(job.j0);
    for (std::size_t k = 0; k < rows; ++k, row += step) {
        const typename O::V s = O::bcast(sw + k);
        double* d = dst + k / kChainRows * cs + k % kChainRows * ldp;
        for (std::size_t c = 0; c < full_c; c += O::vl)
            O::store(d + c, O::mul(O::sub(O::load(row + c), O::load(cen + c)), s));
        if (tail) O::store(d + full_c, O::mul(O::sub(O::load_first(row + full_c, tail), cen_tail), s));
    }
}

// Column statistics of a packed row-major block (see gram_stats.cpp): each
// column's sum runs down the rows in order with separate IEEE operations, so
// that any vector width gives the same bits; NV vectors of columns at a
// time, so that the sums stay in registers.

// s[c] = sum_k w[k] a[k lda + c] for the NV vl columns from c = 0.
template <class O, int NV>
static inline void column_sums(const double* a, std::size_t lda, const double* w, std::size_t kb,
                               double* s) {
    typename O::V acc[NV];
#pragma GCC unroll 8
    for (int v = 0; v < NV; ++v) acc[v] = O::zero();
    for (std::size_t k = 0; k < kb; ++k, a += lda) {
        const typename O::V wk = O::bcast(w + k);
#pragma GCC unroll 8
        for (int v = 0; v < NV; ++v) acc[v] = O::add(acc[v], O::mul(wk, O::load(a + v * O::vl)));
    }
#pragma GCC unroll 8
    for (int v = 0; v < NV; ++v) O::store(s + v * O::vl, acc[v]);
}

// With d = a[k, c] - m[c] and t = w[k] d: q[c] = sum_k t d and, when dy is
// given, r[c] = sum_k t dy[k], for the NV vl columns from c = 0.
template <class O, int NV>
static inline void deviation_sums(const double* a, std::size_t lda, const double* w,
                                  const double* dy, std::size_t kb, const double* m, double* q,
                                  double* r) {
    typename O::V qs[NV], rs[NV];
#pragma GCC unroll 4
    for (int v = 0; v < NV; ++v) qs[v] = O::zero(), rs[v] = O::zero();
    for (std::size_t k = 0; k < kb; ++k, a += lda) {
        const typename O::V wk = O::bcast(w + k);
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) {
            const typename O::V d = O::sub(O::load(a + v * O::vl), O::load(m + v * O::vl));
            const typename O::V t = O::mul(wk, d);
            qs[v] = O::add(qs[v], O::mul(t, d));
            if (dy) rs[v] = O::add(rs[v], O::mul(t, O::bcast(dy + k)));
        }
    }
#pragma GCC unroll 4
    for (int v = 0; v < NV; ++v) {
        O::store(q + v * O::vl, qs[v]);
        if (dy) O::store(r + v * O::vl, rs[v]);
    }
}

// The two above over the lda columns of a block (lda a multiple of 8).
template <class O>
static void block_column_sums(const double* a, std::size_t lda, const double* w, std::size_t kb,
                              double* s) {
    std::size_t c = 0;
    for (; c + 8 * O::vl <= lda; c += 8 * O::vl) column_sums<O, 8>(a + c, lda, w, kb, s + c);
    for (; c < lda; c += O::vl) column_sums<O, 1>(a + c, lda, w, kb, s + c);
}
template <class O>
static void block_deviation_sums(const double* a, std::size_t lda, const double* w,
                                 const double* dy, std::size_t kb, const double* m, double* q,
                                 double* r) {
    std::size_t c = 0;
    for (; c + 4 * O::vl <= lda; c += 4 * O::vl)
        deviation_sums<O, 4>(a + c, lda, w, dy, kb, m + c, q + c, r + c);
    for (; c < lda; c += O::vl) deviation_sums<O, 1>(a + c, lda, w, dy, kb, m + c, q + c, r + c);
}

// v[k] = sqrt(v[k]) for the kChainRows entries of a chunk (correctly
// rounded everywhere).
template <class O>
static void square_roots(double* v) {
    for (std::size_t k = 0; k < kChainRows; k += O::vl) O::store(v + k, O::sqrt(O::load(v + k)));
}

// 12 vl fused multiply-adds per iteration, on registers only: the peak rate
// of the vector unit.  Returns a value that depends on every operation.
template <class O>
static double fma_loop(std::size_t iterations) {
    typename O::V acc[12];
    double start[O::vl] = {}, m[O::vl], c[O::vl];
    for (std::size_t i = 0; i < O::vl; ++i) m[i] = 0.999999, c[i] = 1e-7;
    const typename O::V mv = O::load(m), cv = O::load(c);
#pragma GCC unroll 12
    for (int i = 0; i < 12; ++i) start[0] = i, acc[i] = O::load(start);
    for (std::size_t t = 0; t < iterations; ++t)
#pragma GCC unroll 12
        for (int i = 0; i < 12; ++i) acc[i] = O::fma(acc[i], mv, cv);
    for (int i = 1; i < 12; ++i) acc[0] = O::add(acc[0], acc[i]);
    O::store(start, acc[0]);
    return start[0];
}

}  // namespace varnel_core::gram_detail
