#include "fit/working_fit.hpp"

#include <tuple>
#include <utility>

#include "data/csc.hpp"
#include "data/dense.hpp"
#include "data/standardized.hpp"
#include "data/working.hpp"
#include "fit/glm_models.hpp"
#include "fit/prepare.hpp"
#include "fit/registry.hpp"
#include "fit/solve.hpp"
#include "fit/standardize.hpp"
#include "fit/summed_fit.hpp"

namespace varnel_core {

namespace {

// The predictors once prepared: the dense copy centred and scaled in place,
// the caller's dense array or the CSC matrix, their centring and scaling
// implicit.
struct Columns {
    Prepared in;
    std::variant<DenseMatrix, CscMatrix> matrix;
};

std::variant<Columns, FitError> prepare_columns(FitRequest& request, WorkingConstants& wc,
                                                const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    auto done = [](auto& prepared, auto&& x) -> std::variant<Columns, FitError> {
        if (auto* e = std::get_if<FitError>(&prepared)) return *e;
        return Columns{std::move(std::get<Prepared>(prepared)), std::move(x)};
    };
    if (auto* dense = std::get_if<DenseMatrix>(&request.x)) {
        DenseMatrix x = std::move(*dense);
        // The stable entry points' own copy is centred and scaled in place;
        // the caller's array is read in place, standardized on the fly.
        auto prepared = prepare(MatrixColumns<DenseMatrix>{x}, x.cols(), cfg, wc, interrupt,
                                [&](Prepared& p) -> std::optional<FitError> {
            const Vec& w = p.weights.norm;
            if (x.owned()) {
                std::tie(p.st.x_mean, p.st.x_scale) = centre_and_scale_in_place(
                    x, w, cfg.standardize, cfg.intercept, p.include, interrupt);
                return std::nullopt;
            }
            const ColumnMoments m =
                column_moments(x.strided(), w, {}, fit_threads(request.choices), interrupt);
            return standardize_from_moments(p, m.mean, m.var, m.total, cfg);
        });
        return done(prepared, std::move(x));
    }
    CscMatrix x = std::get<CscInput>(request.x).matrix(request.nobs);
    auto prepared = prepare(MatrixColumns<CscMatrix>{x}, x.cols(), cfg, wc, interrupt,
                            [&](Prepared& p) {
        const ColumnMoments m = csc_moments(x, p.weights.norm, p.include, interrupt);
        return standardize_from_moments(p, m.mean, m.var, m.total, cfg, m.second);
    });
    return done(prepared, std::move(x));
}

// The design of the prepared columns: a dense copy already centred and
// scaled, or the columns standardized as they are read.
template <class Run>
PathResult on_design(Columns& cols, std::size_t nk, const Interrupt& interrupt, Run&& run) {
    const Prepared& in = cols.in;
    return std::visit(
        [&](auto& x) {
            using M = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<M, DenseMatrix>) {
                const std::size_t p = x.cols();
                const bool in_place = x.owned();  // already centred and scaled
                DenseWorkingDesign design(
                    Standardized<DenseMatrix>(std::move(x), in_place ? Vec(p, 0.0) : in.st.x_mean,
                                              in_place ? Vec(p, 1.0) : in.st.x_scale),
                    nk, interrupt);
                return run(design);
            } else {
                SparseWorkingDesign design(
                    Standardized<CscMatrix>(std::move(x), in.st.x_mean, in.st.x_scale,
                                            in.weights.norm),
                    nk, interrupt);
                return run(design);
            }
        },
        cols.matrix);
}

}  // namespace

std::variant<PathResult, FitError> working_family_path(FitRequest& request, FamilyKind kind,
                                                       std::size_t classes, bool covariance,
                                                       const Interrupt& interrupt) {
    if (kind == FamilyKind::Cox)
        request.config.intercept = true;  // centred columns; the family has no intercept
    const FitConfig& cfg = request.config;
    const auto model = glm_model(kind, request.choices);
    return with_loss(kind, model, [&](auto l) -> std::variant<PathResult, FitError> {
        using L = decltype(l);
        if constexpr (L::least_squares) {
            throw PreconditionError("one-response least squares runs on its own designs");
        } else {
            WorkingConstants wc(cfg);
            const LossContext checks{cfg, request.choices, wc, nullptr, model, classes, interrupt};
            if (auto e = l.check(request.y, checks)) return *e;
            if constexpr (L::summed)
                if (covariance) return covariance_family_path(request, kind, classes, interrupt);
            auto prepared = prepare_columns(request, wc, interrupt);
            if (auto* e = std::get_if<FitError>(&prepared)) return *e;
            Columns& cols = std::get<Columns>(prepared);
            PenaltySequence seq(cfg, wc, 1.0);
            const LossContext context{cfg, request.choices, wc, &seq, model, classes, interrupt};
            auto made = L::whole(rows_of(request.y, request.choices.offset, cols.in.weights),
                                 cols.in.weights.raw, context);
            if (auto* e = std::get_if<FitError>(&made)) return *e;
            auto& loss = std::get<typename L::Loss>(made);
            std::span<const double> scales;
            if constexpr (requires { loss.scales(); }) scales = loss.scales();
            const SolveOptions options{cfg, request.choices, scales};
            return on_design(cols, loss.width(), interrupt, [&](auto& design) {
                // a loss of fixed weights writes them, and its null residual, once
                if constexpr (!L::Loss::reweights) {
                    design.begin_refit();
                    loss.fixed_rows(design.weights(), design.residual());
                    design.end_refit();
                }
                return solve<L::grouping>(loss, design, cols.in, options, seq, wc, interrupt);
            });
        }
    });
}

}  // namespace varnel_core
