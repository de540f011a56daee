// The failure value of the API client: an operating-system error (a number or
// one of the I/O layer's fixed texts), or a message about the response.
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "core/io_error.hpp"

namespace corvane::firecracker {

class FirecrackerError {
public:
    static FirecrackerError io(IoError error) { return FirecrackerError(std::move(error)); }
    static FirecrackerError message(std::string text) { return FirecrackerError(std::move(text)); }

    bool is_io() const { return std::holds_alternative<IoError>(value_); }
    // "Connection refused (os error 111)", "malformed HTTP response", ...
    std::string text() const;

private:
    explicit FirecrackerError(IoError error) : value_(std::move(error)) {}
    explicit FirecrackerError(std::string text) : value_(std::move(text)) {}

    std::variant<IoError, std::string> value_;
};

}  // namespace corvane::firecracker
