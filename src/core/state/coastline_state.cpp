// The coastline: its segments as held in memory. The segment index and the
// crossing buckets are derived from them, so the coastline's own build makes
// them again; no answer depends on how that index is shaped.
#include <string>

#include "state/records.hpp"
#include "state/state.hpp"

namespace orvik::state {
namespace {

static_assert(sizeof(Segment) == 16, "a segment is 16 bytes in the state");

void put_coastline(ByteWriter& w, const Coastline& coastline) {
    w.scalar<std::uint64_t>(coastline.segments.size());
    w.array(coastline.segments);
}

Result<Coastline> take_coastline(ByteReader& r) {
    const Where where{StateKind::Coastline, ""};
    std::uint64_t count = 0;
    if (!r.scalar(count)) return where.truncated("the segment count");
    std::vector<Segment> segments;
    if (!r.array(segments, count)) {
        return where.truncated("the segments", count, sizeof(Segment), r.remaining());
    }
    // The (S, 2, 2) view [segment, endpoint, (x, y)] that the build reads.
    StridedView<float, 3> view;
    view.data = reinterpret_cast<const char*>(segments.data());
    view.shape = {static_cast<std::ptrdiff_t>(segments.size()), 2, 2};
    view.strides = {sizeof(Segment), 2 * sizeof(float), sizeof(float)};
    Result<Coastline> coastline = Coastline::build(view);
    if (!coastline) return where.fail(coastline.error().message);
    return coastline;
}

}  // namespace

std::size_t encoded_size(const Coastline& coastline) {
    return sealed_size(coastline, put_coastline);
}

void encode(const Coastline& coastline, std::span<std::byte> out) {
    write_sealed(StateKind::Coastline, coastline, out, put_coastline);
}

Status encode(const Coastline& coastline, ByteSink& sink) {
    return write_sealed(StateKind::Coastline, coastline, sink, put_coastline);
}

Result<Coastline> decode_coastline(std::span<const std::byte> in) {
    return read_sealed<Coastline>(StateKind::Coastline, in, take_coastline);
}

}  // namespace orvik::state
