#include "families/binomial.hpp"

#include <cmath>
#include <string>
#include <variant>

#include "families/reweighting.hpp"

namespace varnel_core {

namespace {

// Two-class logistic loss -sum_i w_i (y_i eta_i - log(1 + exp(eta_i))),
// reweighted around the current fit: working weights v_i = w_i p_i (1 - p_i),
// residuals r_i = w_i (y_i - p_i).
class BinomialFamily : public ReweightingFamily {
public:
    // c * delta^2, rounded as (c * delta) * delta
    static double step_change(double c, double d) { return (c * d) * d; }

    // Puts `design` at the null model: probability pbar everywhere (0.5
    // without an intercept), or, with an offset o, p_i = 1 / (1 + exp(-o_i - b0))
    // with b0 solving sum_i w_i (y_i - p_i) = 0 (0 without an intercept).
    template <class D>
    BinomialFamily(D& design, std::span<const double> y, std::span<const double> w,
                   std::span<const double> offset, const FitConfig& cfg, double pbar,
                   double min_dev_change)
        : ReweightingFamily(w, offset, y.size()), y_(y), prob_(y.size()),
          eta_limit_(std::log(1.0 / cfg.pmin - 1.0)),
          min_weight_sum_((1.0 + cfg.pmin) * cfg.pmin * (1.0 - cfg.pmin)), pmin_(cfg.pmin),
          min_dev_change_(min_dev_change) {
        const std::size_t n = y.size();
        design.begin_refit();
        auto v = design.weights();
        auto r = design.residual();
        if (offset_.empty()) {
            double p0 = 0.5;
            if (cfg.intercept) {
                intercept_ = std::log(pbar / (1.0 - pbar));
                p0 = pbar;
            }
            for (std::size_t i = 0; i < n; ++i) {
                prob_[i] = p0;
                v[i] = w_[i] * p0 * (1.0 - p0);
                r[i] = w_[i] * (y_[i] - p0);
            }
            weight_sum_ = p0 * (1.0 - p0);
            null_loss_ = -(p0 * intercept_ + std::log(1.0 - p0));
        } else {
            if (cfg.intercept) intercept_ = offset_intercept(pbar);
            double sum = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                eta_[i] = offset_[i] + intercept_;
                prob_[i] = probability(eta_[i]);
                v[i] = w_[i] * prob_[i] * (1.0 - prob_[i]);
                r[i] = w_[i] * (y_[i] - prob_[i]);
                sum += v[i];
            }
            weight_sum_ = sum;
            null_loss_ = loss();
        }
        design.end_refit();
        double nhd = null_loss_;
        for (std::size_t i = 0; i < n; ++i) {
            if (y_[i] > 0.0) nhd += w_[i] * y_[i] * std::log(y_[i]);
            if (y_[i] < 1.0) nhd += w_[i] * (1.0 - y_[i]) * std::log(1.0 - y_[i]);
        }
        null_half_dev_ = nhd;
        conv_thresh_ = cfg.thresh * null_half_dev_;
    }

    template <class D>
    bool refit(D& design, std::span<const double> coef, std::span<const std::size_t> active,
               double intercept) {
        predict(design, coef, active, intercept);
        design.begin_refit();
        auto v = design.weights();
        double sum = 0.0;
        for (std::size_t i = 0; i < eta_.size(); ++i) {
            const double p = probability(eta_[i]);
            prob_[i] = p;
            v[i] = w_[i] * p * (1.0 - p);
            sum += v[i];
        }
        weight_sum_ = sum;
        if (weight_sum_ <= min_weight_sum_) {
            design.end_refit();
            return true;
        }
        auto r = design.residual();
        for (std::size_t i = 0; i < eta_.size(); ++i) r[i] = w_[i] * (y_[i] - prob_[i]);
        design.end_refit();
        return false;
    }

    // (null loss - loss) / (null deviance / 2)
    double deviance_ratio() const { return (null_loss_ - loss()) / null_half_dev_; }

    // the deviance ratio rose by less than min_dev_change
    bool little_progress(std::uint64_t m, double dev, const SolutionStore& store) const {
        const double before = m == 0 ? 0.0 : store.dev(m - 1);
        return dev - before < min_dev_change_;
    }

private:
    // exactly 0 or 1 beyond eta_limit
    double probability(double e) const {
        return e < -eta_limit_ ? 0.0 : e > eta_limit_ ? 1.0 : 1.0 / (1.0 + std::exp(-e));
    }

