// The model tree: its mesh model records in list order, then its hierarchy,
// checked node by node against the models it indexes.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <variant>

#include "state/records.hpp"
#include "state/state.hpp"

namespace orvik::state {
namespace {

static_assert(sizeof(TreeNode) == 76, "a tree node is 76 bytes in the state");

template <std::size_t I>
using RecordAt = ModelRecord<std::variant_alternative_t<I, Model>>;

// Every kind has a name in the format and a tag of its own.
template <std::size_t... I>
constexpr bool kinds_are_sound(std::index_sequence<I...>) {
    const StateKind tags[] = {RecordAt<I>::kKind...};
    for (std::size_t a = 0; a < sizeof...(I); ++a) {
        if (kind_facts(static_cast<std::uint32_t>(tags[a])).first_version == 0) return false;
        for (std::size_t b = 0; b < a; ++b) {
            if (tags[a] == tags[b]) return false;
        }
    }
    return true;
}
constexpr auto kKindIndices = std::make_index_sequence<std::variant_size_v<Model>>{};
static_assert(kinds_are_sound(kKindIndices), "each model kind needs a named state kind of its own");

// Each model record is preceded by its tag, the kind of its own state.
void put_model(ByteWriter& w, const Model& model) {
    std::visit(
        [&](const auto& m) {
            using Record = ModelRecord<std::decay_t<decltype(m)>>;
            w.scalar(static_cast<std::uint64_t>(Record::kKind));
            Record::put(w, m);
        },
        model);
}

// "1 mesh, 5 grid, 6 columns": the tags a tree's state knows.
template <std::size_t... I>
std::string known_tags(std::index_sequence<I...>) {
    std::string text;
    ((text += (I == 0 ? "" : ", ") + std::to_string(static_cast<int>(RecordAt<I>::kKind)) + " " +
              std::variant_alternative_t<I, Model>::kKindName),
     ...);
    return text;
}

template <std::size_t... I>
Result<Model> take_tagged(std::uint64_t tag, ByteReader& r, const Where& where,
                          std::index_sequence<I...>) {
    std::optional<Result<Model>> model;
    const auto take = [&](auto record) {
        using Record = typename decltype(record)::type;
        auto result = Record::take(r, where);
        if (result) {
            model.emplace(Model(std::move(result).value()));
        } else {
            model.emplace(result.error());
        }
    };
    ((tag == static_cast<std::uint64_t>(RecordAt<I>::kKind)
          ? take(std::type_identity<RecordAt<I>>{})
          : void()),
     ...);
    if (model) return std::move(*model);
    return where.fail("its tag " + std::to_string(tag) + " names no model kind (" +
                      known_tags(kKindIndices) + ")");
}

Result<Model> take_model(ByteReader& r, const Where& where, std::uint32_t version) {
    // Version 1 trees hold mesh models alone, untagged.
    std::uint64_t tag = static_cast<std::uint64_t>(StateKind::MeshModel);
    if (version >= 2 && !r.scalar(tag)) return where.truncated("the model tag");
    return take_tagged(tag, r, where, kKindIndices);
}

// The smallest record a model of any kind can have.
template <std::size_t... I>
constexpr std::size_t smallest_record(std::index_sequence<I...>) {
    return std::min({RecordAt<I>::kFixedSize...});
}

void put_tree(ByteWriter& w, const ModelTree& tree) {
    w.scalar<std::uint64_t>(tree.models.size());
    w.scalar<std::uint64_t>(tree.nodes.size());
    for (const Model& m : tree.models) put_model(w, m);
    w.array(tree.nodes);
    w.pad();
}

// Values equal, or both NaN: the same box for every comparison a query makes.
bool same_value(float a, float b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

bool same_box(const TreeBox& a, const TreeBox& b) {
    for (int k = 0; k < 4; ++k) {
        if (!same_value(a.min[k], b.min[k]) || !same_value(a.max[k], b.max[k])) return false;
    }
    return true;
}

// The union the build forms: space like the shared hierarchy builder (a NaN
// loses against a number), priority with plain min and max.
TreeBox unite(const TreeBox& a, const TreeBox& b) {
    TreeBox r;
    for (int k = 0; k < 3; ++k) {
        r.min[k] = std::fmin(a.min[k], b.min[k]);
        r.max[k] = std::fmax(a.max[k], b.max[k]);
    }
    r.min[3] = std::min(a.min[3], b.min[3]);
    r.max[3] = std::max(a.max[3], b.max[3]);
    return r;
}

// The hierarchy must be what ModelTree::build makes of these models, up to
// the choice of splits: nodes in pre-order from node 0 with each child after
// its parent, every model in exactly one leaf, leaves carrying nothing else,
// and every stored child box equal to the box of that child's subtree, so
// that each key is the smallest priority below it.
std::optional<std::string> hierarchy_problem(const std::vector<TreeNode>& nodes,
                                             const std::vector<Model>& models) {
    if (nodes.empty()) return std::nullopt;
    struct Visit {
        std::uint32_t node;
        std::int64_t parent;
    };
    std::vector<Visit> stack{{0, -1}};
    std::vector<bool> placed(models.size(), false);
    std::size_t next_node = 0;
    TreeNode blank;
    while (!stack.empty()) {
        const Visit v = stack.back();
        stack.pop_back();
        const auto origin = [&] { return "node " + std::to_string(v.parent); };
        if (v.node >= nodes.size()) {
            return origin() + " has a child " + std::to_string(v.node) + ", past the " +
                   std::to_string(nodes.size()) + " nodes";
        }
        if (v.parent >= 0 && v.node <= static_cast<std::uint64_t>(v.parent)) {
            return origin() + " has a child pointing backwards, to node " + std::to_string(v.node);
        }
        if (v.node != next_node) {
            return origin() + " has a child " + std::to_string(v.node) +
                   ", but pre-order puts node " + std::to_string(next_node) + " there";
        }
        ++next_node;
        const TreeNode& n = nodes[v.node];
        if (n.is_leaf()) {
            if (n.model >= models.size()) {
                return "leaf " + std::to_string(v.node) + " names model " +
                       std::to_string(n.model) + ", past the " + std::to_string(models.size()) +
                       " models";
            }
            if (placed[n.model]) {
                return "model " + std::to_string(n.model) + " is in more than one leaf";
            }
            placed[n.model] = true;
            blank.model = n.model;
            if (std::memcmp(&n, &blank, sizeof n) != 0) {
                return "leaf " + std::to_string(v.node) + " carries child fields";
            }
            continue;
        }
        stack.push_back({n.right, static_cast<std::int64_t>(v.node)});
        stack.push_back({n.left, static_cast<std::int64_t>(v.node)});
    }
    if (next_node != nodes.size()) {
        return std::to_string(nodes.size() - next_node) + " of the " +
               std::to_string(nodes.size()) + " nodes are not reachable from node 0";
    }
    std::vector<TreeBox> subtree(nodes.size());
    for (std::size_t i = nodes.size(); i-- > 0;) {
        const TreeNode& n = nodes[i];
        if (n.is_leaf()) {
            subtree[i] = ModelTree::model_box(models[n.model]);
            continue;
        }
        if (!same_box(n.left_box, subtree[n.left]) || !same_box(n.right_box, subtree[n.right])) {
            return "the child boxes of node " + std::to_string(i) +
                   " differ from the boxes of their subtrees";
        }
        subtree[i] = unite(subtree[n.left], subtree[n.right]);
    }
    return std::nullopt;
}

Result<ModelTree> take_tree(ByteReader& r, std::uint32_t version) {
    const Where where{StateKind::ModelTree, ""};
    std::uint64_t model_count = 0, node_count = 0;
    if (!r.scalar(model_count) || !r.scalar(node_count)) return where.truncated("the counts");
    // The smallest record a model can have, its tag included.
    const std::size_t smallest =
        version >= 2 ? 8 + smallest_record(kKindIndices) : kMeshModelFixedSize;
    if (model_count > r.remaining() / smallest) {
        return where.truncated("the models", model_count, smallest, r.remaining());
    }
    const std::uint64_t expected_nodes = model_count == 0 ? 0 : 2 * model_count - 1;
    if (node_count != expected_nodes) {
        return where.fail(std::to_string(model_count) + " models need " +
                          std::to_string(expected_nodes) + " nodes, the state has " +
                          std::to_string(node_count));
    }
    ModelTree tree;
    tree.models.reserve(static_cast<std::size_t>(model_count));
    for (std::uint64_t k = 0; k < model_count; ++k) {
        const Where model_where{StateKind::ModelTree, "model " + std::to_string(k) + ": "};
        Result<Model> model = take_model(r, model_where, version);
        if (!model) return model.error();
        if (id_of(*model) != k)
            return model_where.fail("its id is " + std::to_string(id_of(*model)));
        tree.models.push_back(std::move(model).value());
    }
    if (!r.array(tree.nodes, node_count)) {
        return where.truncated("the nodes", node_count, sizeof(TreeNode), r.remaining());
    }
    if (const auto pad = r.pad(); pad != ByteReader::Pad::Ok) {
        return where.fail(pad == ByteReader::Pad::Missing
                              ? "truncated in the padding after the nodes"
                              : "the padding after the nodes is not zero");
    }
    if (auto problem = hierarchy_problem(tree.nodes, tree.models)) return where.fail(*problem);
    return tree;
}

}  // namespace

std::size_t encoded_size(const ModelTree& tree) {
    return sealed_size(tree, put_tree);
}

void encode(const ModelTree& tree, std::span<std::byte> out) {
    write_sealed(StateKind::ModelTree, tree, out, put_tree);
}

Status encode(const ModelTree& tree, ByteSink& sink) {
    return write_sealed(StateKind::ModelTree, tree, sink, put_tree);
}

Result<ModelTree> decode_model_tree(std::span<const std::byte> in, Lender lender) {
    return read_sealed<ModelTree>(StateKind::ModelTree, in, take_tree, std::move(lender));
}

}  // namespace orvik::state
