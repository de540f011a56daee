// The output side shared by both disk operations: one zero-filled buffer per
// operation, and the temporary file written chunk by chunk at explicit
// offsets, where a chunk of zero bytes is not written but skipped, so that the
// file system can leave a hole there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>

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

// Writes the temporary file of an operation, through the descriptor it does
// not own, from offset 0 on, from its chunk buffer.
class SparseOutput {
public:
    // Allocates the buffer.
    static Result<SparseOutput, IoError> create(int fd, std::uint64_t buffer_size);

    char* buffer() const { return buffer_.data(); }
    std::size_t capacity() const { return buffer_.size(); }
    // Where the next chunk goes.
    std::uint64_t position() const { return position_; }

    // Writes the buffer's first `length` bytes at the position, whole (zeros
    // included) when any byte is not zero; otherwise skips them.
    Result<Unit, IoError> write(std::size_t length);

    // Moves the position forward without writing, as for skipped chunks.
    Result<Unit, IoError> skip(std::uint64_t length);

    // Skipped chunks at the end do not extend the file, so the final length
    // is set here; then the buffer is freed.
    Result<Unit, IoError> finish(std::uint64_t length);

private:
    SparseOutput(int fd, ZeroedBuffer buffer) : fd_(fd), buffer_(std::move(buffer)) {}

    int fd_;
    ZeroedBuffer buffer_;
    std::uint64_t position_ = 0;
};

}  // namespace corvane::disk
