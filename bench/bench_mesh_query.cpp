// Times MeshModel::build and the point queries of a one-model tree on a mesh
// stored by bench/bench_mesh.py: query_rows (Morton-ordered batches, four
// points at a time) against query_rows_in_order (the row-by-row reference
// loop), for two stored point sets (random order, then grid order), and
// checks that both loops give identical bits. File layout (little endian):
// u64 vertex count, u64 simplex count, u64 random point count, u64 grid
// point count, then float32 vertices (n x 3), uint32 faces (m x 4), float32
// qualities (n x 6), float32 random points (r x 3) and float32 grid points
// (g x 3). Prints one JSON object.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "model/mesh_builder.hpp"
#include "model_tree/tree_query.hpp"

namespace {

template <class T>
bool read(std::ifstream& in, std::vector<T>& v, std::size_t n) {
    v.resize(n);
    return static_cast<bool>(
        in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(n * sizeof(T))));
}

double wall_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// CPU time of this thread: on a shared machine the wall time also counts the
// time that other processes held the core.
double cpu_now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct Points {
    std::vector<float> x, y, z;
};

template <class T>
orvik::StridedView<T, 1> view_of(const std::vector<T>& v) {
    orvik::StridedView<T, 1> s;
    s.data = reinterpret_cast<const char*>(v.data());
    s.shape[0] = static_cast<std::ptrdiff_t>(v.size());
    s.strides[0] = sizeof(T);
    return s;
}

struct Timing {
    double wall = 1e30, cpu = 1e30;
    std::size_t found = 0;
};

// Best of three runs of `run` writing into `out`, which starts as NaN.
template <class Run>
Timing time_rows(const orvik::ModelTree& tree, const Points& p, std::vector<float>& out,
                 Run&& run) {
    const std::size_t n = p.x.size();
    orvik::QueryRows rows{view_of(p.x), view_of(p.y), view_of(p.z), view_of(p.z), std::nullopt, {}};
    rows.out.data = reinterpret_cast<char*>(out.data());
    rows.out.shape = {static_cast<std::ptrdiff_t>(n), 6};
    rows.out.strides = {24, 4};
    Timing t;
    for (int rep = 0; rep < 3; ++rep) {
        std::fill(out.begin(), out.end(), NAN);
        const double w0 = wall_now(), c0 = cpu_now();
        run(tree, rows);
        t.cpu = std::min(t.cpu, cpu_now() - c0);
        t.wall = std::min(t.wall, wall_now() - w0);
    }
    t.found = 0;
    for (std::size_t i = 0; i < n; ++i) t.found += std::isnan(out[6 * i]) ? 0 : 1;
    return t;
}

std::string timing_json(const Timing& t) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "{\"wall_s\": %.6f, \"cpu_s\": %.6f, \"found\": %zu}", t.wall,
                  t.cpu, t.found);
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s MESH_FILE\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::uint64_t counts[4];
    if (!in.read(reinterpret_cast<char*>(counts), sizeof counts)) return 1;
    std::vector<float> verts, quals, random_xyz, grid_xyz;
    std::vector<std::uint32_t> faces;
    if (!read(in, verts, counts[0] * 3) || !read(in, faces, counts[1] * 4) ||
        !read(in, quals, counts[0] * 6) || !read(in, random_xyz, counts[2] * 3) ||
        !read(in, grid_xyz, counts[3] * 3)) {
        std::fprintf(stderr, "short file\n");
        return 1;
    }

    orvik::MeshBuilderState state;
    state.vertices.resize(counts[0]);
    for (std::size_t i = 0; i < counts[0]; ++i)
        state.vertices[i] = {verts[3 * i], verts[3 * i + 1], verts[3 * i + 2]};
    state.faces.resize(counts[1]);
    for (std::size_t i = 0; i < counts[1]; ++i) {
        state.faces[i] = {faces[4 * i], faces[4 * i + 1], faces[4 * i + 2], faces[4 * i + 3]};
    }
    float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (const auto& v : state.vertices) {
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], v[k]);
            hi[k] = std::max(hi[k], v[k]);
        }
    }
    state.bounds = {lo[0], lo[1], lo[2], hi[0], hi[1], hi[2]};
    std::vector<orvik::Quality> per_vertex(counts[0]);
    for (std::size_t i = 0; i < counts[0]; ++i) {
        const float* q = &quals[6 * i];
        per_vertex[i] = orvik::Quality{q[0], q[1], q[2], q[3], q[4], q[5]};
    }
    orvik::Interpolated interp{std::move(per_vertex)};

    const double build_start = wall_now();
    auto model = orvik::MeshModel::build(state, std::move(interp));
    const double build_s = wall_now() - build_start;
    if (!model) {
        std::fprintf(stderr, "build failed: %s\n", model.error().message.c_str());
        return 1;
    }
    const unsigned depth = orvik::MeshModel::tree_depth(*model);
    const std::size_t nodes = model->nodes.size();
    std::vector<orvik::MeshModel> models;
    models.push_back(std::move(model.value()));
    const orvik::ModelTree tree = orvik::ModelTree::build(std::move(models));

    auto columns = [](const std::vector<float>& xyz) {
        Points p;
        for (std::size_t i = 0; i + 2 < xyz.size(); i += 3) {
            p.x.push_back(xyz[i]);
            p.y.push_back(xyz[i + 1]);
            p.z.push_back(xyz[i + 2]);
        }
        return p;
    };
    const Points random = columns(random_xyz), grid = columns(grid_xyz);

    auto in_order = [](const orvik::ModelTree& t, const orvik::QueryRows& r) {
        orvik::query_rows_in_order(t, r, 0, 255);
    };
    auto ordered = [](const orvik::ModelTree& t, const orvik::QueryRows& r) {
        orvik::QueryScratch scratch(r.x.size());
        orvik::query_rows(t, r, 0, 255, scratch);
    };

    std::string json = "{";
    char head[200];
    std::snprintf(head, sizeof head,
                  "\"build_s\": %.6f, \"depth\": %u, \"nodes\": %zu, \"simplices\": %llu", build_s,
                  depth, nodes, static_cast<unsigned long long>(counts[1]));
    json += head;
    bool identical = true;
    for (const auto& [name, pts] :
         {std::pair<const char*, const Points*>{"random", &random}, {"grid", &grid}}) {
        const std::size_t n = pts->x.size();
        std::vector<float> ref(6 * n), got(6 * n);
        const Timing a = time_rows(tree, *pts, ref, in_order);
        const Timing b = time_rows(tree, *pts, got, ordered);
        identical =
            identical && std::memcmp(ref.data(), got.data(), ref.size() * sizeof(float)) == 0;
        json += ", \"" + std::string(name) + "\": {\"points\": " + std::to_string(n) +
                ", \"row_by_row\": " + timing_json(a) + ", \"ordered\": " + timing_json(b) + "}";
    }
    json += std::string(", \"identical\": ") + (identical ? "true" : "false") + "}";
    std::printf("%s\n", json.c_str());
    return identical ? 0 : 1;
}
