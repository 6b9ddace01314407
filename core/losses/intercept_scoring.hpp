// The intercept of a GLM family's null model with an offset: scoring on the
// intercept b alone, its steps halved as the path's are.  One algorithm for
// the rows in memory (GlmFamily) and for rows summed over blocks (a fit
// from statistics, one pass over the blocks per evaluation): `at(b)` gives
// the loss, score and information at eta_i = offset_i + b,
//   loss          half the weighted deviance per unit weight
//   score         sum_i w_i a_i (y_i - mu_i)
//   information   sum_i w_i a_i f_i
// (a and f as in losses/glm.hpp), or nullopt when a mean leaves the
// family's domain there.
//
// The start is the first of `starts` whose means lie inside the domain;
// then each step score / information that raises the loss (by more than
// 1e-14 of it) or leaves the domain is halved, 60 times at most (then b
// stays), until b changes by at most 1e-15 of itself, 200 steps at most.
// nullopt when no start lies inside.
#pragma once

#include <cmath>
#include <initializer_list>
#include <optional>

namespace varnel_core {

struct InterceptScore {
    double loss;
    double score;
    double information;
};

template <class At>
std::optional<double> scored_intercept(std::initializer_list<double> starts, At&& at) {
    double b = 0.0;
    std::optional<InterceptScore> here;
    for (const double start : starts) {
        if (std::isfinite(start) && (here = at(start))) {
            b = start;
            break;
        }
    }
    if (!here) return std::nullopt;
    for (int it = 0; it < 200; ++it) {
        if (!(here->information > 0.0)) break;
        const double step = here->score / here->information, before = here->loss;
        double t = 1.0, next = b + step;
        int halvings = 0;
        std::optional<InterceptScore> trial;
        while (!((trial = at(next)) && trial->loss - before <= 1e-14 * std::abs(before)) &&
               halvings < 60) {
            t *= 0.5;
            next = b + t * step;
            ++halvings;
        }
        if (halvings == 60) break;
        const bool done = std::abs(next - b) <= 1e-15 * std::fmax(1.0, std::abs(b));
        b = next;
        here = trial;
        if (done) break;
    }
    return b;
}

}  // namespace varnel_core
