// The interface between the Gram driver (gram.cpp) and its instruction-set
// kernels (gram_isa_*.cpp): how the rows of X are packed, how the products
// of one chunk of packed rows are laid out, and the table of kernels one
// instruction set provides.
//
// The kernel files are compiled for different instruction sets.  So that the
// linker can never resolve a call to a copy built for another instruction
// set, this header holds only plain structs and functions with internal
// linkage (`static`), and the kernel files include nothing else.
#pragma once

#include <cstddef>

namespace varnel_core::gram_detail {

// Rows per chain: every product is summed over kChainRows rows at a time in
// one chain of fused multiply-adds started from 0 (the chunk sum), and the
// chunk sums are added in row order.  Part of the summation order, hence of
// the bits.
constexpr std::size_t kChainRows = 64;

// Packed columns.  The p columns are padded with zero columns to a multiple
// of the vector length vl and cut into groups of 2 or 3 vectors (a single
// vector when there is only one).  A chunk of kChainRows rows is stored group
// by group; within a group row by row, each row gz vl doubles wide.  Rows past
// the end of X are zero (they add exact zeros to every chain).
struct Layout {
    std::size_t vl = 4;       // doubles per vector
    std::size_t nvec = 0;     // padded columns / vl
    std::size_t ngroups = 0;  // ceil(nvec / 3)
};

static inline Layout make_layout(std::size_t vl, std::size_t ncols) {
    Layout l;
    l.vl = vl;
    l.nvec = (ncols + vl - 1) / vl;
    l.ngroups = (l.nvec + 2) / 3;
    return l;
}
static inline std::size_t padded(const Layout& l) { return l.nvec * l.vl; }
// What is not a multiple of 3 vectors (2 or 4 vectors, or a single one) in
// groups of 2 (or 1) first, where the triangle is short, then groups of 3.
static inline std::size_t group_start(const Layout& l, std::size_t g) {  // in vectors
    const std::size_t r = l.nvec % 3;
    const std::size_t small = l.nvec == 1 ? 1 : r == 0 ? 0 : r == 2 ? 1 : 2;  // groups of 2 (or 1)
    const std::size_t start = g <= small ? 2 * g : 2 * small + 3 * (g - small);
    return start < l.nvec ? start : l.nvec;
}
static inline std::size_t group_size(const Layout& l, std::size_t g) {  // in vectors
    return group_start(l, g + 1) - group_start(l, g);
}
// Doubles per packed chunk, and where group g starts within one.
static inline std::size_t chunk_size(const Layout& l) { return kChainRows * padded(l); }
static inline std::size_t group_offset(const Layout& l, std::size_t g) {
    return kChainRows * group_start(l, g) * l.vl;
}

// Result tiles: 3 vl rows x vl columns, column-major (leading dimension 3 vl);
// a group with fewer vectors uses the top of its tiles.  In a triangle, group
// g has one tile per column slice s < group_start(g) + group_size(g) (the
// slices that reach its rows), stored group by group.  With weighted_mean
// centring the products of every packed column with the weights' square
// roots (the corrections, padded(l) doubles) follow the tiles, and then room
// for the sum of the weights (vl doubles, the driver's).
static inline std::size_t tile_size(const Layout& l) { return 3 * l.vl * l.vl; }
static inline std::size_t triangle_tiles(const Layout& l) {
    std::size_t t = 0;
    for (std::size_t g = 0; g < l.ngroups; ++g) t += group_start(l, g + 1);
    return t;
}
static inline std::size_t corrections_size(const Layout& l) { return padded(l) + l.vl; }

// Rows [i0, i0 + rows) of columns [j0, j0 + ncols) of a strided float64
// matrix become (x - centre) * sw, row k written at
// dst + (k / kChainRows) * chunk_stride + (k % kChainRows) * ldp: a subtraction
// then a multiplication, the same IEEE operations in every kernel.  A kernel
// may write zeros after the ncols columns, up to a whole vector; rows is at
// most kMaxPackRows.
constexpr std::size_t kMaxPackRows = 256;
struct PackJob {
    const double* x;
    std::ptrdiff_t row_stride, col_stride;  // in elements, any sign
    std::size_t i0, rows, j0, ncols;
    const double* centre;  // indexed by absolute column
    const double* sw;      // sw[k] for row i0 + k
    double* dst;
    std::size_t ldp, chunk_stride;
};

// The products of one packed chunk added to a block's tiles.  Triangle: every
// tile of the triangle (entries on and below the diagonal, some above it in
// diagonal tiles).  Columns: `q` requested columns packed in `cols_panel`
// (kChainRows rows of qpad doubles, qpad a multiple of vl), tile (g, s) at
// (g * qpad / vl + s) * tile_size for every group g and column slice s.
// `sw` is null or holds the weights' square roots packed as the first column
// of a slice (kChainRows rows of vl doubles); their products with every
// column (the corrections) go after the tiles.
//
// While it multiplies, the kernel prefetches (a few lines before each tile)
// the rows of X the next chunk reads: nseg runs of seg_lines cache lines,
// run s starting at base + s * seg_step bytes.
struct Prefetch {
    const char* base = nullptr;
    std::ptrdiff_t seg_step = 0;
    std::size_t seg_lines = 0, nseg = 0, per_tile = 0;
};

struct ChunkJob {
    Layout layout;
    Prefetch prefetch;
    const double* panel;
    const double* cols_panel;
    std::size_t qpad;
    const double* sw;
    double* tiles;
};

struct IsaKernels {
    std::size_t vl;
    void (*pack)(const PackJob&);
    void (*triangle)(const ChunkJob&);
    void (*columns)(const ChunkJob&);
    // Column statistics of kb rows of a packed row-major block, lda (a
    // multiple of 8) columns: s[c] = sum_k w[k] a[k, c]; and with d = a[k, c]
    // - m[c], t = w[k] d: q[c] = sum_k t d, r[c] = sum_k t dy[k] (when dy is
    // not null).  Each sum down the rows in order from 0, with separate
    // multiplications and additions.
    void (*column_sums)(const double* a, std::size_t lda, const double* w, std::size_t kb, double* s);
    void (*deviation_sums)(const double* a, std::size_t lda, const double* w, const double* dy,
                           std::size_t kb, const double* m, double* q, double* r);
    // v[k] = sqrt(v[k]) for the kChainRows entries of a chunk.
    void (*square_roots)(double* v);
    // 12 vl fused multiply-adds per iteration on registers only (the peak).
    double (*fma_loop)(std::size_t iterations);
};

// Null when this build has no such kernels (not an x86-64 build).
const IsaKernels* portable_kernels();
const IsaKernels* avx2_kernels();
const IsaKernels* avx512_kernels();
// The kernels GramKernel::best stands for (gram.cpp).
const IsaKernels& best_isa_kernels();

}  // namespace varnel_core::gram_detail
