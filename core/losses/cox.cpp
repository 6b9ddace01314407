#include "losses/cox.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <numeric>
#include <string>

#include "base/format.hpp"

namespace varnel_core {

std::optional<Ties> ties_named(std::string_view name) {
    if (name == "breslow") return Ties::breslow;
    if (name == "efron") return Ties::efron;
    return std::nullopt;
}

void CoxFamily::check_response(std::span<const double> y) {
    for (std::size_t i = 0; 2 * i + 1 < y.size(); ++i) {
        const double t = y[2 * i], s = y[2 * i + 1];
        if (!(t > 0.0 && std::isfinite(t)))
            throw InputError("the cox family needs positive, finite survival times, but row " +
                             std::to_string(i) + " has time " + format_number(t));
        if (s != 0.0 && s != 1.0)
            throw InputError("the cox family needs a status of 0 (censored) or 1 (event), but row " +
                             std::to_string(i) + " has status " + format_number(s));
    }
}

void CoxFamily::check_entry(std::span<const double> y, std::span<const double> entry) {
    require(y.size() == 2 * entry.size(), "one entry time per row");
    for (std::size_t i = 0; i < entry.size(); ++i) {
        const double s = entry[i], t = y[2 * i];
        if (!std::isfinite(s))
            throw InputError("the cox family needs finite entry times, but row " +
                             std::to_string(i) + " has entry time " + format_number(s));
        if (s < 0.0)
            throw InputError("the cox family needs entry times of 0 or more, but row " +
                             std::to_string(i) + " has entry time " + format_number(s));
        if (!(s < t))
            throw InputError("the cox family needs every row to enter before its time, but row " +
                             std::to_string(i) + " has entry time " + format_number(s) +
                             " and time " + format_number(t));
    }
}

CoxFamily CoxFamily::make(RowData rows, std::span<const std::uint64_t> strata,
                          std::span<const double> entry, Ties ties, const FitConfig& config,
                          const WorkingConstants& constants, const Interrupt& interrupt) {
    CoxFamily family(rows, strata, entry, ties, interrupt);
    double events = 0.0;
    for (const double e : family.event_weight_) events += e;
    if (!(events > 0.0))
        throw InputError("the cox family needs an event: no row with status 1 has a positive "
                         "weight, so there is nothing to fit");
    family.min_weight_sum_ = constants.pmin * events;
    return family;
}

CoxFamily::CoxFamily(RowData rows, std::span<const std::uint64_t> strata,
                     std::span<const double> entry, Ties ties, const Interrupt& interrupt)
    : rows_(rows), ties_(ties), min_weight_sum_(0.0), interrupt_(interrupt), entry_(entry) {
    const std::size_t n = rows.w.size();
    require(rows.y.size() == 2 * n, "a survival response of n x 2 values");
    require(strata.empty() || strata.size() == n, "one stratum per row");
    require(entry.empty() || entry.size() == n, "one entry time per row");
    auto stratum = [&](std::size_t i) { return strata.empty() ? std::uint64_t{0} : strata[i]; };
    order_.resize(n);
    std::iota(order_.begin(), order_.end(), std::size_t{0});
    std::stable_sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) {
        return stratum(a) != stratum(b) ? stratum(a) < stratum(b) : time(a) > time(b);
    });
    for (std::size_t q = 0; q < n; ++q) {
        const std::size_t i = order_[q];
        const bool new_stratum = q == 0 || stratum(order_[q - 1]) != stratum(i);
        if (new_stratum || time(order_[q - 1]) != time(i)) {
            if (q > 0) group_end_.push_back(q);
            if (new_stratum && q > 0) stratum_end_.push_back(group_end_.size());
            event_weight_.push_back(0.0);
            event_count_.push_back(0);
        }
        if (event(i)) {
            event_weight_.back() += rows.w[i];
            event_count_.back() += rows.w[i] > 0.0;
        }
    }
    if (n > 0) {
        group_end_.push_back(n);
        stratum_end_.push_back(group_end_.size());
    }
    scaled_.assign(n, 0.0);
    top_.assign(group_end_.size(), 0.0);
    risk_.assign(group_end_.size(), 0.0);
    tied_.assign(group_end_.size(), 0.0);
    if (!entry_.empty()) order_entries(strata);
}

