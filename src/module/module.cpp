// The module definition, its execution step and how names are added to it.
#include "module/function_table.hpp"
#include "module/logging_bridge.hpp"
#include "module/module_add.hpp"
#include "module/once_cell.hpp"
#include "module/wrapper.hpp"

namespace corvane::py {
namespace {

OnceCell name_attribute;

// Creates each function bound to the module, so that the module is its
// __self__ and the module's full dotted name its __module__.
Result<Unit, Error> add_function(PyObject* module, PyMethodDef* definition) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return fail(Error::fetch());
    Ref function = Ref::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
    module_name.reset();
    if (!function) return fail(Error::fetch());
    PyObject* name_key = interned(name_attribute, "__name__");
    if (name_key == nullptr) return fail(Error::fetch());
    Ref name = Ref::steal(PyObject_GetAttr(function.get(), name_key));
    if (!name) return fail(Error::fetch());
    if (!PyUnicode_Check(name.get())) return fail(downcast_error(name.get(), "str"));
    return module_add(module, name.get(), function.get());
}

int module_exec(PyObject* module) {
    PyObject* failed = panic_guard([module]() -> PyObject* {
        if (!PyModule_Check(module)) {
            downcast_error(module, "module").raise();
            return nullptr;
        }
        install_logging_bridge();
        for (PyMethodDef* definition : module_functions()) {
            if (auto added = add_function(module, definition); !added) {
                std::move(added).error().raise();
                return nullptr;
            }
        }
        if (auto added = add_module_classes(module); !added) {
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
