// The material quality at a point: its columns (count, order and names, the
// one place that spells them out), the record, and the Porter-Duff "over"
// blend that composites one quality in front of another.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <string>

namespace orvik {

// The columns of a quality, in the order of its row form (the rows of the
// arrays that carry qualities) and of its dict form.
namespace column {
enum : std::size_t { rho, vp, vs, qp, qs, alpha, count };
}  // namespace column

inline constexpr std::size_t kQualityColumns = column::count;

inline constexpr std::array<const char*, kQualityColumns> kQualityNames{"rho", "vp", "vs",
                                                                        "qp",  "qs", "alpha"};

// The first `count` names as "[rho, vp, ...]", as messages about the columns
// write them.
inline std::string quality_names_text(std::size_t count = kQualityColumns) {
    std::string text = "[";
    for (std::size_t k = 0; k < count && k < kQualityColumns; ++k) {
        if (k > 0) text += ", ";
        text += kQualityNames[k];
    }
    return text + "]";
}

// Foreground columns f (rho, vp, vs, qp, qs, alpha) over background columns b
// into r, written once for any number of lanes: the scalar Quality::blend and
// the vectorised loop of blend_rows both run this template, so the formula
// lives in one place. `Ops` supplies the lane type V and its operations:
// splat, add, sub, mul, div (each one IEEE float32 operation per lane, never
// contracted) and lt (a lane mask, false for a NaN operand) with
// select(mask, a, b) = mask ? a : b, bit for bit. The blend kernel
// (blend_kernel.cpp) instantiates it with lanes of its own instruction set, so
// each build's instance is a function of its own.
static_assert(kQualityColumns == 6, "every column needs its rule in blend_columns");
template <class Ops, class V = typename Ops::V>
inline void blend_columns(const V* f, const V* b, V* r) {
    const V eps = Ops::splat(1.1920929e-7f);  // 2^-23
    const V one = Ops::splat(1.0f);
    const V fa = f[column::alpha], ba = b[column::alpha];
    // The composite, every step rounded on its own in this order.
    const V wb = Ops::mul(Ops::sub(one, fa), ba);
    const V a = Ops::add(fa, wb);
    const V fw = Ops::div(fa, a);
    const V bw = Ops::div(wb, a);
    V c[kQualityColumns];
    for (std::size_t k : {column::rho, column::vp, column::vs}) {
        c[k] = Ops::add(Ops::mul(b[k], bw), Ops::mul(f[k], fw));
    }
    // Q factors average harmonically: the weighted mean of 1/Q, inverted.
    for (std::size_t k : {column::qp, column::qs}) {
        c[k] = Ops::div(
            one, Ops::add(Ops::mul(Ops::div(one, f[k]), fw), Ops::mul(Ops::div(one, b[k]), bw)));
    }
    c[column::alpha] = a;
    // A transparent foreground gives the background unchanged; otherwise a
    // transparent background gives the foreground unchanged.
    const auto only_b = Ops::lt(fa, eps);
    const auto only_f = Ops::lt(ba, eps);
    for (std::size_t k = 0; k < kQualityColumns; ++k) {
        r[k] = Ops::select(only_b, b[k], Ops::select(only_f, f[k], c[k]));
    }
}

struct Quality {
    float rho = 0, vp = 0, vs = 0, qp = 0, qs = 0, alpha = 0;

    using Columns = std::array<float, kQualityColumns>;

    // The row form: the fields in column order, and back.
    Columns columns() const;
    static Quality from_columns(const float* c);

    // Foreground `f` over background `b`: blend_columns with one lane. Every
    // step is a separately rounded float32 operation (the build disables
    // contraction).
    static Quality blend(const Quality& f, const Quality& b);
};

// The fields lie in column order with nothing between them, so a quality is
// its row: copying one is copying the other.
static_assert(sizeof(Quality) == kQualityColumns * sizeof(float));
static_assert(offsetof(Quality, rho) == column::rho * sizeof(float));
static_assert(offsetof(Quality, vp) == column::vp * sizeof(float));
static_assert(offsetof(Quality, vs) == column::vs * sizeof(float));
static_assert(offsetof(Quality, qp) == column::qp * sizeof(float));
static_assert(offsetof(Quality, qs) == column::qs * sizeof(float));
static_assert(offsetof(Quality, alpha) == column::alpha * sizeof(float));

inline Quality::Columns Quality::columns() const {
    return std::bit_cast<Columns>(*this);
}

inline Quality Quality::from_columns(const float* c) {
    Columns a;
    std::copy_n(c, kQualityColumns, a.begin());
    return std::bit_cast<Quality>(a);
}

namespace detail {
// One float per lane.
struct ScalarLanes {
    using V = float;
    static float splat(float a) { return a; }
    static float add(float a, float b) { return a + b; }
    static float sub(float a, float b) { return a - b; }
    static float mul(float a, float b) { return a * b; }
    static float div(float a, float b) { return a / b; }
    static bool lt(float a, float b) { return a < b; }
    static float select(bool m, float a, float b) { return m ? a : b; }
};
}  // namespace detail

inline Quality Quality::blend(const Quality& f, const Quality& b) {
    const Columns fc = f.columns(), bc = b.columns();
    Columns r;
    blend_columns<detail::ScalarLanes>(fc.data(), bc.data(), r.data());
    return from_columns(r.data());
}

}  // namespace orvik
