// weighted_column_stats (see gram.hpp): shifted two-pass moments of blocks of
// rows, merged block by block in row order.
#include <algorithm>
#include <cmath>
#include <vector>

#include "base/errors.hpp"
#include "kernels/gram.hpp"
#include "kernels/gram_blocks.hpp"
#include "kernels/gram_buffer.hpp"
#include "kernels/gram_isa.hpp"

namespace varnel_core {

using namespace gram_detail;

namespace {

constexpr std::size_t KC = gram_centre_rows;  // rows per two-pass block
constexpr std::size_t S = gram_block_rows;    // rows per merged block
static_assert(KC <= kMaxPackRows);

// Weighted moments of a set of rows, on values shifted by a common centre:
// total weight, means, sums of squared deviations and of cross-deviations
// with y, and the mean of y.
struct Moments {
    double wtot = 0.0, ymean = 0.0;
    std::vector<double> mean, m2, cy;
    explicit Moments(std::size_t p) : mean(p, 0.0), m2(p, 0.0), cy(p, 0.0) {}
    void clear() {
        wtot = ymean = 0.0;
        std::fill(mean.begin(), mean.end(), 0.0);
        std::fill(m2.begin(), m2.end(), 0.0);
        std::fill(cy.begin(), cy.end(), 0.0);
    }
    // The pairwise update of Chan, Golub and LeVeque: adds rows of weight wb,
    // means mb, squared deviations qb, cross-deviations rb and mean of y yb.
    void add(double wb, const double* mb, const double* qb, const double* rb, double yb) {
        if (!(wb > 0.0)) return;
        const double wn = wtot + wb;
        const double f = wb / wn, h = wtot * f;  // the new rows' share; W_a W_b / W
        const double ydelta = yb - ymean;
        for (std::size_t c = 0; c < mean.size(); ++c) {
            const double delta = mb[c] - mean[c];
            mean[c] = mean[c] + delta * f;
            m2[c] = m2[c] + (qb[c] + (delta * delta) * h);
            cy[c] = cy[c] + (rb[c] + (delta * ydelta) * h);
        }
        ymean = ymean + ydelta * f;
        wtot = wn;
    }
    void add(const Moments& m) { add(m.wtot, m.mean.data(), m.m2.data(), m.cy.data(), m.ymean); }
};

struct StatsInputs {
    const StridedMatrix* x;
    std::span<const double> w, y;
    const IsaKernels* isa;
    std::size_t pw;  // packed row width: p rounded up to a multiple of 8
    std::vector<double> shift;
    double yshift = 0.0;
};

// Packs rows [i0, i0 + kb) as x - shift, row-major with row width pw.
void pack_block(const StatsInputs& in, std::size_t i0, std::size_t kb, const double* ones, double* a) {
    const StridedMatrix& x = *in.x;
    if (x.ncols > 0)
        in.isa->pack(PackJob{x.data, x.row_stride, x.col_stride, i0, kb, 0, x.ncols, in.shift.data(),
                             ones, a, in.pw, kChainRows * in.pw});
}

// The provisional centre: the weighted means of the first block of KC rows
// with positive weight (values and y).  False when no block has any.
bool find_shift(StatsInputs& in) {
    const std::size_t n = in.x->nrows;
    Buffer a(KC * in.pw, Buffer::panel), ones(KC, Buffer::weights), s1(in.pw, Buffer::scratch);
    std::fill(ones.data(), ones.data() + KC, 1.0);
    for (std::size_t i0 = 0; i0 < n; i0 += KC) {
        const std::size_t kb = std::min(KC, n - i0);
        const double* wb = in.w.data() + i0;
        double wsum = 0.0;
        for (std::size_t k = 0; k < kb; ++k) wsum += wb[k];
        if (!(wsum > 0.0)) continue;
        pack_block(in, i0, kb, ones.data(), a.data());  // shift still 0
        in.isa->column_sums(a.data(), in.pw, wb, kb, s1.data());
        for (std::size_t c = 0; c < in.x->ncols; ++c) in.shift[c] = s1[c] / wsum;
        if (!in.y.empty()) {
            double ybm = 0.0;
            for (std::size_t k = 0; k < kb; ++k) ybm += wb[k] * (in.y[i0 + k] - 0.0);
            in.yshift = ybm / wsum;
        }
        return true;
    }
    return false;
}

// The blocked pass: the moments of each block of S rows, from its blocks of
// KC rows in order, merged into `total` in block order.
class StatsPass : public BlockPass {
public:
    StatsPass(const StatsInputs& in, Moments& total) : in_(in), total_(total) {}
    void reserve(std::size_t slots) override { slots_.assign(slots, Moments(in_.x->ncols)); }
    std::unique_ptr<BlockWorker> worker() override { return std::make_unique<Worker>(*this); }
    void merge(std::size_t slot) override { total_.add(slots_[slot]); }

private:
    class Worker : public BlockWorker {
    public:
        explicit Worker(StatsPass& pass)
            : pass_(pass), in_(pass.in_), a_(KC * in_.pw, Buffer::panel), ones_(KC, Buffer::weights),
              s1_(in_.pw), q_(in_.pw), r_(in_.pw), dy_(KC) {
            std::fill(ones_.data(), ones_.data() + KC, 1.0);
        }
        void compute(std::size_t b, std::size_t slot) override {
            Moments& block = pass_.slots_[slot];
            block.clear();
            const std::size_t n = in_.x->nrows, end = std::min(n, (b + 1) * S), p = in_.x->ncols;
            const bool want_y = !in_.y.empty();
            for (std::size_t i0 = b * S; i0 < end && !stopping(); i0 += KC) {
                const std::size_t kb = std::min(KC, end - i0);
                const double* wb = in_.w.data() + i0;
                double wsum = 0.0;
                for (std::size_t k = 0; k < kb; ++k) wsum += wb[k];
                if (!(wsum > 0.0)) continue;
                pack_block(in_, i0, kb, ones_.data(), a_.data());
                double ybm = 0.0;
                if (want_y) {
                    for (std::size_t k = 0; k < kb; ++k) ybm += wb[k] * (in_.y[i0 + k] - in_.yshift);
                    ybm /= wsum;
                    for (std::size_t k = 0; k < kb; ++k) dy_[k] = (in_.y[i0 + k] - in_.yshift) - ybm;
                }
                in_.isa->column_sums(a_.data(), in_.pw, wb, kb, s1_.data());
                for (std::size_t c = 0; c < p; ++c) s1_[c] = s1_[c] / wsum;  // block means
                in_.isa->deviation_sums(a_.data(), in_.pw, wb, want_y ? dy_.data() : nullptr, kb,
                                        s1_.data(), q_.data(), r_.data());
                block.add(wsum, s1_.data(), q_.data(), r_.data(), ybm);
            }
        }

