// The Python class _QmpClient: one qmp::ClientState per instance. Every
// failure is RuntimeError carrying the QmpError's JSON text.
#include <string_view>

#include "module/declare.hpp"
#include "qmp/client.hpp"
#include "qmp/jobs.hpp"

namespace corvane::py {
namespace {

using namespace qmp;

constexpr Arg kJobId = "job_id"_a, kTag = "tag"_a, kVmstate = "vmstate"_a, kDevices = "devices"_a, kDevice = "device"_a,
              kName = "name"_a;

// All but execute and close run with the interpreter lock released. Those two
// start with it held (execute parses its JSON argument first, close does no
// I/O) and release it themselves while they wait.
constexpr auto kClass = class_<ClientState>(
    "_QmpClient", init<std::string_view>(kSocketPath),
    def("connect", &client_connect, Lock::released, kTimeout, "read_timeout"_a),
    def("execute", &client_execute, Lock::held, "command"_a, "arguments_json"_a),
    def("stop_vm", &client_stop_vm, Lock::released), def("cont", &client_cont, Lock::released),
    def("snapshot_save", &Locked<&snapshot_save>::call, Lock::released, kJobId, kTag, kVmstate, kDevices),
    def("snapshot_load", &Locked<&snapshot_load>::call, Lock::released, kJobId, kTag, kVmstate, kDevices),
    def("snapshot_delete", &Locked<&snapshot_delete>::call, Lock::released, kJobId, kTag, kDevices),
    def("blockdev_snapshot_internal_sync", &Locked<&blockdev_snapshot_internal_sync>::call, Lock::released, kDevice,
        kName),
    def("blockdev_snapshot_delete_internal_sync", &Locked<&blockdev_snapshot_delete_internal_sync>::call,
        Lock::released, kDevice, kName),
    def("query_jobs", &client_query_jobs, Lock::released),
    def("dismiss_job", &Locked<&dismiss_job>::call, Lock::released, kJobId),
    def("wait_for_job", &client_wait_for_job, Lock::released, kJobId, kTimeout, "poll_interval"_a),
    def("close", &client_close, Lock::held));

}  // namespace

PyObject* qmp_client_type() { return detail::ClassType<kClass>::get(); }

}  // namespace corvane::py
