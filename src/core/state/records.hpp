// One writer and one reader per record kind, shared by the kinds that nest
// them (a model tree holds mesh model records).
#pragma once

#include <string>

#include "common/result.hpp"
#include "model/columns_model.hpp"
#include "model/grid_model.hpp"
#include "model/mesh_model.hpp"
#include "state/byte_io.hpp"
#include "state/envelope.hpp"

namespace orvik::state {

// Qualities are stored in their row form, as the records hold them: six
// float32 each in this format version. Another column count is another
// format version.
static_assert(kQualityColumns == 6, "a quality column changes the state format");

// Where a record sits, for the messages of its failures: the state's kind and
// a prefix such as "model 2: " inside a tree.
struct Where {
    StateKind kind;
    std::string prefix;

    Error fail(const std::string& what) const { return corrupt(kind, prefix + what); }
    Error truncated(const std::string& part) const;
    // For `count` items of `item_size` bytes that the input cannot hold.
    Error truncated(const std::string& part, std::uint64_t count, std::size_t item_size,
                    std::size_t remaining) const;
};

// The fixed part of a mesh model record, before its name and arrays.
inline constexpr std::size_t kMeshModelFixedSize = 168;

void put_mesh_model(ByteWriter& w, const MeshModel& model);
Result<MeshModel> take_mesh_model(ByteReader& r, const Where& where);

// The fixed part of a grid or columns model record: three counts, then the
// placement fields (offset 24 on).
inline constexpr std::size_t kPlacedModelFixedSize = 112;

// The placement fields of a grid or columns model record, from its offset 24
// to the end of its padded name.
struct PlacedFields {
    std::uint64_t id = 0;
    ModelPlacement placement;
};
void put_placed(ByteWriter& w, std::uint64_t id, const ModelPlacement& placement);
Result<PlacedFields> take_placed(ByteReader& r, const Where& where);

void put_grid_model(ByteWriter& w, const GridModel& model);
Result<GridModel> take_grid_model(ByteReader& r, const Where& where);

void put_columns_model(ByteWriter& w, const ColumnsModel& model);
Result<ColumnsModel> take_columns_model(ByteReader& r, const Where& where);

// Per model kind (each alternative of Model): its state kind, also the tag
// that precedes its record inside a tree, the fixed part of its record, and
// its writer and reader. The tree's state reads this for every alternative,
// so a kind without it does not compile.
template <StateKind K, std::size_t FixedSize, auto Put, auto Take>
struct RecordFacts {
    static constexpr StateKind kKind = K;
    static constexpr std::size_t kFixedSize = FixedSize;
    static constexpr auto put = Put;
    static constexpr auto take = Take;
};
template <class Kind>
struct ModelRecord;
template <>
struct ModelRecord<MeshModel>
    : RecordFacts<StateKind::MeshModel, kMeshModelFixedSize, put_mesh_model, take_mesh_model> {};
template <>
struct ModelRecord<GridModel>
    : RecordFacts<StateKind::GridModel, kPlacedModelFixedSize, put_grid_model, take_grid_model> {};
template <>
struct ModelRecord<ColumnsModel> : RecordFacts<StateKind::ColumnsModel, kPlacedModelFixedSize,
                                               put_columns_model, take_columns_model> {};

// The padding after `after` is missing or not zero.
Error padding(const Where& where, ByteReader::Pad pad, const std::string& after);

}  // namespace orvik::state
