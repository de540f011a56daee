#include "disk/operations.hpp"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "disk/paths.hpp"
#include "disk/sparse_writer.hpp"

namespace corvane::disk {
namespace {

constexpr std::uint64_t kChunk = 1048576;

// Skipping the holes of a sparse source. A chunk that lies wholly inside a
// hole reads as zero bytes and would only be skipped by the writer, so it need
// not be read at all. The skip covers whole chunks counted from the current
// read position, so the chunks that are read start exactly where a plain read
// loop would start them, and the output is the same byte for byte and hole for
// hole. Where the system cannot report holes, nothing is skipped.
class SourceHoles {
public:
    explicit SourceHoles(int fd) : fd_(fd) {}

    // How many bytes from `position` (the descriptor's offset) are whole
    // chunks of hole, or the hole up to the end of the file. The descriptor's
    // offset is left at position plus that count.
    Result<std::uint64_t, IoError> skippable(std::uint64_t position, std::uint64_t chunk);

private:
    int fd_;
    bool usable_ = true;  // cleared when the system cannot report holes
};

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

// ".tmp-PID-NANOS": unique per process and moment, so concurrent copies to one
// target never share a temporary file.
std::string temp_suffix() {
    std::string suffix = ".tmp-" + std::to_string(::getpid()) + "-";
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec > 0) {
        // Seconds, then nanoseconds as nine digits: the decimal count of
        // nanoseconds without any risk of overflow.
        char nanos[16];
        std::snprintf(nanos, sizeof nanos, "%09ld", static_cast<long>(now.tv_nsec));
        suffix += std::to_string(now.tv_sec) + nanos;
    } else if (now.tv_sec == 0) {
        suffix += std::to_string(now.tv_nsec);
    } else {
        suffix += "0";  // before the epoch
    }
    return suffix;
}

// Where a platform can clone a file (copy-on-write), this is the place. None
// is available here; the failure is dropped and the sparse copy runs.
Result<Unit, IoError> try_reflink(std::string_view, std::string_view) {
    return fail(IoError::message("reflink copy is not available on this platform"));
}

Result<Unit, IoError> copy_chunks(int source, SparseOutput& output) {
    SourceHoles holes(source);
    std::uint64_t position = 0;
    bool maybe_in_hole = true;  // checked at the start and after each zero chunk
    for (;;) {
        if (maybe_in_hole) {
            auto skip = holes.skippable(position, kChunk);
            if (!skip) return std::move(skip).take_failure();
            if (*skip > 0) {
                if (auto moved = output.skip(*skip); !moved) return moved;
                position += *skip;
            }
        }
        const ssize_t count = read_resuming(source, output.buffer(), kChunk);
        if (count < 0) return fail(IoError::last_os_error());
        if (count == 0) return Unit{};
        auto outcome = output.write(static_cast<std::size_t>(count));
        if (!outcome) return std::move(outcome).take_failure();
        position += static_cast<std::uint64_t>(count);
        maybe_in_hole = *outcome == ChunkOutcome::skipped;
    }
}

}  // namespace

Result<std::string, IoError> clone_or_sparse_copy(std::string_view source, std::string_view target) {
    auto info = stat_path(source);
    if (!info) return std::move(info).take_failure();
    if (!S_ISREG(info->st_mode))
        return fail(IoError::message("source is not a regular file: " + std::string(source)));
    return write_through_temp(target, temp_suffix(), [&](const TempFile& temp) -> Result<Unit, IoError> {
        (void)try_reflink(source, temp.path());
        // Released on failure in reverse: the output and its buffer, then the source.
        auto input = open_read_only(source);
        if (!input) return std::move(input).take_failure();
        // Owner-only until the copy is complete and takes the source's mode: the
        // image may be private, and the temporary file must not expose it.
        auto output = SparseOutput::create(temp.path(), 0600, kChunk);
        if (!output) return std::move(output).take_failure();
        if (auto copied = copy_chunks(input->get(), *output); !copied) return copied;
        // The length seen at the start, also when the copy ends in skipped chunks.
        if (auto done = output->finish(static_cast<std::uint64_t>(info->st_size)); !done) return done;
        input->reset();
        return change_mode(temp.path(), info->st_mode & 07777);
    });
}

}  // namespace corvane::disk
