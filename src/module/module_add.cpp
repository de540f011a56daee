#include "module/module_add.hpp"

#include "core/result.hpp"
#include "module/once_cell.hpp"
#include "module/py_ref.hpp"
#include "qmp/client_type.hpp"

namespace corvane::py {
namespace {

OnceCell all_attribute;

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

}  // namespace

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

Result<Unit, Error> add_module_classes(PyObject* module) {
    PyObject* client_type = qmp::client_type();
    if (client_type == nullptr) return fail(Error::fetch());
    Ref name = Ref::steal(PyUnicode_FromString("_QmpClient"));
    if (!name) return fail(Error::fetch());
    return module_add(module, name.get(), client_type);
}

}  // namespace corvane::py
