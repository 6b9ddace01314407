// The design fed by sufficient statistics: gradients, products and sums of
// the standardized columns kept in p-space, taken from a source that may
// hold X (in memory) or never see it (sums formed elsewhere, over blocks of
// rows).  It never reads X itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/interrupt.hpp"
#include "base/numeric.hpp"

namespace varnel_core {

// Sums over the rows at one linear predictor, for the standardized columns
// z_j = (x_j - centre_j) / scale_j, p variables and K predictors, with
// working weights v and residuals r (n x K): predictor k's entries are at
// k * p + j (class-major).
//   gradient       <z_j, r_.k>
//   weighted       <z_j, v_.k>            (empty: weights fixed, no intercept steps)
//   weight_sums    sum_i v_ik
//   residual_sums  sum_i r_ik
//   products       <z_j, v_.k z_c> for the requested columns c = cols[t], at
//                  (t * K + k) * p + j
//   loss           the family's loss sum_i w_i l_i at this linear predictor
// Sums of blocks of rows add up entry by entry (add()).
struct RowSums {
    Vec gradient;
    Vec weighted;
    Vec weight_sums;
    Vec residual_sums;
    Vec products;
    double loss = 0.0;

    // Zeros for p variables, K predictors and `ncols` product columns.
    void reset(std::size_t p, std::size_t width, std::size_t ncols);
    // Adds another block's sums (of the same shape).
    void add(const RowSums& other);
};

// Where a statistics design takes its sums from.  A source of fixed weights
// (least squares) answers only products(); a reweighting source also
// evaluates the family at the null model and at each new iterate.
class StatisticsSource {
public:
    virtual ~StatisticsSource() = default;
    // <z_j, v_.k z_c> at the current weights for c in cols, at (t * K + k) * p + j.
    virtual void products(std::span<const std::size_t> cols, double* out) = 0;
    // The null model's intercepts (K) and its sums, with the products of
    // `cols`; the family is told what it needs.
    virtual Vec null_model(std::span<const std::size_t> cols, RowSums& sums);
    // The sums at eta = offset + b0 + sum over active j of b_j. z_j (the
    // coefficients variable-major, variable j's K at j * K), with the
    // products of `cols` at the new weights; true when the working weights
    // vanished (a saturated fit: the sums are then not needed).
    virtual bool refit(std::span<const double> coef, std::span<const std::size_t> active,
                       std::span<const double> b0, std::span<const std::size_t> cols,
                       RowSums& sums);
};

// Passes over the rows: the sums at an iterate, and products at the
// weights of the last pass.
class RowPasses {
public:
    virtual ~RowPasses() = default;
    // RowSums at eta = offset + b0 + sum over active j of coef_j. z_j, with
    // the products of `cols`.
    virtual void evaluate(std::span<const double> coef, std::span<const std::size_t> active,
                          std::span<const double> b0, std::span<const std::size_t> cols,
                          RowSums& sums) = 0;
    virtual void products(std::span<const std::size_t> cols, double* out) = 0;
    // The standardization of the columns, z_j = (x_j - centre_j) / scale_j,
    // told once before the first pass (the in-memory passes know it already).
    virtual void standardize(std::span<const double> centre, std::span<const double> scale) {}
    // The saturated model's loss over all rows.
    virtual double saturated_loss() = 0;
    // Passes over the data so far.
    virtual std::uint64_t count() const = 0;
};

// The engine's design over statistics.  For the standardized columns z_j
// and the current residual r it keeps g_j. = <z_j, r_.>, and for the
// variables whose products are formed the columns C_k[:, j] = Z'V_k z_j.
// A step of delta on b_j. moves every g_.k by -delta_k C_k[:, j] (and, with
// intercept steps, sum_i r_ik by -delta_k <z_j, v_.k>); an intercept step of
// d moves g_.k by -d_k <z_., v_.k>.  A coordinate step costs O(p K),
// independent of n.
//
// Products are formed for a batch of columns when variables join the strong
// set: those variables and, to spare later passes over the data, the
// likeliest next entrants (the largest gradients outside the strong set),
// the batches growing geometrically.  A reweighting source re-forms every
// formed column at each refit, at the new weights.
//
// With fixed weights and K responses (multi-response least squares) the K
// predictors share one column of products, C[:, j] = Z'W z_j, and a step of
// d on b_j. moves g_.k by -d_k C[:, j].
//
// Reproducibility: the bits are those of the source's sums and of the
// fixed order of the updates (see data/memory_sources.hpp).
class StatisticsDesign {
public:
    // Fixed weights (least squares, K = 1): the gradients at b = 0; products
    // from the source as variables become strong.
    StatisticsDesign(StatisticsSource& source, const Flags& include, Vec gradient,
                     const Interrupt& interrupt, std::size_t min_batch = 32);
    // Fixed weights with every product given: `products` is C, p x p column-major.
    StatisticsDesign(Vec products, const Flags& include, Vec gradient, const Interrupt& interrupt);
    // Fixed weights shared by K responses: `gradient` holds <z_j, r_.k> at
    // b = 0 (at k * p + j); products from the source as variables become
    // strong, or every one given (`products`: C, p x p column-major).
    StatisticsDesign(StatisticsSource& source, const Flags& include, Vec gradient,
                     std::size_t responses, const Interrupt& interrupt, std::size_t min_batch = 32);
    StatisticsDesign(Vec products, const Flags& include, Vec gradient, std::size_t responses,
                     const Interrupt& interrupt);
    // A reweighting source with K predictors: the sums come from its null
    // model (null_model(), which the engine calls first).
    StatisticsDesign(StatisticsSource& source, const Flags& include, std::size_t width,
                     const Interrupt& interrupt, std::size_t min_batch = 32);

