// The dense design matrix as the reweighting (logistic, Poisson) solvers hold it.
#pragma once

#include <span>

#include "designs/matrix.hpp"

namespace varnel_core {

struct DenseGlm : Dense {
    using Dense::Dense;
    explicit DenseGlm(Dense d) : Dense(std::move(d)) {}

    // sum_i v_i * x_ij^2, in the order of wdot4
    double weighted_sumsq(std::size_t j, std::span<const double> v) const {
        require(v.size() >= nrows, "weights shorter than the column");
        const std::span<const double> c(col(j), nrows);
        return wdot4(v, c, c);
    }

    // out_j = weighted_sumsq(j, v) for every j with flags[j] set, four
    // columns at a time.
    void weighted_sumsq_flagged(const Flags& flags, std::span<const double> v,
                                std::span<double> out) const;

    // r -= (v * delta) * x_j, then <x_k, r>, in one sweep
    double update_then_dot(std::size_t j, std::span<const double> v, double delta,
                           std::span<double> r, std::size_t k) const {
        require(v.size() >= nrows && r.size() >= nrows, "vectors shorter than the columns");
        return sub_weighted_scaled_dot4(r.data(), v.data(), col(j), delta, col(k), nrows);
    }
    void update(std::size_t j, std::span<const double> v, double delta, std::span<double> r) const {
        require(v.size() >= nrows && r.size() >= nrows, "vectors shorter than the columns");
        sub_weighted_scaled(r.data(), v.data(), col(j), delta, nrows);
    }

    // eta_i = intercept + sum over the active list, in list order, of coef_k * x_ik
    void linear_predictor(std::span<const double> coef, std::span<const std::size_t> active,
                          double intercept, std::span<double> eta) const;
};

}  // namespace varnel_core
