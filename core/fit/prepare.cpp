#include "fit/prepare.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <tuple>

#include "base/format.hpp"

namespace varnel_core {

std::variant<Vec, FitError> normalize_penalty(const FitConfig& config, std::size_t nvars) {
    Vec pf = config.penalty_factor ? *config.penalty_factor : Vec(nvars, 1.0);
    if (pf.empty()) return FitError::NonPositivePenalties;
    require(pf.size() == nvars, "penalty_factor must have one entry per variable");
    // an infinite factor excludes its variable (apply_exclude): it takes no
    // part in the normalisation
    for (double& v : pf)
        if (v == std::numeric_limits<double>::infinity()) v = 0.0;
    double largest = -std::numeric_limits<double>::infinity();
    for (double v : pf) largest = nan_max(largest, v);
    if (!(largest > 0.0)) return FitError::NonPositivePenalties;
    for (double& v : pf) v = nan_max(v, 0.0);  // negative and NaN factors become 0
    double sum = -0.0;
    for (double v : pf) sum += v;
    const double factor = static_cast<double>(nvars) / sum;
    if (std::isfinite(factor)) {
        for (double& v : pf) v *= factor;
    } else {
        // subnormal sum: nvars / sum overflows, the shares do not
        for (double& v : pf) v = v / sum * static_cast<double>(nvars);
    }
    return pf;
}

std::variant<Limits, FitError> box_limits(const FitConfig& config, std::size_t nvars,
                                          WorkingConstants& constants) {
    const double inf = std::numeric_limits<double>::infinity();
    auto finite = [&](double x) {
        if (x == -inf) return -constants.big;
        if (x == inf) return constants.big;
        return x;
    };
    Limits lim{config.lower_limits ? *config.lower_limits : Vec(nvars, -inf),
               config.upper_limits ? *config.upper_limits : Vec(nvars, inf)};
    require(lim.lower.size() == nvars, "lower_limits must have one entry per variable");
    require(lim.upper.size() == nvars, "upper_limits must have one entry per variable");
    for (double& v : lim.lower) v = finite(v);
    for (double& v : lim.upper) v = finite(v);
    for (double v : lim.lower)
        if (v > 0.0) return FitError::PositiveLowerLimit;
    for (double v : lim.upper)
        if (v < 0.0) return FitError::NegativeUpperLimit;
    const bool zero_limit = std::any_of(lim.lower.begin(), lim.lower.end(), [](double v) { return v == 0.0; }) ||
                            std::any_of(lim.upper.begin(), lim.upper.end(), [](double v) { return v == 0.0; });
    if (zero_limit) constants.min_dev_change = 0.0;
    return lim;
}

std::variant<Weights, FitError> prepare_weights(const FitConfig& config, std::size_t nobs) {
    Weights w{config.weights ? *config.weights : Vec(nobs, 1.0), 0.0, {}};
    require(w.raw.size() == nobs, "weights must have one entry per observation");
    check_weights(w.raw);
    double sum = 0.0;
    for (double v : w.raw) sum += v;
    if (const auto e = check_weight_total(sum)) return *e;
    w.sum = sum;
    w.norm.resize(nobs);
    for (std::size_t i = 0; i < nobs; ++i) w.norm[i] = w.raw[i] / sum;
    return w;
}

void check_weights(std::span<const double> weights) {
    for (std::size_t i = 0; i < weights.size(); ++i)
        if (weights[i] < 0.0)
            throw PreconditionError("weights must be non-negative, but weights[" +
                                    std::to_string(i) + "] is " + format_number(weights[i]));
}

std::optional<FitError> check_weight_total(double total) {
    if (!(total > 0.0)) return FitError::NonPositiveWeightSum;
    if (!std::isfinite(total)) data_overflow("the sum of the weights", "weights");
    return std::nullopt;
}

void apply_exclude(const FitConfig& config, Flags& include) {
    for (const std::uint64_t j : config.exclude)
        if (j < include.size()) include[j] = 0;
    if (config.penalty_factor && config.penalty_factor->size() == include.size()) {
        const Vec& pf = *config.penalty_factor;
        for (std::size_t j = 0; j < pf.size(); ++j)
            if (pf[j] == std::numeric_limits<double>::infinity()) include[j] = 0;
    }
}

bool any_flag(const Flags& include) {
    return std::any_of(include.begin(), include.end(), [](std::uint8_t f) { return f != 0; });
}

void scale_limits(Prepared& p, bool standardize) {
    for (std::size_t j = 0; j < p.limits.lower.size(); ++j) {
        p.limits.lower[j] = p.limits.lower[j] / p.st.y_scale;
        p.limits.upper[j] = p.limits.upper[j] / p.st.y_scale;
        if (standardize) {
            p.limits.lower[j] = p.st.x_scale[j] * p.limits.lower[j];
            p.limits.upper[j] = p.st.x_scale[j] * p.limits.upper[j];
        }
    }
}

std::optional<FitError> standardize_from_moments(Prepared& p, std::span<const double> mean,
                                                 std::span<const double> var, double total,
                                                 const FitConfig& config,
                                                 std::span<const double> second) {
    std::tie(p.st.x_mean, p.st.x_scale) = scales_from_moments(
        mean, var, total, config.standardize, config.intercept, p.include, second);
    return std::nullopt;
}

namespace {

// One start to the engine's scale: beta_jk at beta[(j nk + k) stride], the
// intercepts at a0[k stride] (empty: 0).
void to_engine_scale(std::span<const double> beta, std::span<const double> a0, std::size_t stride,
                     std::span<const double> x_mean, std::span<const double> x_scale,
                     std::size_t nk, std::span<const double> response_scales, bool coef_only,
                     double* coef, double* intercepts) {
    const std::size_t p = x_scale.size();
    for (std::size_t k = 0; k < nk; ++k) intercepts[k] = a0.empty() || coef_only ? 0.0 : a0[k * stride];
    if (beta.empty()) return;
    for (std::size_t j = 0; j < p; ++j) {
        for (std::size_t k = 0; k < nk; ++k) {
            const double b = beta[(j * nk + k) * stride];
            coef[j * nk + k] =
                response_scales.empty() ? b * x_scale[j] : b * x_scale[j] / response_scales[k];
            if (!coef_only) intercepts[k] += b * x_mean[j];
        }
    }
}

}  // namespace

std::optional<StartValues> engine_start(const FitChoices& choices, std::span<const double> x_mean,
                                        std::span<const double> x_scale, std::size_t nk,
                                        std::span<const double> response_scales, bool coef_only) {
    const auto& beta = choices.start_beta;
    const auto& a0 = choices.start_a0;
    if (!beta && (coef_only || !a0)) return std::nullopt;
    const std::size_t p = x_scale.size();
    StartValues s{Vec(checked_size(p, nk), 0.0), Vec(nk, 0.0)};
    to_engine_scale(beta ? std::span<const double>(beta->values) : std::span<const double>(),
                    a0 ? std::span<const double>(a0->values) : std::span<const double>(), 1,
                    x_mean, x_scale, nk, response_scales, coef_only, s.coef.data(),
                    s.intercepts.data());
    return s;
}

StartTable engine_starts(const FitChoices& choices, std::span<const double> x_mean,
                         std::span<const double> x_scale, std::size_t nk,
                         std::span<const double> response_scales, bool coef_only) {
    StartTable t;
    if (!choices.starts_beta) return t;
    const std::size_t p = x_scale.size(), L = choices.starts_beta->shape.back();
    const std::size_t width = checked_size(p, nk);
    t.coef.assign(checked_size(width, L), 0.0);
    t.intercepts.assign(checked_size(nk, L), 0.0);
    const auto& a0 = choices.starts_a0;
    for (std::size_t l = 0; l < L; ++l)
        to_engine_scale(std::span<const double>(choices.starts_beta->values).subspan(l),
                        a0 ? std::span<const double>(a0->values).subspan(l)
                           : std::span<const double>(),
                        L, x_mean, x_scale, nk, response_scales, coef_only,
                        t.coef.data() + l * width, t.intercepts.data() + l * nk);
    for (std::size_t l = 0; l < L; ++l)
        t.starts.push_back({std::span<const double>(t.coef).subspan(l * width, width),
                            std::span<const double>(t.intercepts).subspan(l * nk, nk)});
    return t;
}

RowData rows_of(std::span<const double> y, const std::optional<Table>& offset,
                const Weights& weights) {
    return {y, weights.norm, weights.sum,
            offset ? std::span<const double>(offset->values) : std::span<const double>()};
}

void subtract_offset(Vec& y, std::optional<Table>& offset) {
    if (!offset) return;
    require(offset->values.size() == y.size(), "an offset of one value per response");
    for (std::size_t e = 0; e < y.size(); ++e) y[e] = y[e] - offset->values[e];
    offset.reset();
}

GroupTable group_table(std::span<const std::uint64_t> labels, const Flags& include,
                       std::span<const double> penalty, bool size_weight) {
    std::size_t ng = 0;
    for (const std::uint64_t g : labels) ng = std::max<std::size_t>(ng, g + 1);
    std::vector<std::size_t> size(ng, 0), count(ng, 0);
    for (std::size_t j = 0; j < labels.size(); ++j) {
        ++size[labels[j]];
        count[labels[j]] += include[j] != 0;
    }
    GroupTable t;
    t.start.assign(ng + 1, 0);
    for (std::size_t g = 0; g < ng; ++g) t.start[g + 1] = t.start[g] + count[g];
    t.members.resize(t.start[ng]);
    t.v.assign(ng, 0.0);
    t.s.assign(ng, 1.0);
    std::vector<std::size_t> next(t.start.begin(), t.start.end() - 1);
    for (std::size_t j = 0; j < labels.size(); ++j) {
        if (!include[j]) continue;
        t.members[next[labels[j]]++] = j;
        t.v[labels[j]] = penalty[j];
    }
    if (size_weight)
        for (std::size_t g = 0; g < ng; ++g) t.s[g] = std::sqrt(static_cast<double>(size[g]));
    return t;
}

}  // namespace varnel_core
