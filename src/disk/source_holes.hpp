// Skipping the holes of a sparse source. A chunk that lies wholly inside a
// hole reads as zero bytes and would only be skipped by the writer, so it need
// not be read at all. The skip covers whole chunks counted from the current
// read position, so the chunks that are read start exactly where a plain read
// loop would start them, and the output is the same byte for byte and hole for
// hole. Where the system cannot report holes, nothing is skipped.
#pragma once

#include <cstdint>

#include "core/io_error.hpp"
#include "core/result.hpp"

namespace corvane::disk {

class SourceHoles {
public:
    explicit SourceHoles(int fd) : fd_(fd) {}

    // How many bytes from `position` (the descriptor's offset) are whole
    // chunks of hole, or the hole up to the end of the file. The descriptor's
    // offset is left at position plus that count.
    Result<std::uint64_t, IoError> skippable(std::uint64_t position, std::uint64_t chunk);

private:
    int fd_;
    bool usable_ = true;  // cleared when the system cannot report holes
};

}  // namespace corvane::disk
