#include "data/dense.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <limits>

namespace varnel_core {

DenseMatrix::DenseMatrix(Vec values, std::size_t nrows, std::size_t ncols)
    : values_(std::move(values)) {
    require(ncols == 0 || nrows <= std::numeric_limits<std::size_t>::max() / ncols,
            "matrix dimensions overflow");
    require(values_.size() == nrows * ncols, "matrix data length differs from nrows * ncols");
    view_ = {values_.data(), nrows, ncols, 1, static_cast<std::ptrdiff_t>(nrows)};
}

DenseMatrix::DenseMatrix(const StridedMatrix& view) : view_(view) {
    require(view.data != nullptr || view.nrows == 0 || view.ncols == 0, "a borrowed matrix needs data");
}

DenseMatrix::DenseMatrix(const DenseMatrix& other) : values_(other.values_), view_(other.view_) {
    if (!values_.empty()) view_.data = values_.data();
}

DenseMatrix& DenseMatrix::operator=(const DenseMatrix& other) {
    if (this != &other) *this = DenseMatrix(other);
    return *this;
}

const double* DenseMatrix::column(std::size_t j, int slot, double centre) const {
    require(j < cols(), "column index out of range");
    const std::size_t n = rows();
    const double* first = view_.data + static_cast<std::ptrdiff_t>(j) * view_.col_stride;
    if (centre == 0.0 && (view_.row_stride == 1 || n <= 1)) return first;
    Vec& s = scratch_[slot];
    s.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        s[i] = first[static_cast<std::ptrdiff_t>(i) * view_.row_stride] - centre;
    return s.data();
}

namespace {

double centre_of(std::span<const double> centres, std::size_t t) {
    return centres.empty() ? 0.0 : centres[t];
}

}  // namespace

double DenseMatrix::dot(std::size_t j, std::span<const double> v, double centre) const {
    check_column(j, v.size());
    if (centre == 0.0) return dot4(column(j), v.data(), rows());
    return dot4_centred(column(j), centre, v.data(), rows());
}

double DenseMatrix::weighted_dot(std::size_t j, std::span<const double> w,
                                 std::span<const double> v, double centre) const {
    check_column(j, std::min(w.size(), v.size()));
    return wdot4(w, std::span<const double>(column(j, 0, centre), rows()), v);
}

void DenseMatrix::axpy(std::size_t j, double a, std::span<double> r, double centre) const {
    check_column(j, r.size());
    sub_scaled(r.data(), column(j, 0, centre), a, rows());
}

void DenseMatrix::weighted_axpy(std::size_t j, std::span<const double> w, double a,
                                std::span<double> r, double centre) const {
    check_column(j, std::min(w.size(), r.size()));
    if (centre == 0.0) return sub_weighted_scaled(r.data(), w.data(), column(j), a, rows());
    sub_weighted_scaled_centred(r.data(), w.data(), column(j), centre, a, rows());
}

ColumnSums DenseMatrix::weighted_sums(std::size_t j, std::span<const double> w,
                                      double centre) const {
    check_column(j, w.size());
    const double* x = column(j, 0, centre);
    ColumnSums s;
    for (std::size_t i = 0; i < rows(); ++i) {
        s.sum += w[i] * x[i];
        s.squares += w[i] * (x[i] * x[i]);
    }
    return s;
}

void DenseMatrix::transpose_times(std::span<const std::size_t> set, std::span<const double> v,
                                  std::span<double> out, std::span<const double> centres) const {
    require(out.size() >= set.size(), "one output per column");
    for (std::size_t t = 0; t < set.size(); ++t) out[t] = dot(set[t], v, centre_of(centres, t));
}

void DenseMatrix::times(std::span<const std::size_t> set, std::span<const double> b,
                        std::span<double> out, std::span<const double> centres) const {
    require(b.size() >= set.size() && out.size() >= rows(), "times: vectors of the wrong length");
    std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(rows()), 0.0);
    for (std::size_t t = 0; t < set.size(); ++t) {
        const double c = b[t];
        const double* x = column(set[t], 0, centre_of(centres, t));
        for (std::size_t i = 0; i < rows(); ++i) out[i] = out[i] + c * x[i];
    }
}

void DenseMatrix::sandwich(std::span<const std::size_t> set, std::span<const double> w,
                           std::span<double> out, std::span<const double> centres) const {
    const std::size_t m = set.size(), n = rows();
    require(out.size() >= checked_size(m, m) && w.size() >= n, "sandwich: vectors of the wrong length");
    for (std::size_t a = 0; a < m; ++a) {
        const std::span<const double> xa(column(set[a], 1, centre_of(centres, a)), n);
        for (std::size_t b = a; b < m; ++b) {
            const double* xb = column(set[b], 0, centre_of(centres, b));
            const double s = wdot4(w, xa, std::span<const double>(xb, n));
            out[a * m + b] = s;
            out[b * m + a] = s;
        }
    }
}

void DenseMatrix::dot_batch(std::span<const std::size_t> js, std::span<const double> v,
                            double* out, std::span<const double> centres) const {
    require(js.size() <= 4 && v.size() >= rows() && view_.row_stride == 1 &&
                (centres.empty() || centres.size() >= js.size()),
            "dot_batch: bad arguments");
    const double* columns[4];
    for (std::size_t c = 0; c < js.size(); ++c) columns[c] = column(js[c]);
    if (centres.empty()) return dot4_batch(columns, js.size(), v.data(), rows(), out);
    dot4_batch_centred(columns, centres.data(), js.size(), v.data(), rows(), out);
}

