// Parsing runs Boost.JSON's SAX parser over the whole text and builds the
// module's own Value tree from its events; a failure is then diagnosed from
// the text itself.
#include "json/parse.hpp"

#include "json/write.hpp"

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
        case 'n':
            return "null";
        case 't':
            return "true";
        case 'f':
            return "false";
        default:
            return {};
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
    bool after_backslash = false;        // inside a string, right after '\'
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
    const bool after_comma =
        previous == ',' && (expect == Expect::array_separator || expect == Expect::object_separator);
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
        case Expect::array_separator:
            return at(text, "expected `,` or `]`", offset);
        case Expect::object_first:
            return at(text, "key must be a string", offset);
        case Expect::object_separator:
            return at(text, "expected `,` or `}`", offset);
        case Expect::colon:
            return at(text, "expected `:`", offset);
        default:
            return at(text, "trailing characters", offset);
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
    const bool after_high = lx.high_surrogate_end != 0 && (lx.high_surrogate_end == offset ||
                                                           (lx.after_backslash && lx.high_surrogate_end + 1 == offset));
    if (after_high) return at(text, "unexpected end of hex escape", offset);
    if (lx.after_backslash) return at(text, "invalid escape", offset);
    if (byte < 0x20) return at(text, "control character (\\u0000-\\u001F) found while parsing a string", offset);
    return at(text, "invalid unicode code point", offset);
}

ParseError diagnose(std::string_view text, Cause cause, std::size_t offset, Expect expect) {
    switch (cause) {
        case Cause::too_deep:
            return at(text, "recursion limit exceeded", offset);
        case Cause::out_of_range:
            return at(text, "number out of range", offset);
        case Cause::hex_digit:
        case Cause::lone_low_surrogate:
        case Cause::bad_low_surrogate:
            if (auto fault = unicode_escape_fault(text)) return *std::move(fault);
            return at(text, "invalid escape", offset);
        default:
            break;
    }

    const Lexeme lx = lex_until(text, offset);
    switch (lx.where) {
        case Lexeme::Where::string:
            return inside_string(text, cause, offset, lx);
        case Lexeme::Where::literal:
            return at(text, "EOF while parsing a value", text.size());
        case Lexeme::Where::number: {
            // A number is complete when it ends in a digit; a digit right after
            // one can only follow a leading zero.
            const bool at_end = offset >= text.size();
            if (!is_digit(text[offset - 1]))
                return at(text, at_end ? "EOF while parsing a value" : "invalid number", offset);
            if (!at_end && is_digit(text[offset])) return at(text, "invalid number", offset);
            break;
        }
        case Lexeme::Where::between:
            break;
    }
    if (cause == Cause::trailing) return at(text, "trailing characters", offset);
    return between_tokens(text, cause, offset, expect);
}

// --- Parsing ------------------------------------------------------------------

// 127 nested arrays or objects parse; the 128th level fails.
constexpr std::size_t kMaxDepth = 127;

// Builds the tree of Values from the parser's events.
class TreeSink {
public:
    explicit TreeSink(std::string_view) {}

    void begin(bool is_array) { frames_.emplace_back().is_array = is_array; }
    void end() {
        Frame& top = frames_.back();
        Value done = top.is_array ? Value::array(std::move(top.items)) : Value::object(std::move(top.members));
        frames_.pop_back();
        add(std::move(done));
    }
    void string_part(std::string_view s) { partial_.append(s); }
    void string_end() { add(Value::string(std::exchange(partial_, {}))); }
    void key_part(std::string_view s) { partial_.append(s); }
    void key_end() { frames_.back().key = std::exchange(partial_, {}); }
    void scalar(Value value) { add(std::move(value)); }

    Value take_result() { return std::move(result_); }

private:
    // A container being filled: its items or members, and the key whose value comes next.
    struct Frame {
        bool is_array = true;
        Value::Array items;
        Value::Object members;
        std::string key;
    };

