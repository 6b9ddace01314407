#include "path.hpp"

#include "standardize.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <tuple>

namespace varnel_core {

std::size_t checked_size(std::uint64_t n, std::uint64_t m) {
    if (m != 0 && n > std::numeric_limits<std::size_t>::max() / sizeof(double) / m)
        throw std::bad_alloc();
    return static_cast<std::size_t>(n * m);
}

std::variant<Vec, FitError> normalize_penalty(const FitConfig& config, std::size_t nvars) {
    Vec pf = config.penalty_factor ? *config.penalty_factor : Vec(nvars, 1.0);
    if (pf.empty()) return FitError::NonPositivePenalties;
    require(pf.size() == nvars, "penalty_factor must have one entry per variable");
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
    for (double& v : w.raw)
        if (v < 0.0) v = 0.0;
    double sum = 0.0;
    for (double v : w.raw) sum += v;
    if (!(sum > 0.0)) return FitError::NonPositiveWeightSum;
    w.sum = sum;
    w.norm.resize(nobs);
    for (std::size_t i = 0; i < nobs; ++i) w.norm[i] = w.raw[i] / sum;
    return w;
}

void apply_exclude(const FitConfig& config, Flags& include) {
    for (const std::uint64_t j : config.exclude)
        if (j < include.size()) include[j] = 0;
}

bool any_flag(const Flags& include) {
    return std::any_of(include.begin(), include.end(), [](std::uint8_t f) { return f != 0; });
}

double lambda_max(std::span<const double> abs_grad, std::span<const double> penalty,
                  const Flags& include) {
    double largest = 0.0;
    for (std::size_t j = 0; j < include.size(); ++j) {
        if (include[j] && penalty[j] > 0.0) largest = nan_max(largest, abs_grad[j] / penalty[j]);
    }
    return largest;
}

bool screen_strong(Flags& strong, const Flags& include, std::span<const double> abs_grad,
                   std::span<const double> penalty, double t) {
    bool joined = false;
    for (std::size_t j = 0; j < include.size(); ++j) {
        if (!strong[j] && include[j] && abs_grad[j] > penalty[j] * t) {
            strong[j] = 1;
            joined = true;
        }
    }
    return joined;
}

void check_response_varies(std::span<const double> y, std::span<const double> weights,
                           bool intercept) {
    require(y.size() == weights.size(), "response and weights differ in length");
    bool have_first = false;
    double first = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        if (!(weights[i] > 0.0)) continue;
        if (!intercept) {
            if (y[i] != 0.0) return;
        } else if (!have_first) {
            first = y[i];
            have_first = true;
        } else if (y[i] != first) {
            return;
        }
    }
    throw InputError(intercept
                         ? "the response is constant: y takes a single value on every observation "
                           "of positive weight, so there is nothing to fit"
                         : "the response is constant at 0: y is 0 on every observation of positive "
                           "weight and no intercept is fitted, so there is nothing to fit");
}

PenaltySequence::PenaltySequence(const FitConfig& config, const WorkingConstants& constants,
                                 double user_scale)
    : alpha_(config.alpha), big_(constants.big) {
    if (config.user_lambda) {
        user_ = *config.user_lambda;
        for (double v : user_) require(!std::isnan(v), "user_lambda holds NaN");
        std::stable_sort(user_.begin(), user_.end(), [](double a, double b) { return a > b; });
        for (double& v : user_) v = v / user_scale;
        nlam_ = user_.size();
        generated_ = false;
    } else {
        const double flmin = config.lambda_min_ratio;
        require(flmin < 1.0, "lambda_min_ratio must be below 1 for a generated sequence");
        nlam_ = config.nlambda;
        generated_ = true;
        ratio_ = std::pow(nan_max(constants.min_lambda_ratio, flmin),
                          1.0 / (static_cast<double>(nlam_) - 1.0));
    }
    min_lambdas_ = std::min<std::uint64_t>(nlam_, constants.min_lambdas);
}

SolutionStore::SolutionStore(std::size_t max_active, std::uint64_t nlam)
    : max_active_(max_active), coef_(checked_size(max_active, nlam), 0.0),
      count_(checked_size(nlam, 1), 0), intercept_(nlam, 0.0), lambda_(nlam, 0.0),
      dev_(nlam, 0.0) {}

