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

// What the reweighting families share: the working state around the
// linear predictor eta = offset + a0 + x b and the accessors the engine
// reads.  A family derives from it and supplies its null model, refit,
// deviance ratio, step measure and early-stop rule.
class ReweightingFamily {
public:
    static constexpr Schedule schedule{true, false, false};
    static constexpr bool reweights = true;

    double initial_intercept() const { return intercept_; }
    double null_half_dev() const { return null_half_dev_; }
    double conv_thresh() const { return conv_thresh_; }
    double weight_sum() const { return weight_sum_; }
    void on_step(double, double, double) {}
    double stored_intercept(double b0) const { return b0; }

protected:
    ReweightingFamily(std::span<const double> w, std::span<const double> offset, std::size_t n)
        : w_(w), offset_(offset), eta_(n, 0.0) {}

    // eta = offset + (b0 + x b)
    template <class D>
    void predict(const D& design, std::span<const double> coef,
                 std::span<const std::size_t> active, double intercept) {
        design.linear_predictor(coef, active, intercept, eta_);
        if (!offset_.empty())
            for (std::size_t i = 0; i < eta_.size(); ++i) eta_[i] += offset_[i];
    }

    std::span<const double> w_;
    std::span<const double> offset_;
    Vec eta_;
    double intercept_ = 0.0;
    double weight_sum_ = 0.0;
    double conv_thresh_ = 0.0;
    double null_half_dev_ = 0.0;
};

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