    std::size_t width() const { return nk_; }
    std::size_t step_work() const { return g_.size(); }

    double gradient(std::size_t j) const { return g_[j]; }
    void gradient(std::size_t j, std::span<double> out) const;
    void defer(std::size_t j, double delta);
    void defer(std::size_t j, std::span<const double> delta);
    void flush() {}
    void abs_gradients(const Flags& include, const Flags* skip, std::span<double> out) const;
    template <class Magnitude>
    void abs_gradients(const Flags& include, const Flags* skip, std::span<double> out,
                       Magnitude&& magnitude) const {
        Vec g(nk_);
        for (std::size_t j = 0; j < nvars_; ++j) {
            if (!include[j] || (skip && (*skip)[j])) continue;
            gradient(j, g);
            out[j] = magnitude(std::span<const double>(g));
        }
    }
    // out_jk = C_k[j, j] for flagged j (formed: the strong set)
    void curvatures(const Flags& flags, std::span<double> out) const;
    double residual_sum() const { return rsum_[0]; }
    void residual_sum(std::span<double> out) const;
    void subtract_weights(double d) { subtract_weights(std::span<const double>(&d, 1)); }
    void subtract_weights(std::span<const double> d);
    // Forms the products of the strong variables that have none yet.
    void strong_set_grew(const Flags& strong);

    // The engine's reweighting through the source.
    Vec null_model();
    bool refit(std::span<const double> coef, std::span<const std::size_t> active,
               std::span<const double> b0);

    // Columns formed so far (for the tests).
    std::size_t formed() const { return formed_.size(); }

private:
    void take(RowSums& sums);
    // C_k[:, j] of the variable formed in `slot` (one column for every k
    // when the weights are shared).
    const double* column(std::ptrdiff_t slot, std::size_t k) const {
        const std::size_t s = static_cast<std::size_t>(slot);
        return products_.data() + (per_slot_ == 1 ? s : s * per_slot_ + k) * nvars_;
    }

    StatisticsSource* source_ = nullptr;
    const Flags& include_;
    std::size_t nvars_;
    std::size_t nk_ = 1;
    std::size_t per_slot_ = 1;            // product columns per formed variable: K, or 1 if shared
    std::size_t min_batch_;
    Vec g_;                               // <z_j, r_.k> at k * p + j
    Vec zv_;                              // <z_j, v_.k> at k * p + j (reweighting only)
    Vec rsum_;                            // sum_i r_ik
    Vec vsum_;                            // sum_i v_ik
    std::vector<std::ptrdiff_t> slot_;    // the formed column of variable j, or -1
    std::vector<std::size_t> formed_;     // variable of each formed column, in slot order
    Vec products_;                        // slot s, class k at (s * K + k) * p (shared: s * p)
    std::vector<std::size_t> batch_;      // scratch for one batch
    RowSums sums_;                        // scratch for a refit
    const Interrupt& interrupt_;
};

}  // namespace varnel_core
