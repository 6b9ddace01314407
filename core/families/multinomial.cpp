#include "families/multinomial.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <string>
#include <type_traits>
#include <variant>

#include "families/reweighting.hpp"

namespace varnel_core {

namespace {

// p = softmax(e) over K entries.
void softmax(const double* e, double* p, std::size_t K) {
    double m = e[0];
    for (std::size_t k = 1; k < K; ++k) m = std::max(m, e[k]);
    double s = 0.0;
    for (std::size_t k = 0; k < K; ++k) {
        p[k] = std::exp(e[k] - m);
        s += p[k];
    }
    for (std::size_t k = 0; k < K; ++k) p[k] = p[k] / s;
}

// log sum_k exp(e_k)
double log_sum_exp(const double* e, std::size_t K) {
    double m = e[0];
    for (std::size_t k = 1; k < K; ++k) m = std::max(m, e[k]);
    double s = 0.0;
    for (std::size_t k = 0; k < K; ++k) s += std::exp(e[k] - m);
    return m + std::log(s);
}

// Solves A x = b for a symmetric positive definite K x K matrix A
// (row-major; overwritten by its Cholesky factor), b overwritten by x.
// False when a pivot is not positive.
bool cholesky_solve(Vec& A, Vec& b, std::size_t K) {
    for (std::size_t j = 0; j < K; ++j) {
        double d = A[j * K + j];
        for (std::size_t m = 0; m < j; ++m) d -= A[j * K + m] * A[j * K + m];
        if (!(d > 0.0)) return false;
        d = std::sqrt(d);
        A[j * K + j] = d;
        for (std::size_t i = j + 1; i < K; ++i) {
            double s = A[i * K + j];
            for (std::size_t m = 0; m < j; ++m) s -= A[i * K + m] * A[j * K + m];
            A[i * K + j] = s / d;
        }
    }
    for (std::size_t i = 0; i < K; ++i) {
        double s = b[i];
        for (std::size_t m = 0; m < i; ++m) s -= A[i * K + m] * b[m];
        b[i] = s / A[i * K + i];
    }
    for (std::size_t i = K; i-- > 0;) {
        double s = b[i];
        for (std::size_t m = i + 1; m < K; ++m) s -= A[m * K + i] * b[m];
        b[i] = s / A[i * K + i];
    }
    return true;
}

void centre(std::span<double> a) {
    double s = 0.0;
    for (const double v : a) s += v;
    const double mean = s / static_cast<double>(a.size());
    for (double& v : a) v -= mean;
}

// Multinomial loss -sum_i w_i log p_{i, y_i}, bounded around the current fit
// by its linear term plus sum_ik v_ik / 2 (eta_ik - eta_ik^0)^2: working
// weights v_ik = 2 w_i p_ik (1 - p_ik), residuals r_ik = w_i (y_ik - p_ik).
// diag(2 p (1 - p)) bounds the Hessian diag(p) - p p^T of observation i's
// loss by Gershgorin's circles (row k's off-diagonal entries add up to
// p_k (1 - p_k)); it is exact for two classes.
template <bool Grouped>
class MultinomialFamily : public ReweightingFamily {
public:
    static constexpr bool block = true;
    static constexpr bool grouped = Grouped;
    // c * delta^2, rounded as (c * delta) * delta
    static double step_change(double c, double d) { return (c * d) * d; }

    // Puts `design` at the null model: p_ik = pbar_k (1 / K without an
    // intercept) or, with an offset o, p_i. = softmax(o_i. + a0) with a0
    // solving sum_i w_i (y_ik - p_ik) = 0 for every k (0 without an
    // intercept).
    template <class D>
    MultinomialFamily(D& design, std::span<const std::uint32_t> cls, std::span<const double> w,
                      std::span<const double> offset, std::span<const double> pbar,
                      const FitConfig& cfg, double min_dev_change)
        : ReweightingFamily(w, offset, checked_size(cls.size(), pbar.size())), cls_(cls),
          nk_(pbar.size()), prob_(eta_.size()), intercepts_(nk_, 0.0), weight_sums_(nk_, 0.0),
          fit_intercept_(cfg.intercept),
          min_weight_sum_(2.0 * static_cast<double>(nk_) *
                          ((1.0 + cfg.pmin) * cfg.pmin * (1.0 - cfg.pmin))),
          pmin_(cfg.pmin), min_dev_change_(min_dev_change) {
        if (cfg.intercept) {
            for (std::size_t k = 0; k < nk_; ++k) intercepts_[k] = std::log(pbar[k]);
            if (!offset_.empty()) offset_intercepts();
            centre(intercepts_);
        }
        predict(design, {}, {}, std::span<const double>(intercepts_));
        design.begin_refit();
        weight_sum_ = reweight(design.weights());
        set_residuals(design.residual());
        design.end_refit();
        // the saturated model's loss is 0
        null_half_dev_ = loss();
        conv_thresh_ = cfg.thresh * null_half_dev_;
    }

