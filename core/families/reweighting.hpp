// What the reweighting families (logistic, Poisson, multinomial) share
// around the engine: the preparation of their inputs on a dense or a sparse
// design, and the path with its result.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <variant>

#include "fit/options.hpp"
#include "designs/designs.hpp"
#include "engine/engine.hpp"
#include "fit/prepare.hpp"
#include "engine/sequence.hpp"
#include "engine/store.hpp"

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

// The predictors once prepared: the dense copy centred and scaled in place,
// or the CSC arrays (checked) whose centring and scaling stay implicit.
struct GlmPrepared {
    GlmInputs in;
    std::variant<DenseGlm, CscInput> matrix;
    std::uint64_t nobs;
};

std::variant<GlmPrepared, FitError> prepare_glm(DesignInput x, std::uint64_t nobs,
                                                std::uint64_t nvars, const FitConfig& config,
                                                WorkingConstants& constants);

// The design of a reweighting path over either kind of input: DenseD built
// from the prepared DenseGlm, SparseD from the CSC arrays with the column
// centres and scales; `extra` is passed on to either constructor.  Takes
// the prepared matrix over.
template <class DenseD, class SparseD, class... Extra>
std::variant<DenseD, SparseD> make_design(GlmPrepared& prep, Extra... extra) {
    using Design = std::variant<DenseD, SparseD>;
    if (auto* dense = std::get_if<DenseGlm>(&prep.matrix))
        return Design(std::in_place_type<DenseD>, std::move(*dense), extra...);
    auto& csc = std::get<CscInput>(prep.matrix);
    return Design(std::in_place_type<SparseD>, std::move(csc.col_ptr), std::move(csc.row_idx),
                  std::move(csc.values), prep.in.x_mean, prep.in.x_scale,
                  static_cast<std::size_t>(prep.nobs), extra...);
}

// Walks the path of family F (already at its null model on `design`) and
// assembles the result; `nulldev` is the null deviance on the caller's
// weight scale and `form` how the intercept maps back.
template <class F, class D>
PathResult reweighting_path(F& family, D& design, const GlmInputs& in, const FitConfig& cfg,
                            const WorkingConstants& wc, PenaltySequence& seq, double nulldev,
                            InterceptForm form, const Interrupt& interrupt) {
    const std::size_t nvars = in.include.size();
    const PathRules rules{cfg.alpha, cfg.maxit, cfg.dfmax, cfg.pmax, wc.max_dev_ratio, interrupt};
    auto intercept = [&] {
        if constexpr (F::block) return family.initial_intercepts();
        else return family.initial_intercept();
    };
    Engine engine(family, design,
                  Coordinates{in.include, in.penalty, in.limits.lower, in.limits.upper}, rules,
                  std::span<const double>(), intercept(), cfg.intercept);
    SolutionStore store(static_cast<std::size_t>(std::min<std::uint64_t>(nvars, cfg.pmax)),
                        seq.size(), engine.width());
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
    static constexpr bool block = false;

    double initial_intercept() const { return intercept_; }
    double null_half_dev() const { return null_half_dev_; }
    double conv_thresh() const { return conv_thresh_; }
    double weight_sum() const { return weight_sum_; }
    void on_step(double, double, double) {}
    double stored_intercept(double b0) const { return b0; }

protected:
    ReweightingFamily(std::span<const double> w, std::span<const double> offset, std::size_t n)
        : w_(w), offset_(offset), eta_(n, 0.0) {}

    // eta = offset + (b0 + x b); b0 is one intercept, or the K of a block
    // family (eta and the offset are then n x K, observation-major).
    template <class D, class B0>
    void predict(const D& design, std::span<const double> coef,
                 std::span<const std::size_t> active, B0 intercept) {
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
template <class... Designs, class Fn>
decltype(auto) with_design(std::variant<Designs...>& design, Fn&& f) {
    return std::visit(std::forward<Fn>(f), design);
}

// The offset, or nothing.
inline std::span<const double> offset_or_empty(const Vec* offset) {
    return offset ? std::span<const double>(*offset) : std::span<const double>();
}

}  // namespace varnel_core
