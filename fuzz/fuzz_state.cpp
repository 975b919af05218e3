// Arbitrary bytes, and edits of real states, into the binary state readers of
// every kind (see state_case.hpp), and the same into the frame of a model file
// and its JSON metadata (see model_file_case.hpp). A reader that faults,
// accepts bytes it would not write, or fails in any way but a Value error,
// stops the run.
#include <cstddef>
#include <cstdint>

#include "fuzz/model_file_case.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (orvik::fuzz::run_fuzz_state_input(data, size) == orvik::fuzz::CaseOutcome::Broken)
        __builtin_trap();
    return 0;
}
