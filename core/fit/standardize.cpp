#include "fit/standardize.hpp"

#include "kernels/column_moments.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <string>

#include "fit/prepare.hpp"

namespace varnel_core {

namespace {

// A weighted scale or sum of squares of column j: usable when positive (0:
// a constant column); not finite, the data overflow.
bool usable_scale(double s, std::size_t j) {
    if (!std::isfinite(s))
        data_overflow("the weighted sum of squares of column " + std::to_string(j) + " of x", "x");
    return s > 0.0;
}

// A column's weighted mean must be finite.
void check_mean(double m, std::size_t j) {
    if (!std::isfinite(m))
        data_overflow("the weighted mean of column " + std::to_string(j) + " of x", "x");
}

// The response's centre and scale must be finite, and the scale, the root
// of a weighted sum of squares, a normal number: a response that varies
// (checked before) whose sum of squares fell below the smallest normal
// double has lost its digits (or vanished, and y / y_scale is not finite).
void check_response_scale(const Standardization& s) {
    if (!std::isfinite(s.y_mean) || !std::isfinite(s.y_scale))
        data_overflow("the weighted mean or sum of squares of y", "y");
    if (!(s.y_scale >= std::sqrt(DBL_MIN)))
        data_underflow("the weighted sum of squares of y", "y");
}

// Marks column j as constant after its statistics proved degenerate.
void drop_column(Flags& include, Vec& x_mean, Vec& x_scale, std::size_t j) {
    include[j] = 0;
    x_mean[j] = 0.0;
    x_scale[j] = 1.0;
}

void check_lengths(std::size_t nobs, std::size_t nvars, std::span<const double> w,
                   const Flags& include) {
    require(w.size() == nobs, "weights of the wrong length");
    require(include.size() == nvars, "include flags of the wrong length");
}

}  // namespace

Standardization standardize_rows_in_place(DenseMatrix& x, std::span<double> y,
                                          std::span<const double> w, Flags& include,
                                          bool standardize, bool intercept,
                                          const Interrupt& interrupt) {
    const std::size_t n = x.rows(), p = x.cols();
    check_lengths(n, p, w, include);
    require(y.size() == n, "response of the wrong length");
    Standardization s{Vec(p, 0.0), Vec(p, 0.0), Vec(p, 0.0), 0.0, 1.0};
    Vec sw(n);
    for (std::size_t i = 0; i < n; ++i) sw[i] = std::sqrt(w[i]);

    if (intercept) {
        for (std::size_t j = 0; j < p; ++j) {
            interrupt.tick(n);
            if (!include[j]) continue;
            double* c = x.col(j);
            double m = 0.0;
            for (std::size_t i = 0; i < n; ++i) m += w[i] * c[i];
            s.x_mean[j] = m;
            double ss = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                c[i] = (c[i] - m) * sw[i];
                ss += c[i] * c[i];
            }
            s.x_sumsq[j] = ss;
            if (!usable_scale(ss, j)) {
                drop_column(include, s.x_mean, s.x_scale, j);
                continue;
            }
            if (standardize) s.x_scale[j] = std::sqrt(ss);
        }
        if (standardize) {
            for (std::size_t j = 0; j < p; ++j) {
            interrupt.tick(n);
                if (!include[j]) continue;
                double* c = x.col(j);
                const double sc = s.x_scale[j];
                for (std::size_t i = 0; i < n; ++i) c[i] = c[i] / sc;
                s.x_sumsq[j] = 1.0;
            }
        } else {
            std::fill(s.x_scale.begin(), s.x_scale.end(), 1.0);
        }
        double ym = 0.0;
        for (std::size_t i = 0; i < n; ++i) ym += w[i] * y[i];
        s.y_mean = ym;
        double yss = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            y[i] = (y[i] - ym) * sw[i];
            yss += y[i] * y[i];
        }
        s.y_scale = std::sqrt(yss);
        check_response_scale(s);
        for (std::size_t i = 0; i < n; ++i) y[i] = y[i] / s.y_scale;
    } else {
        double yss = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            y[i] = y[i] * sw[i];
            yss += y[i] * y[i];
        }
        s.y_scale = std::sqrt(yss);
        check_response_scale(s);
        for (std::size_t i = 0; i < n; ++i) y[i] = y[i] / s.y_scale;
        s.y_mean = 0.0;
        for (std::size_t j = 0; j < p; ++j) {
            interrupt.tick(n);
            s.x_scale[j] = 1.0;
            if (!include[j]) continue;
            double* c = x.col(j);
            double ss = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                c[i] = c[i] * sw[i];
                ss += c[i] * c[i];
            }
            s.x_sumsq[j] = ss;
            if (!standardize) {
                if (!usable_scale(ss, j)) drop_column(include, s.x_mean, s.x_scale, j);
                continue;
            }
            double m = 0.0;
            for (std::size_t i = 0; i < n; ++i) m += c[i] * sw[i];
            const double v = ss - m * m;
            if (!usable_scale(v, j)) {
                drop_column(include, s.x_mean, s.x_scale, j);
                continue;
            }
            const double sc = std::sqrt(v);
            s.x_scale[j] = sc;
            for (std::size_t i = 0; i < n; ++i) c[i] = c[i] / sc;
            s.x_sumsq[j] = m * m / v + 1.0;
        }
    }
    return s;
}

