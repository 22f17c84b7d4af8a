// Capturing a printed exception by swapping sys.stderr for a text buffer.
#include "frame/captured_print.hpp"

#include "frame/fetched.hpp"
#include "frame/locks.hpp"
#include "frame/python.hpp"
#include "frame/refs.hpp"
#include "frame/stderr_writer.hpp"
#include "frame/thread_exit.hpp"

namespace vuvirida::frame {

namespace {

// `text` encoded as `stream` encodes what is written to it, with backslash
// escapes for what its codec cannot encode (as sys.stderr does); in UTF-8
// where the stream names no codec that the interpreter knows.
void append_encoded(std::string& out, PyObject* text, PyObject* stream) {
    OwnedRef encoding = OwnedRef::taking(PyObject_GetAttrString(stream, "encoding"));
    const char* codec =
        encoding && PyUnicode_Check(encoding.get()) ? PyUnicode_AsUTF8(encoding.get()) : nullptr;
    PyErr_Clear();
    OwnedRef bytes = OwnedRef::taking(
        codec ? PyUnicode_AsEncodedString(text, codec, "backslashreplace") : nullptr);
    if (!bytes || !PyBytes_Check(bytes.get())) {
        PyErr_Clear();
        bytes = OwnedRef::taking(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
    }
    if (!bytes) {
        PyErr_Clear();
        return;
    }
    out.append(PyBytes_AS_STRING(bytes.get()),
               static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// One thread at a time puts its buffer in place of sys.stderr. Printing runs
// Python code (sys.excepthook, and from 3.13 the traceback module), and other
// threads run meanwhile: one that swapped in a buffer of its own then would
// take this thread's buffer for the real stream and put that back when done,
// leaving sys.stderr a buffer that nobody reads. The thread that has the turn
// may print again while printing (an abort inside sys.excepthook, say): its
// swaps are undone in reverse order.
struct CaptureTag {};
using CaptureTurn = Turn<CaptureTag>;

}  // namespace

// sys.stderr is swapped in the sys module's dictionary, under the key it is
// already stored with: putting the saved stream back allocates nothing, so it
// cannot fail.
std::string print_captured(std::string_view header, int set_sys_last_vars) {
    FetchedException pending = FetchedException::taking_pending();
    if (!pending) return std::string(header);
    const CaptureTurn turn;
    OwnedRef key = OwnedRef::taking(PyUnicode_InternFromString("stderr"));
    OwnedRef sys_name = OwnedRef::taking(key ? PyUnicode_InternFromString("sys") : nullptr);
    OwnedRef sys = OwnedRef::taking(sys_name ? PyImport_GetModule(sys_name.get()) : nullptr);
    PyObject* dict = sys && PyModule_Check(sys.get()) ? PyModule_GetDict(sys.get()) : nullptr;
    OwnedRef saved = dict ? OwnedRef::item_of(dict, key.get()) : OwnedRef();
    const bool swappable =
        saved && saved.get() != Py_None && saved.get() == PySys_GetObject("stderr");
    OwnedRef io = OwnedRef::taking(swappable ? PyImport_ImportModule("io") : nullptr);
    OwnedRef buffer =
        OwnedRef::taking(io ? PyObject_CallMethod(io.get(), "StringIO", nullptr) : nullptr);
    if (!buffer || PyDict_SetItem(dict, key.get(), buffer.get()) != 0) {
        PyErr_Clear();
        if (!header.empty()) emit(header);
        std::move(pending).restore();
        PyErr_PrintEx(set_sys_last_vars);
        return {};
    }
    std::move(pending).restore();
    PyErr_PrintEx(set_sys_last_vars);
    if (PyDict_SetItem(dict, key.get(), saved.get()) != 0) PyErr_Clear();
    std::string block(header);
    OwnedRef text = OwnedRef::taking(PyObject_CallMethod(buffer.get(), "getvalue", nullptr));
    if (text && PyUnicode_Check(text.get())) {
        append_encoded(block, text.get(), saved.get());
    }
    PyErr_Clear();
    return block;
}

}  // namespace vuvirida::frame
