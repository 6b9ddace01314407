// The optimality check of a least-squares design over the variables outside
// the strong set, with the columns that provably pass it left unread.
//
// The gradient as the design sums it, g_j(e) = <x_j / s_j, e>_w over the
// stored entries of the shifted residual e = r + shift (equal to <z_j, e>_w
// on a centred e), is linear in e, so by Cauchy-Schwarz under the weights
//
//   |g_j(e)| <= |g_j(a)| + ||x_j / s_j||_w ||e - a||_w
//
// for the residual a of an anchor sweep, at which every checked |g_j| was
// formed.  A check first bounds every variable this way and forms only the
// gradients whose bound u_j could reach the threshold l1 v_j: a variable is
// left unread when u_j + 1e-9 (u_j + ||x_j / s_j||_w ||e||_w) < l1 v_j, a margin
// far above the rounding of the sums (about n_j 2^-53 ||x_j / s_j||_w ||e||_w).  Its
// entry of the output is then u_j, an upper bound of |g_j|, which the next
// penalty's strong rule reads.  When more than a quarter of the variables
// would be read anyway (or the distance is not finite) the check is a full
// sweep and becomes the new anchor.
//
// The decisions depend only on the computed sums, so a path stays
// reproducible; its bits are not those of a check that reads every column.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "base/interrupt.hpp"
#include "base/numeric.hpp"

namespace varnel_core {

class GradientBounds {
public:
    // `columns` gives grad_batch(js, r, shift, out), squared_norm(j) (of
    // x_j / s_j) and weights(); r and shift the current residual (no step
    // pending).
    template <class Columns>
    void check(const Columns& columns, std::span<const double> r, double shift,
               const Flags& include, const Flags& skip, std::span<const double> penalty,
               double l1, std::span<double> out, const Interrupt& interrupt) {
        const std::size_t p = include.size();
        if (norm_.empty()) {
            norm_.assign(p, 0.0);
            for (std::size_t j = 0; j < p; ++j)
                if (include[j]) norm_[j] = std::sqrt(columns.squared_norm(j));
        }
        read_.clear();
        std::size_t eligible = 0;
        bool full = anchor_.empty();
        if (!full) {
            const Distance d = distance(columns.weights(), r, shift);
            full = !std::isfinite(d.moved) || !std::isfinite(d.length);
            for (std::size_t j = 0; j < p && !full; ++j) {
                if (!include[j] || skip[j]) continue;
                ++eligible;
                const double u = anchor_grad_[j] + norm_[j] * d.moved;
                out[j] = u;
                if (!(u + 1e-9 * (u + norm_[j] * d.length) < penalty[j] * l1)) read_.push_back(j);
            }
            full = full || 4 * read_.size() > eligible;
        }
        if (full) {
            read_.clear();
            for (std::size_t j = 0; j < p; ++j)
                if (include[j] && !skip[j]) read_.push_back(j);
        }
        double g[4];
        for (std::size_t t = 0; t < read_.size(); t += 4) {
            const std::size_t k = std::min<std::size_t>(4, read_.size() - t);
            const std::span<const std::size_t> js(read_.data() + t, k);
            columns.grad_batch(js, r, shift, g);
            for (std::size_t c = 0; c < k; ++c) out[js[c]] = std::abs(g[c]);
            interrupt.tick(k * r.size());
        }
        if (full) {
            anchor_.resize(r.size());
            for (std::size_t i = 0; i < r.size(); ++i) anchor_[i] = r[i] + shift;
            anchor_grad_.assign(out.begin(), out.end());
        }
    }

private:
    struct Distance {
        double moved;   // ||e - a||_w
        double length;  // ||e||_w
    };
    Distance distance(std::span<const double> w, std::span<const double> r, double shift) const;

    Vec norm_;         // ||x_j / s_j||_w of the included variables
    Vec anchor_;       // e = r + shift at the anchor sweep
    Vec anchor_grad_;  // |g_j| there (variables outside the strong set then)
    std::vector<std::size_t> read_;
};

}  // namespace varnel_core
