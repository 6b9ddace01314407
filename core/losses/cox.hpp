// Cox proportional hazards: the negative log partial likelihood of survival
// times, reweighted around the current fit by the diagonal of its Hessian.
//
// The response is n x 2 (row-major): the time t_i > 0 and the status d_i
// (1 an event, 0 censored); strata (one label per row, optional) give each
// stratum its own baseline hazard.  With the weights w normalized to sum 1,
// the rows grouped by stratum and time, an event group g (its events D_g of
// weight e_g = sum over D_g of w_i, m_g of them with a positive weight) and
// its risk set R_g (the rows of its stratum with t_i >= t_g, and with
// entry times s_i, counting-process data, only those with s_i < t_g too):
//
//   Breslow:  l(eta) = sum_g [sum_{D_g} w_i eta_i - e_g log S_g],
//             S_g = sum_{R_g} w_j exp(eta_j)
//   Efron:    l(eta) = sum_g [sum_{D_g} w_i eta_i
//                             - (e_g / m_g) sum_{k < m_g} log(S_g - k/m_g E_g)],
//             E_g = sum_{D_g} w_j exp(eta_j)
//
// and the loss is -l(eta).  Working residuals r = dl/deta and working
// weights v = the diagonal of -d2l/deta2; rows of no weight, strata without
// an event and groups whose events have no weight add nothing.  The
// partial likelihood is blind to a common shift of eta within a stratum:
// there is no intercept, and every sum is formed relative to the largest eta
// of its risk set, so that no exponential overflows.  The deviance is
// 2 (l_saturated - l), with l_saturated = -sum_g [e_g log e_g (+ Efron's
// (e_g / m_g) sum_{k < m_g} log(1 - k/m_g))].
//
// With entry times, S_g is the sum over t_i >= t_g less the sum over
// s_i >= t_g (the rows by time and by entry, two running sums per stratum);
// when the difference has cancelled most of the running sum it is formed
// again from the rows at risk.  A row's share of the working residual sums
// the terms of the groups in (s_i, t_i]: those up to t_i less those up to
// s_i.  Without entry times (or with every entry before every time) the
// arithmetic is the one of right-censored data, term for term.  Where that
// difference keeps few digits (an early risk set far smaller than the
// late ones), the row's terms are summed over its own groups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "losses/family.hpp"
#include "base/config.hpp"

namespace varnel_core {

enum class Ties { breslow, efron };
// "breslow", "efron"; nullopt for any other name.
std::optional<Ties> ties_named(std::string_view name);

// Its null scale is half the null deviance per unit weight.
//
// The diagonal of the Hessian need not bound the loss (rows share their
// risk sets), so a reweighting step may overshoot: on wide data it runs off
// to ever larger coefficients.  The family guards its steps (guards_steps,
// solver/engine.hpp): loss() is -l at the last eta, and inside() fails when
// l or the working weights are not finite.
class CoxFamily {
public:
    static constexpr LossKind kind = LossKind::cox;
    static constexpr bool block = false;
    static constexpr bool reweights = true;
    static constexpr bool shift_invariant = false;
    static constexpr bool guards_steps = true;
    static constexpr InterceptFit intercept_fit = InterceptFit::none;

    // InputError naming the first row whose time is not positive and finite
    // or whose status is not 0 or 1 (y: n x 2, row-major).
    static void check_response(std::span<const double> y);
    // InputError naming the first row whose entry time is not finite, is
    // negative or is not before its time (y: n x 2 checked, entry: n).
    static void check_entry(std::span<const double> y, std::span<const double> entry);
    // The family of the prepared rows (`strata` empty, or one label per
    // row; `entry` empty, or one entry time per row); InputError when no
    // event has a positive weight or when the null model already attains
    // the saturated partial likelihood.
    static CoxFamily make(RowData rows, std::span<const std::uint64_t> strata,
                          std::span<const double> entry, Ties ties, const FitConfig& config,
                          const WorkingConstants& constants, const Interrupt& interrupt);

