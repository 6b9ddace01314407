// The pieces every least-squares path shares, in memory or from
// statistics: what is prepared before the path, the path of any
// least-squares design, and the covariance path from products given at
// once.
#pragma once

#include <cstddef>
#include <variant>

#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "solver/path.hpp"
#include "losses/gaussian.hpp"
#include "fit/fit.hpp"
#include "fit/prepare.hpp"
#include "fit/standardize.hpp"

namespace varnel_core {

// Everything the path reads, prepared before it starts.
struct Prepared {
    Flags include;
    Vec penalty;
    Limits limits;      // on the standardized scale once scale_limits has run
    Weights weights;
    Standardization st;
    Vec y;              // standardized response: the initial residual
    double nulldev = 0.0;
};

// Limits to the standardized scale: divided by y_scale, times x_scale when
// standardizing.
void scale_limits(Prepared& p, bool standardize);

// The path of any least-squares design; the request's start_beta (on the
// caller's scale) becomes b_j x_scale_j / y_scale.
template <class D>
PathResult gaussian_path(D& design, const Prepared& p, const FitRequest& request,
                         const WorkingConstants& wc, const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    PenaltySequence seq(cfg, wc, p.st.y_scale);
    GaussianFamily family(cfg.thresh, p.st.y_mean, wc.min_dev_change);
    const PathRules rules(cfg, wc, interrupt);
    Vec start_coef;
    const double no_intercept = 0.0;
    WarmStart start{{}, {&no_intercept, 1}};
    if (const auto& beta = request.choices.start_beta) {
        start_coef.resize(request.nvars);
        for (std::size_t j = 0; j < start_coef.size(); ++j)
            start_coef[j] = beta->values[j] * p.st.x_scale[j] / p.st.y_scale;
        start.coef = start_coef;
    }
    const PathSetup setup{{p.include, p.penalty, p.limits.lower, p.limits.upper},
                          p.st.x_sumsq,
                          cfg.intercept,
                          request.choices.start_beta ? &start : nullptr,
                          p.st.y_scale,
                          p.st.y_scale,
                          p.st.x_mean,
                          p.st.x_scale};
    PathResult r = run_path(family, design, seq, rules, setup);
    r.nulldev = p.nulldev;
    return r;
}

// The covariance path with every product given: `gram` holds G (nvars x
// nvars at leading dimension ld) under the normalized weights, about the
// means with an intercept and uncentred without; m the columns' moments and
// yss the response's weighted sum of squares about its centre.
std::variant<PathResult, FitError> all_products_path(Prepared& p, const ColumnMoments& m,
                                                     double yss, Vec gram, std::size_t ld,
                                                     const FitRequest& request,
                                                     const WorkingConstants& wc,
                                                     const Interrupt& interrupt);

}  // namespace varnel_core
