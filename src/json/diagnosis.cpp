#include "json/diagnosis.hpp"

#include <algorithm>
#include <string>

namespace corvane::json::detail {
namespace {

bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_number_char(char c) { return is_digit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E'; }

std::string_view literal_word(char first) {
    switch (first) {
        case 'n': return "null";
        case 't': return "true";
        case 'f': return "false";
        default: return {};
    }
}

ParseError at(std::string_view text, std::string description, std::size_t offset) {
    ParseError error;
    error.description = std::move(description);
    const std::size_t end = std::min(offset, text.size());
    const std::size_t line_start = [&] {
        const std::size_t lf = text.substr(0, end).rfind('\n');
        return lf == std::string_view::npos ? 0 : lf + 1;
    }();
    error.line = 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + line_start, '\n'));
    // At the end of the text the column is the last line's length; at a byte,
    // its 1-based position in its line.
    error.column = offset >= text.size() ? text.size() - line_start : offset - line_start + 1;
    return error;
}

// Where the byte at `offset` stands lexically. The text before it has been
// accepted by the parser, so this only has to follow tokens, not check them.
struct Lexeme {
    enum class Where { between, string, number, literal } where = Where::between;
    std::size_t token_start = 0;
    bool after_backslash = false;       // inside a string, right after '\'
    std::size_t high_surrogate_end = 0;  // end offset of the last high-surrogate escape, or 0
};

Lexeme lex_until(std::string_view text, std::size_t offset) {
    Lexeme lx;
    std::size_t pos = 0;
    while (pos < offset) {
        const char c = text[pos];
        switch (lx.where) {
            case Lexeme::Where::between:
                lx.token_start = pos;
                if (c == '"') {
                    lx.where = Lexeme::Where::string;
                    lx.high_surrogate_end = 0;
                } else if (c == '-' || is_digit(c)) {
                    lx.where = Lexeme::Where::number;
                } else if (const auto word = literal_word(c); !word.empty()) {
                    if (pos + word.size() <= offset) {
                        pos += word.size();
                        continue;
                    }
                    lx.where = Lexeme::Where::literal;
                }
                ++pos;
                break;
            case Lexeme::Where::string:
                if (lx.after_backslash) {
                    lx.after_backslash = false;
                    if (c == 'u' && pos + 5 <= offset) {
                        const std::string_view hex = text.substr(pos + 1, 4);
                        const bool high = (hex[0] == 'd' || hex[0] == 'D') &&
                                          std::string_view("89abAB").find(hex[1]) != std::string_view::npos;
                        lx.high_surrogate_end = high ? pos + 5 : 0;
                        pos += 5;
                        continue;
                    }
                    if (c != 'u') lx.high_surrogate_end = 0;
                } else if (c == '\\') {
                    lx.after_backslash = true;
                } else if (c == '"') {
                    lx.where = Lexeme::Where::between;
                } else {
                    lx.high_surrogate_end = 0;
                }
                ++pos;
                break;
            case Lexeme::Where::number:
                if (is_number_char(c))
                    ++pos;
                else
                    lx.where = Lexeme::Where::between;
                break;
            case Lexeme::Where::literal:
                ++pos;
                break;
        }
    }
    return lx;
}

char previous_significant(std::string_view text, std::size_t offset) {
    while (offset > 0) {
        const char c = text[--offset];
        if (!is_whitespace(c)) return c;
    }
    return '\0';
}

// Between tokens: what the grammar expected decides the description.
ParseError between_tokens(std::string_view text, Cause cause, std::size_t offset, Expect expect) {
    const char previous = previous_significant(text, offset);
    const bool after_comma = previous == ',' && (expect == Expect::array_separator || expect == Expect::object_separator);
    const bool after_colon = previous == ':' && expect == Expect::colon;
    const bool value_expected = expect == Expect::top_value || expect == Expect::array_first || after_colon ||
                                (after_comma && expect == Expect::array_separator);

    if (cause == Cause::incomplete || offset >= text.size()) {
        if (value_expected && expect != Expect::array_first) return at(text, "EOF while parsing a value", offset);
        if (after_comma) return at(text, "EOF while parsing a value", offset);
        if (expect == Expect::array_first || expect == Expect::array_separator)
            return at(text, "EOF while parsing a list", offset);
        return at(text, "EOF while parsing an object", offset);
    }

    const char c = text[offset];
    if (value_expected) {
        if (after_comma && c == ']') return at(text, "trailing comma", offset);
        if (const auto word = literal_word(c); !word.empty()) {
            for (std::size_t i = 0; i < word.size(); ++i) {
                if (offset + i >= text.size()) return at(text, "EOF while parsing a value", text.size());
                if (text[offset + i] != word[i]) return at(text, "expected ident", offset + i);
            }
        }
        return at(text, "expected value", offset);
    }
    if (after_comma) {  // in an object: a key must follow
        if (c == '}') return at(text, "trailing comma", offset);
        return at(text, "key must be a string", offset);
    }
    switch (expect) {
        case Expect::array_separator: return at(text, "expected `,` or `]`", offset);
        case Expect::object_first: return at(text, "key must be a string", offset);
        case Expect::object_separator: return at(text, "expected `,` or `}`", offset);
        case Expect::colon: return at(text, "expected `:`", offset);
        default: return at(text, "trailing characters", offset);
    }
}

ParseError inside_string(std::string_view text, Cause cause, std::size_t offset, const Lexeme& lx) {
    if (cause == Cause::incomplete || offset >= text.size()) return at(text, "EOF while parsing a string", text.size());
    const auto byte = static_cast<unsigned char>(text[offset]);
    // A high surrogate must be followed directly by "\u".
    const bool after_high = lx.high_surrogate_end != 0 &&
                            (lx.high_surrogate_end == offset || (lx.after_backslash && lx.high_surrogate_end + 1 == offset));
    if (after_high) return at(text, "unexpected end of hex escape", offset);
    if (lx.after_backslash) return at(text, "invalid escape", offset);
    if (byte < 0x20) return at(text, "control character (\\u0000-\\u001F) found while parsing a string", offset);
    return at(text, "invalid unicode code point", offset);
}

}  // namespace

