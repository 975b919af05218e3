#include "state/byte_io.hpp"

namespace orvik::state {
namespace {

// What a streaming writer gathers before it hands bytes to its sink.
constexpr std::size_t kStreamBuffer = std::size_t{1} << 20;

}  // namespace

ByteWriter::ByteWriter(ByteSink& sink, std::uint64_t base)
    : sink_(&sink), written_(base), buffer_(kStreamBuffer) {}

void ByteWriter::put(std::span<const std::byte> bytes) {
    if (bytes.empty()) return;
    hash_.update(bytes);
    if (status_) status_ = sink_->write(written_, bytes);
    written_ += bytes.size();
}

void ByteWriter::stream(const std::byte* data, std::size_t n) {
    if (buffered_ + n <= buffer_.size()) {
        if (n > 0) std::memcpy(buffer_.data() + buffered_, data, n);
        buffered_ += n;
        return;
    }
    put({buffer_.data(), buffered_});
    buffered_ = 0;
    if (n >= buffer_.size()) {
        put({data, n});  // a large array goes over as it is
    } else {
        std::memcpy(buffer_.data(), data, n);
        buffered_ = n;
    }
}

Result<std::uint64_t> ByteWriter::finish() {
    put({buffer_.data(), buffered_});
    buffered_ = 0;
    if (!status_) return status_.error();
    return hash_.digest();
}

}  // namespace orvik::state
