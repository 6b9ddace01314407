#include "losses/variance.hpp"

#include <cmath>
#include <string>

#include "base/errors.hpp"
#include "base/format.hpp"

namespace varnel_core {

namespace {

double clamp_probability(double mu, double pmin) { return std::fmin(std::fmax(mu, pmin), 1.0 - pmin); }

// sum_i w_i h(i), in row order.
template <class H>
double weighted_sum(std::span<const double> w, H&& h) {
    double acc = 0.0;
    for (std::size_t i = 0; i < w.size(); ++i) acc += w[i] * h(i);
    return acc;
}

// a_i = f(i) for every row.
template <class F>
void fill(std::span<double> out, F&& f) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = f(i);
}

}  // namespace

namespace {

// Whether the family's support is y > 0 (positive) or y >= 0 (non_negative
// alone), or the whole line (neither).
struct Support {
    bool positive;
    bool non_negative;
};
Support support_of(const Variance& v) {
    const bool positive = v.kind == VarianceKind::power && v.power >= 2.0;
    return {positive, positive || v.kind == VarianceKind::negative_binomial ||
                          (v.kind == VarianceKind::power && v.power >= 1.0)};
}
bool supported(Support s, double y) { return !s.non_negative || (s.positive ? y > 0.0 : y >= 0.0); }
std::string support_text(Support s) { return s.positive ? "positive" : "non-negative"; }

}  // namespace

void check_response(const Variance& v, std::span<const double> y, std::string_view family) {
    const Support s = support_of(v);
    if (!s.non_negative) return;
    for (std::size_t i = 0; i < y.size(); ++i) {
        if (supported(s, y[i])) continue;
        throw InputError("y must be " + support_text(s) + " for the " + std::string(family) +
                         " family, but y[" + std::to_string(i) + "] = " + format_number(y[i]));
    }
}

void check_smallest_response(const Variance& v, double low, std::string_view family) {
    const Support s = support_of(v);
    if (!supported(s, low))
        throw InputError("y must be " + support_text(s) + " for the " + std::string(family) +
                         " family, but y holds " + format_number(low));
}

bool means_inside(const Variance& v, Link link, std::span<const double> mu) {
    if (v.kind == VarianceKind::binomial && link == Link::log) {
        const double top = 1.0 - v.pmin;
        for (const double m : mu)
            if (!(m <= top)) return false;  // exp(eta) >= 0: NaN and beyond the top only
        return true;
    }
    const bool positive = v.kind == VarianceKind::negative_binomial ||
                          (v.kind == VarianceKind::power && v.power != 0.0);
    for (const double m : mu)
        if (!std::isfinite(m) || (positive && !(m > 0.0))) return false;
    return true;
}

void variance_ratios(const Variance& v, Link link, std::span<const double> mu,
                     std::span<const double> slope, std::span<const double> log_mu,
                     std::span<double> out) {
    switch (v.kind) {
    case VarianceKind::binomial:
        return fill(out, [&](std::size_t i) {
            const double m = clamp_probability(mu[i], v.pmin);
            return slope[i] / (m * (1.0 - m));
        });
    case VarianceKind::negative_binomial:
        return fill(out, [&](std::size_t i) { return slope[i] / (mu[i] + v.theta * mu[i] * mu[i]); });
    case VarianceKind::power:
        break;
    }
    const double p = v.power;
    if (p == 0.0) return fill(out, [&](std::size_t i) { return slope[i]; });
    if (p == 1.0) return fill(out, [&](std::size_t i) { return slope[i] / mu[i]; });
    if (link == Link::log) {  // slope = mu: a = mu^(1 - p)
        if (p == 2.0) return fill(out, [&](std::size_t i) { return 1.0 / mu[i]; });
        return fill(out, [&](std::size_t i) { return std::exp((1.0 - p) * log_mu[i]); });
    }
    return fill(out, [&](std::size_t i) { return slope[i] * std::exp(-p * log_mu[i]); });
}

bool observed_information(const Variance& v, Link link) {
    if (link != Link::log) return false;
    return v.kind == VarianceKind::negative_binomial ||
           (v.kind == VarianceKind::power && v.power >= 1.0 && v.power <= 2.0);
}

void information_factors(const Variance& v, std::span<const double> y,
                         std::span<const double> mu, std::span<const double> ratio,
                         std::span<double> out) {
    if (v.kind == VarianceKind::negative_binomial)
        return fill(out, [&](std::size_t i) { return ratio[i] * mu[i] * (1.0 + v.theta * y[i]); });
    const double p = v.power;
    return fill(out, [&](std::size_t i) { return (2.0 - p) * mu[i] + (p - 1.0) * y[i]; });
}

