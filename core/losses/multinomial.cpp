#include "losses/multinomial.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <string>

#include "base/format.hpp"

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

}  // namespace

void softmax_curvature(const double* p, double* d, std::size_t K) {
    // the largest share's index, the second largest share and the sum of all
    // but the largest (1 - p_(1) without its cancellation: exactly p_(2) for
    // two classes)
    std::size_t m = 0;
    for (std::size_t k = 1; k < K; ++k)
        if (p[k] > p[m]) m = k;
    double second = 0.0, rest = 0.0;
    for (std::size_t k = 0; k < K; ++k) {
        if (k == m) continue;
        second = std::max(second, p[k]);
        rest += p[k];
    }
    const double r = rest > 0.0 ? second / rest : 0.0, f = 1.0 + r * r;
    for (std::size_t k = 0; k < K; ++k) d[k] = f * (p[k] * (1.0 - p[k]));
}

std::size_t class_count(std::span<const double> y) {
    double top = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        if (!(y[i] >= 0.0 && y[i] == std::floor(y[i]) && y[i] < 4294967296.0))
            throw InputError("y must hold the class codes 0, 1, ..., K - 1 for the multinomial "
                             "family, but y[" + std::to_string(i) + "] = " + format_number(y[i]));
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

std::variant<MultinomialFamily, FitError> MultinomialFamily::make(RowData rows, std::size_t classes,
                                                                  const FitConfig& config,
                                                                  const WorkingConstants& constants,
                                                                  const Interrupt& interrupt) {
    std::vector<std::uint32_t> cls(rows.y.size());
    for (std::size_t i = 0; i < rows.y.size(); ++i) cls[i] = static_cast<std::uint32_t>(rows.y[i]);
    Vec pbar(classes, 0.0);
    for (std::size_t i = 0; i < cls.size(); ++i) pbar[cls[i]] += rows.w[i];
    if (auto e = check_shares(pbar, constants)) return *e;
    return MultinomialFamily(rows, std::move(cls), std::move(pbar), config, interrupt);
}

std::optional<FitError> MultinomialFamily::check_shares(std::span<const double> pbar,
                                                        const WorkingConstants& constants) {
    for (std::size_t k = 0; k < pbar.size(); ++k) {
        if (pbar[k] == 0.0)
            throw InputError("y holds no observation of class " + std::to_string(k) +
                             " with a positive weight; every class needs one");
        if (pbar[k] <= constants.pmin) return FitError::NullProbUnderflow;
    }
    return std::nullopt;
}

MultinomialFamily MultinomialFamily::over_block(RowData rows, std::size_t classes,
                                                const FitConfig& config,
                                                const WorkingConstants& constants,
                                                const Interrupt& interrupt) {
    std::vector<std::uint32_t> cls(rows.y.size());
    for (std::size_t i = 0; i < rows.y.size(); ++i) {
        require(rows.y[i] >= 0.0 && rows.y[i] < static_cast<double>(classes),
                "multinomial block: class codes below K");
        cls[i] = static_cast<std::uint32_t>(rows.y[i]);
    }
    MultinomialFamily f(rows, std::move(cls), Vec(classes, 0.0), config, interrupt);
    f.min_weight_sum_ = -HUGE_VAL;
    return f;
}

bool MultinomialFamily::saturated_by(std::span<const double> weight_sums) const {
    double total = 0.0;
    for (const double s : weight_sums) total += s;
    return total <= saturation_bound(nk_, pmin_);
}

std::variant<Vec, FitError> MultinomialFamily::null_intercepts(std::span<const double> mean,
                                                               bool intercept,
                                                               const WorkingConstants& constants) {
    if (auto e = check_shares(mean, constants)) return *e;
    Vec a(mean.size(), 0.0);
    if (!intercept) return a;
    for (std::size_t k = 0; k < a.size(); ++k) a[k] = std::log(mean[k]);
    subtract_mean(a.data(), a.size());
    return a;
}

MultinomialFamily::MultinomialFamily(RowData rows, std::vector<std::uint32_t> cls, Vec pbar,
                                     const FitConfig& config, const Interrupt& interrupt)
    : rows_(rows), cls_(std::move(cls)), nk_(pbar.size()), pbar_(std::move(pbar)),
      intercept_(config.intercept), prob_(checked_size(cls_.size(), nk_)),
      weight_sums_(nk_, 0.0), min_weight_sum_(saturation_bound(nk_, config.pmin)),
      pmin_(config.pmin), interrupt_(interrupt) {}

Vec MultinomialFamily::null_model(std::span<double> v, std::span<double> r) {
    const std::size_t n = cls_.size(), K = nk_;
    Vec a(K, 0.0);
    if (intercept_) {
        for (std::size_t k = 0; k < K; ++k) a[k] = std::log(pbar_[k]);
        if (!rows_.offset.empty()) offset_intercepts(a);
        subtract_mean(a.data(), K);
    }
    Vec eta(prob_.size());
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < K; ++k)
            eta[i * K + k] = rows_.offset.empty() ? a[k] : a[k] + rows_.offset[i * K + k];
    reweight(eta, v);
    set_residuals(r);
    null_half_dev_ = loss();
    return a;
}

