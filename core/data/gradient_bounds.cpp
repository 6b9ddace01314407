#include "data/gradient_bounds.hpp"

namespace varnel_core {

GradientBounds::Distance GradientBounds::distance(std::span<const double> w,
                                                  std::span<const double> r, double shift) const {
    double moved = 0.0, length = 0.0;
    for (std::size_t i = 0; i < r.size(); ++i) {
        const double e = r[i] + shift;
        const double d = e - anchor_[i];
        moved += w[i] * (d * d);
        length += w[i] * (e * e);
    }
    return {std::sqrt(moved), std::sqrt(length)};
}

}  // namespace varnel_core
