// Parsing runs Boost.JSON's SAX parser over the whole text and builds the
// module's own Value tree from its events.
#include "json/parse.hpp"

#include <boost/json/basic_parser_impl.hpp>

#include <cmath>
#include <limits>
#include <vector>

#include "json/diagnosis.hpp"

namespace corvane::json {
namespace {

using boost::system::error_code;
using detail::Cause;
using detail::Expect;

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

bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

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
        return fail(detail::diagnose(text, cause, offset, builder.expect()));
    }
    std::size_t rest = consumed;
    while (rest < text.size() && is_whitespace(text[rest])) ++rest;
    if (rest < text.size()) return fail(detail::diagnose(text, Cause::trailing, rest, Expect::end));
    return parser.handler().take_result();
}

}  // namespace corvane::json
