#include "fit/multitask_covariance.hpp"

#include <tuple>
#include <utility>
#include <vector>

#include "data/dense.hpp"
#include "data/memory_sources.hpp"
#include "data/statistics.hpp"
#include "fit/registry.hpp"
#include "fit/solve.hpp"
#include "fit/standardize.hpp"
#include "kernels/gram.hpp"

namespace varnel_core {

PathResult multitask_products_path(MultitaskFamily& family, StatisticsDesign& design, Prepared& p,
                                   std::span<const double> mean, std::span<const double> var,
                                   const FitRequest& request, const WorkingConstants& wc,
                                   const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    const std::size_t nvars = p.include.size(), nk = family.width();
    // <z_j, w z_j>: the weighted sum of squares about the centre, over the
    // variance when standardizing
    p.st.x_sumsq.assign(checked_size(nvars, nk), 0.0);
    for (std::size_t j = 0; j < nvars; ++j) {
        if (!p.include[j]) continue;
        const double sumsq = cfg.intercept ? var[j] : var[j] + mean[j] * mean[j];
        for (std::size_t k = 0; k < nk; ++k)
            p.st.x_sumsq[j * nk + k] = cfg.standardize ? sumsq / var[j] : sumsq;
    }
    PenaltySequence seq(cfg, wc, 1.0);
    return solve<MultitaskLoss::grouping>(family, design, p,
                                          {cfg, request.choices, family.scales()}, seq, wc,
                                          interrupt);
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
    auto prepared = prepare(MatrixColumns<DenseMatrix>{matrix}, p, cfg, wc, interrupt,
                            [&](Prepared& in) {
        weighted_column_stats(x, in.weights.norm, {}, mean, var, {}, threads, interrupt);
        return standardize_from_moments(in, mean, var, 1.0, cfg);
    });
    if (auto* e = std::get_if<FitError>(&prepared)) return *e;
    Prepared& in = std::get<Prepared>(prepared);
    const std::span<const double> w = in.weights.norm;
    const LossContext context{cfg, request.choices, wc, nullptr, std::nullopt, nk, interrupt};
    auto made = MultitaskLoss::whole(rows_of(request.y, request.choices.offset, in.weights),
                                     in.weights.raw, context);
    MultitaskFamily& family = std::get<MultitaskFamily>(made);
    // the gradients at b = 0: the products of the columns with the centred
    // and scaled responses, Y the Gram's extra columns
    Vec centre(in.st.x_mean), scale(in.st.x_scale);
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

    const std::span<const double> x_centre =
        cfg.intercept ? std::span<const double>(in.st.x_mean) : std::span<const double>();
    auto run = [&](StatisticsDesign& design) {
        return multitask_products_path(family, design, in, mean, var, request, wc, interrupt);
    };
    if (p > covariance_all_at_once) {
        FixedWeightsSource source(x, w, x_centre, in.st.x_scale, threads, interrupt);
        StatisticsDesign design(source, in.include, std::move(gradient), nk, interrupt);
        return run(design);
    }
    Vec all(checked_size(p, p));
    gram_full(x, w, Centring::given, x_centre, in.st.x_scale, all.data(), p, {}, GramKernel::best,
              {}, threads, interrupt);
    StatisticsDesign design(std::move(all), in.include, std::move(gradient), nk, interrupt);
    return run(design);
}

}  // namespace varnel_core
