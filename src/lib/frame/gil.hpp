// Releases the interpreter lock for the lifetime of the guard; restored on
// every path out, exceptions included. No Python object may be touched inside.
#pragma once

#include "lib/frame/python.hpp"

namespace orvik::py {

class AllowThreads {
public:
    AllowThreads() : state_(PyEval_SaveThread()) {}
    ~AllowThreads() { PyEval_RestoreThread(state_); }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace orvik::py
