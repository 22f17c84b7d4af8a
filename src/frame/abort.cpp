#include "frame/abort.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#else
#include <poll.h>
#include <pthread.h>
#include <unistd.h>
#endif

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

// A process-wide mutex, one per Tag, that a forked child gets made anew: its
// holder may be a thread without the interpreter lock while another thread
// forks, and that holder does not exist in the child.
template <class Tag>
std::mutex& fork_safe_mutex() noexcept {
    alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
    static std::mutex* const lock = [] {
        auto* made = new (storage) std::mutex();
#if !defined(_WIN32)
        ::pthread_atfork(nullptr, nullptr, [] {
            new (storage) std::mutex();
            Tag::after_fork_in_child();
        });
#endif
        return made;
    }();
    return *lock;
}

// Serialises the writes of reports, so that no two of them interleave. It is
// only ever held around a write to file descriptor 2: nobody waits for the
// interpreter lock while holding it, so the two locks cannot deadlock.
struct ReportTag {
    static void after_fork_in_child() noexcept {}
};
std::mutex& report_lock() noexcept {
    return fork_safe_mutex<ReportTag>();
}

std::atomic<bool> note_pending{true};

constexpr std::string_view kNote =
    "note: run with `VUVIRIDA_BACKTRACE=1` environment variable to display a backtrace\n";
constexpr std::string_view kResuming =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";

// Writes all of `bytes` to file descriptor 2, going on after short writes,
// interruptions and a non-blocking descriptor that is full. Any other failure
// ends the write: there is nowhere left to report it.
void write_all(std::string_view bytes) noexcept {
#if defined(_WIN32)
    while (!bytes.empty()) {
        const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(bytes.size(), 1u << 30));
        const int written = ::_write(2, bytes.data(), chunk);
        if (written <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
#else
    while (!bytes.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd wanted{STDERR_FILENO, POLLOUT, 0};
            if (::poll(&wanted, 1, -1) < 0 && errno != EINTR) return;
        } else {
            return;
        }
    }
#endif
}

// One report block, written whole under the report lock. The once-per-process
// note is decided under the lock too, so that it follows the first report
// that reaches standard error, whichever thread formatted first.
void write_locked(std::string_view block, bool note_wanted) noexcept {
    std::lock_guard<std::mutex> guard(report_lock());
    write_all(block);
    if (note_wanted && note_pending.exchange(false)) write_all(kNote);
}

// During finalisation the interpreter ends any thread but the finalising one
// that takes its lock back (a daemon thread, say). Where the C library ends a
// thread by unwinding its stack (glibc), that unwind would stop the process at
// the first frame that may not throw. `step`, which may wait for the
// interpreter lock, is run so that such a thread is parked instead, without
// the lock, until the process exits, as the interpreter itself does from 3.14.
template <class Step>
void parking_on_thread_exit(Step step) noexcept {
    try {
        step();
    } catch (...) {
        park_for_exit();
    }
}

// Python's sys.stderr buffers what Python code wrote; it goes out first, so
// that the report follows it, as the interpreter's own fatal errors do. The
// pending exception, if any, is kept; a failed flush is not reported.
void flush_python_stderr() noexcept {
    // A flush that aborts again (a replaced sys.stderr calling this module,
    // say) is not flushed once more for its own report.
    thread_local bool flushing = false;
    if (flushing) return;
    flushing = true;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    OwnedRef file = OwnedRef::adding(PySys_GetObject("stderr"));
    if (file && file.get() != Py_None) {
        parking_on_thread_exit([&] {
            OwnedRef flushed = OwnedRef::taking(PyObject_CallMethod(file.get(), "flush", nullptr));
            if (!flushed) PyErr_Clear();
        });
    }
    PyErr_Restore(type, value, traceback);
    flushing = false;
}

// Writes a finished block to standard error. Aborts happen on a thread that
// holds the interpreter lock (in a call or during import); that thread lets
// the others run while it waits for the report lock and for the write, so a
// standard error that nobody drains blocks this thread only. Once the
// interpreter finalises, the lock is kept throughout. A thread without the
// lock, or a process without an interpreter, just writes. (Where sub-
// interpreters switch the lock check off it always answers yes; aborts only
// ever start on a thread that holds the lock, so that answer is right.)
void emit(std::string_view block, bool note_wanted) noexcept {
    const bool holding = Py_IsInitialized() != 0 && PyGILState_Check() != 0;
    if (!holding) {
        write_locked(block, note_wanted);
        return;
    }
    flush_python_stderr();
    if (interpreter_finalizing()) {
        write_locked(block, note_wanted);
        return;
    }
    PyThreadState* state = PyEval_SaveThread();
    write_locked(block, note_wanted);
    parking_on_thread_exit([&] { PyEval_RestoreThread(state); });
}

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
// leaving sys.stderr a buffer that nobody reads. A thread that finds the turn
// taken waits for it without the interpreter lock. The thread that has the
// turn may print again while printing (an abort inside sys.excepthook, say):
// its swaps are undone in reverse order.
std::atomic<std::thread::id> capturing{};
struct CaptureTag {
    static void after_fork_in_child() noexcept { capturing.store(std::thread::id()); }
};
std::mutex& capture_lock() noexcept {
    return fork_safe_mutex<CaptureTag>();
}

