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
#include "fit/glm_models.hpp"
#include "fit/registry.hpp"
#include "fit/solve.hpp"

namespace varnel_core {

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

SolverKind auto_solver(bool least_squares, bool dense, std::uint64_t nobs, std::uint64_t nvars) {
    const bool tall = nvars <= covariance_all_at_once && nobs / 2 >= nvars;
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

// starts_beta of shape (p, L) (one predictor per row) or (p, K, L), and
// starts_a0 (L,) or (K, L) with the same L >= 1; starts_a0 needs
// starts_beta.
void check_starts(const FitChoices& c, std::size_t p, std::size_t nk, bool wide,
                  const std::string& fam) {
    if (!c.starts_beta) {
        if (c.starts_a0)
            throw PreconditionError("starts_a0 needs starts_beta (the coefficients of each start)");
        return;
    }
    const auto& s = c.starts_beta->shape;
    const std::string P = std::to_string(p), K = std::to_string(nk);
    const bool ok = wide ? s.size() == 3 && s[0] == p && s[1] == nk && s[2] >= 1
                         : s.size() == 2 && s[0] == p && s[1] >= 1;
    if (!ok)
        throw PreconditionError("starts_beta has shape " + shape_text(*c.starts_beta) + " but " +
                                fam + (wide ? "(p, K, L) = (" + P + ", " + K + ", L)"
                                            : "(p, L) = (" + P + ", L)") +
                                ", one start per penalty value");
    const std::size_t L = s.back();
    require(c.starts_beta->values.size() == checked_size(checked_size(p, nk), L),
            "a table's values and shape differ");
    if (!c.starts_a0) return;
    const auto& a = c.starts_a0->shape;
    const bool a_ok = wide ? a.size() == 2 && a[0] == nk && a[1] == L : a.size() == 1 && a[0] == L;
    if (!a_ok)
        throw PreconditionError("starts_a0 has shape " + shape_text(*c.starts_a0) + " but " + fam +
                                (wide ? "(K, L) = (" + K + ", " + std::to_string(L) + ")"
                                      : "(L,) = (" + std::to_string(L) + ",)") +
                                ", L as in starts_beta");
    require(c.starts_a0->values.size() == checked_size(nk, L), "a table's values and shape differ");
}

}  // namespace

// The family's row (a PreconditionError listing the known names).
const FamilyEntry& known_family(const std::string& name) {
    const FamilyEntry* e = family_named(name);
    if (!e)
        throw PreconditionError("unknown family " + quoted(name) + "; expected " + family_names());
    return *e;
}

void check_tables(FitChoices& c, std::uint64_t nobs, std::uint64_t nvars, std::size_t nk) {
    const Width width = with_loss(known_family(c.family), std::nullopt,
                                  [](auto l) { return decltype(l)::width; });
    const bool wide = width != Width::one;
    const std::size_t n = nobs, p = nvars;
    const std::string per_class =
        width == Width::classes ? " (one column per class of y, K = " + std::to_string(nk) + ")"
        : width == Width::responses
            ? " (one column per response in y, K = " + std::to_string(nk) + ")"
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
    check_starts(c, p, nk, wide, fam);
    if (c.strata && c.strata->size() != n)
        throw PreconditionError("strata has " + std::to_string(c.strata->size()) +
                                " entries but x has " + std::to_string(n) + " rows");
    if (c.entry && c.entry->size() != n)
        throw PreconditionError("entry has " + std::to_string(c.entry->size()) +
                                " entries but x has " + std::to_string(n) + " rows");
    if (c.feature_groups && c.feature_groups->size() != p)
        throw PreconditionError("feature_groups has " + std::to_string(c.feature_groups->size()) +
                                " labels but x has " + std::to_string(p) + " columns");
    if (c.feature_groups)
        for (const std::uint64_t g : *c.feature_groups)
            if (g >= p)
                throw PreconditionError("feature_groups holds the label " + std::to_string(g) +
                                        "; the labels are 0, 1, ..., G - 1 with G <= p = " +
                                        std::to_string(p));
}

SolverKind check_choices(const FitChoices& c, bool dense, std::uint64_t nobs, std::uint64_t nvars) {
    const FamilyEntry& family = known_family(c.family);
    const auto named = solver_named(c.solver);
    if (!named)
        throw PreconditionError("unknown solver " + quoted(c.solver) +
                                "; expected 'auto', 'naive' or 'covariance'");
    if (c.n_threads && *c.n_threads == 0) throw PreconditionError("n_threads must be at least 1, got 0");
    const auto ties = ties_named(c.ties);
    with_loss(family, std::nullopt, [&](auto l) {
        using L = decltype(l);
        if (c.feature_groups && c.grouped)
            throw PreconditionError("grouped=True and feature_groups both group the coefficients: "
                                    "give feature_groups alone (a group of one column with "
                                    "l1_within=0 is grouped=True's penalty of that column)");
        if (!(c.l1_within >= 0.0 && c.l1_within <= 1.0))
            throw PreconditionError("l1_within must be in [0, 1], got " +
                                    format_number(c.l1_within));
        if (c.grouped && L::grouping == Grouping::never)
            throw PreconditionError("grouped=True needs family=\"multinomial\", but family is " +
                                    quoted(c.family));
        if (!ties)
            throw PreconditionError("unknown ties " + quoted(c.ties) +
                                    "; expected 'breslow' or 'efron'");
        if ((*ties != Ties::breslow || c.strata || c.entry) && !L::coupled_rows)
            throw PreconditionError(std::string(c.strata  ? "strata"
                                                : c.entry ? "entry"
                                                          : "ties=\"efron\"") +
                                    " needs family=\"cox\", but family is " + quoted(c.family));
        if (c.standardize_response && !L::shared_products)
            throw PreconditionError(
                "standardize_response=True needs family=\"multitask\", but family is " +
                quoted(c.family));
        refuse_parameters(family, c);
        L::check_options(c);
    });
    // Every family but the cox family (its risk sets tie the rows together)
    // fits through either solver; "auto" takes the covariance solver for
    // least squares only, and leaves every other loss on the naive one,
    // which was faster at every shape measured (the covariance solver forms
    // the strong set's products at each reweighting, about one coordinate
    // pass's worth of work apart).
    return with_loss(family, glm_model(family, c), [&](auto l) {
        using L = decltype(l);
        const SolverKind solver =
            *named != SolverKind::Auto
                ? *named
                : auto_solver(L::least_squares || L::shared_products, dense, nobs, nvars);
        if (solver == SolverKind::Covariance && L::coupled_rows)
            throw PreconditionError("solver 'covariance' fits every family but the cox family, "
                                    "whose risk sets couple the rows; use solver 'naive' "
                                    "(which 'auto' chooses for it)");
        if (solver == SolverKind::Covariance && !dense)
            throw PreconditionError("solver 'covariance' fits a dense x only");
        return solver;
    });
}

bool checks_x_in_products(const FitRequest& request, SolverKind solver) {
    if (solver != SolverKind::Covariance || !std::holds_alternative<DenseMatrix>(request.x) ||
        request.nvars > covariance_all_at_once)
        return false;
    const FamilyEntry& family = known_family(request.choices.family);
    return with_loss(family, glm_model(family, request.choices),
                     [](auto l) { return decltype(l)::least_squares; });
}

FitOutcome fit(FitRequest request, const Interrupt& interrupt) {
    const bool dense = std::holds_alternative<DenseMatrix>(request.x);
    const SolverKind solver = check_choices(request.choices, dense, request.nobs, request.nvars);
    if (request.x_unchecked && !checks_x_in_products(request, solver)) {
        require_finite(std::get<DenseMatrix>(request.x).strided(), interrupt);
        request.x_unchecked = false;
    }
    return solve_request(std::move(request), solver, interrupt);
}

namespace {

// A huge theta, a huge offset (at +-20 a logistic mean is within 2e-9 of
// 0 or 1, beyond the binomial's clamp at pmin = 1e-9).  The advice: the
// offset when it is huge, the poisson family for a huge theta (or for huge
// counts under the negative binomial), y when it is huge, else the offset
// when there is one, else y.
constexpr double theta_beyond_poisson = 1e6;
constexpr double offset_beyond_precision = 20.0;
// A huge y (blamed before a moderate offset).
constexpr double y_beyond_precision = 1e6;

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
