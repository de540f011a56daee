#include "firecracker/text.hpp"

#include <cstddef>

namespace corvane::firecracker {
namespace {

// Decodes one code point of valid UTF-8 and advances past it.
char32_t next_code_point(std::string_view text, std::size_t& at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t width = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (at + width > text.size()) width = text.size() - at;
    char32_t c = width == 1 ? lead : width == 2 ? (lead & 0x1F) : width == 3 ? (lead & 0x0F) : (lead & 0x07);
    for (std::size_t i = 1; i < width; ++i) c = (c << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
    at += width;
    return c;
}

}  // namespace

bool is_unicode_whitespace(char32_t c) {
    switch (c) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
        case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
        case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

Fields first_two_fields(std::string_view text) {
    Fields fields;
    std::size_t at = 0;
    std::size_t start = std::string_view::npos;
    while (at < text.size() && fields.count < 2) {
        const std::size_t here = at;
        const bool space = is_unicode_whitespace(next_code_point(text, at));
        if (!space && start == std::string_view::npos) {
            start = here;
        } else if (space && start != std::string_view::npos) {
            fields.items[fields.count++] = text.substr(start, here - start);
            start = std::string_view::npos;
        }
    }
    if (start != std::string_view::npos && fields.count < 2) fields.items[fields.count++] = text.substr(start);
    return fields;
}

std::string_view trim_whitespace(std::string_view text) {
    std::size_t begin = text.size();
    std::size_t end = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t here = at;
        if (!is_unicode_whitespace(next_code_point(text, at))) {
            if (begin == text.size()) begin = here;
            end = at;
        }
    }
    if (begin >= end) return text.substr(0, 0);
    return text.substr(begin, end - begin);
}

}  // namespace corvane::firecracker
