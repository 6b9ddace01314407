// The variance functions of the GLM families: V(mu), the unit deviance
// d(y, mu) = 2 int_mu^y (y - t) / V(t) dt, and the domains of y and mu.
//   power p             V = mu^p: p = 0 normal, 1 Poisson, 2 gamma,
//                       3 inverse Gaussian, 1 < p < 2 compound Poisson-gamma
//                       (Tweedie; y may be 0), other p in (2, 3) Tweedie
//   binomial            V = mu (1 - mu), mu kept in [pmin, 1 - pmin]
//   negative binomial   V = mu + theta mu^2 (theta > 0)
// Every function runs over whole vectors and chooses its formula once,
// outside the loop over rows.
#pragma once

#include <span>
#include <string_view>

#include "base/numeric.hpp"
#include "losses/link.hpp"

namespace varnel_core {

enum class VarianceKind { power, binomial, negative_binomial };

struct Variance {
    VarianceKind kind = VarianceKind::power;
    double power = 0.0;  // of a power variance
    double theta = 1.0;  // of the negative binomial
    double pmin = 0.0;   // of the binomial: the bound of mu away from 0 and 1
};

// Throws InputError naming y and `family` when a response lies outside the
// family's support: y >= 0 for a power in [1, 2) and the negative binomial,
// y > 0 for a power of 2 or more.  (The binomial and Poisson families keep
// their own checks.)
void check_response(const Variance& v, std::span<const double> y, std::string_view family);
// The same from the smallest y alone (a fit from statistics).
void check_smallest_response(const Variance& v, double low, std::string_view family);

// sum_i w_i (|a_i| + |b_i|) over the response terms a_i - b_i of the unit
// deviances (those of response_terms, before their difference is formed):
// the size of what a deviance's sum cancels, up to the mean's terms of the
// same size.  0 for a power of 0 (squares cancel nothing).
double response_terms_size(const Variance& v, std::span<const double> y,
                           std::span<const double> w);

// Every mean is finite and, for a power other than 0 and the negative
// binomial, positive.  The binomial's are bounded into [pmin, 1 - pmin]
// where they are used; under the log link, whose mean exp(eta) is not
// bounded above, a mean beyond 1 - pmin lies outside (the domain keeps
// mu < 1, and the bound never alters such a mean from above).
bool means_inside(const Variance& v, Link link, std::span<const double> mu);

// a_i = (dmu/deta)_i / V(mu_i), the factor of the working weights
// w a (dmu/deta) and residuals w a (y - mu), given log(mu) when
// needs_log_means.  With a log link and a power variance a = mu^(1 - p)
// = exp((1 - p) log mu), which stays finite where mu^p would underflow.
void variance_ratios(const Variance& v, Link link, std::span<const double> mu,
                     std::span<const double> slope, std::span<const double> log_mu,
                     std::span<double> out);

// The working weights are w_i a_i f_i: with Fisher's expected information
// f = dmu/deta (Fisher scoring).  Where the observed information is never
// negative, it is used instead and each reweighting is a Newton step: a log
// link with a power variance 1 <= p <= 2 (Poisson, compound Poisson-gamma,
// gamma), f = (2 - p) mu + (p - 1) y, and the negative binomial with a log
// link, f = a mu (1 + theta y).  information_factors fills f for those;
// elsewhere the caller reads the slopes dmu/deta.
bool observed_information(const Variance& v, Link link);
void information_factors(const Variance& v, std::span<const double> y,
                         std::span<const double> mu, std::span<const double> ratio,
                         std::span<double> out);

// Whether half_deviance reads log(mu).
bool needs_log_means(const Variance& v);

// The parts of the half unit deviances that depend on y alone (empty when
// there are none), computed once per fit.
Vec response_terms(const Variance& v, std::span<const double> y);

// sum_i w_i d(y_i, mu_i) / 2, summed in row order, given log(mu) when
// needs_log_means, the ratios of variance_ratios (under a log link a power
// variance's mu^(1 - p)) and the response terms.
double half_deviance(const Variance& v, Link link, std::span<const double> y,
                     std::span<const double> w, std::span<const double> mu,
                     std::span<const double> log_mu, std::span<const double> ratio,
                     std::span<const double> terms);

}  // namespace varnel_core