bool needs_log_means(const Variance& v) {
    return v.kind == VarianceKind::negative_binomial ||
           (v.kind == VarianceKind::power && v.power != 0.0);
}

Vec response_terms(const Variance& v, std::span<const double> y) {
    const std::size_t n = y.size();
    Vec k(n, 0.0);
    auto xlogx = [](double x) { return x > 0.0 ? x * std::log(x) : 0.0; };
    switch (v.kind) {
    case VarianceKind::binomial:
        for (std::size_t i = 0; i < n; ++i) k[i] = xlogx(y[i]) + xlogx(1.0 - y[i]);
        return k;
    case VarianceKind::negative_binomial: {
        const double r = 1.0 / v.theta;
        for (std::size_t i = 0; i < n; ++i) k[i] = xlogx(y[i]) - (y[i] + r) * std::log1p(v.theta * y[i]);
        return k;
    }
    case VarianceKind::power:
        break;
    }
    const double p = v.power;
    if (p == 0.0) return {};
    if (p == 1.0) {
        for (std::size_t i = 0; i < n; ++i) k[i] = xlogx(y[i]) - y[i];
    } else if (p == 2.0) {
        for (std::size_t i = 0; i < n; ++i) k[i] = -std::log(y[i]) - 1.0;
    } else {
        const double c = 1.0 / ((1.0 - p) * (2.0 - p));
        for (std::size_t i = 0; i < n; ++i) k[i] = y[i] > 0.0 ? std::pow(y[i], 2.0 - p) * c : 0.0;
    }
    return k;
}

double response_terms_size(const Variance& v, std::span<const double> y,
                           std::span<const double> w) {
    auto xlogx = [](double x) { return x > 0.0 ? x * std::log(x) : 0.0; };
    auto size = [&](auto term) {
        double s = 0.0;
        for (std::size_t i = 0; i < y.size(); ++i)
            if (w[i] > 0.0) s += w[i] * term(y[i]);
        return s;
    };
    switch (v.kind) {
    case VarianceKind::binomial:
        return size([&](double t) { return std::abs(xlogx(t)) + std::abs(xlogx(1.0 - t)); });
    case VarianceKind::negative_binomial:
        return size([&](double t) {
            return std::abs(xlogx(t)) + std::abs((t + 1.0 / v.theta) * std::log1p(v.theta * t));
        });
    case VarianceKind::power:
        break;
    }
    const double p = v.power;
    if (p == 0.0) return 0.0;
    if (p == 1.0) return size([&](double t) { return std::abs(xlogx(t)) + std::abs(t); });
    if (p == 2.0) return size([&](double t) { return std::abs(std::log(t)) + 1.0; });
    const double c = 1.0 / ((1.0 - p) * (2.0 - p));
    return size([&](double t) { return t > 0.0 ? std::abs(std::pow(t, 2.0 - p) * c) : 0.0; });
}

double half_deviance(const Variance& v, Link link, std::span<const double> y,
                     std::span<const double> w, std::span<const double> mu,
                     std::span<const double> log_mu, std::span<const double> ratio,
                     std::span<const double> k) {
    switch (v.kind) {
    case VarianceKind::binomial:
        return weighted_sum(w, [&](std::size_t i) {
            const double m = clamp_probability(mu[i], v.pmin);
            return k[i] - y[i] * std::log(m) - (1.0 - y[i]) * std::log1p(-m);
        });
    case VarianceKind::negative_binomial: {
        const double r = 1.0 / v.theta;
        return weighted_sum(w, [&](std::size_t i) {
            return k[i] - y[i] * log_mu[i] + (y[i] + r) * std::log1p(v.theta * mu[i]);
        });
    }
    case VarianceKind::power:
        break;
    }
    const double p = v.power;
    if (p == 0.0)
        return weighted_sum(w, [&](std::size_t i) { return 0.5 * (y[i] - mu[i]) * (y[i] - mu[i]); });
    if (p == 1.0) return weighted_sum(w, [&](std::size_t i) { return k[i] - y[i] * log_mu[i] + mu[i]; });
    if (p == 2.0) return weighted_sum(w, [&](std::size_t i) { return k[i] + log_mu[i] + y[i] / mu[i]; });
    const double c1 = 1.0 / (1.0 - p), c2 = 1.0 / (2.0 - p);
    const bool given = link == Link::log;  // the ratio is mu^(1 - p)
    return weighted_sum(w, [&](std::size_t i) {
        const double t = given ? ratio[i] : std::exp((1.0 - p) * log_mu[i]);  // mu^(1 - p)
        return k[i] - y[i] * t * c1 + mu[i] * t * c2;
    });
}

}  // namespace varnel_core
