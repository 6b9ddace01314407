// K-class multinomial (softmax) elastic-net path: coordinate descent on a
// quadratic bound of the loss, rebuilt around the current fit at every
// outer iteration.
#pragma once

#include <cstdint>
#include <span>

#include "control.hpp"
#include "reweighting.hpp"

namespace varnel_core {

// Minimises over the intercepts a0 (K) and the coefficients b (nvars x K),
// on the standardized data:
//   -sum_i w_i [sum_k y_ik eta_ik - log sum_k exp(eta_ik)]
//     + lambda sum_j v_j (alpha sum_k |b_jk| + (1 - alpha)/2 sum_k b_jk^2),
//   eta_ik = offset_ik + a0_k + sum_j x_ij b_jk,
// subject to the box limits on every b_jk; w are the weights normalized to
// sum 1, y_ik is 1 when observation i is of class k (else 0) and v the
// normalized penalty factors.  `grouped` replaces alpha sum_k |b_jk| by
// alpha ||b_j.||_2, so that a variable enters or leaves for every class at
// once.
//
// Each outer iteration bounds the Hessian of observation i's loss,
// w_i (diag(p_i) - p_i p_i^T), by w_i t_i I with
// t_i = min(2 max_k p_ik (1 - p_ik), max_k p_ik), so that the classes share
// the working weights w_i t_i and one curvature per variable (a bound that
// treats the classes alike keeps the coefficients' common shift, which
// only the penalty fixes, from drifting); an outer iteration has converged
// when every weighted
// squared change of a coefficient or an intercept is at most
// thresh * (null deviance / 2).  The intercepts are centred (their mean
// over the classes is 0) at every refit, and the returned ones on the
// caller's scale sum to 0 over the classes.
//
// y holds the class codes 0, 1, ..., K - 1 (K = largest code + 1 >= 2);
// every class needs an observation of positive weight.  `offset` (nobs * K
// values, observation-major: offset_ik at i * K + k) may be null.  The
// result has nclass = K.
FitOutcome multinet(DesignInput x, std::span<const double> y, std::uint64_t nobs,
                    std::uint64_t nvars, const FitConfig& config, const Vec* offset, bool grouped,
                    const Interrupt& interrupt = {});

// K = largest code + 1 of the class codes y; throws InputError naming y
// when a value is not a class code (an integer >= 0) or when y holds fewer
// than two classes or a class below K with no observation.
std::size_t class_count(std::span<const double> y);

}  // namespace varnel_core
