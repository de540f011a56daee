// The error value of the host-networking helpers: an error number and a text
// that names the operation and what it acted on, "create_tap tap0: Operation
// not permitted". Input refused before anything changed carries EINVAL and a
// text saying what is wrong with it.
#pragma once

#include <string>
#include <string_view>

namespace corvane::net {

class NetError {
public:
    // "OPERATION SUBJECT: <the C library's text for code>".
    static NetError os(std::string_view operation, std::string_view subject, int code);
    // "OPERATION SUBJECT: TEXT" with the given number.
    static NetError with_text(std::string_view operation, std::string_view subject, int code, std::string_view text);
    // Input refused before anything changed: EINVAL, "OPERATION: TEXT".
    static NetError invalid(std::string_view operation, std::string_view text);

    int code() const { return code_; }
    const std::string& text() const { return text_; }

private:
    NetError(int code, std::string text) : code_(code), text_(std::move(text)) {}

    int code_;
    std::string text_;
};

// The text as it may be quoted in a message: printable ASCII as it is, every
// other byte as \xNN, in single quotes.
std::string quoted(std::string_view text);

}  // namespace corvane::net
