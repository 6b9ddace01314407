// The lazy standardized view of a design matrix: z_j = (x_j - c_j) / s_j,
// with the centres c and scales s of a preparation, over a dense or a CSC
// matrix that is never rewritten as z.
#pragma once

#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "data/contract.hpp"
#include "data/csc.hpp"
#include "data/dense.hpp"

namespace varnel_core {

// A CSC column that stores every row and has a centre holds its values
// centred instead: s - c, then once more by their weighted mean under `w`
// (weights summing to about 1; empty: no second step), which the rounding
// of a large centre leaves.  Its centre becomes 0, so that a large mean
// never enters the arithmetic of the view.
void centre_full_columns(CscMatrix& x, Vec& centre, std::span<const double> w);

// The matrix contract for z (data/contract.hpp): the storage's own
// operations about the centres (data/contract.hpp says how each storage
// keeps their precision), divided by the scales.
template <class M>
    requires CentredStorage<M>
class Standardized {
public:
    // `centre` holds one centre per column (0: none) and `scale` one scale.
    Standardized(M base, Vec centre, Vec scale, std::span<const double> w = {})
        : base_(std::move(base)), centre_(std::move(centre)), scale_(std::move(scale)) {
        require(centre_.size() == base_.cols() && scale_.size() == base_.cols(),
                "one centre and one scale per column");
        if constexpr (std::is_same_v<M, CscMatrix>) centre_full_columns(base_, centre_, w);
        for (const double c : centre_) centred_ = centred_ || c != 0.0;
    }

    const M& base() const { return base_; }
    double centre(std::size_t j) const { return centre_[j]; }
    double scale(std::size_t j) const { return scale_[j]; }
    std::span<const double> centres() const { return centre_; }
    std::span<const double> scales() const { return scale_; }

    std::size_t rows() const { return base_.rows(); }
    std::size_t cols() const { return base_.cols(); }

    double dot(std::size_t j, std::span<const double> v) const {
        return base_.dot(j, v, centre_[j]) / scale_[j];
    }
    double weighted_dot(std::size_t j, std::span<const double> w, std::span<const double> v) const {
        return base_.weighted_dot(j, w, v, centre_[j]) / scale_[j];
    }
    void axpy(std::size_t j, double a, std::span<double> r) const {
        base_.axpy(j, a / scale_[j], r, centre_[j]);
    }
    void weighted_axpy(std::size_t j, std::span<const double> w, double a,
                       std::span<double> r) const {
        base_.weighted_axpy(j, w, a / scale_[j], r, centre_[j]);
    }
    ColumnSums weighted_sums(std::size_t j, std::span<const double> w) const {
        const ColumnSums x = base_.weighted_sums(j, w, centre_[j]);
        return {x.sum / scale_[j], x.squares / (scale_[j] * scale_[j])};
    }
    void transpose_times(std::span<const std::size_t> set, std::span<const double> v,
                         std::span<double> out) const {
        base_.transpose_times(set, v, out, centres_of(set));
        for (std::size_t t = 0; t < set.size(); ++t) out[t] = out[t] / scale_[set[t]];
    }
    void times(std::span<const std::size_t> set, std::span<const double> b,
               std::span<double> out) const {
        Vec scaled(set.size());
        for (std::size_t t = 0; t < set.size(); ++t) scaled[t] = b[t] / scale_[set[t]];
        base_.times(set, scaled, out, centres_of(set));
    }
    void sandwich(std::span<const std::size_t> set, std::span<const double> w,
                  std::span<double> out) const {
        const std::size_t m = set.size();
        base_.sandwich(set, w, out, centres_of(set));
        for (std::size_t a = 0; a < m; ++a)
            for (std::size_t b = 0; b < m; ++b)
                out[a * m + b] = out[a * m + b] / (scale_[set[a]] * scale_[set[b]]);
    }

    // What the naive dense designs add (DenseMatrix's batched and fused
    // calls, about the centres, divided by the scales); with centres 0 and
    // scales 1 they give the bits of the uncentred calls.
    void dot_batch(std::span<const std::size_t> js, std::span<const double> v, double* out) const {
        double c[4];
        bool centred = false;
        for (std::size_t t = 0; t < js.size() && t < 4; ++t) {
            c[t] = centre_[js[t]];
            centred = centred || c[t] != 0.0;
        }
        base_.dot_batch(js, v, out, centred ? std::span<const double>(c, js.size())
                                            : std::span<const double>());
        for (std::size_t t = 0; t < js.size(); ++t) out[t] = out[t] / scale_[js[t]];
    }
    double weighted_axpy_then_dot(std::size_t j, std::span<const double> w, double a,
                                  std::span<double> r, std::size_t k) const {
        return base_.weighted_axpy_then_dot(j, w, a / scale_[j], r, k, centre_[j], centre_[k]) /
               scale_[k];
    }
    void weighted_sumsq_flagged(const Flags& flags, std::span<const double> v,
                                std::span<double> out) const {
        base_.weighted_sumsq_flagged(flags, v, out, centred_ ? centres() : std::span<const double>());
        for (std::size_t j = 0; j < cols(); ++j)
            if (flags[j]) out[j] = out[j] / (scale_[j] * scale_[j]);
    }
    // eta_i = b0 + sum over the active list of coef_j z_ij, as
    // (coef_j / s_j) (x_ij - c_j)
    void linear_predictor(std::span<const double> coef, std::span<const std::size_t> active,
                          double b0, std::span<double> eta, const Interrupt& interrupt) const {
        scaled_coef_.assign(coef.size(), 0.0);
        for (const std::size_t j : active) scaled_coef_[j] = coef[j] / scale_[j];
        base_.linear_predictor(scaled_coef_, active, b0, eta, interrupt,
                               centred_ ? centres() : std::span<const double>());
    }

private:
    Vec centres_of(std::span<const std::size_t> set) const {
        Vec c(set.size());
        for (std::size_t t = 0; t < set.size(); ++t) c[t] = centre_[set[t]];
        return c;
    }

    M base_;
    Vec centre_;
    Vec scale_;
    bool centred_ = false;  // some centre is not 0
    mutable Vec scaled_coef_;  // linear_predictor's coefficients over the scales
};

}  // namespace varnel_core
