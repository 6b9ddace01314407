#include "kernels/column_moments.hpp"

#include <algorithm>

namespace varnel_core {

SparseMoments sparse_moments(std::span<const std::uint64_t> rows, std::span<const double> values,
                             std::span<const double> w, double total) {
    double mean = 0.0, second = 0.0, stored_weight = 0.0;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const double wi = w[rows[k]];
        mean += wi * values[k];
        second += wi * (values[k] * values[k]);
        stored_weight += wi;
    }
    // Two passes with the correction of the first one's rounding:
    // sum w (x - m') ^ 2 = sum w (x - m) ^ 2 - total (m' - m) ^ 2 for
    // m' = m + sum w (x - m) / total.  The unstored rows sit at 0, that is
    // at -m from m.
    double centred = 0.0, drift = 0.0;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const double d = values[k] - mean;
        centred += w[rows[k]] * (d * d);
        drift += w[rows[k]] * d;
    }
    if (stored_weight < total) {
        const double unstored = total - stored_weight;
        centred += (mean * mean) * unstored;
        drift -= mean * unstored;
    }
    const double shift = total > 0.0 ? drift / total : 0.0;
    return {mean + shift, std::max(centred - total * (shift * shift), 0.0), second};
}

}  // namespace varnel_core