    // -sum_i w_i (y_i log q_i + (1 - y_i) log(1 - q_i)), q kept off 0 and 1
    double loss() const {
        double acc = 0.0;
        for (std::size_t i = 0; i < prob_.size(); ++i) {
            const double q = std::fmin(std::fmax(prob_[i], pmin_), 1.0 - pmin_);
            acc += w_[i] * (y_[i] * std::log(q) + (1.0 - y_[i]) * std::log(1.0 - q));
        }
        return -acc;
    }

    // The root b of f(b) = sum_i w_i (y_i - p_i(o_i + b)), decreasing from
    // pbar > 0 to pbar - 1 < 0: Newton steps kept inside a shrinking bracket.
    double offset_intercept(double pbar) const {
        auto score = [&](double b, double& slope) {
            double f = 0.0, s = 0.0;
            for (std::size_t i = 0; i < y_.size(); ++i) {
                const double p = 1.0 / (1.0 + std::exp(-(offset_[i] + b)));
                f += w_[i] * (y_[i] - p);
                s += w_[i] * p * (1.0 - p);
            }
            slope = s;
            return f;
        };
        double mean_offset = 0.0;
        for (std::size_t i = 0; i < y_.size(); ++i) mean_offset += w_[i] * offset_[i];
        double b = std::log(pbar / (1.0 - pbar)) - mean_offset;
        double lo = -HUGE_VAL, hi = HUGE_VAL;
        for (int it = 0; it < 200; ++it) {
            double slope = 0.0;
            const double f = score(b, slope);
            if (f > 0.0) lo = b; else hi = b;
            double next = slope > 0.0 ? b + f / slope : b;
            if (!(next > lo && next < hi)) {
                if (std::isinf(lo)) next = hi - std::fmax(1.0, std::abs(hi));
                else if (std::isinf(hi)) next = lo + std::fmax(1.0, std::abs(lo));
                else next = 0.5 * (lo + hi);
            }
            if (next == b || std::abs(next - b) <= 1e-15 * std::fmax(1.0, std::abs(b))) return next;
            b = next;
        }
        return b;
    }

    std::span<const double> y_;
    Vec prob_;
    double eta_limit_;
    double min_weight_sum_;
    double pmin_;
    double null_loss_ = 0.0;
    double min_dev_change_;
};

}  // namespace

FitOutcome lognet(DesignInput x, std::span<const double> y, std::uint64_t nobs,
                  std::uint64_t nvars, const FitConfig& config, const Vec* offset,
                  const Interrupt& interrupt) {
    require(y.size() == nobs, "y must have nobs entries");
    require(!offset || offset->size() == nobs, "offset must have nobs entries");
    for (std::size_t i = 0; i < nobs; ++i) {
        if (!(y[i] >= 0.0 && y[i] <= 1.0))
            throw InputError("y must lie in [0, 1] for the binomial family, but y[" +
                             std::to_string(i) + "] = " + std::to_string(y[i]));
    }
    WorkingConstants wc(config);
    auto prepared = prepare_glm(std::move(x), nobs, nvars, config, wc);
    if (auto* e = std::get_if<FitError>(&prepared)) return *e;
    GlmPrepared& prep = std::get<GlmPrepared>(prepared);
    PenaltySequence seq(config, wc, 1.0);

    double pbar = 0.0;
    for (std::size_t i = 0; i < nobs; ++i) pbar += prep.in.weights.norm[i] * y[i];
    if (pbar <= wc.pmin) return FitError::NullProbUnderflow;
    if (pbar >= 1.0 - wc.pmin) return FitError::NullProbOverflow;
    if (config.intercept) check_response_varies(y, prep.in.weights.raw, true);

    auto designs = make_design<DenseWorkingDesign, SparseWorkingDesign>(prep);
    return with_design(designs, [&](auto& design) {
        BinomialFamily family(design, y, prep.in.weights.norm, offset_or_empty(offset), config,
                              pbar, wc.min_dev_change);
        const double nulldev = 2.0 * family.null_half_dev() * prep.in.weights.sum;
        return FitOutcome(reweighting_path(family, design, prep.in, config, wc, seq, nulldev,
                                           InterceptForm::SubtractFromStored, interrupt));
    });
}

FitOutcome lognet(Vec x, std::span<const double> y, std::uint64_t nobs, std::uint64_t nvars,
                  const FitConfig& config, const Interrupt& interrupt) {
    return lognet(DenseInput{std::move(x)}, y, nobs, nvars, config, nullptr, interrupt);
}

}  // namespace varnel_core
