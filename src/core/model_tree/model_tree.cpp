#include "model_tree/model_tree.hpp"

#include <algorithm>
#include <span>
#include <utility>

#include "common/quoted.hpp"
#include "hierarchy/hierarchy.hpp"

namespace orvik {

TreeBox ModelTree::model_box(const Model& model) {
    const auto& b = bounds_of(model);
    const float p = static_cast<float>(priority_of(model));
    return TreeBox{{b[0], b[1], b[2], p}, {b[3], b[4], b[5], p + 0.5f}};
}

ModelTree ModelTree::build(std::vector<Model>&& models) {
    ModelTree tree;
    tree.nodes = build_nodes(models);
    // Nothing below can fail: the models change hands only once the
    // hierarchy stands, so a caller that runs out of memory keeps them.
    for (std::size_t k = 0; k < models.size(); ++k) set_id(models[k], k);
    tree.models = std::move(models);
    return tree;
}

ModelTree ModelTree::build(std::vector<MeshModel>&& models) {
    std::vector<Model> all;
    all.reserve(models.size());
    for (MeshModel& m : models) all.emplace_back(std::move(m));
    return build(std::move(all));
}

std::vector<TreeNode> ModelTree::build_nodes(const std::vector<Model>& models) {
    std::vector<TreeNode> nodes;
    const std::size_t n = models.size();
    if (n == 0) return nodes;

    // The spatial split comes from the shared builder; the priority extent of
    // every subtree is carried alongside so that a child's min.w is the
    // smallest priority below it, the key of the best-first walk.
    std::vector<hierarchy::Box3> boxes(n);
    for (std::size_t k = 0; k < n; ++k) {
        const auto& b = bounds_of(models[k]);
        boxes[k] = hierarchy::Box3{{b[0], b[1], b[2]}, {b[3], b[4], b[5]}};
    }
    const hierarchy::BinaryTree binary = hierarchy::build(std::span<const hierarchy::Box3>(boxes));

    const std::size_t count = binary.nodes.size();
    std::vector<float> wmin(count), wmax(count);
    // Pre-order numbering puts every child after its parent, so one reverse
    // pass sees both children before the parent.
    for (std::size_t i = count; i-- > 0;) {
        const hierarchy::BinaryNode& b = binary.nodes[i];
        if (b.is_leaf()) {
            const TreeBox box = model_box(models[b.shape]);
            wmin[i] = box.min[3];
            wmax[i] = box.max[3];
        } else {
            wmin[i] = std::min(wmin[b.left], wmin[b.right]);
            wmax[i] = std::max(wmax[b.left], wmax[b.right]);
        }
    }

    nodes.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const hierarchy::BinaryNode& b = binary.nodes[i];
        TreeNode node;
        if (b.is_leaf()) {
            node.model = b.shape;
        } else {
            node.left = b.left;
            node.right = b.right;
            const auto spread = [&](const hierarchy::Box3& s, std::uint32_t child) {
                return TreeBox{{s.min[0], s.min[1], s.min[2], wmin[child]},
                               {s.max[0], s.max[1], s.max[2], wmax[child]}};
            };
            node.left_box = spread(b.left_box, b.left);
            node.right_box = spread(b.right_box, b.right);
        }
        nodes.push_back(node);
    }
    return nodes;
}

Result<std::array<float, 6>> ModelTree::aabb(const ModelTree& tree) {
    if (tree.models.empty()) return Error::internal("ModelTree must contain at least one model");
    std::array<float, 6> box = bounds_of(tree.models.front());
    for (std::size_t k = 1; k < tree.models.size(); ++k) {
        const auto& b = bounds_of(tree.models[k]);
        for (int a = 0; a < 3; ++a) {
            box[a] = b[a] < box[a] ? b[a] : box[a];
            box[a + 3] = b[a + 3] > box[a + 3] ? b[a + 3] : box[a + 3];
        }
    }
    return box;
}

std::uint64_t ModelTree::size_estimate(const ModelTree& tree) {
    std::uint64_t size = sizeof(ModelTree) + tree.nodes.size() * sizeof(TreeNode);
    for (const Model& m : tree.models) size += orvik::size_estimate(m);
    return size;
}

namespace {

std::string count(std::uint64_t n) {
    return std::to_string(n);
}

// One line of the printed summary.
std::string structure_line(const Model& model) {
    const std::string& name = name_of(model);
    const std::string label = name.empty() ? "(id=" + count(id_of(model)) + ")" : quoted(name);
    const std::string priority = ", priority = " + count(priority_of(model)) + ".\n";
    return std::visit(
        [&](const auto& m) {
            using Kind = std::decay_t<decltype(m)>;
            std::string kind = Kind::kKindName;
            kind[0] = static_cast<char>(kind[0] - 'a' + 'A');  // "Grid model ..."
            return kind + " model " + label + Kind::summary(m) + priority;
        },
        model);
}

}  // namespace

std::string ModelTree::structure_text(const ModelTree& tree) {
    // The header speaks of mesh models when the tree holds no other kind.
    const bool meshes = std::all_of(tree.models.begin(), tree.models.end(), [](const Model& m) {
        return std::holds_alternative<MeshModel>(m);
    });
    std::string text =
        "ModelTree with " + count(tree.models.size()) + (meshes ? " mesh models:\n" : " models:\n");
    for (const Model& m : tree.models) text += structure_line(m);
    return text;
}

}  // namespace orvik
