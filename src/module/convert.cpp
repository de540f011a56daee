#include "module/convert.hpp"

#include <algorithm>
#include <limits>

namespace corvane::py {
namespace {

constexpr const char* kRangeMessage = "out of range integral type conversion attempted";
constexpr std::size_t kMostItemsReserved = 16;

template <class T>
Result<T, Error> extract_bounded(PyObject* object) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) return fail(Error::fetch());
    if (value < 0 || static_cast<unsigned long>(value) > std::numeric_limits<T>::max())
        return fail(overflow_error(kRangeMessage));
    return static_cast<T>(value);
}

// numpy's bool scalar is not a bool subclass but is accepted where a bool is
// expected. Failures while looking at the type only mean "not a numpy bool".
bool is_numpy_bool(PyTypeObject* type) {
    Ref module = Ref::steal(PyType_GetModuleName(type));
    Ref name = module ? Ref::steal(PyType_GetName(type)) : Ref();
    if (!module || !name) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) return false;
    // Comparisons that never raise.
    return PyUnicode_EqualToUTF8(module.get(), "numpy") &&
           (PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool"));
}

}  // namespace

Result<std::string_view, Error> extract_str(PyObject* object) {
    if (!PyUnicode_Check(object)) return fail(downcast_error(object, "str"));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return fail(Error::fetch());
    return std::string_view(data, static_cast<std::size_t>(size));
}

Result<std::optional<std::string_view>, Error> extract_optional_str(PyObject* object) {
    if (object == Py_None) return std::optional<std::string_view>();
    auto text = extract_str(object);
    if (!text) return std::move(text).take_failure();
    return std::optional<std::string_view>(text.value());
}

Result<std::uint8_t, Error> extract_u8(PyObject* object) { return extract_bounded<std::uint8_t>(object); }

Result<std::uint32_t, Error> extract_u32(PyObject* object) { return extract_bounded<std::uint32_t>(object); }

Result<std::uint64_t, Error> extract_usize(PyObject* object) {
    Ref index;
    if (!PyLong_Check(object)) {
        index = Ref::steal(PyNumber_Index(object));
        if (!index) return fail(Error::fetch());  // an int when it succeeds
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail(Error::fetch());
    return static_cast<std::uint64_t>(value);
}

Result<double, Error> extract_f64(PyObject* object) {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return fail(Error::fetch());
    return value;
}

Result<bool, Error> extract_bool(PyObject* object) {
    if (object == Py_True) return true;
    if (object == Py_False) return false;
    PyTypeObject* type = Py_TYPE(object);
    if (!is_numpy_bool(type)) return fail(downcast_error(object, "bool"));
    auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (nb_bool == nullptr) {
        PyErr_Clear();
        const std::string type_text = str_of(reinterpret_cast<PyObject*>(type), "<unknown>");
        return fail(type_error("object of type '" + type_text + "' does not define a '__bool__' conversion"));
    }
    const int truth = nb_bool(object);
    if (truth == 0) return false;
    if (truth == 1) return true;
    return fail(Error::fetch());
}

Result<std::vector<std::string>, Error> extract_str_list(PyObject* object) {
    if (PyUnicode_Check(object)) return fail(type_error("Can't extract `str` to `Vec`"));
    if (!PySequence_Check(object)) return fail(downcast_error(object, "Sequence"));
    std::vector<std::string> items;
    // The length is only a hint, and the object's own say: room for a few
    // items at most is made from it, and the items are taken as the iteration
    // yields them.
    const Py_ssize_t hint = PyObject_Size(object);
    if (hint < 0)
        PyErr_Clear();
    else
        items.reserve(std::min(static_cast<std::size_t>(hint), kMostItemsReserved));
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) return fail(Error::fetch());
    for (;;) {
        PyObject* raw = nullptr;
        const int status = PyIter_NextItem(iterator.get(), &raw);
        if (status < 0) return fail(Error::fetch());
        if (status == 0) break;
        Ref item = Ref::steal(raw);
        auto text = extract_str(item.get());
        if (!text) return std::move(text).take_failure();
        items.emplace_back(text.value());
    }
    return items;
}

}  // namespace corvane::py
