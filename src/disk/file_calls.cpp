#include "disk/file_calls.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <string>

namespace corvane::disk {
namespace {

// A NUL-terminated copy of the path for the system call.
Result<std::string, IoError> system_path(std::string_view path) {
    if (path.find('\0') != std::string_view::npos)
        return fail(IoError::message("file name contained an unexpected NUL byte"));
    return std::string(path);
}

Result<UniqueFd, IoError> open_retrying(std::string_view path, int flags, mode_t mode) {
    auto c_path = system_path(path);
    if (!c_path) return std::move(c_path).take_failure();
    for (;;) {
        int fd = ::open(c_path->c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0) return UniqueFd(fd);
        if (errno != EINTR) return fail(IoError::last_os_error());
    }
}

}  // namespace

Result<struct stat, IoError> stat_path(std::string_view path) {
    auto c_path = system_path(path);
    if (!c_path) return std::move(c_path).take_failure();
    struct stat info{};
    if (::stat(c_path->c_str(), &info) != 0) return fail(IoError::last_os_error());
    return info;
}

bool names_open_file(std::string_view path, int fd) {
    auto info = stat_path(path);
    struct stat open_info{};
    return info && ::fstat(fd, &open_info) == 0 && info->st_dev == open_info.st_dev &&
           info->st_ino == open_info.st_ino;
}

bool is_directory(std::string_view path) {
    auto info = stat_path(path);
    return info && S_ISDIR(info->st_mode);
}

Result<Unit, IoError> make_directory(std::string_view path) {
    auto c_path = system_path(path);
    if (!c_path) return std::move(c_path).take_failure();
    if (::mkdir(c_path->c_str(), 0777) != 0) return fail(IoError::last_os_error());
    return Unit{};
}

Result<UniqueFd, IoError> open_read_only(std::string_view path) { return open_retrying(path, O_RDONLY, 0); }

Result<UniqueFd, IoError> create_output_file(std::string_view path, mode_t mode) {
    // A temporary file is never a symbolic link; one planted at its name would
    // send the image to wherever it points, so it is not followed.
    return open_retrying(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, mode);
}

Result<Unit, IoError> truncate_file(int fd, std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return fail(IoError::from_errno(EFBIG));
    while (::ftruncate(fd, static_cast<off_t>(length)) != 0) {
        if (errno != EINTR) return fail(IoError::last_os_error());
    }
    return Unit{};
}

Result<Unit, IoError> change_mode(std::string_view path, mode_t mode) {
    auto c_path = system_path(path);
    if (!c_path) return std::move(c_path).take_failure();
    while (::chmod(c_path->c_str(), mode) != 0) {
        if (errno != EINTR) return fail(IoError::last_os_error());
    }
    return Unit{};
}

Result<Unit, IoError> rename_path(std::string_view from, std::string_view to) {
    auto c_from = system_path(from);
    if (!c_from) return std::move(c_from).take_failure();
    auto c_to = system_path(to);
    if (!c_to) return std::move(c_to).take_failure();
    if (std::rename(c_from->c_str(), c_to->c_str()) != 0) return fail(IoError::last_os_error());
    return Unit{};
}

Result<Unit, IoError> remove_file(std::string_view path) {
    auto c_path = system_path(path);
    if (!c_path) return std::move(c_path).take_failure();
    if (::unlink(c_path->c_str()) != 0) return fail(IoError::last_os_error());
    return Unit{};
}

}  // namespace corvane::disk
