#include "common/isa.hpp"

namespace orvik::isa {
namespace {

Level probe() {
#if defined(__x86_64__) || defined(__i386__)
    // GCC's and clang's probes count AVX only where the operating system
    // saves the wide registers.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return Level::Avx2;
    if (__builtin_cpu_supports("avx")) return Level::Avx;
#endif
    return Level::Baseline;
}

}  // namespace

Level detected() {
    static const Level level = probe();
    return level;
}

}  // namespace orvik::isa
