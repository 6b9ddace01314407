// Kernels of the working designs over n x K matrices held row-major (row i
// at R + i * K, K >= 1): the residual R and the working weights V, one
// column per linear predictor (a class of a multinomial fit).  A column pass reads z_j once and
// carries K sums; each sum runs over the rows (or stored entries) in index
// order.  The dense kernels (rows_*) run on the widest instruction set this
// CPU has (block_rows.hpp), with the same bits on every one.  A dense column z is read about its centre c: z_i - c is formed
// value by value and takes the place of z_i.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace varnel_core {

namespace block_detail {
struct RowKernels;
}
// The dense kernels of an instruction set: "portable", "avx2", "avx512",
// or "best" (the widest this CPU runs, which the rows_* functions use);
// null when this CPU or build cannot run it.
const block_detail::RowKernels* block_row_kernels(std::string_view name) noexcept;

// out_k = sum_i (z_i - c) R_ik
void rows_dot(const double* z, double c, const double* R, std::size_t n, std::size_t K,
              double* out) noexcept;

// out_k = sum_i V_ik (z_i - c)^2
void rows_wsumsq(const double* z, double c, const double* V, std::size_t n, std::size_t K,
                 double* out) noexcept;

// R_ik -= (V_ik (z_i - c)) delta_k
void rows_sub(const double* z, double c, const double* V, const double* delta, double* R, std::size_t n,
              std::size_t K) noexcept;

// rows_sub, then rows_dot(next, c_next, R) of the updated R, in one sweep.
void rows_sub_dot(const double* z, double c, const double* V, const double* delta, double* R,
                  const double* next, double c_next, std::size_t n, std::size_t K, double* out) noexcept;

// R_ik += b_t[k] (z_t[i] - c_t) for the columns t < m (at most 4) in turn,
// in one sweep over R.
void rows_add(const double* const* z, const double* c, const double* const* b, std::size_t m, double* R,
              std::size_t n, std::size_t K) noexcept;

// Over the m stored entries (rows[e], s[e]) of a sparse column:
// out_k = sum_e s_e R_{rows[e], k}
void gather_dot(const std::uint64_t* rows, const double* s, std::size_t m, const double* R,
                std::size_t K, double* out) noexcept;

// gather_dot of R and of V side by side, in one sweep over the entries.
void gather_dot2(const std::uint64_t* rows, const double* s, std::size_t m, const double* R,
                 const double* V, std::size_t K, double* out_r, double* out_v) noexcept;

// R_{rows[e], k} -= (V_{rows[e], k} d_k) s_e over the m stored entries.
void scatter_sub(const std::uint64_t* rows, const double* s, std::size_t m, const double* V,
                 const double* d, double* R, std::size_t K) noexcept;

}  // namespace varnel_core