class CaptureTurn {
  public:
    CaptureTurn() noexcept {
        if (capturing.load() == std::this_thread::get_id()) return;
        std::mutex& lock = capture_lock();
        if (!lock.try_lock()) {
            PyThreadState* state = PyEval_SaveThread();
            lock.lock();
            parking_on_thread_exit([&] { PyEval_RestoreThread(state); });
        }
        capturing.store(std::this_thread::get_id());
        held_ = true;
    }
    CaptureTurn(const CaptureTurn&) = delete;
    CaptureTurn& operator=(const CaptureTurn&) = delete;
    ~CaptureTurn() {
        if (!held_) return;
        capturing.store(std::thread::id());
        capture_lock().unlock();
    }

  private:
    bool held_ = false;
};

// Prints the pending exception as PyErr_PrintEx does (through sys.excepthook,
// with the same handling of sys.last_*), but with sys.stderr replaced by an
// in-memory text buffer, and returns `header` followed by what was printed.
// sys.stderr is swapped in the sys module's dictionary, under the key it is
// already stored with: putting the saved stream back allocates nothing, so it
// cannot fail. With nothing pending, just `header`. Where no buffer can be put
// in place, writes `header` and prints straight to sys.stderr, and returns
// nothing.
std::string print_captured(std::string_view header, int set_sys_last_vars) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return std::string(header);
    const CaptureTurn turn;
    OwnedRef key = OwnedRef::taking(PyUnicode_InternFromString("stderr"));
    OwnedRef sys_name = OwnedRef::taking(key ? PyUnicode_InternFromString("sys") : nullptr);
    OwnedRef sys = OwnedRef::taking(sys_name ? PyImport_GetModule(sys_name.get()) : nullptr);
    PyObject* dict = sys && PyModule_Check(sys.get()) ? PyModule_GetDict(sys.get()) : nullptr;
    OwnedRef saved = OwnedRef::adding(dict ? PyDict_GetItemWithError(dict, key.get()) : nullptr);
    const bool swappable =
        saved && saved.get() != Py_None && saved.get() == PySys_GetObject("stderr");
    OwnedRef io = OwnedRef::taking(swappable ? PyImport_ImportModule("io") : nullptr);
    OwnedRef buffer =
        OwnedRef::taking(io ? PyObject_CallMethod(io.get(), "StringIO", nullptr) : nullptr);
    if (!buffer || PyDict_SetItem(dict, key.get(), buffer.get()) != 0) {
        PyErr_Clear();
        if (!header.empty()) emit(header, false);
        PyErr_Restore(type, value, traceback);
        PyErr_PrintEx(set_sys_last_vars);
        return {};
    }
    PyErr_Restore(type, value, traceback);
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

#ifdef VUVIRIDA_HAVE_BACKTRACE
// One frame as "module(symbol+offset) [address]", with the symbol demangled.
void append_frame(std::string& out, int index, const char* line) {
    char number[16];
    std::snprintf(number, sizeof number, "  %2d: ", index);
    out += number;
    std::string_view text(line);
    const auto open = text.find('(');
    const auto plus = text.find('+', open == std::string_view::npos ? 0 : open);
    if (open != std::string_view::npos && plus != std::string_view::npos && plus > open + 1) {
        std::string mangled(text.substr(open + 1, plus - open - 1));
        int status = 0;
        char* demangled = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
        if (status == 0 && demangled != nullptr) {
            out += demangled;
            out += "\n             at ";
        }
        std::free(demangled);
    }
    out += text;
    out += '\n';
}

