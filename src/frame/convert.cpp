#include "frame/convert.hpp"

#include "frame/numpy_api.hpp"
#include "frame/text.hpp"
#include "frame/time_array.hpp"

namespace vuvirida::frame {

std::string type_qualname(PyObject* object) {
    OwnedRef qualname = OwnedRef::taking(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    const std::optional<std::string_view> text =
        qualname && PyUnicode_Check(qualname.get()) ? utf8_of(qualname.get()) : std::nullopt;
    if (!text) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return std::string(*text);
}

Error cannot_convert(PyObject* object, const char* target) {
    std::string message = "'";
    message += type_qualname(object);
    message += "' object cannot be converted to '";
    message += target;
    message += "'";
    return Error::type_error(std::move(message));
}

Outcome<PyObject*> extract_time(PyObject* object) {
    const NumpyApi& api = numpy_api();
    if (Py_TYPE(object) != api.array_type && !PyType_IsSubtype(Py_TYPE(object), api.array_type)) {
        return cannot_convert(object, "PyArray<T, D>");
    }
    Outcome<Done> checked = check_time_array(object);
    if (!checked.ok()) [[unlikely]]
        return std::move(checked.error());
    return object;
}

Outcome<std::uint64_t> extract_count(PyObject* object) {
    OwnedRef index;
    PyObject* integer = object;
    if (!PyLong_CheckExact(object)) {
        index = OwnedRef::taking(PyNumber_Index(object));
        if (!index) return Error::fetch();
        integer = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Error::fetch();
    return static_cast<std::uint64_t>(value);
}

Error argument_extraction_error(const char* name, Error error) {
    if (error.type() != PyExc_TypeError) return error;
    const std::string prefix = std::string("argument '") + name + "': ";
    return std::move(error).prefixed(prefix.c_str());
}

}  // namespace vuvirida::frame
