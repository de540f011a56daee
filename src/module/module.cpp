// The module definition and its execution step: the logging bridge, then the
// families' functions, then the class, each name appended to __all__.
#include <atomic>
#include <span>

#include "module/declare.hpp"

namespace corvane::py {
namespace {

OnceCell name_attribute;
OnceCell all_attribute;

std::string describe(const Ref& exception) {
    const std::string type = str_of(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), "<unknown>");
    Ref value = Ref::steal(PyObject_Repr(exception.get()));
    const std::string value_text = value ? str_of(value.get(), "<unknown>") : "<unknown>";
    if (!value) PyErr_Clear();
    Ref traceback = Ref::steal(PyException_GetTraceback(exception.get()));
    const std::string traceback_text = traceback ? str_of(traceback.get(), "<unknown>") : "None";
    return "type: " + type + ", value: " + value_text + ", traceback: " + traceback_text;
}

// Connects native logging to Python's logging package, once per process. No
// operation of the module logs yet, so nothing is forwarded; what remains is
// the import and the refusal of a second bridge. Panics when logging cannot be
// imported, or when the module is being initialised a second time in this
// process.
void install_logging_bridge() {
    static std::atomic<bool> installed{false};
    Ref name = Ref::steal(PyUnicode_FromString("logging"));
    Ref logging = name ? Ref::steal(PyImport_Import(name.get())) : Ref();
    if (!logging) {
        Ref exception = std::move(Error::fetch()).into_exception();
        panic("Failed to initialize python logging: " + describe(exception));
    }
    if (installed.exchange(true, std::memory_order_acq_rel))
        panic("called `Result::unwrap()` on an `Err` value: SetLoggerError(())");
}

Result<Ref, Error> all_list(PyObject* module) {
    PyObject* key = interned(all_attribute, "__all__");
    if (key == nullptr) return fail(Error::fetch());
    Ref all = Ref::steal(PyObject_GetAttr(module, key));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail(Error::fetch());
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all) return fail(Error::fetch());
        if (PyObject_SetAttr(module, key, all.get()) < 0) return fail(Error::fetch());
        return all;
    }
    if (!PyList_Check(all.get())) return fail(downcast_error(all.get(), "list"));
    return all;
}

// Appends name to the module's __all__ (made when missing) and sets the
// attribute. A failed append is a panic.
Result<Unit, Error> module_add(PyObject* module, PyObject* name, PyObject* value) {
    auto all = all_list(module);
    if (!all) return std::move(all).take_failure();
    if (PyList_Append(all->get(), name) < 0) {
        Ref exception = std::move(Error::fetch()).into_exception();
        panic("could not append __name__ to __all__: " + str_of(exception.get(), "<unknown error>"));
    }
    if (PyObject_SetAttr(module, name, value) < 0) return fail(Error::fetch());
    return Unit{};
}

// Adds a function or class under its own __name__. Functions are created
// bound to the module, so that the module is their __self__ and the module's
// full dotted name their __module__.
Result<Unit, Error> add_named(PyObject* module, PyObject* object) {
    PyObject* name_key = interned(name_attribute, "__name__");
    if (name_key == nullptr) return fail(Error::fetch());
    Ref name = Ref::steal(PyObject_GetAttr(object, name_key));
    if (!name) return fail(Error::fetch());
    if (!PyUnicode_Check(name.get())) return fail(downcast_error(name.get(), "str"));
    return module_add(module, name.get(), object);
}

Result<Unit, Error> add_function(PyObject* module, PyMethodDef* definition) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return fail(Error::fetch());
    Ref function = Ref::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
    if (!function) return fail(Error::fetch());
    return add_named(module, function.get());
}

Result<Unit, Error> add_everything(PyObject* module) {
    install_logging_bridge();
    for (std::span<PyMethodDef> family : {probe_and_networking_functions(), disk_functions(), http_api_functions()}) {
        for (PyMethodDef& definition : family)
            if (auto added = add_function(module, &definition); !added) return added;
    }
    PyObject* client_type = qmp_client_type();
    if (client_type == nullptr) return fail(Error::fetch());
    return add_named(module, client_type);
}

int module_exec(PyObject* module) {
    PyObject* failed = panic_guard([module]() -> PyObject* {
        if (!PyModule_Check(module)) {
            downcast_error(module, "module").raise();
            return nullptr;
        }
        if (auto added = add_everything(module); !added) {
            std::move(added).error().raise();
            return nullptr;
        }
        return Py_None;  // borrowed: only tested for null
    });
    return failed == nullptr ? -1 : 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_ffi",
    "Private Python extension module. Public Python code lives in wrapper modules.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace corvane::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__ffi() {
    return PyModuleDef_Init(&corvane::py::module_definition);
}
