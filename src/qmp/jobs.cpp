#include "qmp/jobs.hpp"

#include <cerrno>
#include <limits>
#include <utility>

#include "core/text.hpp"
#include "json/parse.hpp"
#include "json/write.hpp"

namespace corvane::qmp {
namespace {

using json::Value;

// A decimal signed 64-bit integer: an optional sign, then digits only.
std::int64_t parse_decimal_i64(std::string_view text) {
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '+') return 0;  // one sign only
    }
    // The magnitude of INT64_MIN is one more than the largest positive value.
    auto magnitude = parse_decimal(text, negative ? max + 1 : max);
    if (!magnitude) return 0;
    return static_cast<std::int64_t>(negative ? 0 - *magnitude : *magnitude);
}

std::int64_t integer_field(const Value* member) {
    if (member == nullptr) return 0;
    switch (member->kind()) {
        case Value::Kind::unsigned_integer:
            if (member->as_unsigned() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return 0;
            return static_cast<std::int64_t>(member->as_unsigned());
        case Value::Kind::negative_integer:
            return member->as_negative();
        case Value::Kind::string:
            return parse_decimal_i64(member->as_string());
        default:
            return 0;
    }
}

Result<Unit, QmpError> run_discarding(QmpConnection& connection, std::string_view command, Value::Object arguments) {
    return qmp_run(connection, command, json::write_json_compact(Value::object(std::move(arguments))));
}

// With a "vmstate" member when one is given (save and load).
Value::Object snapshot_arguments(std::string_view job_id, std::string_view tag, const std::vector<std::string>& devices,
                                 std::optional<std::string_view> vmstate = std::nullopt) {
    Value::Object arguments;
    arguments.emplace("job-id", Value::text(job_id));
    arguments.emplace("tag", Value::text(tag));
    if (vmstate) arguments.emplace("vmstate", Value::text(*vmstate));
    Value::Array device_names;
    for (const std::string& device : devices) device_names.push_back(Value::text(device));
    arguments.emplace("devices", Value::array(std::move(device_names)));
    return arguments;
}

Value::Object block_arguments(std::string_view device, std::string_view name) {
    Value::Object arguments;
    arguments.emplace("device", Value::text(device));
    arguments.emplace("name", Value::text(name));
    return arguments;
}

}  // namespace

JobInfo job_info_from_json(const Value& job) {
    JobInfo info;
    info.job_id = json::json_value_text(job.find("id"));
    info.job_type = json::json_value_text(job.find("type"));
    info.status = json::json_value_text(job.find("status"));
    info.current_progress = integer_field(job.find("current-progress"));
    info.total_progress = integer_field(job.find("total-progress"));
    if (const Value* error = job.find("error")) info.error = json::json_value_text(error);
    return info;
}

void write_job_info(const JobInfo& job, std::string& out) {
    out += "{\"job_id\":";
    json::write_json_string(job.job_id, out);
    out += ",\"job_type\":";
    json::write_json_string(job.job_type, out);
    out += ",\"status\":";
    json::write_json_string(job.status, out);
    out += ",\"current_progress\":";
    out += std::to_string(job.current_progress);
    out += ",\"total_progress\":";
    out += std::to_string(job.total_progress);
    out += ",\"error\":";
    if (job.error)
        json::write_json_string(*job.error, out);
    else
        out += "null";
    out += '}';
}

void write_job_list(const std::vector<JobInfo>& jobs, std::string& out) {
    out += '[';
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (i > 0) out += ',';
        write_job_info(jobs[i], out);
    }
    out += ']';
}

Result<std::vector<JobInfo>, QmpError> query_jobs_native(QmpConnection& connection, const Instant* limit) {
    auto reply = qmp_execute(connection, "query-jobs", std::nullopt, limit);
    if (!reply) return std::move(reply).take_failure();
    // The reply's compact text, parsed once already: it parses again.
    auto parsed = json::parse_json_text(*reply);
    if (!parsed) return fail(QmpError::at_socket(parsed.error().text(), connection.socket_path()));
    Value& result = parsed.value();
    if (!result.is_array()) return fail(QmpError::unexpected_jobs_response(std::move(result)));
    std::vector<JobInfo> jobs;
    jobs.reserve(result.as_array().size());
    for (const Value& job : result.as_array()) {
        if (!job.is_object()) return fail(QmpError::unexpected_jobs_response(std::move(result)));
        jobs.push_back(job_info_from_json(job));
    }
    return jobs;
}

Result<Unit, QmpError> snapshot_save(QmpConnection& connection, std::string_view job_id, std::string_view tag,
                                     std::string_view vmstate, const std::vector<std::string>& devices) {
    return run_discarding(connection, "snapshot-save", snapshot_arguments(job_id, tag, devices, vmstate));
}

Result<Unit, QmpError> snapshot_load(QmpConnection& connection, std::string_view job_id, std::string_view tag,
                                     std::string_view vmstate, const std::vector<std::string>& devices) {
    return run_discarding(connection, "snapshot-load", snapshot_arguments(job_id, tag, devices, vmstate));
}

Result<Unit, QmpError> snapshot_delete(QmpConnection& connection, std::string_view job_id, std::string_view tag,
                                       const std::vector<std::string>& devices) {
    return run_discarding(connection, "snapshot-delete", snapshot_arguments(job_id, tag, devices));
}

Result<Unit, QmpError> blockdev_snapshot_internal_sync(QmpConnection& connection, std::string_view device,
                                                       std::string_view name) {
    return run_discarding(connection, "blockdev-snapshot-internal-sync", block_arguments(device, name));
}

Result<Unit, QmpError> blockdev_snapshot_delete_internal_sync(QmpConnection& connection, std::string_view device,
                                                              std::string_view name) {
    return run_discarding(connection, "blockdev-snapshot-delete-internal-sync", block_arguments(device, name));
}

Result<Unit, QmpError> dismiss_job(QmpConnection& connection, std::string_view job_id) {
    Value::Object arguments;
    arguments.emplace("id", Value::text(job_id));
    return run_discarding(connection, "job-dismiss", std::move(arguments));
}

Result<JobInfo, QmpError> wait_for_job(QmpConnection& connection, std::string_view job_id, Duration total,
                                       Duration poll_interval) {
    const Instant deadline = deadline_after(total);
    std::optional<std::string> last_status;
    const auto timed_out = [&] {
        return QmpError::job_timeout(connection.socket_path(), job_id,
                                     last_status ? Value::text(*last_status) : Value::null());
    };
    for (;;) {
        if (reached(deadline)) return fail(timed_out());
        auto jobs = query_jobs_native(connection, &deadline);
        if (!jobs) {
            // Cut short by the deadline (a failure of the stream, which closed
            // the connection, rather than an error reply).
            if (!connection.connected() && reached(deadline)) return fail(timed_out());
            return std::move(jobs).take_failure();
        }
        for (JobInfo& job : jobs.value()) {
            if (job.job_id != job_id) continue;
            last_status = job.status;
            if (job.status == "concluded") {
                if (job.error) {
                    return fail(QmpError::job_failed(connection.socket_path(), job.job_id, job.job_type, job.status,
                                                     *job.error));
                }
                (void)dismiss_job(connection, job_id);  // the job did its work; a stale listing is harmless
                return std::move(job);
            }
            break;
        }
        if (!sleep_for(poll_interval))  // returns at once for a zero interval
            return fail(QmpError::at_socket(IoError::from_errno(EINTR).text(), connection.socket_path()));
    }
}

}  // namespace corvane::qmp
