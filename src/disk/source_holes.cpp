#include "disk/source_holes.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace corvane::disk {

Result<std::uint64_t, IoError> SourceHoles::skippable(std::uint64_t position, std::uint64_t chunk) {
#ifdef SEEK_DATA
    if (!usable_) return std::uint64_t{0};
    std::uint64_t skip = 0;
    const off_t data = ::lseek(fd_, static_cast<off_t>(position), SEEK_DATA);
    if (data >= 0 && static_cast<std::uint64_t>(data) >= position) {
        skip = (static_cast<std::uint64_t>(data) - position) / chunk * chunk;
    } else if (data < 0 && errno == ENXIO) {
        // No data from here on: the rest of the file, a short last chunk
        // included, reads as zero bytes.
        struct stat info{};
        if (::fstat(fd_, &info) != 0) {
            usable_ = false;
        } else if (static_cast<std::uint64_t>(info.st_size) > position) {
            skip = static_cast<std::uint64_t>(info.st_size) - position;
        }
    } else {
        usable_ = false;
    }
    // SEEK_DATA moved the offset to the data; put it where reading goes on.
    if (::lseek(fd_, static_cast<off_t>(position + skip), SEEK_SET) < 0) return fail(IoError::last_os_error());
    return skip;
#else
    (void)position;
    (void)chunk;
    return std::uint64_t{0};
#endif
}

}  // namespace corvane::disk
