#include "quality/blend_rows.hpp"

#include <cstring>

namespace orvik {
namespace {
constexpr std::ptrdiff_t kBlock = 1 << 16;  // rows between two stop polls
}

bool blend_rows(const StridedView<float, 2>& lhs, const StridedView<float, 2>& rhs, float* out,
                const Interrupt& stop) {
    const std::ptrdiff_t n = lhs.shape[0];
    const bool dense = lhs.shape[1] == 6 && rhs.shape[1] == 6 && lhs.contiguous() && rhs.contiguous();
    if (dense) {
        // Contiguous rows: let the compiler see plain arrays.
        const Quality* f = reinterpret_cast<const Quality*>(lhs.data);
        const Quality* b = reinterpret_cast<const Quality*>(rhs.data);
        Quality* o = reinterpret_cast<Quality*>(out);
        return for_each_block(n, kBlock, stop, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
            for (std::ptrdiff_t i = begin; i < end; ++i) o[i] = Quality::blend(f[i], b[i]);
        });
    }
    return for_each_block(n, kBlock, stop, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        for (std::ptrdiff_t i = begin; i < end; ++i) {
            const Quality q = Quality::blend(read_quality_row(lhs, i), read_quality_row(rhs, i));
            std::memcpy(out + 6 * i, &q, sizeof q);
        }
    });
}

}  // namespace orvik
