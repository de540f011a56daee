// A "query-jobs" element as JSON text: parsed, converted to a JobInfo and
// written as its record. The record is JSON with exactly the six members in
// their declared order, holding what the conversion rules give.
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "json/parse.hpp"
#include "json/write.hpp"
#include "qmp/jobs.hpp"

using namespace corvane;
using namespace corvane::qmp;
using json::Value;

namespace {

constexpr std::string_view kMembers[] = {"job_id", "job_type", "status", "current_progress", "total_progress",
                                         "error"};

// The integer rule written independently: an optional sign, then only digits,
// within the signed 64-bit range; anything else is 0.
std::int64_t expected_integer(const Value* member) {
    if (member == nullptr) return 0;
    if (member->kind() == Value::Kind::negative_integer) return member->as_negative();
    if (member->kind() == Value::Kind::unsigned_integer)
        return member->as_unsigned() > static_cast<std::uint64_t>(INT64_MAX) ? 0
                                                                             : static_cast<std::int64_t>(member->as_unsigned());
    if (!member->is_string()) return 0;
    std::string_view text = member->as_string();
    std::string digits;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        if (text.front() == '-') digits = "-";
        text.remove_prefix(1);
    }
    if (text.empty()) return 0;
    for (const char c : text)
        if (c < '0' || c > '9') return 0;
    digits += text;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return 0;
    return value;
}

void check_record(const Value& job, const JobInfo& info, std::string_view text) {
    auto parsed = json::parse_json_text(text);
    FUZZ_CHECK(parsed.ok() && parsed->is_object());
    const Value::Object& members = parsed->as_object();
    FUZZ_CHECK(members.size() == 6);
    // Declared order: each member name's first appearance as a key comes after the previous one.
    std::size_t previous = 0;
    for (const std::string_view name : kMembers) {
        FUZZ_CHECK(members.count(std::string(name)) == 1);
        const std::size_t at = text.find("\"" + std::string(name) + "\":");
        FUZZ_CHECK(at != std::string_view::npos && at >= previous);
        previous = at;
    }
    FUZZ_CHECK(text.substr(0, 10) == "{\"job_id\":");
    FUZZ_CHECK(members.at("job_id") == Value::string(info.job_id));
    FUZZ_CHECK(members.at("job_type") == Value::string(info.job_type));
    FUZZ_CHECK(members.at("status") == Value::string(info.status));
    FUZZ_CHECK(info.job_id == json::json_value_text(job.find("id")));
    FUZZ_CHECK(info.current_progress == expected_integer(job.find("current-progress")));
    FUZZ_CHECK(info.total_progress == expected_integer(job.find("total-progress")));
    const auto as_integer = [](const Value& v) {
        return v.kind() == Value::Kind::negative_integer ? v.as_negative()
                                                         : static_cast<std::int64_t>(v.as_unsigned());
    };
    FUZZ_CHECK(as_integer(members.at("current_progress")) == info.current_progress);
    FUZZ_CHECK(as_integer(members.at("total_progress")) == info.total_progress);
    const Value& error = members.at("error");
    FUZZ_CHECK(info.error.has_value() == (job.find("error") != nullptr));
    FUZZ_CHECK(info.error ? error == Value::string(*info.error) : error.is_null());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto parsed = json::parse_json_text(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed) return 0;
    const Value& value = parsed.value();
    // One element, or a whole reply's array of them.
    std::vector<const Value*> jobs;
    if (value.is_object()) jobs.push_back(&value);
    if (value.is_array())
        for (const Value& item : value.as_array())
            if (item.is_object()) jobs.push_back(&item);
    std::vector<JobInfo> infos;
    for (const Value* job : jobs) {
        infos.push_back(job_info_from_json(*job));
        std::string text;
        write_job_info(infos.back(), text);
        check_record(*job, infos.back(), text);
    }
    std::string list;
    write_job_list(infos, list);
    auto parsed_list = json::parse_json_text(list);
    FUZZ_CHECK(parsed_list.ok() && parsed_list->is_array() && parsed_list->as_array().size() == infos.size());
    return 0;
}
