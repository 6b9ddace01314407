#include "losses/glm.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "losses/intercept_scoring.hpp"
#include "losses/response.hpp"

namespace varnel_core {

std::variant<GlmFamily, FitError> GlmFamily::make(const GlmModel& model, RowData rows,
                                                  std::span<const double> raw,
                                                  const FitConfig& config,
                                                  const WorkingConstants& constants) {
    if (model.variance.kind == VarianceKind::binomial) {
        double pbar = 0.0;
        for (std::size_t i = 0; i < rows.y.size(); ++i) pbar += rows.w[i] * rows.y[i];
        if (auto e = refuses_mean(model, pbar, constants)) return *e;
    }
    if (config.intercept) check_response_varies(rows.y, raw, true);
    return GlmFamily(model, rows, config, constants);
}

GlmFamily::GlmFamily(const GlmModel& model, RowData rows, const FitConfig& config,
                     const WorkingConstants& constants)
    : model_(model), rows_(rows), intercept_(config.intercept), min_weight_sum_(0.0),
      terms_(response_terms(model.variance, rows.y)), eta_(rows.y.size()), mu_(rows.y.size()),
      slope_(rows.y.size()), log_mu_(needs_log_means(model.variance) ? rows.y.size() : 0),
      ratio_(rows.y.size()), observed_(observed_information(model.variance, model.link)),
      factors_(observed_ ? rows.y.size() : 0) {
    if (model_.variance.kind == VarianceKind::binomial) {
        const double pmin = constants.pmin;
        model_.variance.pmin = pmin;
        min_weight_sum_ = (1.0 + pmin) * pmin * (1.0 - pmin);
    }
}

std::optional<FitError> GlmFamily::refuses_mean(const GlmModel& model, double ybar,
                                                const WorkingConstants& constants) {
    if (model.variance.kind != VarianceKind::binomial) return std::nullopt;
    if (ybar <= constants.pmin) return FitError::NullProbUnderflow;
    if (ybar >= 1.0 - constants.pmin) return FitError::NullProbOverflow;
    return std::nullopt;
}

GlmFamily GlmFamily::over_block(const GlmModel& model, RowData rows, const FitConfig& config,
                                const WorkingConstants& constants) {
    return GlmFamily(model, rows, config, constants);
}

bool GlmFamily::evaluate(std::span<const double> eta) {
    const Variance& var = model_.variance;
    link_means(model_.link, eta, mu_, slope_);
    inside_ = predictors_inside(model_.link, eta) && means_inside(var, model_.link, mu_);
    if (!inside_) return false;
    if (!log_mu_.empty()) log_means(model_.link, eta, mu_, log_mu_);
    variance_ratios(var, model_.link, mu_, slope_, log_mu_, ratio_);
    if (observed_) information_factors(var, rows_.y, mu_, ratio_, factors_);
    loss_ = half_deviance(var, model_.link, rows_.y, rows_.w, mu_, log_mu_, ratio_, terms_);
    inside_ = std::isfinite(loss_);
    return inside_;
}

bool GlmFamily::working(std::span<const double> eta, std::span<double> v, std::span<double> r) {
    if (!evaluate(eta)) return false;
    const auto y = rows_.y, w = rows_.w;
    const auto f = factors();
    double vsum = 0.0, rsum = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        const double a = w[i] * ratio_[i];
        v[i] = a * f[i];
        r[i] = a * (y[i] - mu_[i]);
        vsum += v[i];
        rsum += r[i];
    }
    weight_sum_ = vsum;
    inside_ = std::isfinite(vsum) && std::isfinite(rsum);
    return inside_ && saturated_by(weight_sums());
}

bool GlmFamily::evaluate_at(double b0) {
    const auto offset = rows_.offset;
    for (std::size_t i = 0; i < eta_.size(); ++i) eta_[i] = (offset.empty() ? 0.0 : offset[i]) + b0;
    return evaluate(eta_);
}

double GlmFamily::null_model(std::span<double> v, std::span<double> r) {
    const auto y = rows_.y, w = rows_.w;
    double ybar = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) ybar += w[i] * y[i];
    double b0 = 0.0;
    if (intercept_)
        b0 = rows_.offset.empty() ? link_value(model_.link, ybar) : offset_intercept(ybar);
    if (!std::isfinite(b0) || !evaluate_at(b0)) outside_domain("the null model");
    working(eta_, v, r);
    if (!inside_) outside_domain("the null model");
    null_loss_ = loss_;
    if (!std::isfinite(null_loss_)) data_overflow("the null deviance of y", "y");
    return b0;
}

// Scoring on b0 alone (losses/intercept_scoring.hpp) with the working
// weights' information, from the first of g(ybar) - o with o the weighted
// mean, the smallest and the largest offset whose means lie inside the
// domain.
double GlmFamily::offset_intercept(double ybar) {
    const auto y = rows_.y, w = rows_.w, offset = rows_.offset;
    double mean = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) mean += w[i] * offset[i];
    const auto [lo, hi] = std::minmax_element(offset.begin(), offset.end());
    const double g = link_value(model_.link, ybar);
    const auto b = scored_intercept({g - mean, g - *lo, g - *hi},
                                    [&](double b0) -> std::optional<InterceptScore> {
        if (!evaluate_at(b0)) return std::nullopt;
        const auto f = factors();
        double score = 0.0, information = 0.0;
        for (std::size_t i = 0; i < y.size(); ++i) {
            score += w[i] * ratio_[i] * (y[i] - mu_[i]);
            information += w[i] * ratio_[i] * f[i];
        }
        return InterceptScore{loss_, score, information};
    });
    if (!b) outside_domain("the null model");
    return *b;
}

void GlmFamily::outside_domain(const char* where) const {
    throw InputError(std::string(where) + "'s mean lies outside the domain of the " +
                     std::string(model_.name) + " family with the " +
                     std::string(link_name(model_.link)) +
                     " link; fit an intercept, or give an offset that keeps every mean inside it");
}

}  // namespace varnel_core
