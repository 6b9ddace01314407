#include "fit/summed_fit.hpp"

#include <utility>

#include "designs/block_sums.hpp"
#include "designs/dense.hpp"
#include "designs/memory_sources.hpp"
#include "engine/path.hpp"
#include "families/binomial.hpp"
#include "families/multinomial.hpp"
#include "families/poisson.hpp"
#include "families/summed.hpp"
#include "fit/standardize.hpp"
#include "fit/summed_parts.hpp"
#include "fit/working_inputs.hpp"
#include "kernels/gram.hpp"

namespace varnel_core {

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

}  // namespace

std::variant<PathResult, FitError> covariance_family_path(FitRequest& request, FamilyKind kind,
                                                          std::size_t classes,
                                                          const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    const DenseMatrix& matrix = std::get<DenseMatrix>(request.x);
    const StridedMatrix& x = matrix.strided();
    WorkingConstants wc(cfg);
    auto prepared = prepare_inputs(matrix, cfg, wc, interrupt, [&](const Vec& w, Flags& inc) {
        Vec mean(x.ncols), var(x.ncols);
        weighted_column_stats(x, w, {}, mean, var, {}, 1, interrupt);
        return scales_from_moments(mean, var, cfg.standardize, cfg.intercept, inc);
    });
    if (auto* e = std::get_if<FitError>(&prepared)) return *e;
    const Inputs& in = std::get<Inputs>(prepared);
    const RowData rows = rows_of(request, in.weights);
    // The whole data's checks of each family.
    std::optional<FitError> refused;
    if (kind == FamilyKind::Binomial) {
        auto made = BinomialFamily::make(rows, in.weights.raw, cfg, wc);
        if (auto* e = std::get_if<FitError>(&made)) refused = *e;
    } else if (kind == FamilyKind::Poisson) {
        PoissonFamily::make(rows, in.weights.raw, cfg, wc, 0);
    } else {
        auto made = MultinomialFamily::make(rows, classes, cfg, wc, interrupt);
        if (auto* e = std::get_if<FitError>(&made)) refused = *e;
    }
    if (refused) return *refused;

    const SummedInputs summed{in.include, in.penalty, in.limits, in.x_mean, in.x_scale,
                              in.weights.sum, response_means(rows, classes)};
    const StandardizedBlock z{x, cfg.intercept ? std::span<const double>(in.x_mean)
                                               : std::span<const double>(),
                              in.x_scale};
    PenaltySequence seq(cfg, wc, 1.0);
    return with_summed_family(kind, classes, cfg, wc, seq, interrupt, [&](auto make) {
        auto block = make(rows);
        MemoryRows<decltype(block)> passes(std::move(block), z, interrupt);
        return summed_path(make(RowData{}), passes, summed, request, wc, seq, interrupt);
    });
}

}  // namespace varnel_core