ColumnMoments csc_moments(const CscMatrix& x, std::span<const double> w, const Flags& include,
                          const Interrupt& interrupt) {
    const std::size_t p = x.cols();
    check_lengths(x.rows(), p, w, include);
    ColumnMoments m{Vec(p, 0.0), Vec(p, 0.0), {}};
    m.second.assign(p, 0.0);
    double total = 0.0;
    for (const double wi : w) total += wi;
    for (std::size_t j = 0; j < p; ++j) {
        if (!include[j]) continue;
        interrupt.tick(x.stored(j));
        const auto c = sparse_moments({x.rows_of(j), x.stored(j)}, {x.values_of(j), x.stored(j)}, w, total);
        m.mean[j] = c.mean;
        m.var[j] = c.centred;
        m.second[j] = c.second;
    }
    return m;
}

ColumnMoments column_moments(const StridedMatrix& x, std::span<const double> w,
                             std::span<const double> y, std::size_t n_threads,
                             const Interrupt& interrupt) {
    const std::size_t p = x.ncols;
    ColumnMoments m{Vec(p), Vec(p), Vec(y.empty() ? 0 : p)};
    m.total = 0.0;
    for (const double wi : w) m.total += wi;
    m.ymean = weighted_column_stats(x, w, y, m.mean, m.var, m.cov, n_threads, interrupt);
    return m;
}

Standardization standardize_covariance(const ColumnMoments& m, double yss, Flags& include,
                                       bool standardize, bool intercept, Vec& gradient) {
    const std::size_t p = m.mean.size();
    require(include.size() == p && m.var.size() == p && (m.cov.empty() || m.cov.size() == p) &&
                (m.second.empty() || m.second.size() == p),
            "moments of the wrong length");
    Standardization s{Vec(p, 0.0), Vec(p, 1.0), Vec(p, 0.0), 0.0, 1.0};
    s.y_mean = intercept ? m.ymean : 0.0;
    s.y_scale = std::sqrt(yss);
    check_response_scale(s);
    gradient.assign(p, 0.0);
    for (std::size_t j = 0; j < p; ++j) {
        if (!include[j]) continue;
        const double v = m.var[j] * m.total;  // sum_i w_i (x_ij - mean_j)^2
        // sum_i w_i (x_ij - c_j)(y_i - c_y), c the centres (0 without intercept)
        double xy = m.cov.empty() ? 0.0 : m.cov[j] * m.total;
        if (intercept) {
            s.x_mean[j] = m.mean[j];
            s.x_sumsq[j] = v;
        } else {
            const double sum = m.mean[j] * m.total;  // sum_i w_i x_ij
            s.x_sumsq[j] = m.second.empty() ? v + sum * m.mean[j] : m.second[j];
            xy = xy + sum * m.ymean;
            if (standardize) s.x_sumsq[j] = sum * sum / v + 1.0;
        }
        const double checked = standardize || intercept ? v : s.x_sumsq[j];
        if (!usable_scale(checked, j)) {
            drop_column(include, s.x_mean, s.x_scale, j);
            continue;
        }
        if (standardize) {
            s.x_scale[j] = std::sqrt(v);
            if (intercept) s.x_sumsq[j] = 1.0;
        }
        if (!m.cov.empty()) gradient[j] = xy / s.x_scale[j] / s.y_scale;
    }
    return s;
}

