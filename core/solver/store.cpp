#include "solver/store.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "base/numeric.hpp"

namespace varnel_core {

namespace {

// Coefficient `c` of slot i (variable j) on the caller's scale.
double caller_coefficient(const double* slot, std::size_t i, std::size_t width, std::size_t c,
                          std::size_t j, const Assembly& how) {
    return (slot[i * width + c] * how.coef_scale) / how.x_scale[j];
}

// Every bit 0: +0.0 (a -0.0 or a NaN is not).
bool positive_zero(double v) { return v == 0.0 && !std::signbit(v); }

}  // namespace

SolutionStore::SolutionStore(std::uint64_t nlam, std::size_t width)
    : width_(width), first_{0}, intercept_(checked_size(nlam, width), 0.0),
      lambda_(nlam, 0.0), dev_(nlam, 0.0) {
    require(width >= 1, "a variable needs at least one coefficient");
    first_.reserve(checked_size(nlam, 1) + 1);
}

void SolutionStore::store(std::uint64_t m, std::span<const std::size_t> active,
                          std::span<const double> coef, std::span<const double> intercepts,
                          double lambda, double dev) {
    require(m < lambda_.size() && m < first_.size(), "solution index out of range");
    require(intercepts.size() == width_, "one intercept per class");
    const std::size_t w = width_;
    // Storing solution m again drops it and the ones after it.
    first_.resize(m + 1);
    coef_.resize(checked_size(first_[m], w));
    for (const std::size_t j : active)
        for (std::size_t k = 0; k < w; ++k) coef_.push_back(coef[j * w + k]);
    first_.push_back(first_[m] + active.size());
    for (std::size_t k = 0; k < w; ++k) intercept_[m * w + k] = intercepts[k];
    lambda_[m] = lambda;
    dev_[m] = dev;
}

void SolutionStore::intercepts(std::span<const std::size_t> active, const double* slot,
                               const double* stored, const Assembly& how, double* a0) const {
    const std::size_t w = width_;
    for (std::size_t c = 0; c < w; ++c) {
        double acc = how.form == InterceptForm::SubtractFromStored ? stored[c] : 0.0;
        for (std::size_t i = 0; i < active.size(); ++i) {
            const std::size_t j = active[i];
            acc = acc - caller_coefficient(slot, i, w, c, j, how) * how.x_mean[j];
        }
        if (!how.intercept)
            a0[c] = 0.0;
        else
            a0[c] = how.form == InterceptForm::AddCentring ? acc + stored[c] : acc;
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
    this->intercepts(active, slot.data(), intercepts.data(), how, it.a0.data());
    for (std::size_t i = 0; i < active.size(); ++i)
        for (std::size_t c = 0; c < w; ++c)
            it.beta[active[i] * w + c] = caller_coefficient(slot.data(), i, w, c, active[i], how);
    return it;
}

PathResult SolutionStore::assemble(std::uint64_t lmu, std::span<const std::size_t> active,
                                   const Assembly& how) const {
    require(lmu <= lambda_.size() && lmu < first_.size(), "more solutions than stored");
    PathResult r;
    r.lmu = lmu;
    const std::size_t w = width_;
    r.nclass = w;
    r.lambda.resize(lmu);
    r.a0.resize(checked_size(lmu, w));
    r.dev_ratio.assign(dev_.begin(), dev_.begin() + lmu);
    // The active positions in the order of their variables: a solution's
    // entries are those of its positions, in that order.
    std::vector<std::size_t> order(active.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return active[a] < active[b]; });
    SolutionColumns& cols = r.beta;
    cols.start.reserve(checked_size(lmu, 1) + 1);
    cols.var.reserve(first_[lmu]);
    cols.values.reserve(checked_size(first_[lmu], w));
    Vec b(w);
    for (std::uint64_t l = 0; l < lmu; ++l) {
        r.lambda[l] = lambda_[l] * how.lambda_scale;
        const std::size_t count = first_[l + 1] - first_[l];
        require(count <= active.size(), "active list shorter than a stored solution");
        const double* slot = coef_.data() + first_[l] * w;
        intercepts(active.first(count), slot, intercept_.data() + l * w, how, r.a0.data() + l * w);
        for (const std::size_t i : order) {
            if (i >= count) continue;
            const std::size_t j = active[i];
            bool kept = false;
            for (std::size_t c = 0; c < w; ++c) {
                b[c] = caller_coefficient(slot, i, w, c, j, how);
                kept = kept || !positive_zero(b[c]);
            }
            if (!kept) continue;
            cols.var.push_back(j);
            cols.values.insert(cols.values.end(), b.begin(), b.end());
        }
        cols.start.push_back(cols.var.size());
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
