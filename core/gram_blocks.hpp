// Blocks of rows on several threads, merged in a fixed order.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "control.hpp"

namespace varnel_core {

// One thread's share of a blocked pass: compute(b) forms the partial result
// of block b from scratch; merge(b) adds it to the shared result.
class BlockWorker {
public:
    virtual ~BlockWorker() = default;
    virtual void compute(std::size_t block) = 0;
    virtual void merge(std::size_t block) = 0;
};

// Runs compute(b) for every block b < nblocks on up to n_threads threads
// (the caller's among them; each thread gets its own worker from
// make_worker, called on that thread), and merge(b) for b = 0, 1, 2, ... in
// that order, one at a time, each on the thread that computed b.  The merged
// result therefore does not depend on the number of threads.  The interrupt
// is polled on the calling thread only, before each of its blocks.  The first
// exception (from any thread, or Interrupted) stops every thread and is
// rethrown on the calling thread; when no thread can be started the pass runs
// on the calling thread alone.
void run_blocks_in_order(std::size_t nblocks, std::size_t n_threads, const Interrupt& interrupt,
                         const std::function<std::unique_ptr<BlockWorker>()>& make_worker);

}  // namespace varnel_core
