#include "store.hpp"

#include <cmath>

#include "numeric.hpp"

namespace varnel_core {

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

}  // namespace varnel_core
