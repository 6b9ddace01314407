#include "kernels/gram_blocks.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace varnel_core {

namespace {

// Memory the waiting partial results may take beyond one per thread.
constexpr std::size_t kSpareSlotBytes = 16u << 20;

class Schedule {
public:
    Schedule(std::size_t nblocks, std::size_t slots, const Interrupt& interrupt, BlockPass& pass)
        : nblocks_(nblocks), interrupt_(interrupt), pass_(pass), ready_(nblocks, kNone) {
        for (std::size_t s = slots; s-- > 0;) free_.push_back(s);
    }

    // The loop of one thread; never throws.
    void run(bool caller) noexcept {
        try {
            std::unique_ptr<BlockWorker> worker;
            for (;;) {
                if (caller) interrupt_.poll();
                std::size_t block = 0, slot = 0;
                if (!take(caller, block, slot)) return;
                if (!worker) {
                    worker = pass_.worker();
                    if (caller) worker->watch(&interrupt_);
                }
                worker->compute(block, slot);
                finish(block, slot);
            }
        } catch (...) {
            std::lock_guard lock(mutex_);
            if (!error_) error_ = std::current_exception();
            stop_ = true;
            changed_.notify_all();
        }
    }

    void rethrow() const {
        if (error_) std::rethrow_exception(error_);
    }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    // The next block and a free slot for it; false when there is nothing left.
    bool take(bool caller, std::size_t& block, std::size_t& slot) {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (stop_ || next_block_ >= nblocks_) return false;
            if (!free_.empty()) break;
            if (caller) {  // keep answering interrupts while the others catch up
                changed_.wait_for(lock, std::chrono::milliseconds(20));
                lock.unlock();
                interrupt_.poll();
                lock.lock();
            } else {
                changed_.wait(lock);
            }
        }
        block = next_block_++;
        slot = free_.back();
        free_.pop_back();
        return true;
    }

    // Hands block's slot over for merging; the thread that finds no merge
    // going on merges every block whose turn has come.
    void finish(std::size_t block, std::size_t slot) {
        std::unique_lock lock(mutex_);
        ready_[block] = slot;
        if (merging_) return;
        merging_ = true;
        while (!stop_ && next_merge_ < nblocks_ && ready_[next_merge_] != kNone) {
            const std::size_t s = ready_[next_merge_];
            lock.unlock();
            try {
                pass_.merge(s);
            } catch (...) {
                lock.lock();
                merging_ = false;
                throw;
            }
            lock.lock();
            ++next_merge_;
            free_.push_back(s);
            changed_.notify_all();
        }
        merging_ = false;
    }

    const std::size_t nblocks_;
    const Interrupt& interrupt_;
    BlockPass& pass_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::size_t> ready_, free_;
    std::size_t next_block_ = 0, next_merge_ = 0;
    bool merging_ = false, stop_ = false;
    std::exception_ptr error_;
};

}  // namespace

void run_blocks_in_order(std::size_t nblocks, std::size_t n_threads, std::size_t slot_bytes,
                         const Interrupt& interrupt, BlockPass& pass) {
    if (nblocks == 0) return;
    const std::size_t wanted = std::max<std::size_t>(1, std::min(n_threads, nblocks));
    if (wanted == 1) {
        pass.reserve(1);
        auto worker = pass.worker();
        worker->watch(&interrupt);
        for (std::size_t b = 0; b < nblocks; ++b) {
            interrupt.poll();
            worker->compute(b, 0);
            pass.merge(0);
        }
        return;
    }
    const std::size_t spare =
        std::clamp<std::size_t>(kSpareSlotBytes / std::max<std::size_t>(slot_bytes, 1), 1, 3 * wanted);
    pass.reserve(std::min(nblocks, wanted + spare));
    Schedule schedule(nblocks, std::min(nblocks, wanted + spare), interrupt, pass);
    std::vector<std::thread> helpers;
    helpers.reserve(wanted - 1);
    for (std::size_t t = 1; t < wanted; ++t) {
        try {
            helpers.emplace_back([&schedule] { schedule.run(false); });
        } catch (const std::system_error&) {
            break;  // fewer threads
        }
    }
    schedule.run(true);
    for (auto& h : helpers) h.join();
    schedule.rethrow();
}

}  // namespace varnel_core
