#include "core/text.hpp"

namespace corvane {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

std::size_t ascii_run_end(std::string_view bytes, std::size_t at) {
    while (at < bytes.size() && static_cast<unsigned char>(bytes[at]) < 0x80) ++at;
    return at;
}

}  // namespace

Utf8Sequence decode_utf8(std::string_view bytes, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return Utf8Sequence{lead, 1, true};
    const Utf8Sequence ill_formed{0, 1, false};
    std::size_t width = 0;
    // The range allowed for the second byte excludes overlong forms,
    // surrogates and code points above U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    char32_t code_point = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        width = 2;
        code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        width = 3;
        code_point = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        width = 4;
        code_point = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return ill_formed;
    }
    for (std::size_t i = 1; i < width; ++i) {
        if (at + i >= bytes.size()) return Utf8Sequence{0, i, false};
        const unsigned char next = byte(i);
        const bool fits = i == 1 ? (next >= low && next <= high) : is_continuation(next);
        if (!fits) return Utf8Sequence{0, i, false};
        code_point = (code_point << 6) | (next & 0x3F);
    }
    return Utf8Sequence{code_point, width, true};
}

bool is_unicode_whitespace(char32_t c) {
    switch (c) {
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x20:
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

bool is_valid_utf8(std::string_view bytes) {
    std::size_t at = ascii_run_end(bytes, 0);
    while (at < bytes.size()) {
        const Utf8Sequence sequence = decode_utf8(bytes, at);
        if (!sequence.well_formed) return false;
        at = ascii_run_end(bytes, at + sequence.width);
    }
    return true;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t run = ascii_run_end(bytes, at);
        text.append(bytes.substr(at, run - at));
        at = run;
        if (at == bytes.size()) break;
        const Utf8Sequence sequence = decode_utf8(bytes, at);
        text.append(sequence.well_formed ? bytes.substr(at, sequence.width) : kReplacement);
        at += sequence.width;
    }
    return text;
}

Result<std::uint64_t, std::string_view> parse_decimal(std::string_view text, std::uint64_t max) {
    if (text.empty()) return fail(std::string_view("cannot parse integer from empty string"));
    if (text.front() == '+') {
        text.remove_prefix(1);
        if (text.empty()) return fail(std::string_view("invalid digit found in string"));
    }
    // Digits are judged in order, so whichever fault comes first is reported.
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return fail(std::string_view("invalid digit found in string"));
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > max / 10 || value * 10 > max - digit)
            return fail(std::string_view("number too large to fit in target type"));
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace corvane
