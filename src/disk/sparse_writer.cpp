#include "disk/sparse_writer.hpp"

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "core/fd.hpp"
#include "disk/paths.hpp"

namespace corvane::disk {
namespace {

// Blocks of a few cache lines: the fixed-count OR over the block compiles to
// wide vector loads, and one branch per block keeps the early exit cheap.
constexpr std::size_t kBlock = 256;
constexpr std::size_t kWord = sizeof(std::uint64_t);

bool block_is_zero(const char* block) {
    std::uint64_t any = 0;
    for (std::size_t i = 0; i < kBlock; i += kWord) {
        std::uint64_t word;
        std::memcpy(&word, block + i, kWord);
        any |= word;
    }
    return any == 0;
}

// Whether every byte is zero (true for an empty range). Stops early at data.
bool is_all_zero(const char* data, std::size_t length) {
    std::size_t pos = 0;
    // Data usually shows in its first bytes; look there before the block loop.
    const std::size_t head = std::min<std::size_t>(length, 16);
    for (; pos < head; ++pos) {
        if (data[pos] != 0) return false;
    }
    for (; pos + kBlock <= length; pos += kBlock) {
        if (!block_is_zero(data + pos)) return false;
    }
    for (; pos < length; ++pos) {
        if (data[pos] != 0) return false;
    }
    return true;
}

}  // namespace

Result<ZeroedBuffer, IoError> ZeroedBuffer::allocate(std::uint64_t size) {
    void* memory = nullptr;
    if (size <= std::numeric_limits<std::size_t>::max())
        memory = std::calloc(static_cast<std::size_t>(size == 0 ? 1 : size), 1);
    if (memory == nullptr) {
        return fail(IoError::message("cannot allocate a buffer of " + std::to_string(size) +
                                     " bytes: " + IoError::from_errno(ENOMEM).text()));
    }
    return ZeroedBuffer(static_cast<char*>(memory), static_cast<std::size_t>(size));
}

Result<SparseOutput, IoError> SparseOutput::create(int fd, std::uint64_t buffer_size) {
    auto buffer = ZeroedBuffer::allocate(buffer_size);
    if (!buffer) return std::move(buffer).take_failure();
    return SparseOutput(fd, std::move(buffer).value());
}

Result<Unit, IoError> SparseOutput::write(std::size_t length) {
    if (is_all_zero(buffer(), length)) return skip(length);
    if (auto written = write_all_at(fd_, buffer(), length, position_); !written) return written;
    position_ += length;
    return Unit{};
}

Result<Unit, IoError> SparseOutput::skip(std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - position_)
        return fail(IoError::from_errno(EOVERFLOW));
    position_ += length;
    return Unit{};
}

Result<Unit, IoError> SparseOutput::finish(std::uint64_t length) {
    if (auto sized = truncate_file(fd_, length); !sized) return sized;
    buffer_.reset();
    return Unit{};
}

}  // namespace corvane::disk