void CoxFamily::order_entries(std::span<const std::uint64_t> strata) {
    const std::size_t n = order_.size(), groups = group_end_.size();
    auto stratum = [&](std::size_t i) { return strata.empty() ? std::uint64_t{0} : strata[i]; };
    entry_order_.resize(n);
    std::iota(entry_order_.begin(), entry_order_.end(), std::size_t{0});
    std::stable_sort(entry_order_.begin(), entry_order_.end(), [&](std::size_t a, std::size_t b) {
        return stratum(a) != stratum(b) ? stratum(a) < stratum(b) : entry_[a] > entry_[b];
    });
    leave_begin_.assign(groups, 0);
    leave_end_.assign(groups, 0);
    entry_group_.assign(n, npos);
    std::size_t g0 = 0;
    for (const std::size_t g1 : stratum_end_) {
        // the stratum's rows hold the same positions in both orders
        const std::size_t r0 = group_begin(g0), r1 = group_end_[g1 - 1];
        std::size_t p = r0;
        for (std::size_t g = g0; g < g1; ++g) {
            const double t = time(order_[group_begin(g)]);
            leave_begin_[g] = p;
            while (p < r1 && entry_[entry_order_[p]] >= t) ++p;
            leave_end_[g] = p;
        }
        std::size_t g = g0;
        for (std::size_t q = r0; q < r1; ++q) {
            const std::size_t i = entry_order_[q];
            while (g < g1 && time(order_[group_begin(g)]) > entry_[i]) ++g;
            if (g < g1) entry_group_[i] = g;
        }
        g0 = g1;
    }
    carried_.assign(groups, 0.0);
    carried_sq_.assign(groups, 0.0);
    term_.assign(groups, 0.0);
    term_sq_.assign(groups, 0.0);
}

double CoxFamily::risk_at(std::size_t g0, std::size_t g, std::span<const double> eta,
                          double top) const {
    const auto w = rows_.w;
    const double t = time(order_[group_begin(g)]);
    double risk = 0.0;
    for (std::size_t q = group_begin(g0); q < group_end_[g]; ++q) {
        const std::size_t i = order_[q];
        if (w[i] > 0.0 && entry_[i] < t) risk += w[i] * std::exp(eta[i] - top);
    }
    return risk;
}

double CoxFamily::null_model(std::span<double> v, std::span<double> r) {
    const Vec eta = rows_.offset.empty() ? Vec(rows_.w.size(), 0.0)
                                         : Vec(rows_.offset.begin(), rows_.offset.end());
    working(eta, v, r);
    null_loglik_ = loglik_;
    null_half_dev_ = saturated_loglik() - null_loglik_;
    if (!std::isfinite(null_half_dev_)) data_overflow("the null deviance of the survival times", "the offset");
    if (!(null_half_dev_ > 64 * DBL_EPSILON))
        throw InputError("the cox family has nothing to fit: the null model already attains the "
                         "largest partial likelihood (every risk set holds only tied events)");
    return 0.0;
}

bool CoxFamily::working(std::span<const double> eta, std::span<double> v, std::span<double> r) {
    double ll = 0.0;
    std::size_t g0 = 0;
    for (const std::size_t g1 : stratum_end_) {
        ll += risk_sums(g0, g1, eta);
        stratum_working(g0, g1, v, r);
        g0 = g1;
    }
    loglik_ = ll;
    double sum = 0.0;
    for (const double vi : v) sum += vi;
    weight_sum_ = sum;
    inside_ = std::isfinite(ll) && std::isfinite(sum);
    interrupt_.tick(rows_.w.size() * 16);
    return inside_ && !(weight_sum_ > min_weight_sum_);
}

double CoxFamily::risk_sums(std::size_t g0, std::size_t g1, std::span<const double> eta) {
    const auto w = rows_.w;
    const bool entries = !entry_.empty();
    double top = -HUGE_VAL, risk = 0.0, ll = 0.0;
    double added = 0.0;  // with entry times: the running sum over t_i >= t_g
    for (std::size_t g = g0; g < g1; ++g) {
        const std::size_t begin = group_begin(g), end = group_end_[g];
        double largest = top;
        for (std::size_t q = begin; q < end; ++q)
            if (w[order_[q]] > 0.0) largest = nan_max(largest, eta[order_[q]]);
        if (largest > top) {
            if (risk != 0.0) risk = risk * std::exp(top - largest);
            if (added != 0.0) added = added * std::exp(top - largest);
            top = largest;
        }
        double tied = 0.0;
        for (std::size_t q = begin; q < end; ++q) {
            const std::size_t i = order_[q];
            const double u = w[i] > 0.0 ? w[i] * std::exp(eta[i] - top) : 0.0;
            scaled_[i] = u;
            risk += u;
            if (event(i)) {
                tied += u;
                ll += w[i] * eta[i];
            }
        }
        if (entries) {
            for (std::size_t q = begin; q < end; ++q) added += scaled_[order_[q]];
            for (std::size_t p = leave_begin_[g]; p < leave_end_[g]; ++p) {
                const std::size_t i = entry_order_[p];
                if (w[i] > 0.0) risk -= w[i] * std::exp(eta[i] - top);
            }
            // the difference of the two running sums keeps few digits of them
            if (event_weight_[g] > 0.0 && !(risk > 1e-6 * added)) {
                risk = risk_at(g0, g, eta, top);
                added = risk;
            }
        }
        top_[g] = top;
        risk_[g] = risk;
        tied_[g] = tied;
        const double e = event_weight_[g];
        if (!(e > 0.0)) continue;
        const std::uint32_t m = event_count_[g];
        if (ties_ == Ties::breslow || m == 1) {
            ll -= e * (top + std::log(risk));
            continue;
        }
        const double share = e / m;
        for (std::uint32_t k = 0; k < m; ++k)
            ll -= share * (top + std::log(risk - (static_cast<double>(k) / m) * tied));
    }
    return ll;
}

