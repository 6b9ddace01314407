#include "data/least_squares.hpp"

#include <algorithm>
#include <limits>

namespace varnel_core {

SparseLeastSquaresColumns::SparseLeastSquaresColumns(Standardized<CscMatrix> z,
                                                     std::span<const double> w)
    : z_(std::move(z)), w_(w) {
    require(w.size() == z_.rows(), "weights length differs from nrows");
}

double SparseLeastSquaresColumns::grad(std::size_t j, std::span<const double> r, double shift) const {
    const CscMatrix& x = z_.base();
    require(j < x.cols() && r.size() >= x.rows(), "column index or residual length out of range");
    const std::uint64_t* rows = x.rows_of(j);
    const double* v = x.values_of(j);
    const double* w = w_.data();
    double acc = 0.0;
    for (std::size_t e = 0; e < x.stored(j); ++e) {
        const std::uint64_t i = rows[e];
        acc += (r[i] + shift) * (v[e] * w[i]);  // (r_i + shift) * (x_ij * w_i)
    }
    return acc / z_.scale(j);
}

void SparseLeastSquaresColumns::grad_batch(std::span<const std::size_t> js,
                                           std::span<const double> r, double shift,
                                           double* out) const {
    require(js.size() <= 4, "grad_batch takes at most four columns");
    if (js.size() < 4) {
        for (std::size_t c = 0; c < js.size(); ++c) out[c] = grad(js[c], r, shift);
        return;
    }
    const CscMatrix& x = z_.base();
    require(r.size() >= x.rows(), "residual shorter than the column");
    const std::uint64_t* rows[4];
    const double* v[4];
    const double* w = w_.data();
    std::size_t len[4];
    std::size_t common = std::numeric_limits<std::size_t>::max();
    for (std::size_t c = 0; c < 4; ++c) {
        require(js[c] < x.cols(), "column index out of range");
        rows[c] = x.rows_of(js[c]);
        v[c] = x.values_of(js[c]);
        len[c] = x.stored(js[c]);
        common = std::min(common, len[c]);
    }
    auto term = [&](std::size_t c, std::size_t e) {
        const std::uint64_t i = rows[c][e];
        return (r[i] + shift) * (v[c][e] * w[i]);
    };
    double acc[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t e = 0; e < common; ++e)
        for (std::size_t c = 0; c < 4; ++c) acc[c] += term(c, e);
    for (std::size_t c = 0; c < 4; ++c) {
        for (std::size_t e = common; e < len[c]; ++e) acc[c] += term(c, e);
        out[c] = acc[c] / z_.scale(js[c]);
    }
}

void SparseLeastSquaresColumns::update_residual(std::size_t j, double delta, std::span<double> r,
                                                double& shift) const {
    const double d = delta / z_.scale(j);
    z_.base().axpy(j, d, r);              // stored rows: r -= x_ij * d
    shift = d * z_.centre(j) + shift;     // every row: the centring term -(-c_j * d)
}

namespace {

// sum over the stored entries e of (r[rows[e]] + shift) * (v[e] * w(rows[e])),
// in InterleavedSparseColumns' order.
template <class Weight>
double interleaved_sum(const std::uint64_t* rows, const double* v, std::size_t len,
                       const double* r, double shift, Weight&& w) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t e = 0;
    for (; e + 4 <= len; e += 4) {
        const std::uint64_t i0 = rows[e], i1 = rows[e + 1], i2 = rows[e + 2], i3 = rows[e + 3];
        s0 += (r[i0] + shift) * (v[e] * w(i0));
        s1 += (r[i1] + shift) * (v[e + 1] * w(i1));
        s2 += (r[i2] + shift) * (v[e + 2] * w(i2));
        s3 += (r[i3] + shift) * (v[e + 3] * w(i3));
    }
    double acc = (s0 + s1) + (s2 + s3);
    for (; e < len; ++e) acc += (r[rows[e]] + shift) * (v[e] * w(rows[e]));
    return acc;
}

}  // namespace

InterleavedSparseColumns::InterleavedSparseColumns(Standardized<CscMatrix> z,
                                                   std::span<const double> w)
    : base_(std::move(z), w) {
    equal_weights_ = std::all_of(w.begin(), w.end(), [&](double v) { return v == w[0]; });
}

double InterleavedSparseColumns::grad(std::size_t j, std::span<const double> r,
                                      double shift) const {
    const CscMatrix& x = base_.view().base();
    require(j < x.cols() && r.size() >= x.rows(), "column index or residual length out of range");
    const std::uint64_t* rows = x.rows_of(j);
    const double* v = x.values_of(j);
    const std::size_t len = x.stored(j);
    const double* w = base_.weights().data();
    double acc;
    if (equal_weights_ && len > 0) {
        const double w0 = w[0];
        acc = interleaved_sum(rows, v, len, r.data(), shift, [w0](std::uint64_t) { return w0; });
    } else {
        acc = interleaved_sum(rows, v, len, r.data(), shift, [w](std::uint64_t i) { return w[i]; });
    }
    return acc / base_.view().scale(j);
}

}  // namespace varnel_core
