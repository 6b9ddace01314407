// Running the core with the interpreter's lock released.
#pragma once

#include "pyconv.hpp"

#include <chrono>

#include "base/config.hpp"
#include "base/interrupt.hpp"

namespace varnel_py {

// The Interrupt of one fit.  Created with the lock held, it remembers
// whether this is the main thread, where signals are handled.  While the
// core runs without the lock (run), a poll on the main thread takes the
// lock at most every `interval` (20 ms, more when the lock was slow to come,
// at most 100 ms) to run the signal handlers: a pending KeyboardInterrupt
// (or any exception a handler raised) stops the fit with that exception
// set.  On any other thread a poll costs nothing and never takes the lock,
// so a fit in a worker thread runs fully beside the interpreter.  `watch`
// adds a check made at each of those polls.
// Reads which thread is the interpreter's main thread (where signals are
// handled); call it once, from the module's exec step.  False with an
// exception set when that cannot be read.
bool remember_main_thread();

// None (or absent) or a callable; else a TypeError "callback must be
// callable".
bool check_callback(PyObject* callback);

class Unlocked {
public:
    Unlocked();
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

    const varnel_core::Interrupt& interrupt() const { return interrupt_; }
    // check(context) runs with the lock held; false stops the fit (with a
    // Python exception set).
    void watch(bool (*check)(void*), void* context) {
        check_ = check;
        context_ = context;
    }

    // The hook that calls `callable(index, lambda, df, dev_ratio, passes)`
    // after each solution, with the lock taken back (from whichever thread
    // runs the fit, so that the calls of fits on several threads come one at
    // a time); a false result ends the path there, an exception abandons the
    // fit with that exception set.  An empty hook for None (or nullptr).
    // The callable stays referenced by the caller's arguments.
    varnel_core::LambdaHook on_lambda(PyObject* callable);

    // work() with the lock released; it must touch no Python object.  An
    // exception leaves it after the lock is taken back.
    template <class Work>
    decltype(auto) run(Work&& work) {
        Release release(*this);
        return work();
    }

    // work() with the lock taken back, from inside run() (a Python
    // callback); the lock is released again afterwards, also when work()
    // throws.
    template <class Work>
    decltype(auto) locked(Work&& work) {
        struct Relock {
            explicit Relock(Unlocked& u) : u_(u) {
                PyEval_RestoreThread(u_.saved_);
                u_.saved_ = nullptr;
            }
            ~Relock() { u_.saved_ = PyEval_SaveThread(); }
            Unlocked& u_;
        } relock(*this);
        return work();
    }

private:
    struct Release {
        explicit Release(Unlocked& u) : u_(u) { u_.release(); }
        ~Release() { u_.retake(); }
        Unlocked& u_;
    };
    void release();
    void retake();
    static bool requested(void* self);
    static bool solved(void* self, const varnel_core::LambdaReport& report);

    using Clock = std::chrono::steady_clock;
    bool main_thread_ = true;
    PyThreadState* saved_ = nullptr;
    Clock::time_point next_{};
    Clock::duration interval_{};
    bool (*check_)(void*) = nullptr;
    void* context_ = nullptr;
    PyObject* callback_ = nullptr;
    varnel_core::Interrupt interrupt_;
};

}  // namespace varnel_py
