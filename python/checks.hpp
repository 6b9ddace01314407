// What the binding refuses before any fitting: shapes, lengths and
// finiteness, with messages that name the argument.  Values a fit could use
// are the core's to judge.
#pragma once

#include "pyconv.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "base/config.hpp"
#include "data/dense.hpp"
#include "kernels/gram.hpp"

namespace varnel_py {

// How the messages of one entry point name the dimensions.
struct Dimensions {
    std::uint64_t nobs;
    std::uint64_t nvars;
    bool sparse;

    std::string rows() const;
    std::string columns() const;
};

// repr(v) as Python writes it.
std::string repr(double v);

// ValueError "<name> must be finite, but <name>[i] is <repr>" for the first
// NaN or infinite value.
bool check_finite(const char* name, std::span<const double> values);
// x's first NaN or infinite entry: varnel_core::first_non_finite
// (data/dense.hpp), which touches no Python object.
// ValueError "x must be finite, but x[i, j] is <repr>"; always false.
bool refuse_non_finite(const varnel_core::StridedMatrix& x, std::pair<std::size_t, std::size_t> at);

// The caller's 2-D array as the core reads it in place, when its strides
// are whole, aligned elements.
std::optional<varnel_core::StridedMatrix> in_place(const FloatArray& a);

// The options that no fit can use: vectors of the wrong length, a generated
// sequence with lambda_min_ratio >= 1, unusable penalty values, non-finite
// weights.
bool check_options(const varnel_core::FitConfig& c, const Dimensions& d);
// A variable needs at least one observation.
bool check_rows(const Dimensions& d);

// y of the stable entry points: C-contiguous and aligned (TypeError
// otherwise), copied.
bool copy_contiguous_response(const FloatArray& y, std::vector<double>& out);

}  // namespace varnel_py
