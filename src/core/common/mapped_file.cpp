#include "common/mapped_file.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace orvik {

Result<std::shared_ptr<const MappedFile>> MappedFile::read(int fd, std::size_t length) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return Error::system(errno, "fstat");
    if (!S_ISREG(info.st_mode)) return Error::system(EINVAL, "read (not a regular file)");
    void* data = nullptr;
    if (length > 0) {
        data = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (data == MAP_FAILED) return Error::system(errno, "mmap");
        // Huge pages where the system gives them: a 2 MiB page is one fault,
        // not 512, which is most of the time of reading a file from the cache.
        madvise(data, length, MADV_HUGEPAGE);
    }
    // Owned at once, so that the pages are unmapped on every way out.
    std::unique_ptr<const MappedFile> owned(
        new MappedFile(static_cast<const std::byte*>(data), length));
    auto* out = static_cast<char*>(data);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = pread(fd, out + done, length - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return Error::system(errno, "read");
        if (got == 0) {
            return Error::value("the file ended after " + std::to_string(done) + " of " +
                                std::to_string(length) + " bytes (it was truncated while read)");
        }
        done += static_cast<std::size_t>(got);
    }
    if (length > 0 && mprotect(data, length, PROT_READ) != 0)
        return Error::system(errno, "mprotect");
    return std::shared_ptr<const MappedFile>(std::move(owned));
}

MappedFile::~MappedFile() {
    if (data_) munmap(const_cast<std::byte*>(data_), size_);
}

}  // namespace orvik
