#include "core/io_error.hpp"

#include <cerrno>
#include <cstring>

namespace corvane {
namespace {

// strerror_r comes in two shapes: the POSIX one returns an int and fills the
// buffer, the GNU one returns the text. Overloads pick whichever is declared.
[[maybe_unused]] const char* strerror_result(int status, const char* buffer) { return status == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* strerror_result(const char* text, const char*) { return text; }

}  // namespace

std::string os_error_description(int code) {
    char buffer[256] = {};
    const char* text = strerror_result(strerror_r(code, buffer, sizeof buffer), buffer);
    if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(code);
    return text;
}

IoError IoError::last_os_error() { return from_errno(errno); }

std::string IoError::text() const {
    if (!message_.empty() || code_ == 0) return message_;
    return os_error_description(code_) + " (os error " + std::to_string(code_) + ")";
}

}  // namespace corvane
