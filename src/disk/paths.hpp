// Path rules of the disk helpers: which component is the file name, what the
// parent is, the temporary file beside a target, and making the target's
// directories. A path is the caller's bytes, handed to the system unchanged.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/io_error.hpp"
#include "core/result.hpp"

namespace corvane::disk {

// The last component when it is an ordinary name; none for "", "/", "." and a
// path ending in "..". Empty components and "." past the start are ignored.
std::optional<std::string_view> file_name(std::string_view path);

// The path without its last component and the separators before it; "/"
// stays for a rooted path, "" for a single relative component, none for ""
// and "/".
std::optional<std::string_view> parent_path(std::string_view path);

// The target with its file name extended by suffix, in the target's own
// directory, so that the final rename stays on one file system.
Result<std::string, IoError> temp_sibling_path(std::string_view target, std::string_view suffix);

// Creates the target's parent and every missing ancestor (mode 0777 before the
// umask). Directories that exist already, or appear meanwhile, are fine.
Result<Unit, IoError> ensure_parent_dir(std::string_view target);

// Removes a temporary file. Its errors are dropped: it runs only on the way out
// of a failure, whose own error is the one to report.
void discard_temp(std::string_view path);

}  // namespace corvane::disk
