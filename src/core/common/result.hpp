// Failures of the native core travel as values; the Python layer decides
// which exception each kind becomes.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace orvik {

enum class ErrorKind {
    Value,        // a caller error with a documented message: ValueError
    Internal,     // a broken invariant: the module's internal error
    Interrupted,  // the caller's Interrupt asked to stop; the caller knows why
    System,       // a system call failed with errno `code`: OSError
};

struct Error {
    ErrorKind kind = ErrorKind::Value;
    std::string message;
    int code = 0;  // the errno of a System error

    static Error value(std::string message) { return {ErrorKind::Value, std::move(message)}; }
    static Error internal(std::string message) { return {ErrorKind::Internal, std::move(message)}; }
    static Error interrupted() { return {ErrorKind::Interrupted, "interrupted"}; }
    // `what` names the call that failed ("mmap", ...).
    static Error system(int code, std::string what) {
        return {ErrorKind::System, std::move(what), code};
    }
};

// A value or the error that prevented it.
template <class T>
class Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const T& value() const& { return std::get<0>(state_); }
    const Error& error() const { return std::get<1>(state_); }

    T* operator->() { return &value(); }
    T& operator*() & { return value(); }

  private:
    std::variant<T, Error> state_;
};

// For operations that return nothing but may fail.
struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() {
    return Unit{};
}

}  // namespace orvik
