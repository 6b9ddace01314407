#include "data/working.hpp"

#include <algorithm>

namespace varnel_core {

DenseWorkingDesign::DenseWorkingDesign(Standardized<DenseMatrix> z, std::size_t width,
                                       const Interrupt& interrupt)
    : z_(std::move(z)), nk_(width), r_(checked_size(z_.rows(), width), 0.0), v_(r_.size(), 0.0),
      chunk_(width > 1 ? checked_size(width, block_chunk_rows) : 0, 0.0), g_(4 * width, 0.0),
      scaled_(4 * width, 0.0), step_(width), interrupt_(interrupt) {
    require(width >= 1 && (z_.base().strided().row_stride == 1 || z_.rows() <= 1),
            "a working design needs K >= 1 and contiguous columns");
}

void DenseWorkingDesign::begin_refit() {
    flush();
    if (!blocked_) return;
    blocked_to_rows(r_.data(), rows(), nk_, chunk_.data());
    blocked_to_rows(v_.data(), rows(), nk_, chunk_.data());
    blocked_ = false;
}

void DenseWorkingDesign::end_refit() {
    if (nk_ == 1 || blocked_) return;
    rows_to_blocked(r_.data(), rows(), nk_, chunk_.data());
    rows_to_blocked(v_.data(), rows(), nk_, chunk_.data());
    blocked_ = true;
    interrupt_.tick(2 * r_.size());
}

void DenseWorkingDesign::column_gradient(std::size_t j, double* g) const {
    const double* col = column(j);
    const double centre = z_.centre(j);
    rows_dot(&col, &centre, 1, r_.data(), rows(), nk_, g);
    for (std::size_t k = 0; k < nk_; ++k) g[k] = g[k] / z_.scale(j);
}

double DenseWorkingDesign::gradient(std::size_t j) {
    require(nk_ == 1, "one gradient per linear predictor");
    if (!step_.take()) return z_.dot(j, r_);
    return z_.weighted_axpy_then_dot(step_.j, v_, step_.delta[0], r_, j);
}

void DenseWorkingDesign::gradient(std::size_t j, std::span<double> g) {
    require(g.size() == nk_, "one gradient per linear predictor");
    if (!step_.take()) return column_gradient(j, g.data());
    const std::size_t s = step_.j;
    for (std::size_t k = 0; k < nk_; ++k) scaled_[k] = step_.delta[k] / z_.scale(s);
    rows_sub_dot(column(s), z_.centre(s), v_.data(), scaled_.data(), r_.data(), column(j),
                 z_.centre(j), rows(), nk_, g.data());
    for (std::size_t k = 0; k < nk_; ++k) g[k] = g[k] / z_.scale(j);
}

void DenseWorkingDesign::flush() {
    if (!step_.take()) return;
    const std::size_t s = step_.j;
    if (nk_ == 1) return z_.weighted_axpy(s, v_, step_.delta[0], r_);  // r -= (v * delta) * z_s
    for (std::size_t k = 0; k < nk_; ++k) scaled_[k] = step_.delta[k] / z_.scale(s);
    rows_sub(column(s), z_.centre(s), v_.data(), scaled_.data(), r_.data(), rows(), nk_);
}

void DenseWorkingDesign::abs_gradients(const Flags& include, const Flags* skip,
                                       std::span<double> out) const {
    require(nk_ == 1, "one gradient per linear predictor");
    abs_gradient_batches(include, skip, out, [&](std::span<const std::size_t> js, double* g) {
        z_.dot_batch(js, r_, g);
        interrupt_.tick(js.size() * rows());
    });
}

void DenseWorkingDesign::curvatures(const Flags& flags, std::span<double> out) const {
    if (nk_ == 1) {
        z_.weighted_sumsq_flagged(flags, v_, out);
        interrupt_.tick(z_.cols() * rows());
        return;
    }
    // four flagged columns per sweep over v
    const double* cols[4];
    double centres[4];
    std::size_t js[4], m = 0;
    const auto sweep = [&] {
        rows_wsumsq(cols, centres, m, v_.data(), rows(), nk_, scaled_.data());
        for (std::size_t t = 0; t < m; ++t) {
            const double s2 = z_.scale(js[t]) * z_.scale(js[t]);
            for (std::size_t k = 0; k < nk_; ++k) out[js[t] * nk_ + k] = scaled_[t * nk_ + k] / s2;
        }
        interrupt_.tick(rows() * nk_);
        m = 0;
    };
    for (std::size_t j = 0; j < flags.size(); ++j) {
        if (!flags[j]) continue;
        cols[m] = column(j);
        centres[m] = z_.centre(j);
        js[m++] = j;
        if (m == 4) sweep();
    }
    if (m) sweep();
}

double DenseWorkingDesign::residual_sum() const {
    double s = 0.0;
    for (const double r : r_) s += r;
    return s;
}

// (each class's sum in row order)
void DenseWorkingDesign::residual_sum(std::span<double> s) const {
    require(nk_ == 1 || blocked_, "the residual in its blocked layout");
    const std::size_t n = rows();
    for (std::size_t k = 0; k < nk_; ++k) s[k] = 0.0;
    for (std::size_t i0 = 0; i0 < n; i0 += block_chunk_rows) {
        const std::size_t m = std::min(block_chunk_rows, n - i0);
        for (std::size_t k = 0; k < nk_; ++k) {
            const double* r = r_.data() + i0 * nk_ + k * m;
            double acc = s[k];
            for (std::size_t t = 0; t < m; ++t) acc += r[t];
            s[k] = acc;
        }
    }
}

void DenseWorkingDesign::subtract_weights(double d) {
    for (std::size_t i = 0; i < r_.size(); ++i) r_[i] -= v_[i] * d;
}

void DenseWorkingDesign::subtract_weights(std::span<const double> d) {
    require(nk_ == 1 || blocked_, "the residual in its blocked layout");
    const std::size_t n = rows();
    for (std::size_t i0 = 0; i0 < n; i0 += block_chunk_rows) {
        const std::size_t m = std::min(block_chunk_rows, n - i0);
        for (std::size_t k = 0; k < nk_; ++k) {
            double* r = r_.data() + i0 * nk_ + k * m;
            const double* v = v_.data() + i0 * nk_ + k * m;
            const double dk = d[k];
            for (std::size_t t = 0; t < m; ++t) r[t] -= v[t] * dk;
        }
    }
}

void DenseWorkingDesign::linear_predictor(std::span<const double> coef,
                                          std::span<const std::size_t> active,
                                          std::span<const double> b0,
                                          std::span<double> eta) const {
    const std::size_t n = rows(), nk = nk_;
    require(b0.size() == nk && eta.size() >= r_.size(), "eta or intercepts of the wrong length");
    std::fill(eta.begin(), eta.begin() + static_cast<std::ptrdiff_t>(r_.size()), 0.0);
    // eta_ik = b0_k + (sum in list order of (b_jk / s_j) (x_ij - c_j)), the
    // variables whose coefficients are all 0 left out, in one sweep over eta
    // in the blocked layout, then eta row-major
    lp_cols_.clear();
    lp_centres_.clear();
    lp_coefs_.clear();
    for (const std::size_t j : active) {
        const double* b = coef.data() + j * nk;
        if (std::all_of(b, b + nk, [](double c) { return c == 0.0; })) continue;
        for (std::size_t k = 0; k < nk; ++k) lp_coefs_.push_back(b[k] / z_.scale(j));
        lp_cols_.push_back(column(j));
        lp_centres_.push_back(z_.centre(j));
        interrupt_.tick(r_.size());
    }
    lp_rows_.clear();
    for (std::size_t t = 0; t < lp_cols_.size(); ++t) lp_rows_.push_back(lp_coefs_.data() + t * nk);
    rows_add(lp_cols_.data(), lp_centres_.data(), lp_rows_.data(), lp_cols_.size(), eta.data(), n,
             nk);
    blocked_to_rows(eta.data(), n, nk, chunk_.data());
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < nk; ++k) eta[i * nk + k] = b0[k] + eta[i * nk + k];
}

