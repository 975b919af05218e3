// Advice to back a large fresh buffer with huge pages.
#pragma once

#include <cstddef>

namespace orvik {

// Asks the kernel for huge pages over a large fresh buffer, so that filling
// it costs a few page faults instead of one per 4 KiB, and reading it at
// random misses the TLB far less. No effect elsewhere.
void prefer_huge_pages(void* data, std::size_t bytes);

}  // namespace orvik
