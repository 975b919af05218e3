// Instruction sets: the one probe of the processor, and the choice among
// the builds of a kernel.
//
// A kernel is a source file that a unit compiles once per instruction set
// (orvik_add_unit's KERNELS and ISAS, src/core/CMakeLists.txt): for the
// target's baseline (SSE2 on x86-64), and on x86-64 once more for each of
// its ISAS, with that set enabled (-mavx, -mavx2: never FMA, which would
// round differently) and ORVIK_ISA naming it. Everything a kernel defines
// lives in namespace ORVIK_ISA (baseline, avx, avx2), and so do the lane
// types of common/lanes.hpp: no function built for a wider set can stand in
// for a baseline one when the linker merges the copies of an inline
// function. The test isa_symbols checks that the wider builds define no
// other mergeable symbol and no initialiser, which would run at load time
// on any processor: headers that bring them, as CGAL's do, stay out of
// kernels. The unit calls a kernel through isa::Builds, made by ORVIK_BUILDS,
// which picks the widest build the processor runs, once per call.
#pragma once

#include <algorithm>
#include <cstdint>

#if !defined(ORVIK_ISA)
#define ORVIK_ISA baseline
#endif

// The builds of kernel `fn`, declared with ORVIK_KERNEL in namespace `scope`,
// as a Builds initialiser: each slot takes the function of its own set's
// namespace, and only where the unit built that set (orvik_add_unit defines
// ORVIK_ISA_BUILT_<set> for each of its ISAS), null elsewhere. The table
// follows from the unit's one list of sets, so no slot can hold another
// set's build.
#if defined(ORVIK_ISA_BUILT_avx)
#define ORVIK_ISA_SLOT_avx(scope, fn) &scope::avx::fn
#else
#define ORVIK_ISA_SLOT_avx(scope, fn) nullptr
#endif
#if defined(ORVIK_ISA_BUILT_avx2)
#define ORVIK_ISA_SLOT_avx2(scope, fn) &scope::avx2::fn
#else
#define ORVIK_ISA_SLOT_avx2(scope, fn) nullptr
#endif
#define ORVIK_BUILDS(scope, fn) \
    { &scope::baseline::fn, ORVIK_ISA_SLOT_avx(scope, fn), ORVIK_ISA_SLOT_avx2(scope, fn) }

// Declares a kernel's function in every instruction set's namespace, inside
// the namespace where the macro stands.
#define ORVIK_KERNEL(...) \
    namespace baseline {  \
    __VA_ARGS__;          \
    }                     \
    namespace avx {       \
    __VA_ARGS__;          \
    }                     \
    namespace avx2 {      \
    __VA_ARGS__;          \
    }

namespace orvik::isa {

// In order of width; each includes the ones before it.
enum class Level : std::uint8_t { Baseline = 0, Avx = 1, Avx2 = 2 };

// The widest level this processor and its operating system support, probed
// once.
Level detected();

// The level each set's namespace stands for: isa::ORVIK_ISA::kLevel in a
// kernel is the set it was built for.
namespace baseline {
inline constexpr Level kLevel = Level::Baseline;
}
namespace avx {
inline constexpr Level kLevel = Level::Avx;
}
namespace avx2 {
inline constexpr Level kLevel = Level::Avx2;
}

// A kernel's builds: the baseline one, and the wider ones where the unit
// built them (null elsewhere).
template <class Fn>
struct Builds {
    Fn baseline;
    Fn avx = nullptr;
    Fn avx2 = nullptr;

    // The widest build that both the processor and `ceiling` allow. All
    // builds give the same bits; the ceiling lets tests compare them.
    Fn choose(Level ceiling = Level::Avx2) const {
        const Level level = std::min(ceiling, detected());
        if (level >= Level::Avx2 && avx2 != nullptr) return avx2;
        if (level >= Level::Avx && avx != nullptr) return avx;
        return baseline;
    }
};

}  // namespace orvik::isa
