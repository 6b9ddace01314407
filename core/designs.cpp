#include "designs.hpp"

#include <algorithm>
#include <cmath>

namespace varnel_core {

SparseWorkingDesign::SparseWorkingDesign(Index col_ptr, Index row_idx, Vec values, Vec centre,
                                         Vec scale, std::size_t nrows)
    : col_ptr_(std::move(col_ptr)), row_idx_(std::move(row_idx)), values_(std::move(values)),
      centre_(std::move(centre)), scale_(std::move(scale)), nrows_(nrows),
      ncols_(col_ptr_.empty() ? 0 : col_ptr_.size() - 1), q_(nrows, 0.0), v_(nrows, 0.0),
      sv_(ncols_, 0.0) {
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

double SparseWorkingDesign::column_gradient(std::size_t j, double sv) const {
    const std::uint64_t* rows = row_idx_.data();
    const double* s = values_.data();
    double sq = 0.0;
    for (std::uint64_t k = col_ptr_[j]; k < col_ptr_[j + 1]; ++k) sq += s[k] * q_[rows[k]];
    // <s_j, q> + sigma <s_j, v> - c_j (Q + sigma V), over the scale
    return ((sq + sigma_ * sv) - centre_[j] * residual_sum()) / scale_[j];
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
    for (std::size_t j = 0; j < ncols_; ++j) {
        if (!include[j] || (skip && (*skip)[j])) continue;
        double sv = 0.0;
        for (std::uint64_t k = col_ptr_[j]; k < col_ptr_[j + 1]; ++k) sv += s[k] * v_[rows[k]];
        out[j] = std::abs(column_gradient(j, sv));
    }
}

void SparseWorkingDesign::curvatures(const Flags& flags, std::span<double> out) {
    const std::uint64_t* rows = row_idx_.data();
    const double* s = values_.data();
    for (std::size_t j = 0; j < ncols_; ++j) {
        if (!flags[j]) continue;
        const double c = centre_[j];
        double sv = 0.0, centred = 0.0, stored_weight = 0.0;
        for (std::uint64_t k = col_ptr_[j]; k < col_ptr_[j + 1]; ++k) {
            const double vi = v_[rows[k]];
            const double e = s[k] - c;
            sv += s[k] * vi;
            centred += vi * (e * e);
            stored_weight += vi;
        }
        sv_[j] = sv;
        // the unstored rows hold z = -c_j / scale_j
        const double unstored = c == 0.0 ? 0.0 : (c * c) * std::max(vsum_ - stored_weight, 0.0);
        out[j] = (centred + unstored) / (scale_[j] * scale_[j]);
    }
}

void SparseWorkingDesign::linear_predictor(std::span<const double> coef,
                                           std::span<const std::size_t> active, double intercept,
                                           std::span<double> eta) const {
    require(eta.size() >= nrows_, "eta shorter than the columns");
    double base = intercept;
    for (const std::size_t j : active) base -= coef[j] / scale_[j] * centre_[j];
    std::fill(eta.begin(), eta.begin() + static_cast<std::ptrdiff_t>(nrows_), base);
    const std::uint64_t* rows = row_idx_.data();
    const double* s = values_.data();
    for (const std::size_t j : active) {
        const double b = coef[j] / scale_[j];
        if (b == 0.0) continue;
        for (std::uint64_t k = col_ptr_[j]; k < col_ptr_[j + 1]; ++k) eta[rows[k]] += b * s[k];
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
    vsum_ = vs;
}

}  // namespace varnel_core
