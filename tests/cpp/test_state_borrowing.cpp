// Records that borrow their arrays from a lender (a mapped file), states
// streamed to a sink, and the two checks of a compact BVH.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <random>
#include <tuple>
#include <variant>
#include <vector>

#include "common/mapped_file.hpp"
#include "fuzz/state_case.hpp"
#include "fuzz/state_samples.hpp"
#include "state/bvh_check.hpp"
#include "state/file_sink.hpp"
#include "state/state.hpp"

namespace orvik {
namespace {

using Bytes = std::vector<std::byte>;
using fuzz::detail::encoded;

// Whether `a` lies inside `bytes`.
template <class T>
bool inside(const SharedArray<T>& a, const Bytes& bytes) {
    const auto* p = reinterpret_cast<const std::byte*>(a.data());
    return a.borrowed() && p >= bytes.data() &&
           p + a.size() * sizeof(T) <= bytes.data() + bytes.size();
}

TEST(Borrowing, ModelsOfEveryKindUseTheLentBytesInPlace) {
    const ModelTree tree = samples::mixed_tree();
    auto lent = std::make_shared<const Bytes>(encoded(tree));
    Result<ModelTree> back = state::decode_model_tree(*lent, lent);
    ASSERT_TRUE(back.ok()) << back.error().message;
    std::map<std::size_t, int> kinds;
    for (const Model& m : back->models) {
        ++kinds[m.index()];
        std::visit(Overloaded{[&](const MeshModel& mesh) {
                                  EXPECT_TRUE(inside(mesh.nodes, *lent));
                                  EXPECT_TRUE(inside(mesh.simplices, *lent));
                                  EXPECT_TRUE(inside(mesh.faces, *lent));
                                  if (const auto* f = std::get_if<Interpolated>(&mesh.finisher))
                                      EXPECT_TRUE(inside(f->qualities, *lent));
                                  else
                                      EXPECT_TRUE(inside(
                                          std::get<DepthProfile>(mesh.finisher).pairs, *lent));
                              },
                              [&](const GridModel& g) { EXPECT_TRUE(inside(g.nodes, *lent)); },
                              [&](const ColumnsModel& c) {
                                  EXPECT_TRUE(inside(c.offsets, *lent));
                                  EXPECT_TRUE(inside(c.v, *lent));
                                  EXPECT_TRUE(inside(c.nodes, *lent));
                              }},
                   m);
    }
    EXPECT_EQ(kinds.size(), 3u);  // every kind was looked at
    // The records hold the lender: its bytes outlive the caller's handle.
    const std::vector<std::byte> expected = *lent;
    const std::weak_ptr<const Bytes> watch = lent;
    lent.reset();
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(encoded(back.value()), expected);
    back = Error::value("released");
    EXPECT_TRUE(watch.expired());
}

TEST(Borrowing, MisalignedInputIsCopiedAndReadsTheSame) {
    // One byte off: the state's arrays are misaligned for their elements.
    const Bytes state = encoded(samples::interpolated_model());
    auto shifted = std::make_shared<Bytes>(state.size() + 1);
    std::memcpy(shifted->data() + 1, state.data(), state.size());
    const std::span<const std::byte> at_odd = std::span<const std::byte>(*shifted).subspan(1);
    Result<MeshModel> misaligned = state::decode_mesh_model(at_odd, shifted);
    ASSERT_TRUE(misaligned.ok()) << misaligned.error().message;
    EXPECT_FALSE(misaligned->simplices.borrowed());
    EXPECT_EQ(encoded(misaligned.value()), state);
}

// Keeps what is written where it is written, pieces in any order.
class MemorySink final : public state::ByteSink {
  public:
    Status write(std::uint64_t at, std::span<const std::byte> bytes) override {
        if (fail_after_ >= 0 && writes_++ >= fail_after_) return Error::system(ENOSPC, "write");
        if (bytes_.size() < at + bytes.size()) bytes_.resize(at + bytes.size());
        std::memcpy(bytes_.data() + at, bytes.data(), bytes.size());
        return ok_status();
    }
    const Bytes& bytes() const { return bytes_; }
    void fail_after(int writes) { fail_after_ = writes; }

  private:
    Bytes bytes_;
    int fail_after_ = -1;
    int writes_ = 0;
};

template <class Record>
void expect_streams_as_encoded(const Record& record) {
    MemorySink sink;
    ASSERT_TRUE(state::encode(record, sink).ok());
    EXPECT_EQ(sink.bytes(), encoded(record));
}

TEST(Streaming, StatesOfEveryKindStreamAsTheyEncode) {
    expect_streams_as_encoded(samples::interpolated_model());
    expect_streams_as_encoded(samples::profile_model());
    expect_streams_as_encoded(samples::mixed_tree());
    expect_streams_as_encoded(samples::grid());
    expect_streams_as_encoded(samples::coastline());
    expect_streams_as_encoded(samples::grid_model());
    expect_streams_as_encoded(samples::columns_model());
    // Larger than the writer's buffer: arrays go over whole.
    std::vector<MeshModel> many;
    for (int k = 0; k < 8; ++k)
        many.push_back(samples::block({0, 0, float(k)}, {40, 40, 1}, 1, k % 2, "b"));
    Result<ModelTree> big = ModelTree::build(std::move(many));
    ASSERT_TRUE(big.ok());
    ASSERT_GT(state::encoded_size(big.value()), std::size_t{3} << 20);
    expect_streams_as_encoded(big.value());
}

TEST(Streaming, TheSinksFirstFailureIsReturned) {
    MemorySink sink;
    sink.fail_after(0);
    const Status s = state::encode(samples::tree(), sink);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind, ErrorKind::System);
    EXPECT_EQ(s.error().code, ENOSPC);
}

TEST(Streaming, AFileSinkWritesAtItsOffsetAndAMappingReadsItBack) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("orvik_sink_" + std::to_string(::getpid()) + ".bin");
    const ModelTree tree = samples::mixed_tree();
    const Bytes expected = encoded(tree);
    const std::uint64_t offset = 4096;
    {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        state::FileSink sink(fd, offset);
        ASSERT_TRUE(state::encode(tree, sink).ok());
        Result<std::shared_ptr<const MappedFile>> mapped =
            MappedFile::read(fd, offset + expected.size());
        ::close(fd);
        ASSERT_TRUE(mapped.ok());
        const std::span<const std::byte> all = (*mapped)->bytes();
        ASSERT_EQ(all.size(), offset + expected.size());
        EXPECT_TRUE(std::all_of(all.begin(), all.begin() + offset,
                                [](std::byte b) { return b == std::byte{0}; }));
        Result<ModelTree> back = state::decode_model_tree(all.subspan(offset), *mapped);
        ASSERT_TRUE(back.ok()) << back.error().message;
        EXPECT_EQ(encoded(back.value()), expected);
    }
    std::filesystem::remove(path);
}