void append_backtrace(std::string& out, BacktraceStyle style) {
    void* frames[128];
    const int count = ::backtrace(frames, 128);
    // The first frames are this report's own machinery.
    constexpr int skipped = 3;
    const int shown = style == BacktraceStyle::full ? count : std::min(count, skipped + 12);
    char** lines = ::backtrace_symbols(frames, count);
    out += "stack backtrace:\n";
    for (int i = skipped; i < shown; ++i) {
        if (lines != nullptr) {
            append_frame(out, i - skipped, lines[i]);
        } else {
            char frame[48];
            std::snprintf(frame, sizeof frame, "  %2d: %p\n", i - skipped, frames[i]);
            out += frame;
        }
    }
    if (style == BacktraceStyle::short_form && shown < count) {
        out +=
            "note: Some details are omitted, run with `VUVIRIDA_BACKTRACE=full` for a "
            "verbose backtrace.\n";
    }
    std::free(lines);
}
#else
void append_backtrace(std::string& out, BacktraceStyle) {
    out += "stack backtrace: not available on this platform\n";
}
#endif

// The abort report, after `preface` (what was printed for the failure that
// led to it): where the abort started, its message, then a backtrace when one
// is requested, or else the once-per-process note. The whole block is written
// at once, so that no other report lands inside it.
[[noreturn, gnu::noinline]] void report_and_unwind(std::string preface, std::string message,
                                                   const std::source_location& where) {
    const std::string_view file = project_relative(where.file_name());
    char numbers[48];
    std::snprintf(numbers, sizeof numbers, ":%u:%u:\n", static_cast<unsigned>(where.line()),
                  static_cast<unsigned>(where.column()));
    const BacktraceStyle style = backtrace_style();
    std::string block;
    try {
        block.reserve(preface.size() + file.size() + message.size() + 64);
        block += preface;
        block += "thread '<unnamed>' panicked at ";
        block += file;
        block += numbers;
        block += message;
        block += '\n';
        if (style != BacktraceStyle::none) append_backtrace(block, style);
    } catch (const std::bad_alloc&) {
        // No memory for the block: its pieces go out one by one, still under
        // the report lock, and without a backtrace.
        std::lock_guard<std::mutex> guard(report_lock());
        for (std::string_view piece :
             {std::string_view(preface), std::string_view("thread '<unnamed>' panicked at "), file,
              std::string_view(numbers), std::string_view(message)}) {
            write_all(piece);
        }
        write_all("\n");
        if (style == BacktraceStyle::none && note_pending.exchange(false)) write_all(kNote);
        throw Abort(std::move(message));
    }
    emit(block, style == BacktraceStyle::none);
    throw Abort(std::move(message));
}

PyObject* panic_type_object = nullptr;

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when vuvirida's native code aborts while called from Python.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// The abort exception type, created on first need and kept for the process;
// null, with the interpreter's failure pending, when it cannot be created.
PyObject* created_panic_type() noexcept {
    if (panic_type_object == nullptr) {
        panic_type_object = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                      PyExc_BaseException, nullptr);
    }
    return panic_type_object;
}

}  // namespace

void park_for_exit() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

void panic(std::string message, std::source_location where) {
    report_and_unwind({}, std::move(message), where);
}

void panic_api_call_failed(std::source_location where) {
    report_and_unwind(print_captured({}, 1), "Python API call failed", where);
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
    PyErr_Restore(type, value, traceback);
    const std::string block = print_captured(kResuming, 0);
    if (!block.empty()) emit(block, false);
    throw Abort(std::move(message));
}

bool is_panic_type(PyObject* type, PyObject* value, PyObject* traceback,
                   std::source_location where) {
    if (PyObject* panic = created_panic_type()) return type == panic;
    // The creation failure is what gets printed, with the fetched exception
    // (which, not being the abort exception, the caller would have received)
    // as its context, so that neither is lost without a word.
    PyObject* failure_type = nullptr;
    PyObject* failure = nullptr;
    PyObject* failure_traceback = nullptr;
    PyErr_Fetch(&failure_type, &failure, &failure_traceback);
    PyErr_NormalizeException(&failure_type, &failure, &failure_traceback);
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    if (failure != nullptr && value != nullptr && PyExceptionInstance_Check(failure) &&
        PyExceptionInstance_Check(value)) {
        PyException_SetContext(failure, value);
    } else {
        Py_XDECREF(value);
    }
    PyErr_Restore(failure_type, failure, failure_traceback);
    report_and_unwind(print_captured({}, 0), "Failed to initialize new exception type.", where);
}

void raise_abort(const Abort& abort) noexcept {
    // The abort exception replaces whatever was pending.
    PyErr_Clear();
    try {
        PyObject* type = created_panic_type();
        if (type == nullptr) panic("Failed to initialize new exception type.");
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