bool MultinomialFamily::working(std::span<const double> eta, std::span<double> v,
                                std::span<double> r) {
    if (reweight(eta, v) <= min_weight_sum_) return true;
    set_residuals(r);
    return false;
}

double MultinomialFamily::reweight(std::span<const double> eta, std::span<double> v) {
    const auto w = rows_.w;
    std::fill(weight_sums_.begin(), weight_sums_.end(), 0.0);
    for (std::size_t i = 0; i < cls_.size(); ++i) {
        double* p = prob_.data() + i * nk_;
        double* vi = v.data() + i * nk_;
        softmax(eta.data() + i * nk_, p, nk_);
        softmax_curvature(p, vi, nk_);
        for (std::size_t k = 0; k < nk_; ++k) {
            vi[k] = w[i] * vi[k];
            weight_sums_[k] += vi[k];
        }
    }
    interrupt_.tick(prob_.size() * 8);
    double acc = 0.0;
    for (std::size_t i = 0; i < cls_.size(); ++i) {
        const double q = std::fmin(std::fmax(prob_[i * nk_ + cls_[i]], pmin_), 1.0 - pmin_);
        acc += w[i] * std::log(q);
    }
    loss_ = -acc;
    double total = 0.0;
    for (const double s : weight_sums_) total += s;
    return total;
}

void MultinomialFamily::set_residuals(std::span<double> r) const {
    const auto w = rows_.w;
    for (std::size_t i = 0; i < cls_.size(); ++i) {
        for (std::size_t k = 0; k < nk_; ++k) r[i * nk_ + k] = -(w[i] * prob_[i * nk_ + k]);
        r[i * nk_ + cls_[i]] = w[i] * (1.0 - prob_[i * nk_ + cls_[i]]);
    }
}

// Newton's method with the exact Hessian H = sum_i w_i (diag(p_i) - p_i p_i^T)
// (singular along a common shift, which H + mean(diag H) 11^T / K leaves
// alone since the score sums to 0) and halved steps until the loss
// decreases.
void MultinomialFamily::offset_intercepts(Vec& a) const {
    const std::size_t n = cls_.size(), K = nk_;
    const auto w = rows_.w, offset = rows_.offset;
    for (std::size_t k = 0; k < K; ++k) {
        double mean_offset = 0.0;
        for (std::size_t i = 0; i < n; ++i) mean_offset += w[i] * offset[i * K + k];
        a[k] -= mean_offset;
    }
    Vec score(K), hess(K * K), step(K), trial(K), e(K), p(K);
    auto loss_at = [&](const Vec& b) {
        double f = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t k = 0; k < K; ++k) e[k] = offset[i * K + k] + b[k];
            f += w[i] * (log_sum_exp(e.data(), K) - e[cls_[i]]);
            interrupt_.tick(K);
        }
        return f;
    };
    double f = loss_at(a);
    for (int it = 0; it < 100; ++it) {
        std::fill(score.begin(), score.end(), 0.0);
        std::fill(hess.begin(), hess.end(), 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t k = 0; k < K; ++k) e[k] = offset[i * K + k] + a[k];
            softmax(e.data(), p.data(), K);
            for (std::size_t k = 0; k < K; ++k) {
                score[k] -= w[i] * p[k];
                for (std::size_t l = 0; l < K; ++l) hess[k * K + l] -= w[i] * (p[k] * p[l]);
                hess[k * K + k] += w[i] * p[k];
            }
            score[cls_[i]] += w[i];
            interrupt_.tick(K * K);
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

}  // namespace varnel_core
