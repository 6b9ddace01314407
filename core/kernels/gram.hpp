// Weighted, centred and scaled inner products between the columns of a dense
// matrix (a Gram or covariance matrix), and weighted column statistics,
// read straight from the caller's array in any memory order.
//
// What is computed.  For X (n x p), weights w_i >= 0 with W = sum_i w_i,
// centres m and scales s:
//
//     G[k, j] = sum_i w_i (x_ik - m_k)(x_ij - m_j) / (s_k s_j).
//
// The weights are used as given (normalise them to sum 1 for covariances).
// Two centrings:
//   - Centring::given: m = the centres passed (0 when none are passed, which
//     gives the uncentred products, as a fit without intercept needs).
//   - Centring::weighted_mean: m = the exact weighted means sum_i w_i x_ik / W.
//     The centres passed (by default the weighted means of the first
//     gram_centre_rows rows) are only provisional, c: the kernel forms S = sums of
//     w (x - c)(x - c)' together with d_k = sum_i w_i (x_ik - c_k) and W, and
//     returns (S[k, j] - d_k d_j / W) / (s_k s_j), which is G at the exact
//     means.  The means c + d / W can be given back.  No value is multiplied
//     before its centre is subtracted, so a column like 1.7e9 + noise or
//     1e12 + noise keeps full relative precision even when its mean is not a
//     representable double, as long as c is not far from the mean in units
//     of the column's spread (the weighted_column_stats means are ideal).
//
// How.  The rows are taken in blocks of gram_block_rows, each block in chunks
// of gram_chain_rows.  A chunk is packed, a_ik = sqrt(w_i) (x_ik - c_k), and
// a register-blocked micro-kernel adds its products to the block's partial
// result: within a chunk every sum is one chain of fused multiply-adds over
// the rows in order, started from 0; the chunk sums are added to the block's
// partial result (started from 0) in row order; and the blocks' partial
// results are added to the total in block order.  gram_full forms only the
// triangle on and below the diagonal and mirrors it.  For Centring::
// weighted_mean the sums d_k = sum_i sqrt(w_i) a_ik are formed with the same
// chunk, block and total order, and W = sum_i w_i block by block (within a
// block four running sums over the rows i = 0, 1, 2, 3 mod 4 in order, added
// as (s0 + s1) + (s2 + s3)), then in block order.  The micro-kernel is
// chosen at run time: AVX-512, AVX2+FMA, or a portable one that calls
// std::fma (on x86-64 CPUs without FMA that one is slow).  With n_threads > 1
// the blocks are shared among threads and their partial results still added
// in block order.  Memory: per thread the packed rows of one chunk
// (gram_chain_rows x p doubles) and one partial result of about p (p + 1) / 2
// doubles for gram_full (p x |cols| for gram_columns); with several threads a
// few more partial results waiting for their turn (one at least, 16 MiB of
// them at most); and the total of that size.  The caller's thread keeps its
// scratch (up to 4 MiB per buffer) for its next call.  Time: about
// n p (p + 1) / 2 fused multiply-adds for gram_full, n p |cols| for
// gram_columns, plus one pass over X that packs it.
//
// Reproducibility.  Every entry depends only on the input values (x, w,
// centring, centres, scales): for a given build, the result has the same bits
//   - whatever the memory layout of X (C order, Fortran order, any strides),
//   - whichever micro-kernel runs (AVX-512, AVX2 and portable agree to the
//     bit: each sum is formed in the same order with the same fused
//     operations; only the speed differs),
//   - whatever the number of threads,
//   - in gram_columns and in gram_full (gram_columns gives exactly the
//     entries of gram_full, whatever the other columns requested), and for
//     G[k, j] and G[j, k].
// The bits do change with gram_chain_rows and gram_block_rows and with the
// provisional centres (weighted_mean with different centres passed gives
// results equal to rounding only).
//
// Interrupts.  The interrupt is polled on the calling thread once per block
// of rows it takes; Interrupted stops every thread and leaves out and means
// unspecified.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "base/interrupt.hpp"
#include "base/numeric.hpp"

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

// Rows per chain and rows per block; part of the summation order, hence of
// the bits (see above).  The provisional centres of Centring::weighted_mean
// are the weighted means of the first gram_centre_rows rows.
inline constexpr std::size_t gram_chain_rows = 64;
inline constexpr std::size_t gram_block_rows = 1024;
inline constexpr std::size_t gram_centre_rows = 256;

// The micro-kernels; `best` is the fastest one this CPU runs.
enum class GramKernel { best, portable, avx2, avx512 };

