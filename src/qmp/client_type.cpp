#include "qmp/client_type.hpp"

#include <new>
#include <string>
#include <string_view>

#include "module/once_cell.hpp"
#include "qmp/client_operations.hpp"
#include "qmp/client_state.hpp"
#include "qmp/jobs.hpp"
#include "qmp/python_error.hpp"
#include "module/wrapper.hpp"

namespace corvane::qmp {
namespace {

struct ClientObject {
    PyObject_HEAD
    ClientState state;
};

ClientObject* as_client(PyObject* self) { return reinterpret_cast<ClientObject*>(self); }

}  // namespace
}  // namespace corvane::qmp

namespace corvane::py {

template <>
struct Receiver<qmp::ClientState> {
    static Result<qmp::ClientState*, Error> from(PyObject* self) {
        PyObject* type = qmp::client_type();
        if (type == nullptr) return fail(Error::fetch());
        if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type)))
            return fail(downcast_error(self, "_QmpClient"));
        return &qmp::as_client(self)->state;
    }
};

}  // namespace corvane::py

namespace corvane::qmp {
namespace {

using py::as_pycfunction;
using py::FunctionSignature;
using py::kFastcallFlags;
using py::kNoargsFlags;
using py::Lock;

constexpr const char* kClassName = "_QmpClient";

constexpr const char* kNewParams[] = {"socket_path"};
constexpr const char* kConnectParams[] = {"timeout", "read_timeout"};
constexpr const char* kExecuteParams[] = {"command", "arguments_json"};
constexpr const char* kSnapshotParams[] = {"job_id", "tag", "vmstate", "devices"};
constexpr const char* kSnapshotDeleteParams[] = {"job_id", "tag", "devices"};
constexpr const char* kBlockParams[] = {"device", "name"};
constexpr const char* kJobIdParams[] = {"job_id"};
constexpr const char* kWaitParams[] = {"job_id", "timeout", "poll_interval"};

constexpr FunctionSignature kNew{"__new__", kClassName, kNewParams, 0, 1};
constexpr FunctionSignature kConnect{"connect", kClassName, kConnectParams, 0, 2};
constexpr FunctionSignature kExecute{"execute", kClassName, kExecuteParams, 0, 2};
constexpr FunctionSignature kSnapshotSave{"snapshot_save", kClassName, kSnapshotParams, 0, 4};
constexpr FunctionSignature kSnapshotLoad{"snapshot_load", kClassName, kSnapshotParams, 0, 4};
constexpr FunctionSignature kSnapshotDelete{"snapshot_delete", kClassName, kSnapshotDeleteParams, 0, 3};
constexpr FunctionSignature kBlockSnapshot{"blockdev_snapshot_internal_sync", kClassName, kBlockParams, 0, 2};
constexpr FunctionSignature kBlockSnapshotDelete{"blockdev_snapshot_delete_internal_sync", kClassName, kBlockParams,
                                                 0, 2};
constexpr FunctionSignature kDismissJob{"dismiss_job", kClassName, kJobIdParams, 0, 1};
constexpr FunctionSignature kWaitForJob{"wait_for_job", kClassName, kWaitParams, 0, 3};

// Py_tp_new: the state is built in place in the freshly allocated object.
Result<py::Ref, py::Error> make_client(PyTypeObject* type, std::string_view socket_path) {
    std::string path(socket_path);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return fail(py::Error::fetch());
    new (&as_client(self)->state) ClientState(std::move(path));
    return py::Ref::steal(self);
}

// Closes the connection without sending anything.
void dealloc_client(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_client(self)->state.~ClientState();
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

template <const FunctionSignature& Sig, Lock L, auto Operation>
PyCFunction fastcall() {
    return as_pycfunction(&py::fastcall_method<Sig, L, Operation>);
}

template <Lock L, auto Operation>
PyCFunction noargs() {
    return as_pycfunction(&py::noargs_method<L, Operation>);
}

// Referred to by the type for the life of the process.
PyMethodDef client_methods[] = {
    {"connect", fastcall<kConnect, Lock::released, &client_connect>(), kFastcallFlags,
     "connect($self, timeout, read_timeout)\n--\n\n"},
    // Parses with the lock held, then releases it itself.
    {"execute", fastcall<kExecute, Lock::held, &client_execute>(), kFastcallFlags,
     "execute($self, command, arguments_json)\n--\n\n"},
    {"stop_vm", noargs<Lock::released, &client_stop_vm>(), kNoargsFlags, "stop_vm($self)\n--\n\n"},
    {"cont", noargs<Lock::released, &client_cont>(), kNoargsFlags, "cont($self)\n--\n\n"},
    {"snapshot_save", fastcall<kSnapshotSave, Lock::released, &Locked<&snapshot_save>::call>(), kFastcallFlags,
     "snapshot_save($self, job_id, tag, vmstate, devices)\n--\n\n"},
    {"snapshot_load", fastcall<kSnapshotLoad, Lock::released, &Locked<&snapshot_load>::call>(), kFastcallFlags,
     "snapshot_load($self, job_id, tag, vmstate, devices)\n--\n\n"},
    {"snapshot_delete", fastcall<kSnapshotDelete, Lock::released, &Locked<&snapshot_delete>::call>(), kFastcallFlags,
     "snapshot_delete($self, job_id, tag, devices)\n--\n\n"},
    {"blockdev_snapshot_internal_sync",
     fastcall<kBlockSnapshot, Lock::released, &Locked<&blockdev_snapshot_internal_sync>::call>(), kFastcallFlags,
     "blockdev_snapshot_internal_sync($self, device, name)\n--\n\n"},
    {"blockdev_snapshot_delete_internal_sync",
     fastcall<kBlockSnapshotDelete, Lock::released, &Locked<&blockdev_snapshot_delete_internal_sync>::call>(),
     kFastcallFlags, "blockdev_snapshot_delete_internal_sync($self, device, name)\n--\n\n"},
    {"query_jobs", noargs<Lock::released, &client_query_jobs>(), kNoargsFlags, "query_jobs($self)\n--\n\n"},
    {"dismiss_job", fastcall<kDismissJob, Lock::released, &Locked<&dismiss_job>::call>(), kFastcallFlags,
     "dismiss_job($self, job_id)\n--\n\n"},
    {"wait_for_job", fastcall<kWaitForJob, Lock::released, &client_wait_for_job>(), kFastcallFlags,
     "wait_for_job($self, job_id, timeout, poll_interval)\n--\n\n"},
    {"close", noargs<Lock::held, &client_close>(), kNoargsFlags, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot client_slots[] = {
    {Py_tp_doc, const_cast<char*>("_QmpClient(socket_path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&py::constructor<kNew, &make_client>)},
    {Py_tp_methods, client_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_client)},
    {0, nullptr},
};

// Default flags only: not subclassable, no GC, no __dict__, no weak
// references, and the class object's attributes stay settable.
PyType_Spec client_spec = {
    "builtins._QmpClient",
    static_cast<int>(sizeof(ClientObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    client_slots,
};

py::OnceCell client_type_cell;

}  // namespace

PyObject* client_type() {
    return client_type_cell.get_or_init([]() -> PyObject* {
        py::Ref type = py::Ref::steal(PyType_FromSpec(&client_spec));
        if (!type) return nullptr;
        // The docstring is only the text signature: with no body, __doc__ is
        // None, as for the methods.
        if (PyObject_SetAttrString(type.get(), "__doc__", Py_None) < 0) return nullptr;
        return type.release();
    });
}

}  // namespace corvane::qmp
