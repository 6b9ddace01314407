#include "fit/summed_fit.hpp"

#include <tuple>
#include <utility>

#include "data/block_sums.hpp"
#include "data/dense.hpp"
#include "data/memory_sources.hpp"
#include "fit/glm_models.hpp"
#include "fit/standardize.hpp"
#include "fit/summed_parts.hpp"
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

}  // namespace

std::variant<PathResult, FitError> covariance_family_path(FitRequest& request, FamilyKind kind,
                                                          std::size_t classes,
                                                          const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    const DenseMatrix& matrix = std::get<DenseMatrix>(request.x);
    const StridedMatrix& x = matrix.strided();
    WorkingConstants wc(cfg);
    const std::size_t threads = fit_threads(request.choices);
    auto prepared = prepare(MatrixColumns<DenseMatrix>{matrix}, x.ncols, cfg, wc, interrupt,
                            [&](Prepared& p) {
        Vec mean(x.ncols), var(x.ncols);
        weighted_column_stats(x, p.weights.norm, {}, mean, var, {}, threads, interrupt);
        return standardize_from_moments(p, mean, var, 1.0, cfg);
    });
    if (auto* e = std::get_if<FitError>(&prepared)) return *e;
    const Prepared& in = std::get<Prepared>(prepared);
    const RowData rows = rows_of(request.y, request.choices.offset, in.weights);
    const auto model = glm_model(kind, request.choices);
    PenaltySequence seq(cfg, wc, 1.0);
    const LossContext context{cfg, request.choices, wc, &seq, model, classes, interrupt};
    const SolveOptions options{cfg, request.choices};
    return with_loss(kind, model, [&](auto l) -> std::variant<PathResult, FitError> {
        using L = decltype(l);
        if constexpr (!L::summed) {
            throw PreconditionError("the covariance solver sums the reweighting families only");
        } else {
            // The whole data's checks of the loss; a guarded loss's null
            // model on all the rows, as the naive solver finds it (with an
            // offset, by guarded scoring; an InputError when its mean leaves
            // the domain).
            auto made = L::whole(rows, in.weights.raw, context);
            if (auto* e = std::get_if<FitError>(&made)) return *e;
            SummedInputs summed{in, response_means(rows, classes)};
            if constexpr (!NullFromMeans<typename L::Loss>) {
                Vec v(rows.y.size()), r(rows.y.size());
                summed.null_intercepts = Vec{std::get<typename L::Loss>(made).null_model(v, r)};
            }
            const StandardizedBlock z{x, cfg.intercept ? std::span<const double>(in.st.x_mean)
                                                       : std::span<const double>(),
                                      in.st.x_scale, threads};
            auto block = L::block(rows, context);
            MemoryRows<decltype(block)> passes(std::move(block), z, interrupt);
            return summed_path<L>(L::block(RowData{}, context), passes, summed, options, wc, seq,
                                  interrupt);
        }
    });
}

}  // namespace varnel_core