    private:
        StatsPass& pass_;
        const StatsInputs& in_;
        Buffer a_, ones_;
        std::vector<double> s1_, q_, r_, dy_;
    };

    const StatsInputs& in_;
    Moments& total_;
    std::vector<Moments> slots_;
};

}  // namespace

double weighted_column_stats(const StridedMatrix& x, std::span<const double> w,
                             std::span<const double> y, std::span<double> mean,
                             std::span<double> var, std::span<double> cov, std::size_t n_threads,
                             const Interrupt& interrupt) {
    const std::size_t n = x.nrows, p = x.ncols;
    require(w.size() == n, "weighted_column_stats: weights of the wrong length");
    require(y.empty() || y.size() == n, "weighted_column_stats: response of the wrong length");
    require(mean.size() == p, "weighted_column_stats: means of the wrong length");
    require(var.empty() || var.size() == p, "weighted_column_stats: variances of the wrong length");
    require(cov.empty() || (!y.empty() && cov.size() == p),
            "weighted_column_stats: covariances need y and p entries");
    require(n == 0 || p == 0 || x.data != nullptr, "weighted_column_stats: no data");
    require(n_threads >= 1, "weighted_column_stats: n_threads must be at least 1");
    StatsInputs in{&x, w, y, &best_isa_kernels(), std::max<std::size_t>((p + 7) / 8 * 8, 8),
                   std::vector<double>(p, 0.0)};
    // Values are shifted by a provisional centre before any sum, so that the
    // block means and their differences are formed on deviations, not on
    // values that may be 1e9 times larger.
    require(find_shift(in), "weighted_column_stats: the weights sum to 0");
    Moments total(p);
    const std::size_t nblocks = (n + S - 1) / S;
    const double work = static_cast<double>(n) * static_cast<double>(p);
    const std::size_t threads = work < 1e6 ? 1 : n_threads;
    StatsPass pass(in, total);
    run_blocks_in_order(nblocks, threads, 3 * p * sizeof(double), interrupt, pass);
    require(total.wtot > 0.0, "weighted_column_stats: the weights sum to 0");
    for (std::size_t j = 0; j < p; ++j) mean[j] = in.shift[j] + total.mean[j];
    if (!var.empty())
        for (std::size_t j = 0; j < p; ++j) var[j] = total.m2[j] / total.wtot;
    if (!cov.empty())
        for (std::size_t j = 0; j < p; ++j) cov[j] = total.cy[j] / total.wtot;
    return in.yshift + total.ymean;
}

}  // namespace varnel_core
