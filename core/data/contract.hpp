// The matrix contract: what every design matrix answers, whatever holds its
// values (a dense array in any memory order, compressed sparse columns, or
// a lazy centred and scaled view of either).  The coordinate-descent
// designs (least squares, working weights, covariance) and the covariance
// solvers are written against it.
//
// For a matrix X (rows() x cols()), column j written x_j:
//   dot(j, v)                    <x_j, v>
//   weighted_dot(j, w, v)        sum_i (w_i x_ij) v_i
//   axpy(j, a, r)                r -= a x_j             (a residual update)
//   weighted_axpy(j, w, a, r)    r -= (w a) x_j, row by row
//   weighted_sums(j, w)          {sum_i w_i x_ij, sum_i w_i x_ij^2}
//   transpose_times(S, v, out)   out_t = <x_{S_t}, v>   (X_S' v)
//   times(S, b, out)             out = X_S b, b_t the coefficient of S_t
//   sandwich(S, w, out)          out = X_S' diag(w) X_S, |S| x |S| row-major
//
// A storage (dense, CSC) also answers each of them for the centred columns
// x_j - c_j, given the centres as a last argument (a number for one column,
// one per column of S for a set), in the way that keeps precision for its
// storage: a dense column is centred value by value, a CSC column through
// the centring terms of its unstored rows.  The standardized view
// (data/standardized.hpp) divides those by the scales.  Each
// implementation states its summation orders; the same values give the
// same bits in any memory layout.
#pragma once

#include <concepts>
#include <cstddef>
#include <span>

namespace varnel_core {

// A column's weighted sums, sum_i w_i x_ij and sum_i w_i x_ij^2.
struct ColumnSums {
    double sum = 0.0;
    double squares = 0.0;
};

template <class M>
concept MatrixContract = requires(const M& m, std::size_t j, std::span<const double> v,
                                  std::span<double> r, std::span<const std::size_t> set,
                                  double a) {
    { m.rows() } -> std::same_as<std::size_t>;
    { m.cols() } -> std::same_as<std::size_t>;
    { m.dot(j, v) } -> std::same_as<double>;
    { m.weighted_dot(j, v, v) } -> std::same_as<double>;
    m.axpy(j, a, r);
    m.weighted_axpy(j, v, a, r);
    { m.weighted_sums(j, v) } -> std::same_as<ColumnSums>;
    m.transpose_times(set, v, r);
    m.times(set, v, r);
    m.sandwich(set, v, r);
};

// A storage: the contract, and each operation about given centres.
template <class M>
concept CentredStorage = MatrixContract<M> &&
                         requires(const M& m, std::size_t j, std::span<const double> v,
                                  std::span<double> r, std::span<const std::size_t> set,
                                  double a) {
                             { m.dot(j, v, a) } -> std::same_as<double>;
                             { m.weighted_dot(j, v, v, a) } -> std::same_as<double>;
                             m.axpy(j, a, r, a);
                             m.weighted_axpy(j, v, a, r, a);
                             { m.weighted_sums(j, v, a) } -> std::same_as<ColumnSums>;
                             m.transpose_times(set, v, r, v);
                             m.times(set, v, r, v);
                             m.sandwich(set, v, r, v);
                         };

}  // namespace varnel_core
