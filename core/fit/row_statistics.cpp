#include "fit/row_statistics.hpp"

#include <algorithm>
#include <cmath>

#include "base/errors.hpp"
#include "fit/prepare.hpp"

namespace varnel_core {

void RowStatistics::check() const {
    require(responses >= 1, "row statistics: at least one response");
    const std::size_t q = nvars + responses;
    require(centre.size() == q && squares.size() == q && deviations.size() == q &&
                min.size() == q && max.size() == q && positive_min.size() == q &&
                positive_max.size() == q && (products.empty() || products.size() == q * q),
            "row statistics: one centre, square, deviation and range per column of x and y");
}

void RowStatistics::merge(const RowStatistics& o) {
    check();
    o.check();
    require(o.nvars == nvars && o.responses == responses && o.products.size() == products.size() && o.centre == centre,
            "row statistics: blocks merge about the same centres");
    auto add = [](Vec& a, const Vec& b) {
        for (std::size_t i = 0; i < a.size(); ++i) a[i] = a[i] + b[i];
    };
    add(products, o.products);
    add(squares, o.squares);
    add(deviations, o.deviations);
    weight = weight + o.weight;
    nobs += o.nobs;
    for (std::size_t j = 0; j < nvars + responses; ++j) {
        min[j] = std::min(min[j], o.min[j]);
        max[j] = std::max(max[j], o.max[j]);
        positive_min[j] = std::min(positive_min[j], o.positive_min[j]);
        positive_max[j] = std::max(positive_max[j], o.positive_max[j]);
    }
}

RowStatistics block_statistics(const StridedMatrix& x, std::span<const double> y,
                               std::span<const double> w, std::span<const double> centre,
                               bool products, const Interrupt& interrupt) {
    const std::size_t n = x.nrows, p = x.ncols, q = p + 1;
    require(y.size() == n && w.size() == n && centre.size() == q,
            "block statistics: y, weights and centres of the wrong length");
    check_weights(w);
    RowStatistics s;
    s.nobs = n;
    s.nvars = p;
    s.centre.assign(centre.begin(), centre.end());
    s.deviations.assign(q, 0.0);
    s.squares.assign(q, 0.0);
    s.min.assign(q, HUGE_VAL);
    s.max.assign(q, -HUGE_VAL);
    s.positive_min = s.min;
    s.positive_max = s.max;
    const StridedMatrix response{y.data(), n, 1, 1, static_cast<std::ptrdiff_t>(n)};
    auto value = [&](std::size_t i, std::size_t j) { return j < p ? x.at(i, j) : y[i]; };
    if (products) {
        s.products.assign(checked_size(q, q), 0.0);
        s.weight = gram_sums(x, w, centre, s.products.data(), q, s.deviations, response, 1,
                             interrupt);
        for (std::size_t j = 0; j < q; ++j) s.squares[j] = s.products[j * q + j];
    } else {
        for (const double v : w) s.weight += v;
        for (std::size_t j = 0; j < q; ++j) {
            interrupt.tick(n);
            double d = 0.0, sq = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                const double a = value(i, j) - centre[j];
                d += w[i] * a;
                sq += w[i] * (a * a);
            }
            s.deviations[j] = d;
            s.squares[j] = sq;
        }
    }
    for (std::size_t j = 0; j < q; ++j) {
        interrupt.tick(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double v = value(i, j);
            s.min[j] = std::min(s.min[j], v);
            s.max[j] = std::max(s.max[j], v);
            if (w[i] > 0.0) {
                s.positive_min[j] = std::min(s.positive_min[j], v);
                s.positive_max[j] = std::max(s.positive_max[j], v);
            }
        }
    }
    return s;
}

}  // namespace varnel_core