// Whether `k` can run on this CPU (best and portable always can).
bool gram_kernel_available(GramKernel k) noexcept;
// The kernel `best` stands for on this CPU.
GramKernel gram_best_kernel() noexcept;
std::string_view gram_kernel_name(GramKernel k) noexcept;
// The rate, in fused multiply-adds per second, of a loop of kernel k's
// vector operations on registers only: one core's peak, to compare the Gram
// products with (best of several runs of about `seconds` each).
double gram_fma_peak(GramKernel k = GramKernel::best, double seconds = 0.05);

enum class Centring { given, weighted_mean };

// The columns are those of x followed by those of `extra` (an optional n x e
// matrix, e.g. the response, so that X'Wy and y'Wy come out of the same pass):
// p = x.ncols + extra.ncols below, and column indices run over both.
//
// out[k + t * ld] = G[k, cols[t]] for every k < p and t < cols.size():
// a p x cols.size() column-major block (ld >= p).  w has n entries; centre
// and scale have p entries, or are empty (centres: 0 for `given`, the first
// block's weighted means for `weighted_mean`; scales: 1).  `means` is empty
// or, with weighted_mean only, receives the p exact weighted means.
// Requesting a kernel this CPU lacks, or n_threads = 0, is a precondition
// failure.
void gram_columns(const StridedMatrix& x, std::span<const double> w, Centring centring,
                  std::span<const double> centre, std::span<const double> scale,
                  std::span<const std::size_t> cols, double* out, std::size_t ld,
                  std::span<double> means = {}, GramKernel kernel = GramKernel::best,
                  const StridedMatrix& extra = {}, std::size_t n_threads = 1,
                  const Interrupt& interrupt = {});

// out[k + j * ld] = G[k, j] for all k, j < p (both triangles; ld >= p).
// About half the work of gram_columns with every column, using symmetry.
void gram_full(const StridedMatrix& x, std::span<const double> w, Centring centring,
               std::span<const double> centre, std::span<const double> scale, double* out,
               std::size_t ld, std::span<double> means = {},
               GramKernel kernel = GramKernel::best, const StridedMatrix& extra = {},
               std::size_t n_threads = 1, const Interrupt& interrupt = {});

// The sums behind Centring::weighted_mean, left uncorrected, so that blocks
// of rows can be summed separately and merged: with centres c (every block
// the same ones; empty: 0),
//   out[k + j * ld] = S[k, j] = sum_i w_i (x_ik - c_k)(x_ij - c_j)   (both triangles),
//   deviations[k]   = d_k     = sum_i w_i (x_ik - c_k),
// and the returned W = sum_i w_i; columns are those of x followed by those
// of `extra`, as in gram_full.  S, d and W summed over the blocks give the
// exact centred products of all the rows, S - d d' / W, and their weighted
// means, c + d / W, as weighted_mean forms them within one call (with the
// same care for large means when c is near them).  Same orders, threads and
// bits as gram_full with weighted_mean and these centres.
double gram_sums(const StridedMatrix& x, std::span<const double> w, std::span<const double> centre,
                 double* out, std::size_t ld, std::span<double> deviations,
                 const StridedMatrix& extra = {}, std::size_t n_threads = 1,
                 const Interrupt& interrupt = {});

// Weighted column statistics in one pass over X, numerically stable for
// large means: with W = sum_i w_i,
//   mean[j] = sum_i w_i x_ij / W,
//   var[j]  = sum_i w_i (x_ij - mean_j)^2 / W,
//   cov[j]  = sum_i w_i (x_ij - mean_j)(y_i - mean_y) / W   (only if y is given),
// and the returned value is mean_y (0 without y).  Every value is first
// shifted by the weighted mean of the first block of gram_centre_rows rows with
// positive weight; each such block of rows then gets its own two-pass mean and
// squared deviations, the blocks of each gram_block_rows rows are merged in
// order by the pairwise update of Chan, Golub and LeVeque, and those merged
// blocks are merged the same way in order, so no sum of squares of uncentred
// values is ever formed.  W must be positive.  var and cov may be empty spans
// to skip them.  The rows go through the Gram packers, so the bits are the
// same for any memory layout, any CPU and any number of threads (the
// interrupt is polled as for gram_full).
double weighted_column_stats(const StridedMatrix& x, std::span<const double> w,
                             std::span<const double> y, std::span<double> mean,
                             std::span<double> var, std::span<double> cov,
                             std::size_t n_threads = 1, const Interrupt& interrupt = {});

}  // namespace varnel_core