// ---------------------------------------------------------------------------

namespace {

// f(row, value) for column j's stored entries in storage order, read as its
// shape allows: an indicator's values are 1, a full column's rows 0..n-1.
template <class Shape, class F>
inline void each_entry(const CscMatrix& x, std::size_t j, Shape shape, F&& f) {
    const std::uint64_t* rows = x.rows_of(j);
    const double* s = x.values_of(j);
    const std::size_t m = x.stored(j);
    if (shape == Shape::indicator) {
        for (std::size_t e = 0; e < m; ++e) f(rows[e], 1.0);
    } else if (shape == Shape::full) {
        for (std::size_t e = 0; e < m; ++e) f(e, s[e]);
    } else {
        for (std::size_t e = 0; e < m; ++e) f(rows[e], s[e]);
    }
}

}  // namespace

SparseWorkingDesign::SparseWorkingDesign(Standardized<CscMatrix> z, std::size_t width,
                                         const Interrupt& interrupt, bool shapes)
    : z_(std::move(z)), nk_(width), v_(checked_size(z_.rows(), width), 0.0), q_(v_.size(), 0.0),
      sigma_(width, 0.0), qsum_(width, 0.0), vsum_(width, 0.0),
      sv_(checked_size(z_.cols(), width), 0.0), g_(width, 0.0), sv_col_(width, 0.0),
      shape_(z_.cols(), Shape::general), step_(width), interrupt_(interrupt) {
    require(width >= 1, "a working design needs K >= 1");
    if (!shapes || width != 1) return;
    const CscMatrix& x = z_.base();
    for (std::size_t j = 0; j < x.cols(); ++j) {
        const std::uint64_t* rows = x.rows_of(j);
        const double* s = x.values_of(j);
        const std::size_t m = x.stored(j);
        interrupt_.tick(m);
        bool full = m == x.rows(), ones = m > 0;
        for (std::size_t e = 0; e < m && (full || ones); ++e) {
            full = full && rows[e] == e;
            ones = ones && s[e] == 1.0;
        }
        shape_[j] = full ? Shape::full : ones ? Shape::indicator : Shape::general;
    }
}

