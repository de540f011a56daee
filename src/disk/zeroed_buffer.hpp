// One zero-filled buffer per operation, allocated once and freed by scope.
// Failing to allocate is an ordinary error, not a crash: a caller may ask for
// a buffer far larger than the machine can give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "core/io_error.hpp"
#include "core/result.hpp"

namespace corvane::disk {

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

}  // namespace corvane::disk
