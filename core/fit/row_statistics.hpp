// The statistics of blocks of rows that a fit from statistics takes: sums
// about provisional centres shared by every block, so that the blocks of a
// distributed array (or the folds of a cross-validation) merge by adding
// them, and the columns' ranges, which find the constant columns (a
// constant column's sum of squares need not come out exactly 0 once the
// centres are rounded).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "kernels/gram.hpp"

namespace varnel_core {

// For the p columns of x and the response y as column p, with weights w
// and the centres c (p + 1 values, every block the same):
//   products     S = sum_i w_i (a_i a_i'), a_i = (x_i, y_i) - c, (p + 1)^2
//                column-major (empty when only the squares were asked for)
//   squares      the diagonal of S
//   deviations   d = sum_i w_i a_i
//   weight       W = sum_i w_i
//   min, max     each column's range over all rows
//   positive_min, positive_max   the same over the rows of positive weight
//                (+inf and -inf when there is none)
// The exact weighted means are c + d / W and the centred products
// S - d d' / W (see gram_sums).
//
// With K responses (multi-response least squares) the last K columns are
// the responses and every vector has p + K values.
struct RowStatistics {
    std::uint64_t nobs = 0;
    std::size_t nvars = 0;
    std::size_t responses = 1;
    Vec centre;
    Vec products;
    Vec squares;
    Vec deviations;
    double weight = 0.0;
    Vec min;
    Vec max;
    Vec positive_min;
    Vec positive_max;

    // The size (p + K) of every vector and the shape of the products.
    void check() const;
    // Adds another block's statistics (sums added, ranges widened).
    void merge(const RowStatistics& other);
};

// One block's statistics; `products` false forms the squares only (O(n p)
// instead of O(n p^2)).  No weight may be negative (check_weights).  Orders: S and d as gram_sums forms them; the
// squares alone, W and the ranges over the rows in order.
RowStatistics block_statistics(const StridedMatrix& x, std::span<const double> y,
                               std::span<const double> w, std::span<const double> centre,
                               bool products, const Interrupt& interrupt = {});

}  // namespace varnel_core
