// The Gram driver: inputs, blocks of rows and their threads, packing, and the
// finished result; the products of each packed chunk come from the
// instruction-set kernels (gram_isa.hpp).
#include "kernels/gram.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>
#include <vector>

#include "base/errors.hpp"
#include "kernels/gram_blocks.hpp"
#include "kernels/gram_buffer.hpp"
#include "kernels/gram_isa.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#define VARNEL_GRAM_X86 1
#endif

namespace varnel_core {

using namespace gram_detail;

static_assert(gram_chain_rows == kChainRows, "the chunk length is the kernels' chain length");
static_assert(gram_block_rows % gram_chain_rows == 0 && gram_centre_rows % gram_chain_rows == 0);
static_assert(kChainRows <= kMaxPackRows);

namespace {

constexpr std::size_t R = kChainRows;
constexpr std::size_t S = gram_block_rows;
// Chunks of at most this many bytes prefetch the next chunk's rows of X while
// they are multiplied (larger ones would push their own panel out of the
// cache, and spend long enough on each row for the hardware to keep up).
constexpr std::size_t kPrefetchBytes = 128 * 1024;
// Below this many fused multiply-adds per thread, more threads cost more than
// they save.
constexpr double kWorkPerThread = 2e6;

const IsaKernels& kernels_for(GramKernel k) {
    const IsaKernels* t = nullptr;
    switch (k) {
        case GramKernel::avx512: t = avx512_kernels(); break;
        case GramKernel::avx2: t = avx2_kernels(); break;
        default: t = portable_kernels(); break;
    }
    require(t != nullptr, "gram: this build has no such kernel");
    return *t;
}

GramKernel resolve(GramKernel k) {
    if (k == GramKernel::best) return gram_best_kernel();
    require(gram_kernel_available(k), "gram: this CPU cannot run the requested kernel");
    return k;
}

struct Inputs {
    const StridedMatrix* x = nullptr;
    const StridedMatrix* z = nullptr;  // extra columns after those of x
    std::span<const double> w;
    std::size_t n = 0, p = 0;          // p = x.ncols + z.ncols
    std::vector<double> centre, scale;
    bool at_mean = false;              // form d and W for the corrections
    const IsaKernels* isa = nullptr;
    Layout layout;
    double value(std::size_t i, std::size_t j) const {
        return j < x->ncols ? x->at(i, j) : z->at(i, j - x->ncols);
    }
};

Inputs check_inputs(const StridedMatrix& x, const StridedMatrix& z, std::span<const double> w,
                    Centring centring, std::span<const double> centre,
                    std::span<const double> scale, std::span<double> means, GramKernel kernel,
                    std::size_t n_threads) {
    const std::size_t n = x.nrows, p = x.ncols + z.ncols;
    require(w.size() == n, "gram: weights of the wrong length");
    require(z.ncols == 0 || z.nrows == n, "gram: extra columns of the wrong length");
    require(centre.empty() || centre.size() == p, "gram: centres of the wrong length");
    require(scale.empty() || scale.size() == p, "gram: scales of the wrong length");
    require(means.empty() || (means.size() == p && centring == Centring::weighted_mean),
            "gram: means are given back only when centring at the weighted means, p of them");
    require(n == 0 || ((x.ncols == 0 || x.data) && (z.ncols == 0 || z.data)), "gram: no data");
    require(n_threads >= 1, "gram: n_threads must be at least 1");
    Inputs in;
    in.x = &x;
    in.z = &z;
    in.w = w;
    in.n = n;
    in.p = p;
    in.at_mean = centring == Centring::weighted_mean;
    in.isa = &kernels_for(resolve(kernel));
    in.layout = make_layout(in.isa->vl, p);
    in.centre = centre.empty() ? std::vector<double>(p, 0.0)
                               : std::vector<double>(centre.begin(), centre.end());
    in.scale = scale.empty() ? std::vector<double>(p, 1.0)
                             : std::vector<double>(scale.begin(), scale.end());
    if (in.at_mean && centre.empty()) {
        // Provisional centres: the weighted means of the first rows.
        const std::size_t kb = std::min(gram_centre_rows, n);
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

// Threads worth starting for `fmas` fused multiply-adds over the blocks.
std::size_t useful_threads(const Inputs& in, std::size_t n_threads, double fmas) {
    const std::size_t nblocks = (in.n + S - 1) / S;
    const double by_work = std::max(1.0, fmas / kWorkPerThread);
    return std::min({n_threads, nblocks, static_cast<std::size_t>(std::min(by_work, 1e6))});
}

// The prefetches of rows [i0, i0 + rows) of x, spread over `calls` tiles;
// none when a chunk's panel is too large to share the cache with them.
Prefetch prefetch_rows(const Inputs& in, std::size_t i0, std::size_t rows, std::size_t calls) {
    Prefetch p;
    const StridedMatrix& x = *in.x;
    if (rows == 0 || x.ncols == 0 || chunk_size(in.layout) * sizeof(double) > kPrefetchBytes) return p;
    std::size_t seg_bytes = 0;
    if (x.row_stride == 1) {  // one run per column
        p.base = reinterpret_cast<const char*>(x.data + static_cast<std::ptrdiff_t>(i0));
        p.nseg = x.ncols, seg_bytes = rows * sizeof(double);
        p.seg_step = x.col_stride * static_cast<std::ptrdiff_t>(sizeof(double));
    } else if (x.col_stride == 1) {  // one run per row
        p.base = reinterpret_cast<const char*>(x.data + static_cast<std::ptrdiff_t>(i0) * x.row_stride);
        p.nseg = rows, seg_bytes = x.ncols * sizeof(double);
        p.seg_step = x.row_stride * static_cast<std::ptrdiff_t>(sizeof(double));
    }
    p.seg_lines = (seg_bytes + 63) / 64;
    p.per_tile = (p.nseg * p.seg_lines + calls - 1) / std::max<std::size_t>(calls, 1);
    return p;
}

// One thread's scratch for a block of rows: the packed rows of one chunk and
// their sqrt(w).
class PackedRows {
public:
    PackedRows(const Inputs& in, std::size_t tile_calls)
        : in_(in), panel_(chunk_size(in.layout), Buffer::panel), sw_(R, Buffer::weights),
          sw_slice_(in.at_mean ? R * in.layout.vl : 0, Buffer::scratch), tile_calls_(tile_calls) {}

    // Calls chunk(panel, sw, prefetch) for every chunk of block b in row
    // order (sw: the chunk's sqrt(w) as a slice, see ChunkJob, null unless
    // at_mean; prefetch: the rows of the chunk after the next, so that they
    // have time to arrive).
    template <class Chunk>
    void each_chunk(std::size_t b, Chunk&& chunk) {
        const std::size_t end = std::min(in_.n, (b + 1) * S);
        auto rows_at = [&](std::size_t i) { return i < end ? std::min(R, end - i) : 0; };
        for (std::size_t i0 = b * S; i0 < end; i0 += R) {
            pack(i0, rows_at(i0));
            chunk(panel_.data(), in_.at_mean ? sw_slice_.data() : nullptr,
                  prefetch_rows(in_, i0 + 2 * R, rows_at(i0 + 2 * R), tile_calls_));
        }
    }

private:
    // Rows [i0, i0 + rows) of the p columns (those of x, then those of z) and
    // their sqrt(w), zero up to a whole chunk.
    void pack(std::size_t i0, std::size_t rows) {
        const Layout& l = in_.layout;
        const StridedMatrix& x = *in_.x;
        const std::size_t px = x.ncols;
        double* sw = sw_.data();
        std::copy(in_.w.data() + i0, in_.w.data() + i0 + rows, sw);
        std::fill(sw + rows, sw + R, 0.0);
        in_.isa->square_roots(sw);
        if (in_.at_mean)
            for (std::size_t k = 0; k < R; ++k) sw_slice_[k * l.vl] = sw[k];
        for (std::size_t g = 0; g < l.ngroups; ++g) {
            const std::size_t j0 = group_start(l, g) * l.vl, ldp = group_size(l, g) * l.vl;
            const std::size_t end = std::min(j0 + ldp, in_.p);
            double* dst = panel_.data() + group_offset(l, g);
            if (j0 < px)
                in_.isa->pack(PackJob{x.data, x.row_stride, x.col_stride, i0, rows, j0,
                                      std::min(end, px) - j0, in_.centre.data(), sw, dst, ldp,
                                      chunk_size(l)});
            for (std::size_t j = std::max(j0, px); j < end; ++j)  // the few extra columns
                for (std::size_t k = 0; k < rows; ++k)
                    dst[k * ldp + j - j0] = (in_.z->at(i0 + k, j - px) - in_.centre[j]) * sw[k];
            std::fill(dst + rows * ldp, dst + R * ldp, 0.0);
        }
    }

    const Inputs& in_;
    Buffer panel_, sw_, sw_slice_;
    std::size_t tile_calls_;
};

// The blocked pass of the products: kernel(panel, sw, prefetch, tiles,
// scratch) adds each chunk's products to a block's tiles (tile_calls tiles
// per chunk), with `scratch` doubles of the thread's own; the blocks' results
// (size doubles) are added to `total` in block order.
template <class Kernel>
class ProductPass : public BlockPass {
public:
    ProductPass(const Inputs& in, std::size_t size, std::size_t tile_calls, std::size_t scratch,
                const Kernel& kernel, double* total)
        : in_(in), size_(size), tile_calls_(tile_calls), scratch_(scratch), kernel_(kernel),
          total_(total) {}

    void reserve(std::size_t slots) override {
        slots_.reserve(slots);
        for (std::size_t s = 0; s < slots; ++s)
            slots_.emplace_back(size_, slots == 1 ? Buffer::tiles : Buffer::none);
    }
    std::unique_ptr<BlockWorker> worker() override { return std::make_unique<Worker>(*this); }
    void merge(std::size_t slot) override {
        const double* t = slots_[slot].data();
        for (std::size_t i = 0; i < size_; ++i) total_[i] = total_[i] + t[i];
    }

private:
    class Worker : public BlockWorker {
    public:
        explicit Worker(ProductPass& pass)
            : pass_(pass), rows_(pass.in_, pass.tile_calls_),
              scratch_(pass.scratch_, Buffer::columns) {}
        void compute(std::size_t b, std::size_t slot) override {
            double* tiles = pass_.slots_[slot].data();
            std::fill(tiles, tiles + pass_.size_, 0.0);
            rows_.each_chunk(b, [&](const double* panel, const double* sw, const Prefetch& pf) {
                pass_.kernel_(panel, sw, pf, tiles, scratch_.data());
                poll();  // a block of wide products takes a good part of a second
            });
            tiles[pass_.size_ - corrections_size(pass_.in_.layout) + padded(pass_.in_.layout)] =
                pass_.in_.at_mean ? pass_.block_weight(b) : 0.0;
        }

    private:
        ProductPass& pass_;
        PackedRows rows_;
        Buffer scratch_;
    };

    // W of block b: four running sums over the rows, then (s0 + s1) + (s2 + s3).
    double block_weight(std::size_t b) const {
        const std::size_t begin = b * S, end = std::min(in_.n, (b + 1) * S);
        const double* w = in_.w.data();
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        std::size_t i = begin;
        for (; i + 4 <= end; i += 4)
            s0 = s0 + w[i], s1 = s1 + w[i + 1], s2 = s2 + w[i + 2], s3 = s3 + w[i + 3];
        if (i < end) s0 = s0 + w[i];
        if (i + 1 < end) s1 = s1 + w[i + 1];
        if (i + 2 < end) s2 = s2 + w[i + 2];
        return (s0 + s1) + (s2 + s3);
    }

    const Inputs& in_;
    const std::size_t size_, tile_calls_, scratch_;
    const Kernel& kernel_;
    double* total_;
    std::vector<Buffer> slots_;
};

// Sums every block's products into `total` (size doubles).
template <class Kernel>
void sum_blocks(const Inputs& in, std::size_t size, std::size_t tile_calls, double* total,
                std::size_t scratch, double fmas, std::size_t n_threads,
                const Interrupt& interrupt, const Kernel& kernel) {
    ProductPass<Kernel> pass(in, size, tile_calls, scratch, kernel, total);
    run_blocks_in_order((in.n + S - 1) / S, useful_threads(in, n_threads, fmas),
                        size * sizeof(double), interrupt, pass);
}

// Where entry (r, j) of the products sits: r in the rows of a group, j in a
// column slice of vl columns; tile index first_tile[group] + slice.
struct TileIndex {
    const Layout& l;
    std::vector<std::size_t> first_tile, group_of;  // per group, per vector
    TileIndex(const Layout& layout, bool triangle, std::size_t slices)
        : l(layout), first_tile(layout.ngroups), group_of(layout.nvec) {
        for (std::size_t g = 0, t = 0; g < l.ngroups; ++g) {
            first_tile[g] = t;
            t += triangle ? group_start(l, g + 1) : slices;
            for (std::size_t v = group_start(l, g); v < group_start(l, g + 1); ++v) group_of[v] = g;
        }
    }
    std::size_t operator()(std::size_t r, std::size_t j) const {
        const std::size_t g = group_of[r / l.vl];
        return (first_tile[g] + j / l.vl) * tile_size(l) + (r - group_start(l, g) * l.vl) +
               j % l.vl * 3 * l.vl;
    }
};

// The value given back for the sums S[k, j]: with d and W, the products at
// the exact weighted means are S[k, j] - d_k d_j / W; then scaled.
struct Finish {
    const Inputs& in;
    std::vector<double> d;  // empty: no correction
    double wsum = 0.0;
    // `corrections`: the sums after the tiles (see corrections_size).
    Finish(const Inputs& inputs, const double* corrections) : in(inputs) {
        if (!in.at_mean) return;
        wsum = corrections[padded(in.layout)];
        if (wsum > 0.0) d.assign(corrections, corrections + in.p);
    }
    double operator()(double v, std::size_t k, std::size_t j) const {
        if (!d.empty()) v = v - (d[k] * d[j]) / wsum;
        return v / (in.scale[k] * in.scale[j]);
    }
    void means(std::span<double> out) const {
        for (std::size_t j = 0; j < out.size(); ++j)
            out[j] = d.empty() ? in.centre[j] : in.centre[j] + d[j] / wsum;
    }
};

// The products' tiles and the corrections after them, summed over every
// block; `sums` the uncorrected S (raw) or the finished products.
struct RawSums {
    std::span<double> deviations;
    double weight = 0.0;
};

void full_impl(const Inputs& in, double* out, std::size_t ld, std::span<double> means,
               std::size_t n_threads, const Interrupt& interrupt, RawSums* raw = nullptr) {
    const Layout& l = in.layout;
    const std::size_t p = in.p, ntiles = triangle_tiles(l);
    const std::size_t size = ntiles * tile_size(l) + corrections_size(l);
    Buffer total(size);
    const double fmas =
        static_cast<double>(in.n) * static_cast<double>(p) * static_cast<double>(p + 1) / 2;
    const IsaKernels& isa = *in.isa;
    sum_blocks(in, size, ntiles, total.data(), 0, fmas, n_threads, interrupt,
               [&](const double* panel, const double* sw, const Prefetch& pf, double* tiles, double*) {
                   isa.triangle(ChunkJob{l, pf, panel, nullptr, 0, sw, tiles});
               });
    const TileIndex at(l, true, 0);
    const double* corrections = total.data() + ntiles * tile_size(l);
    if (raw != nullptr) {
        for (std::size_t j = 0; j < p; ++j)
            for (std::size_t k = 0; k < p; ++k) out[k + j * ld] = total[k >= j ? at(k, j) : at(j, k)];
        std::copy(corrections, corrections + p, raw->deviations.begin());
        raw->weight = corrections[padded(l)];
        return;
    }
    const Finish fin(in, corrections);
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t k = 0; k < p; ++k)
            out[k + j * ld] = fin(total[k >= j ? at(k, j) : at(j, k)], k, j);
    fin.means(means);
}

void columns_impl(const Inputs& in, std::span<const std::size_t> cols, double* out, std::size_t ld,
                  std::span<double> means, std::size_t n_threads, const Interrupt& interrupt) {
    const Layout& l = in.layout;
    const std::size_t p = in.p, vl = l.vl, q = cols.size();
    const std::size_t qpad = std::max<std::size_t>((q + vl - 1) / vl * vl, vl), nqs = qpad / vl;
    const std::size_t ntiles = l.ngroups * nqs, size = ntiles * tile_size(l) + corrections_size(l);
    Buffer total(size);
    // Where column cols[t] sits in a packed chunk: row k at src[t] + k stride[t].
    const TileIndex at(l, false, nqs);
    std::vector<std::size_t> src(q), stride(q);
    for (std::size_t t = 0; t < q; ++t) {
        const std::size_t g = at.group_of[cols[t] / vl];
        src[t] = group_offset(l, g) + cols[t] - group_start(l, g) * vl;
        stride[t] = group_size(l, g) * vl;
    }
    const double fmas = static_cast<double>(in.n) * static_cast<double>(p) * static_cast<double>(q);
    const IsaKernels& isa = *in.isa;
    sum_blocks(in, size, ntiles, total.data(), R * qpad, fmas, n_threads, interrupt,
               [&](const double* panel, const double* sw, const Prefetch& pf, double* tiles,
                   double* qp) {
                   for (std::size_t k = 0; k < R; ++k)
                       for (std::size_t t = 0; t < q; ++t)
                           qp[k * qpad + t] = panel[src[t] + k * stride[t]];
                   isa.columns(ChunkJob{l, pf, panel, qp, qpad, sw, tiles});
               });
    const Finish fin(in, total.data() + ntiles * tile_size(l));
    for (std::size_t t = 0; t < q; ++t)
        for (std::size_t k = 0; k < p; ++k) out[k + t * ld] = fin(total[at(k, t)], k, cols[t]);
    fin.means(means);
}

}  // namespace

bool gram_kernel_available(GramKernel k) noexcept {
    switch (k) {
        case GramKernel::best:
        case GramKernel::portable: return true;
#if defined(VARNEL_GRAM_X86)
        case GramKernel::avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && avx2_kernels();
        case GramKernel::avx512: return __builtin_cpu_supports("avx512f") && avx512_kernels();
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

const IsaKernels& gram_detail::best_isa_kernels() { return kernels_for(gram_best_kernel()); }

double gram_fma_peak(GramKernel k, double seconds) {
    const IsaKernels& isa = kernels_for(resolve(k));
    using clock = std::chrono::steady_clock;
    auto rate = [&](std::size_t iterations) {
        const auto t0 = clock::now();
        volatile double sink = isa.fma_loop(iterations);
        (void)sink;
        const double dt = std::chrono::duration<double>(clock::now() - t0).count();
        return std::pair(12.0 * static_cast<double>(isa.vl * iterations) / dt, dt);
    };
    std::size_t iterations = 1 << 16;
    while (rate(iterations).second < seconds && iterations < (std::size_t{1} << 40)) iterations *= 2;
    double best = 0.0;
    for (int run = 0; run < 5; ++run) best = std::max(best, rate(iterations).first);
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
                  std::size_t n_threads, const Interrupt& interrupt) {
    const Inputs in = check_inputs(x, extra, w, centring, centre, scale, means, kernel, n_threads);
    require(ld >= in.p, "gram_columns: leading dimension below p");
    for (std::size_t c : cols) require(c < in.p, "gram_columns: column index out of range");
    if (in.p == 0 || (cols.empty() && means.empty())) return;
    columns_impl(in, cols, out, ld, means, n_threads, interrupt);
}

double gram_sums(const StridedMatrix& x, std::span<const double> w, std::span<const double> centre,
                 double* out, std::size_t ld, std::span<double> deviations,
                 const StridedMatrix& extra, std::size_t n_threads, const Interrupt& interrupt) {
    const std::size_t p = x.ncols + extra.ncols;
    const Vec zeros(centre.empty() ? p : 0, 0.0);
    const Inputs in = check_inputs(x, extra, w, Centring::weighted_mean,
                                   centre.empty() ? std::span<const double>(zeros) : centre, {}, {},
                                   GramKernel::best, n_threads);
    require(ld >= p && deviations.size() == p, "gram_sums: leading dimension or deviations");
    RawSums raw{deviations};
    if (p == 0) {
        for (const double v : w) raw.weight += v;
        return raw.weight;
    }
    full_impl(in, out, ld, {}, n_threads, interrupt, &raw);
    return raw.weight;
}

void gram_full(const StridedMatrix& x, std::span<const double> w, Centring centring,
               std::span<const double> centre, std::span<const double> scale, double* out,
               std::size_t ld, std::span<double> means, GramKernel kernel,
               const StridedMatrix& extra, std::size_t n_threads, const Interrupt& interrupt) {
    const Inputs in = check_inputs(x, extra, w, centring, centre, scale, means, kernel, n_threads);
    require(ld >= in.p, "gram_full: leading dimension below p");
    if (in.p == 0) return;
    full_impl(in, out, ld, means, n_threads, interrupt);
}

}  // namespace varnel_core
