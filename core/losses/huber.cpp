#include "losses/huber.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "base/format.hpp"
#include "losses/response.hpp"

namespace varnel_core {

double huber_delta(const std::optional<double>& given) {
    if (!given) return 1.35;
    const double d = *given;
    if (!(d > 0.0 && std::isfinite(d)))
        throw PreconditionError("delta must be positive and finite, but delta is " + format_number(d));
    return d;
}

HuberFamily::HuberFamily(RowData rows, double delta, const FitConfig& config,
                         const WorkingConstants& constants)
    : rows_(rows), delta_(delta), intercept_(config.intercept), eta_(rows.y.size()) {}

HuberFamily HuberFamily::make(RowData rows, std::span<const double> raw, double delta,
                              const FitConfig& config, const WorkingConstants& constants) {
    if (config.intercept) check_response_varies(rows.y, raw, true);
    return HuberFamily(rows, delta, config, constants);
}

HuberFamily HuberFamily::over_block(RowData rows, double delta, const FitConfig& config,
                                    const WorkingConstants& constants) {
    return HuberFamily(rows, delta, config, constants);
}

bool HuberFamily::working(std::span<const double> eta, std::span<double> v, std::span<double> r) {
    const auto y = rows_.y, w = rows_.w;
    const double delta = delta_;
    double vsum = 0.0, loss = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        const double res = y[i] - eta[i], size = std::abs(res);
        const bool inner = size <= delta;
        const double a = inner ? 1.0 : delta / size;
        v[i] = w[i] * a;
        r[i] = v[i] * res;
        loss += w[i] * (inner ? 0.5 * res * res : delta * (size - 0.5 * delta));
        vsum += v[i];
    }
    weight_sum_ = vsum;
    loss_ = loss;
    return !(weight_sum_ > 0.0);
}

// The score s(b) = sum_i w_i psi(z_i - b), z = y - offset, falls with b;
// its root lies between the smallest and the largest z of positive weight.
// A Newton step with the curvature sum_{|z_i - b| <= delta} w_i lands on
// the root once the rows within delta of it are the ones within delta of
// b; a step that leaves the bracket, or no curvature, bisects it.
double HuberFamily::location() const {
    const auto y = rows_.y, w = rows_.w, offset = rows_.offset;
    auto z = [&](std::size_t i) { return offset.empty() ? y[i] : y[i] - offset[i]; };
    double lo = HUGE_VAL, hi = -HUGE_VAL;
    for (std::size_t i = 0; i < y.size(); ++i) {
        if (!(w[i] > 0.0)) continue;
        lo = std::fmin(lo, z(i));
        hi = std::fmax(hi, z(i));
    }
    if (!(lo < hi)) return lo;
    double b = 0.0, sw = 0.0;  // from the weighted mean
    for (std::size_t i = 0; i < y.size(); ++i) {
        b += w[i] * z(i);
        sw += w[i];
    }
    b = std::clamp(b / sw, lo, hi);
    for (int it = 0; it < 400; ++it) {
        double score = 0.0, curvature = 0.0;
        for (std::size_t i = 0; i < y.size(); ++i) {
            const double res = z(i) - b;
            if (std::abs(res) <= delta_) {
                score += w[i] * res;
                curvature += w[i];
            } else {
                score += w[i] * std::copysign(delta_, res);
            }
        }
        if (score == 0.0) break;
        if (score > 0.0) lo = b; else hi = b;
        double next = curvature > 0.0 ? b + score / curvature : 0.5 * (lo + hi);
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        const bool done = std::abs(next - b) <= 1e-15 * std::fmax(1.0, std::abs(b));
        b = next;
        if (done) break;
    }
    return b;
}

double HuberFamily::null_model(std::span<double> v, std::span<double> r) {
    const double b0 = intercept_ ? location() : 0.0;
    const auto offset = rows_.offset;
    for (std::size_t i = 0; i < eta_.size(); ++i) eta_[i] = (offset.empty() ? 0.0 : offset[i]) + b0;
    working(eta_, v, r);
    null_loss_ = loss_;
    if (!std::isfinite(null_loss_)) data_overflow("the null deviance of y", "y");
    return b0;
}

}  // namespace varnel_core
