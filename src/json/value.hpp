// The module's JSON value: what QMP lines and `arguments_json` parse into and
// what is written back as compact text.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace corvane::json {

class Value {
public:
    using Array = std::vector<Value>;
    // Keys unique and kept in ascending byte order (std::string compares bytes as unsigned).
    using Object = std::map<std::string, Value, std::less<>>;

    enum class Kind { null, boolean, unsigned_integer, negative_integer, number, string, array, object };

    Value() = default;  // null
    static Value null() { return Value(); }
    static Value boolean(bool b) { return Value(Storage(std::in_place_index<1>, b)); }
    static Value unsigned_integer(std::uint64_t n) { return Value(Storage(std::in_place_index<2>, n)); }
    // Always below zero.
    static Value negative_integer(std::int64_t n) { return Value(Storage(std::in_place_index<3>, n)); }
    // Always finite.
    static Value number(double d) { return Value(Storage(std::in_place_index<4>, d)); }
    static Value string(std::string s) { return Value(Storage(std::in_place_index<5>, std::move(s))); }
    static Value text(std::string_view s) { return string(std::string(s)); }  // a copy of the text
    static Value array(Array a = {}) { return Value(Storage(std::in_place_index<6>, std::move(a))); }
    static Value object(Object o = {}) { return Value(Storage(std::in_place_index<7>, std::move(o))); }

    Kind kind() const { return static_cast<Kind>(storage_.index()); }
    bool is_null() const { return kind() == Kind::null; }
    bool is_string() const { return kind() == Kind::string; }
    bool is_array() const { return kind() == Kind::array; }
    bool is_object() const { return kind() == Kind::object; }

    bool as_bool() const { return std::get<1>(storage_); }
    std::uint64_t as_unsigned() const { return std::get<2>(storage_); }
    std::int64_t as_negative() const { return std::get<3>(storage_); }
    double as_double() const { return std::get<4>(storage_); }
    const std::string& as_string() const { return std::get<5>(storage_); }
    const Array& as_array() const { return std::get<6>(storage_); }
    Array& as_array() { return std::get<6>(storage_); }
    const Object& as_object() const { return std::get<7>(storage_); }
    Object& as_object() { return std::get<7>(storage_); }

    // The member of an object, or null when this is not an object or has no such member.
    const Value* find(std::string_view key) const {
        if (!is_object()) return nullptr;
        const auto it = as_object().find(key);
        return it == as_object().end() ? nullptr : &it->second;
    }

    friend bool operator==(const Value&, const Value&) = default;

private:
    using Storage = std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string, Array, Object>;
    explicit Value(Storage storage) : storage_(std::move(storage)) {}
    Storage storage_;
};

}  // namespace corvane::json
