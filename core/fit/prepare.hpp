// The one preparation of a fit's inputs before its path starts, whatever
// stores the rows: include flags (constant columns, exclude), penalty
// factors, coefficient limits, observation weights, the standardization
// with the limits brought to its scale, and the start on the engine's
// scale.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/config.hpp"
#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "data/dense.hpp"
#include "losses/family.hpp"
#include "solver/parts.hpp"
#include "fit/standardize.hpp"
#include "solver/group_penalty.hpp"

namespace varnel_core {

// Penalty factors scaled to sum to nvars; negative and NaN entries become 0,
// and so do infinite ones, whose variables apply_exclude leaves out.  Fails
// with NonPositivePenalties when none is > 0.
std::variant<Vec, FitError> normalize_penalty(const FitConfig& config, std::size_t nvars);

struct Limits {
    Vec lower;
    Vec upper;
};

// Box limits with infinities replaced by -big / +big.  Fails with
// PositiveLowerLimit, then NegativeUpperLimit.  A limit of exactly 0 sets
// constants.min_dev_change to 0.
std::variant<Limits, FitError> box_limits(const FitConfig& config, std::size_t nvars,
                                          WorkingConstants& constants);

struct Weights {
    Vec raw;      // the caller's weights (or ones)
    double sum;   // sum of raw, in index order
    Vec norm;     // raw / sum
};

// No weight may be negative: a PreconditionError naming the first (the
// entry points that mend them set negative weights to 0 first).  Every
// route that reads weights, from rows in memory or from blocks of rows,
// checks them here.
void check_weights(std::span<const double> weights);

// The weights of every row (ones without `weights`), checked
// (check_weights), their sum (check_weight_total) and the weights
// normalized to sum 1.
std::variant<Weights, FitError> prepare_weights(const FitConfig& config, std::size_t nobs);

// The sum of the weights, wherever it was summed: NonPositiveWeightSum when
// it is <= 0, and the data overflow when it is not finite.
std::optional<FitError> check_weight_total(double total);

// Clears the include flag of every variable listed in `exclude` (indices of
// nvars or more are ignored) and of every variable whose penalty factor is
// infinite.
void apply_exclude(const FitConfig& config, Flags& include);
bool any_flag(const Flags& include);

// Everything the path reads, prepared before it starts.  st.x_sumsq holds
// the fixed curvatures of a design that has them (least squares, K
// responses), empty otherwise; st.y_scale is 1 unless the response was
// scaled (one-response least squares).
struct Prepared {
    Flags include;
    Vec penalty;
    Limits limits;  // on the standardized scale once prepared
    Weights weights;
    Standardization st;
    double nulldev = 0.0;  // least squares: with the caller's weights
};

// The rows of a matrix M (rows(), cols(), at(i, j)) as the preparation
// reads them: which columns vary, the weights, and which columns vary on
// the rows of positive weight.  A fit from statistics answers the same
// three from its sums.
template <class M>
struct MatrixColumns {
    const M& x;
    Flags varying(const Interrupt& interrupt) const { return varying_columns(x, interrupt); }
    std::variant<Weights, FitError> weights(const FitConfig& config) const {
        return prepare_weights(config, x.rows());
    }
    void clear_weighted(const Weights& w, Flags& include, const Interrupt& interrupt) const {
        clear_weighted_constants(x, w.norm, include, interrupt);
    }
};

// Limits to the standardized scale: divided by y_scale, times x_scale when
// standardizing.
void scale_limits(Prepared& p, bool standardize);

// The columns' centres and scales into p.st from their weighted means and
// variances (scales_from_moments; `second` their uncentred sums of squares
// when the storage has them); no fault of its own (nullopt).
std::optional<FitError> standardize_from_moments(Prepared& p, std::span<const double> mean,
                                                 std::span<const double> var, double total,
                                                 const FitConfig& config,
                                                 std::span<const double> second = {});

// The preparation, in this order: the columns that vary, exclude, penalty
// factors, limits, weights, the columns that vary on the rows of positive
// weight, then `standardize(p)` (filling p.st, clearing the flags of the
// columns whose scale is 0, or returning a FitError) and the limits on its
// scale.  Every route prepares through here.
template <class Columns, class Standardize>
std::variant<Prepared, FitError> prepare(const Columns& rows, std::size_t nvars,
                                         const FitConfig& config, WorkingConstants& constants,
                                         const Interrupt& interrupt, Standardize&& standardize) {
    Prepared p;
    p.include = rows.varying(interrupt);
    apply_exclude(config, p.include);
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    auto pen = normalize_penalty(config, nvars);
    if (auto* e = std::get_if<FitError>(&pen)) return *e;
    auto lim = box_limits(config, nvars, constants);
    if (auto* e = std::get_if<FitError>(&lim)) return *e;
    auto w = rows.weights(config);
    if (auto* e = std::get_if<FitError>(&w)) return *e;
    p.penalty = std::move(std::get<Vec>(pen));
    p.limits = std::move(std::get<Limits>(lim));
    p.weights = std::move(std::get<Weights>(w));
    rows.clear_weighted(p.weights, p.include, interrupt);
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    if (std::optional<FitError> e = standardize(p)) return *e;
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    scale_limits(p, config.standardize);
    return p;
}

// The start on the engine's scale: b_jk x_scale_j / s_k (s the responses'
// scales, none: 1), and the intercepts a0_k + sum_j b_jk x_mean_j (the
// engine's predictors are centred); nullopt without start_beta and
// start_a0 (or without start_beta when `coef_only`).
struct StartValues {
    Vec coef;
    Vec intercepts;
};
std::optional<StartValues> engine_start(const FitChoices& choices, std::span<const double> x_mean,
                                        std::span<const double> x_scale, std::size_t nk,
                                        std::span<const double> response_scales, bool coef_only);

// The groups of the sparse-group penalty from one label per variable
// (0, 1, ..., G - 1): each group's included variables, its penalty factor
// (its variables', which they share) and its size weight, sqrt of the
// number of variables labelled with it (or 1 without `size_weight`).
GroupTable group_table(std::span<const std::uint64_t> labels, const Flags& include,
                       std::span<const double> penalty, bool size_weight);

// The per-penalty starts (starts_beta, starts_a0) on the engine's scale as
// engine_start maps one start: start l of the first L penalty values in
// `starts`, reading coef and intercepts (empty without starts_beta).
struct StartTable {
    Vec coef;        // L x p x K
    Vec intercepts;  // L x K
    std::vector<WarmStart> starts;
};
StartTable engine_starts(const FitChoices& choices, std::span<const double> x_mean,
                         std::span<const double> x_scale, std::size_t nk,
                         std::span<const double> response_scales, bool coef_only);

// The rows a loss is fitted to: the response, the prepared weights, and the
// offset, which enters the linear predictor there (RowData::offset) and
// nowhere else.
RowData rows_of(std::span<const double> y, const std::optional<Table>& offset,
                const Weights& weights);

// Least squares fits y less the offset: subtracted here, once, and the
// offset dropped.
void subtract_offset(Vec& y, std::optional<Table>& offset);

}  // namespace varnel_core
