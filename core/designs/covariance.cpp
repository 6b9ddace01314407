#include "designs/covariance.hpp"

#include <algorithm>
#include <cmath>

#include "base/numeric.hpp"

namespace varnel_core {

CovarianceDesign::CovarianceDesign(const StridedMatrix& x, std::span<const double> w,
                                   std::span<const double> centre, std::span<const double> scale,
                                   const Flags& include, Vec gradient, const Interrupt& interrupt,
                                   std::size_t min_batch)
    : x_(x), w_(w), centre_(centre), scale_(scale), include_(include), g_(std::move(gradient)),
      min_batch_(std::max<std::size_t>(min_batch, 1)), slot_(x.ncols, -1), interrupt_(interrupt) {
    require(g_.size() == x.ncols && scale.size() == x.ncols && include.size() == x.ncols &&
                (centre.empty() || centre.size() == x.ncols) && w.size() == x.nrows,
            "covariance design: inputs of the wrong length");
    batch_.reserve(x.ncols);
}

CovarianceDesign::CovarianceDesign(Vec products, const Flags& include, Vec gradient,
                                   const Interrupt& interrupt)
    : include_(include), g_(std::move(gradient)), min_batch_(1), slot_(g_.size()),
      products_(std::move(products)), slot_count_(g_.size()), interrupt_(interrupt) {
    require(products_.size() == checked_size(g_.size(), g_.size()) && include.size() == g_.size(),
            "covariance design: inputs of the wrong length");
    for (std::size_t j = 0; j < slot_.size(); ++j) slot_[j] = static_cast<std::ptrdiff_t>(j);
}

void CovarianceDesign::defer(std::size_t j, double delta) {
    const std::ptrdiff_t slot = slot_[j];
    require(slot >= 0, "covariance design: a step on a variable outside the strong set");
    const std::size_t p = g_.size();
    const double* c = products_.data() + static_cast<std::size_t>(slot) * p;
    for (std::size_t k = 0; k < p; ++k) g_[k] -= delta * c[k];  // g -= delta C[:, j]
}

void CovarianceDesign::abs_gradients(const Flags& include, const Flags* skip,
                                     std::span<double> out) const {
    for (std::size_t j = 0; j < g_.size(); ++j)
        if (include[j] && !(skip && (*skip)[j])) out[j] = std::abs(g_[j]);
}

void CovarianceDesign::strong_set_grew(const Flags& strong) {
    const std::size_t p = g_.size();
    batch_.clear();
    for (std::size_t j = 0; j < p; ++j)
        if (strong[j] && slot_[j] < 0) batch_.push_back(j);
    if (batch_.empty()) return;
    // Fill the batch up with the likeliest next entrants: the largest
    // gradients outside the strong set.
    const std::size_t wanted = std::max({min_batch_, 2 * batch_.size(), slot_count_ / 2});
    const std::size_t need = batch_.size();
    for (std::size_t j = 0; j < p; ++j)
        if (!strong[j] && include_[j] && slot_[j] < 0) batch_.push_back(j);
    if (batch_.size() > wanted) {
        auto by_gradient = [&](std::size_t a, std::size_t b) {
            return std::abs(g_[a]) > std::abs(g_[b]) || (std::abs(g_[a]) == std::abs(g_[b]) && a < b);
        };
        std::partial_sort(batch_.begin() + static_cast<std::ptrdiff_t>(need),
                          batch_.begin() + static_cast<std::ptrdiff_t>(wanted), batch_.end(),
                          by_gradient);
        batch_.resize(wanted);
    }
    products_.resize(checked_size(slot_count_ + batch_.size(), p));
    gram_columns(x_, w_, Centring::given, centre_, scale_, batch_,
                 products_.data() + slot_count_ * p, p, {}, GramKernel::best, {}, threads_, interrupt_);
    for (std::size_t t = 0; t < batch_.size(); ++t)
        slot_[batch_[t]] = static_cast<std::ptrdiff_t>(slot_count_ + t);
    slot_count_ += batch_.size();
}

}  // namespace varnel_core
