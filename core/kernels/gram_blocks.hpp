// Blocks of rows on several threads, merged in a fixed order.
#pragma once

#include <cstddef>
#include <memory>

#include "base/interrupt.hpp"
#include "base/numeric.hpp"

namespace varnel_core {

// One thread's scratch in a blocked pass.
class BlockWorker {
public:
    virtual ~BlockWorker() = default;
    // Forms the partial result of block `block` from scratch in result slot `slot`.
    virtual void compute(std::size_t block, std::size_t slot) = 0;

    // The calling thread's worker is given the pass's interrupt, so that a
    // block long enough to outlast a keystroke can ask within itself.
    void watch(const Interrupt* interrupt) { interrupt_ = interrupt; }

protected:
    // Polls the interrupt when this is the calling thread's worker.
    void poll() const {
        if (interrupt_ != nullptr) interrupt_->poll();
    }

private:
    const Interrupt* interrupt_ = nullptr;
};

// What a blocked pass does: its partial results live in `slots` result
// slots, which merge adds to the shared result.
class BlockPass {
public:
    virtual ~BlockPass() = default;
    // Called once, before anything else, with the number of slots used.
    virtual void reserve(std::size_t slots) = 0;
    // A worker for the calling thread.
    virtual std::unique_ptr<BlockWorker> worker() = 0;
    // Adds the partial result in `slot` to the shared result.
    virtual void merge(std::size_t slot) = 0;
};

// Computes every block b < nblocks on up to n_threads threads (the caller's
// among them), each thread taking the next block as it comes free, and
// merges the blocks' partial results in the order b = 0, 1, 2, ..., one at a
// time: the merged result does not depend on the number of threads.  A block
// waits for its merge in a result slot; there are a few more slots than
// threads (up to about max_slot_bytes of them), so a thread that falls
// behind delays the others only when the slots run out.  The interrupt is
// polled on the calling thread only, before each of its blocks, while it
// waits and wherever its worker polls within a block.  The first exception (from any thread, or Interrupted) stops every
// thread and is rethrown on the calling thread; when no thread can be
// started the pass runs on the calling thread alone.
void run_blocks_in_order(std::size_t nblocks, std::size_t n_threads, std::size_t slot_bytes,
                         const Interrupt& interrupt, BlockPass& pass);

}  // namespace varnel_core
