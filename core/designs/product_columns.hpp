// The columns of the products of the standardized columns that the
// covariance designs step with, formed once each.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "kernels/gram.hpp"

namespace varnel_core {

// C[l, j] = <z_l, z_j> for z_j = sqrt(w) (x_j - m_j) / s_j: all given at
// once, or formed by the Gram kernel (Centring::given) for a batch of
// variables when they join the strong set, the batch topped up with the
// likeliest next entrants (so that the passes over x are few).  Which
// columns a batch holds does not change their bits (see gram.hpp).
class ProductColumns {
public:
    // Formed from x as asked; x, w, centre (empty: 0) and scale must outlive it.
    ProductColumns(const StridedMatrix& x, std::span<const double> w, std::span<const double> centre,
                   std::span<const double> scale, const Interrupt& interrupt,
                   std::size_t min_batch = 32);
    // Every column given: `products` is C, p x p column-major.
    ProductColumns(Vec products, std::size_t p);

    std::size_t size() const { return slot_.size(); }
    // C[:, j]; a precondition failure when it was not formed.
    const double* column(std::size_t j) const {
        require(slot_[j] >= 0, "products of a variable outside the strong set");
        return products_.data() + static_cast<std::size_t>(slot_[j]) * size();
    }
    // Columns formed so far.
    std::size_t formed() const { return count_; }

    // Forms the columns of the strong variables that have none, with the
    // included variables of the largest rank(j) outside the strong set
    // (ties: the smaller j) up to max(min_batch, twice the newcomers, half
    // the columns formed so far).
    template <class Rank>
    void grow(const Flags& strong, const Flags& include, Rank&& rank) {
        const std::size_t p = size();
        batch_.clear();
        for (std::size_t j = 0; j < p; ++j)
            if (strong[j] && slot_[j] < 0) batch_.push_back(j);
        if (batch_.empty()) return;
        const std::size_t wanted = std::max({min_batch_, 2 * batch_.size(), count_ / 2});
        const std::size_t need = batch_.size();
        for (std::size_t j = 0; j < p; ++j)
            if (!strong[j] && include[j] && slot_[j] < 0) batch_.push_back(j);
        if (batch_.size() > wanted) {
            auto before = [&](std::size_t a, std::size_t b) {
                const double ra = rank(a), rb = rank(b);
                return ra > rb || (ra == rb && a < b);
            };
            std::partial_sort(batch_.begin() + static_cast<std::ptrdiff_t>(need),
                              batch_.begin() + static_cast<std::ptrdiff_t>(wanted), batch_.end(),
                              before);
            batch_.resize(wanted);
        }
        form_batch();
    }

private:
    void form_batch();

    StridedMatrix x_;
    std::span<const double> w_;
    std::span<const double> centre_;
    std::span<const double> scale_;
    const Interrupt* interrupt_ = nullptr;
    std::size_t min_batch_ = 1;
    std::vector<std::ptrdiff_t> slot_;  // column of products_ holding variable j, or -1
    Vec products_;                      // the formed columns, p values each
    std::size_t count_ = 0;
    std::vector<std::size_t> batch_;    // scratch for one batch
};

}  // namespace varnel_core
