#include "fit/multitask_covariance.hpp"

#include <utility>
#include <vector>

#include "data/dense.hpp"
#include "data/memory_sources.hpp"
#include "data/statistics.hpp"
#include "solver/path.hpp"
#include "losses/multitask.hpp"
#include "fit/prepare.hpp"
#include "fit/standardize.hpp"
#include "fit/working_inputs.hpp"
#include "kernels/gram.hpp"

namespace varnel_core {

PathResult multitask_products_path(MultitaskFamily& family, StatisticsDesign& design,
                                   const MultitaskInputs& in, const FitRequest& request,
                                   const WorkingConstants& wc, const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    const std::size_t p = in.include.size(), nk = family.width();
    // <z_j, w z_j>: the weighted sum of squares about the centre, over the
    // variance when standardizing
    Vec curvatures(checked_size(p, nk), 0.0);
    for (std::size_t j = 0; j < p; ++j) {
        if (!in.include[j]) continue;
        const double sumsq = cfg.intercept ? in.var[j] : in.var[j] + in.mean[j] * in.mean[j];
        for (std::size_t k = 0; k < nk; ++k)
            curvatures[j * nk + k] = cfg.standardize ? sumsq / in.var[j] : sumsq;
    }
    Vec start_coef;
    const Vec no_intercepts(nk, 0.0);
    WarmStart start{{}, no_intercepts};
    if (const auto& beta = request.choices.start_beta) {
        start_coef.resize(checked_size(p, nk));
        for (std::size_t e = 0; e < start_coef.size(); ++e)
            start_coef[e] = beta->values[e] * in.x_scale[e / nk] / family.scales()[e % nk];
        start.coef = start_coef;
    }
    PenaltySequence seq(cfg, wc, 1.0);
    const PathRules rules(cfg, wc, interrupt);
    const PathSetup setup{{in.include, in.penalty, in.limits.lower, in.limits.upper},
                          curvatures,
                          cfg.intercept,
                          request.choices.start_beta ? &start : nullptr,
                          1.0,
                          1.0,
                          in.x_mean,
                          in.x_scale};
    PathResult r = run_path<GroupElasticNetPenalty>(family, design, seq, rules, setup);
    r.nulldev = family.null_deviance();
    find_bound_reached(r, cfg);  // on the scale the bound applies to
    family.to_response_scale(r);
    return r;
}

std::variant<PathResult, FitError> multitask_covariance_path(FitRequest& request,
                                                             const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    const DenseMatrix& matrix = std::get<DenseMatrix>(request.x);
    const StridedMatrix& x = matrix.strided();
    const std::size_t n = x.nrows, p = x.ncols, nk = request.y_cols;
    WorkingConstants wc(cfg);
    const std::size_t threads = fit_threads(request.choices);

    // the preparation of the naive path, the scales from the columns' moments
    Vec mean(p), var(p);
    auto prepared = prepare_inputs(matrix, cfg, wc, interrupt, [&](const Vec& w, Flags& inc) {
        weighted_column_stats(x, w, {}, mean, var, {}, threads, interrupt);
        return scales_from_moments(mean, var, 1.0, cfg.standardize, cfg.intercept, inc);
    });
    if (auto* e = std::get_if<FitError>(&prepared)) return *e;
    const Inputs& in = std::get<Inputs>(prepared);
    const std::span<const double> w = in.weights.norm;
    MultitaskFamily family = MultitaskFamily::make({request.y, w, in.weights.sum, {}}, nk, cfg,
                                                   request.choices.standardize_response,
                                                   wc.min_dev_change);
    // the gradients at b = 0: the products of the columns with the centred
    // and scaled responses, Y the Gram's extra columns
    Vec centre(in.x_mean), scale(in.x_scale);
    centre.insert(centre.end(), family.means().begin(), family.means().end());
    scale.insert(scale.end(), family.scales().begin(), family.scales().end());
    std::vector<std::size_t> responses(nk);
    for (std::size_t k = 0; k < nk; ++k) responses[k] = p + k;
    Vec products(checked_size(p + nk, nk));
    const StridedMatrix y{request.y.data(), n, nk, static_cast<std::ptrdiff_t>(nk), 1};
    gram_columns(x, w, Centring::given, centre, scale, responses, products.data(), p + nk, {},
                 GramKernel::best, y, 1, interrupt);
    Vec gradient(checked_size(p, nk));  // at k * p + j
    for (std::size_t k = 0; k < nk; ++k)
        for (std::size_t j = 0; j < p; ++j) gradient[k * p + j] = products[j + k * (p + nk)];

    const MultitaskInputs inputs{in.include, in.penalty, in.limits, in.x_mean, in.x_scale,
                                 mean, var};
    const std::span<const double> x_centre =
        cfg.intercept ? std::span<const double>(in.x_mean) : std::span<const double>();
    auto run = [&](StatisticsDesign& design) {
        return multitask_products_path(family, design, inputs, request, wc, interrupt);
    };
    if (p > covariance_all_at_once) {
        FixedWeightsSource source(x, w, x_centre, in.x_scale, threads, interrupt);
        StatisticsDesign design(source, in.include, std::move(gradient), nk, interrupt);
        return run(design);
    }
    Vec all(checked_size(p, p));
    gram_full(x, w, Centring::given, x_centre, in.x_scale, all.data(), p, {}, GramKernel::best, {},
              threads, interrupt);
    StatisticsDesign design(std::move(all), in.include, std::move(gradient), nk, interrupt);
    return run(design);
}

}  // namespace varnel_core
