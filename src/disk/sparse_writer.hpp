// The chunk writer shared by both disk operations: a chunk of zero bytes is
// not written but skipped with a seek, so that the file system can leave a
// hole there. Skipped chunks at the end do not extend the file, so callers set
// the final length with truncate_file after the last chunk.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/io_error.hpp"
#include "core/result.hpp"

namespace corvane::disk {

// Whether every byte is zero (true for an empty range). Stops early at data.
bool is_all_zero(const char* data, std::size_t length);

enum class ChunkOutcome { written, skipped };

// Writes the chunk at the file offset, whole (zeros included) when any byte is
// not zero; otherwise moves the offset past it without writing.
Result<ChunkOutcome, IoError> write_sparse_chunk(int fd, const char* data, std::size_t length);

// Moves the file offset forward without writing, as for skipped chunks.
Result<Unit, IoError> skip_forward(int fd, std::uint64_t length);

}  // namespace corvane::disk
