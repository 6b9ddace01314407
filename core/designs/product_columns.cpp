#include "designs/product_columns.hpp"

#include <utility>

namespace varnel_core {

ProductColumns::ProductColumns(const StridedMatrix& x, std::span<const double> w,
                               std::span<const double> centre, std::span<const double> scale,
                               const Interrupt& interrupt, std::size_t min_batch)
    : x_(x), w_(w), centre_(centre), scale_(scale), interrupt_(&interrupt),
      min_batch_(std::max<std::size_t>(min_batch, 1)), slot_(x.ncols, -1) {
    require(scale.size() == x.ncols && (centre.empty() || centre.size() == x.ncols) &&
                w.size() == x.nrows,
            "product columns: inputs of the wrong length");
    batch_.reserve(x.ncols);
}

ProductColumns::ProductColumns(Vec products, std::size_t p)
    : slot_(p), products_(std::move(products)), count_(p) {
    require(products_.size() == checked_size(p, p), "product columns: inputs of the wrong length");
    for (std::size_t j = 0; j < p; ++j) slot_[j] = static_cast<std::ptrdiff_t>(j);
}

void ProductColumns::form_batch() {
    require(interrupt_ != nullptr, "product columns given at once cannot grow");
    const std::size_t p = size();
    products_.resize(checked_size(count_ + batch_.size(), p));
    gram_columns(x_, w_, Centring::given, centre_, scale_, batch_, products_.data() + count_ * p, p,
                 {}, GramKernel::best, {}, 1, *interrupt_);
    for (std::size_t t = 0; t < batch_.size(); ++t)
        slot_[batch_[t]] = static_cast<std::ptrdiff_t>(count_ + t);
    count_ += batch_.size();
}

}  // namespace varnel_core
