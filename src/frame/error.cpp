#include "frame/error.hpp"

#include "frame/abort.hpp"
#include "frame/text.hpp"

namespace vuvirida::frame {

Error Error::fetch() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return with_message(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    Error error;
    error.type_ = OwnedRef::taking(type);
    error.value_ = OwnedRef::taking(value);
    error.traceback_ = OwnedRef::taking(traceback);
    // The comparison creates the abort exception type on the first fetch.
    if (is_panic_type(type, value, traceback)) {
        resume_panic(error.type_.give_up(), error.value_.give_up(), error.traceback_.give_up());
    }
    return error;
}

Error Error::prefixed(const char* prefix) && {
    PyObject* type = type_.give_up();
    PyObject* value = value_.give_up();
    PyObject* traceback = traceback_.give_up();
    std::string text = prefix;
    OwnedRef cause;
    if (made_here_) {
        text += message_;
        Py_XDECREF(type);
        Py_XDECREF(traceback);
    } else {
        PyErr_NormalizeException(&type, &value, &traceback);
        if (type != PyExc_TypeError) {
            // Making the TypeError's instance failed, and the interpreter put
            // that failure (a MemoryError, say) in its place: it passes as is.
            Error failure;
            failure.type_ = OwnedRef::taking(type);
            failure.value_ = OwnedRef::taking(value);
            failure.traceback_ = OwnedRef::taking(traceback);
            return failure;
        }
        OwnedRef replaced_type = OwnedRef::taking(type);
        OwnedRef replaced = OwnedRef::taking(value);
        OwnedRef replaced_traceback = OwnedRef::taking(traceback);
        OwnedRef rendered = OwnedRef::taking(replaced ? PyObject_Str(replaced.get()) : nullptr);
        const std::optional<std::string_view> utf8 =
            rendered ? utf8_of(rendered.get()) : std::nullopt;
        if (!utf8) PyErr_Clear();
        text += utf8 ? *utf8 : std::string_view("<exception str() failed>");
        if (replaced && PyExceptionInstance_Check(replaced.get())) {
            cause = OwnedRef::taking(PyException_GetCause(replaced.get()));
        }
    }
    OwnedRef message = OwnedRef::taking(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    OwnedRef rewritten =
        OwnedRef::taking(message ? PyObject_CallOneArg(PyExc_TypeError, message.get()) : nullptr);
    if (!rewritten) return fetch();
    // Setting the cause, even to nothing, also suppresses the context.
    PyException_SetCause(rewritten.get(), cause.give_up());
    Error error;
    error.type_ = OwnedRef::adding(PyExc_TypeError);
    error.value_ = std::move(rewritten);
    return error;
}

void Error::restore() && noexcept {
    if (made_here_) {
        OwnedRef message = OwnedRef::taking(PyUnicode_DecodeUTF8(
            message_.data(), static_cast<Py_ssize_t>(message_.size()), "replace"));
        if (message) PyErr_SetObject(type_.get(), message.get());
        return;
    }
    PyErr_Restore(type_.give_up(), value_.give_up(), traceback_.give_up());
}

}  // namespace vuvirida::frame
