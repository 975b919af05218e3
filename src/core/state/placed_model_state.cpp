// The placement fields that grid and columns model records share: id, name,
// flags, vertical mode, priority and transform.
#include <bit>
#include <string>

#include "common/utf8.hpp"
#include "state/records.hpp"

namespace orvik::state {
namespace {

constexpr std::uint8_t kHasTransform = 2;

}  // namespace

void put_placed(ByteWriter& w, std::uint64_t id, const ModelPlacement& p) {
    w.scalar<std::uint64_t>(id);
    w.scalar<std::uint64_t>(p.name.size());
    w.scalar<std::uint8_t>(p.transform ? kHasTransform : 0);
    w.scalar<std::uint8_t>(static_cast<std::uint8_t>(p.vertical));
    w.scalar<std::uint8_t>(p.priority);
    for (int k = 0; k < 5; ++k) w.scalar<std::uint8_t>(0);
    w.scalar(p.transform.value_or(Transform{}));
    w.bytes(p.name.data(), p.name.size());
    w.pad();
}

Result<PlacedFields> take_placed(ByteReader& r, const Where& where) {
    PlacedFields f;
    std::uint64_t name_length = 0;
    std::uint8_t flags = 0, vertical = 0;
    std::array<std::uint8_t, 5> zeros{};
    Transform transform{};
    if (r.remaining() < kPlacedModelFixedSize - 24) return where.truncated("the model fields");
    r.scalar(f.id);
    r.scalar(name_length);
    r.scalar(flags);
    r.scalar(vertical);
    r.scalar(f.placement.priority);
    r.scalar(zeros);
    r.scalar(transform);
    if ((flags & ~kHasTransform) != 0) return where.fail("unknown flags " + std::to_string(flags));
    if (vertical > static_cast<std::uint8_t>(VerticalMode::Depth)) {
        return where.fail("vertical mode " + std::to_string(vertical) +
                          " is neither elevation (0) nor depth (1)");
    }
    f.placement.vertical = static_cast<VerticalMode>(vertical);
    if (zeros != std::array<std::uint8_t, 5>{})
        return where.fail("the reserved bytes are not zero");
    if ((flags & kHasTransform) != 0) {
        f.placement.transform = transform;
    } else if (std::bit_cast<std::array<std::uint32_t, 16>>(transform) !=
               std::array<std::uint32_t, 16>{}) {
        return where.fail("the absent transform is not zero");
    }
    if (!r.text(f.placement.name, name_length)) {
        return where.truncated("the name", name_length, 1, r.remaining());
    }
    if (!valid_utf8(f.placement.name)) return where.fail("the name is not valid UTF-8");
    if (const auto pad = r.pad(); pad != ByteReader::Pad::Ok)
        return padding(where, pad, "the name");
    return f;
}

}  // namespace orvik::state
