// Whether the caller wants a running fit abandoned (Ctrl-C), asked from the
// long loops of the preparation, the kernels and the engine.
#pragma once

#include <cstddef>

#include "base/errors.hpp"

namespace varnel_core {

// `requested(context)` answers the question; a true answer ends the fit with
// Interrupted.  The callback decides how often the question really costs
// something (the binding looks at a clock and takes the interpreter's lock
// at most every few milliseconds).  tick(work) counts the work done since
// the last question, in units of about one multiply-add, and asks once it
// reaches `quantum` (a fraction of a millisecond), so that the loops may
// call it as often as they like.  One fit, one thread: the counter is not
// shared between threads.
class Interrupt {
public:
    using Callback = bool (*)(void* context);
    static constexpr std::size_t quantum = std::size_t{1} << 18;

    Interrupt() = default;
    Interrupt(Callback requested, void* context) : requested_(requested), context_(context) {}

    void poll() const {
        pending_ = 0;
        if (requested_ != nullptr && requested_(context_)) throw Interrupted();
    }
    void tick(std::size_t work) const {
        if (requested_ == nullptr) return;
        pending_ += work;
        if (pending_ >= quantum) poll();
    }

private:
    Callback requested_ = nullptr;
    void* context_ = nullptr;
    mutable std::size_t pending_ = 0;
};

}  // namespace varnel_core
