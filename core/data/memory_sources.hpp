// Statistics sources over a dense X held in memory, read in place in any
// memory order: the products come from the Gram kernel (kernels/gram.hpp),
// whose bits do not depend on the memory layout of x, on the CPU's vector
// unit, nor on which other columns a batch holds.  A path on them therefore
// has the same bits for the same input in any layout, though not those of
// the naive (residual) designs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "base/interrupt.hpp"
#include "data/block_sums.hpp"
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

// A reweighting family's passes over all the rows of x in memory: one
// block, the whole of x, with F over all the rows (F::over_block) for the
// per-row maths.  Each evaluation and each batch of products reads x once.
template <class F>
class MemoryRows : public RowPasses {
public:
    MemoryRows(F family, const StandardizedBlock& z, const Interrupt& interrupt)
        : family_(std::move(family)), z_(z), interrupt_(interrupt) {}

    void evaluate(std::span<const double> coef, std::span<const std::size_t> active,
                  std::span<const double> b0, std::span<const std::size_t> cols,
                  RowSums& sums) override {
        family_block_sums(family_, z_, coef, active, b0, cols, sums, eta_, v_, r_, interrupt_);
        ++count_;
    }
    void products(std::span<const std::size_t> cols, double* out) override {
        block_products(z_, family_.width(), v_, cols, out, interrupt_);
        ++count_;
    }
    double saturated_loss() override { return family_.saturated_loss_sum(); }
    std::uint64_t count() const override { return count_; }

private:
    F family_;
    StandardizedBlock z_;
    const Interrupt& interrupt_;
    Vec eta_, v_, r_;
    std::uint64_t count_ = 0;
};

}  // namespace varnel_core
