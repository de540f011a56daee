// Expands a zstd-compressed disk image into a raw file in which every
// decompressed piece of zero bytes becomes a hole. The output is made beside
// the target and renamed over it only after the whole stream was decoded.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/io_error.hpp"
#include "core/result.hpp"

namespace corvane::disk {

// chunk_size is the output buffer's capacity, so the largest piece. Returns "sparse".
Result<std::string, IoError> decompress_zstd_sparse(std::string_view source, std::string_view target,
                                                    std::uint64_t chunk_size);

}  // namespace corvane::disk
