// Instances of the module's classes: the object header, the native value and
// an atomic borrow counter (0 free, n > 0 shared by n calls, -1 exclusive).
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "frame/python.hpp"

namespace orvik::py {

class BorrowFlag {
public:
    bool try_shared() {
        std::intptr_t cur = state_.load(std::memory_order_relaxed);
        do {
            if (cur < 0) return false;
        } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }
    bool try_exclusive() {
        std::intptr_t expected = 0;
        return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release_shared() { state_.fetch_sub(1, std::memory_order_release); }
    void release_exclusive() { state_.store(0, std::memory_order_release); }

private:
    std::atomic<std::intptr_t> state_{0};
};

template <class T>
struct Instance {
    PyObject_HEAD
    T value;
    BorrowFlag flag;
};

template <class T>
Instance<T>* as_instance(PyObject* o) {
    return reinterpret_cast<Instance<T>*>(o);
}

// Holds a borrow of one instance until it goes out of scope.
class BorrowGuard {
public:
    BorrowGuard() = default;
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    BorrowGuard(BorrowGuard&& o) noexcept : flag_(o.flag_), exclusive_(o.exclusive_) { o.flag_ = nullptr; }
    ~BorrowGuard() { release(); }

    // RuntimeError "Already mutably borrowed" when exclusively held.
    bool shared(BorrowFlag& flag);
    // RuntimeError "Already borrowed" when held in any way.
    bool exclusive(BorrowFlag& flag);
    void release() {
        if (!flag_) return;
        if (exclusive_) flag_->release_exclusive();
        else flag_->release_shared();
        flag_ = nullptr;
    }

private:
    BorrowFlag* flag_ = nullptr;
    bool exclusive_ = false;
};

// Allocates an instance of `type` holding `value`. NULL with an exception set on failure.
template <class T>
PyObject* new_instance(PyTypeObject* type, T&& value) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    auto* inst = as_instance<std::decay_t<T>>(o);
    new (&inst->value) std::decay_t<T>(std::forward<T>(value));
    new (&inst->flag) BorrowFlag();
    return o;
}

// tp_dealloc for Instance<T> (heap types: drops the type reference too).
template <class T>
void dealloc_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* inst = as_instance<T>(self);
    inst->value.~T();
    inst->flag.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

// Creates a heap type from `spec` for `module` (its __module__ is "orvik").
PyTypeObject* create_type(PyObject* module, PyType_Spec* spec);

}  // namespace orvik::py
