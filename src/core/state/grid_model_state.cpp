// The grid model record: its axes and nodes as held in memory; the bounds and
// the axis lookups are derived from them, so the model's own assembly makes
// them again.
#include <string>

#include "model/node_values.hpp"
#include "state/records.hpp"
#include "state/state.hpp"

namespace orvik::state {

void put_grid_model(ByteWriter& w, const GridModel& m) {
    w.scalar<std::uint64_t>(m.x.size());
    w.scalar<std::uint64_t>(m.y.size());
    w.scalar<std::uint64_t>(m.v.size());
    put_placed(w, m.id, m.placement());
    w.array(m.x.nodes());
    w.array(m.y.nodes());
    w.array(m.v.nodes());
    w.array(m.nodes);
    w.pad();
}

Result<GridModel> take_grid_model(ByteReader& r, const Where& where) {
    std::uint64_t nx = 0, ny = 0, nv = 0;
    if (!r.scalar(nx) || !r.scalar(ny) || !r.scalar(nv)) return where.truncated("the grid size");
    Result<PlacedFields> placed = take_placed(r, where);
    if (!placed) return placed.error();
    std::vector<double> x, y, v;
    if (!r.array(x, nx)) return where.truncated("the x axis", nx, 8, r.remaining());
    if (!r.array(y, ny)) return where.truncated("the y axis", ny, 8, r.remaining());
    if (!r.array(v, nv)) return where.truncated("the v axis", nv, 8, r.remaining());
    // Each count is below what the input can hold, so the product cannot
    // overflow before it is compared with what remains.
    const std::uint64_t room = r.remaining() / (kNodeValues * sizeof(float));
    if ((ny != 0 && nx > room / ny) || (nv != 0 && nx * ny > room / nv)) {
        return where.fail("truncated in the nodes: " + std::to_string(nx) + " x " +
                          std::to_string(ny) + " x " + std::to_string(nv) +
                          " nodes of 24 bytes each, " + std::to_string(r.remaining()) +
                          " bytes left");
    }
    std::vector<float> nodes;
    r.array(nodes, nx * ny * nv * kNodeValues);
    if (const auto pad = r.pad(); pad != ByteReader::Pad::Ok)
        return padding(where, pad, "the nodes");
    Result<GridModel> model = GridModel::assemble(std::move(x), std::move(y), std::move(v),
                                                  std::move(nodes), std::move(placed->placement));
    if (!model) return where.fail(model.error().message);
    model->id = placed->id;
    return model;
}

std::size_t encoded_size(const GridModel& model) {
    return sealed_size(model, put_grid_model);
}

void encode(const GridModel& model, std::span<std::byte> out) {
    write_sealed(StateKind::GridModel, model, out, put_grid_model);
}

Result<GridModel> decode_grid_model(std::span<const std::byte> in) {
    return read_sealed<GridModel>(StateKind::GridModel, in, [](ByteReader& r) {
        return take_grid_model(r, Where{StateKind::GridModel, ""});
    });
}

}  // namespace orvik::state
