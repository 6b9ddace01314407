// K-class multinomial (softmax) regression: the loss
// -sum_i w_i [sum_k y_ik eta_ik - log sum_k exp(eta_ik)], bounded around the
// current fit by a quadratic with diagonal working weights.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "losses/family.hpp"
#include "base/config.hpp"

namespace varnel_core {

// K = largest code + 1 of the class codes y; throws InputError naming y
// when a value is not a class code (an integer >= 0) or when y holds fewer
// than two classes or a class below K with no observation.
std::size_t class_count(std::span<const double> y);

// Diagonal working curvatures d of one row with class probabilities p (K of
// them; before the factor w_i): the exact diagonal of the row's Hessian
// H = diag(p) - p p^T, widened by 1 + r^2, r = p_(2) / (1 - p_(1)) the second
// largest share over what the largest leaves (r = 0 when p_(1) = 1; 1 - p_(1)
// summed from the other shares):
//   d_k = (1 + r^2) p_k (1 - p_k).
// The exact diagonal is not an upper bound of H: along the difference of two
// classes that share a row, H is up to twice the diagonal (exactly twice for
// two classes, K/(K - 1) times at equal shares).  The factor is 2 when two
// classes hold the row (Gershgorin's 2 p (1 - p), a bound, for K = 2) and
// near 1 when the rest is spread over many classes, where the exact diagonal
// takes the longest steps; the guarded outer iteration (engine.hpp) halves
// a step that overshoots.  The same p gives the same d in every build: the
// rows are independent and the formula is evaluated in one fixed order.
void softmax_curvature(const double* p, double* d, std::size_t K);

// y holds the class codes 0, 1, ..., K - 1 (y_ik below is 1 when observation
// i is of class k), the offset is n x K.  Each outer iteration approximates
// observation i's loss around the current fit by a quadratic with the
// diagonal working weights w_i d_i of softmax_curvature.  The quadratic
// need not majorise the loss, so the step is guarded (guards_steps): an
// outer iteration whose penalized objective falls by less than half of what
// its quadratic promised is halved back.  Working
// weights v_ik = w_i d_ik, residuals r_ik = w_i (y_ik - p_ik), the weights
// w normalized to sum 1; its null scale is half the null deviance per unit
// weight.  The loss sees only differences between the classes
// (shift_invariant).
class MultinomialFamily {
public:
    static constexpr LossKind kind = LossKind::multinomial;
    static constexpr bool block = true;
    static constexpr bool reweights = true;
    static constexpr bool guards_steps = true;
    static constexpr bool shift_invariant = true;
    static constexpr InterceptFit intercept_fit = InterceptFit::by_steps;

    // The family of the prepared rows (y: the class codes, K of them);
    // InputError for a class without an observation of positive weight,
    // NullProbUnderflow for a class whose weighted share is at most pmin.
    static std::variant<MultinomialFamily, FitError> make(RowData rows, std::size_t classes,
                                                          const FitConfig& config,
                                                          const WorkingConstants& constants,
                                                          const Interrupt& interrupt);

    std::size_t width() const { return nk_; }
    std::span<const double> offset() const { return rows_.offset; }
    // The null model: p_ik = pbar_k (1 / K without an intercept) or, with an
    // offset o, p_i. = softmax(o_i. + a0) with a0 solving
    // sum_i w_i (y_ik - p_ik) = 0 for every k (0 without an intercept); the
    // intercepts are centred.
    Vec null_model(std::span<double> v, std::span<double> r);
    bool working(std::span<const double> eta, std::span<double> v, std::span<double> r);
    std::span<const double> weight_sums() const { return weight_sums_; }
    // -sum_i w_i log q_i at the last working(), q_i = p_{i, y_i} kept off 0 and 1
    double loss() const { return loss_; }
    // every linear predictor is a valid one
    bool inside() const { return true; }

    double null_scale() const { return null_half_dev_; }
    void on_step(double, double, double) {}
    void on_step(std::span<const double>, std::span<const double>, std::span<const double>,
                 std::span<const double>) {}
    // (null loss - loss) / (null deviance / 2); the saturated model's loss is 0
    double deviance_ratio() const { return (null_half_dev_ - loss()) / null_half_dev_; }
    double stored_intercept(double b0) const { return b0; }
    double null_deviance() const { return 2.0 * null_half_dev_ * rows_.total; }

    // The saturated model's loss is 0.
    double saturated_loss() const { return 0.0; }
    // Whether working weights summing to these are a saturated fit.
    bool saturated_by(std::span<const double> weight_sums) const;

    // The family over rows without make()'s whole-data checks: over a block
    // of rows whose sums are added elsewhere (losses/summed.hpp), or over
    // no rows, its rules.  working() then never reports saturation (the
    // summed weights decide, saturated_by).
    static MultinomialFamily over_block(RowData rows, std::size_t classes, const FitConfig& config,
                                        const WorkingConstants& constants,
                                        const Interrupt& interrupt);
    // The null model's centred intercepts without an offset, from each
    // class's weighted share (zeros without an intercept); make()'s errors.
    static std::variant<Vec, FitError> null_intercepts(std::span<const double> mean, bool intercept,
                                                       const WorkingConstants& constants);

private:
    // The smallest sum of working weights that is not a saturated fit.
    static double saturation_bound(std::size_t classes, double pmin) {
        return 2.0 * static_cast<double>(classes) * ((1.0 + pmin) * pmin * (1.0 - pmin));
    }
    static std::optional<FitError> check_shares(std::span<const double> pbar,
                                                const WorkingConstants& constants);

    MultinomialFamily(RowData rows, std::vector<std::uint32_t> cls, Vec pbar,
                      const FitConfig& config, const Interrupt& interrupt);
    // p from eta and v_ik = w_i d_ik; the classes' sums of v
    // into weight_sums_ and the loss into loss_; returns the sums' total.
    double reweight(std::span<const double> eta, std::span<double> v);
    void set_residuals(std::span<double> r) const;
    // The intercepts of the null model with an offset, from log pbar.
    void offset_intercepts(Vec& a) const;

    RowData rows_;
    std::vector<std::uint32_t> cls_;
    std::size_t nk_;
    Vec pbar_;
    bool intercept_;
    Vec prob_;  // n x K, row-major, as eta
    Vec weight_sums_;
    // K times the binomial's saturation bound on 2 p (1 - p), the weights
    // of two classes (between p (1 - p) and 2 p (1 - p) for more).
    double min_weight_sum_;
    double pmin_;
    double null_half_dev_ = 0.0;
    double loss_ = 0.0;
    const Interrupt& interrupt_;
};

}  // namespace varnel_core
