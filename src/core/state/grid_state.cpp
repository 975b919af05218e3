// The structured grid: its size and its nodes as held in memory. The start-cell
// fit is derived from the nodes, so it is recomputed by the grid's own build.
#include <string>

#include "state/records.hpp"
#include "state/state.hpp"

namespace orvik::state {
namespace {

static_assert(sizeof(GridNode) == 24, "a grid node is 24 bytes in the state");

void put_grid(ByteWriter& w, const StructuredGrid& grid) {
    w.scalar<std::uint64_t>(grid.m);
    w.scalar<std::uint64_t>(grid.n);
    w.array(grid.nodes);
}

// One (m, n) column of the interleaved node array, as the build reads it.
StridedView<double, 2> column(const std::vector<GridNode>& nodes, std::size_t m, std::size_t n,
                              std::size_t offset) {
    StridedView<double, 2> view;
    view.data = reinterpret_cast<const char*>(nodes.data()) + offset;
    view.shape = {static_cast<std::ptrdiff_t>(m), static_cast<std::ptrdiff_t>(n)};
    view.strides = {static_cast<std::ptrdiff_t>(n * sizeof(GridNode)), sizeof(GridNode)};
    return view;
}

Result<StructuredGrid> take_grid(ByteReader& r) {
    const Where where{StateKind::StructuredGrid, ""};
    std::uint64_t m = 0, n = 0;
    if (!r.scalar(m) || !r.scalar(n)) return where.truncated("the grid size");
    if (m < 2 || n < 2) {
        return where.fail("grid must have at least two rows and columns; got " + std::to_string(m) +
                          "x" + std::to_string(n));
    }
    if (n > r.remaining() / sizeof(GridNode) / m) {
        return where.fail("truncated in the nodes: " + std::to_string(m) + "x" + std::to_string(n) +
                          " nodes of 24 bytes each, " + std::to_string(r.remaining()) +
                          " bytes left");
    }
    std::vector<GridNode> nodes;
    r.array(nodes, m * n);
    const std::size_t rows = static_cast<std::size_t>(m), cols = static_cast<std::size_t>(n);
    Result<StructuredGrid> grid = StructuredGrid::build(
        column(nodes, rows, cols, 0), column(nodes, rows, cols, 8), column(nodes, rows, cols, 16));
    if (!grid) return where.fail(grid.error().message);
    return grid;
}

}  // namespace

std::size_t encoded_size(const StructuredGrid& grid) {
    return sealed_size(grid, put_grid);
}

void encode(const StructuredGrid& grid, std::span<std::byte> out) {
    write_sealed(StateKind::StructuredGrid, grid, out, put_grid);
}

Status encode(const StructuredGrid& grid, ByteSink& sink) {
    return write_sealed(StateKind::StructuredGrid, grid, sink, put_grid);
}

Result<StructuredGrid> decode_structured_grid(std::span<const std::byte> in) {
    return read_sealed<StructuredGrid>(StateKind::StructuredGrid, in, take_grid);
}

}  // namespace orvik::state
