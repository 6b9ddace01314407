#include "families/poisson.hpp"

#include <cfloat>
#include <cmath>
#include <variant>

#include "families/reweighting.hpp"

namespace varnel_core {

namespace {

// Poisson loss sum_i w_i (exp(eta_i) - y_i eta_i), reweighted around the
// current fit: working weights v_i = w_i mu_i, residuals r_i = w_i (y_i - mu_i).
class PoissonFamily : public ReweightingFamily {
public:
    // c * delta^2, rounded as c * (delta * delta)
    static double step_change(double c, double d) { return c * (d * d); }

    // Puts `design` at the null model: mu = ybar with an intercept, 1
    // without; with an offset o, mu_i = exp(o_i + b0) with
    // b0 = log(ybar / sum_i w_i exp(o_i)) (0 without an intercept).
    template <class D>
    PoissonFamily(D& design, std::span<const double> y, std::span<const double> w,
                  std::span<const double> offset, const FitConfig& cfg, double min_dev_change,
                  std::uint64_t min_lambdas)
        : ReweightingFamily(w, offset, y.size()), wy_(y.size()),
          min_dev_change_(10.0 * min_dev_change), min_lambdas_(min_lambdas) {
        const std::size_t n = y.size();
        design.begin_refit();
        auto q = design.weights();
        auto r = design.residual();
        double ybar = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            ybar += w_[i] * y[i];
            wy_[i] = w_[i] * y[i];
        }
        if (offset_.empty()) {
            if (cfg.intercept) {
                for (std::size_t i = 0; i < n; ++i) q[i] = w_[i] * ybar;
                intercept_ = std::log(ybar);
                dev_offset_ = (std::log(ybar) - 1.0) * ybar;
                weight_sum_ = ybar;
            } else {
                for (std::size_t i = 0; i < n; ++i) q[i] = w_[i];
                intercept_ = 0.0;
                dev_offset_ = -1.0;
                weight_sum_ = 1.0;
            }
            for (std::size_t i = 0; i < n; ++i) eta_[i] = intercept_;
        } else {
            if (cfg.intercept) {
                double s = 0.0;
                for (std::size_t i = 0; i < n; ++i) s += w_[i] * std::exp(offset_[i]);
                intercept_ = std::log(ybar) - std::log(s);
            }
            double sum = 0.0, loglik = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                eta_[i] = offset_[i] + intercept_;
                q[i] = w_[i] * mean(eta_[i]);
                sum += q[i];
                loglik += wy_[i] * eta_[i];
            }
            weight_sum_ = sum;
            dev_offset_ = loglik - sum;
        }
        for (std::size_t i = 0; i < n; ++i) r[i] = wy_[i] - q[i];
        design.end_refit();
        double sum_ylogy = 0.0;
        for (std::size_t i = 0; i < n; ++i)
            if (wy_[i] > 0.0) sum_ylogy += wy_[i] * std::log(y[i]);
        null_half_dev_ = sum_ylogy - ybar - dev_offset_;
        conv_thresh_ = cfg.thresh * null_half_dev_;
    }

    template <class D>
    bool refit(D& design, std::span<const double> coef, std::span<const std::size_t> active,
               double intercept) {
        predict(design, coef, active, intercept);
        design.begin_refit();
        auto q = design.weights();
        double sum = 0.0;
        for (std::size_t i = 0; i < eta_.size(); ++i) {
            q[i] = w_[i] * mean(eta_[i]);
            sum += q[i];
        }
        weight_sum_ = sum;
        auto r = design.residual();
        for (std::size_t i = 0; i < eta_.size(); ++i) r[i] = wy_[i] - q[i];
        design.end_refit();
        return false;
    }

    // (loglik - null loglik) / (saturated loglik - null loglik), halved
    // deviances per unit weight
    double deviance_ratio() const {
        double s = 0.0;
        for (std::size_t i = 0; i < eta_.size(); ++i) s += wy_[i] * eta_[i];
        return (s - weight_sum_ - dev_offset_) / null_half_dev_;
    }

    // the deviance ratio rose, relative to its value min_lambdas - 1
    // solutions earlier, by less than 10 * min_dev_change
    bool little_progress(std::uint64_t m, double dev, const SolutionStore& store) const {
        const double earlier = store.dev(m + 1 - min_lambdas_);
        return (dev - earlier) / dev < min_dev_change_;
    }

private:
    // mu = exp(eta) with |eta| cut at eta_limit, so that it stays finite
    double mean(double e) const {
        return std::exp(std::copysign(nan_min(std::abs(e), eta_limit_), e));
    }

    Vec wy_;
    double eta_limit_ = std::log(DBL_MAX / 10.0);
    double dev_offset_ = 0.0;
    double min_dev_change_;
    std::uint64_t min_lambdas_;
};

}  // namespace

FitOutcome fishnet(DesignInput x, std::span<const double> y, std::uint64_t nobs,
                   std::uint64_t nvars, const FitConfig& config, const Vec* offset,
                   const Interrupt& interrupt) {
    require(y.size() == nobs, "y must have nobs entries");
    require(!offset || offset->size() == nobs, "offset must have nobs entries");
    for (const double v : y)
        if (v < 0.0) return FitError::NegativeResponse;
    WorkingConstants wc(config);
    auto prepared = prepare_glm(std::move(x), nobs, nvars, config, wc);
    if (auto* e = std::get_if<FitError>(&prepared)) return *e;
    GlmPrepared& prep = std::get<GlmPrepared>(prepared);
    // With an intercept a constant response is fitted exactly by the null
    // model (an all-zero one not at all): nothing is left to fit.
    if (config.intercept) check_response_varies(y, prep.in.weights.raw, true);
    PenaltySequence seq(config, wc, 1.0);

    auto designs = make_design<DenseWorkingDesign, SparseWorkingDesign>(prep);
    return with_design(designs, [&](auto& design) {
        PoissonFamily family(design, y, prep.in.weights.norm, offset_or_empty(offset), config,
                             wc.min_dev_change, seq.min_lambdas());
        const double nulldev = 2.0 * prep.in.weights.sum * family.null_half_dev();
        return FitOutcome(reweighting_path(family, design, prep.in, config, wc, seq, nulldev,
                                           InterceptForm::AddCentring, interrupt));
    });
}

FitOutcome fishnet(Vec x, std::span<const double> y, std::uint64_t nobs, std::uint64_t nvars,
                   const FitConfig& config, const Interrupt& interrupt) {
    return fishnet(DenseInput{std::move(x)}, y, nobs, nvars, config, nullptr, interrupt);
}

}  // namespace varnel_core
