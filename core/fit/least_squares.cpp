#include "fit/least_squares.hpp"

#include <cmath>
#include <optional>
#include <vector>
#include <tuple>
#include <utility>

#include "data/csc.hpp"
#include "data/dense.hpp"
#include "data/least_squares.hpp"
#include "data/memory_sources.hpp"
#include "data/standardized.hpp"
#include "data/statistics.hpp"
#include "fit/registry.hpp"
#include "fit/solve.hpp"
#include "fit/standardize.hpp"
#include "kernels/gram.hpp"
#include "losses/response.hpp"

namespace varnel_core {

namespace {

// sum_i w_i (y_i - c_y)^2, c_y the mean with an intercept (0 without),
// summed over the rows in order.
double response_sum_of_squares(std::span<const double> y, std::span<const double> w, double ymean,
                               bool intercept) {
    double yss = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        const double d = intercept ? y[i] - ymean : y[i];
        yss += w[i] * (d * d);
    }
    return yss;
}

// Whether the diagonal of the products (ld apart, nvars columns) and the
// columns' moments are finite.
bool finite_products(const Vec& gram, std::size_t ld, std::size_t nvars, const ColumnMoments& m) {
    for (std::size_t j = 0; j < nvars; ++j)
        if (!std::isfinite(gram[j * ld + j]) || !std::isfinite(m.mean[j]) ||
            !std::isfinite(m.var[j]))
            return false;
    return true;
}

// The path of any least-squares design from the prepared inputs.
template <class D>
PathResult least_squares_solve(D& design, const Prepared& p, const FitRequest& request,
                               const WorkingConstants& wc, const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    PenaltySequence seq(cfg, wc, p.st.y_scale);
    GaussianFamily loss(p.st.y_mean);  // about the response's centre (0 without an intercept)
    return solve<LeastSquaresLoss::grouping>(loss, design, p, {cfg, request.choices}, seq, wc,
                                             interrupt);
}

// The preparation of least squares over the matrix x: the response's null
// deviance, then `standardize(p)`.
template <class M, class Standardize>
std::variant<Prepared, FitError> prepare_least_squares(const M& x, const FitRequest& request,
                                                       WorkingConstants& wc,
                                                       const Interrupt& interrupt,
                                                       Standardize&& standardize) {
    return prepare(MatrixColumns<M>{x}, request.nvars, request.config, wc, interrupt,
                   [&](Prepared& p) {
                       least_squares_null(p, request.y, request.config.intercept);
                       standardize(p);
                       return std::optional<FitError>();
                   });
}

// The stable entry points' dense x: their own copy, standardized in place
// (rows scaled by sqrt(w)).
std::variant<PathResult, FitError> dense_naive_in_place(FitRequest& request,
                                                        const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    WorkingConstants wc(cfg);
    DenseMatrix x = std::move(std::get<DenseMatrix>(request.x));
    Vec y = request.y;
    auto prep = prepare_least_squares(x, request, wc, interrupt, [&](Prepared& p) {
        p.st = standardize_rows_in_place(x, y, p.weights.norm, p.include, cfg.standardize,
                                         cfg.intercept, interrupt);
    });
    if (auto* e = std::get_if<FitError>(&prep)) return *e;
    LeastSquaresDesign design(DenseLeastSquaresColumns(std::move(x)), std::move(y), interrupt);
    return least_squares_solve(design, std::get<Prepared>(prep), request, wc, interrupt);
}

// A dense x read in place (contiguous columns, any column stride): the
// standardization comes from one pass of weighted_column_stats, and the
// design applies it value by value.
std::variant<PathResult, FitError> dense_naive(FitRequest& request, const Interrupt& interrupt) {
    if (std::get<DenseMatrix>(request.x).owned()) return dense_naive_in_place(request, interrupt);
    const FitConfig& cfg = request.config;
    WorkingConstants wc(cfg);
    DenseMatrix x = std::move(std::get<DenseMatrix>(request.x));
    Vec y = request.y;
    auto prep = prepare_least_squares(x, request, wc, interrupt, [&](Prepared& p) {
        const std::span<const double> w = p.weights.norm;
        const ColumnMoments m =
            column_moments(x.strided(), w, y, fit_threads(request.choices), interrupt);
        Vec gradient;
        const double yss = response_sum_of_squares(y, w, m.ymean, cfg.intercept);
        p.st = standardize_covariance(m, yss, p.include, cfg.standardize, cfg.intercept, gradient);
    });
    if (auto* e = std::get_if<FitError>(&prep)) return *e;
    const Prepared& p = std::get<Prepared>(prep);
    const std::span<const double> w = p.weights.norm;
    // the weighted residual of the null fit, w_i (y_i - c_y) / y_scale
    for (std::size_t i = 0; i < y.size(); ++i)
        y[i] = w[i] * ((y[i] - p.st.y_mean) / p.st.y_scale);
    Standardized<DenseMatrix> z(std::move(x), p.st.x_mean, p.st.x_scale);
    LeastSquaresDesign design(WeightedDenseColumns(std::move(z), w), std::move(y), interrupt);
    return least_squares_solve(design, p, request, wc, interrupt);
}

std::variant<PathResult, FitError> sparse_naive(FitRequest& request, const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    WorkingConstants wc(cfg);
    CscMatrix x = std::get<CscInput>(request.x).matrix(request.nobs);
    Vec y = request.y;
    auto prep = prepare_least_squares(x, request, wc, interrupt, [&](Prepared& p) {
        const std::span<const double> w = p.weights.norm;
        ColumnMoments m = csc_moments(x, w, p.include, interrupt);
        for (std::size_t i = 0; i < y.size(); ++i) m.ymean += w[i] * y[i];
        const double yss = response_sum_of_squares(y, w, m.ymean, cfg.intercept);
        Vec no_gradient;
        p.st = standardize_covariance(m, yss, p.include, cfg.standardize, cfg.intercept,
                                      no_gradient);
    });
    if (auto* e = std::get_if<FitError>(&prep)) return *e;
    const Prepared& p = std::get<Prepared>(prep);
    // the response centred and scaled (the weights stay in the design)
    for (std::size_t i = 0; i < y.size(); ++i)
        y[i] = (cfg.intercept ? y[i] - p.st.y_mean : y[i]) / p.st.y_scale;
    Standardized<CscMatrix> z(std::move(x), p.st.x_mean, p.st.x_scale, p.weights.norm);
    auto path_on = [&](auto columns) {
        LeastSquaresDesign design(std::move(columns), std::move(y), interrupt);
        return least_squares_solve(design, p, request, wc, interrupt);
    };
    if (request.stable_sparse_sums)
        return path_on(SparseLeastSquaresColumns(std::move(z), p.weights.norm));
    return path_on(InterleavedSparseColumns(std::move(z), p.weights.norm));
}

// x is read in place, only to form the inner products of the columns that
// enter the strong set (up to covariance_all_at_once columns: every one at
// once, and with an intercept one pass over [x y] also gives the means,
// variances and x'Wy; beyond, a pass for the moments and products as
// columns enter).
std::variant<PathResult, FitError> dense_covariance(FitRequest& request,
                                                    const Interrupt& interrupt) {
    const FitConfig& cfg = request.config;
    const DenseMatrix& matrix = std::get<DenseMatrix>(request.x);
    const StridedMatrix& x = matrix.strided();
    const std::size_t nobs = x.nrows, nvars = x.ncols;
    const std::span<const double> y = request.y;
    WorkingConstants wc(cfg);
    const bool all_at_once = nvars <= covariance_all_at_once;
    const std::size_t threads = fit_threads(request.choices);
    Vec gram, gradient;
    std::size_t ld = nvars;
    auto prep = prepare_least_squares(matrix, request, wc, interrupt, [&](Prepared& p) {
        const std::span<const double> w = p.weights.norm;
        ColumnMoments m{Vec(nvars), Vec(nvars), Vec(nvars)};
        m.total = 0.0;
        for (const double wi : w) m.total += wi;
        if (all_at_once && cfg.intercept) {
            ld = nvars + 1;
            gram.resize(checked_size(ld, ld));
            Vec means(ld);
            const StridedMatrix response{y.data(), nobs, 1, 1, static_cast<std::ptrdiff_t>(nobs)};
            gram_full(x, w, Centring::weighted_mean, {}, {}, gram.data(), ld, means,
                      GramKernel::best, response, threads, interrupt);
            for (std::size_t j = 0; j < nvars; ++j) {
                m.mean[j] = means[j];
                m.var[j] = gram[j * ld + j] / m.total;
                m.cov[j] = gram[nvars * ld + j] / m.total;
            }
            m.ymean = means[nvars];
        } else {
            m = column_moments(x, w, y, threads, interrupt);
            if (all_at_once) {  // uncentred products, as a fit without intercept needs
                gram.resize(checked_size(nvars, nvars));
                gram_full(x, w, Centring::given, {}, {}, gram.data(), nvars, {},
                          GramKernel::best, {}, threads, interrupt);
            }
        }
        // x unchecked: a NaN or an infinity anywhere reaches its column's
        // sum of squares (sqrt(w_i) (x_ij - c_j), squared, whatever w_i), so
        // only a column whose products are not finite needs a look at x
        if (request.x_unchecked && !finite_products(gram, ld, nvars, m))
            require_finite(x, interrupt);
        const double yss = response_sum_of_squares(y, w, m.ymean, cfg.intercept);
        p.st = standardize_covariance(m, yss, p.include, cfg.standardize, cfg.intercept, gradient);
    });
    if (auto* e = std::get_if<FitError>(&prep)) return *e;
    const Prepared& p = std::get<Prepared>(prep);
    if (all_at_once)
        return all_products_path(p, std::move(gram), ld, std::move(gradient), request, wc,
                                 interrupt);
    const std::span<const double> centre =
        cfg.intercept ? std::span<const double>(p.st.x_mean) : std::span<const double>();
    FixedWeightsSource source(x, p.weights.norm, centre, p.st.x_scale, threads, interrupt);
    StatisticsDesign design(source, p.include, std::move(gradient), interrupt);
    return least_squares_solve(design, p, request, wc, interrupt);
}

}  // namespace

