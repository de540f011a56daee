#include "json/value.hpp"

namespace corvane::json {

const Value* Value::find(std::string_view key) const {
    if (!is_object()) return nullptr;
    const Object& members = as_object();
    auto it = members.find(key);
    return it == members.end() ? nullptr : &it->second;
}

Value strings_to_json_array(const std::vector<std::string>& strings) {
    Value::Array items;
    items.reserve(strings.size());
    for (const std::string& s : strings) items.push_back(Value::string(s));
    return Value::array(std::move(items));
}

}  // namespace corvane::json
