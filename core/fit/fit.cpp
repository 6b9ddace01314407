#include "fit/fit.hpp"

#include <string>
#include <utility>

#include "base/format.hpp"
#include "families/multinomial.hpp"
#include "fit/glm_models.hpp"
#include "fit/least_squares.hpp"
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
    return family == FamilyKind::Gaussian && dense && tall ? SolverKind::Covariance
                                                           : SolverKind::Naive;
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
    const bool multinomial = family_named(c.family) == FamilyKind::Multinomial;
    const std::size_t n = nobs, p = nvars;
    const std::string per_class =
        multinomial ? " (one column per class of y, K = " + std::to_string(nk) + ")" : "";
    const std::string fam = "the " + c.family + " family needs ";
    check_shape(c.offset, "offset", n, nk,
                fam + (multinomial ? "(n, K) = (" + std::to_string(n) + ", " + std::to_string(nk) + ")"
                                   : "(n,) = (" + std::to_string(n) + ",)") + per_class);
    check_shape(c.start_beta, "start_beta", p, nk,
                fam + (multinomial ? "(p, K) = (" + std::to_string(p) + ", " + std::to_string(nk) + ")"
                                   : "(p,) = (" + std::to_string(p) + ",)") + per_class);
    check_intercepts(c.start_a0, nk,
                     fam + (multinomial ? "(K,) = (" + std::to_string(nk) + ",)" : "one number") +
                         per_class);
}

SolverKind check_choices(const FitChoices& c, bool dense, std::uint64_t nobs, std::uint64_t nvars) {
    const auto family = family_named(c.family);
    if (!family)
        throw PreconditionError("unknown family " + quoted(c.family) +
                                "; expected 'gaussian', 'binomial', 'poisson', 'multinomial', "
                                "'gamma', 'inverse_gaussian', 'tweedie' or 'negative_binomial'");
    const auto named = solver_named(c.solver);
    if (!named)
        throw PreconditionError("unknown solver " + quoted(c.solver) +
                                "; expected 'auto', 'naive' or 'covariance'");
    if (c.grouped && *family != FamilyKind::Multinomial)
        throw PreconditionError("grouped=True needs family=\"multinomial\", but family is " +
                                quoted(c.family));
    // Every family, and every model named by its variance and link
    // (fit/glm_models.hpp), fits through either solver; "auto" leaves the
    // models on the naive one, which was faster at every shape measured (the
    // covariance solver forms the strong set's products at each
    // reweighting, about one coordinate pass's worth of work apart).
    const bool model = glm_model(*family, c).has_value();
    const SolverKind solver = *named != SolverKind::Auto ? *named
                              : model ? SolverKind::Naive
                                      : auto_solver(*family, dense, nobs, nvars);
    if (solver == SolverKind::Covariance && !dense)
        throw PreconditionError("solver 'covariance' fits a dense x only");
    return solver;
}

FitOutcome fit(FitRequest request, const Interrupt& interrupt) {
    FitChoices& c = request.choices;
    const bool dense = std::holds_alternative<DenseMatrix>(request.x);
    const SolverKind solver = check_choices(c, dense, request.nobs, request.nvars);
    const auto family = family_named(c.family);
    const bool multinomial = *family == FamilyKind::Multinomial;
    require(request.y.size() == request.nobs, "y must have one entry per row of x");

    const std::size_t n = request.nobs;
    const std::size_t nk = multinomial ? class_count(request.y) : 1;
    check_tables(c, n, request.nvars, nk);

    std::variant<PathResult, FitError> path;
    if (*family == FamilyKind::Gaussian && !glm_model(*family, c)) {
        if (c.offset)
            for (std::size_t i = 0; i < n; ++i) request.y[i] = request.y[i] - c.offset->values[i];
        path = least_squares_path(request, solver == SolverKind::Covariance, interrupt);
    } else {
        path = working_family_path(request, *family, nk, solver == SolverKind::Covariance,
                                   interrupt);
    }
    if (auto* e = std::get_if<FitError>(&path)) return *e;
    return FitResult{std::move(std::get<PathResult>(path)), solver};
}

}  // namespace varnel_core