    std::size_t classes() const { return nk_; }
    Vec initial_intercepts() const { return intercepts_; }
    std::span<const double> weight_sums() const { return weight_sums_; }

    template <class D>
    bool refit(D& design, std::span<const double> coef, std::span<const std::size_t> active,
               std::span<double> b0) {
        if (fit_intercept_) centre(b0);  // softmax is blind to a common shift
        predict(design, coef, active, std::span<const double>(b0));
        design.begin_refit();
        weight_sum_ = reweight(design.weights());
        if (weight_sum_ <= min_weight_sum_) {
            design.end_refit();
            return true;
        }
        set_residuals(design.residual());
        design.end_refit();
        return false;
    }

    // (null loss - loss) / (null deviance / 2)
    double deviance_ratio() const { return (null_half_dev_ - loss()) / null_half_dev_; }

    // the deviance ratio rose by less than min_dev_change
    bool little_progress(std::uint64_t m, double dev, const SolutionStore& store) const {
        const double before = m == 0 ? 0.0 : store.dev(m - 1);
        return dev - before < min_dev_change_;
    }

private:
    // p from eta and v_ik = 2 w_i p_ik (1 - p_ik); the classes' sums of v
    // into weight_sums_; returns their total.
    double reweight(std::span<double> v) {
        std::fill(weight_sums_.begin(), weight_sums_.end(), 0.0);
        for (std::size_t i = 0; i < cls_.size(); ++i) {
            const double* p = prob_.data() + i * nk_;
            softmax(eta_.data() + i * nk_, prob_.data() + i * nk_, nk_);
            for (std::size_t k = 0; k < nk_; ++k) {
                v[i * nk_ + k] = w_[i] * (2.0 * (p[k] * (1.0 - p[k])));
                weight_sums_[k] += v[i * nk_ + k];
            }
        }
        double total = 0.0;
        for (const double s : weight_sums_) total += s;
        return total;
    }

    void set_residuals(std::span<double> r) {
        for (std::size_t i = 0; i < cls_.size(); ++i) {
            for (std::size_t k = 0; k < nk_; ++k) r[i * nk_ + k] = -(w_[i] * prob_[i * nk_ + k]);
            r[i * nk_ + cls_[i]] = w_[i] * (1.0 - prob_[i * nk_ + cls_[i]]);
        }
    }

    // -sum_i w_i log q_i, q_i = p_{i, y_i} kept off 0 and 1
    double loss() const {
        double acc = 0.0;
        for (std::size_t i = 0; i < cls_.size(); ++i) {
            const double q = std::fmin(std::fmax(prob_[i * nk_ + cls_[i]], pmin_), 1.0 - pmin_);
            acc += w_[i] * std::log(q);
        }
        return -acc;
    }

    // The intercepts of the null model with an offset: Newton's method with
    // the exact Hessian H = sum_i w_i (diag(p_i) - p_i p_i^T) (singular along
    // a common shift, which H + mean(diag H) 11^T / K leaves alone since the
    // score sums to 0) and halved steps until the loss decreases.  Starts
    // from intercepts_ = log pbar.
    void offset_intercepts() {
        const std::size_t n = cls_.size(), K = nk_;
        for (std::size_t k = 0; k < K; ++k) {
            double mean_offset = 0.0;
            for (std::size_t i = 0; i < n; ++i) mean_offset += w_[i] * offset_[i * K + k];
            intercepts_[k] -= mean_offset;
        }
        Vec& a = intercepts_;
        Vec score(K), hess(K * K), step(K), trial(K), e(K), p(K);
        auto loss_at = [&](const Vec& b) {
            double f = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t k = 0; k < K; ++k) e[k] = offset_[i * K + k] + b[k];
                f += w_[i] * (log_sum_exp(e.data(), K) - e[cls_[i]]);
            }
            return f;
        };
        double f = loss_at(a);
        for (int it = 0; it < 100; ++it) {
            std::fill(score.begin(), score.end(), 0.0);
            std::fill(hess.begin(), hess.end(), 0.0);
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t k = 0; k < K; ++k) e[k] = offset_[i * K + k] + a[k];
                softmax(e.data(), p.data(), K);
                for (std::size_t k = 0; k < K; ++k) {
                    score[k] -= w_[i] * p[k];
                    for (std::size_t l = 0; l < K; ++l) hess[k * K + l] -= w_[i] * (p[k] * p[l]);
                    hess[k * K + k] += w_[i] * p[k];
                }
                score[cls_[i]] += w_[i];
            }
            double largest = 0.0, diag = 0.0;
            for (std::size_t k = 0; k < K; ++k) {
                largest = std::max(largest, std::abs(score[k]));
                diag += hess[k * K + k];
            }
            if (!(largest > 4.0 * DBL_EPSILON)) return;
            diag /= static_cast<double>(K);
            for (std::size_t k = 0; k < K * K; ++k) hess[k] += diag / static_cast<double>(K);
            step = score;
            if (!cholesky_solve(hess, step, K))
                for (std::size_t k = 0; k < K; ++k) step[k] = score[k] / diag;
            double slope = 0.0;
            for (std::size_t k = 0; k < K; ++k) slope += score[k] * step[k];
            double s = 1.0, ft = f;
            bool accepted = false;
            for (int half = 0; half < 60 && !accepted; ++half, s *= 0.5) {
                for (std::size_t k = 0; k < K; ++k) trial[k] = a[k] + s * step[k];
                ft = loss_at(trial);
                accepted = ft <= f - 1e-4 * s * slope;
            }
            if (!accepted || trial == a) return;
            a = trial;
            f = ft;
        }
    }

    std::span<const std::uint32_t> cls_;
    std::size_t nk_;
    Vec prob_;  // n x K, observation-major, as eta_
    Vec intercepts_;
    Vec weight_sums_;
    bool fit_intercept_;
    double min_weight_sum_;  // K times the binomial's saturation bound on 2 p (1 - p)
    double pmin_;
    double min_dev_change_;
};

}  // namespace

