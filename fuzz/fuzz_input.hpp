// Reads a libFuzzer input as a stream of small decisions and values. Values
// are drawn either from a small integer palette (so that meshes and grids
// come out well formed often enough to get past validation) or as raw IEEE
// bit patterns (NaN, infinities, subnormals, huge magnitudes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace orvik::fuzz {

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return v;
    }

    std::uint64_t u64() { return (static_cast<std::uint64_t>(u32()) << 32) | u32(); }

    // A flag byte chooses a palette value in [-8, 7] (high bit clear) or the
    // raw bits that follow.
    float f32() {
        const std::uint8_t flag = byte();
        if ((flag & 0x80) == 0)
            return static_cast<float>(static_cast<int>(flag & 0x0f) - 8) * scale(flag);
        const std::uint32_t bits = u32();
        float v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }

    double f64() {
        const std::uint8_t flag = byte();
        if ((flag & 0x80) == 0)
            return static_cast<double>(static_cast<int>(flag & 0x0f) - 8) * scale(flag);
        const std::uint64_t bits = u64();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }

    std::string text(std::size_t max_len) {
        const std::size_t n = byte() % (max_len + 1);
        std::string s;
        for (std::size_t i = 0; i < n && !empty(); ++i) s.push_back(static_cast<char>(byte()));
        return s;
    }

  private:
    // Bits 4..6 of a palette flag pick a scale, so that values other than
    // whole numbers turn up as well.
    static float scale(std::uint8_t flag) {
        static constexpr float kScales[8] = {1.0f, 1.0f, 1.0f, 0.5f, 0.25f, 10.0f, 1e-3f, 1e6f};
        return kScales[(flag >> 4) & 7];
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace orvik::fuzz
