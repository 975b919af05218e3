// Instances of the module's classes: the object header, the native value and
// an atomic borrow counter (0 free, n > 0 shared by n calls, -1 exclusive).
#pragma once

#include "frame/python.hpp"

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

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
    PyObject_HEAD T value;
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
    BorrowGuard(BorrowGuard&& o) noexcept : flag_(o.flag_), exclusive_(o.exclusive_) {
        o.flag_ = nullptr;
    }
    ~BorrowGuard() { release(); }

    // RuntimeError "Already mutably borrowed" when exclusively held.
    bool shared(BorrowFlag& flag);
    // RuntimeError "Already borrowed" when held in any way.
    bool exclusive(BorrowFlag& flag);
    void release() {
        if (!flag_) return;
        if (exclusive_)
            flag_->release_exclusive();
        else
            flag_->release_shared();
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

// The name of the module as its classes and functions report it
// (`__module__`): the extension is imported as orvik.orvik, but "orvik", the
// package that re-exports it, is its public home (pickle and help() look there).
inline constexpr const char kModuleName[] = "orvik";
// ... and of the package's second extension module, for what lies beyond it.
inline constexpr const char kNativeModuleName[] = "orvik._native";

// A heap type of the module, made from its PyType_Spec the first time it is needed
// (at the latest when the module registers it) and kept until the process
// ends.
//
// The type objects, like the internal-error type (errors.cpp), are
// process-wide statics rather than module state. The module refuses to load
// into a second interpreter (Py_mod_multiple_interpreters in module.cpp), so
// a process needs exactly one of each; made once, they serve every later
// import. The module's functions are called without a module object, and the
// frame makes instances and array results where none is at hand, so module
// state would be out of their reach; the module definition keeps state size
// 0 and no method table.
class HeapType {
  public:
    // Finishes a type just made; 0, or -1 with an exception set.
    using Prepare = int (*)(PyTypeObject* type);

    constexpr explicit HeapType(PyType_Spec& definition, Prepare prepare = nullptr)
        : definition_(&definition), prepare_(prepare) {}
    HeapType(const HeapType&) = delete;
    HeapType& operator=(const HeapType&) = delete;

    // The type, made at the first call (for `module`, which may be NULL).
    // NULL with an exception set when it cannot be made.
    PyTypeObject* get(PyObject* module = nullptr);

    // A new reference to the type, for the module's registration table.
    PyObject* new_reference(PyObject* module);

  private:
    PyType_Spec* definition_;
    Prepare prepare_;
    PyTypeObject* type_ = nullptr;
};

// new_instance of a type made on first use.
template <class T>
PyObject* new_instance(HeapType& type, T&& value) {
    PyTypeObject* made = type.get();
    return made ? new_instance(made, std::forward<T>(value)) : nullptr;
}

// A module-level function object for `def`, whose __module__ is `module_name`.
// NULL with an exception set on failure.
PyObject* make_function(PyMethodDef* def, const char* module_name = kModuleName);

// A method's C function, whatever its calling convention (METH_FASTCALL,
// METH_NOARGS, ...), as the PyCFunction of a method table; the cast goes
// through a plain function pointer, so that the compiler sees it is intended.
template <class F>
PyCFunction method_cast(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace orvik::py
