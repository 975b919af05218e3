// The point query through the tree: the hits of one point, composited front
// to back (the enumeration and the fold are in hit_iterator.hpp).
#include "model_tree/hit_iterator.hpp"
#include "model_tree/model_tree.hpp"

namespace orvik {

HitIterator ModelTree::hits(const ModelTree& tree, const QueryPoint& p, std::uint8_t lo,
                            std::uint8_t hi) {
    return HitIterator(tree, p, lo, hi);
}

std::optional<Quality> ModelTree::query(const ModelTree& tree, const QueryPoint& p, std::uint8_t lo,
                                        std::uint8_t hi) {
    HitIterator it(tree, p, lo, hi);
    // Once the composite is opaque the next hit would be discarded whatever it
    // is; locating it is pure work (the diagnostics still count it), so the
    // fold stops before taking it. The result is the same.
    return fold_hits<PastOpaque::Skip>(it, [](const Hit&, bool) {});
}

}  // namespace orvik
