// QMP jobs and snapshots: the snapshot and internal block-device snapshot
// commands, "query-jobs" as JobInfo records, dismissal, and the wait until a
// job has concluded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "json/value.hpp"
#include "qmp/connection.hpp"
#include "qmp/error.hpp"

namespace corvane::qmp {

struct JobInfo {
    std::string job_id;
    std::string job_type;
    std::string status;
    std::int64_t current_progress = 0;
    std::int64_t total_progress = 0;
    std::optional<std::string> error;
};

// One element of the "query-jobs" reply (an object). Never fails: what does
// not fit a field becomes the text null or the number 0.
JobInfo job_info_from_json(const json::Value& job);

// Members in their declared order, not sorted.
void write_job_info(const JobInfo& job, std::string& out);
void write_job_list(const std::vector<JobInfo>& jobs, std::string& out);

// The wait for the reply ends at `limit` too, when one is given.
Result<std::vector<JobInfo>, QmpError> query_jobs_native(QmpConnection& connection, const Instant* limit = nullptr);

// Each starts a job and returns without waiting for it.
Result<Unit, QmpError> snapshot_save(QmpConnection& connection, std::string_view job_id, std::string_view tag,
                                     std::string_view vmstate, const std::vector<std::string>& devices);
Result<Unit, QmpError> snapshot_load(QmpConnection& connection, std::string_view job_id, std::string_view tag,
                                     std::string_view vmstate, const std::vector<std::string>& devices);
Result<Unit, QmpError> snapshot_delete(QmpConnection& connection, std::string_view job_id, std::string_view tag,
                                       const std::vector<std::string>& devices);

Result<Unit, QmpError> blockdev_snapshot_internal_sync(QmpConnection& connection, std::string_view device,
                                                       std::string_view name);
Result<Unit, QmpError> blockdev_snapshot_delete_internal_sync(QmpConnection& connection, std::string_view device,
                                                              std::string_view name);

Result<Unit, QmpError> dismiss_job(QmpConnection& connection, std::string_view job_id);

// Polls "query-jobs" until the job has concluded. Success dismisses it (a
// failed dismissal is ignored); an error reported by the job is JobFailed.
// Each poll's wait for its reply also ends at the wait's deadline: a peer that
// keeps the reply back (sending events meanwhile) ends the wait then, as
// JobTimeout, with the connection closed (the reply may still come).
Result<JobInfo, QmpError> wait_for_job(QmpConnection& connection, std::string_view job_id, Duration total,
                                       Duration poll_interval);

}  // namespace corvane::qmp
