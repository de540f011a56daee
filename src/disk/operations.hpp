// The disk operations. Each makes its target beside it under a temporary name
// and renames it over the target only when complete, and leaves a hole where
// the image has a chunk of zero bytes. Both return the kind of file made:
// "reflink" for a copy-on-write clone, "sparse" otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/io_error.hpp"
#include "core/result.hpp"

namespace corvane::disk {

// Clones a disk image where the file system can share its blocks (Linux,
// FICLONE: XFS, btrfs), else copies it, its all-zero 1 MiB chunks becoming holes.
Result<std::string, IoError> clone_or_sparse_copy(std::string_view source, std::string_view target);

// Expands a zstd-compressed disk image into a raw file in which every
// decompressed piece of zero bytes becomes a hole. chunk_size is the output
// buffer's capacity, so the largest piece.
Result<std::string, IoError> decompress_zstd_sparse(std::string_view source, std::string_view target,
                                                    std::uint64_t chunk_size);

}  // namespace corvane::disk
