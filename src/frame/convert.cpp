#include "frame/convert.hpp"

#include "frame/abort.hpp"
#include "frame/numpy_api.hpp"
#include "frame/text.hpp"

namespace vuvirida::frame {

namespace {

[[gnu::cold, gnu::noinline]] Error dimensionality_mismatch(int nd) {
    return Error::type_error("dimensionality mismatch:\n from=" + std::to_string(nd) + ", to=1");
}

[[gnu::cold, gnu::noinline]] Error type_mismatch(PyObject* from, PyObject* to) {
    OwnedRef from_text = OwnedRef::taking(PyObject_Str(from));
    if (!from_text) return Error::fetch();
    OwnedRef to_text = OwnedRef::taking(PyObject_Str(to));
    if (!to_text) return Error::fetch();
    const std::optional<std::string_view> from_utf8 = utf8_of(from_text.get());
    const std::optional<std::string_view> to_utf8 =
        from_utf8 ? utf8_of(to_text.get()) : std::nullopt;
    if (!to_utf8) return Error::fetch();
    std::string message = "type mismatch:\n from=";
    message += *from_utf8;
    message += ", to=";
    message += *to_utf8;
    return Error::type_error(std::move(message));
}

}  // namespace

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

Outcome<Done> check_time_array(PyObject* array) {
    const ArrayFields* fields = array_fields(array);
    if (fields->nd != 1) [[unlikely]]
        return dimensionality_mismatch(fields->nd);
    PyObject* wanted = float64_descr();
    if (fields->descr != wanted && !numpy_api().equiv_types(fields->descr, wanted)) {
        return type_mismatch(fields->descr, wanted);
    }
    return Done{};
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