    void add(Value value) {
        if (frames_.empty()) {
            result_ = std::move(value);
            return;
        }
        Frame& top = frames_.back();
        if (top.is_array) {
            top.items.push_back(std::move(value));
        } else {
            // A repeated key: the later member wins.
            top.members.insert_or_assign(std::move(top.key), std::move(value));
            top.key.clear();
        }
    }

    std::vector<Frame> frames_;
    std::string partial_;
    Value result_;
};

// The bytes of a key as write_json_string escaped it, one at a time.
class KeyBytes {
public:
    explicit KeyBytes(std::string_view escaped) : rest_(escaped) {}
    bool done() const { return rest_.empty(); }
    unsigned char next() {
        const char c = rest_.front();
        if (c != '\\') {
            rest_.remove_prefix(1);
            return static_cast<unsigned char>(c);
        }
        const char kind = rest_[1];
        if (kind == 'u') {  // only \u00XX is written
            const auto byte = static_cast<unsigned char>(hex_value(rest_[4]) * 16 + hex_value(rest_[5]));
            rest_.remove_prefix(6);
            return byte;
        }
        rest_.remove_prefix(2);
        switch (kind) {
            case 'b':
                return 0x08;
            case 't':
                return 0x09;
            case 'n':
                return 0x0A;
            case 'f':
                return 0x0C;
            case 'r':
                return 0x0D;
            default:
                return static_cast<unsigned char>(kind);  // '"' or '\\'
        }
    }

private:
    std::string_view rest_;
};

// Orders two escaped keys as their bytes compare (unsigned).
int compare_keys(std::string_view a, std::string_view b) {
    KeyBytes left(a), right(b);
    while (!left.done() && !right.done()) {
        const unsigned char x = left.next(), y = right.next();
        if (x != y) return x < y ? -1 : 1;
    }
    return left.done() ? (right.done() ? 0 : -1) : 1;
}

// Writes the compact text from the parser's events, without a tree: values go
// straight into the text, and an object's members, once it is closed, are put
// in key order with the later of repeated keys kept (unless they already are).
// Besides the text, only the key positions of the open objects are held.
class TextSink {
public:
    explicit TextSink(std::string_view text) { out_.reserve(text.size()); }

    void begin(bool is_array) {
        before_value();
        frames_.push_back(Frame{is_array, true, out_.size(), keys_.size()});
        out_ += is_array ? '[' : '{';
    }
    void end() {
        const Frame frame = frames_.back();
        frames_.pop_back();
        if (!frame.is_array) {
            order_members(frame);
            keys_.resize(frame.keys_begin);
        }
        out_ += frame.is_array ? ']' : '}';
    }
    void string_part(std::string_view s) {
        if (!in_text_) {
            before_value();
            out_ += '"';
            in_text_ = true;
        }
        write_json_string_contents(s, out_);
    }
    void string_end() {
        out_ += '"';
        in_text_ = false;
    }
    void key_part(std::string_view s) {
        if (!in_text_) {
            Frame& top = frames_.back();
            if (!top.first) out_ += ',';
            top.first = false;
            keys_.push_back(Key{out_.size(), 0});
            out_ += '"';
            in_text_ = true;
        }
        write_json_string_contents(s, out_);
    }
    void key_end() {
        out_ += '"';
        keys_.back().end = out_.size();
        out_ += ':';
        in_text_ = false;
    }
    void scalar(const Value& value) {
        before_value();
        write_json_compact(value, out_);
    }

    std::string take_result() { return std::move(out_); }

private:
    struct Frame {
        bool is_array;
        bool first;              // nothing written in it yet
        std::size_t start;       // its opening bracket in the text
        std::size_t keys_begin;  // its first member's key in keys_
    };
    // A member's key in the text: from its opening quote to past its closing one.
    struct Key {
        std::size_t begin;
        std::size_t end;
    };
    struct Member {
        std::string_view key;  // escaped, without quotes
        std::size_t begin;
        std::size_t end;  // past its value
    };

