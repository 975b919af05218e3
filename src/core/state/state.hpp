// Binary states of the module's records (the format is described in
// state_format.hpp): the exact byte size of a state, writing it into a buffer
// of that size, and reading one back with every invariant checked. Reading
// fails with a Value error that says what is wrong; it never trusts a count,
// an offset or a reference before checking it against the input.
#pragma once

#include <cstddef>
#include <span>

#include "coastline/coastline.hpp"
#include "common/result.hpp"
#include "grid/structured_grid.hpp"
#include "model/mesh_model.hpp"
#include "model_tree/model_tree.hpp"

namespace orvik::state {

std::size_t encoded_size(const MeshModel& model);
std::size_t encoded_size(const ModelTree& tree);
std::size_t encoded_size(const StructuredGrid& grid);
std::size_t encoded_size(const Coastline& coastline);
std::size_t encoded_size(const GridModel& model);
std::size_t encoded_size(const ColumnsModel& model);

// `out` must hold exactly encoded_size() bytes.
void encode(const MeshModel& model, std::span<std::byte> out);
void encode(const ModelTree& tree, std::span<std::byte> out);
void encode(const StructuredGrid& grid, std::span<std::byte> out);
void encode(const Coastline& coastline, std::span<std::byte> out);
void encode(const GridModel& model, std::span<std::byte> out);
void encode(const ColumnsModel& model, std::span<std::byte> out);

Result<MeshModel> decode_mesh_model(std::span<const std::byte> in);
Result<ModelTree> decode_model_tree(std::span<const std::byte> in);
Result<StructuredGrid> decode_structured_grid(std::span<const std::byte> in);
Result<Coastline> decode_coastline(std::span<const std::byte> in);
Result<GridModel> decode_grid_model(std::span<const std::byte> in);
Result<ColumnsModel> decode_columns_model(std::span<const std::byte> in);

}  // namespace orvik::state
