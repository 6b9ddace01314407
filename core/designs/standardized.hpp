// The lazy standardized view of a design matrix: z_j = (x_j - c_j) / s_j,
// with the centres c and scales s of a preparation, over a dense or a CSC
// matrix that is never rewritten as z.
#pragma once

#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

#include "base/errors.hpp"
#include "base/numeric.hpp"
#include "designs/contract.hpp"
#include "designs/csc.hpp"
#include "designs/dense.hpp"

namespace varnel_core {

// A CSC column that stores every row and has a centre holds its values
// centred instead: s - c, then once more by their weighted mean under `w`
// (weights summing to about 1; empty: no second step), which the rounding
// of a large centre leaves.  Its centre becomes 0, so that a large mean
// never enters the arithmetic of the view.
void centre_full_columns(CscMatrix& x, Vec& centre, std::span<const double> w);

// The matrix contract for z (designs/contract.hpp), from the base matrix's
// own operations and the centring terms: <z_j, v> = (<x_j, v> - c_j sum v) / s_j,
// X_S' diag(w) X_S corrected by the centres, and so on.  An operation on a
// centred column costs O(rows()) besides the base's for the centring term.
template <class M>
class Standardized {
public:
    // `centre` holds one centre per column (0: none) and `scale` one scale.
    Standardized(M base, Vec centre, Vec scale, std::span<const double> w = {})
        : base_(std::move(base)), centre_(std::move(centre)), scale_(std::move(scale)) {
        require(centre_.size() == base_.cols() && scale_.size() == base_.cols(),
                "one centre and one scale per column");
        if constexpr (std::is_same_v<M, CscMatrix>) centre_full_columns(base_, centre_, w);
    }

    const M& base() const { return base_; }
    double centre(std::size_t j) const { return centre_[j]; }
    double scale(std::size_t j) const { return scale_[j]; }
    std::span<const double> centres() const { return centre_; }
    std::span<const double> scales() const { return scale_; }

    std::size_t rows() const { return base_.rows(); }
    std::size_t cols() const { return base_.cols(); }

    double dot(std::size_t j, std::span<const double> v) const {
        return (base_.dot(j, v) - centred_sum(j, v, {})) / scale_[j];
    }
    double weighted_dot(std::size_t j, std::span<const double> w, std::span<const double> v) const {
        return (base_.weighted_dot(j, w, v) - centred_sum(j, v, w)) / scale_[j];
    }
    void axpy(std::size_t j, double a, std::span<double> r) const {
        const double d = a / scale_[j];
        base_.axpy(j, d, r);
        if (centre_[j] != 0.0)
            for (std::size_t i = 0; i < rows(); ++i) r[i] = r[i] + d * centre_[j];
    }
    void weighted_axpy(std::size_t j, std::span<const double> w, double a,
                       std::span<double> r) const {
        const double d = a / scale_[j];
        base_.weighted_axpy(j, w, d, r);
        if (centre_[j] != 0.0)
            for (std::size_t i = 0; i < rows(); ++i) r[i] = r[i] + (w[i] * d) * centre_[j];
    }
    ColumnSums weighted_sums(std::size_t j, std::span<const double> w) const {
        const ColumnSums x = base_.weighted_sums(j, w);
        const double c = centre_[j], s = scale_[j], total = sum(w);
        return {(x.sum - c * total) / s,
                ((x.squares - 2.0 * c * x.sum) + c * c * total) / (s * s)};
    }
    void transpose_times(std::span<const std::size_t> set, std::span<const double> v,
                         std::span<double> out) const {
        base_.transpose_times(set, v, out);
        const double total = sum(v);
        for (std::size_t t = 0; t < set.size(); ++t)
            out[t] = (out[t] - centre_[set[t]] * total) / scale_[set[t]];
    }
    void times(std::span<const std::size_t> set, std::span<const double> b,
               std::span<double> out) const {
        Vec scaled(set.size());
        double shift = 0.0;
        for (std::size_t t = 0; t < set.size(); ++t) {
            scaled[t] = b[t] / scale_[set[t]];
            shift += scaled[t] * centre_[set[t]];
        }
        base_.times(set, scaled, out);
        for (std::size_t i = 0; i < rows(); ++i) out[i] = out[i] - shift;
    }
    void sandwich(std::span<const std::size_t> set, std::span<const double> w,
                  std::span<double> out) const {
        const std::size_t m = set.size();
        base_.sandwich(set, w, out);
        Vec u(m);  // X_S' w
        base_.transpose_times(set, w, u);
        const double total = sum(w);
        for (std::size_t b = 0; b < m; ++b) {
            const double cb = centre_[set[b]], sb = scale_[set[b]];
            for (std::size_t a = 0; a < m; ++a) {
                const double ca = centre_[set[a]], sa = scale_[set[a]];
                const double g = ((out[b * m + a] - ca * u[b]) - u[a] * cb) + total * ca * cb;
                out[b * m + a] = g / (sa * sb);
            }
        }
    }

private:
    // sum of the first rows() entries
    double sum(std::span<const double> v) const {
        require(v.size() >= rows(), "vector shorter than the columns");
        double s = 0.0;
        for (std::size_t i = 0; i < rows(); ++i) s += v[i];
        return s;
    }
    // c_j sum_i (w_i) v_i, over the rows (0 without a centre)
    double centred_sum(std::size_t j, std::span<const double> v, std::span<const double> w) const {
        if (centre_[j] == 0.0) return 0.0;
        double s = 0.0;
        for (std::size_t i = 0; i < rows(); ++i) s += w.empty() ? v[i] : w[i] * v[i];
        return centre_[j] * s;
    }

    M base_;
    Vec centre_;
    Vec scale_;
};

}  // namespace varnel_core
