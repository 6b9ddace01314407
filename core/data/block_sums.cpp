#include "data/block_sums.hpp"

#include <algorithm>

#include "base/errors.hpp"
#include "data/dense.hpp"

namespace varnel_core {

namespace {

void check_block(const StandardizedBlock& z) {
    require(z.scale.size() == z.x.ncols && (z.centre.empty() || z.centre.size() == z.x.ncols),
            "block sums: one centre and one scale per column");
}

}  // namespace

void block_linear_predictor(const StandardizedBlock& z, std::size_t width,
                            std::span<const double> coef, std::span<const std::size_t> active,
                            std::span<const double> b0, std::span<const double> offset,
                            std::span<double> eta, const Interrupt& interrupt) {
    check_block(z);
    const std::size_t n = z.x.nrows, nk = width;
    require(b0.size() == nk && eta.size() == checked_size(n, nk) &&
                (offset.empty() || offset.size() == eta.size()),
            "block sums: intercepts, offset or eta of the wrong length");
    const DenseMatrix x(z.x);
    std::vector<std::size_t> set;
    Vec b, centres, column(n);
    for (std::size_t k = 0; k < nk; ++k) {
        set.clear();
        b.clear();
        centres.clear();
        for (const std::size_t j : active) {
            const double c = coef[j * nk + k];
            if (c == 0.0) continue;
            set.push_back(j);
            b.push_back(c / z.scale[j]);
            centres.push_back(z.centre.empty() ? 0.0 : z.centre[j]);
        }
        interrupt.tick(n * (set.size() + 1));
        x.times(set, b, column, centres);  // sum over set, in list order, of b_t (x_j - c_j)
        for (std::size_t i = 0; i < n; ++i) {
            const double base = b0[k] + column[i];
            eta[i * nk + k] = offset.empty() ? base : base + offset[i * nk + k];
        }
    }
}

void block_working_sums(const StandardizedBlock& z, std::size_t width, std::span<const double> v,
                        std::span<const double> r, RowSums& sums, const Interrupt& interrupt) {
    check_block(z);
    const std::size_t n = z.x.nrows, p = z.x.ncols, nk = width, ext = p + 2 * nk;
    require(v.size() == checked_size(n, nk) && r.size() == v.size() &&
                sums.gradient.size() == p * nk && sums.weighted.size() == p * nk,
            "block sums: weights, residuals or sums of the wrong length");
    // [r_.0 .. r_.K-1, v_.0 .. v_.K-1] beside x: one pass of the Gram kernel
    // with unit weights gives <z_j, r_.k> and <z_j, v_.k>.
    Vec extra(checked_size(n, 2 * nk)), ones(n, 1.0), centre(ext, 0.0), scale(ext, 1.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < nk; ++k) {
            extra[i * 2 * nk + k] = r[i * nk + k];
            extra[i * 2 * nk + nk + k] = v[i * nk + k];
        }
    if (!z.centre.empty()) std::copy(z.centre.begin(), z.centre.end(), centre.begin());
    std::copy(z.scale.begin(), z.scale.end(), scale.begin());
    std::vector<std::size_t> cols(2 * nk);
    for (std::size_t t = 0; t < cols.size(); ++t) cols[t] = p + t;
    Vec out(checked_size(ext, cols.size()));
    const StridedMatrix side{extra.data(), n, 2 * nk, static_cast<std::ptrdiff_t>(2 * nk), 1};
    gram_columns(z.x, ones, Centring::given, centre, scale, cols, out.data(), ext, {},
                 GramKernel::best, side, z.n_threads, interrupt);
    for (std::size_t k = 0; k < nk; ++k) {
        std::copy_n(out.data() + k * ext, p, sums.gradient.data() + k * p);
        std::copy_n(out.data() + (nk + k) * ext, p, sums.weighted.data() + k * p);
        double vs = 0.0, rs = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            vs += v[i * nk + k];
            rs += r[i * nk + k];
        }
        sums.weight_sums[k] = vs;
        sums.residual_sums[k] = rs;
    }
}

void block_products(const StandardizedBlock& z, std::size_t width, std::span<const double> v,
                    std::span<const std::size_t> cols, double* out, const Interrupt& interrupt) {
    check_block(z);
    const std::size_t n = z.x.nrows, p = z.x.ncols, nk = width;
    require(v.size() == checked_size(n, nk), "block sums: weights of the wrong length");
    if (cols.empty()) return;
    Vec vk(nk > 1 ? n : 0);
    for (std::size_t k = 0; k < nk; ++k) {
        std::span<const double> w = v;
        if (nk > 1) {
            for (std::size_t i = 0; i < n; ++i) vk[i] = v[i * nk + k];
            w = vk;
        }
        gram_columns(z.x, w, Centring::given, z.centre, z.scale, cols, out + k * p, nk * p, {},
                     GramKernel::best, {}, z.n_threads, interrupt);
    }
}

}  // namespace varnel_core
