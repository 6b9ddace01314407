// The sparse-group elastic net over groups of variables:
//
//   sum_g v_g [ l1 ( tau ||b_g||_1 + (1 - tau) s_g ||b_g||_2 ) + l2/2 ||b_g||^2 ]
//
// with l1 = lambda alpha, l2 = lambda (1 - alpha), s_g the group's size
// weight (sqrt(p_g), or 1) and tau the share of the lasso inside the L1
// part: tau = 0 the group elastic net, tau = 1 the elastic net of every
// coefficient by itself.  A group moves by one majorised block step: its
// loss's quadratic Q(b_g) is bounded above (along the move) by the
// quadratic of curvature L_g times the identity (solver/group_engine.hpp
// finds L_g, at most the trace of the group's weighted Gram), and the bound
// is minimised exactly by the sparse-group soft-threshold.  The groups are
// not orthonormalised.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

namespace varnel_core {

// The groups of the variables: members[start[g]:start[g + 1]] are group g's
// included variables in increasing order; v its penalty factor (the
// normalized factor its variables share), s its size weight.
struct GroupTable {
    std::vector<std::size_t> start;
    std::vector<std::size_t> members;
    std::vector<double> v;
    std::vector<double> s;
    std::size_t count() const { return v.size(); }
    std::span<const std::size_t> of(std::size_t g) const {
        return std::span<const std::size_t>(members).subspan(start[g], start[g + 1] - start[g]);
    }
};

// ||S(a, t)||_2, the norm of the magnitudes a soft-thresholded by t.
inline double thresholded_norm(std::span<const double> a, double t) {
    double s = 0.0;
    for (const double x : a) {
        const double d = std::abs(x) - t;
        if (d > 0.0 || std::isnan(d)) s += d * d;
    }
    return std::sqrt(s);
}

struct SparseGroupPenalty {
    double tau;  // the lasso's share of the L1 part

    // True when a group whose gradient magnitudes are `a` must move off 0
    // at l1 v (the optimality condition of b_g = 0 fails):
    //   ||S(a, tau l1 v)||_2 > (1 - tau) s l1 v.
    bool violates(std::span<const double> a, double l1v, double s) const {
        const double n = thresholded_norm(a, tau * l1v);
        return n > (1.0 - tau) * s * l1v || std::isnan(n);
    }

    // The smallest t >= 0 at which b_g = 0 is optimal, ||S(a, tau t)|| <=
    // (1 - tau) s t: the root of a decreasing function of t, by bisection
    // (max |a| when tau = 1, ||a|| / s when tau = 0).  NaN sticks.
    double zero_threshold(std::span<const double> a, double s) const {
        double top = 0.0, sq = 0.0;
        for (const double x : a) {
            if (std::isnan(x)) return x;
            top = std::max(top, std::abs(x));
            sq += x * x;
        }
        if (top == 0.0) return 0.0;
        if (tau >= 1.0) return top;
        if (tau <= 0.0) return std::sqrt(sq) / s;
        double lo = 0.0, hi = std::min(top / tau, std::sqrt(sq) / ((1.0 - tau) * s));
        for (int it = 0; it < 200 && hi - lo > 1e-15 * hi; ++it) {
            const double mid = 0.5 * (lo + hi);
            if (thresholded_norm(a, tau * mid) > (1.0 - tau) * s * mid) lo = mid;
            else hi = mid;
        }
        return hi;
    }

    // The block step: argmin_b  L/2 ||b - u||^2 + l1 v (tau ||b||_1 +
    // (1 - tau) s ||b||_2) + l2 v/2 ||b||^2, with u = b_old + g / L: the
    // elementwise soft-threshold of L u by tau l1 v, then the group shrink
    // by (1 - tau) s l1 v, divided by L + l2 v.
    void step(std::span<const double> lu, double curv, double v, double l1, double l2,
              double s, std::span<double> out) const {
        double sq = 0.0;
        const double t = tau * l1 * v;
        for (std::size_t k = 0; k < lu.size(); ++k) {
            const double d = std::abs(lu[k]) - t;
            out[k] = d > 0.0 ? std::copysign(d, lu[k]) : 0.0;
            sq += out[k] * out[k];
        }
        const double norm = std::sqrt(sq), c = (1.0 - tau) * s * l1 * v;
        const double f = norm > c ? (1.0 - c / norm) / (curv + l2 * v) : 0.0;
        for (double& b : out) b = b * f;
    }

    // The group's penalty at l1, l2 without its factor v.
    double value(std::span<const double> b, double l1, double l2, double s) const {
        double a = 0.0, sq = 0.0;
        for (const double x : b) {
            a += std::abs(x);
            sq += x * x;
        }
        return l1 * (tau * a + (1.0 - tau) * s * std::sqrt(sq)) + 0.5 * l2 * sq;
    }
};

}  // namespace varnel_core
