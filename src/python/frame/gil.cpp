#include "frame/gil.hpp"

#include "frame/ref.hpp"

namespace orvik::py {
namespace {

// Signal handlers run only on the main thread, so only that thread has any
// reason to take the lock back; other threads never wait for it.
unsigned long g_main_thread = 0;

// Long enough that taking the lock back costs nothing measurable, short
// enough that Ctrl-C feels immediate.
constexpr std::chrono::milliseconds kCheckEvery{20};

}  // namespace

int init_main_thread() {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    if (!threading) return -1;
    Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return -1;
    Ref ident = Ref::steal(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) return -1;
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    g_main_thread = value;
    return 0;
}

AllowThreads::AllowThreads()
    : main_thread_(PyThread_get_thread_ident() == g_main_thread),
      last_check_(std::chrono::steady_clock::now()) {
    state_ = PyEval_SaveThread();
}

bool AllowThreads::poll(void* p) {
    auto* self = static_cast<AllowThreads*>(p);
    if (self->interrupted_) return true;
    if (!self->main_thread_) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - self->last_check_ < kCheckEvery) return false;
    PyEval_RestoreThread(self->state_);
    self->interrupted_ = PyErr_CheckSignals() < 0;
    self->state_ = PyEval_SaveThread();
    self->last_check_ = std::chrono::steady_clock::now();
    return self->interrupted_;
}

}  // namespace orvik::py
