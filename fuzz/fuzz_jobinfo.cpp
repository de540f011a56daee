// A "query-jobs" element (or a reply's array of them) as JSON text, converted to a JobInfo and written as its record:
// JSON with six members holding what the conversion rules give. The integer rule is written here on its own: an
// integer, or a string of an optional sign and only digits, within 64 bits; anything else is 0.
#include <charconv>
#include <string>
#include <vector>

#include "check.hpp"
#include "json/parse.hpp"
#include "json/write.hpp"
#include "qmp/jobs.hpp"

using namespace corvane;
using json::Value;

static std::int64_t expected_integer(const Value* v) {
    if (v != nullptr && v->kind() == Value::Kind::negative_integer) return v->as_negative();
    if (v != nullptr && v->kind() == Value::Kind::unsigned_integer && v->as_unsigned() <= INT64_MAX)
        return static_cast<std::int64_t>(v->as_unsigned());
    if (v == nullptr || !v->is_string()) return 0;
    std::string_view text = v->as_string();
    const std::string sign = text.starts_with('-') ? "-" : "";
    if (text.starts_with('-') || text.starts_with('+')) text.remove_prefix(1);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return 0;
    const std::string digits = sign + std::string(text);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return error == std::errc() && end == digits.data() + digits.size() ? value : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto parsed = json::parse_json_text(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed) return 0;
    std::vector<const Value*> jobs{&parsed.value()};
    if (parsed->is_array())
        for (const Value& item : parsed->as_array()) jobs.push_back(&item);
    std::vector<qmp::JobInfo> infos;
    for (const Value* job : jobs) {
        if (!job->is_object()) continue;
        const qmp::JobInfo& info = infos.emplace_back(qmp::job_info_from_json(*job));
        std::string text;
        qmp::write_job_info(info, text);
        auto record = json::parse_json_text(text);
        FUZZ_CHECK(record.ok() && record->is_object() && record->as_object().size() == 6);
        FUZZ_CHECK(info.job_id == json::json_value_text(job->find("id")) &&
                   *record->find("job_id") == Value::string(info.job_id));
        FUZZ_CHECK(*record->find("job_type") == Value::string(info.job_type) &&
                   *record->find("status") == Value::string(info.status));
        FUZZ_CHECK(info.current_progress == expected_integer(job->find("current-progress")));
        FUZZ_CHECK(info.total_progress == expected_integer(job->find("total-progress")));
        FUZZ_CHECK(info.error.has_value() == (job->find("error") != nullptr));
        FUZZ_CHECK(info.error ? *record->find("error") == Value::string(*info.error)
                              : record->find("error")->is_null());
    }
    std::string list;
    qmp::write_job_list(infos, list);
    auto written = json::parse_json_text(list);
    FUZZ_CHECK(written.ok() && written->is_array() && written->as_array().size() == infos.size());
    return 0;
}
