// Grid nodes of any shape and value (distorted, folded, collinear, NaN,
// infinite, huge) into StructuredGrid::build, then point queries inside,
// outside and at non-finite positions, with and without clamping, one at a
// time and in batches.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/strided.hpp"
#include "fuzz/fuzz_input.hpp"
#include "grid/structured_grid.hpp"

namespace {

orvik::StridedView<double, 2> view(const std::vector<double>& v, std::ptrdiff_t m,
                                   std::ptrdiff_t n) {
    return orvik::StridedView<double, 2>::dense(v.data(), m, n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    orvik::fuzz::Input in(data, size);
    const std::ptrdiff_t m = in.byte() % 7;
    const std::ptrdiff_t n = in.byte() % 7;
    // Mostly a perturbed lattice, so that walks over real cells happen.
    const std::uint8_t mode = in.byte();
    std::vector<double> x(m * n), y(m * n), values(m * n);
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        for (std::ptrdiff_t j = 0; j < n; ++j) {
            const std::size_t k = static_cast<std::size_t>(i * n + j);
            if (mode & 1) {
                x[k] = in.f64();
                y[k] = in.f64();
            } else {
                x[k] = static_cast<double>(j) + in.f64() * 0.05;
                y[k] = static_cast<double>(i) + in.f64() * 0.05;
            }
            values[k] = in.f64();
        }
    }
    // One shape may differ from the others.
    std::ptrdiff_t vm = m, vn = n;
    if (mode & 2) vn = n > 0 ? n - 1 : 0;
    orvik::Result<orvik::StructuredGrid> grid =
        orvik::StructuredGrid::build(view(x, m, n), view(y, m, n), view(values, vm, vn));
    if (!grid.ok()) return 0;
    const orvik::StructuredGrid& g = grid.value();
    if (g.m < 2 || g.n < 2 || g.nodes.size() != g.m * g.n) __builtin_trap();

    std::vector<double> px, py;
    while (!in.empty() && px.size() < 16) {
        px.push_back(in.f64() * ((mode & 4) ? 1.0 : 0.5) + static_cast<double>(n) * 0.5);
        py.push_back(in.f64() * ((mode & 4) ? 1.0 : 0.5) + static_cast<double>(m) * 0.5);
    }
    for (std::size_t k = 0; k < px.size(); ++k) {
        const orvik::GridSample clamped = orvik::StructuredGrid::query(g, px[k], py[k], true);
        const orvik::GridSample raw = orvik::StructuredGrid::query(g, px[k], py[k], false);
        // Clamping changes the value of outside points only.
        if (clamped.outside != raw.outside) __builtin_trap();
        if (raw.outside && !std::isnan(raw.value)) __builtin_trap();
    }
    std::vector<double> out(px.size());
    std::vector<std::uint8_t> outside(px.size());
    orvik::StridedView<double, 1> vx, vy;
    vx.data = reinterpret_cast<const char*>(px.data());
    vx.shape = {static_cast<std::ptrdiff_t>(px.size())};
    vx.strides = {sizeof(double)};
    vy = vx;
    vy.data = reinterpret_cast<const char*>(py.data());
    orvik::StructuredGrid::query_many(g, vx, vy, true, out.data(), outside.data());

    // Batches (the nodes themselves first, where the shortcut for points on
    // a corner applies) give the bits of one query at a time, but for the
    // payloads of NaNs.
    std::vector<double> bx(x.begin(), x.end()), by(y.begin(), y.end());
    bx.insert(bx.end(), px.begin(), px.end());
    by.insert(by.end(), py.begin(), py.end());
    vx.data = reinterpret_cast<const char*>(bx.data());
    vy.data = reinterpret_cast<const char*>(by.data());
    vx.shape = vy.shape = {static_cast<std::ptrdiff_t>(bx.size())};
    std::vector<double> batch(bx.size());
    orvik::MutableStridedView<double, 1> vb;
    vb.data = reinterpret_cast<char*>(batch.data());
    vb.shape = vx.shape;
    vb.strides = {sizeof(double)};
    for (bool clamp : {true, false}) {
        orvik::StructuredGrid::query_values(g, vx, vy, clamp, vb);
        for (std::size_t k = 0; k < bx.size(); ++k) {
            const double one = orvik::StructuredGrid::query(g, bx[k], by[k], clamp).value;
            // A NaN may come out with another payload.
            if (std::isnan(one) && std::isnan(batch[k])) continue;
            if (std::memcmp(&one, &batch[k], sizeof(double)) != 0) __builtin_trap();
        }
    }
    return 0;
}
