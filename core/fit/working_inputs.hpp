// What every path of a reweighting family prepares before it starts,
// whichever design it runs on: include flags, penalty factors, weights,
// limits, the standardization, and the start on the engine's scale.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <tuple>
#include <utility>
#include <variant>

#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "losses/family.hpp"
#include "fit/fit.hpp"
#include "fit/prepare.hpp"

namespace varnel_core {

// The inputs of the path, prepared in this order: include flags (constant
// columns, exclude), penalty factors, weights, limits, the standardization
// and the limits brought to its scale.
struct Inputs {
    Flags include;
    Vec penalty;
    Limits limits;
    Weights weights;
    Vec x_mean;
    Vec x_scale;
};

// The inputs over a matrix M (rows(), cols(), at(i, j)); `standardize(w,
// include)` gives (x_mean, x_scale) for the normalized weights and clears
// the flags of the columns whose scale is 0.
template <class M, class Standardize>
std::variant<Inputs, FitError> prepare_inputs(const M& x, const FitConfig& config,
                                              WorkingConstants& constants,
                                              const Interrupt& interrupt,
                                              Standardize&& standardize) {
    const std::size_t nobs = x.rows(), nvars = x.cols();
    Inputs p;
    p.include = varying_columns(x, interrupt);
    apply_exclude(config, p.include);
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    auto pen = normalize_penalty(config, nvars);
    if (auto* e = std::get_if<FitError>(&pen)) return *e;
    p.penalty = std::move(std::get<Vec>(pen));
    auto w = prepare_weights(config, nobs);
    if (auto* e = std::get_if<FitError>(&w)) return *e;
    p.weights = std::move(std::get<Weights>(w));
    clear_weighted_constants(x, p.weights.norm, p.include, interrupt);
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    auto lim = box_limits(config, nvars, constants);
    if (auto* e = std::get_if<FitError>(&lim)) return *e;
    p.limits = std::move(std::get<Limits>(lim));
    std::tie(p.x_mean, p.x_scale) = standardize(p.weights.norm, p.include);
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    if (config.standardize) {
        for (std::size_t j = 0; j < nvars; ++j) {
            p.limits.lower[j] = p.limits.lower[j] * p.x_scale[j];
            p.limits.upper[j] = p.limits.upper[j] * p.x_scale[j];
        }
    }
    return p;
}

// The start on the engine's scale: b_jk x_scale_j, and the intercepts
// a0_k + sum_j b_jk x_mean_j (the engine's predictors are centred).
struct StartValues {
    Vec coef;
    Vec intercepts;
};
std::optional<StartValues> engine_start(const FitRequest& request, std::span<const double> x_mean,
                                        std::span<const double> x_scale, std::size_t nk);

// The rows a family is fitted to: the request's response and offset, the
// prepared weights.
RowData rows_of(const FitRequest& request, const Weights& weights);

}  // namespace varnel_core
