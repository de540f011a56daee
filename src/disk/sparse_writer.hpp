// The output side shared by both disk operations: one zero-filled buffer per
// operation, and the temporary file written chunk by chunk, where a chunk of
// zero bytes is not written but skipped with a seek, so that the file system
// can leave a hole there.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "core/fd.hpp"
#include "core/io_error.hpp"
#include "core/result.hpp"

namespace corvane::disk {

// Allocated once and freed by scope. Failing to allocate is an ordinary error,
// not a crash: a caller may ask for a buffer far larger than the machine can give.
class ZeroedBuffer {
public:
    // "cannot allocate a buffer of N bytes: Cannot allocate memory (os error 12)".
    static Result<ZeroedBuffer, IoError> allocate(std::uint64_t size);

    char* data() const { return memory_.get(); }
    std::size_t size() const { return size_; }
    void reset() {
        memory_.reset();
        size_ = 0;
    }

private:
    struct Free {
        void operator()(char* memory) const { std::free(memory); }
    };
    ZeroedBuffer(char* memory, std::size_t size) : memory_(memory), size_(size) {}

    std::unique_ptr<char, Free> memory_;
    std::size_t size_;
};

enum class ChunkOutcome { written, skipped };

// The temporary file of an operation with its chunk buffer.
class SparseOutput {
public:
    // Creates the file (create_output_file), then allocates the buffer.
    static Result<SparseOutput, IoError> create(std::string_view path, mode_t mode, std::uint64_t buffer_size);

    char* buffer() const { return buffer_.data(); }
    std::size_t capacity() const { return buffer_.size(); }

    // Writes the buffer's first `length` bytes at the file offset, whole
    // (zeros included) when any byte is not zero; otherwise moves the offset
    // past them without writing.
    Result<ChunkOutcome, IoError> write(std::size_t length);

    // Moves the file offset forward without writing, as for skipped chunks.
    Result<Unit, IoError> skip(std::uint64_t length);

    // Skipped chunks at the end do not extend the file, so the final length
    // is set here; then the buffer is freed and the file closed.
    Result<Unit, IoError> finish(std::uint64_t length);

private:
    SparseOutput(UniqueFd fd, ZeroedBuffer buffer) : fd_(std::move(fd)), buffer_(std::move(buffer)) {}

    // Released in reverse: the buffer, then the file.
    UniqueFd fd_;
    ZeroedBuffer buffer_;
};

}  // namespace corvane::disk
