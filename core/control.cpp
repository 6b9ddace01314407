#include "control.hpp"

#include <algorithm>
#include <utility>

namespace varnel_core {

FitConfig build_config(std::uint64_t nobs, std::uint64_t nvars, FitOptions o) {
    FitConfig c;
    c.alpha = o.alpha;
    c.nlambda = o.nlambda;
    c.lambda_min_ratio = o.lambda_min_ratio ? *o.lambda_min_ratio : (nobs >= nvars ? 1e-4 : 0.01);
    c.user_lambda = std::move(o.user_lambda);
    c.standardize = o.standardize;
    c.intercept = o.intercept;
    c.thresh = o.thresh;
    c.maxit = o.maxit;
    // nvars + 1 and 2 * dfmax + 20 saturate instead of wrapping around.
    c.dfmax = o.dfmax ? *o.dfmax : (nvars == UINT64_MAX ? nvars : nvars + 1);
    if (o.pmax) {
        c.pmax = *o.pmax;
    } else {
        const std::uint64_t twice = c.dfmax > (UINT64_MAX - 20) / 2 ? UINT64_MAX : 2 * c.dfmax + 20;
        c.pmax = std::min(nvars, twice);
    }
    c.penalty_factor = std::move(o.penalty_factor);
    c.lower_limits = std::move(o.lower_limits);
    c.upper_limits = std::move(o.upper_limits);
    c.weights = std::move(o.weights);
    if (o.exclude) c.exclude = std::move(*o.exclude);
    return c;
}

}  // namespace varnel_core
