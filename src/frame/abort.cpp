#include "frame/abort.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#if defined(__has_include)
#if __has_include(<execinfo.h>) && __has_include(<cxxabi.h>)
#include <cxxabi.h>
#include <execinfo.h>
#define VUVIRIDA_HAVE_BACKTRACE 1
#endif
#endif

#include "frame/refs.hpp"

#ifndef VUVIRIDA_SOURCE_ROOT
#define VUVIRIDA_SOURCE_ROOT ""
#endif

namespace vuvirida::frame {

namespace {

enum class BacktraceStyle { none, short_form, full };

// VUVIRIDA_BACKTRACE, read once per process: unset or "0" asks for no
// backtrace, "full" for every frame, anything else for a short one.
BacktraceStyle backtrace_style() noexcept {
    static const BacktraceStyle style = [] {
        const char* value = std::getenv("VUVIRIDA_BACKTRACE");
        if (value == nullptr || std::strcmp(value, "0") == 0) return BacktraceStyle::none;
        if (std::strcmp(value, "full") == 0) return BacktraceStyle::full;
        return BacktraceStyle::short_form;
    }();
    return style;
}

// Source files are named relative to the project root, whatever directory the
// module was built in.
std::string_view project_relative(const char* file) noexcept {
    std::string_view path(file);
    constexpr std::string_view root(VUVIRIDA_SOURCE_ROOT);
    if (!root.empty() && path.substr(0, root.size()) == root) path.remove_prefix(root.size());
    return path;
}

std::mutex& report_lock() noexcept {
    static std::mutex lock;
    return lock;
}

std::atomic<bool> note_pending{true};

#ifdef VUVIRIDA_HAVE_BACKTRACE
// One frame as "module(symbol+offset) [address]", with the symbol demangled.
void write_frame(int index, const char* line) {
    std::string_view text(line);
    const auto open = text.find('(');
    const auto plus = text.find('+', open == std::string_view::npos ? 0 : open);
    if (open != std::string_view::npos && plus != std::string_view::npos && plus > open + 1) {
        std::string mangled(text.substr(open + 1, plus - open - 1));
        int status = 0;
        char* demangled = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
        if (status == 0 && demangled != nullptr) {
            std::fprintf(stderr, "  %2d: %s\n             at %.*s\n", index, demangled,
                         static_cast<int>(text.size()), text.data());
            std::free(demangled);
            return;
        }
        std::free(demangled);
    }
    std::fprintf(stderr, "  %2d: %s\n", index, line);
}

void write_backtrace(BacktraceStyle style) {
    void* frames[128];
    const int count = ::backtrace(frames, 128);
    // The first frames are this report's own machinery.
    constexpr int skipped = 3;
    const int shown = style == BacktraceStyle::full ? count : std::min(count, skipped + 12);
    char** lines = ::backtrace_symbols(frames, count);
    std::fputs("stack backtrace:\n", stderr);
    for (int i = skipped; i < shown; ++i) {
        if (lines != nullptr) {
            write_frame(i - skipped, lines[i]);
        } else {
            std::fprintf(stderr, "  %2d: %p\n", i - skipped, frames[i]);
        }
    }
    if (style == BacktraceStyle::short_form && shown < count) {
        std::fputs(
            "note: Some details are omitted, run with `VUVIRIDA_BACKTRACE=full` for a "
            "verbose backtrace.\n",
            stderr);
    }
    std::free(lines);
}
#else
void write_backtrace(BacktraceStyle) {
    std::fputs("stack backtrace: not available on this platform\n", stderr);
}
#endif

// The abort report: where the abort started, its message, then the
// once-per-process note or a backtrace.
void write_report(const std::string& message, const std::source_location& where) {
    std::lock_guard<std::mutex> guard(report_lock());
    const std::string_view file = project_relative(where.file_name());
    std::fprintf(stderr, "thread '<unnamed>' panicked at %.*s:%u:%u:\n%s\n",
                 static_cast<int>(file.size()), file.data(), static_cast<unsigned>(where.line()),
                 static_cast<unsigned>(where.column()), message.c_str());
    const BacktraceStyle style = backtrace_style();
    if (style == BacktraceStyle::none) {
        if (note_pending.exchange(false)) {
            std::fputs(
                "note: run with `VUVIRIDA_BACKTRACE=1` environment variable to display a "
                "backtrace\n",
                stderr);
        }
    } else {
        write_backtrace(style);
    }
    std::fflush(stderr);
}

PyObject* panic_type_object = nullptr;

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when vuvirida's native code aborts while called from Python.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// The abort exception type, created on first need and kept for the process.
PyObject* panic_type() {
    if (panic_type_object == nullptr) {
        PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                   PyExc_BaseException, nullptr);
        if (type == nullptr) panic("Failed to initialize new exception type.");
        panic_type_object = type;
    }
    return panic_type_object;
}

}  // namespace

void panic(std::string message, std::source_location where) {
    write_report(message, where);
    throw Abort(std::move(message));
}

void panic_api_call_failed(std::source_location where) {
    PyErr_Print();
    panic("Python API call failed", where);
}

void resume_panic(PyObject* type, PyObject* value, PyObject* traceback) {
    std::string message = "Unwrapped panic from Python code";
    if (value != nullptr && PyUnicode_Check(value)) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(value, &size)) {
            message.assign(text, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
        }
    }
    {
        std::lock_guard<std::mutex> guard(report_lock());
        std::fputs(
            "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
            "Python stack trace below:\n",
            stderr);
        std::fflush(stderr);
    }
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(0);
    throw Abort(std::move(message));
}

PyObject* panic_type_if_created() noexcept {
    return panic_type_object;
}

void raise_abort(const Abort& abort) noexcept {
    // The abort exception replaces whatever was pending.
    PyErr_Clear();
    try {
        PyObject* type = panic_type();
        const std::string& text = abort.message();
        OwnedRef message = OwnedRef::taking(
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (!message) panic("could not make the abort message a str");
        OwnedRef args = OwnedRef::taking(PyTuple_Pack(1, message.get()));
        if (!args) panic("could not make the abort exception's arguments");
        Py_INCREF(type);
        PyErr_Restore(type, args.give_up(), nullptr);
    } catch (...) {
        // The abort exception cannot be made. Whatever the interpreter set for
        // that failure is the caller's exception; the first abort's report was
        // already written.
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError,
                         "vuvirida could not raise its abort exception for the abort: %s",
                         abort.message().c_str());
        }
    }
}

}  // namespace vuvirida::frame