void SolutionStore::store(std::uint64_t m, std::span<const std::size_t> active,
                          std::span<const double> coef, double intercept, double lambda,
                          double dev) {
    require(m < lambda_.size() && active.size() <= max_active_, "solution index out of range");
    double* slot = coef_.data() + m * max_active_;
    for (std::size_t i = 0; i < active.size(); ++i) slot[i] = coef[active[i]];
    count_[m] = active.size();
    intercept_[m] = intercept;
    lambda_[m] = lambda;
    dev_[m] = dev;
}

PathResult SolutionStore::assemble(std::uint64_t lmu, std::span<const std::size_t> active,
                                   const Assembly& how) const {
    require(lmu <= lambda_.size(), "more solutions than stored");
    PathResult r;
    r.lmu = lmu;
    r.lambda.resize(lmu);
    r.a0.resize(lmu);
    r.dev_ratio.assign(dev_.begin(), dev_.begin() + lmu);
    r.beta.assign(checked_size(lmu, how.nvars), 0.0);
    for (std::uint64_t k = 0; k < lmu; ++k) {
        r.lambda[k] = lambda_[k] * how.lambda_scale;
        const double* slot = coef_.data() + k * max_active_;
        double* beta = r.beta.data() + k * how.nvars;
        require(count_[k] <= active.size(), "active list shorter than a stored solution");
        double acc = how.form == InterceptForm::SubtractFromStored ? intercept_[k] : 0.0;
        for (std::size_t i = 0; i < count_[k]; ++i) {
            const std::size_t j = active[i];
            const double b = (slot[i] * how.coef_scale) / how.x_scale[j];
            beta[j] = b;
            acc = acc - b * how.x_mean[j];
        }
        if (!how.intercept)
            r.a0[k] = 0.0;
        else
            r.a0[k] = how.form == InterceptForm::AddCentring ? acc + intercept_[k] : acc;
    }
    if (how.extrapolate_first && lmu >= 3) {
        // With every null-model gradient 0 the sequence is all 0 after the
        // first value: lambda_max is 0 and no logarithm is taken.
        if (r.lambda[1] > 0.0 && r.lambda[2] > 0.0)
            r.lambda[0] = std::exp(2.0 * std::log(r.lambda[1]) - std::log(r.lambda[2]));
        else
            r.lambda[0] = r.lambda[1];
    }
    return r;
}

std::uint64_t count_nonzero(std::span<const std::size_t> active, std::span<const double> coef) {
    std::uint64_t n = 0;
    for (const std::size_t j : active) n += coef[j] != 0.0;
    return n;
}

std::variant<GlmPrepared, FitError> prepare_glm(Vec x, std::uint64_t nobs,
                                                std::uint64_t nvars, const FitConfig& config,
                                                WorkingConstants& constants) {
    require(x.size() == checked_size(nobs, nvars), "x must have nobs * nvars entries");
    GlmPrepared p{DenseGlm(std::move(x), nobs, nvars), {}, {}, {}, {}, {}, {}};
    p.include = chkvars(p.x);
    apply_exclude(config, p.include);
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    auto pen = normalize_penalty(config, nvars);
    if (auto* e = std::get_if<FitError>(&pen)) return *e;
    p.penalty = std::move(std::get<Vec>(pen));
    auto w = prepare_weights(config, nobs);
    if (auto* e = std::get_if<FitError>(&w)) return *e;
    p.weights = std::move(std::get<Weights>(w));
    // Columns that vary only on rows of weight 0 count as constant.
    clear_weighted_constants(p.x, p.weights.norm, p.include);
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    auto lim = box_limits(config, nvars, constants);
    if (auto* e = std::get_if<FitError>(&lim)) return *e;
    p.limits = std::move(std::get<Limits>(lim));
    std::tie(p.x_mean, p.x_scale) =
        standardize_lognet(p.x, p.weights.norm, config.standardize, config.intercept, p.include);
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    if (config.standardize) {
        for (std::size_t j = 0; j < nvars; ++j) {
            p.limits.lower[j] = p.limits.lower[j] * p.x_scale[j];
            p.limits.upper[j] = p.limits.upper[j] * p.x_scale[j];
        }
    }
    return p;
}

}  // namespace varnel_core
