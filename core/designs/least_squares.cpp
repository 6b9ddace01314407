#include "designs/least_squares.hpp"

#include <algorithm>
#include <limits>

namespace varnel_core {

SparseLeastSquaresColumns::SparseLeastSquaresColumns(Standardized<CscMatrix> z,
                                                     std::span<const double> w)
    : z_(std::move(z)) {
    const CscMatrix& x = z_.base();
    require(w.size() == x.rows(), "weights length differs from nrows");
    weighted_values_.reserve(x.nonzeros());
    for (std::size_t j = 0; j < x.cols(); ++j)
        for (std::size_t e = 0; e < x.stored(j); ++e)
            weighted_values_.push_back(x.values_of(j)[e] * w[x.rows_of(j)[e]]);
}

double SparseLeastSquaresColumns::grad(std::size_t j, std::span<const double> r, double shift) const {
    const CscMatrix& x = z_.base();
    require(j < x.cols() && r.size() >= x.rows(), "column index or residual length out of range");
    const std::uint64_t* rows = x.rows_of(j);
    const double* vw = weighted_values_.data() + x.first(j);
    double acc = 0.0;
    for (std::size_t e = 0; e < x.stored(j); ++e)
        acc += (r[rows[e]] + shift) * vw[e];  // (r_i + shift) * (x_ij * w_i)
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
    const double* vw[4];
    std::size_t len[4];
    std::size_t common = std::numeric_limits<std::size_t>::max();
    for (std::size_t c = 0; c < 4; ++c) {
        require(js[c] < x.cols(), "column index out of range");
        rows[c] = x.rows_of(js[c]);
        vw[c] = weighted_values_.data() + x.first(js[c]);
        len[c] = x.stored(js[c]);
        common = std::min(common, len[c]);
    }
    double acc[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t e = 0; e < common; ++e)
        for (std::size_t c = 0; c < 4; ++c) acc[c] += (r[rows[c][e]] + shift) * vw[c][e];
    for (std::size_t c = 0; c < 4; ++c) {
        for (std::size_t e = common; e < len[c]; ++e) acc[c] += (r[rows[c][e]] + shift) * vw[c][e];
        out[c] = acc[c] / z_.scale(js[c]);
    }
}

void SparseLeastSquaresColumns::update_residual(std::size_t j, double delta, std::span<double> r,
                                                double& shift) const {
    const double d = delta / z_.scale(j);
    z_.base().axpy(j, d, r);              // stored rows: r -= x_ij * d
    shift = d * z_.centre(j) + shift;     // every row: the centring term -(-c_j * d)
}

}  // namespace varnel_core
