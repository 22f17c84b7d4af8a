// The abort exception type and raising an abort as it.
#include "frame/panic_exception.hpp"

#include <string>

#include "frame/abort.hpp"
#include "frame/published.hpp"
#include "frame/refs.hpp"
#include "frame/thread_exit.hpp"

namespace vuvirida::frame {

namespace {

// Made once: two threads whose first aborts come at once both raise the
// type that was published first.
Published<PyObject> panic_type_object;

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when vuvirida's native code aborts while called from Python.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// The abort exception type, made on first need and kept for the process;
// null, with the interpreter's failure pending, when it cannot be made.
PyObject* made_panic_type() {
    if (PyObject* type = panic_type_object.get()) return type;
    return offer_new(panic_type_object,
                     PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr));
}

// Why the abort exception cannot be raised, with the interpreter's failure
// pending; null when it is raised.
const char* raised_panic(const std::string& text) {
    PyObject* type = made_panic_type();
    if (type == nullptr) return "Failed to initialize new exception type.";
    OwnedRef message = OwnedRef::taking(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) return "could not make the abort message a str";
    OwnedRef args = OwnedRef::taking(PyTuple_Pack(1, message.get()));
    if (!args) return "could not make the abort exception's arguments";
    PyErr_Restore(Py_NewRef(type), args.give_up(), nullptr);
    return nullptr;
}

}  // namespace

bool is_panic_type(PyObject* type) noexcept {
    if (PyObject* made = panic_type_object.get()) [[likely]]
        return type == made;
    // A type that did not exist when the exception was raised is not its type.
    parking_on_thread_exit([] {
        if (made_panic_type() == nullptr) PyErr_Clear();
    });
    return false;
}

void raise_abort(const Abort& abort) noexcept {
    parking_on_thread_exit([&] {
        // The abort exception replaces whatever was pending.
        PyErr_Clear();
        const char* failure = raised_panic(abort.message());
        if (failure == nullptr) [[likely]]
            return;
        report_abort(failure);
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError,
                         "vuvirida could not raise its abort exception for the abort: %s",
                         abort.message().c_str());
        }
    });
}

}  // namespace vuvirida::frame
