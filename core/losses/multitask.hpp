// Least squares with K responses: 1/2 sum_i w_i ||y_i. - a0 - B' x_i||^2 on
// the standardized predictors, with the weights normalized to sum 1.  The
// quadratic is exact and its weights are fixed (v_ik = w_i): a block family
// that does not reweight, whose intercepts come from centring.  A variable's
// K coefficients are penalized together (the group elastic net).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/numeric.hpp"
#include "losses/family.hpp"
#include "base/config.hpp"

namespace varnel_core {

// The responses (the caller's less the offset) are centred by their
// weighted means (with an intercept) and, with standardize_response, divided by their weighted
// standard deviations (root mean squares without an intercept; a constant
// response is left as it is).  Keeps the explained sum of squares up to date
// step by step: the deviance ratio is its share of the null sum of squares
// N = sum_ik w_i (centred and scaled y_ik)^2, its null scale.
class MultitaskFamily {
public:
    static constexpr LossKind kind = LossKind::least_squares;
    static constexpr bool block = true;
    static constexpr bool reweights = false;
    static constexpr bool shift_invariant = false;
    static constexpr InterceptFit intercept_fit = InterceptFit::by_centring;

    // The family of the prepared rows (y n x K, no offset); InputError
    // when every response is constant (at 0 without an intercept) on the
    // rows of positive weight.
    static MultitaskFamily make(RowData rows, std::size_t width, const FitConfig& config,
                                bool standardize_response);
    // The same from each response's centre (its weighted mean with an
    // intercept, else 0) and weighted sum of squares about it (the weights
    // normalized), with `total` the caller's sum of weights: a fit from
    // the statistics of the rows, which has no rows to reweight.
    static MultitaskFamily from_moments(Vec mean, Vec ss, double total, const FitConfig& config,
                                        bool standardize_response);

    std::size_t width() const { return nk_; }
    // The fixed weights v_ik = w_i and the residual of the null model, n x K.
    void fixed_rows(std::span<double> v, std::span<double> r) const;
    // Each response's centre (0 without an intercept) and scale (1 without
    // standardize_response).
    std::span<const double> means() const { return mean_; }
    std::span<const double> scales() const { return scale_; }
    // Coefficients and intercepts from the scaled responses' to the
    // caller's: times the scales, plus the means (a0 of solutions with K
    // intercepts each, beta K per variable).
    void to_response_scale(Vec& a0, Vec& beta) const;
    // The same for a path result (solver/store.hpp) and its iterate.
    template <class Path>
    void to_response_scale(Path& r) const {
        to_response_scale(r.a0, r.beta.values);
        if (r.iterate) to_response_scale(r.iterate->a0, r.iterate->beta);
    }

    double null_scale() const { return null_ss_; }
    void on_step(double, double, double) {}
    // gain in explained sum of squares: sum_k d_k (2 u_k - c_k (b_k + b_k - d_k))
    void on_step(std::span<const double> u, std::span<const double> c, std::span<const double> b,
                 std::span<const double> d);
    double deviance_ratio() const { return explained_ / null_ss_; }
    double stored_intercept(double) const { return 0.0; }
    // The null deviance on the caller's weight scale (of the scaled responses).
    double null_deviance() const { return null_ss_ * rows_.total; }

private:
    // `constant`: how many responses make() found constant (rows given).
    static MultitaskFamily from_sums(RowData rows, Vec mean, Vec ss, const FitConfig& config,
                                     bool standardize_response, std::size_t constant = 0);
    MultitaskFamily(RowData rows, Vec mean, Vec scale, double null_ss);

    RowData rows_;
    std::size_t nk_;
    Vec mean_;
    Vec scale_;
    double null_ss_;
    double explained_ = 0.0;
};

}  // namespace varnel_core
