// A request to stop a long loop early. The core polls it between blocks of
// work and then stops cleanly, leaving every result it has written whole; who
// may ask, and why, is the caller's business (the Python layer runs pending
// signal handlers there, so that Ctrl-C stops a call within a fraction of a
// second).
#pragma once

#include <algorithm>
#include <cstddef>

namespace orvik {

class Interrupt {
  public:
    using Poll = bool (*)(void* context);

    constexpr Interrupt() = default;  // never asks to stop
    constexpr Interrupt(Poll poll, void* context) : poll_(poll), context_(context) {}

    // True once the caller wants the loop to stop. Cheap enough to ask every
    // few thousand points, not on every one.
    bool requested() const { return poll_ != nullptr && poll_(context_); }

  private:
    Poll poll_ = nullptr;
    void* context_ = nullptr;
};

// Runs body(begin, end) over [0, n) in blocks of `block`, asking `stop`
// before each block. False when it stopped early.
template <class Body>
bool for_each_block(std::ptrdiff_t n, std::ptrdiff_t block, const Interrupt& stop, Body&& body) {
    for (std::ptrdiff_t begin = 0; begin < n; begin += block) {
        if (stop.requested()) return false;
        body(begin, std::min(n, begin + block));
    }
    return true;
}

}  // namespace orvik
