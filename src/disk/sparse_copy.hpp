// Copies a disk image so that its all-zero 1 MiB chunks become holes. The copy
// is made beside the target and renamed over it only when complete.
#pragma once

#include <string>
#include <string_view>

#include "core/io_error.hpp"
#include "core/result.hpp"

namespace corvane::disk {

// Returns the kind of copy made: always "sparse" here, as no clone is available.
Result<std::string, IoError> clone_or_sparse_copy(std::string_view source, std::string_view target);

}  // namespace corvane::disk