// Row i of group g has r_i = w_i d_i - u_i A_i and v_i = u_i A_i - u_i^2 B_i,
// u_i = w_i exp(eta_i), A_i = sum over the groups h at or before t_i (and
// after the row's entry time) of e_h / S_h (Efron: e_h / m_h sum_k a /
// (S_h - k/m_h E_h), a = 1 - k/m_h for an event of h itself, else 1) and
// B_i the same with the squares of the terms' denominators and of a.  A and B are carried relative to
// exp(-top_g) and exp(-2 top_g).
void CoxFamily::stratum_working(std::size_t g0, std::size_t g1, std::span<double> v,
                                std::span<double> r) {
    const auto w = rows_.w;
    double carried = 0.0, carried_sq = 0.0;
    for (std::size_t g = g1; g-- > g0;) {
        if (g + 1 < g1 && carried != 0.0 && top_[g] != top_[g + 1]) {
            const double f = std::exp(top_[g] - top_[g + 1]);
            carried = carried * f;
            carried_sq = carried_sq * (f * f);
        }
        double a = 0.0, b = 0.0, own = 0.0, own_sq = 0.0;  // terms of the risk set, of D_g
        const double e = event_weight_[g];
        if (e > 0.0) {
            const std::uint32_t m = event_count_[g];
            const double s = risk_[g];
            if (ties_ == Ties::breslow || m == 1) {
                a = own = e / s;
                b = own_sq = a / s;
            } else {
                const double share = e / m;
                for (std::uint32_t k = 0; k < m; ++k) {
                    const double frac = static_cast<double>(k) / m;
                    const double den = s - frac * tied_[g];
                    a += share / den;
                    b += share / (den * den);
                    own += share * (1.0 - frac) / den;
                    own_sq += share * ((1.0 - frac) * (1.0 - frac)) / (den * den);
                }
            }
        }
        const double before = carried, before_sq = carried_sq;
        carried = before + a;
        carried_sq = before_sq + b;
        if (!entry_.empty()) {
            carried_[g] = carried;
            carried_sq_[g] = carried_sq;
            term_[g] = a;
            term_sq_[g] = b;
        }
        for (std::size_t q = group_begin(g); q < group_end_[g]; ++q) {
            const std::size_t i = order_[q];
            const double u = scaled_[i];
            const bool ev = event(i);
            double A = ev ? before + own : carried;
            double B = ev ? before_sq + own_sq : carried_sq;
            if (!entry_.empty() && entry_group_[i] != npos) {
                // less the terms of the groups up to the row's entry, or,
                // when that difference keeps few digits, the terms of the
                // groups from the row's entry to its time
                const std::size_t h = entry_group_[i];
                // (equal tops: 1, also where no row of weight has been met
                // yet and both are -inf)
                const double f = top_[g] == top_[h] ? 1.0 : std::exp(top_[g] - top_[h]);
                const double early = carried_[h] * f, early_sq = carried_sq_[h] * (f * f);
                if (early > (1.0 - 1e-6) * A || early_sq > (1.0 - 1e-6) * B) {
                    A = ev ? own : a;
                    B = ev ? own_sq : b;
                    for (std::size_t k = g + 1; k < h; ++k) {
                        const double fk = top_[g] == top_[k] ? 1.0 : std::exp(top_[g] - top_[k]);
                        A += term_[k] * fk;
                        B += term_sq_[k] * (fk * fk);
                    }
                } else {
                    A -= early;
                    B -= early_sq;
                }
            }
            r[i] = (ev ? w[i] : 0.0) - u * A;
            v[i] = std::max(u * A - (u * u) * B, 0.0);
        }
    }
}

double CoxFamily::saturated_loglik() const {
    double ll = 0.0;
    for (std::size_t g = 0; g < event_weight_.size(); ++g) {
        const double e = event_weight_[g];
        if (!(e > 0.0)) continue;
        ll -= e * std::log(e);
        const std::uint32_t m = event_count_[g];
        if (ties_ == Ties::efron)
            for (std::uint32_t k = 1; k < m; ++k)
                ll -= e / m * std::log(1.0 - static_cast<double>(k) / m);
    }
    return ll;
}

}  // namespace varnel_core
