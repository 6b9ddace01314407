#include "losses/poisson.hpp"
#include "losses/response.hpp"

#include <cfloat>
#include <cmath>

namespace varnel_core {

std::optional<FitError> PoissonFamily::check_response(std::span<const double> y) {
    for (const double v : y)
        if (v < 0.0) return FitError::NegativeResponse;
    return std::nullopt;
}

PoissonFamily PoissonFamily::make(RowData rows, std::span<const double> raw,
                                  const FitConfig& config, const WorkingConstants& constants) {
    if (config.intercept) check_response_varies(rows.y, raw, true);
    return PoissonFamily(rows, config);
}

PoissonFamily PoissonFamily::over_block(RowData rows, const FitConfig& config,
                                        const WorkingConstants& constants) {
    PoissonFamily f(rows, config);
    for (std::size_t i = 0; i < rows.y.size(); ++i) f.wy_[i] = rows.w[i] * rows.y[i];
    return f;
}

double PoissonFamily::saturated_loss() const {
    double acc = 0.0;
    for (std::size_t i = 0; i < wy_.size(); ++i)
        if (wy_[i] > 0.0) acc += wy_[i] - wy_[i] * std::log(rows_.y[i]);
    return acc;
}

std::variant<Vec, FitError> PoissonFamily::null_intercepts(std::span<const double> mean,
                                                           bool intercept,
                                                           const WorkingConstants&) {
    return Vec{intercept ? std::log(mean[0]) : 0.0};
}

PoissonFamily::PoissonFamily(RowData rows, const FitConfig& config)
    : rows_(rows), intercept_(config.intercept), wy_(rows.y.size()),
      eta_limit_(std::log(DBL_MAX / 10.0)) {}

double PoissonFamily::null_model(std::span<double> q, std::span<double> r) {
    const std::size_t n = rows_.y.size();
    const auto y = rows_.y, w = rows_.w, offset = rows_.offset;
    double ybar = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        ybar += w[i] * y[i];
        wy_[i] = w[i] * y[i];
    }
    double b0 = 0.0;
    if (offset.empty()) {
        if (intercept_) {
            for (std::size_t i = 0; i < n; ++i) q[i] = w[i] * ybar;
            b0 = std::log(ybar);
            dev_offset_ = (std::log(ybar) - 1.0) * ybar;
            weight_sum_ = ybar;
        } else {
            for (std::size_t i = 0; i < n; ++i) q[i] = w[i];
            dev_offset_ = -1.0;
            weight_sum_ = 1.0;
        }
    } else {
        if (intercept_) {
            double s = 0.0;
            for (std::size_t i = 0; i < n; ++i) s += w[i] * std::exp(offset[i]);
            b0 = std::log(ybar) - std::log(s);
        }
        double sum = 0.0, loglik = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double eta = offset[i] + b0;
            q[i] = w[i] * mean(eta);
            sum += q[i];
            loglik += wy_[i] * eta;
        }
        weight_sum_ = sum;
        dev_offset_ = loglik - sum;
    }
    for (std::size_t i = 0; i < n; ++i) r[i] = wy_[i] - q[i];
    double sum_ylogy = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        if (wy_[i] > 0.0) sum_ylogy += wy_[i] * std::log(y[i]);
    null_half_dev_ = sum_ylogy - ybar - dev_offset_;
    if (!std::isfinite(null_half_dev_)) {
        // y's own sums are finite: the offset's means exp(offset + b0) are not
        if (!offset.empty() && std::isfinite(ybar) && std::isfinite(sum_ylogy))
            throw InputError(
                "the data overflow: the null deviance is not finite at this offset, whose exp() "
                "leaves the range of doubles; scale the offset down (it is added to the linear "
                "predictor: the log of an exposure, not the exposure)");
        data_overflow("the null deviance of y", "y");
    }
    return b0;
}

bool PoissonFamily::working(std::span<const double> eta, std::span<double> q,
                            std::span<double> r) {
    const auto w = rows_.w;
    double sum = 0.0, loglik = 0.0;
    for (std::size_t i = 0; i < wy_.size(); ++i) {
        q[i] = w[i] * mean(eta[i]);
        sum += q[i];
        loglik += wy_[i] * eta[i];
    }
    weight_sum_ = sum;
    eta_loglik_ = loglik;
    for (std::size_t i = 0; i < wy_.size(); ++i) r[i] = wy_[i] - q[i];
    return false;
}

double PoissonFamily::mean(double e) const {
    return std::exp(std::copysign(nan_min(std::abs(e), eta_limit_), e));
}

}  // namespace varnel_core
