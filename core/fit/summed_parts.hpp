// The path of a reweighting loss over summed rows, shared by the
// covariance solver in memory and the fit from statistics: the loss's
// null model, its source of sums, the statistics design and the one solve.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "base/interrupt.hpp"
#include "data/statistics.hpp"
#include "losses/response.hpp"
#include "losses/summed.hpp"
#include "solver/sequence.hpp"
#include "fit/fit.hpp"
#include "fit/prepare.hpp"
#include "fit/registry.hpp"
#include "fit/solve.hpp"

namespace varnel_core {

// A loss whose null intercepts follow from the weighted mean response; a
// guarded loss finds them on all the rows with its halved steps instead
// (the summed source's steps on the intercepts are not guarded).
template <class F>
concept NullFromMeans = requires(std::span<const double> m, const WorkingConstants& wc) {
    F::null_intercepts(m, true, wc);
};

// What the summed path takes from the data besides the passes over its
// rows: the prepared inputs (weights.sum the caller's sum of weights) and
// the weighted mean response (each class's share for K > 1).
struct SummedInputs {
    const Prepared& prepared;
    Vec means;
    // The smallest and largest y on the rows of positive weight, when the
    // loss refuses a constant response (with an intercept) and no one
    // checked it on the rows.
    std::optional<std::pair<double, double>> response_range = std::nullopt;
    // A guarded loss's null intercepts (see NullFromMeans).
    std::optional<Vec> null_intercepts = std::nullopt;
};

// The path of the loss L over `rows`, from the loss over no rows (its rules).
template <class L>
std::variant<PathResult, FitError> summed_path(typename L::Loss rules, RowPasses& rows,
                                               const SummedInputs& in, const SolveOptions& o,
                                               const WorkingConstants& wc, PenaltySequence& seq,
                                               const Interrupt& interrupt) {
    using F = typename L::Loss;
    const FitConfig& cfg = o.config;
    const Prepared& p = in.prepared;
    const std::size_t nk = rules.width();
    std::variant<Vec, FitError> start;
    if constexpr (!NullFromMeans<F>) {
        require(in.null_intercepts.has_value(), "summed path: a guarded family's null model");
        start = *in.null_intercepts;
    } else {
        start = F::null_intercepts(in.means, cfg.intercept, wc);
    }
    if (auto* e = std::get_if<FitError>(&start)) return *e;
    if (in.response_range && cfg.intercept)
        check_response_range(in.response_range->first, in.response_range->second, true);
    rows.standardize(p.st.x_mean, p.st.x_scale);
    SummedFamily<F> family(std::move(rules), nk, p.weights.sum);
    SummedSource<F> source(family, rows, std::move(std::get<Vec>(start)), cfg.intercept);
    StatisticsDesign design(source, p.include, nk, interrupt);
    PathResult r = solve<L::grouping>(family, design, p, o, seq, wc, interrupt);
    r.npasses_data = rows.count();
    return r;
}

}  // namespace varnel_core
