#include "losses/multitask.hpp"

#include <cfloat>
#include <cmath>
#include <limits>
#include <utility>

#include "base/errors.hpp"

namespace varnel_core {

MultitaskFamily MultitaskFamily::make(RowData rows, std::size_t width, const FitConfig& config,
                                      bool standardize_response) {
    const std::size_t n = rows.w.size(), nk = width;
    require(nk >= 1 && rows.y.size() == checked_size(n, nk) && rows.offset.empty(),
            "K responses per row and no offset");
    const auto y = rows.y, w = rows.w;
    Vec mean(nk, 0.0), ss(nk, 0.0);
    if (config.intercept)
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t k = 0; k < nk; ++k) mean[k] += w[i] * y[i * nk + k];
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < nk; ++k) {
            const double d = y[i * nk + k] - mean[k];
            ss[k] += w[i] * (d * d);
        }
    }
    // A response constant on the rows of positive weight (at 0 without an
    // intercept) has nothing to fit: its centre is that value and its sum of
    // squares 0, whatever the rounding of its weighted mean.
    std::size_t constant = 0;
    for (std::size_t k = 0; k < nk; ++k) {
        bool seen = false, varies = false;
        double first = 0.0;
        for (std::size_t i = 0; i < n && !varies; ++i) {
            if (!(w[i] > 0.0)) continue;
            varies = seen && y[i * nk + k] != first;
            if (!seen) first = y[i * nk + k];
            seen = true;
        }
        if (varies || !(config.intercept || first == 0.0)) continue;
        ss[k] = 0.0;
        if (config.intercept) mean[k] = first;  // so that its residuals are 0
        ++constant;
    }
    return from_sums(rows, std::move(mean), std::move(ss), config, standardize_response, constant);
}

MultitaskFamily MultitaskFamily::from_moments(Vec mean, Vec ss, double total,
                                              const FitConfig& config, bool standardize_response) {
    return from_sums({{}, {}, total, {}}, std::move(mean), std::move(ss), config,
                     standardize_response);
}

MultitaskFamily MultitaskFamily::from_sums(RowData rows, Vec mean, Vec ss, const FitConfig& config,
                                           bool standardize_response, std::size_t constant) {
    const std::size_t nk = mean.size();
    Vec scale(nk, 1.0);
    double null_ss = 0.0;
    for (std::size_t k = 0; k < nk; ++k) {
        if (standardize_response && ss[k] > 0.0) {
            scale[k] = std::sqrt(ss[k]);
            ss[k] = 1.0;
        }
        null_ss += ss[k];
    }
    if (!std::isfinite(null_ss)) data_overflow("the sum of squares of y", "y");
    // every response constant: told exactly from the rows, in make(); from
    // moments, by sums of squares that are all exactly 0
    if (rows.y.empty() ? null_ss == 0.0 : constant == nk)
        throw InputError(config.intercept
                             ? "the responses are constant: every column of y takes a single value "
                               "on every observation of positive weight, so there is nothing to fit"
                             : "the responses are constant at 0: y is 0 on every observation of "
                               "positive weight and no intercept is fitted, so there is nothing "
                               "to fit");
    // responses that vary, with a sum of squares below the smallest normal
    // double, have lost their digits
    if (!(null_ss >= DBL_MIN)) data_underflow("the sum of squares of y", "y");
    return MultitaskFamily(rows, std::move(mean), std::move(scale), null_ss);
}

MultitaskFamily::MultitaskFamily(RowData rows, Vec mean, Vec scale, double null_ss)
    : rows_(rows), nk_(mean.size()), mean_(std::move(mean)), scale_(std::move(scale)),
      null_ss_(null_ss) {}

void MultitaskFamily::fixed_rows(std::span<double> v, std::span<double> r) const {
    const auto y = rows_.y, w = rows_.w;
    for (std::size_t i = 0; i < w.size(); ++i) {
        for (std::size_t k = 0; k < nk_; ++k) {
            v[i * nk_ + k] = w[i];
            r[i * nk_ + k] = w[i] * ((y[i * nk_ + k] - mean_[k]) / scale_[k]);
        }
    }
}

void MultitaskFamily::to_response_scale(Vec& a0, Vec& beta) const {
    for (std::size_t e = 0; e < beta.size(); ++e) beta[e] = beta[e] * scale_[e % nk_];
    for (std::size_t e = 0; e < a0.size(); ++e) a0[e] = a0[e] * scale_[e % nk_] + mean_[e % nk_];
}

void MultitaskFamily::on_step(std::span<const double> u, std::span<const double> c,
                              std::span<const double> b, std::span<const double> d) {
    double gain = 0.0;
    for (std::size_t k = 0; k < nk_; ++k) gain += d[k] * ((u[k] + u[k]) - c[k] * ((b[k] + b[k]) - d[k]));
    explained_ = explained_ + gain;
}

}  // namespace varnel_core
