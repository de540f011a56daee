#include "disk/operations.hpp"

#include <sys/stat.h>
#include <unistd.h>
#if CORVANE_CLONE
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include <cerrno>
#include <cstdint>
#include <optional>

#include "core/fd.hpp"
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
// hole. The system is asked once per data extent (where the data starts and
// where it ends), and chunks inside the extent last found are read without
// asking. Where the system cannot report holes, nothing is skipped.
class SourceHoles {
public:
    explicit SourceHoles(int fd) : fd_(fd) {}

    // How many bytes from `position` are whole chunks of hole; none when
    // nothing but holes (or the end) comes after `position`. Positions only
    // grow from call to call. The descriptor's offset is not meaningful after.
    std::optional<std::uint64_t> skippable(std::uint64_t position, std::uint64_t chunk);

private:
    int fd_;
    bool usable_ = true;          // cleared when the system cannot report holes
    std::uint64_t data_end_ = 0;  // the end of the data extent last found
};

std::optional<std::uint64_t> SourceHoles::skippable(std::uint64_t position, std::uint64_t chunk) {
#ifdef SEEK_DATA
    if (!usable_ || position < data_end_) return std::uint64_t{0};
    const off_t data = ::lseek(fd_, static_cast<off_t>(position), SEEK_DATA);
    if (data < 0) {
        // No data from here on: the rest of the file, a short last chunk
        // included, reads as zero bytes.
        if (errno == ENXIO) return std::nullopt;
        usable_ = false;
        return std::uint64_t{0};
    }
    const off_t hole = ::lseek(fd_, data, SEEK_HOLE);
    if (hole < data || static_cast<std::uint64_t>(data) < position) {
        usable_ = false;
        return std::uint64_t{0};
    }
    data_end_ = static_cast<std::uint64_t>(hole);
    return (static_cast<std::uint64_t>(data) - position) / chunk * chunk;
#else
    (void)position;
    (void)chunk;
    return std::uint64_t{0};
#endif
}

// Reads at explicit offsets: a run of hole chunks costs no call, and a data
// extent two seeks in all (see SourceHoles). Signal handlers run between chunks.
Result<Unit, IoError> copy_chunks(int source, SparseOutput& output) {
    SourceHoles holes(source);
    SignalCheckpoint checkpoint;
    for (;;) {
        if (!checkpoint.pass(kChunk)) return fail(IoError::from_errno(EINTR));
        const std::optional<std::uint64_t> skip = holes.skippable(output.position(), kChunk);
        if (!skip) return Unit{};  // nothing but holes from here on
        if (auto moved = output.skip(*skip); !moved) return moved;
        // One read and one write of the whole chunk: larger calls cost less
        // per byte than smaller ones that would stay in cache.
        const ssize_t count = read_resuming_at(source, output.buffer(), kChunk, output.position());
        if (count < 0) return fail(IoError::last_os_error());
        if (count == 0) return Unit{};
        if (auto written = output.write(static_cast<std::size_t>(count)); !written) return written;
    }
}

// The source's permission bits for the copy. The copy belongs to whoever runs
// the call, so, as when an owner cannot be kept, the set-user-id bit stays
// only when the copy's owner is the source's, and the set-group-id bit only
// when the groups match: otherwise anyone's program could come out
// set-user-id to the caller.
Result<mode_t, IoError> copied_mode(const struct stat& source, int output) {
    struct stat copy{};
    if (::fstat(output, &copy) != 0) return fail(IoError::last_os_error());
    mode_t mode = source.st_mode & 07777;
    if (copy.st_uid != source.st_uid) mode &= ~static_cast<mode_t>(S_ISUID);
    if (copy.st_gid != source.st_gid) mode &= ~static_cast<mode_t>(S_ISGID);
    return mode;
}

Result<Unit, IoError> change_mode(int fd, mode_t mode) {
    if (call_retrying([&] { return ::fchmod(fd, mode); }) != 0) return fail(IoError::last_os_error());
    return Unit{};
}

// A copy-on-write clone of the whole source into the empty temporary file
// (FICLONE): the file system shares the source's blocks instead of copying
// them. False when it cannot (another file system, or one without shared
// extents): a failed clone may have left part of the file behind, so the file
// is emptied again for the copy, unless it is still as made (no length, no
// blocks). Emptying a file that is already empty is not free: ext4 takes a
// file cut to length 0 for one being replaced, and on close allocates and
// starts writing back everything written to it since, inside this call.
// EINTR only when a signal ended the call.
Result<bool, IoError> try_clone(int source, int temp) {
#if CORVANE_CLONE
    if (call_retrying([&] { return ::ioctl(temp, FICLONE, source); }) == 0) return true;
    if (errno == EINTR) return fail(IoError::last_os_error());
    struct stat left{};
    if (::fstat(temp, &left) != 0) return fail(IoError::last_os_error());
    if (left.st_size == 0 && left.st_blocks == 0) return false;
    if (auto emptied = truncate_file(temp, 0); !emptied) return std::move(emptied).take_failure();
#else
    (void)source;
    (void)temp;
#endif
    return false;
}

}  // namespace

Result<std::string, IoError> clone_or_sparse_copy(std::string_view source, std::string_view target) {
    auto info = stat_path(source);
    if (!info) return std::move(info).take_failure();
    if (!S_ISREG(info->st_mode)) return fail(IoError::message("source is not a regular file: " + std::string(source)));
    // ".tmp-PID-NANOS": concurrent copies to one target never share a temporary
    // file. Owner-only until the copy is complete and takes the source's mode:
    // the image may be private, and the temporary file must not expose it.
    const TempPlan plan{".tmp-" + unique_tag(), TempName::unique, 0600};
    const auto size = static_cast<std::uint64_t>(info->st_size);
    return write_through_temp(source, target, plan,
                              [&](TempFile& temp, UniqueFd input) -> Result<std::string, IoError> {
                                  auto cloned = try_clone(input.get(), temp.fd());
                                  if (!cloned) return std::move(cloned).take_failure();
                                  if (*cloned) {
                                      // The length seen at the start, as for the copy.
                                      if (auto cut = truncate_file(temp.fd(), size); !cut)
                                          return std::move(cut).take_failure();
                                  } else {
                                      // Released on failure in reverse: the buffer, then the source.
                                      auto output = SparseOutput::create(temp.fd(), kChunk);
                                      if (!output) return std::move(output).take_failure();
                                      if (auto copied = copy_chunks(input.get(), *output); !copied)
                                          return std::move(copied).take_failure();
                                      // The length seen at the start, also when the copy ends in skipped chunks.
                                      if (auto done = output->finish(size); !done)
                                          return std::move(done).take_failure();
                                  }
                                  input.reset();
                                  // After the last write: writing clears the set-id bits.
                                  auto mode = copied_mode(*info, temp.fd());
                                  if (!mode) return std::move(mode).take_failure();
                                  if (auto changed = change_mode(temp.fd(), *mode); !changed)
                                      return std::move(changed).take_failure();
                                  return std::string(*cloned ? "reflink" : "sparse");
                              });
}

}  // namespace corvane::disk
