// Least-squares elastic-net path by cyclic coordinate descent with naive
// (residual) updates, for dense and compressed-sparse-column designs.
#pragma once

#include <cstdint>
#include <span>

#include "fit/options.hpp"
#include "kernels/gram.hpp"
#include "designs/matrix.hpp"

namespace varnel_core {

// Minimises, on the standardized data, over (a0, b):
//   1/2 sum_i wn_i (y_i - a0 - x_i b)^2
//     + lambda sum_j v_j (alpha |b_j| + (1 - alpha)/2 b_j^2)
// subject to lower_j <= b_j <= upper_j, along a decreasing lambda sequence;
// wn are the weights normalized to sum 1 and v the normalized penalty
// factors.  Convergence: the largest x_sumsq_j * delta_j^2 of a pass (on the
// response's unit scale) falls below `thresh`.
// x is column-major, nobs * nvars values; the solver works in this buffer.
FitOutcome elnet_naive(Vec x, std::span<const double> y, std::uint64_t nobs,
                       std::uint64_t nvars, const FitConfig& config,
                       const Interrupt& interrupt = {});

// The same path for a CSC design; centring, scaling and weights are applied
// implicitly so the matrix is never densified.  The solver keeps the three
// CSC arrays as its matrix.
FitOutcome elnet_naive_sparse(Index col_ptr, Index row_idx, Vec values, std::span<const double> y,
                              std::uint64_t nobs, std::uint64_t nvars, const FitConfig& config,
                              const Interrupt& interrupt = {});

// The same path with covariance updates: x (read in place, any layout) is
// only read to form the inner products of the columns that enter the strong
// set; coordinate steps then cost O(p).  The objective, the path rules and
// the result are those of elnet_naive; the summation order is the Gram
// kernel's (see covariance.hpp for what is reproducible).
FitOutcome elnet_covariance(const StridedMatrix& x, std::span<const double> y,
                            const FitConfig& config, const Interrupt& interrupt = {});

// Up to this many columns the covariance solver forms every product at
// once (a tall path usually needs most of them; p * p doubles); beyond, as
// columns enter.
inline constexpr std::size_t covariance_all_at_once = 2000;

}  // namespace varnel_core
