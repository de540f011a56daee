#include "disk/sparse_copy.hpp"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "disk/file_calls.hpp"
#include "disk/paths.hpp"
#include "disk/source_holes.hpp"
#include "disk/sparse_writer.hpp"
#include "disk/temp_file.hpp"
#include "disk/zeroed_buffer.hpp"

namespace corvane::disk {
namespace {

constexpr std::uint64_t kChunk = 1048576;

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

Result<Unit, IoError> copy_chunks(int source, int output, char* buffer) {
    SourceHoles holes(source);
    std::uint64_t position = 0;
    bool maybe_in_hole = true;  // checked at the start and after each zero chunk
    for (;;) {
        if (maybe_in_hole) {
            auto skip = holes.skippable(position, kChunk);
            if (!skip) return std::move(skip).take_failure();
            if (*skip > 0) {
                if (auto moved = skip_forward(output, *skip); !moved) return moved;
                position += *skip;
            }
        }
        const ssize_t count = ::read(source, buffer, kChunk);
        if (count < 0) return fail(IoError::last_os_error());
        if (count == 0) return Unit{};
        auto outcome = write_sparse_chunk(output, buffer, static_cast<std::size_t>(count));
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
    if (auto parent = ensure_parent_dir(target); !parent) return std::move(parent).take_failure();
    auto temp_path = temp_sibling_path(target, temp_suffix());
    if (!temp_path) return std::move(temp_path).take_failure();

    // Declared in the order of release on failure, reversed: buffer, temporary
    // file, source, then the removal of the temporary file.
    TempFile temp(std::move(temp_path).value());
    (void)try_reflink(source, temp.path());
    auto input = open_read_only(source);
    if (!input) return std::move(input).take_failure();
    // Owner-only until the copy is complete and takes the source's mode: the
    // image may be private, and the temporary file must not expose it.
    auto output = create_output_file(temp.path(), 0600);
    if (!output) return std::move(output).take_failure();
    auto buffer = ZeroedBuffer::allocate(kChunk);
    if (!buffer) return std::move(buffer).take_failure();

    if (auto copied = copy_chunks(input->get(), output->get(), buffer->data()); !copied)
        return std::move(copied).take_failure();
    // The length seen at the start, also when the copy ends in skipped chunks.
    if (auto sized = truncate_file(output->get(), static_cast<std::uint64_t>(info->st_size)); !sized)
        return std::move(sized).take_failure();
    buffer->reset();
    output->reset();
    input->reset();

    if (auto moded = change_mode(temp.path(), info->st_mode & 07777); !moded) return std::move(moded).take_failure();
    if (auto renamed = rename_path(temp.path(), target); !renamed) return std::move(renamed).take_failure();
    temp.mark_renamed();
    return std::string("sparse");
}

}  // namespace corvane::disk
