#include "fit/solve.hpp"

#include <cmath>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "data/block_sums.hpp"
#include "data/csc.hpp"
#include "data/dense.hpp"
#include "data/memory_sources.hpp"
#include "data/standardized.hpp"
#include "data/working.hpp"
#include "kernels/gram.hpp"
#include "losses/response.hpp"
#include "fit/glm_models.hpp"
#include "fit/least_squares.hpp"
#include "fit/prepare.hpp"
#include "fit/registry.hpp"
#include "fit/standardize.hpp"
#include "fit/summed_parts.hpp"

namespace varnel_core {

// A GLM family's steps are guarded on summed rows as on the rows themselves.
static_assert(GuardedFamily<SummedFamily<GlmFamily>> && !GuardedFamily<SummedFamily<PoissonFamily>>);

namespace {

// y has the columns the loss L reads: two for the cox family (time and
// status), any number for the multitask family, one for the others.
template <class L>
void check_response_columns(const FitRequest& r, const std::string& name) {
    require(r.y.size() == checked_size(r.nobs, r.y_cols), "y must have one row per row of x");
    if (L::y_columns == 0 ? r.y_cols >= 1 : r.y_cols == L::y_columns) return;
    const std::string shape = "(" + std::to_string(r.nobs) +
                              (r.y_cols == 1 ? ",)" : ", " + std::to_string(r.y_cols) + ")");
    const std::string n = std::to_string(r.nobs), k = std::to_string(L::y_columns);
    throw PreconditionError("y has shape " + shape + " but the " + name + " family needs " +
                            (L::y_columns > 1 ? "(n, " + k + ") = (" + n + ", " + k + ")" +
                                                    std::string(L::y_columns_text)
                                              : "(n,) = (" + n + ",)"));
}

// What the deviance checks know of the rows; `variance`: the model's of a
// loss by variance and link (least squares' deviance cancels no terms).
DevianceSetting deviance_setting(const FitRequest& r, const std::optional<Variance>& variance) {
    const FitChoices& c = r.choices;
    double y_reach = 0.0, offset_reach = 0.0;
    for (const double v : r.y) y_reach = nan_max(y_reach, std::abs(v));
    if (c.offset)
        for (const double v : c.offset->values) offset_reach = nan_max(offset_reach, std::abs(v));
    double size = 0.0;
    if (variance && r.y_cols == 1) {
        const Vec ones = r.config.weights ? Vec{} : Vec(r.y.size(), 1.0);
        size = 2.0 * response_terms_size(
                         *variance, r.y, r.config.weights ? std::span<const double>(*r.config.weights)
                                                          : std::span<const double>(ones));
    }
    const bool nb = variance && variance->kind == VarianceKind::negative_binomial;
    return {c.family, nb ? variance->theta : NAN, y_reach, offset_reach, size};
}

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

// sum_i w_i y_i, or each class's sum of weights (K > 1, y the class codes).
Vec response_means(const RowData& rows, std::size_t nk) {
    Vec m(nk, 0.0);
    for (std::size_t i = 0; i < rows.y.size(); ++i) {
        if (nk == 1) m[0] += rows.w[i] * rows.y[i];
        else m[static_cast<std::size_t>(rows.y[i])] += rows.w[i];
    }
    return m;
}

// The covariance solver over the rows in memory for a loss that sums over
// rows: each reweighting step sums the loss's per-row maths over the rows
// (losses/summed.hpp) into Z'r, Z'v, the loss and the products Z'VZ of the
// strong set, and the coordinate descent runs in p-space; x read in place.
template <class L>
std::variant<PathResult, FitError> summed_rows_path(const FitRequest& request,
                                                    const std::optional<GlmModel>& model,
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
    PenaltySequence seq(cfg, wc, 1.0);
    const LossContext context{cfg, request.choices, wc, model, classes, interrupt};
    const SolveOptions options{cfg, request.choices};
    // The whole data's checks of the loss; a guarded loss's null model on
    // all the rows, as the naive solver finds it (with an offset, by
    // guarded scoring; an InputError when its mean leaves the domain).
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

// The naive solver's working design over the rows in memory (dense or
// CSC): the columns are centred (with an intercept) and scaled by their
// weighted standard deviations (when standardizing), in place in the dense
// copy or implicitly as they are read.  A loss of fixed weights writes
// them, and its null residual, once.
template <class L>
std::variant<PathResult, FitError> working_path(FitRequest& request,
                                                const std::optional<GlmModel>& model,
                                                std::size_t classes, const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    WorkingConstants wc(cfg);
    auto prepared = prepare_columns(request, wc, interrupt);
    if (auto* e = std::get_if<FitError>(&prepared)) return *e;
    Columns& cols = std::get<Columns>(prepared);
    PenaltySequence seq(cfg, wc, 1.0);
    const LossContext context{cfg, request.choices, wc, model, classes, interrupt};
    auto made = L::whole(rows_of(request.y, request.choices.offset, cols.in.weights),
                         cols.in.weights.raw, context);
    if (auto* e = std::get_if<FitError>(&made)) return *e;
    auto& loss = std::get<typename L::Loss>(made);
    std::span<const double> scales;
    if constexpr (requires { loss.scales(); }) scales = loss.scales();
    const SolveOptions options{cfg, request.choices, scales};
    return on_design(cols, loss.width(), interrupt, [&](auto& design) {
        if constexpr (!L::Loss::reweights) {
            design.begin_refit();
            loss.fixed_rows(design.weights(), design.residual());
            design.end_refit();
        }
        return solve<L::grouping>(loss, design, cols.in, options, seq, wc, interrupt);
    });
}

// The rows in memory as a source of the one passage (solve_source).
struct RowsInMemory {
    FitRequest request;

    FitChoices& choices() { return request.choices; }
    const FitConfig& config() const { return request.config; }
    std::uint64_t nobs() const { return request.nobs; }
    std::uint64_t nvars() const { return request.nvars; }
    bool check_deviances() const { return request.check_deviances; }
    template <class L>
    std::size_t width() const {
        check_response_columns<L>(request, request.choices.family);
        return L::width == Width::classes     ? class_count(request.y)
               : L::width == Width::responses ? std::size_t(request.y_cols)
                                              : 1;
    }
    DevianceSetting deviance_setting(const std::optional<Variance>& variance) const {
        return request.check_deviances
                   ? varnel_core::deviance_setting(request, variance)
                   : DevianceSetting{request.choices.family, NAN, NAN, NAN, 0.0};
    }
    template <class L>
    std::variant<PathResult, FitError> path(const L& l, const std::optional<GlmModel>& model,
                                            std::size_t nk, SolverKind solver,
                                            const Interrupt& interrupt) {
        FitChoices& c = request.choices;
        // least squares (one response or K) fits y less the offset
        if constexpr (L::least_squares || L::shared_products) subtract_offset(request.y, c.offset);
        // centred columns; a loss of coupled rows has no intercept
        if constexpr (L::coupled_rows) request.config.intercept = true;
        const bool covariance = solver == SolverKind::Covariance;
        const WorkingConstants wc(request.config);
        const LossContext checks{request.config, c, wc, model, nk, interrupt};
        if constexpr (L::least_squares) {
            return least_squares_path(request, covariance, interrupt);
        } else {
            if (auto e = l.check(request.y, checks)) return *e;
            if (L::shared_products && covariance) return products_path(request, interrupt);
            if constexpr (L::summed)
                if (covariance) return summed_rows_path<L>(request, model, nk, interrupt);
            return working_path<L>(request, model, nk, interrupt);
        }
    }
};

}  // namespace

FitOutcome solve_request(FitRequest request, SolverKind solver, const Interrupt& interrupt) {
    RowsInMemory source{std::move(request)};
    return solve_source(source, solver, interrupt);
}

}  // namespace varnel_core