    void before_value() {
        if (frames_.empty() || !frames_.back().is_array) return;  // a member's value follows its key
        if (!frames_.back().first) out_ += ',';
        frames_.back().first = false;
    }

    void order_members(const Frame& frame) {
        const std::size_t count = keys_.size() - frame.keys_begin;
        const auto key_text = [&](std::size_t i) {
            const Key& key = keys_[frame.keys_begin + i];
            return std::string_view(out_).substr(key.begin + 1, key.end - key.begin - 2);
        };
        bool ordered = true;
        for (std::size_t i = 1; i < count && ordered; ++i) ordered = compare_keys(key_text(i - 1), key_text(i)) < 0;
        if (ordered) return;
        std::vector<Member> members;
        members.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t end = i + 1 < count ? keys_[frame.keys_begin + i + 1].begin - 1 : out_.size();
            members.push_back(Member{key_text(i), keys_[frame.keys_begin + i].begin, end});
        }
        // Stable: of repeated keys, the later member stays last, and is kept.
        std::stable_sort(members.begin(), members.end(),
                         [](const Member& a, const Member& b) { return compare_keys(a.key, b.key) < 0; });
        std::string ordered_text;
        ordered_text.reserve(out_.size() - frame.start);
        for (std::size_t i = 0; i < count; ++i) {
            if (i + 1 < count && compare_keys(members[i].key, members[i + 1].key) == 0) continue;
            if (!ordered_text.empty()) ordered_text += ',';
            ordered_text.append(out_, members[i].begin, members[i].end - members[i].begin);
        }
        out_.resize(frame.start + 1);
        out_ += ordered_text;
    }

    std::string out_;
    std::vector<Frame> frames_;
    std::vector<Key> keys_;  // of the members of the open objects
    bool in_text_ = false;   // inside a string or key
};

// The parser's handler: follows what the grammar expects next (for the
// diagnosis) and hands the values to the sink.
template <class Sink>
class Builder {
public:
    static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();

    explicit Builder(std::string_view text) : text_(text), sink_(text) {}

    bool on_document_begin(error_code&) { return true; }
    bool on_document_end(error_code&) { return true; }

    bool on_array_begin(error_code&) { return open(true); }
    bool on_array_end(std::size_t, error_code&) { return close(); }
    bool on_object_begin(error_code&) { return open(false); }
    bool on_object_end(std::size_t, error_code&) { return close(); }

    bool on_string_part(boost::json::string_view s, std::size_t, error_code&) {
        sink_.string_part(std::string_view(s.data(), s.size()));
        return true;
    }
    bool on_string(boost::json::string_view s, std::size_t, error_code&) {
        sink_.string_part(std::string_view(s.data(), s.size()));
        sink_.string_end();
        return added();
    }
    bool on_key_part(boost::json::string_view s, std::size_t, error_code&) {
        sink_.key_part(std::string_view(s.data(), s.size()));
        return true;
    }
    bool on_key(boost::json::string_view s, std::size_t, error_code&) {
        sink_.key_part(std::string_view(s.data(), s.size()));
        sink_.key_end();
        expect_ = Expect::colon;
        return true;
    }

    bool on_number_part(boost::json::string_view, error_code&) { return true; }
    bool on_int64(std::int64_t i, boost::json::string_view s, error_code&) {
        if (i >= 0) {
            // "-0" is not an integer: it is the double negative zero.
            if (i == 0 && !s.empty() && s.front() == '-') return scalar(Value::number(-0.0));
            return scalar(Value::unsigned_integer(static_cast<std::uint64_t>(i)));
        }
        return scalar(Value::negative_integer(i));
    }
    bool on_uint64(std::uint64_t u, boost::json::string_view, error_code&) {
        return scalar(Value::unsigned_integer(u));
    }
    bool on_double(double d, boost::json::string_view s, error_code& ec) {
        if (!std::isfinite(d)) {
            out_of_range_end_ = last_byte_of(s);
            ec = boost::json::error::number_too_large;
            return false;
        }
        return scalar(Value::number(d));
    }
    bool on_bool(bool b, error_code&) { return scalar(Value::boolean(b)); }
    bool on_null(error_code&) { return scalar(Value::null()); }
    bool on_comment_part(boost::json::string_view, error_code&) { return true; }
    bool on_comment(boost::json::string_view, error_code&) { return true; }

