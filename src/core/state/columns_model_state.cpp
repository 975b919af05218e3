// The columns model record: tile edges, offsets, profile nodes and node
// values as held in memory; the model's own assembly checks the profiles
// and derives the rest.
#include <string>

#include "model/node_values.hpp"
#include "state/records.hpp"
#include "state/state.hpp"

namespace orvik::state {

void put_columns_model(ByteWriter& w, const ColumnsModel& m) {
    w.scalar<std::uint64_t>(m.x.size() - 1);
    w.scalar<std::uint64_t>(m.y.size() - 1);
    w.scalar<std::uint64_t>(m.v.size());
    put_placed(w, m.id, m.placement());
    w.array(m.x.nodes());
    w.array(m.y.nodes());
    w.array(m.offsets);
    w.array(m.v);
    w.array(m.nodes);
    w.pad();
}

Result<ColumnsModel> take_columns_model(ByteReader& r, const Where& where) {
    std::uint64_t nx = 0, ny = 0, count = 0;
    if (!r.scalar(nx) || !r.scalar(ny) || !r.scalar(count)) {
        return where.truncated("the columns size");
    }
    Result<PlacedFields> placed = take_placed(r, where);
    if (!placed) return placed.error();
    // Every count must leave room for what follows it before it is grown.
    const std::uint64_t room = r.remaining() / 8;
    if (nx >= room || ny >= room || (ny != 0 && nx > room / ny)) {
        return where.fail("truncated in the tiles: " + std::to_string(nx) + " x " +
                          std::to_string(ny) + " tiles, " + std::to_string(r.remaining()) +
                          " bytes left");
    }
    std::vector<double> x, y, v;
    std::vector<std::uint64_t> offsets;
    std::vector<float> nodes;
    if (!r.array(x, nx + 1)) return where.truncated("the x edges", nx + 1, 8, r.remaining());
    if (!r.array(y, ny + 1)) return where.truncated("the y edges", ny + 1, 8, r.remaining());
    if (!r.array(offsets, nx * ny + 1)) {
        return where.truncated("the offsets", nx * ny + 1, 8, r.remaining());
    }
    if (!r.array(v, count)) return where.truncated("the profile nodes", count, 8, r.remaining());
    if (count > r.remaining() / (kNodeValues * sizeof(float))) {
        return where.truncated("the node values", count, kNodeValues * sizeof(float),
                               r.remaining());
    }
    r.array(nodes, count * kNodeValues);
    if (const auto pad = r.pad(); pad != ByteReader::Pad::Ok)
        return padding(where, pad, "the nodes");
    Result<ColumnsModel> model =
        ColumnsModel::assemble(std::move(x), std::move(y), std::move(offsets), std::move(v),
                               std::move(nodes), std::move(placed->placement));
    if (!model) return where.fail(model.error().message);
    model->id = placed->id;
    return model;
}

std::size_t encoded_size(const ColumnsModel& model) {
    return sealed_size(model, put_columns_model);
}

void encode(const ColumnsModel& model, std::span<std::byte> out) {
    write_sealed(StateKind::ColumnsModel, model, out, put_columns_model);
}

Result<ColumnsModel> decode_columns_model(std::span<const std::byte> in) {
    return read_sealed<ColumnsModel>(StateKind::ColumnsModel, in, [](ByteReader& r) {
        return take_columns_model(r, Where{StateKind::ColumnsModel, ""});
    });
}

}  // namespace orvik::state