ParseError diagnose(std::string_view text, Cause cause, std::size_t offset, Expect expect) {
    switch (cause) {
        case Cause::too_deep: return at(text, "recursion limit exceeded", offset);
        case Cause::out_of_range: return at(text, "number out of range", offset);
        case Cause::lone_low_surrogate: return at(text, "lone leading surrogate in hex escape", offset - 1);
        case Cause::bad_low_surrogate: return at(text, "lone leading surrogate in hex escape", offset + 3);
        case Cause::hex_digit: {
            // Fewer than four bytes after "\u" means the text ended inside the escape.
            std::size_t u_at = offset;
            while (u_at > 0 && text[u_at - 1] != 'u') --u_at;
            if (text.size() - u_at < 4) return at(text, "EOF while parsing a string", text.size());
            return at(text, "invalid escape", offset);
        }
        default: break;
    }

    const Lexeme lx = lex_until(text, offset);
    switch (lx.where) {
        case Lexeme::Where::string: return inside_string(text, cause, offset, lx);
        case Lexeme::Where::literal: return at(text, "EOF while parsing a value", text.size());
        case Lexeme::Where::number: {
            // A number is complete when it ends in a digit; a digit right after
            // one can only follow a leading zero.
            const bool at_end = offset >= text.size();
            if (!is_digit(text[offset - 1]))
                return at(text, at_end ? "EOF while parsing a value" : "invalid number", offset);
            if (!at_end && is_digit(text[offset])) return at(text, "invalid number", offset);
            break;
        }
        case Lexeme::Where::between: break;
    }
    if (cause == Cause::trailing) return at(text, "trailing characters", offset);
    return between_tokens(text, cause, offset, expect);
}

}  // namespace corvane::json::detail
