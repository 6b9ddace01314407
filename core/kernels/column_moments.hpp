// Weighted moments of a sparse column from its stored entries, with the
// rounding of the mean corrected.
#pragma once

#include <cstdint>
#include <span>

namespace varnel_core {

// Weighted moments of one sparse column over all nobs rows (unstored rows
// hold 0), from its stored entries: mean = sum_i w_i x_i / total, and the
// centred second moment sum_i w_i (x_i - mean)^2 summed as the stored
// entries' centred squares plus mean^2 times the weight of the unstored
// rows, both corrected for the rounding of the first pass, so that a mean
// large against the spread loses no precision; and the uncentred second
// moment sum_i w_i x_i^2.  `total` is sum_i w_i (1 up to rounding).
struct SparseMoments {
    double mean;
    double centred;
    double second;
};
SparseMoments sparse_moments(std::span<const std::uint64_t> rows, std::span<const double> values,
                             std::span<const double> w, double total);

}  // namespace varnel_core
