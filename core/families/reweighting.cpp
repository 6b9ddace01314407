#include "families/reweighting.hpp"

#include <tuple>

#include "fit/standardize.hpp"

namespace varnel_core {

namespace {

// The steps common to both inputs, in their fixed order; `flags()` gives the
// constant-column flags, `clear_weighted(w, include)` drops the columns that
// vary only on rows of weight 0, and `standardize(w, include)` returns the
// column means and scales.
template <class Flags_, class ClearWeighted, class Standardize>
std::variant<GlmInputs, FitError> prepare_inputs(std::uint64_t nobs, std::uint64_t nvars,
                                                 const FitConfig& config,
                                                 WorkingConstants& constants, Flags_&& flags,
                                                 ClearWeighted&& clear_weighted,
                                                 Standardize&& standardize) {
    GlmInputs p;
    p.include = flags();
    apply_exclude(config, p.include);
    if (!any_flag(p.include)) return FitError::AllPredictorsExcluded;
    auto pen = normalize_penalty(config, nvars);
    if (auto* e = std::get_if<FitError>(&pen)) return *e;
    p.penalty = std::move(std::get<Vec>(pen));
    auto w = prepare_weights(config, nobs);
    if (auto* e = std::get_if<FitError>(&w)) return *e;
    p.weights = std::move(std::get<Weights>(w));
    clear_weighted(p.weights.norm, p.include);
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

}  // namespace

std::variant<GlmPrepared, FitError> prepare_glm(DesignInput input, std::uint64_t nobs,
                                                std::uint64_t nvars, const FitConfig& config,
                                                WorkingConstants& constants) {
    if (auto* dense = std::get_if<DenseInput>(&input)) {
        require(dense->x.size() == checked_size(nobs, nvars), "x must have nobs * nvars entries");
        DenseGlm x(std::move(dense->x), nobs, nvars);
        auto in = prepare_inputs(
            nobs, nvars, config, constants, [&] { return chkvars(x); },
            [&](const Vec& w, Flags& inc) { clear_weighted_constants(x, w, inc); },
            [&](const Vec& w, Flags& inc) {
                return standardize_lognet(x, w, config.standardize, config.intercept, inc);
            });
        if (auto* e = std::get_if<FitError>(&in)) return *e;
        return GlmPrepared{std::move(std::get<GlmInputs>(in)), std::move(x), nobs};
    }
    auto& csc = std::get<CscInput>(input);
    if (auto problem = csc_problem(csc.col_ptr, csc.row_idx, csc.values.size(), nobs, nvars))
        throw PreconditionError(*problem);
    auto in = prepare_inputs(
        nobs, nvars, config, constants,
        [&] { return chkvars_sparse(csc.col_ptr, csc.values, nobs); },
        [&](const Vec& w, Flags& inc) {
            clear_weighted_constants_sparse(csc.col_ptr, csc.row_idx, csc.values, w, inc);
        },
        [&](const Vec& w, Flags& inc) {
            return standardize_sparse_glm(csc.col_ptr, csc.row_idx, csc.values, w,
                                          config.standardize, config.intercept, inc);
        });
    if (auto* e = std::get_if<FitError>(&in)) return *e;
    return GlmPrepared{std::move(std::get<GlmInputs>(in)), std::move(csc), nobs};
}

}  // namespace varnel_core
