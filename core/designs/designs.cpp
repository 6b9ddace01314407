#include "designs/designs.hpp"

#include <algorithm>
#include <cmath>

namespace varnel_core {

SparseColumns::SparseColumns(Index col_ptr, Index row_idx, Vec values, Vec centre, Vec scale,
                             std::size_t nrows, std::size_t width)
    : col_ptr_(std::move(col_ptr)), row_idx_(std::move(row_idx)), values_(std::move(values)),
      centre_(std::move(centre)), scale_(std::move(scale)), nrows_(nrows),
      ncols_(col_ptr_.empty() ? 0 : col_ptr_.size() - 1), width_(width),
      v_(checked_size(nrows, width), 0.0), sv_(checked_size(ncols_, width), 0.0),
      vsum_(width, 0.0) {
    require(!csc_problem(col_ptr_, row_idx_, values_.size(), nrows_, ncols_),
            "malformed CSC arrays");
    require(centre_.size() == ncols_ && scale_.size() == ncols_,
            "column statistics length differs from ncols");
    for (std::size_t j = 0; j < ncols_; ++j) {
        if (col_ptr_[j + 1] - col_ptr_[j] != nrows_ || centre_[j] == 0.0) continue;
        // every row stored: centre the values themselves
        for (std::uint64_t k = col_ptr_[j]; k < col_ptr_[j + 1]; ++k)
            values_[k] = values_[k] - centre_[j];
        centre_[j] = 0.0;
    }
}

void SparseColumns::curvatures(const Flags& flags, std::span<double> out) {
    const std::uint64_t* rows = row_idx_.data();
    const double* s = values_.data();
    const std::size_t w = width_;
    for (std::size_t j = 0; j < ncols_; ++j) {
        if (!flags[j]) continue;
        const double c = centre_[j];
        for (std::size_t cls = 0; cls < w; ++cls) {
            double sv = 0.0, centred = 0.0, stored_weight = 0.0;
            for (std::uint64_t k = col_ptr_[j]; k < col_ptr_[j + 1]; ++k) {
                const double vi = v_[rows[k] * w + cls];
                const double e = s[k] - c;
                sv += s[k] * vi;
                centred += vi * (e * e);
                stored_weight += vi;
            }
            sv_[j * w + cls] = sv;
            // the unstored rows hold z = -c_j / scale_j
            const double unstored =
                c == 0.0 ? 0.0 : (c * c) * std::max(vsum_[cls] - stored_weight, 0.0);
            out[j * w + cls] = (centred + unstored) / (scale_[j] * scale_[j]);
        }
    }
}

void SparseColumns::linear_predictor(std::span<const double> coef,
                                     std::span<const std::size_t> active,
                                     std::span<const double> b0, std::span<double> eta) const {
    const std::size_t nk = b0.size();
    require(eta.size() >= checked_size(nrows_, nk), "eta shorter than the columns");
    const std::uint64_t* rows = row_idx_.data();
    const double* s = values_.data();
    for (std::size_t c = 0; c < nk; ++c) {
        double base = b0[c];
        for (const std::size_t j : active) base -= coef[j * nk + c] / scale_[j] * centre_[j];
        for (std::size_t i = 0; i < nrows_; ++i) eta[i * nk + c] = base;
    }
    for (const std::size_t j : active) {
        for (std::size_t c = 0; c < nk; ++c) {
            const double b = coef[j * nk + c] / scale_[j];
            if (b == 0.0) continue;
            for (std::uint64_t k = col_ptr_[j]; k < col_ptr_[j + 1]; ++k)
                eta[rows[k] * nk + c] += b * s[k];
        }
    }
}

SparseWorkingDesign::SparseWorkingDesign(Index col_ptr, Index row_idx, Vec values, Vec centre,
                                         Vec scale, std::size_t nrows)
    : SparseColumns(std::move(col_ptr), std::move(row_idx), std::move(values), std::move(centre),
                    std::move(scale), nrows, 1),
      q_(nrows, 0.0) {}

double SparseWorkingDesign::column_gradient(std::size_t j, double sv) const {
    const std::uint64_t* rows = row_idx_.data();
    const double* s = values_.data();
    double sq = 0.0;
    for (std::uint64_t k = col_ptr_[j]; k < col_ptr_[j + 1]; ++k) sq += s[k] * q_[rows[k]];
    return combine(j, sq, sv, residual_sum());
}

void SparseWorkingDesign::flush() {
    if (!step_.take()) return;
    const std::size_t j = step_.j;
    const double d = step_.delta / scale_[j];
    const std::uint64_t* rows = row_idx_.data();
    const double* s = values_.data();
    for (std::uint64_t k = col_ptr_[j]; k < col_ptr_[j + 1]; ++k) {
        const std::uint64_t i = rows[k];
        q_[i] -= (v_[i] * d) * s[k];  // stored rows: q -= v d s_j
    }
    sigma_ += d * centre_[j];  // every row: r += v d c_j
    qsum_ -= d * sv_[j];
}

void SparseWorkingDesign::abs_gradients(const Flags& include, const Flags* skip,
                                        std::span<double> out) const {
    const std::uint64_t* rows = row_idx_.data();
    const double* s = values_.data();
    const double rsum = residual_sum();
    for (std::size_t j = 0; j < ncols_; ++j) {
        if (!include[j] || (skip && (*skip)[j])) continue;
        // <s_j, q> and <s_j, v> in one sweep over the stored entries
        double sq = 0.0, sv = 0.0;
        for (std::uint64_t k = col_ptr_[j]; k < col_ptr_[j + 1]; ++k) {
            const std::uint64_t i = rows[k];
            sq += s[k] * q_[i];
            sv += s[k] * v_[i];
        }
        out[j] = std::abs(combine(j, sq, sv, rsum));
    }
}

void SparseWorkingDesign::begin_refit() {
    flush();
    if (sigma_ != 0.0)
        for (std::size_t i = 0; i < nrows_; ++i) q_[i] += sigma_ * v_[i];
    sigma_ = 0.0;
}

void SparseWorkingDesign::end_refit() {
    double qs = 0.0, vs = 0.0;
    for (std::size_t i = 0; i < nrows_; ++i) {
        qs += q_[i];
        vs += v_[i];
    }
    qsum_ = qs;
    vsum_[0] = vs;
}

// ---------------------------------------------------------------------------
// Block designs

DenseBlockDesign::DenseBlockDesign(DenseGlm x, std::size_t classes)
    : x_(std::move(x)), nk_(classes), r_(checked_size(x_.nrows, classes), 0.0), v_(r_.size(), 0.0),
      g_(classes, 0.0), step_(classes) {
    require(classes >= 1, "at least one class");
}

void DenseBlockDesign::flush() {
    if (step_.take()) rows_sub(x_.col(step_.j), v_.data(), step_.delta.data(), r_.data(), x_.nrows, nk_);
}

void DenseBlockDesign::residual_sum(std::span<double> s) const {
    for (std::size_t k = 0; k < nk_; ++k) s[k] = 0.0;
    for (std::size_t i = 0; i < x_.nrows; ++i)
        for (std::size_t k = 0; k < nk_; ++k) s[k] += r_[i * nk_ + k];
}

void DenseBlockDesign::subtract_weights(std::span<const double> d) {
    for (std::size_t i = 0; i < r_.size(); ++i) r_[i] -= v_[i] * d[i % nk_];
}

void DenseBlockDesign::linear_predictor(std::span<const double> coef,
                                        std::span<const std::size_t> active,
                                        std::span<const double> b0, std::span<double> eta) const {
    const std::size_t n = x_.nrows, nk = nk_;
    require(b0.size() == nk && eta.size() >= r_.size(), "eta or intercepts of the wrong length");
    std::fill(eta.begin(), eta.begin() + static_cast<std::ptrdiff_t>(r_.size()), 0.0);
    // eta_ik = b0_k + (sum in list order of b_jk x_ij), the variables whose
    // coefficients are all 0 left out, four columns per sweep over eta
    const double* cols[4];
    const double* coefs[4];
    std::size_t m = 0;
    for (const std::size_t j : active) {
        const double* b = coef.data() + j * nk;
        if (std::all_of(b, b + nk, [](double c) { return c == 0.0; })) continue;
        cols[m] = x_.col(j);
        coefs[m++] = b;
        if (m == 4) {
            rows_add(cols, coefs, m, eta.data(), n, nk);
            m = 0;
        }
    }
    if (m) rows_add(cols, coefs, m, eta.data(), n, nk);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < nk; ++k) eta[i * nk + k] = b0[k] + eta[i * nk + k];
}

