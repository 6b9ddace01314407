// Kernels of the working designs over n x K matrices (K >= 1): the residual
// R and the working weights V, one column per linear predictor (a class of a
// multinomial fit).  The dense kernels (rows_*) take them in the blocked
// layout: the rows in chunks of block_chunk_rows (the last chunk holds the
// rest, m rows), and within a chunk each class's entries contiguous, so that
// entry (i, k) of chunk c = i / block_chunk_rows sits at
//   c * block_chunk_rows * K + k * m_c + (i - c * block_chunk_rows)
// (m_c the chunk's rows).  A column pass reads z_j once per chunk for all K
// classes and streams R and V front to back; every class's sum runs in the
// fixed chains of block_rows.hpp, on the widest instruction set this CPU has,
// with the same bits on every one.  The sparse kernels (gather_*, scatter_*)
// take R and V row-major (row i at R + i * K) and sum over the stored entries
// in index order.  A dense column z is read about its centre c: z_i - c is
// formed value by value and takes the place of z_i.
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

inline constexpr std::size_t block_chunk_rows = 128;

// The n x K matrix a, row-major, rearranged in place into the blocked
// layout, and back; `chunk` holds K * block_chunk_rows doubles of scratch.
void rows_to_blocked(double* a, std::size_t n, std::size_t K, double* chunk) noexcept;
void blocked_to_rows(double* a, std::size_t n, std::size_t K, double* chunk) noexcept;

// out_(s K + k) = sum_i (z_si - c_s) R_ik for the columns s < m, four of
// them per sweep over R (each sum as if taken alone).
void rows_dot(const double* const* z, const double* c, std::size_t m, const double* R,
              std::size_t n, std::size_t K, double* out) noexcept;

// out_(s K + k) = sum_i V_ik (z_si - c_s)^2 for the columns s < m, four
// of them per sweep over V (each sum as if taken alone).
void rows_wsumsq(const double* const* z, const double* c, std::size_t m, const double* V,
                 std::size_t n, std::size_t K, double* out) noexcept;

// R_ik -= (V_ik (z_i - c)) delta_k
void rows_sub(const double* z, double c, const double* V, const double* delta, double* R, std::size_t n,
              std::size_t K) noexcept;

// rows_sub, then rows_dot(next, c_next, R) of the updated R, in one sweep.
void rows_sub_dot(const double* z, double c, const double* V, const double* delta, double* R,
                  const double* next, double c_next, std::size_t n, std::size_t K, double* out) noexcept;

// R_ik += b_t[k] (z_t[i] - c_t) for the columns t < m in turn, each entry
// updated as (((r + b_0 z_0) + b_1 z_1) + ...), in one sweep over R.
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
