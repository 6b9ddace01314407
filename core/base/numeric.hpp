// The value types and small numeric helpers shared by the solvers.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

namespace varnel_core {

using Vec = std::vector<double>;
using Index = std::vector<std::uint64_t>;
using Flags = std::vector<std::uint8_t>;  // one 0/1 flag per variable

// Minimum and maximum that ignore a NaN operand (the other one is the result).
inline double nan_min(double a, double b) { return std::fmin(a, b); }
inline double nan_max(double a, double b) { return std::fmax(a, b); }

// Subtracts the mean of the values from each of them.
inline void subtract_mean(double* values, std::size_t n) {
    double s = 0.0;
    for (std::size_t k = 0; k < n; ++k) s += values[k];
    const double mean = s / static_cast<double>(n);
    for (std::size_t k = 0; k < n; ++k) values[k] -= mean;
}

// n * m doubles, throwing std::bad_alloc when the product does not fit in memory.
inline std::size_t checked_size(std::uint64_t n, std::uint64_t m) {
    if (m != 0 && n > std::numeric_limits<std::size_t>::max() / sizeof(double) / m)
        throw std::bad_alloc();
    return static_cast<std::size_t>(n * m);
}

}  // namespace varnel_core
