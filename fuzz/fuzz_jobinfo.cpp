// A "query-jobs" element (or a reply's array of them) as JSON text: converted to a JobInfo and written
// as its record, which is JSON with exactly the six members in their declared order, holding what the
// conversion rules give. The integer rule is written here independently of the module's.
#include <charconv>
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "json/parse.hpp"
#include "json/write.hpp"
#include "qmp/jobs.hpp"

using namespace corvane;
using namespace corvane::qmp;
using json::Value;

namespace {

// An integer, or a string of an optional sign and only digits, within the signed 64-bit range; else 0.
std::int64_t expected_integer(const Value* member) {
    if (member == nullptr) return 0;
    if (member->kind() == Value::Kind::negative_integer) return member->as_negative();
    if (member->kind() == Value::Kind::unsigned_integer)
        return member->as_unsigned() > INT64_MAX ? 0 : static_cast<std::int64_t>(member->as_unsigned());
    if (!member->is_string()) return 0;
    std::string_view text = member->as_string();
    std::string digits = text.starts_with('-') ? "-" : "";
    if (text.starts_with('-') || text.starts_with('+')) text.remove_prefix(1);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return 0;
    digits += text;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return error == std::errc() && end == digits.data() + digits.size() ? value : 0;
}

std::int64_t integer(const Value& v) {
    return v.kind() == Value::Kind::negative_integer ? v.as_negative() : static_cast<std::int64_t>(v.as_unsigned());
}

void check_record(const Value& job, const JobInfo& info, std::string_view text) {
    auto parsed = json::parse_json_text(text);
    FUZZ_CHECK(parsed.ok() && parsed->is_object() && parsed->as_object().size() == 6);
    std::size_t previous = 0;
    for (const char* name : {"job_id", "job_type", "status", "current_progress", "total_progress", "error"}) {
        const std::size_t at = text.find("\"" + std::string(name) + "\":");
        FUZZ_CHECK(parsed->find(name) != nullptr && at != std::string_view::npos && at >= previous);
        previous = at;
    }
    FUZZ_CHECK(text.starts_with("{\"job_id\":") && info.job_id == json::json_value_text(job.find("id")));
    FUZZ_CHECK(*parsed->find("job_id") == Value::string(info.job_id) && *parsed->find("status") == Value::string(info.status));
    FUZZ_CHECK(*parsed->find("job_type") == Value::string(info.job_type));
    FUZZ_CHECK(info.current_progress == expected_integer(job.find("current-progress")));
    FUZZ_CHECK(info.total_progress == expected_integer(job.find("total-progress")));
    FUZZ_CHECK(integer(*parsed->find("current_progress")) == info.current_progress);
    FUZZ_CHECK(integer(*parsed->find("total_progress")) == info.total_progress);
    FUZZ_CHECK(info.error.has_value() == (job.find("error") != nullptr));
    FUZZ_CHECK(info.error ? *parsed->find("error") == Value::string(*info.error) : parsed->find("error")->is_null());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto parsed = json::parse_json_text(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed) return 0;
    std::vector<const Value*> jobs;
    if (parsed->is_object()) jobs.push_back(&parsed.value());
    if (parsed->is_array())
        for (const Value& item : parsed->as_array())
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
    auto written = json::parse_json_text(list);
    FUZZ_CHECK(written.ok() && written->is_array() && written->as_array().size() == infos.size());
    return 0;
}