    std::size_t width() const { return 1; }
    std::span<const double> offset() const { return rows_.offset; }
    // The null model eta = offset (0 without one); no intercept.
    double null_model(std::span<double> v, std::span<double> r);
    bool working(std::span<const double> eta, std::span<double> v, std::span<double> r);
    std::span<const double> weight_sums() const { return {&weight_sum_, 1}; }

    double null_scale() const { return null_half_dev_; }
    void on_step(double, double, double) {}
    // (l - l_null) / (l_saturated - l_null)
    double deviance_ratio() const { return (loglik_ - null_loglik_) / null_half_dev_; }
    double stored_intercept(double) const { return 0.0; }
    // The null deviance on the caller's weight scale.
    double null_deviance() const { return 2.0 * null_half_dev_ * rows_.total; }

    // -l per unit weight at the last eta, and whether it and the working
    // weights were finite.
    double loss() const { return -loglik_; }
    bool inside() const { return inside_; }

private:
    CoxFamily(RowData rows, std::span<const std::uint64_t> strata, std::span<const double> entry,
              Ties ties, const Interrupt& interrupt);
    // The groups' leaving rows and each row's entry group (entry times only).
    void order_entries(std::span<const std::uint64_t> strata);
    double time(std::size_t i) const { return rows_.y[2 * i]; }
    bool event(std::size_t i) const { return rows_.y[2 * i + 1] != 0.0; }
    // The rows of a group: order_[group_begin(g) .. group_end_[g]).
    std::size_t group_begin(std::size_t g) const { return g == 0 ? 0 : group_end_[g - 1]; }
    // Risk-set sums of one stratum, latest group first; returns its part of l.
    double risk_sums(std::size_t g0, std::size_t g1, std::span<const double> eta);
    // S_g formed again from the rows at risk, relative to exp(top).
    double risk_at(std::size_t g0, std::size_t g, std::span<const double> eta, double top) const;
    // r and v of the rows of one stratum, earliest group first.
    void stratum_working(std::size_t g0, std::size_t g1, std::span<double> v, std::span<double> r);
    double saturated_loglik() const;

    RowData rows_;
    Ties ties_;
    double min_weight_sum_;
    const Interrupt& interrupt_;
    // Rows by stratum, then by decreasing time (then index): groups of one
    // stratum and time, and strata as ranges of groups.
    std::vector<std::size_t> order_;
    std::vector<std::size_t> group_end_;
    std::vector<std::size_t> stratum_end_;
    // Entry times (empty without): rows by stratum, then by decreasing
    // entry; the rows leaving at group g (s_i >= t_g, and s_i < t_h for
    // every later group h) are entry_order_[leave_begin_[g] .. leave_end_[g]);
    // entry_group_[i] is the latest group of row i's stratum at or before
    // s_i (none: npos); carried_ and carried_sq_ the sums of the working
    // terms up to each group (relative to exp(-top_g), exp(-2 top_g)),
    // term_ and term_sq_ each group's own terms.
    std::span<const double> entry_;
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    std::vector<std::size_t> entry_order_;
    std::vector<std::size_t> leave_begin_;
    std::vector<std::size_t> leave_end_;
    std::vector<std::size_t> entry_group_;
    Vec carried_;
    Vec carried_sq_;
    Vec term_;
    Vec term_sq_;
    Vec event_weight_;                     // e_g
    std::vector<std::uint32_t> event_count_;  // m_g
    // Of the last eta: per row w_i exp(eta_i - top_g) (g its group), per
    // group the risk set's largest eta top_g, S_g and E_g relative to it.
    Vec scaled_;
    Vec top_;
    Vec risk_;
    Vec tied_;
    double weight_sum_ = 0.0;
    double loglik_ = 0.0;
    double null_loglik_ = 0.0;
    double null_half_dev_ = 0.0;
    bool inside_ = true;
};

}  // namespace varnel_core
