// Arbitrary bytes, and edits of real states, into the binary state readers of
// every kind (see state_case.hpp). A reader that faults, accepts bytes it
// would not write, or fails in any way but a Value error, stops the run.
#include <cstddef>
#include <cstdint>

#include "fuzz/state_case.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (orvik::fuzz::run_state_case(data, size) == orvik::fuzz::CaseOutcome::Broken)
        __builtin_trap();
    return 0;
}
