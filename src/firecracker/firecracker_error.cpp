#include "firecracker/firecracker_error.hpp"

namespace corvane::firecracker {

std::string FirecrackerError::text() const {
    if (const auto* io = std::get_if<IoError>(&value_)) return io->text();
    return std::get<std::string>(value_);
}

}  // namespace corvane::firecracker
