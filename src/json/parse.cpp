// Parsing runs Boost.JSON's SAX parser over the whole text and builds the
// module's own Value tree from its events; a failure is then diagnosed from
// the text itself.
#include "json/parse.hpp"

#include <boost/json/basic_parser_impl.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace corvane::json {
namespace {

using boost::system::error_code;

// The only white space JSON allows between tokens.
bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// --- Diagnosis ----------------------------------------------------------------
// Turns a failed parse into the description and position a reader expects:
// the parser library says that and roughly where the text went wrong; this
// names the cause from what the grammar expected at that byte.

// What the grammar expected next, as the tree builder last saw it. Separators
// the library consumed silently (',' and ':') are recovered from the text.
enum class Expect {
    top_value,
    end,
    array_first,
    array_separator,
    object_first,
    object_separator,
    colon,
};

enum class Cause {
    incomplete,          // the text ended early
    syntax,              // a byte that does not fit
    hex_digit,           // a \u escape without four hex digits
    lone_low_surrogate,  // \uDC00-\uDFFF with no high surrogate before it
    bad_low_surrogate,   // a high surrogate followed by a \u escape that is not a low one
    too_deep,            // the 128th nesting level
    out_of_range,        // a number too large for a double; offset is its last byte
    trailing,            // bytes after the top-level value; offset is the first of them
};

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

int hex_value(char c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four digits of a \u escape from `first`: their value, or the offset of
// the first byte that is not a hex digit (the end of the text when fewer than
// four bytes remain: the text ended inside the escape).
struct HexDigits {
    std::optional<unsigned> value;
    std::size_t fault = 0;
};

HexDigits hex_digits(std::string_view text, std::size_t first) {
    if (text.size() - first < 4) return {std::nullopt, text.size()};
    unsigned value = 0;
    for (std::size_t i = first; i < first + 4; ++i) {
        const int digit = hex_value(text[i]);
        if (digit < 0) return {std::nullopt, i};
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return {value, 0};
}

// The fault of a \u escape (surrogates included), found in the text itself:
// the library's offset for these depends on which of its decoding paths ran
// (one reads the four digits at once, another byte by byte near the end of
// its input), so only the kind of fault is taken from it. Everything before
// the fault was accepted, so outside strings a '"' always opens one, and the
// first bad \u escape is the fault. Its column is that of the first byte that
// cannot continue the escape; a surrogate that does not fit is placed at the
// last digit of its escape.
std::optional<ParseError> unicode_escape_fault(std::string_view text) {
    const std::size_t size = text.size();
    const auto bad_digit = [&](std::size_t fault) {
        return fault >= size ? at(text, "EOF while parsing a string", size) : at(text, "invalid escape", fault);
    };
    bool in_string = false;
    for (std::size_t pos = 0; pos < size; ++pos) {
        const char c = text[pos];
        if (!in_string || c == '"') {
            in_string = !in_string && c == '"';
            continue;
        }
        if (c != '\\') continue;
        if (++pos >= size) return std::nullopt;
        if (text[pos] != 'u') continue;
        const HexDigits unit = hex_digits(text, pos + 1);
        if (!unit.value) return bad_digit(unit.fault);
        pos += 4;
        if (*unit.value >= 0xDC00 && *unit.value <= 0xDFFF)
            return at(text, "lone leading surrogate in hex escape", pos);
        if (*unit.value < 0xD800 || *unit.value > 0xDBFF) continue;
        // A high surrogate: "\u" and a low surrogate must follow directly.
        for (const char expected : {'\\', 'u'}) {
            if (++pos >= size) return at(text, "EOF while parsing a string", size);
            if (text[pos] != expected) return at(text, "unexpected end of hex escape", pos);
        }
        const HexDigits low = hex_digits(text, pos + 1);
        if (!low.value) return bad_digit(low.fault);
        pos += 4;
        if (*low.value < 0xDC00 || *low.value > 0xDFFF) return at(text, "lone leading surrogate in hex escape", pos);
    }
    return std::nullopt;
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

ParseError diagnose(std::string_view text, Cause cause, std::size_t offset, Expect expect) {
    switch (cause) {
        case Cause::too_deep: return at(text, "recursion limit exceeded", offset);
        case Cause::out_of_range: return at(text, "number out of range", offset);
        case Cause::hex_digit:
        case Cause::lone_low_surrogate:
        case Cause::bad_low_surrogate:
            if (auto fault = unicode_escape_fault(text)) return *std::move(fault);
            return at(text, "invalid escape", offset);
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

// --- Parsing ------------------------------------------------------------------

// 127 nested arrays or objects parse; the 128th level fails.
constexpr std::size_t kMaxDepth = 127;

class TreeBuilder {
public:
    static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();

    explicit TreeBuilder(std::string_view text) : text_(text) {}

    bool on_document_begin(error_code&) { return true; }
    bool on_document_end(error_code&) { return true; }

    bool on_array_begin(error_code&) {
        frames_.emplace_back().is_array = true;
        expect_ = Expect::array_first;
        return true;
    }
    bool on_array_end(std::size_t, error_code&) { return close_container(); }
    bool on_object_begin(error_code&) {
        frames_.emplace_back().is_array = false;
        expect_ = Expect::object_first;
        return true;
    }
    bool on_object_end(std::size_t, error_code&) { return close_container(); }

    bool on_string_part(boost::json::string_view s, std::size_t, error_code&) {
        partial_.append(s.data(), s.size());
        return true;
    }
    bool on_string(boost::json::string_view s, std::size_t, error_code&) {
        partial_.append(s.data(), s.size());
        return add(Value::string(std::exchange(partial_, {})));
    }
    bool on_key_part(boost::json::string_view s, std::size_t, error_code&) {
        partial_.append(s.data(), s.size());
        return true;
    }
    bool on_key(boost::json::string_view s, std::size_t, error_code&) {
        partial_.append(s.data(), s.size());
        frames_.back().key = std::exchange(partial_, {});
        expect_ = Expect::colon;
        return true;
    }

    bool on_number_part(boost::json::string_view, error_code&) { return true; }
    bool on_int64(std::int64_t i, boost::json::string_view s, error_code&) {
        if (i >= 0) {
            // "-0" is not an integer: it is the double negative zero.
            if (i == 0 && !s.empty() && s.front() == '-') return add(Value::number(-0.0));
            return add(Value::unsigned_integer(static_cast<std::uint64_t>(i)));
        }
        return add(Value::negative_integer(i));
    }
    bool on_uint64(std::uint64_t u, boost::json::string_view, error_code&) { return add(Value::unsigned_integer(u)); }
    bool on_double(double d, boost::json::string_view s, error_code& ec) {
        if (!std::isfinite(d)) {
            out_of_range_end_ = last_byte_of(s);
            ec = boost::json::error::number_too_large;
            return false;
        }
        return add(Value::number(d));
    }
    bool on_bool(bool b, error_code&) { return add(Value::boolean(b)); }
    bool on_null(error_code&) { return add(Value::null()); }
    bool on_comment_part(boost::json::string_view, error_code&) { return true; }
    bool on_comment(boost::json::string_view, error_code&) { return true; }

    Expect expect() const { return expect_; }
    std::size_t out_of_range_end() const { return out_of_range_end_; }
    Value take_result() { return std::move(result_); }

private:
    // A container being filled: its items or members, and the key whose value comes next.
    struct Frame {
        bool is_array = true;
        Value::Array items;
        Value::Object members;
        std::string key;
    };

    std::size_t last_byte_of(boost::json::string_view s) const {
        const char* begin = text_.data();
        if (s.data() >= begin && s.data() + s.size() <= begin + text_.size() && !s.empty())
            return static_cast<std::size_t>(s.data() - begin) + s.size() - 1;
        return text_.size();
    }

    bool add(Value value) {
        if (frames_.empty()) {
            result_ = std::move(value);
            expect_ = Expect::end;
            return true;
        }
        Frame& top = frames_.back();
        if (top.is_array) {
            top.items.push_back(std::move(value));
            expect_ = Expect::array_separator;
        } else {
            // A repeated key: the later member wins.
            top.members.insert_or_assign(std::move(top.key), std::move(value));
            top.key.clear();
            expect_ = Expect::object_separator;
        }
        return true;
    }

    bool close_container() {
        Frame& top = frames_.back();
        Value done = top.is_array ? Value::array(std::move(top.items)) : Value::object(std::move(top.members));
        frames_.pop_back();
        return add(std::move(done));
    }

    std::string_view text_;
    std::vector<Frame> frames_;
    std::string partial_;
    Value result_;
    Expect expect_ = Expect::top_value;
    std::size_t out_of_range_end_ = 0;
};

Cause cause_of(const error_code& ec) {
    namespace e = boost::json;
    if (ec == e::error::incomplete) return Cause::incomplete;
    if (ec == e::error::too_deep) return Cause::too_deep;
    if (ec == e::error::expected_hex_digit) return Cause::hex_digit;
    if (ec == e::error::illegal_leading_surrogate) return Cause::lone_low_surrogate;
    if (ec == e::error::illegal_trailing_surrogate) return Cause::bad_low_surrogate;
    if (ec == e::error::number_too_large || ec == e::error::exponent_overflow) return Cause::out_of_range;
    return Cause::syntax;
}

}  // namespace

std::string ParseError::text() const {
    return description + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

Result<Value, ParseError> parse_json_text(std::string_view text) {
    boost::json::parse_options options;
    options.max_depth = kMaxDepth;
    options.numbers = boost::json::number_precision::precise;
    boost::json::basic_parser<TreeBuilder> parser(options, text);

    error_code ec;
    const std::size_t consumed = parser.write_some(false, text.data(), text.size(), ec);
    const TreeBuilder& builder = parser.handler();
    if (ec) {
        const Cause cause = cause_of(ec);
        const std::size_t offset = cause == Cause::out_of_range ? builder.out_of_range_end() : consumed;
        return fail(diagnose(text, cause, offset, builder.expect()));
    }
    std::size_t rest = consumed;
    while (rest < text.size() && is_whitespace(text[rest])) ++rest;
    if (rest < text.size()) return fail(diagnose(text, Cause::trailing, rest, Expect::end));
    return parser.handler().take_result();
}

}  // namespace corvane::json
