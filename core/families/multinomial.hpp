// K-class multinomial (softmax) elastic-net path: coordinate descent on a
// quadratic bound of the loss, rebuilt around the current fit at every
// outer iteration.
#pragma once

#include <cstdint>
#include <span>

#include "fit/options.hpp"
#include "families/reweighting.hpp"

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
// w_i (diag(p_i) - p_i p_i^T), by the diagonal 2 w_i diag(p_i (1 - p_i))
// (exact for two classes), which gives working weights and curvatures per
// class; an outer iteration has converged when every weighted squared
// change of a coefficient or an intercept is at most
// thresh * (null deviance / 2).  The loss sees only differences between
// the classes: before every refit each active variable's K coefficients
// take the common shift that minimises their penalty (an unpenalized
// variable's, a grouped one's and a ridge one's then sum to 0 over the
// classes unless a limit binds; an L1 minimiser that is not unique, as
// with an even K, moves as little as possible), and the intercepts are
// centred.  The returned intercepts on the caller's scale sum to 0 over
// the classes.
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