double DenseMatrix::axpy_then_dot(std::size_t j, double a, std::span<double> r, std::size_t k) const {
    check_column(j, r.size());
    require(view_.row_stride == 1 && k < cols(), "axpy_then_dot: bad arguments");
    return sub_scaled_dot4(r.data(), column(j), a, column(k), rows());
}

double DenseMatrix::weighted_axpy_then_dot(std::size_t j, std::span<const double> w, double a,
                                           std::span<double> r, std::size_t k, double centre_j,
                                           double centre_k) const {
    check_column(j, std::min(w.size(), r.size()));
    require(view_.row_stride == 1 && k < cols(), "weighted_axpy_then_dot: bad arguments");
    if (centre_j == 0.0 && centre_k == 0.0)
        return sub_weighted_scaled_dot4(r.data(), w.data(), column(j), a, column(k), rows());
    return sub_weighted_scaled_dot4_centred(r.data(), w.data(), column(j), centre_j, a, column(k),
                                            centre_k, rows());
}

void DenseMatrix::weighted_sumsq_flagged(const Flags& flags, std::span<const double> v,
                                         std::span<double> out,
                                         std::span<const double> centres) const {
    require(v.size() >= rows() && flags.size() == cols() && out.size() >= cols() &&
                view_.row_stride == 1 && (centres.empty() || centres.size() == cols()),
            "weighted_sumsq_flagged: vectors of the wrong length");
    std::size_t js[4];
    const double* columns[4];
    double s[4], c[4];
    std::size_t k = 0;
    auto flush_batch = [&] {
        if (centres.empty())
            wsumsq4_batch(v.data(), columns, k, rows(), s);
        else
            wsumsq4_batch_centred(v.data(), columns, c, k, rows(), s);
        for (std::size_t t = 0; t < k; ++t) out[js[t]] = s[t];
        k = 0;
    };
    for (std::size_t j = 0; j < cols(); ++j) {
        if (!flags[j]) continue;
        js[k] = j;
        c[k] = centres.empty() ? 0.0 : centres[j];
        columns[k++] = column(j);
        if (k == 4) flush_batch();
    }
    if (k) flush_batch();
}

void DenseMatrix::linear_predictor(std::span<const double> coef, std::span<const std::size_t> active,
                                   double intercept, std::span<double> eta,
                                   const Interrupt& interrupt,
                                   std::span<const double> centres) const {
    const std::size_t n = rows();
    require(eta.size() >= n && view_.row_stride == 1 &&
                (centres.empty() || centres.size() == cols()),
            "eta shorter than the columns");
    double* e = eta.data();
    std::fill(e, e + n, 0.0);
    auto centre = [&](std::size_t j) { return centres.empty() ? 0.0 : centres[j]; };
    // e_i += b_k (x_ik - c_k) in list order; four columns per sweep over e
    // keep the same sequence of additions for every i.
    std::size_t a = 0;
    for (; a + 4 <= active.size(); a += 4) {
        interrupt.tick(4 * n);
        const double* x[4];
        double b[4], c[4];
        for (std::size_t t = 0; t < 4; ++t) {
            require(active[a + t] < coef.size(), "active index out of range");
            b[t] = coef[active[a + t]];
            c[t] = centre(active[a + t]);
            x[t] = column(active[a + t]);
        }
        if (centres.empty()) {
            for (std::size_t i = 0; i < n; ++i)
                e[i] = (((e[i] + b[0] * x[0][i]) + b[1] * x[1][i]) + b[2] * x[2][i]) + b[3] * x[3][i];
        } else {
            for (std::size_t i = 0; i < n; ++i)
                e[i] = (((e[i] + b[0] * (x[0][i] - c[0])) + b[1] * (x[1][i] - c[1])) +
                        b[2] * (x[2][i] - c[2])) +
                       b[3] * (x[3][i] - c[3]);
        }
    }
    for (; a < active.size(); ++a) {
        require(active[a] < coef.size(), "active index out of range");
        const double b = coef[active[a]], c = centre(active[a]);
        const double* x = column(active[a]);
        for (std::size_t i = 0; i < n; ++i) e[i] = e[i] + b * (x[i] - c);
    }
    for (std::size_t i = 0; i < n; ++i) e[i] = intercept + e[i];
}

std::optional<std::pair<std::size_t, std::size_t>> first_non_finite(const StridedMatrix& x,
                                                                    const Interrupt& interrupt) {
    const bool by_rows = std::abs(x.col_stride) < std::abs(x.row_stride);
    const std::size_t outer = by_rows ? x.nrows : x.ncols, inner = by_rows ? x.ncols : x.nrows;
    bool finite = true;
    for (std::size_t a = 0; a < outer && finite; ++a) {
        interrupt.tick(inner);
        for (std::size_t b = 0; b < inner; ++b)
            finite = finite && std::isfinite(by_rows ? x.at(a, b) : x.at(b, a));
    }
    if (finite) return std::nullopt;
    for (std::size_t j = 0; j < x.ncols; ++j)
        for (std::size_t i = 0; i < x.nrows; ++i)
            if (!std::isfinite(x.at(i, j))) return std::make_pair(i, j);
    return std::nullopt;
}

void require_finite(const StridedMatrix& x, const Interrupt& interrupt) {
    const auto bad = first_non_finite(x, interrupt);
    if (!bad) return;
    const double v = x.at(bad->first, bad->second);
    throw InputError("x must be finite, but x[" + std::to_string(bad->first) + ", " +
                     std::to_string(bad->second) + "] is " +
                     (std::isnan(v) ? "nan" : v > 0 ? "inf" : "-inf"));
}

}  // namespace varnel_core
