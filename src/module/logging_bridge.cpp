#include "module/logging_bridge.hpp"

#include <atomic>
#include <map>
#include <string>
#include <thread>

#include "core/result.hpp"
#include "module/py_error.hpp"
#include "module/py_ref.hpp"

namespace corvane::py {
namespace {

// The sink native log records would go to. No operation of the module logs,
// so nothing forwards yet; the bridge holds logging and an empty logger cache.
struct LogBridge {
    Ref logging;
    std::map<std::string, Ref> logger_cache;
};

enum SlotState : int { kEmpty, kInstalling, kInstalled };
std::atomic<int> slot{kEmpty};
LogBridge* installed_bridge = nullptr;  // lives until the process ends

std::string describe(const Ref& exception) {
    const std::string type = str_of(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), "<unknown>");
    Ref value = Ref::steal(PyObject_Repr(exception.get()));
    const std::string value_text = value ? str_of(value.get(), "<unknown>") : "<unknown>";
    if (!value) PyErr_Clear();
    Ref traceback = Ref::steal(PyException_GetTraceback(exception.get()));
    const std::string traceback_text = traceback ? str_of(traceback.get(), "<unknown>") : "None";
    return "type: " + type + ", value: " + value_text + ", traceback: " + traceback_text;
}

}  // namespace

void install_logging_bridge() {
    Ref name = Ref::steal(PyUnicode_FromString("logging"));
    Ref logging = name ? Ref::steal(PyImport_Import(name.get())) : Ref();
    if (!logging) {
        Ref exception = std::move(Error::fetch()).into_exception();
        panic("Failed to initialize python logging: " + describe(exception));
    }
    auto* bridge = new LogBridge{std::move(logging), {}};

    int expected = kEmpty;
    if (slot.compare_exchange_strong(expected, kInstalling, std::memory_order_acq_rel)) {
        installed_bridge = bridge;
        slot.store(kInstalled, std::memory_order_release);
        return;
    }
    while (slot.load(std::memory_order_acquire) == kInstalling) std::this_thread::yield();
    delete bridge;
    panic("called `Result::unwrap()` on an `Err` value: SetLoggerError(())");
}

}  // namespace corvane::py