std::size_t class_count(std::span<const double> y) {
    double top = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        if (!(y[i] >= 0.0 && y[i] == std::floor(y[i]) && y[i] < 4294967296.0))
            throw InputError("y must hold the class codes 0, 1, ..., K - 1 for the multinomial "
                             "family, but y[" + std::to_string(i) + "] = " + std::to_string(y[i]));
        top = std::max(top, y[i]);
    }
    if (top == 0.0)
        throw InputError("y holds a single class; the multinomial family needs at least two");
    // A class below K that no observation has: the smallest is at most n.
    Flags seen(y.size() + 1, 0);
    for (const double v : y)
        if (v <= static_cast<double>(y.size())) seen[static_cast<std::size_t>(v)] = 1;
    for (std::size_t k = 0; k < seen.size() && static_cast<double>(k) < top; ++k)
        if (!seen[k])
            throw InputError("y holds no observation of class " + std::to_string(k) +
                             "; the class codes must be 0, 1, ..., K - 1 with every class present");
    return static_cast<std::size_t>(top) + 1;
}

FitOutcome multinet(DesignInput x, std::span<const double> y, std::uint64_t nobs,
                    std::uint64_t nvars, const FitConfig& config, const Vec* offset, bool grouped,
                    const Interrupt& interrupt) {
    require(y.size() == nobs, "y must have nobs entries");
    const std::size_t nk = class_count(y);
    require(!offset || offset->size() == checked_size(nobs, nk),
            "offset must have nobs * K entries");
    std::vector<std::uint32_t> cls(y.size());
    for (std::size_t i = 0; i < y.size(); ++i) cls[i] = static_cast<std::uint32_t>(y[i]);

    WorkingConstants wc(config);
    auto prepared = prepare_glm(std::move(x), nobs, nvars, config, wc);
    if (auto* e = std::get_if<FitError>(&prepared)) return *e;
    GlmPrepared& prep = std::get<GlmPrepared>(prepared);
    PenaltySequence seq(config, wc, 1.0);

    const Vec& w = prep.in.weights.norm;
    Vec pbar(nk, 0.0);
    for (std::size_t i = 0; i < y.size(); ++i) pbar[cls[i]] += w[i];
    for (std::size_t k = 0; k < nk; ++k) {
        if (pbar[k] == 0.0)
            throw InputError("y holds no observation of class " + std::to_string(k) +
                             " with a positive weight; every class needs one");
        if (pbar[k] <= wc.pmin) return FitError::NullProbUnderflow;
    }

    auto designs = make_design<DenseBlockDesign, SparseBlockDesign>(prep, nk);
    auto run = [&](auto grouping) {
        return with_design(designs, [&](auto& design) {
            MultinomialFamily<decltype(grouping)::value> family(
                design, cls, w, offset_or_empty(offset), pbar, config, wc.min_dev_change);
            const double nulldev = 2.0 * family.null_half_dev() * prep.in.weights.sum;
            PathResult r = reweighting_path(family, design, prep.in, config, wc, seq, nulldev,
                                            InterceptForm::SubtractFromStored, interrupt);
            if (config.intercept)
                for (std::uint64_t l = 0; l < r.lmu; ++l)
                    centre(std::span<double>(r.a0).subspan(l * nk, nk));
            return FitOutcome(std::move(r));
        });
    };
    return grouped ? run(std::true_type{}) : run(std::false_type{});
}

}  // namespace varnel_core
