// The dense design matrix as the reweighting (logistic, Poisson) solvers hold it.
#pragma once

#include <span>

#include "matrix.hpp"

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

    // eta_i = intercept + sum over the active list, in list order, of coef_k * x_ik
    void linear_predictor(std::span<const double> coef, std::span<const std::size_t> active,
                          double intercept, std::span<double> eta) const;
};

}  // namespace varnel_core
