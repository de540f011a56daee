#include "json/write.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace corvane::json {
namespace {

void write_value(const Value& value, std::string& out);

void write_array(const Value::Array& items, std::string& out) {
    out += '[';
    bool first = true;
    for (const Value& item : items) {
        if (!first) out += ',';
        first = false;
        write_value(item, out);
    }
    out += ']';
}

void write_object(const Value::Object& members, std::string& out) {
    out += '{';
    bool first = true;
    for (const auto& [key, member] : members) {  // the map keeps keys in byte order
        if (!first) out += ',';
        first = false;
        write_json_string(key, out);
        out += ':';
        write_value(member, out);
    }
    out += '}';
}

void write_value(const Value& value, std::string& out) {
    switch (value.kind()) {
        case Value::Kind::null:
            out += "null";
            break;
        case Value::Kind::boolean:
            out += value.as_bool() ? "true" : "false";
            break;
        case Value::Kind::unsigned_integer:
            out += std::to_string(value.as_unsigned());
            break;
        case Value::Kind::negative_integer:
            out += std::to_string(value.as_negative());
            break;
        case Value::Kind::number:
            write_json_double(value.as_double(), out);
            break;
        case Value::Kind::string:
            write_json_string(value.as_string(), out);
            break;
        case Value::Kind::array:
            write_array(value.as_array(), out);
            break;
        case Value::Kind::object:
            write_object(value.as_object(), out);
            break;
    }
}

}  // namespace

void write_json_string(std::string_view text, std::string& out) {
    out += '"';
    write_json_string_contents(text, out);
    out += '"';
}

void write_json_string_contents(std::string_view text, std::string& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case 0x08:
                out += "\\b";
                break;
            case 0x09:
                out += "\\t";
                break;
            case 0x0A:
                out += "\\n";
                break;
            case 0x0C:
                out += "\\f";
                break;
            case 0x0D:
                out += "\\r";
                break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0xF];
                } else {
                    out += c;
                }
        }
    }
}

// The shortest digits that read back to the same double, laid out in plain
// decimal for exponents -5..15 and in exponent form otherwise.
void write_json_double(double number, std::string& out) {
    if (!std::isfinite(number)) {
        out += "null";
        return;
    }
    if (number == 0.0) {
        out += std::signbit(number) ? "-0.0" : "0.0";
        return;
    }
    char buffer[64];
    const auto converted = std::to_chars(buffer, buffer + sizeof buffer, number, std::chars_format::scientific);
    std::string_view text(buffer, static_cast<std::size_t>(converted.ptr - buffer));
    if (text.front() == '-') {
        out += '-';
        text.remove_prefix(1);
    }
    const std::size_t e_at = text.find('e');
    std::string digits;
    for (const char c : text.substr(0, e_at))
        if (c != '.') digits += c;
    const int exponent = std::atoi(std::string(text.substr(e_at + 1)).c_str());
    const int n = static_cast<int>(digits.size());

    if (exponent >= -5 && exponent <= 15 && n - 1 <= exponent) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
        out += ".0";
    } else if (exponent >= -5 && exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else if (exponent >= 0 && exponent < n - 1) {
        out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
        out += '.';
        out.append(digits, static_cast<std::size_t>(exponent + 1));
    } else {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        out += exponent >= 0 ? '+' : '-';
        out += std::to_string(std::abs(exponent));
    }
}

void write_json_compact(const Value& value, std::string& out) { write_value(value, out); }

std::string write_json_compact(const Value& value) {
    std::string out;
    write_value(value, out);
    return out;
}

std::string json_value_text(const Value* value) {
    if (value == nullptr || value->is_null()) return "null";
    if (value->is_string()) return value->as_string();
    return write_json_compact(*value);
}

}  // namespace corvane::json
