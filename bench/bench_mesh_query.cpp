// Times MeshModel::build and the native point query loop on a mesh stored by
// bench/bench_mesh.py. File layout (little endian): u64 vertex count, u64
// simplex count, u64 point count, then float32 vertices (n x 3), uint32
// faces (m x 4), float32 qualities (n x 6) and float32 points (p x 3).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

#include "mesh/mesh_builder.hpp"

namespace {

template <class T>
bool read(std::ifstream& in, std::vector<T>& v, std::size_t n) {
    v.resize(n);
    return static_cast<bool>(in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(n * sizeof(T))));
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s MESH_FILE\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::uint64_t counts[3];
    if (!in.read(reinterpret_cast<char*>(counts), sizeof counts)) return 1;
    std::vector<float> verts, quals, points;
    std::vector<std::uint32_t> faces;
    if (!read(in, verts, counts[0] * 3) || !read(in, faces, counts[1] * 4) ||
        !read(in, quals, counts[0] * 6) || !read(in, points, counts[2] * 3)) {
        std::fprintf(stderr, "short file\n");
        return 1;
    }

    orvik::MeshBuilderState state;
    state.vertices.resize(counts[0]);
    for (std::size_t i = 0; i < counts[0]; ++i) state.vertices[i] = {verts[3 * i], verts[3 * i + 1], verts[3 * i + 2]};
    state.faces.resize(counts[1]);
    for (std::size_t i = 0; i < counts[1]; ++i) {
        state.faces[i] = {faces[4 * i], faces[4 * i + 1], faces[4 * i + 2], faces[4 * i + 3]};
    }
    orvik::Interpolated interp;
    interp.qualities.resize(counts[0]);
    for (std::size_t i = 0; i < counts[0]; ++i) {
        const float* q = &quals[6 * i];
        interp.qualities[i] = orvik::Quality{q[0], q[1], q[2], q[3], q[4], q[5]};
    }

    auto start = std::chrono::steady_clock::now();
    auto model = orvik::MeshModel::build(state, std::move(interp));
    const double build_s = seconds_since(start);
    if (!model) {
        std::fprintf(stderr, "build failed: %s\n", model.error().message.c_str());
        return 1;
    }

    double best = 1e30, rho_sum = 0;
    std::uint64_t found = 0;
    for (int rep = 0; rep < 3; ++rep) {
        found = 0;
        rho_sum = 0;
        start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < counts[2]; ++i) {
            const auto q = orvik::MeshModel::query(*model, points[3 * i], points[3 * i + 1], points[3 * i + 2]);
            if (q) {
                ++found;
                rho_sum += q->rho;
            }
        }
        best = std::min(best, seconds_since(start));
    }
    std::printf("{\"build_s\": %.6f, \"query_s\": %.6f, \"points\": %llu, \"found\": %llu, \"rho_sum\": %.6f, "
                "\"depth\": %u, \"nodes\": %zu}\n",
                build_s, best, static_cast<unsigned long long>(counts[2]), static_cast<unsigned long long>(found),
                rho_sum, orvik::MeshModel::tree_depth(*model), model->nodes.size());
    return 0;
}
