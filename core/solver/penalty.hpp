// The penalties of the coordinate descent and their steps: the elastic net
// on every coefficient by itself, and the group elastic net on the K
// coefficients of a variable together.  A penalty supplies the coordinate
// minimiser (its prox on the family's quadratic), the magnitude of a
// variable's gradient that screening and the optimality check compare with
// l1 v_j, and the common shift of a block that minimises it (for families
// whose loss sees only differences between the K predictors).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

#include "base/numeric.hpp"

namespace varnel_core {

// A coordinate whose quadratic is flat (no curvature left, e.g. every
// working weight of its rows 0 on separated data, and no ridge term) has no
// finite minimiser: the step would send it to a limit, or to +-big on the
// sign of a rounding-level gradient.  The engine leaves such a coordinate
// where it is.
inline bool flat_coordinate(double curv, double v, double l2) { return !(curv + l2 * v > 0.0); }

// The coordinate minimiser:
//   argmin_b  curv/2 b^2 - u b + l1 v |b| + l2 v b^2 / 2   on [lo, hi],
// that is soft-threshold u by l1 v, shrink by curv + l2 v, then clamp to the
// upper and the lower limit (a NaN limit is ignored).
inline double penalized_step(double u, double curv, double v, double l1, double l2, double lo,
                             double hi) {
    const double s = std::abs(u) - l1 * v;
    if (!(s > 0.0)) return 0.0;
    double b = std::copysign(s, u) / (curv + l2 * v);
    b = nan_min(b, hi);
    return nan_max(b, lo);
}

// The grouped minimiser, over the K entries of b, with a curvature c_k per
// entry:
//   argmin_b  sum_k (c_k/2 b_k^2 - u_k b_k) + l1 v ||b||_2 + l2 v ||b||^2 / 2,
//   lo <= b_k <= hi.
// 0 when the part of u that points into the box (all of u when lo < 0 < hi)
// has a norm of at most l1 v.  Otherwise b_k = clamp(u_k / (c_k + l2 v + l1 v / rho))
// at the rho where rho = ||b||: in closed form, (1 - l1 v / ||u||) u / (c + l2 v),
// for equal curvatures when no limit is reached, else the root of the
// decreasing ||b(rho)|| / rho - 1 by false position (a NaN limit is ignored).
inline void group_step(std::span<const double> u, std::span<const double> curv, double v,
                       double l1, double l2, double lo, double hi, std::span<double> out) {
    const std::size_t nk = u.size();
    const double t = l1 * v, r = l2 * v;
    auto clamp = [&](double b) { return nan_max(nan_min(b, hi), lo); };
    double into = 0.0, all = 0.0;
    bool equal = true;
    for (std::size_t k = 0; k < nk; ++k) {
        const double x = u[k];
        if ((x > 0.0 && !(hi <= 0.0)) || (x < 0.0 && !(lo >= 0.0))) into += x * x;
        all += x * x;
        equal = equal && curv[k] == curv[0];
    }
    if (!(std::sqrt(into) > t)) {
        for (double& b : out) b = 0.0;
        return;
    }
    if (equal) {
        const double f = (1.0 - t / std::sqrt(all)) / (curv[0] + r);
        bool inside = true;
        for (std::size_t k = 0; k < nk; ++k) {
            out[k] = f * u[k];
            inside = inside && !(out[k] > hi) && !(out[k] < lo);
        }
        if (inside) return;
    }
    auto fill = [&](double rho) {
        for (std::size_t k = 0; k < nk; ++k) out[k] = clamp(u[k] / (curv[k] + r + t / rho));
    };
    if (t == 0.0) return fill(HUGE_VAL);  // no group term: separable
    auto excess = [&](double rho) {  // ||b(rho)|| / rho - 1
        double s = 0.0;
        for (std::size_t k = 0; k < nk; ++k) {
            const double b = clamp(u[k] / (curv[k] + r + t / rho)) / rho;
            s += b * b;
        }
        return std::sqrt(s) - 1.0;
    };
    // ||b(rho)|| / rho falls from ||u into the box|| / t at 0 to at most 1 at
    // rho = ||clamp(u_k / (c_k + l2 v))||
    double a = 0.0, fa = std::sqrt(into) / t - 1.0, b = 0.0;
    for (std::size_t k = 0; k < nk; ++k) {
        const double x = clamp(u[k] / (curv[k] + r));
        b += x * x;
    }
    b = std::sqrt(b);
    double fb = excess(b);
    int kept = 0;  // the end kept by the last step: -1 the lower, 1 the upper
    for (int it = 0; it < 200 && fb < 0.0; ++it) {
        double c = b - fb * (b - a) / (fb - fa);
        if (!(c > a && c < b)) c = 0.5 * (a + b);
        if (!(c > a && c < b)) break;
        const double fc = excess(c);
        if (fc > 0.0) {
            a = c, fa = fc;
            if (kept == 1) fb *= 0.5;  // Illinois: keep the stale end moving
            kept = 1;
        } else {
            b = c, fb = fc;
            if (kept == -1) fa *= 0.5;
            kept = -1;
        }
        if (b - a <= 4e-16 * b) break;
    }
    fill(b);
}

// The common shift c of a variable's block b that minimises its penalty,
//   sum_k alpha |b_k + c| + (1 - alpha)/2 (b_k + c)^2
// (grouped, alpha ||b + c||_2 + (1 - alpha)/2 ||b + c||^2: c = -mean(b)),
// subject to lo <= b_k + c <= hi; of several minimisers the one nearest 0.
// The loss sees only differences between the classes, so this is a free
// descent step.  A minimiser at a kink is exactly -b_k, so that b_k + c is
// exactly 0.
template <bool Grouped>
double common_shift(std::span<const double> b, double alpha, double lo, double hi) {
    const std::size_t nk = b.size();
    double sum = 0.0, below = -HUGE_VAL, above = HUGE_VAL;
    for (const double x : b) {
        if (std::isnan(x)) return 0.0;
        sum += x;
        below = nan_max(below, lo - x);
        above = nan_min(above, hi - x);
    }
    const double n = static_cast<double>(nk);
    const double beta = 1.0 - alpha;
    double first = -sum / n, last = first;  // the minimisers
    if (!Grouped && alpha > 0.0) {
        // the counts of kinks -b_k below and above c
        auto counts = [&](double c, double& less, double& more) {
            less = more = 0.0;
            for (const double x : b) {
                less += -x < c;
                more += -x > c;
            }
        };
        bool kink = false;
        for (const double x : b) {
            double less = 0.0, more = 0.0;
            counts(-x, less, more);
            const double ridge = beta * (sum - n * x);
            // the penalty's slope just below and just above c = -x
            if (alpha * (less - (n - less)) + ridge <= 0.0 &&
                alpha * ((n - more) - more) + ridge >= 0.0) {
                first = kink ? std::min(first, -x) : -x;
                last = kink ? std::max(last, -x) : -x;
                kink = true;
            }
        }
        if (!kink) {
            // inside a piece: alpha (#below - #above) + beta (sum + K c) = 0
            first = last = 0.0;
            for (std::size_t d = 0; d <= nk; ++d) {
                const double diff = 2.0 * static_cast<double>(d) - n;
                const double c = -(alpha * diff + beta * sum) / (beta * n);
                double less = 0.0, more = 0.0;
                counts(c, less, more);
                if (less + more == n && less - more == diff) {
                    first = last = c;
                    break;
                }
            }
        }
    }
    // within the limits, nearest 0
    if (last < below) return below;
    if (first > above) return above;
    return nan_max(nan_min(0.0, nan_min(last, above)), nan_max(first, below));
}
// The magnitude of a block gradient that screening and the optimality check
// compare with l1 v_j: ||g||_2 when grouped, else max_k |g_k| (NaN sticks).
template <bool Grouped>
double block_magnitude(std::span<const double> g) {
    if constexpr (Grouped) {
        double s = 0.0;
        for (const double x : g) s += x * x;
        return std::sqrt(s);
    } else {
        double m = 0.0;
        for (const double x : g) {
            const double a = std::abs(x);
            if (a > m || std::isnan(a)) m = a;
        }
        return m;
    }
}

// sum_j v_j (alpha sum_k |b_jk| + (1 - alpha)/2 sum_k b_jk^2): each
// coefficient by itself.
struct ElasticNetPenalty {
    static constexpr bool grouped = false;
    static void block_step(std::span<const double> u, std::span<const double> curv, double v,
                           double l1, double l2, double lo, double hi, std::span<double> out) {
        for (std::size_t k = 0; k < u.size(); ++k)
            out[k] = penalized_step(u[k], curv[k], v, l1, l2, lo, hi);
    }
    static double magnitude(std::span<const double> g) { return block_magnitude<false>(g); }
    // sum_k (l1 |b_k| + l2/2 b_k^2)
    static double value(std::span<const double> b, double l1, double l2) {
        double a = 0.0, s = 0.0;
        for (const double x : b) {
            a += std::abs(x);
            s += x * x;
        }
        return l1 * a + 0.5 * l2 * s;
    }
    static double shift(std::span<const double> b, double alpha, double lo, double hi) {
        return common_shift<false>(b, alpha, lo, hi);
    }
};

// sum_j v_j (alpha ||b_j.||_2 + (1 - alpha)/2 ||b_j.||^2): a variable enters
// or leaves with all its K coefficients.
struct GroupElasticNetPenalty {
    static constexpr bool grouped = true;
    static void block_step(std::span<const double> u, std::span<const double> curv, double v,
                           double l1, double l2, double lo, double hi, std::span<double> out) {
        group_step(u, curv, v, l1, l2, lo, hi, out);
    }
    static double magnitude(std::span<const double> g) { return block_magnitude<true>(g); }
    // l1 ||b||_2 + l2/2 ||b||^2
    static double value(std::span<const double> b, double l1, double l2) {
        double s = 0.0;
        for (const double x : b) s += x * x;
        return l1 * std::sqrt(s) + 0.5 * l2 * s;
    }
    static double shift(std::span<const double> b, double alpha, double lo, double hi) {
        return common_shift<true>(b, alpha, lo, hi);
    }
};

}  // namespace varnel_core
