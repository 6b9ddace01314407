// Statistics sources over a dense X held in memory, read in place in any
// memory order: the products come from the Gram kernel (kernels/gram.hpp),
// whose bits do not depend on the memory layout of x, on the CPU's vector
// unit, nor on which other columns a batch holds.  A path on them therefore
// has the same bits for the same input in any layout, though not those of
// the naive (residual) designs.  (A reweighting loss's passes over the rows
// in memory are the summed adapter's, losses/summed.hpp.)
#pragma once

#include <cstddef>
#include <span>

#include "base/interrupt.hpp"
#include "data/statistics.hpp"
#include "kernels/gram.hpp"

namespace varnel_core {

// Least squares: the weights are fixed, so each column's products are
// formed once, <z_j, w z_c> with z_j = (x_j - centre_j) / scale_j (centre
// empty: 0), on up to n_threads threads (the same bits for any count).  x
// must outlive the source.
class FixedWeightsSource : public StatisticsSource {
public:
    FixedWeightsSource(const StridedMatrix& x, std::span<const double> w,
                       std::span<const double> centre, std::span<const double> scale,
                       std::size_t n_threads, const Interrupt& interrupt);
    void products(std::span<const std::size_t> cols, double* out) override;

private:
    StridedMatrix x_;
    std::span<const double> w_;
    std::span<const double> centre_;
    std::span<const double> scale_;
    std::size_t threads_;
    const Interrupt& interrupt_;
};

}  // namespace varnel_core
