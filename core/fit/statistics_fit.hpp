// A fit from the statistics of the rows instead of the rows themselves:
// least squares from the merged sums of its blocks (one pass over the
// data), the reweighting families from the moments of the columns and a
// source of passes over the rows (one per reweighting step), each summing
// the family's per-row maths wherever the rows are.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "base/interrupt.hpp"
#include "data/statistics.hpp"
#include "losses/glm.hpp"
#include "fit/fit.hpp"
#include "fit/registry.hpp"
#include "fit/row_statistics.hpp"

namespace varnel_core {

// The statistics of all the rows (the response as column p: for least
// squares y less its offset), and for the reweighting families the passes
// over the rows and the weighted mean response (sum_i w_i y_i / W; each
// class's share of the weight for the multinomial family, K values; empty:
// from the response's column).  The offset of a reweighting family lives
// in the passes; the weights live in the sums.  A family by variance and
// link with an offset and an intercept starts its null model's scoring
// from the offset's summary (over all the rows: sum_i w_i o_i with the
// caller's weights, the smallest and the largest o_i).
struct OffsetSummary {
    double weighted_sum = 0.0;
    double min = 0.0;
    double max = 0.0;
};
struct StatisticsRequest {
    RowStatistics stats;
    Vec response_means;
    RowPasses* rows = nullptr;
    std::optional<OffsetSummary> offset;
    FitChoices choices;
    FitConfig config;
};

// The path of the request, as fit() gives it for the same rows with the
// covariance solver: the same options, path rules, checks and result.
// Preconditions (a PreconditionError naming the option): the choices
// (check_choices; the solver "auto" or "covariance"), no `weights` or
// `offset` option (they are in the statistics), statistics of one shape,
// products formed for least squares, passes for the other families, a start
// of nvars coefficients (nvars x K) and K intercepts.
FitOutcome fit_statistics(StatisticsRequest request, const Interrupt& interrupt = {});

// Whether the family's loss (under the link, power and theta of `choices`)
// sums over the rows: a fit from statistics then takes passes over them,
// and a block pass can sum it.  Least squares (one response or K) needs
// the products alone; the cox family's rows do not sum.
bool sums_over_rows(const FamilyEntry& family, const FitChoices& choices);

// A block's sums for a pass of a reweighting family: the rows (x, y, the
// weights w divided by `total`, the offset: empty or n x K) at the iterate
// (coefficients of the standardized columns, variable-major, and K
// intercepts), with the products of `cols`; the family's per-row maths is
// F::over_block's (GlmFamily's under `model`, a family by variance and
// link).  What RowPasses::evaluate returns summed over every block, and the
// block's saturated loss when asked for; with `rows`, the family's working
// weights v and residuals r themselves (n x K, row-major), for a caller
// that forms the sums of another layout of x from them.  No weight may be
// negative (check_weights).
struct BlockPass {
    const FamilyEntry& family;
    std::optional<GlmModel> model;
    std::size_t classes = 1;
    StridedMatrix x;
    std::span<const double> y;
    std::span<const double> w;
    double total = 1.0;
    std::span<const double> offset;
    std::span<const double> centre;
    std::span<const double> scale;
    std::span<const double> coef;
    std::span<const std::size_t> active;
    std::span<const double> b0;
    std::span<const std::size_t> cols;
};
// The working weights and residuals of a block's rows (see block_pass).
struct BlockRows {
    Vec v;
    Vec r;
};
RowSums block_pass(const BlockPass& pass, const FitConfig& config,
                   double* saturated_loss = nullptr, const Interrupt& interrupt = {},
                   BlockRows* rows = nullptr);

}  // namespace varnel_core
