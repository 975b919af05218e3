#include "state/file_sink.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace orvik::state {

Status FileSink::write(std::uint64_t at, std::span<const std::byte> bytes) {
    // Large pieces go in slices that any kernel takes whole or in part.
    constexpr std::size_t kSlice = std::size_t{1} << 30;
    std::uint64_t where = offset_ + at;
    while (!bytes.empty()) {
        if (where > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            return Error::system(EFBIG, "pwrite");
        }
        const std::size_t n = std::min(bytes.size(), kSlice);
        const ssize_t done = pwrite(fd_, bytes.data(), n, static_cast<off_t>(where));
        if (done < 0) {
            if (errno == EINTR) continue;
            return Error::system(errno, "pwrite");
        }
        if (done == 0) return Error::system(EIO, "pwrite");
        bytes = bytes.subspan(static_cast<std::size_t>(done));
        where += static_cast<std::uint64_t>(done);
    }
    return ok_status();
}

}  // namespace orvik::state
