// One writer and one reader per record kind, shared by the kinds that nest
// them (a model tree holds mesh model records).
#pragma once

#include <string>

#include "common/result.hpp"
#include "model/mesh_model.hpp"
#include "state/byte_io.hpp"
#include "state/envelope.hpp"

namespace orvik::state {

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

}  // namespace orvik::state
