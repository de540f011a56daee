#include "net/error.hpp"

#include <cerrno>
#include <cstdio>

#include "core/io_error.hpp"

namespace corvane::net {
namespace {

std::string prefix(std::string_view operation, std::string_view subject) {
    std::string text(operation);
    if (!subject.empty()) {
        text += ' ';
        text += subject;
    }
    return text + ": ";
}

}  // namespace

NetError NetError::os(std::string_view operation, std::string_view subject, int code) {
    return with_text(operation, subject, code, os_error_description(code));
}

NetError NetError::with_text(std::string_view operation, std::string_view subject, int code, std::string_view text) {
    return NetError(code, prefix(operation, subject) + std::string(text));
}

NetError NetError::invalid(std::string_view operation, std::string_view text) {
    return NetError(EINVAL, prefix(operation, {}) + std::string(text));
}

std::string quoted(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && c != '\\' && c != '\'') {
            out += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        }
    }
    return out + "'";
}

}  // namespace corvane::net
