#include "disk/paths.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <limits>
#include <optional>
#include <vector>

namespace corvane::disk {

Result<std::string, IoError> system_path(std::string_view path) {
    if (path.find('\0') != std::string_view::npos)
        return fail(IoError::message("file name contained an unexpected NUL byte"));
    return std::string(path);
}

namespace {

// Whether the path names a directory (following links); false on any error.
bool is_directory(std::string_view path) {
    auto info = stat_path(path);
    return info && S_ISDIR(info->st_mode);
}

// mkdir with mode 0777 before the umask.
Result<Unit, IoError> make_directory(std::string_view path) {
    auto c_path = system_path(path);
    if (!c_path) return std::move(c_path).take_failure();
    if (::mkdir(c_path->c_str(), 0777) != 0) return fail(IoError::last_os_error());
    return Unit{};
}

struct Components {
    bool rooted = false;
    std::vector<std::string_view> parts;  // views into the path, in order
};

// Splits at '/'. Empty parts vanish, and so does "." except as the very first
// part of a relative path.
Components split(std::string_view path) {
    Components result;
    std::size_t pos = 0;
    if (!path.empty() && path.front() == '/') {
        result.rooted = true;
        pos = 1;
    }
    while (pos <= path.size()) {
        std::size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(pos, end - pos);
        const bool leading_dot = part == "." && pos == 0;
        if (!part.empty() && (part != "." || leading_dot)) result.parts.push_back(part);
        pos = end + 1;
    }
    return result;
}

// The last component when it is an ordinary name.
std::optional<std::string_view> file_name(std::string_view path) {
    Components components = split(path);
    if (components.parts.empty()) return std::nullopt;
    const std::string_view last = components.parts.back();
    if (last == "." || last == "..") return std::nullopt;
    return last;
}

// The path without its last component and the separators before it; "/"
// stays for a rooted path, "" for a single relative component, none for ""
// and "/".
std::optional<std::string_view> parent_path(std::string_view path) {
    Components components = split(path);
    const auto& parts = components.parts;
    if (parts.empty()) return std::nullopt;
    if (parts.size() == 1) return components.rooted ? path.substr(0, 1) : path.substr(0, 0);
    std::string_view before_last = parts[parts.size() - 2];
    return path.substr(0, static_cast<std::size_t>(before_last.data() + before_last.size() - path.data()));
}

Result<Unit, IoError> create_dir_all(std::string_view dir) {
    if (dir.empty()) return Unit{};
    auto made = make_directory(dir);
    if (made) return Unit{};
    if (made.error().code() == ENOENT) {
        // An ancestor is missing: make it, then try again.
        if (std::optional<std::string_view> parent = parent_path(dir)) {
            if (auto ancestors = create_dir_all(*parent); !ancestors) return ancestors;
        }
        made = make_directory(dir);
        if (made) return Unit{};
    }
    // Someone else may have made it meanwhile, or it existed all along.
    if (is_directory(dir)) return Unit{};
    return made;
}

}  // namespace

Result<struct stat, IoError> stat_path(std::string_view path) {
    auto c_path = system_path(path);
    if (!c_path) return std::move(c_path).take_failure();
    struct stat info{};
    if (::stat(c_path->c_str(), &info) != 0) return fail(IoError::last_os_error());
    return info;
}

bool names_open_file(std::string_view path, int fd, bool follow) {
    auto c_path = system_path(path);
    struct stat named{};
    struct stat open_info{};
    return c_path && (follow ? ::stat : ::lstat)(c_path->c_str(), &named) == 0 && ::fstat(fd, &open_info) == 0 &&
           named.st_dev == open_info.st_dev && named.st_ino == open_info.st_ino;
}

Result<UniqueFd, IoError> open_read_only(std::string_view path) {
    auto c_path = system_path(path);
    if (!c_path) return std::move(c_path).take_failure();
    // A FIFO waits here for its writer: a signal whose handler raises ends the wait.
    UniqueFd fd(call_retrying([&] { return ::open(c_path->c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd) return fail(IoError::last_os_error());
    return fd;
}

Result<Unit, IoError> truncate_file(int fd, std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return fail(IoError::from_errno(EFBIG));
    if (call_retrying([&] { return ::ftruncate(fd, static_cast<off_t>(length)); }) != 0)
        return fail(IoError::last_os_error());
    return Unit{};
}

Result<std::string, IoError> temp_sibling_path(std::string_view target, std::string_view suffix) {
    std::optional<std::string_view> name = file_name(target);
    if (!name) return fail(IoError::message("target path has no filename: " + std::string(target)));
    std::string result;
    std::string_view parent = parent_path(target).value_or(std::string_view{});
    if (!parent.empty()) {
        result.append(parent);
        if (parent.back() != '/') result.push_back('/');
    }
    // Cut back to a character's first byte: a UTF-8 name stays UTF-8.
    std::size_t kept = name->size();
    if (kept + suffix.size() > NAME_MAX) {
        kept = suffix.size() < NAME_MAX ? NAME_MAX - suffix.size() : 0;
        while (kept > 0 && (static_cast<unsigned char>((*name)[kept]) & 0xC0) == 0x80) --kept;
    }
    result.append(name->substr(0, kept));
    result.append(suffix);
    return result;
}

Result<Unit, IoError> ensure_parent_dir(std::string_view target) {
    std::optional<std::string_view> parent = parent_path(target);
    if (!parent || parent->empty()) return Unit{};
    return create_dir_all(*parent);
}

}  // namespace corvane::disk
