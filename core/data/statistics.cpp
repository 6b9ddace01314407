#include "data/statistics.hpp"

#include <algorithm>
#include <cmath>

#include "base/errors.hpp"

namespace varnel_core {

void RowSums::reset(std::size_t p, std::size_t width, std::size_t ncols) {
    gradient.assign(checked_size(p, width), 0.0);
    weighted.assign(gradient.size(), 0.0);
    weight_sums.assign(width, 0.0);
    residual_sums.assign(width, 0.0);
    products.assign(checked_size(checked_size(p, width), ncols), 0.0);
    loss = 0.0;
}

void RowSums::add(const RowSums& o) {
    require(o.gradient.size() == gradient.size() && o.weighted.size() == weighted.size() &&
                o.weight_sums.size() == weight_sums.size() && o.products.size() == products.size(),
            "row sums of different shapes");
    auto add_to = [](Vec& a, const Vec& b) {
        for (std::size_t i = 0; i < a.size(); ++i) a[i] = a[i] + b[i];
    };
    add_to(gradient, o.gradient);
    add_to(weighted, o.weighted);
    add_to(weight_sums, o.weight_sums);
    add_to(residual_sums, o.residual_sums);
    add_to(products, o.products);
    loss = loss + o.loss;
}

Vec StatisticsSource::null_model(std::span<const std::size_t>, RowSums&) {
    throw PreconditionError("statistics source: this source does not reweight");
}

bool StatisticsSource::refit(std::span<const double>, std::span<const std::size_t>,
                             std::span<const double>, std::span<const std::size_t>, RowSums&) {
    throw PreconditionError("statistics source: this source does not reweight");
}

StatisticsDesign::StatisticsDesign(StatisticsSource& source, const Flags& include, Vec gradient,
                                   const Interrupt& interrupt, std::size_t min_batch)
    : StatisticsDesign(source, include, std::move(gradient), 1, interrupt, min_batch) {}

StatisticsDesign::StatisticsDesign(Vec products, const Flags& include, Vec gradient,
                                   const Interrupt& interrupt)
    : StatisticsDesign(std::move(products), include, std::move(gradient), 1, interrupt) {}

StatisticsDesign::StatisticsDesign(StatisticsSource& source, const Flags& include,
                                   std::size_t width, const Interrupt& interrupt,
                                   std::size_t min_batch)
    : source_(&source), include_(include), nvars_(include.size()), nk_(width),
      per_slot_(width), min_batch_(std::max<std::size_t>(min_batch, 1)), slot_(nvars_, -1),
      interrupt_(interrupt) {
    require(width >= 1, "statistics design: K >= 1 predictors");
    batch_.reserve(nvars_);
}

StatisticsDesign::StatisticsDesign(StatisticsSource& source, const Flags& include, Vec gradient,
                                   std::size_t responses, const Interrupt& interrupt,
                                   std::size_t min_batch)
    : source_(&source), include_(include), nvars_(include.size()), nk_(responses),
      min_batch_(std::max<std::size_t>(min_batch, 1)), g_(std::move(gradient)),
      slot_(nvars_, -1), interrupt_(interrupt) {
    require(responses >= 1 && g_.size() == checked_size(nvars_, responses),
            "statistics design: one gradient per variable and response");
    batch_.reserve(nvars_);
}

StatisticsDesign::StatisticsDesign(Vec products, const Flags& include, Vec gradient,
                                   std::size_t responses, const Interrupt& interrupt)
    : include_(include), nvars_(include.size()), nk_(responses), min_batch_(1),
      g_(std::move(gradient)), slot_(nvars_), products_(std::move(products)),
      interrupt_(interrupt) {
    require(responses >= 1 && g_.size() == checked_size(nvars_, responses) &&
                products_.size() == checked_size(nvars_, nvars_),
            "statistics design: inputs of the wrong length");
    formed_.resize(nvars_);
    for (std::size_t j = 0; j < nvars_; ++j) {
        slot_[j] = static_cast<std::ptrdiff_t>(j);
        formed_[j] = j;
    }
}

void StatisticsDesign::gradient(std::size_t j, std::span<double> out) const {
    require(out.size() == nk_, "one gradient per linear predictor");
    for (std::size_t k = 0; k < nk_; ++k) out[k] = g_[k * nvars_ + j];
}

void StatisticsDesign::defer(std::size_t j, double delta) {
    require(nk_ == 1, "one step per linear predictor");
    const std::ptrdiff_t slot = slot_[j];
    require(slot >= 0, "statistics design: a step on a variable outside the strong set");
    const std::size_t p = nvars_;
    const double* c = products_.data() + static_cast<std::size_t>(slot) * p;
    for (std::size_t k = 0; k < p; ++k) g_[k] -= delta * c[k];  // g -= delta C[:, j]
    if (!zv_.empty()) rsum_[0] -= delta * zv_[j];
}

void StatisticsDesign::defer(std::size_t j, std::span<const double> delta) {
    require(delta.size() == nk_, "one step per linear predictor");
    const std::ptrdiff_t slot = slot_[j];
    require(slot >= 0, "statistics design: a step on a variable outside the strong set");
    const std::size_t p = nvars_;
    for (std::size_t k = 0; k < nk_; ++k) {
        const double d = delta[k];
        if (d == 0.0) continue;
        const double* c = column(slot, k);
        double* g = g_.data() + k * p;
        for (std::size_t i = 0; i < p; ++i) g[i] -= d * c[i];  // g_.k -= d_k C_k[:, j]
        if (!zv_.empty()) rsum_[k] -= d * zv_[k * p + j];
    }
}

void StatisticsDesign::abs_gradients(const Flags& include, const Flags* skip,
                                     std::span<double> out) const {
    require(nk_ == 1, "one gradient per linear predictor");
    for (std::size_t j = 0; j < nvars_; ++j)
        if (include[j] && !(skip && (*skip)[j])) out[j] = std::abs(g_[j]);
}

void StatisticsDesign::curvatures(const Flags& flags, std::span<double> out) const {
    for (std::size_t j = 0; j < nvars_; ++j) {
        if (!flags[j]) continue;
        const std::ptrdiff_t slot = slot_[j];
        require(slot >= 0, "statistics design: the curvature of a column not formed");
        for (std::size_t k = 0; k < nk_; ++k)
            out[j * nk_ + k] = column(slot, k)[j];
    }
}

void StatisticsDesign::residual_sum(std::span<double> out) const {
    std::copy(rsum_.begin(), rsum_.end(), out.begin());
}

void StatisticsDesign::subtract_weights(std::span<const double> d) {
    require(d.size() == nk_ && !zv_.empty(), "intercept steps need the weighted column sums");
    const std::size_t p = nvars_;
    for (std::size_t k = 0; k < nk_; ++k) {
        if (d[k] == 0.0) continue;
        for (std::size_t i = 0; i < p; ++i) g_[k * p + i] -= d[k] * zv_[k * p + i];
        rsum_[k] -= d[k] * vsum_[k];
    }
}

void StatisticsDesign::strong_set_grew(const Flags& strong) {
    const std::size_t p = nvars_;
    batch_.clear();
    for (std::size_t j = 0; j < p; ++j)
        if (strong[j] && slot_[j] < 0) batch_.push_back(j);
    if (batch_.empty()) return;
    require(source_ != nullptr, "statistics design: no source for new products");
    // Fill the batch up with the likeliest next entrants: the largest
    // gradients outside the strong set.
    const std::size_t formed = formed_.size();
    const std::size_t wanted = std::max({min_batch_, 2 * batch_.size(), formed / 2});
    const std::size_t need = batch_.size();
    for (std::size_t j = 0; j < p; ++j)
        if (!strong[j] && include_[j] && slot_[j] < 0) batch_.push_back(j);
    if (batch_.size() > wanted) {
        auto size = [&](std::size_t j) {
            double s = 0.0;
            for (std::size_t k = 0; k < nk_; ++k) s = std::max(s, std::abs(g_[k * p + j]));
            return s;
        };
        auto by_gradient = [&](std::size_t a, std::size_t b) {
            return size(a) > size(b) || (size(a) == size(b) && a < b);
        };
        std::partial_sort(batch_.begin() + static_cast<std::ptrdiff_t>(need),
                          batch_.begin() + static_cast<std::ptrdiff_t>(wanted), batch_.end(),
                          by_gradient);
        batch_.resize(wanted);
    }
    products_.resize(checked_size(checked_size(formed + batch_.size(), per_slot_), p));
    source_->products(batch_, products_.data() + formed * per_slot_ * p);
    for (std::size_t t = 0; t < batch_.size(); ++t) {
        slot_[batch_[t]] = static_cast<std::ptrdiff_t>(formed + t);
        formed_.push_back(batch_[t]);
    }
}

void StatisticsDesign::take(RowSums& sums) {
    require(sums.gradient.size() == nvars_ * nk_ && sums.weighted.size() == nvars_ * nk_ &&
                sums.weight_sums.size() == nk_ && sums.residual_sums.size() == nk_ &&
                sums.products.size() == formed_.size() * nk_ * nvars_,
            "statistics design: sums of the wrong shape");
    g_.swap(sums.gradient);
    zv_.swap(sums.weighted);
    vsum_.swap(sums.weight_sums);
    rsum_.swap(sums.residual_sums);
    products_.swap(sums.products);
}

Vec StatisticsDesign::null_model() {
    require(source_ != nullptr && formed_.empty(), "statistics design: a null model first");
    Vec b0 = source_->null_model(formed_, sums_);
    take(sums_);
    return b0;
}

bool StatisticsDesign::refit(std::span<const double> coef, std::span<const std::size_t> active,
                             std::span<const double> b0) {
    require(source_ != nullptr, "statistics design: no source to refit");
    if (source_->refit(coef, active, b0, formed_, sums_)) return true;
    take(sums_);
    return false;
}

}  // namespace varnel_core
