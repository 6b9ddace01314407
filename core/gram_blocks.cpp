#include "gram_blocks.hpp"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace varnel_core {

namespace {

// Thread t takes blocks t, t + T, t + 2T, ...; `next` is the block whose turn
// it is to be merged.
class Schedule {
public:
    Schedule(std::size_t nblocks, const Interrupt& interrupt,
             const std::function<std::unique_ptr<BlockWorker>()>& make)
        : nblocks_(nblocks), interrupt_(interrupt), make_(make) {}

    // Waits until the thread count is fixed, then runs thread t's blocks.
    void run(std::size_t t, bool caller) {
        {
            std::unique_lock lock(mutex_);
            turn_.wait(lock, [&] { return nthreads_ > 0 || stop_; });
        }
        try {
            work(t, caller);
        } catch (...) {
            std::lock_guard lock(mutex_);
            if (!error_) error_ = std::current_exception();
            stop_ = true;
            turn_.notify_all();
        }
    }

    void start(std::size_t nthreads) {
        std::lock_guard lock(mutex_);
        nthreads_ = nthreads;
        turn_.notify_all();
    }

    void stop() {
        std::lock_guard lock(mutex_);
        stop_ = true;
        turn_.notify_all();
    }

    void rethrow() const {
        if (error_) std::rethrow_exception(error_);
    }

private:
    void work(std::size_t t, bool caller) {
        std::unique_ptr<BlockWorker> worker;
        for (std::size_t b = t; b < nblocks_; b += nthreads_) {
            if (caller) interrupt_.poll();
            if (stopped()) return;
            if (!worker) worker = make_();
            worker->compute(b);
            {
                std::unique_lock lock(mutex_);
                turn_.wait(lock, [&] { return next_ == b || stop_; });
                if (stop_) return;
            }
            worker->merge(b);
            std::lock_guard lock(mutex_);
            next_ = b + 1;
            turn_.notify_all();
        }
    }

    bool stopped() {
        std::lock_guard lock(mutex_);
        return stop_;
    }

    const std::size_t nblocks_;
    const Interrupt& interrupt_;
    const std::function<std::unique_ptr<BlockWorker>()>& make_;
    std::mutex mutex_;
    std::condition_variable turn_;
    std::size_t nthreads_ = 0, next_ = 0;
    bool stop_ = false;
    std::exception_ptr error_;
};

}  // namespace

void run_blocks_in_order(std::size_t nblocks, std::size_t n_threads, const Interrupt& interrupt,
                         const std::function<std::unique_ptr<BlockWorker>()>& make_worker) {
    if (nblocks == 0) return;
    const std::size_t wanted = std::max<std::size_t>(1, std::min(n_threads, nblocks));
    if (wanted == 1) {
        auto worker = make_worker();
        for (std::size_t b = 0; b < nblocks; ++b) {
            interrupt.poll();
            worker->compute(b);
            worker->merge(b);
        }
        return;
    }
    Schedule schedule(nblocks, interrupt, make_worker);
    std::vector<std::thread> helpers;
    helpers.reserve(wanted - 1);
    for (std::size_t t = 1; t < wanted; ++t) {
        try {
            helpers.emplace_back([&schedule, t] { schedule.run(t, false); });
        } catch (const std::system_error&) {
            break;  // fewer threads
        }
    }
    schedule.start(helpers.size() + 1);
    schedule.run(0, true);
    for (auto& h : helpers) h.join();
    schedule.rethrow();
}

}  // namespace varnel_core
