// Binary states of the module's records (the format is described in
// state_format.hpp): the exact byte size of a state, writing it into a buffer
// of that size, and reading one back with every invariant checked. Reading
// fails with a Value error that says what is wrong; it never trusts a count,
// an offset or a reference before checking it against the input.
//
// A reader given a `lender` (something that keeps the input's bytes alive and
// unchanged for as long as it lives, such as a mapped file) makes a record
// whose big arrays borrow the input's bytes in place instead of copying them:
// the nodes, simplex records, faces and per-vertex values of mesh models and
// the nodes and profiles of grid and columns models. Every check is made
// either way; the record holds the lender until it is destroyed.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "coastline/coastline.hpp"
#include "common/result.hpp"
#include "grid/structured_grid.hpp"
#include "model/mesh_model.hpp"
#include "model_tree/model_tree.hpp"
#include "state/byte_io.hpp"

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

// The same streamed to `sink` (state/file_sink.hpp writes to a file), never
// the whole state in memory; the sink's first failure is returned.
Status encode(const MeshModel& model, ByteSink& sink);
Status encode(const ModelTree& tree, ByteSink& sink);
Status encode(const StructuredGrid& grid, ByteSink& sink);
Status encode(const Coastline& coastline, ByteSink& sink);
Status encode(const GridModel& model, ByteSink& sink);
Status encode(const ColumnsModel& model, ByteSink& sink);

using Lender = std::shared_ptr<const void>;

Result<MeshModel> decode_mesh_model(std::span<const std::byte> in, Lender lender = nullptr);
Result<ModelTree> decode_model_tree(std::span<const std::byte> in, Lender lender = nullptr);
Result<GridModel> decode_grid_model(std::span<const std::byte> in, Lender lender = nullptr);
Result<ColumnsModel> decode_columns_model(std::span<const std::byte> in, Lender lender = nullptr);
// Structured grids and coastlines are always copied (their derived indexes
// are rebuilt on load anyway).
Result<StructuredGrid> decode_structured_grid(std::span<const std::byte> in);
Result<Coastline> decode_coastline(std::span<const std::byte> in);

}  // namespace orvik::state
