#include "engine/store.hpp"

#include <cmath>

#include "base/numeric.hpp"

namespace varnel_core {

SolutionStore::SolutionStore(std::size_t max_active, std::uint64_t nlam, std::size_t width)
    : max_active_(max_active), width_(width),
      coef_(checked_size(checked_size(max_active, width), nlam), 0.0),
      count_(checked_size(nlam, 1), 0), intercept_(checked_size(nlam, width), 0.0),
      lambda_(nlam, 0.0), dev_(nlam, 0.0) {
    require(width >= 1, "a variable needs at least one coefficient");
}

void SolutionStore::store(std::uint64_t m, std::span<const std::size_t> active,
                          std::span<const double> coef, std::span<const double> intercepts,
                          double lambda, double dev) {
    require(m < lambda_.size() && active.size() <= max_active_, "solution index out of range");
    require(intercepts.size() == width_, "one intercept per class");
    const std::size_t w = width_;
    double* slot = coef_.data() + m * max_active_ * w;
    for (std::size_t i = 0; i < active.size(); ++i)
        for (std::size_t k = 0; k < w; ++k) slot[i * w + k] = coef[active[i] * w + k];
    count_[m] = active.size();
    for (std::size_t k = 0; k < w; ++k) intercept_[m * w + k] = intercepts[k];
    lambda_[m] = lambda;
    dev_[m] = dev;
}

void SolutionStore::expand(std::span<const std::size_t> active, const double* slot,
                           const double* intercepts, const Assembly& how, double* a0,
                           double* beta) const {
    const std::size_t w = width_;
    for (std::size_t c = 0; c < w; ++c) {
        const double stored = intercepts[c];
        double acc = how.form == InterceptForm::SubtractFromStored ? stored : 0.0;
        for (std::size_t i = 0; i < active.size(); ++i) {
            const std::size_t j = active[i];
            const double b = (slot[i * w + c] * how.coef_scale) / how.x_scale[j];
            beta[j * w + c] = b;
            acc = acc - b * how.x_mean[j];
        }
        if (!how.intercept)
            a0[c] = 0.0;
        else
            a0[c] = how.form == InterceptForm::AddCentring ? acc + stored : acc;
    }
}

Iterate SolutionStore::assemble(std::span<const double> coef, std::span<const std::size_t> active,
                                std::span<const double> intercepts, double lambda,
                                const Assembly& how) const {
    const std::size_t w = width_;
    require(intercepts.size() == w && coef.size() == checked_size(how.nvars, w),
            "an iterate of the wrong length");
    Vec slot(checked_size(active.size(), w));
    for (std::size_t i = 0; i < active.size(); ++i)
        for (std::size_t k = 0; k < w; ++k) slot[i * w + k] = coef[active[i] * w + k];
    Iterate it{lambda * how.lambda_scale, Vec(w), Vec(checked_size(how.nvars, w), 0.0)};
    expand(active, slot.data(), intercepts.data(), how, it.a0.data(), it.beta.data());
    return it;
}

PathResult SolutionStore::assemble(std::uint64_t lmu, std::span<const std::size_t> active,
                                   const Assembly& how) const {
    require(lmu <= lambda_.size(), "more solutions than stored");
    PathResult r;
    r.lmu = lmu;
    const std::size_t w = width_;
    r.lambda.resize(lmu);
    r.a0.resize(checked_size(lmu, w));
    r.dev_ratio.assign(dev_.begin(), dev_.begin() + lmu);
    r.beta.assign(checked_size(checked_size(lmu, how.nvars), w), 0.0);
    r.nclass = w;
    for (std::uint64_t k = 0; k < lmu; ++k) {
        r.lambda[k] = lambda_[k] * how.lambda_scale;
        require(count_[k] <= active.size(), "active list shorter than a stored solution");
        expand(active.first(count_[k]), coef_.data() + k * max_active_ * w,
               intercept_.data() + k * w, how, r.a0.data() + k * w,
               r.beta.data() + k * how.nvars * w);
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

std::uint64_t count_nonzero(std::span<const std::size_t> active, std::span<const double> coef,
                            std::size_t width) {
    std::uint64_t n = 0;
    for (const std::size_t j : active) {
        bool nonzero = false;
        for (std::size_t k = 0; k < width; ++k) nonzero = nonzero || coef[j * width + k] != 0.0;
        n += nonzero;
    }
    return n;
}

}  // namespace varnel_core
