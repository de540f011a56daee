// The file-system side of the disk helpers: the system calls on the caller's
// path bytes, the path rules (which component is the file name, what the
// parent is, the temporary file beside a target, making the target's
// directories), and the lifecycle of the temporary file through which each
// operation makes its target.
//
// A path is the caller's bytes, handed to the system unchanged. A path with a
// NUL byte cannot be handed to the system: such a call is not made and fails
// with "file name contained an unexpected NUL byte".
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "core/fd.hpp"
#include "core/io_error.hpp"
#include "core/result.hpp"

namespace corvane::disk {

// stat, following symbolic links.
Result<struct stat, IoError> stat_path(std::string_view path);

// Whether the path names (following links) the file open as `fd`; false on
// any error.
bool names_open_file(std::string_view path, int fd);

// O_RDONLY, close-on-exec; repeated after EINTR.
Result<UniqueFd, IoError> open_read_only(std::string_view path);

// The output file: write-only, created or truncated, close-on-exec, with the
// given permission bits before the umask; repeated after EINTR. A symbolic
// link at the path is not followed (ELOOP).
inline constexpr mode_t kOutputFileMode = 0666;
Result<UniqueFd, IoError> create_output_file(std::string_view path, mode_t mode = kOutputFileMode);

// ftruncate, repeated after EINTR.
Result<Unit, IoError> truncate_file(int fd, std::uint64_t length);

// chmod, repeated after EINTR.
Result<Unit, IoError> change_mode(std::string_view path, mode_t mode);

// rename: an existing file at `to` is replaced in one step.
Result<Unit, IoError> rename_path(std::string_view from, std::string_view to);

Result<Unit, IoError> remove_file(std::string_view path);

// The target with its file name extended by suffix, in the target's own
// directory, so that the final rename stays on one file system. The file name
// is the last component when it is an ordinary name; "", "/", "." and a path
// ending in ".." have none ("target path has no filename: ..."). Empty
// components and "." past the start are ignored.
Result<std::string, IoError> temp_sibling_path(std::string_view target, std::string_view suffix);

// Creates the target's parent and every missing ancestor (mode 0777 before the
// umask). Directories that exist already, or appear meanwhile, are fine.
Result<Unit, IoError> ensure_parent_dir(std::string_view target);

// The temporary file of one operation: removed on every way out unless kept.
class TempFile {
public:
    explicit TempFile(std::string path) : path_(std::move(path)) {}
    // Errors of the removal are dropped: it runs only on the way out of a
    // failure, whose own error is the one to report.
    ~TempFile() {
        if (!kept_) (void)remove_file(path_);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return path_; }
    // Leaves the path alone on the way out: the file has been renamed into
    // place, or the file there is not this operation's to remove.
    void keep() { kept_ = true; }

private:
    std::string path_;
    bool kept_ = false;
};

// How each operation makes its target: the target's missing directories are
// made, then `write(temp)` opens what it reads and writes the complete file
// under the temporary name (the target's name plus `suffix`), and only then
// is it renamed over the target. Returns the kind of file made: "sparse".
template <class Write>
Result<std::string, IoError> write_through_temp(std::string_view target, std::string_view suffix, Write&& write) {
    if (auto parent = ensure_parent_dir(target); !parent) return std::move(parent).take_failure();
    auto temp_path = temp_sibling_path(target, suffix);
    if (!temp_path) return std::move(temp_path).take_failure();
    TempFile temp(std::move(temp_path).value());
    if (auto written = write(temp); !written) return std::move(written).take_failure();
    if (auto renamed = rename_path(temp.path(), target); !renamed) return std::move(renamed).take_failure();
    temp.keep();
    return std::string("sparse");
}

}  // namespace corvane::disk