void least_squares_null(Prepared& p, std::span<const double> y, bool intercept) {
    check_response_varies(y, p.weights.raw, intercept);
    double m0 = 0.0;
    if (intercept) {
        double s = 0.0;
        for (std::size_t i = 0; i < y.size(); ++i) s += p.weights.raw[i] * y[i];
        m0 = s / p.weights.sum;
    }
    double dev = 0.0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        const double d = y[i] - m0;
        dev += p.weights.raw[i] * (d * d);
    }
    p.nulldev = dev;
}

std::variant<PathResult, FitError> all_products_path(const Prepared& p, Vec gram, std::size_t ld,
                                                     Vec gradient, const FitRequest& request,
                                                     const WorkingConstants& wc,
                                                     const Interrupt& interrupt) {
    const std::size_t nvars = p.include.size();
    // C_jk = G_jk / (s_j s_k), in place: column k of C from column k of G
    for (std::size_t k = 0; k < nvars; ++k)
        for (std::size_t j = 0; j < nvars; ++j)
            gram[k * nvars + j] = gram[k * ld + j] / p.st.x_scale[j] / p.st.x_scale[k];
    gram.resize(nvars * nvars);
    StatisticsDesign design(std::move(gram), p.include, std::move(gradient), interrupt);
    return least_squares_solve(design, p, request, wc, interrupt);
}

std::variant<PathResult, FitError> least_squares_path(FitRequest& request, bool covariance,
                                                      const Interrupt& interrupt) {
    if (covariance) return dense_covariance(request, interrupt);
    if (std::holds_alternative<CscInput>(request.x)) return sparse_naive(request, interrupt);
    return dense_naive(request, interrupt);
}

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

std::variant<PathResult, FitError> products_path(FitRequest& request, const Interrupt& interrupt) {
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
    const LossContext context{cfg, request.choices, wc, std::nullopt, nk, interrupt};
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
