// Releases the interpreter lock for the lifetime of the guard; restored on
// every path out, exceptions included. No Python object may be touched inside.
#pragma once

#include "frame/python.hpp"

#include <chrono>

#include "common/interrupt.hpp"

namespace orvik::py {

class AllowThreads {
  public:
    AllowThreads();
    ~AllowThreads() { PyEval_RestoreThread(state_); }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

    // The stop request for a native loop run under this guard. On the main
    // thread, where signal handlers run, it takes the lock back for a moment
    // at most every few tens of milliseconds and runs pending handlers; it
    // asks the loop to stop once one raised, and that exception stays set for
    // the call to return. Elsewhere it never asks.
    Interrupt interrupt() { return Interrupt(&poll, this); }
    // True once a signal handler raised while the loop ran.
    bool interrupted() const { return interrupted_; }

  private:
    static bool poll(void* self);

    PyThreadState* state_;
    bool main_thread_;
    bool interrupted_ = false;
    std::chrono::steady_clock::time_point last_check_;
};

// Records the interpreter's main thread (call once, holding the lock, from
// the module's execution step).
int init_main_thread();

}  // namespace orvik::py
