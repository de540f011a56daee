#include "disk/zeroed_buffer.hpp"

#include <cerrno>
#include <limits>
#include <string>

namespace corvane::disk {

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

}  // namespace corvane::disk
