// The sums of a block of rows that a statistics design takes (RowSums, see
// data/statistics.hpp): the linear predictor of an iterate, then, from a
// loss's working weights v and residuals r at it (losses/summed.hpp), the
// column sums Z'r and Z'v and the products Z'V_k Z[:, cols].  The same code serves the whole of
// an X held in memory and one block of a distributed array, so that the
// blocks' sums add up to what the whole gives.
//
// Summation orders: the linear predictor is formed row by row, the active
// variables added in list order; Z'r, Z'v and the products come from the
// Gram kernel (kernels/gram.hpp, the centres given), whose bits depend on
// neither the memory layout of x nor the vector unit; sum_i v_ik and
// sum_i r_ik run over the rows in order.
#pragma once

#include <cstddef>
#include <span>

#include "base/interrupt.hpp"
#include "base/numeric.hpp"
#include "data/statistics.hpp"
#include "kernels/gram.hpp"

namespace varnel_core {

// A block of rows of x, read in place, as standardized columns
// z_j = (x_j - centre_j) / scale_j (centre empty: 0); its Gram products run
// on up to n_threads threads (the same bits for any count).
struct StandardizedBlock {
    StridedMatrix x;
    std::span<const double> centre;
    std::span<const double> scale;
    std::size_t n_threads = 1;
};

// eta (n x K, row-major) = offset + b0_k + sum over active j of
// coef[j * K + k] z_ij (offset empty: 0).
void block_linear_predictor(const StandardizedBlock& z, std::size_t width,
                            std::span<const double> coef, std::span<const std::size_t> active,
                            std::span<const double> b0, std::span<const double> offset,
                            std::span<double> eta, const Interrupt& interrupt);

// sums.gradient, weighted, weight_sums and residual_sums from v and r (n x K,
// row-major); the products and the loss are left as they are.
void block_working_sums(const StandardizedBlock& z, std::size_t width, std::span<const double> v,
                        std::span<const double> r, RowSums& sums, const Interrupt& interrupt);

// out[(t * K + k) * p + j] = <z_j, v_.k z_cols[t]>.
void block_products(const StandardizedBlock& z, std::size_t width, std::span<const double> v,
                    std::span<const std::size_t> cols, double* out, const Interrupt& interrupt);

}  // namespace varnel_core
