#include "unlocked.hpp"

#include <algorithm>

namespace varnel_py {

namespace {

constexpr std::chrono::milliseconds shortest_interval{20};
constexpr std::chrono::milliseconds longest_interval{100};

// The main thread's identity, read once when the module is executed: asking
// threading at each fit would run Python code there, where a pending
// KeyboardInterrupt would be raised and lost before the fit starts.
unsigned long main_thread_id = 0;
bool main_thread_known = false;

// Whether the calling thread is the main thread (true when that cannot be
// told).
bool on_main_thread() {
    return !main_thread_known || main_thread_id == PyThread_get_thread_ident();
}

}  // namespace

bool remember_main_thread() {
    PyRef threading(PyImport_ImportModule("threading"));
    PyRef main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    PyRef ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    if (!ident) return false;
    const unsigned long id = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) return false;
    main_thread_id = id;
    main_thread_known = true;
    return true;
}

Unlocked::Unlocked() : main_thread_(on_main_thread()), interrupt_(&Unlocked::requested, this) {}

void Unlocked::release() {
    interval_ = shortest_interval;
    next_ = Clock::now() + interval_;
    saved_ = PyEval_SaveThread();
}

void Unlocked::retake() {
    PyEval_RestoreThread(saved_);
    saved_ = nullptr;
}

bool Unlocked::requested(void* self) {
    auto* u = static_cast<Unlocked*>(self);
    if (!u->main_thread_ || u->saved_ == nullptr) return false;
    const Clock::time_point asked = Clock::now();
    if (asked < u->next_) return false;
    PyEval_RestoreThread(u->saved_);
    const Clock::duration wait = Clock::now() - asked;
    const bool stop = PyErr_CheckSignals() != 0 || (u->check_ && !u->check_(u->context_));
    u->saved_ = PyEval_SaveThread();
    // A lock slow to come (another thread busy in Python) makes the polls
    // rarer, so that they cost the fit a few percent at most.
    u->interval_ = std::clamp<Clock::duration>(20 * wait, shortest_interval, longest_interval);
    u->next_ = Clock::now() + u->interval_;
    return stop;
}

bool check_callback(PyObject* callback) {
    if (callback == nullptr || callback == Py_None || PyCallable_Check(callback)) return true;
    PyErr_SetString(PyExc_TypeError, "callback must be callable");
    return false;
}

varnel_core::LambdaHook Unlocked::on_lambda(PyObject* callable) {
    if (callable == nullptr || callable == Py_None) return {};
    callback_ = callable;
    return {&Unlocked::solved, this};
}

bool Unlocked::solved(void* self, const varnel_core::LambdaReport& report) {
    auto* u = static_cast<Unlocked*>(self);
    int go_on = 1;
    const auto call = [&] {
        PyRef out(PyObject_CallFunction(u->callback_, "KdKdK",
                                        static_cast<unsigned long long>(report.index),
                                        report.lambda, static_cast<unsigned long long>(report.df),
                                        report.dev_ratio,
                                        static_cast<unsigned long long>(report.passes)));
        go_on = out ? PyObject_IsTrue(out.get()) : -1;
        return go_on >= 0;
    };
    const bool ok = u->saved_ != nullptr ? u->locked(call) : call();
    if (!ok) throw varnel_core::Interrupted();  // the callable's exception stays set
    return go_on != 0;
}

}  // namespace varnel_py
