#include "common/mapped_file.hpp"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

namespace orvik {

Result<std::shared_ptr<const MappedFile>> MappedFile::map(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return Error::system(errno, "fstat");
    if (!S_ISREG(info.st_mode)) return Error::system(EINVAL, "mmap (not a regular file)");
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size > SIZE_MAX) return Error::system(EFBIG, "mmap");
    void* data = nullptr;
    if (size > 0) {
        data = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE | MAP_POPULATE,
                    fd, 0);
        if (data == MAP_FAILED) return Error::system(errno, "mmap");
    }
    // Owned before anything else can throw, so that the pages are never lost.
    std::unique_ptr<const MappedFile> mapped(
        new MappedFile(static_cast<const std::byte*>(data), static_cast<std::size_t>(size)));
    return std::shared_ptr<const MappedFile>(std::move(mapped));
}

MappedFile::~MappedFile() {
    if (data_) munmap(const_cast<std::byte*>(data_), size_);
}

}  // namespace orvik