void SparseWorkingDesign::column_gradient(std::size_t j, const double* sv, double* g) const {
    const CscMatrix& x = z_.base();
    if (shape_[j] == Shape::general) {
        gather_dot(x.rows_of(j), x.values_of(j), x.stored(j), q_.data(), nk_, g);
    } else {  // one predictor
        double acc = 0.0;
        each_entry(x, j, shape_[j], [&](std::size_t i, double s) { acc += s * q_[i]; });
        g[0] = acc;
    }
    combine(j, sv, g);
}

void SparseWorkingDesign::sums_with_weights(std::size_t j, double* g, double* sv) const {
    const CscMatrix& x = z_.base();
    if (shape_[j] == Shape::general)
        return gather_dot2(x.rows_of(j), x.values_of(j), x.stored(j), q_.data(), v_.data(), nk_, g,
                           sv);
    double a = 0.0, b = 0.0;
    each_entry(x, j, shape_[j], [&](std::size_t i, double s) {
        a += s * q_[i];
        b += s * v_[i];
    });
    g[0] = a;
    sv[0] = b;
}

void SparseWorkingDesign::flush() {
    if (!step_.take()) return;
    const std::size_t j = step_.j;
    const CscMatrix& x = z_.base();
    Vec& d = step_.delta;
    for (double& dk : d) dk = dk / z_.scale(j);
    if (shape_[j] == Shape::general) {
        scatter_sub(x.rows_of(j), x.values_of(j), x.stored(j), v_.data(), d.data(), q_.data(),
                    nk_);
    } else {
        const double d0 = d[0];
        double* q = q_.data();
        const double* v = v_.data();
        each_entry(x, j, shape_[j],
                   [&](std::size_t i, double s) { q[i] = q[i] - (v[i] * d0) * s; });
    }
    for (std::size_t k = 0; k < nk_; ++k) {
        sigma_[k] += d[k] * z_.centre(j);  // every row: r_.k += v_.k d_k c_j
        qsum_[k] -= d[k] * sv_[j * nk_ + k];
    }
}