// --- the compact BVH: two passes against the walk --------------------------

// The walk's verdict, the reference.
bool walk_accepts(const std::vector<CompactNode>& nodes, std::optional<NodeRef> root,
                  std::size_t simplices) {
    state::CompactBvhCheck walk(root, nodes.size(), simplices);
    return !walk.finish(nodes.data()).has_value();
}

TEST(CompactBvhCheck, TwoPassesAcceptExactlyWhatTheWalkAccepts) {
    // Real trees of several sizes, then each with one child reference or
    // the root changed to a value near what it was or to a random one.
    std::mt19937 rng(7);
    std::size_t accepted = 0, refused = 0;
    for (const int cubes : {1, 2, 3, 5}) {
        const MeshModel model = samples::block({0, 0, 0}, {cubes, cubes, 2}, 1, false, "m");
        const std::vector<CompactNode> nodes = model.nodes.to_vector();
        const std::size_t s = model.simplices.size();
        ASSERT_TRUE(state::compact_bvh_valid(nodes.data(), nodes.size(), model.root, s));
        ASSERT_TRUE(walk_accepts(nodes, model.root, s));
        for (int trial = 0; trial < 3000; ++trial) {
            std::vector<CompactNode> edited = nodes;
            std::optional<NodeRef> root = model.root;
            std::size_t count = s;
            const auto nudge = [&](NodeRef r) -> NodeRef {
                switch (rng() % 6) {
                    case 0:
                        return r + 1;
                    case 1:
                        return r - 1;
                    case 2:
                        return r ^ (1u << (rng() % 32));
                    case 3:
                        return kLeafBit | (rng() % (s + 2)) | ((rng() % 4) << 29);
                    case 4:
                        return static_cast<NodeRef>(rng() % (edited.size() + 2));
                    default:
                        return static_cast<NodeRef>(rng());
                }
            };
            const unsigned what = rng() % 10;
            if (what == 0 && root) {
                root = nudge(*root);
            } else if (what == 1) {
                count = s + (rng() % 3) - 1;
            } else if (what == 2 && !edited.empty()) {
                edited.pop_back();
            } else if (!edited.empty()) {
                CompactNode& n = edited[rng() % edited.size()];
                (rng() % 2 ? n.child0 : n.child1) = nudge(rng() % 2 ? n.child0 : n.child1);
            }
            const bool walk = walk_accepts(edited, root, count);
            ASSERT_EQ(state::compact_bvh_valid(edited.data(), edited.size(), root, count), walk)
                << "cubes " << cubes << " trial " << trial;
            (walk ? accepted : refused) += 1;
        }
    }
    EXPECT_GT(refused, 1000u);
    EXPECT_GT(accepted, 0u);  // some edits change nothing that matters (a leaf's box bits)
}

TEST(CompactBvhCheck, SmallTreesAgreeWithTheWalk) {
    const auto leaf = [](std::uint32_t first, std::uint32_t count) {
        return kLeafBit | first | ((count - 1) << 29);
    };
    const auto root_over = [&](std::uint32_t a, std::uint32_t b) {
        CompactNode n{};
        n.child0 = leaf(0, a);
        n.child1 = leaf(a, b);
        return std::vector<CompactNode>{n};
    };
    // An interior node must hold five simplices or more; a leaf root holds
    // them all; no root, no simplices.
    const std::vector<
        std::tuple<std::vector<CompactNode>, std::optional<NodeRef>, std::size_t, bool>>
        cases{{root_over(2, 2), 0u, 4, false}, {root_over(3, 2), 0u, 5, true},
              {root_over(4, 4), 0u, 8, true},  {root_over(1, 3), 0u, 4, false},
              {{}, std::nullopt, 0, true},     {{}, std::nullopt, 1, false},
              {{}, leaf(0, 3), 3, true},       {{}, leaf(1, 3), 3, false},
              {{}, leaf(0, 3), 4, false},      {{}, 0u, 0, false}};
    for (const auto& [nodes, root, count, ok] : cases) {
        EXPECT_EQ(state::compact_bvh_valid(nodes.data(), nodes.size(), root, count), ok);
        EXPECT_EQ(walk_accepts(nodes, root, count), ok);
        EXPECT_EQ(state::compact_bvh_problem(nodes.data(), nodes.size(), root, count).has_value(),
                  !ok);
    }
}

}  // namespace
}  // namespace orvik
