#include "losses/link.hpp"

#include <cfloat>
#include <cmath>
#include <utility>

#include "base/errors.hpp"

namespace varnel_core {

namespace {

constexpr std::pair<std::string_view, Link> names[] = {
    {"identity", Link::identity}, {"log", Link::log},         {"logit", Link::logit},
    {"probit", Link::probit},     {"cloglog", Link::cloglog}, {"inverse", Link::inverse},
    {"inverse_squared", Link::inverse_squared},               {"sqrt", Link::sqrt},
};

// log(DBL_MAX / 10): exp of anything up to it stays finite with room to spare
const double exp_cut = std::log(DBL_MAX / 10.0);
constexpr double inv_sqrt_2pi = 0.39894228040143267794;
constexpr double inv_sqrt_2 = 0.70710678118654752440;

double cut(double e) { return e > exp_cut ? exp_cut : e < -exp_cut ? -exp_cut : e; }

double normal_cdf(double x) { return 0.5 * std::erfc(-x * inv_sqrt_2); }

// One loop per link: f(eta) -> (mu, slope).
template <class F>
void each(std::span<const double> eta, std::span<double> mu, std::span<double> slope, F&& f) {
    for (std::size_t i = 0; i < eta.size(); ++i) f(eta[i], mu[i], slope[i]);
}

}  // namespace

std::optional<Link> link_named(std::string_view name) {
    for (const auto& [n, link] : names)
        if (n == name) return link;
    return std::nullopt;
}

std::string_view link_name(Link link) {
    for (const auto& [n, l] : names)
        if (l == link) return n;
    return "?";
}

bool needs_positive_eta(Link link) {
    return link == Link::inverse_squared || link == Link::sqrt;
}

bool predictors_inside(Link link, std::span<const double> eta) {
    if (link == Link::inverse) {  // non-zero, and one sign throughout
        if (eta.empty()) return true;
        const bool positive = eta[0] > 0.0;
        for (const double e : eta)
            if (!(positive ? e > 0.0 : e < 0.0)) return false;
        return true;
    }
    if (!needs_positive_eta(link)) return true;
    for (const double e : eta)
        if (!(e > 0.0)) return false;
    return true;
}

void link_means(Link link, std::span<const double> eta, std::span<double> mu,
                std::span<double> slope) {
    require(mu.size() == eta.size() && slope.size() == eta.size(), "one mean per predictor");
    switch (link) {
    case Link::identity:
        return each(eta, mu, slope, [](double e, double& m, double& d) { m = e, d = 1.0; });
    case Link::log:
        return each(eta, mu, slope, [](double e, double& m, double& d) { m = d = std::exp(cut(e)); });
    case Link::logit:
        return each(eta, mu, slope, [](double e, double& m, double& d) {
            const double t = std::exp(-std::abs(e)), s = 1.0 / (1.0 + t);
            m = e >= 0.0 ? s : t * s;
            d = t * s * s;
        });
    case Link::probit:
        return each(eta, mu, slope, [](double e, double& m, double& d) {
            m = normal_cdf(e);
            d = inv_sqrt_2pi * std::exp(-0.5 * e * e);
        });
    case Link::cloglog:
        return each(eta, mu, slope, [](double e, double& m, double& d) {
            const double t = std::exp(std::fmin(e, exp_cut));
            m = -std::expm1(-t);
            d = t * std::exp(-t);
        });
    case Link::inverse:
        return each(eta, mu, slope, [](double e, double& m, double& d) {
            m = 1.0 / e;
            d = -m * m;
        });
    case Link::inverse_squared:
        return each(eta, mu, slope, [](double e, double& m, double& d) {
            m = 1.0 / std::sqrt(e);
            d = -0.5 * m * m * m;
        });
    case Link::sqrt:
        return each(eta, mu, slope, [](double e, double& m, double& d) {
            m = e * e;
            d = e + e;
        });
    }
}

void log_means(Link link, std::span<const double> eta, std::span<const double> mu,
               std::span<double> out) {
    if (link == Link::log) {
        for (std::size_t i = 0; i < eta.size(); ++i) out[i] = cut(eta[i]);
    } else {
        for (std::size_t i = 0; i < mu.size(); ++i) out[i] = std::log(mu[i]);
    }
}

double link_value(Link link, double mu) {
    switch (link) {
    case Link::identity: return mu;
    case Link::log: return std::log(mu);
    case Link::logit: return std::log(mu / (1.0 - mu));
    case Link::probit: return normal_quantile(mu);
    case Link::cloglog: return std::log(-std::log1p(-mu));
    case Link::inverse: return 1.0 / mu;
    case Link::inverse_squared: return 1.0 / (mu * mu);
    case Link::sqrt: return std::sqrt(mu);
    }
    return std::nan("");
}

// Newton steps on Phi(x) - p kept inside a shrinking bracket (bisection
// when a step leaves it), to a relative change of 1e-15.
double normal_quantile(double p) {
    if (!(p > 0.0 && p < 1.0)) return std::nan("");
    double lo = -40.0, hi = 40.0, x = 0.0;
    for (int it = 0; it < 200; ++it) {
        const double f = normal_cdf(x) - p;
        if (f < 0.0) lo = x; else hi = x;
        const double slope = inv_sqrt_2pi * std::exp(-0.5 * x * x);
        double next = slope > 0.0 ? x - f / slope : 0.5 * (lo + hi);
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        if (std::abs(next - x) <= 1e-15 * std::fmax(1.0, std::abs(x))) return next;
        x = next;
    }
    return x;
}

}  // namespace varnel_core