std::pair<Vec, Vec> scales_from_moments(std::span<const double> mean, std::span<const double> var,
                                        double total, bool standardize, bool intercept,
                                        Flags& include, std::span<const double> second) {
    const std::size_t p = include.size();
    require(mean.size() == p && var.size() == p, "moments of the wrong length");
    Vec x_mean(p, 0.0), x_scale(p, 1.0);
    for (std::size_t j = 0; j < p; ++j) {
        if (!include[j]) continue;
        check_mean(mean[j], j);
        const double centred = var[j] * total;  // sum_i w_i (x_ij - mean_j)^2
        if (!intercept && !standardize) {  // raw columns: only their sums of squares checked
            const double sum = mean[j] * total;
            usable_scale(second.empty() ? centred + sum * mean[j] : second[j], j);
            continue;
        }
        if (intercept) x_mean[j] = mean[j];
        if (!standardize) continue;
        const double sc = std::sqrt(centred);
        if (!usable_scale(sc, j)) {
            drop_column(include, x_mean, x_scale, j);
            continue;
        }
        x_scale[j] = sc;
    }
    return {std::move(x_mean), std::move(x_scale)};
}

std::pair<Vec, Vec> centre_and_scale_in_place(DenseMatrix& x, std::span<const double> w,
                                              bool standardize, bool intercept, Flags& include,
                                              const Interrupt& interrupt) {
    const std::size_t n = x.rows(), p = x.cols();
    check_lengths(n, p, w, include);
    Vec x_mean(p, 0.0), x_scale(p, 1.0);
    for (std::size_t j = 0; j < p; ++j) {
        interrupt.tick(n);
        if (!include[j]) continue;
        double* c = x.col(j);
        if (!intercept && !standardize) {  // raw columns: only their sums of squares checked
            double ss = 0.0;
            for (std::size_t i = 0; i < n; ++i) ss += w[i] * (c[i] * c[i]);
            usable_scale(ss, j);
            continue;
        }
        double sc;
        if (intercept) {
            double m = 0.0;
            for (std::size_t i = 0; i < n; ++i) m += w[i] * c[i];
            check_mean(m, j);
            x_mean[j] = m;
            for (std::size_t i = 0; i < n; ++i) c[i] = c[i] - m;
            if (!standardize) continue;
            double ss = 0.0;
            for (std::size_t i = 0; i < n; ++i) ss += w[i] * (c[i] * c[i]);
            sc = std::sqrt(ss);
        } else {
            double s1 = 0.0, s2 = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                s2 += w[i] * (c[i] * c[i]);
                s1 += w[i] * c[i];
            }
            sc = std::sqrt(s2 - s1 * s1);
        }
        if (!usable_scale(sc, j)) {
            drop_column(include, x_mean, x_scale, j);
            continue;
        }
        x_scale[j] = sc;
        for (std::size_t i = 0; i < n; ++i) c[i] = c[i] / sc;
    }
    return {std::move(x_mean), std::move(x_scale)};
}

}  // namespace varnel_core
