// What the reweighting families (logistic, Poisson) share around the engine:
// the preparation of their inputs on a dense or a sparse design, and the
// path with its result.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "control.hpp"
#include "designs.hpp"
#include "engine.hpp"
#include "prepare.hpp"
#include "sequence.hpp"
#include "store.hpp"

namespace varnel_core {

// The predictors of a fit: a column-major buffer (nobs * nvars values) or
// compressed sparse columns.
struct DenseInput {
    Vec x;
};
struct CscInput {
    Index col_ptr;
    Index row_idx;
    Vec values;
};
using DesignInput = std::variant<DenseInput, CscInput>;

// Inputs of a reweighting path, prepared in this order: include flags
// (constant columns, exclude), penalty factors, weights, limits, the
// standardization and the limits brought to its scale.
struct GlmInputs {
    Flags include;
    Vec penalty;
    Limits limits;
    Weights weights;
    Vec x_mean;
    Vec x_scale;
};

// The design of a reweighting path over either kind of input.
using GlmDesign = std::variant<DenseWorkingDesign, SparseWorkingDesign>;

struct GlmPrepared {
    GlmInputs in;
    std::optional<GlmDesign> design;
};

std::variant<GlmPrepared, FitError> prepare_glm(DesignInput x, std::uint64_t nobs,
                                                std::uint64_t nvars, const FitConfig& config,
                                                WorkingConstants& constants);

// Walks the path of family F (already at its null model on `design`) and
// assembles the result; `nulldev` is the null deviance on the caller's
// weight scale and `form` how the intercept maps back.
template <class F, class D>
PathResult reweighting_path(F& family, D& design, const GlmInputs& in, const FitConfig& cfg,
                            const WorkingConstants& wc, PenaltySequence& seq, double nulldev,
                            InterceptForm form, const Interrupt& interrupt) {
    const std::size_t nvars = in.include.size();
    const PathRules rules{cfg.alpha, cfg.maxit, cfg.dfmax, cfg.pmax, wc.max_dev_ratio, interrupt};
    Engine engine(family, design,
                  Coordinates{in.include, in.penalty, in.limits.lower, in.limits.upper}, rules,
                  std::span<const double>(), family.initial_intercept(), cfg.intercept);
    SolutionStore store(static_cast<std::size_t>(std::min<std::uint64_t>(nvars, cfg.pmax)),
                        seq.size());
    const PathEnd end = engine.walk(seq, store);
    const Assembly how{nvars, 1.0, 1.0, in.x_mean, in.x_scale, cfg.intercept, form,
                       seq.generated()};
    PathResult r = store.assemble(end.lmu, engine.active(), how);
    r.nulldev = nulldev;
    r.npasses = engine.npasses();
    r.warning = end.warning;
    r.lambda_max = engine.lambda_max();
    return r;
}

// Calls f with the prepared design as its concrete type.
template <class Fn>
decltype(auto) with_design(GlmDesign& design, Fn&& f) {
    return std::visit(std::forward<Fn>(f), design);
}

// The offset, or nothing.
inline std::span<const double> offset_or_empty(const Vec* offset) {
    return offset ? std::span<const double>(*offset) : std::span<const double>();
}

}  // namespace varnel_core
