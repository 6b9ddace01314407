#include "losses/binomial.hpp"

#include <cmath>

#include "base/format.hpp"
#include "losses/response.hpp"

namespace varnel_core {

void BinomialFamily::check_response(std::span<const double> y) {
    for (std::size_t i = 0; i < y.size(); ++i) {
        if (!(y[i] >= 0.0 && y[i] <= 1.0))
            throw InputError("y must lie in [0, 1] for the binomial family, but y[" +
                             std::to_string(i) + "] = " + format_number(y[i]));
    }
}

std::variant<BinomialFamily, FitError> BinomialFamily::make(RowData rows,
                                                            std::span<const double> raw,
                                                            const FitConfig& config,
                                                            const WorkingConstants& constants) {
    double pbar = 0.0;
    for (std::size_t i = 0; i < rows.y.size(); ++i) pbar += rows.w[i] * rows.y[i];
    if (auto e = check_mean(pbar, constants)) return *e;
    if (config.intercept) check_response_varies(rows.y, raw, true);
    return BinomialFamily(rows, pbar, config);
}

std::optional<FitError> BinomialFamily::check_mean(double pbar, const WorkingConstants& constants) {
    if (pbar <= constants.pmin) return FitError::NullProbUnderflow;
    if (pbar >= 1.0 - constants.pmin) return FitError::NullProbOverflow;
    return std::nullopt;
}

BinomialFamily BinomialFamily::over_block(RowData rows, const FitConfig& config,
                                          const WorkingConstants& constants) {
    BinomialFamily f(rows, 0.5, config);
    f.min_weight_sum_ = -HUGE_VAL;
    return f;
}

double BinomialFamily::saturated_loss() const {
    const auto y = rows_.y, w = rows_.w;
    double acc = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        if (y[i] > 0.0) acc += w[i] * y[i] * std::log(y[i]);
        if (y[i] < 1.0) acc += w[i] * (1.0 - y[i]) * std::log(1.0 - y[i]);
    }
    return -acc;
}

std::variant<Vec, FitError> BinomialFamily::null_intercepts(std::span<const double> mean,
                                                            bool intercept,
                                                            const WorkingConstants& constants) {
    if (auto e = check_mean(mean[0], constants)) return *e;
    return Vec{intercept ? std::log(mean[0] / (1.0 - mean[0])) : 0.0};
}

BinomialFamily::BinomialFamily(RowData rows, double pbar, const FitConfig& config)
    : rows_(rows), pbar_(pbar), intercept_(config.intercept), prob_(rows.y.size()),
      eta_limit_(std::log(1.0 / config.pmin - 1.0)),
      min_weight_sum_(saturation_bound(config.pmin)), pmin_(config.pmin) {}

double BinomialFamily::null_model(std::span<double> v, std::span<double> r) {
    const std::size_t n = rows_.y.size();
    const auto y = rows_.y, w = rows_.w, offset = rows_.offset;
    double b0 = 0.0;
    if (offset.empty()) {
        double p0 = 0.5;
        if (intercept_) {
            b0 = std::log(pbar_ / (1.0 - pbar_));
            p0 = pbar_;
        }
        for (std::size_t i = 0; i < n; ++i) {
            prob_[i] = p0;
            v[i] = w[i] * p0 * (1.0 - p0);
            r[i] = w[i] * (y[i] - p0);
        }
        weight_sum_ = p0 * (1.0 - p0);
        null_loss_ = -(p0 * b0 + std::log(1.0 - p0));
    } else {
        if (intercept_) b0 = offset_intercept();
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            prob_[i] = probability(offset[i] + b0);
            v[i] = w[i] * prob_[i] * (1.0 - prob_[i]);
            r[i] = w[i] * (y[i] - prob_[i]);
            sum += v[i];
        }
        weight_sum_ = sum;
        null_loss_ = loss();
    }
    double nhd = null_loss_;
    for (std::size_t i = 0; i < n; ++i) {
        if (y[i] > 0.0) nhd += w[i] * y[i] * std::log(y[i]);
        if (y[i] < 1.0) nhd += w[i] * (1.0 - y[i]) * std::log(1.0 - y[i]);
    }
    null_half_dev_ = nhd;
    return b0;
}

bool BinomialFamily::working(std::span<const double> eta, std::span<double> v,
                             std::span<double> r) {
    const auto y = rows_.y, w = rows_.w;
    double sum = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        const double p = probability(eta[i]);
        prob_[i] = p;
        v[i] = w[i] * p * (1.0 - p);
        sum += v[i];
    }
    weight_sum_ = sum;
    if (weight_sum_ <= min_weight_sum_) return true;
    for (std::size_t i = 0; i < y.size(); ++i) r[i] = w[i] * (y[i] - prob_[i]);
    return false;
}

double BinomialFamily::probability(double e) const {
    return e < -eta_limit_ ? 0.0 : e > eta_limit_ ? 1.0 : 1.0 / (1.0 + std::exp(-e));
}

double BinomialFamily::loss() const {
    const auto y = rows_.y, w = rows_.w;
    double acc = 0.0;
    for (std::size_t i = 0; i < prob_.size(); ++i) {
        const double q = std::fmin(std::fmax(prob_[i], pmin_), 1.0 - pmin_);
        acc += w[i] * (y[i] * std::log(q) + (1.0 - y[i]) * std::log(1.0 - q));
    }
    return -acc;
}

// The root b of f(b) = sum_i w_i (y_i - p_i(o_i + b)), decreasing from
// pbar > 0 to pbar - 1 < 0: Newton steps kept inside a shrinking bracket.
double BinomialFamily::offset_intercept() const {
    const auto y = rows_.y, w = rows_.w, offset = rows_.offset;
    auto score = [&](double b, double& slope) {
        double f = 0.0, s = 0.0;
        for (std::size_t i = 0; i < y.size(); ++i) {
            const double p = 1.0 / (1.0 + std::exp(-(offset[i] + b)));
            f += w[i] * (y[i] - p);
            s += w[i] * p * (1.0 - p);
        }
        slope = s;
        return f;
    };
    double mean_offset = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) mean_offset += w[i] * offset[i];
    double b = std::log(pbar_ / (1.0 - pbar_)) - mean_offset;
    double lo = -HUGE_VAL, hi = HUGE_VAL;
    for (int it = 0; it < 200; ++it) {
        double slope = 0.0;
        const double f = score(b, slope);
        if (f > 0.0) lo = b; else hi = b;
        double next = slope > 0.0 ? b + f / slope : b;
        if (!(next > lo && next < hi)) {
            if (std::isinf(lo)) next = hi - std::fmax(1.0, std::abs(hi));
            else if (std::isinf(hi)) next = lo + std::fmax(1.0, std::abs(lo));
            else next = 0.5 * (lo + hi);
        }
        if (next == b || std::abs(next - b) <= 1e-15 * std::fmax(1.0, std::abs(b))) return next;
        b = next;
    }
    return b;
}

}  // namespace varnel_core
