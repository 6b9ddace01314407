#include "fit/fit.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "base/format.hpp"
#include "losses/cox.hpp"
#include "losses/huber.hpp"
#include "losses/multinomial.hpp"
#include "fit/glm_models.hpp"
#include "fit/least_squares.hpp"
#include "fit/multitask_covariance.hpp"
#include "fit/prepare.hpp"
#include "fit/working_fit.hpp"

namespace varnel_core {

std::optional<FamilyKind> family_named(std::string_view name) {
    if (name == "gaussian") return FamilyKind::Gaussian;
    if (name == "binomial") return FamilyKind::Binomial;
    if (name == "poisson") return FamilyKind::Poisson;
    if (name == "multinomial") return FamilyKind::Multinomial;
    if (name == "gamma") return FamilyKind::Gamma;
    if (name == "inverse_gaussian") return FamilyKind::InverseGaussian;
    if (name == "tweedie") return FamilyKind::Tweedie;
    if (name == "negative_binomial") return FamilyKind::NegativeBinomial;
    if (name == "cox") return FamilyKind::Cox;
    if (name == "multitask") return FamilyKind::Multitask;
    if (name == "huber") return FamilyKind::Huber;
    return std::nullopt;
}

std::optional<SolverKind> solver_named(std::string_view name) {
    if (name == "auto") return SolverKind::Auto;
    if (name == "naive") return SolverKind::Naive;
    if (name == "covariance") return SolverKind::Covariance;
    return std::nullopt;
}

std::string_view solver_name(SolverKind solver) {
    switch (solver) {
    case SolverKind::Auto: return "auto";
    case SolverKind::Naive: return "naive";
    case SolverKind::Covariance: return "covariance";
    }
    return "?";
}

SolverKind auto_solver(FamilyKind family, bool dense, std::uint64_t nobs, std::uint64_t nvars) {
    const bool tall = nvars <= covariance_all_at_once && nobs / 2 >= nvars;
    const bool least_squares = family == FamilyKind::Gaussian || family == FamilyKind::Multitask;
    return least_squares && dense && tall ? SolverKind::Covariance : SolverKind::Naive;
}

std::size_t fit_threads(const FitChoices& c) {
    if (c.n_threads) {
        if (*c.n_threads == 0) throw PreconditionError("n_threads must be at least 1, got 0");
        return static_cast<std::size_t>(std::min<std::uint64_t>(*c.n_threads, 1024));
    }
    return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

namespace {

std::string shape_text(const Table& t) {
    std::string s = "(";
    for (std::size_t d = 0; d < t.shape.size(); ++d)
        s += (d ? ", " : "") + std::to_string(t.shape[d]);
    return s + (t.shape.size() == 1 ? ",)" : ")");
}

// `t` has one of the shapes {rows} or {rows, cols} (cols > 1 needs the
// second); the message names the option and what the family needs.
void check_shape(const std::optional<Table>& t, const char* name, std::size_t rows,
                 std::size_t cols, const std::string& needs) {
    if (!t) return;
    const auto& s = t->shape;
    const bool vector = s.size() == 1 && s[0] == rows && cols == 1;
    const bool matrix = s.size() == 2 && s[0] == rows && s[1] == cols;
    if (!vector && !matrix)
        throw PreconditionError(std::string(name) + " has shape " + shape_text(*t) + " but " + needs);
    require(t->values.size() == rows * cols, "a table's values and shape differ");
}

// The number (no dimension, or a single value) or the K values of start_a0.
void check_intercepts(std::optional<Table>& t, std::size_t nk, const std::string& needs) {
    if (!t) return;
    if (nk == 1 && t->values.size() == 1 && t->shape.size() <= 1) return;
    check_shape(t, "start_a0", nk, 1, needs);
}

}  // namespace

void check_tables(FitChoices& c, std::uint64_t nobs, std::uint64_t nvars, std::size_t nk) {
    const auto family = family_named(c.family);
    const bool multinomial = family == FamilyKind::Multinomial;
    const bool multitask = family == FamilyKind::Multitask;
    const bool wide = multinomial || multitask;
    const std::size_t n = nobs, p = nvars;
    const std::string per_class =
        multinomial ? " (one column per class of y, K = " + std::to_string(nk) + ")"
        : multitask ? " (one column per response in y, K = " + std::to_string(nk) + ")"
                    : "";
    const std::string fam = "the " + c.family + " family needs ";
    check_shape(c.offset, "offset", n, nk,
                fam + (wide ? "(n, K) = (" + std::to_string(n) + ", " + std::to_string(nk) + ")"
                            : "(n,) = (" + std::to_string(n) + ",)") + per_class);
    check_shape(c.start_beta, "start_beta", p, nk,
                fam + (wide ? "(p, K) = (" + std::to_string(p) + ", " + std::to_string(nk) + ")"
                            : "(p,) = (" + std::to_string(p) + ",)") + per_class);
    check_intercepts(c.start_a0, nk,
                     fam + (wide ? "(K,) = (" + std::to_string(nk) + ",)" : "one number") +
                         per_class);
    if (c.strata && c.strata->size() != n)
        throw PreconditionError("strata has " + std::to_string(c.strata->size()) +
                                " entries but x has " + std::to_string(n) + " rows");
}

SolverKind check_choices(const FitChoices& c, bool dense, std::uint64_t nobs, std::uint64_t nvars) {
    const auto family = family_named(c.family);
    if (!family)
        throw PreconditionError("unknown family " + quoted(c.family) +
                                "; expected 'gaussian', 'binomial', 'poisson', 'multinomial', "
                                "'gamma', 'inverse_gaussian', 'tweedie', 'negative_binomial', "
                                "'cox', 'multitask' or 'huber'");
    const auto named = solver_named(c.solver);
    if (!named)
        throw PreconditionError("unknown solver " + quoted(c.solver) +
                                "; expected 'auto', 'naive' or 'covariance'");
    if (c.n_threads && *c.n_threads == 0) throw PreconditionError("n_threads must be at least 1, got 0");
    if (c.grouped && *family != FamilyKind::Multinomial && *family != FamilyKind::Multitask)
        throw PreconditionError("grouped=True needs family=\"multinomial\", but family is " +
                                quoted(c.family));
    const auto ties = ties_named(c.ties);
    if (!ties)
        throw PreconditionError("unknown ties " + quoted(c.ties) + "; expected 'breslow' or 'efron'");
    const bool cox = *family == FamilyKind::Cox;
    if ((*ties != Ties::breslow || c.strata) && !cox)
        throw PreconditionError(std::string(c.strata ? "strata" : "ties=\"efron\"") +
                                " needs family=\"cox\", but family is " + quoted(c.family));
    if (c.standardize_response && *family != FamilyKind::Multitask)
        throw PreconditionError("standardize_response=True needs family=\"multitask\", but family is " +
                                quoted(c.family));
    // the robust loss's threshold (losses/huber.hpp)
    if (c.delta && *family != FamilyKind::Huber)
        throw PreconditionError("delta is for the huber family only, but family is " + quoted(c.family));
    if (*family == FamilyKind::Huber) huber_delta(c.delta);
    // Every family but the cox family (its risk sets tie the rows
    // together), and every model named by its variance and link
    // (fit/glm_models.hpp), fits through either solver; "auto" leaves the
    // models on the naive one, which was faster at every shape measured (the
    // covariance solver forms the strong set's products at each
    // reweighting, about one coordinate pass's worth of work apart).
    const bool model = glm_model(*family, c).has_value();
    const SolverKind solver = *named != SolverKind::Auto ? *named
                              : model ? SolverKind::Naive
                                      : auto_solver(*family, dense, nobs, nvars);
    if (solver == SolverKind::Covariance && cox)
        throw PreconditionError("solver 'covariance' fits every family but the cox family, whose "
                                "risk sets couple the rows; use solver 'naive' (which 'auto' "
                                "chooses for it)");
    if (solver == SolverKind::Covariance && !dense)
        throw PreconditionError("solver 'covariance' fits a dense x only");
    return solver;
}

namespace {

// y has the columns the family reads: two for the cox family (time and
// status), any number for the multitask family, one for the others.
void check_response_columns(const FitRequest& r, FamilyKind family, const std::string& name) {
    require(r.y.size() == checked_size(r.nobs, r.y_cols), "y must have one row per row of x");
    const bool ok = family == FamilyKind::Cox ? r.y_cols == 2
                    : family == FamilyKind::Multitask ? r.y_cols >= 1
                                                      : r.y_cols == 1;
    if (ok) return;
    const std::string shape = "(" + std::to_string(r.nobs) +
                              (r.y_cols == 1 ? ",)" : ", " + std::to_string(r.y_cols) + ")");
    throw PreconditionError("y has shape " + shape + " but the " + name + " family needs " +
                            (family == FamilyKind::Cox
                                 ? "(n, 2) = (" + std::to_string(r.nobs) +
                                       ", 2): the time and the status of every row"
                                 : "(n,) = (" + std::to_string(r.nobs) + ",)"));
}

// A huge theta, a huge offset (at +-20 a logistic mean is within 2e-9 of
// 0 or 1, beyond the binomial's clamp at pmin = 1e-9).  The advice: the
// offset when it is huge, the poisson family for a huge theta (or for huge
// counts under the negative binomial), y when it is huge, else the offset
// when there is one, else y.
constexpr double theta_beyond_poisson = 1e6;
constexpr double offset_beyond_precision = 20.0;
// A huge y (blamed before a moderate offset).
constexpr double y_beyond_precision = 1e6;

DevianceSetting deviance_setting(const FitRequest& r, FamilyKind family) {
    const FitChoices& c = r.choices;
    double y_reach = 0.0, offset_reach = 0.0;
    for (const double v : r.y) y_reach = nan_max(y_reach, std::abs(v));
    if (c.offset)
        for (const double v : c.offset->values) offset_reach = nan_max(offset_reach, std::abs(v));
    std::optional<Variance> variance;
    if (const auto model = glm_model(family, c)) variance = model->variance;
    else if (family == FamilyKind::Poisson) variance = Variance{VarianceKind::power, 1.0};
    else if (family == FamilyKind::Binomial) variance = Variance{VarianceKind::binomial};
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

}  // namespace

FitOutcome fit(FitRequest request, const Interrupt& interrupt) {
    FitChoices& c = request.choices;
    const bool dense = std::holds_alternative<DenseMatrix>(request.x);
    const SolverKind solver = check_choices(c, dense, request.nobs, request.nvars);
    const auto family = family_named(c.family);
    check_response_columns(request, *family, c.family);
    const bool multinomial = *family == FamilyKind::Multinomial;
    const bool multitask = *family == FamilyKind::Multitask;

    const std::size_t n = request.nobs;
    const std::size_t nk = multinomial ? class_count(request.y)
                           : multitask ? static_cast<std::size_t>(request.y_cols)
                                       : 1;
    check_tables(c, n, request.nvars, nk);
    const DevianceSetting setting = request.check_deviances
                                        ? deviance_setting(request, *family)
                                        : DevianceSetting{c.family, NAN, NAN, NAN, 0.0};

    // least squares (one response or K) fits y less the offset
    const bool least_squares = *family == FamilyKind::Gaussian && !glm_model(*family, c);
    if (least_squares || multitask) subtract_offset(request.y, c.offset);
    const bool covariance = solver == SolverKind::Covariance;
    std::variant<PathResult, FitError> path =
        least_squares           ? least_squares_path(request, covariance, interrupt)
        : multitask && covariance ? multitask_covariance_path(request, interrupt)
                                : working_family_path(request, *family, nk, covariance, interrupt);
    if (auto* e = std::get_if<FitError>(&path)) return *e;
    find_bound_reached(std::get<PathResult>(path), request.config);
    if (request.check_deviances)
        check_deviances(std::get<PathResult>(path), setting);
    return FitResult{std::move(std::get<PathResult>(path)), solver};
}

namespace {

std::string deviance_advice(const DevianceSetting& s) {
    if (s.offset_reach >= offset_beyond_precision)
        return "the offset reaches " + format_number(s.offset_reach) +
               ", a linear predictor so far out that the family's means lose their precision "
               "or are clamped; check the offset (it is on the scale of the linear predictor)";
    if (s.family == "negative_binomial" && s.theta >= theta_beyond_poisson)
        return "theta = " + format_number(s.theta) +
               " makes the negative_binomial family the poisson family up to rounding; fit the "
               "poisson family instead";
    if (s.family == "negative_binomial" && s.y_reach >= y_beyond_precision)
        return "the negative_binomial family's deviance of counts this large (y reaches " +
               format_number(s.y_reach) + ") keeps few digits under theta = " +
               format_number(s.theta) + "; fit the poisson family, or scale y down";
    std::string text = "scale y down";
    if (std::isfinite(s.y_reach)) text += " (it reaches " + format_number(s.y_reach) + ")";
    if (s.y_reach >= y_beyond_precision) return text;
    if (std::isnan(s.offset_reach))  // rows not seen here
        return "check the offset, if one was given (a linear predictor far out makes the "
               "family's means lose their precision or be clamped), or " + text;
    if (s.offset_reach > 0.0)
        return "check the offset (it reaches " + format_number(s.offset_reach) +
               "; it is on the scale of the linear predictor)";
    return text;
}

}  // namespace

void check_deviances(const PathResult& r, const DevianceSetting& s) {
    auto fail = [&](const std::string& what) { throw InputError(what + "; " + deviance_advice(s)); };
    if (!std::isfinite(r.nulldev)) fail("the null deviance is not finite");
    if (s.terms_size > 0.0 && !(r.nulldev > 16 * DBL_EPSILON * s.terms_size))
        fail("the null deviance cancels to rounding noise: " + format_number(r.nulldev) +
             " from terms of size " + format_number(s.terms_size));
    // a ratio's rounding: of its sums, and of the terms they cancel
    const double slack = std::fmin(1e-9 + 64 * DBL_EPSILON * (s.terms_size / r.nulldev), 1e-6);
    for (std::uint64_t l = 0; l < r.lmu; ++l) {
        const double d = r.dev_ratio[l];
        if (!std::isfinite(d))
            fail("the deviance at lambda index " + std::to_string(l) + " is not finite");
        if (d < -slack || d > 1.0 + slack)
            fail("the deviance ratio at lambda index " + std::to_string(l) + " is " +
                 format_number(d) + ", outside [0, 1]");
    }
}

void find_bound_reached(PathResult& r, const FitConfig& config) {
    const double inf = std::numeric_limits<double>::infinity();
    const double near = config.big - 1e-9 * config.big;
    auto open = [&](const std::optional<Vec>& limits, std::uint64_t j) {
        return !limits || j >= limits->size() || std::abs((*limits)[j]) == inf;
    };
    const std::size_t nk = r.nclass;
    if (r.bound) return;
    for (std::uint64_t l = 0; l < r.lmu; ++l) {
        for (std::uint64_t e = r.beta.start[l]; e < r.beta.start[l + 1]; ++e) {
            const std::uint64_t j = r.beta.var[e];
            for (std::size_t k = 0; k < nk; ++k) {
                const double b = r.beta.values[e * nk + k];
                if ((b >= near && open(config.upper_limits, j)) ||
                    (b <= -near && open(config.lower_limits, j))) {
                    r.bound = BoundReached{j, l};
                    return;
                }
            }
        }
    }
}

}  // namespace varnel_core
