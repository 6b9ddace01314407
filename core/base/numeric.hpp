// Small numeric helpers shared by the solvers.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

namespace varnel_core {

// Minimum and maximum that ignore a NaN operand (the other one is the result).
inline double nan_min(double a, double b) { return std::fmin(a, b); }
inline double nan_max(double a, double b) { return std::fmax(a, b); }

// n * m doubles, throwing std::bad_alloc when the product does not fit in memory.
inline std::size_t checked_size(std::uint64_t n, std::uint64_t m) {
    if (m != 0 && n > std::numeric_limits<std::size_t>::max() / sizeof(double) / m)
        throw std::bad_alloc();
    return static_cast<std::size_t>(n * m);
}

}  // namespace varnel_core
