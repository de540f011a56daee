#include "disk/paths.hpp"

#include <cerrno>
#include <vector>

#include "disk/file_calls.hpp"

namespace corvane::disk {
namespace {

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

bool is_ordinary_name(std::string_view part) { return part != "." && part != ".."; }

}  // namespace

std::optional<std::string_view> file_name(std::string_view path) {
    Components components = split(path);
    if (components.parts.empty() || !is_ordinary_name(components.parts.back())) return std::nullopt;
    return components.parts.back();
}

std::optional<std::string_view> parent_path(std::string_view path) {
    Components components = split(path);
    const auto& parts = components.parts;
    if (parts.empty()) return std::nullopt;
    if (parts.size() == 1) return components.rooted ? path.substr(0, 1) : path.substr(0, 0);
    std::string_view before_last = parts[parts.size() - 2];
    return path.substr(0, static_cast<std::size_t>(before_last.data() + before_last.size() - path.data()));
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
    result.append(*name);
    result.append(suffix);
    return result;
}

namespace {

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

Result<Unit, IoError> ensure_parent_dir(std::string_view target) {
    std::optional<std::string_view> parent = parent_path(target);
    if (!parent || parent->empty()) return Unit{};
    return create_dir_all(*parent);
}

void discard_temp(std::string_view path) { (void)remove_file(path); }

}  // namespace corvane::disk
