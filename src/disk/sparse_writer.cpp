#include "disk/sparse_writer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

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

// Larger writes are split, as some systems refuse counts beyond a signed 32-bit size.
constexpr std::size_t kMaxWrite = 2147483647;

Result<Unit, IoError> write_all(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, data, std::min(length, kMaxWrite));
        if (written < 0) {
            if (errno == EINTR) continue;
            return fail(IoError::last_os_error());
        }
        if (written == 0) return fail(IoError::message("failed to write whole buffer"));
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return Unit{};
}

}  // namespace

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

Result<Unit, IoError> skip_forward(int fd, std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return fail(IoError::from_errno(EOVERFLOW));
    if (::lseek(fd, static_cast<off_t>(length), SEEK_CUR) < 0) return fail(IoError::last_os_error());
    return Unit{};
}

Result<ChunkOutcome, IoError> write_sparse_chunk(int fd, const char* data, std::size_t length) {
    if (is_all_zero(data, length)) {
        if (auto skipped = skip_forward(fd, length); !skipped) return std::move(skipped).take_failure();
        return ChunkOutcome::skipped;
    }
    if (auto written = write_all(fd, data, length); !written) return std::move(written).take_failure();
    return ChunkOutcome::written;
}

}  // namespace corvane::disk