    Expect expect() const { return expect_; }
    std::size_t out_of_range_end() const { return out_of_range_end_; }
    auto take_result() { return sink_.take_result(); }

private:
    std::size_t last_byte_of(boost::json::string_view s) const {
        const char* begin = text_.data();
        if (s.data() >= begin && s.data() + s.size() <= begin + text_.size() && !s.empty())
            return static_cast<std::size_t>(s.data() - begin) + s.size() - 1;
        return text_.size();
    }

    bool open(bool is_array) {
        sink_.begin(is_array);
        arrays_.push_back(is_array);
        expect_ = is_array ? Expect::array_first : Expect::object_first;
        return true;
    }
    bool close() {
        sink_.end();
        arrays_.pop_back();
        return added();
    }
    bool scalar(Value value) {
        sink_.scalar(std::move(value));
        return added();
    }
    // A value is complete: what may follow depends on where it stands.
    bool added() {
        expect_ = arrays_.empty() ? Expect::end : arrays_.back() ? Expect::array_separator : Expect::object_separator;
        return true;
    }

    std::string_view text_;
    Sink sink_;
    std::vector<bool> arrays_;  // per open container: whether it is an array
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

namespace {

template <class Sink>
auto parse_with(std::string_view text) -> Result<decltype(std::declval<Sink&>().take_result()), ParseError> {
    boost::json::parse_options options;
    options.max_depth = kMaxDepth;
    options.numbers = boost::json::number_precision::precise;
    boost::json::basic_parser<Builder<Sink>> parser(options, text);

    error_code ec;
    const std::size_t consumed = parser.write_some(false, text.data(), text.size(), ec);
    const Builder<Sink>& builder = parser.handler();
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

// The end of the value of compact text that starts at `pos`: past its last
// byte, or at the ',' ']' or '}' after a number or literal.
std::size_t compact_value_end(std::string_view text, std::size_t pos) {
    std::size_t depth = 0;
    bool in_string = false;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (in_string) {
            if (c == '\\') {
                ++pos;
            } else if (c == '"') {
                in_string = false;
                if (depth == 0) return pos + 1;
            }
            continue;
        }
        switch (c) {
            case '"':
                in_string = true;
                break;
            case '[':
            case '{':
                ++depth;
                break;
            case ']':
            case '}':
                if (depth == 0) return pos;
                if (--depth == 0) return pos + 1;
                break;
            case ',':
                if (depth == 0) return pos;
                break;
            default:
                break;
        }
    }
    return pos;
}

}  // namespace

Result<Value, ParseError> parse_json_text(std::string_view text) { return parse_with<TreeSink>(text); }

Result<std::string, ParseError> compact_json_text(std::string_view text) { return parse_with<TextSink>(text); }

std::optional<std::string_view> find_member(std::string_view object, std::string_view key) {
    if (object.size() < 2 || object.front() != '{') return std::nullopt;
    std::size_t pos = 1;
    while (pos < object.size() && object[pos] == '"') {
        const std::size_t key_end = compact_value_end(object, pos);
        const std::size_t value_begin = key_end + 1;  // past the ':'
        const std::size_t value_end = compact_value_end(object, value_begin);
        if (object.substr(pos + 1, key_end - pos - 2) == key)
            return object.substr(value_begin, value_end - value_begin);
        pos = value_end + 1;  // past the ',' (or the closing '}')
    }
    return std::nullopt;
}

}  // namespace corvane::json