void SparseWorkingDesign::step_then_gradient(std::size_t j, double* g) {
    step_.take();
    const std::size_t s = step_.j;
    const CscMatrix& x = z_.base();
    const double d = step_.delta[0] / z_.scale(s);
    const double* xs = x.values_of(s);
    const double* xj = x.values_of(j);
    const double* v = v_.data();
    double* q = q_.data();
    double acc = 0.0;
    for (std::size_t i = 0; i < rows(); ++i) {
        q[i] = q[i] - (v[i] * d) * xs[i];
        acc += xj[i] * q[i];
    }
    sigma_[0] += d * z_.centre(s);
    qsum_[0] -= d * sv_[s];
    g[0] = acc;
    combine(j, sv_.data() + j, g);
}

void SparseWorkingDesign::curvatures(const Flags& flags, std::span<double> out) {
    const CscMatrix& x = z_.base();
    const std::size_t w = nk_;
    for (std::size_t j = 0; j < x.cols(); ++j) {
        if (!flags[j]) continue;
        const double c = z_.centre(j), scale = z_.scale(j);
        for (std::size_t cls = 0; cls < w; ++cls) {
            double sv = 0.0, centred = 0.0, stored_weight = 0.0;
            each_entry(x, j, shape_[j], [&](std::size_t i, double s) {
                const double vi = v_[i * w + cls];
                const double dev = s - c;
                sv += s * vi;
                centred += vi * (dev * dev);
                stored_weight += vi;
            });
            sv_[j * w + cls] = sv;
            // the unstored rows hold z = -c_j / scale_j
            const double unstored =
                c == 0.0 ? 0.0 : (c * c) * std::max(vsum_[cls] - stored_weight, 0.0);
            out[j * w + cls] = (centred + unstored) / (scale * scale);
        }
        interrupt_.tick(x.stored(j) * w);
    }
}

void SparseWorkingDesign::linear_predictor(std::span<const double> coef,
                                           std::span<const std::size_t> active,
                                           std::span<const double> b0,
                                           std::span<double> eta) const {
    const std::size_t nk = b0.size(), n = rows();
    const CscMatrix& x = z_.base();
    require(eta.size() >= checked_size(n, nk), "eta shorter than the columns");
    for (std::size_t c = 0; c < nk; ++c) {
        double base = b0[c];
        for (const std::size_t j : active) base -= coef[j * nk + c] / z_.scale(j) * z_.centre(j);
        for (std::size_t i = 0; i < n; ++i) eta[i * nk + c] = base;
    }
    for (const std::size_t j : active) {
        interrupt_.tick(x.stored(j) * nk);
        for (std::size_t c = 0; c < nk; ++c) {
            const double b = coef[j * nk + c] / z_.scale(j);
            if (b == 0.0) continue;
            each_entry(x, j, shape_[j],
                       [&](std::size_t i, double s) { eta[i * nk + c] += b * s; });
        }
    }
}

void SparseWorkingDesign::begin_refit() {
    flush();
    for (std::size_t k = 0; k < nk_; ++k) {
        if (sigma_[k] == 0.0) continue;
        for (std::size_t i = 0; i < rows(); ++i) q_[i * nk_ + k] += sigma_[k] * v_[i * nk_ + k];
        sigma_[k] = 0.0;
    }
}

void SparseWorkingDesign::end_refit() {
    for (std::size_t k = 0; k < nk_; ++k) qsum_[k] = vsum_[k] = 0.0;
    for (std::size_t i = 0; i < rows(); ++i) {
        for (std::size_t k = 0; k < nk_; ++k) {
            qsum_[k] += q_[i * nk_ + k];
            vsum_[k] += v_[i * nk_ + k];
        }
    }
}

}  // namespace varnel_core
