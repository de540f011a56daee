// The error value of the module's own I/O: an operating-system error number,
// or one of a few fixed conditions that have no number.
#pragma once

#include <string>

namespace corvane {

// The C library's description of an error number ("Unknown error N" when it has none).
std::string os_error_description(int code);

class IoError {
public:
    static IoError from_errno(int code) { return IoError(code, {}); }
    static IoError last_os_error();
    static IoError message(std::string text) { return IoError(0, std::move(text)); }

    // The number, or 0 for a fixed message.
    int code() const { return code_; }

    // "No such file or directory (os error 2)", or the fixed message alone.
    std::string text() const;

private:
    IoError(int code, std::string message) : code_(code), message_(std::move(message)) {}

    int code_;
    std::string message_;
};

}  // namespace corvane
