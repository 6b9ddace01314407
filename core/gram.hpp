// Weighted, centred and scaled inner products between the columns of a dense
// matrix (a Gram or covariance matrix), and weighted column statistics,
// read straight from the caller's array in any memory order.
//
// What is computed.  For X (n x p), weights w_i >= 0, centres c and scales s:
//
//     G[k, j] = sum_i w_i (x_ik - c_k)(x_ij - c_j) / (s_k s_j).
//
// The weights are used as given (normalise them to sum 1 for covariances).
// Centring happens before any product is formed: every value is replaced by
// a_ik = sqrt(w_i) (x_ik - c_k) while a block of rows is packed, so a column
// such as 1.7e9 + noise keeps its full relative precision as long as c_k is
// its mean (as given by weighted_column_stats) rather than 0.
//
// How.  Rows are taken in blocks of gram_row_block.  A block is packed into
// column panels (centring and sqrt(w) folded in), and a register-blocked
// micro-kernel adds each packed block's products to the result: within a
// block every G[k, j] is one chain of fused multiply-adds over the rows in
// order, started from 0, and the block sums are added to G in block order.
// The micro-kernel is chosen at run time: AVX-512, AVX2+FMA, or a portable
// one that calls std::fma (on x86-64 CPUs without FMA that one is slow).
//
// Reproducibility.  The value of every entry depends only on the input
// values (x, w, c, s): for a given build, the result has the same bits
//   - whatever the memory layout of X (C order, Fortran order, any strides),
//   - whichever micro-kernel runs (AVX-512, AVX2 and portable agree to the
//     bit, since each entry's sums are formed in the same order with the same
//     fused operations; only the speed differs),
//   - in gram_columns and in gram_full (gram_columns gives exactly the
//     entries of gram_full), and for G[k, j] and G[j, k].
// No threads are used.  Different compilers could still differ in std::sqrt
// or division only if they broke IEEE 754, which the build flags forbid.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace varnel_core {

// A read-only view of a float64 matrix: element (i, j) is
// data[i * row_stride + j * col_stride] (strides in elements, any sign).
// C order: (p, 1); Fortran order: (1, n).
struct StridedMatrix {
    const double* data = nullptr;
    std::size_t nrows = 0;
    std::size_t ncols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;

    double at(std::size_t i, std::size_t j) const noexcept {
        return data[static_cast<std::ptrdiff_t>(i) * row_stride +
                    static_cast<std::ptrdiff_t>(j) * col_stride];
    }
};

// Rows per packed block; part of the summation order, hence of the bits.
inline constexpr std::size_t gram_row_block = 256;

// The micro-kernels; `best` is the fastest one this CPU runs.
enum class GramKernel { best, portable, avx2, avx512 };

// Whether `k` can run on this CPU (best and portable always can).
bool gram_kernel_available(GramKernel k) noexcept;
// The kernel `best` stands for on this CPU.
GramKernel gram_best_kernel() noexcept;
std::string_view gram_kernel_name(GramKernel k) noexcept;

// out[k + t * ld] = G[k, cols[t]] for every k < p and t < cols.size():
// a p x cols.size() column-major block (ld >= p).  w has n entries; centre
// and scale have p entries, or are empty for 0 and 1.  Requesting a kernel
// this CPU lacks is a precondition failure.
void gram_columns(const StridedMatrix& x, std::span<const double> w,
                  std::span<const double> centre, std::span<const double> scale,
                  std::span<const std::size_t> cols, double* out, std::size_t ld,
                  GramKernel kernel = GramKernel::best);

// out[k + j * ld] = G[k, j] for all k, j < p (both triangles; ld >= p).
// About half the work of gram_columns with every column, using symmetry.
void gram_full(const StridedMatrix& x, std::span<const double> w, std::span<const double> centre,
               std::span<const double> scale, double* out, std::size_t ld,
               GramKernel kernel = GramKernel::best);

// Weighted column statistics in one pass over X, numerically stable for
// large means: with W = sum_i w_i,
//   mean[j] = sum_i w_i x_ij / W,
//   var[j]  = sum_i w_i (x_ij - mean_j)^2 / W,
//   cov[j]  = sum_i w_i (x_ij - mean_j)(y_i - mean_y) / W   (only if y is given),
// and the returned value is mean_y (0 without y).  Each block of rows gets
// its own two-pass mean and squared deviations, and the blocks are merged by
// the pairwise update of Chan, Golub and LeVeque, so no sum of squares of
// uncentred values is ever formed.  W must be positive.  var and cov may be
// empty spans to skip them.  The same bits for any memory layout; no SIMD
// dispatch (the loops are plain C++).
double weighted_column_stats(const StridedMatrix& x, std::span<const double> w,
                             std::span<const double> y, std::span<double> mean,
                             std::span<double> var, std::span<double> cov);

}  // namespace varnel_core
