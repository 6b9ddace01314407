// The deferred residual update of the naive designs, and the batching of
// their gradient sweeps.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <utility>

#include "base/errors.hpp"
#include "base/numeric.hpp"

namespace varnel_core {

// The residual update of the latest coordinate step, deferred until the
// next gradient so that both can share one sweep over the residual.
struct PendingStep {
    bool pending = false;
    std::size_t j = 0;
    double delta = 0.0;

    void set(std::size_t column, double d) {
        pending = true;
        j = column;
        delta = d;
    }
    // True (once) when a step is waiting.
    bool take() { return std::exchange(pending, false); }
};

// The same for a block step: one move per linear predictor (copied).
struct PendingBlockStep {
    bool pending = false;
    std::size_t j = 0;
    Vec delta;

    explicit PendingBlockStep(std::size_t width) : delta(width, 0.0) {}
    void set(std::size_t column, std::span<const double> d) {
        require(d.size() == delta.size(), "one step per linear predictor");
        pending = true;
        j = column;
        std::copy(d.begin(), d.end(), delta.begin());
    }
    bool take() { return std::exchange(pending, false); }
};

// abs_grad_j = |grad_j| for every included j (outside `skip` when given),
// four columns at a time through `batch(js, out)`.
template <class Batch>
void abs_gradient_batches(const Flags& include, const Flags* skip, std::span<double> abs_grad,
                          Batch&& batch) {
    std::size_t js[4];
    double g[4];
    std::size_t k = 0;
    auto flush_batch = [&] {
        batch(std::span<const std::size_t>(js, k), g);
        for (std::size_t c = 0; c < k; ++c) abs_grad[js[c]] = std::abs(g[c]);
        k = 0;
    };
    for (std::size_t j = 0; j < include.size(); ++j) {
        if (include[j] && !(skip && (*skip)[j])) {
            js[k++] = j;
            if (k == 4) flush_batch();
        }
    }
    if (k) flush_batch();
}

}  // namespace varnel_core