SparseBlockDesign::SparseBlockDesign(Index col_ptr, Index row_idx, Vec values, Vec centre,
                                     Vec scale, std::size_t nrows, std::size_t classes)
    : SparseColumns(std::move(col_ptr), std::move(row_idx), std::move(values), std::move(centre),
                    std::move(scale), nrows, classes),
      nk_(classes), q_(checked_size(nrows, classes), 0.0), sigma_(classes, 0.0),
      qsum_(classes, 0.0), g_(classes, 0.0), sv_col_(classes, 0.0), step_(classes) {
    require(classes >= 1, "at least one class");
}

void SparseBlockDesign::column_gradient(std::size_t j, const double* sv, double* g) const {
    gather_dot(rows(j), stored(j), nstored(j), q_.data(), nk_, g);
    // <s_j, q_.k> + sigma_k <s_j, v_.k> - c_j (Q_k + sigma_k V_k), over the scale
    for (std::size_t k = 0; k < nk_; ++k)
        g[k] = ((g[k] + sigma_[k] * sv[k]) - centre_[j] * (qsum_[k] + sigma_[k] * vsum_[k])) /
               scale_[j];
}

void SparseBlockDesign::flush() {
    if (!step_.take()) return;
    const std::size_t j = step_.j;
    Vec& d = step_.delta;
    for (double& dk : d) dk = dk / scale_[j];
    scatter_sub(rows(j), stored(j), nstored(j), v_.data(), d.data(), q_.data(), nk_);
    for (std::size_t k = 0; k < nk_; ++k) {
        sigma_[k] += d[k] * centre_[j];  // every row: r_.k += v_.k d_k c_j
        qsum_[k] -= d[k] * sv_[j * nk_ + k];
    }
}

void SparseBlockDesign::begin_refit() {
    flush();
    for (std::size_t k = 0; k < nk_; ++k) {
        if (sigma_[k] == 0.0) continue;
        for (std::size_t i = 0; i < nrows_; ++i) q_[i * nk_ + k] += sigma_[k] * v_[i * nk_ + k];
        sigma_[k] = 0.0;
    }
}

void SparseBlockDesign::end_refit() {
    for (std::size_t k = 0; k < nk_; ++k) qsum_[k] = vsum_[k] = 0.0;
    for (std::size_t i = 0; i < nrows_; ++i) {
        for (std::size_t k = 0; k < nk_; ++k) {
            qsum_[k] += q_[i * nk_ + k];
            vsum_[k] += v_[i * nk_ + k];
        }
    }
}

}  // namespace varnel_core
