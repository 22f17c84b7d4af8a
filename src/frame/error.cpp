#include "frame/error.hpp"

#include <string>

#include "frame/abort.hpp"
#include "frame/text.hpp"

namespace vuvirida::frame {

Error Error::fetch() {
    FetchedException fetched = FetchedException::taking_pending();
    if (!fetched)
        return with_message(PyExc_SystemError, "attempted to fetch exception but none was set");
    if (is_panic_type(fetched.type())) resume_panic(std::move(fetched));
    return Error(std::move(fetched));
}

Error Error::with_message(PyObject* type, std::string_view message) {
    OwnedRef text = OwnedRef::taking(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return fetch();
    return Error(FetchedException::raising(type, text.get()));
}

Error Error::prefixed(std::string_view prefix) && {
    FetchedException replaced = std::move(exception_);
    replaced.normalize();
    if (replaced.type() != PyExc_TypeError) {
        // Making the TypeError's instance failed, and the interpreter put that
        // failure (a MemoryError, say) in its place: it passes as is.
        return Error(std::move(replaced));
    }
    std::string text(prefix);
    OwnedRef rendered =
        OwnedRef::taking(replaced.value() ? PyObject_Str(replaced.value()) : nullptr);
    const std::optional<std::string_view> utf8 = rendered ? utf8_of(rendered.get()) : std::nullopt;
    if (!utf8) PyErr_Clear();
    text += utf8 ? *utf8 : std::string_view("<exception str() failed>");
    OwnedRef cause;
    if (replaced.value() && PyExceptionInstance_Check(replaced.value())) {
        cause = OwnedRef::taking(PyException_GetCause(replaced.value()));
    }
    OwnedRef message = OwnedRef::taking(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    OwnedRef rewritten =
        OwnedRef::taking(message ? PyObject_CallOneArg(PyExc_TypeError, message.get()) : nullptr);
    if (!rewritten) return fetch();
    // Setting the cause, even to nothing, also suppresses the context.
    PyException_SetCause(rewritten.get(), cause.give_up());
    return Error(
        FetchedException::taking(Py_NewRef(PyExc_TypeError), rewritten.give_up(), nullptr));
}

}  // namespace vuvirida::frame
