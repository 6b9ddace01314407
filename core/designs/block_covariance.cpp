#include "designs/block_covariance.hpp"

#include <algorithm>
#include <cmath>

namespace varnel_core {

namespace {
constexpr std::size_t min_batch = 32;
}

BlockCovarianceDesign::BlockCovarianceDesign(const StridedMatrix& x, std::span<const double> w,
                                             std::span<const double> centre,
                                             std::span<const double> scale, const Flags& include,
                                             Vec gradient, std::size_t width, bool all_at_once,
                                             const Interrupt& interrupt)
    : x_(x), w_(w), centre_(centre), scale_(scale), include_(include), g_(std::move(gradient)),
      nk_(width), slot_(x.ncols, -1), interrupt_(interrupt) {
    const std::size_t p = x.ncols;
    require(width >= 1 && g_.size() == checked_size(p, width) && scale.size() == p &&
                centre.size() == p && include.size() == p && w.size() == x.nrows,
            "block covariance design: inputs of the wrong length");
    batch_.reserve(p);
    if (!all_at_once) return;
    products_.resize(checked_size(p, p));
    gram_full(x_, w_, Centring::given, centre_, scale_, products_.data(), p, {}, GramKernel::best,
              {}, 1, interrupt_);
    for (std::size_t j = 0; j < p; ++j) slot_[j] = static_cast<std::ptrdiff_t>(j);
    slot_count_ = p;
}

void BlockCovarianceDesign::defer(std::size_t j, std::span<const double> delta) {
    const std::ptrdiff_t slot = slot_[j];
    require(slot >= 0, "block covariance design: a step on a variable outside the strong set");
    const std::size_t p = x_.ncols, nk = nk_;
    const double* c = products_.data() + static_cast<std::size_t>(slot) * p;
    for (std::size_t l = 0; l < p; ++l)
        for (std::size_t k = 0; k < nk; ++k) g_[l * nk + k] -= delta[k] * c[l];  // g -= C[:, j] d'
}

double BlockCovarianceDesign::block_norm(std::size_t j) const {
    double s = 0.0;
    for (std::size_t k = 0; k < nk_; ++k) s += g_[j * nk_ + k] * g_[j * nk_ + k];
    return s;
}

void BlockCovarianceDesign::strong_set_grew(const Flags& strong) {
    const std::size_t p = x_.ncols;
    batch_.clear();
    for (std::size_t j = 0; j < p; ++j)
        if (strong[j] && slot_[j] < 0) batch_.push_back(j);
    if (batch_.empty()) return;
    const std::size_t wanted = std::max({min_batch, 2 * batch_.size(), slot_count_ / 2});
    const std::size_t need = batch_.size();
    for (std::size_t j = 0; j < p; ++j)
        if (!strong[j] && include_[j] && slot_[j] < 0) batch_.push_back(j);
    if (batch_.size() > wanted) {
        auto by_norm = [&](std::size_t a, std::size_t b) {
            const double na = block_norm(a), nb = block_norm(b);
            return na > nb || (na == nb && a < b);
        };
        std::partial_sort(batch_.begin() + static_cast<std::ptrdiff_t>(need),
                          batch_.begin() + static_cast<std::ptrdiff_t>(wanted), batch_.end(),
                          by_norm);
        batch_.resize(wanted);
    }
    products_.resize(checked_size(slot_count_ + batch_.size(), p));
    gram_columns(x_, w_, Centring::given, centre_, scale_, batch_,
                 products_.data() + slot_count_ * p, p, {}, GramKernel::best, {}, 1, interrupt_);
    for (std::size_t t = 0; t < batch_.size(); ++t)
        slot_[batch_[t]] = static_cast<std::ptrdiff_t>(slot_count_ + t);
    slot_count_ += batch_.size();
}

}  // namespace varnel_core
