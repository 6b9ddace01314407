// The links of the GLM families: how the mean mu of a row follows from its
// linear predictor eta (mu = g^-1(eta)), its slope dmu/deta, and the link
// g(mu) itself for the null model.  Every function runs over whole vectors
// and chooses its formula once, outside the loop over rows.
#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace varnel_core {

enum class Link { identity, log, logit, probit, cloglog, inverse, inverse_squared, sqrt };

// "identity", "log", "logit", "probit", "cloglog", "inverse", "inverse_squared",
// "sqrt"; nullopt for any other name.
std::optional<Link> link_named(std::string_view name);
std::string_view link_name(Link link);

// Where a link maps its predictor.  The inverse-squared and square-root
// links are one-to-one only for eta > 0; a predictor outside leaves the
// model's domain.  The inverse link maps each half-line onto itself: its
// predictors must be non-zero and of one sign, the sign of the null
// model's (the data's mean; a family of positive means asks for eta > 0
// through its means, variance.hpp).  The logit, probit and complementary
// log-log means are bounded away from 0 and 1 by the binomial variance,
// which also keeps a log link's mean below 1 (see variance.hpp); the log
// link's predictor is cut at +-log(DBL_MAX / 10) so that its mean stays
// finite, and the complementary log-log's at log(DBL_MAX / 10) for the
// same reason.
bool needs_positive_eta(Link link);
// Every predictor lies where the link is one-to-one (NaN never does).
bool predictors_inside(Link link, std::span<const double> eta);

// mu_i = g^-1(eta_i) and d_i = dmu/deta at eta_i.
void link_means(Link link, std::span<const double> eta, std::span<double> mu,
                std::span<double> slope);

// log(mu_i); for the log link the (cut) predictor itself.
void log_means(Link link, std::span<const double> eta, std::span<const double> mu,
               std::span<double> out);

// g(mu) of one mean (the null model's intercept), for mu inside the link's
// range; NaN outside.
double link_value(Link link, double mu);

// The standard normal quantile: Phi(x) = p for 0 < p < 1.
double normal_quantile(double p);

}  // namespace varnel_core
