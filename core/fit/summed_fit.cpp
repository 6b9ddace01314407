#include "fit/summed_fit.hpp"

#include <utility>

#include "data/block_sums.hpp"
#include "data/dense.hpp"
#include "data/memory_sources.hpp"
#include "solver/path.hpp"
#include "losses/binomial.hpp"
#include "losses/glm.hpp"
#include "losses/huber.hpp"
#include "losses/multinomial.hpp"
#include "losses/poisson.hpp"
#include "losses/summed.hpp"
#include "fit/glm_models.hpp"
#include "fit/standardize.hpp"
#include "fit/summed_parts.hpp"
#include "fit/working_inputs.hpp"
#include "kernels/gram.hpp"

namespace varnel_core {

// A GLM family's steps are guarded on summed rows as on the rows themselves.
static_assert(GuardedFamily<SummedFamily<GlmFamily>> && !GuardedFamily<SummedFamily<PoissonFamily>>);

namespace {

// sum_i w_i y_i, or each class's sum of weights (K > 1, y the class codes).
Vec response_means(const RowData& rows, std::size_t nk) {
    Vec m(nk, 0.0);
    for (std::size_t i = 0; i < rows.y.size(); ++i) {
        if (nk == 1) m[0] += rows.w[i] * rows.y[i];
        else m[static_cast<std::size_t>(rows.y[i])] += rows.w[i];
    }
    return m;
}

// The robust loss (losses/huber.hpp): its null model on all the rows, then
// the summed path over them.
std::variant<PathResult, FitError> huber_covariance_path(FitRequest& request, const Inputs& in,
                                                         const RowData& rows,
                                                         const StandardizedBlock& z,
                                                         const WorkingConstants& wc,
                                                         const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    const double delta = huber_delta(request.choices.delta);
    HuberFamily whole = HuberFamily::make(rows, in.weights.raw, delta, cfg, wc);
    Vec v(rows.y.size()), r(rows.y.size());
    SummedInputs summed{in.include, in.penalty, in.limits, in.x_mean, in.x_scale,
                        in.weights.sum, response_means(rows, 1)};
    summed.null_intercepts = Vec{whole.null_model(v, r)};
    PenaltySequence seq(cfg, wc, 1.0);
    MemoryRows<HuberFamily> passes(HuberFamily::over_block(rows, delta, cfg, wc), z, interrupt);
    return summed_path(HuberFamily::over_block(RowData{}, delta, cfg, wc), passes, summed, request,
                       wc, seq, interrupt);
}

}  // namespace

std::variant<PathResult, FitError> covariance_family_path(FitRequest& request, FamilyKind kind,
                                                          std::size_t classes,
                                                          const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    const DenseMatrix& matrix = std::get<DenseMatrix>(request.x);
    const StridedMatrix& x = matrix.strided();
    WorkingConstants wc(cfg);
    const std::size_t threads = fit_threads(request.choices);
    auto prepared = prepare_inputs(matrix, cfg, wc, interrupt, [&](const Vec& w, Flags& inc) {
        Vec mean(x.ncols), var(x.ncols);
        weighted_column_stats(x, w, {}, mean, var, {}, threads, interrupt);
        return scales_from_moments(mean, var, 1.0, cfg.standardize, cfg.intercept, inc);
    });
    if (auto* e = std::get_if<FitError>(&prepared)) return *e;
    const Inputs& in = std::get<Inputs>(prepared);
    const RowData rows = rows_of(request, in.weights);
    const StandardizedBlock z{x, cfg.intercept ? std::span<const double>(in.x_mean)
                                               : std::span<const double>(),
                              in.x_scale, threads};
    if (kind == FamilyKind::Huber) return huber_covariance_path(request, in, rows, z, wc, interrupt);
    // The whole data's checks of each family; a GLM family's null model on
    // all the rows, as the naive solver finds it (with an offset, by guarded
    // scoring; an InputError when its mean leaves the domain).
    const auto model = glm_model(kind, request.choices);
    std::optional<FitError> refused;
    std::optional<Vec> null_intercepts;
    if (model) {
        auto made = GlmFamily::make(*model, rows, in.weights.raw, cfg, wc);
        if (auto* e = std::get_if<FitError>(&made)) return *e;
        Vec v(rows.y.size()), r(rows.y.size());
        null_intercepts = Vec{std::get<GlmFamily>(made).null_model(v, r)};
    } else if (kind == FamilyKind::Binomial) {
        auto made = BinomialFamily::make(rows, in.weights.raw, cfg, wc);
        if (auto* e = std::get_if<FitError>(&made)) refused = *e;
    } else if (kind == FamilyKind::Poisson) {
        PoissonFamily::make(rows, in.weights.raw, cfg, wc, 0);
    } else {
        auto made = MultinomialFamily::make(rows, classes, cfg, wc, interrupt);
        if (auto* e = std::get_if<FitError>(&made)) refused = *e;
    }
    if (refused) return *refused;

    SummedInputs summed{in.include, in.penalty, in.limits, in.x_mean, in.x_scale,
                        in.weights.sum, response_means(rows, classes)};
    summed.null_intercepts = std::move(null_intercepts);
    PenaltySequence seq(cfg, wc, 1.0);
    return with_summed_family(kind, classes, model, cfg, wc, seq, interrupt, [&](auto make) {
        auto block = make(rows);
        MemoryRows<decltype(block)> passes(std::move(block), z, interrupt);
        return summed_path(make(RowData{}), passes, summed, request, wc, seq, interrupt);
    });
}

}  // namespace varnel_core
