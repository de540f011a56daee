// The file-system calls of the disk helpers, taking the caller's path bytes.
// A path with a NUL byte cannot be handed to the system: such a call is not
// made and fails with "file name contained an unexpected NUL byte".
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string_view>

#include "core/io_error.hpp"
#include "core/result.hpp"
#include "core/unique_fd.hpp"

namespace corvane::disk {

// stat, following symbolic links.
Result<struct stat, IoError> stat_path(std::string_view path);

// Whether the path names (following links) the file open as `fd`; false on
// any error.
bool names_open_file(std::string_view path, int fd);

// Whether the path names a directory (following links); false on any error.
bool is_directory(std::string_view path);

// mkdir with mode 0777 before the umask.
Result<Unit, IoError> make_directory(std::string_view path);

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

}  // namespace corvane::disk
