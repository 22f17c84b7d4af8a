// Whole blocks to file descriptor 2, under a fork-safe lock, without holding
// up other Python threads.
#include "frame/stderr_writer.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "frame/fetched.hpp"
#include "frame/locks.hpp"
#include "frame/python.hpp"
#include "frame/refs.hpp"
#include "frame/thread_exit.hpp"

namespace vuvirida::frame {

namespace {

// Serialises the writes of blocks. It is only ever held around a write to
// file descriptor 2: nobody waits for the interpreter lock while holding it,
// so the two locks cannot deadlock.
struct WriteTag {
    static void after_fork_in_child() noexcept {}
};
std::mutex& write_lock() noexcept {
    return fork_safe_mutex<WriteTag>();
}

// Writes all of `bytes` to file descriptor 2, going on after short writes,
// interruptions and a non-blocking descriptor that is full. Any other failure
// ends the write: there is nowhere left to report it.
void write_all(std::string_view bytes) noexcept {
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
}

void write_once(const OnceLine* once) noexcept {
    if (once != nullptr && once->pending.exchange(false)) write_all(once->text);
}

void write_locked(std::string_view block, const OnceLine* once) noexcept {
    std::lock_guard<std::mutex> guard(write_lock());
    write_all(block);
    write_once(once);
}

// sys.stderr as a new reference taken from the sys module's namespace, where
// another thread may replace it at any moment; nothing when it cannot be had.
OwnedRef sys_stderr() noexcept {
    OwnedRef sys_name = OwnedRef::taking(PyUnicode_InternFromString("sys"));
    OwnedRef key = OwnedRef::taking(sys_name ? PyUnicode_InternFromString("stderr") : nullptr);
    OwnedRef sys = OwnedRef::taking(key ? PyImport_GetModule(sys_name.get()) : nullptr);
    OwnedRef file = sys && PyModule_Check(sys.get())
                        ? OwnedRef::item_of(PyModule_GetDict(sys.get()), key.get())
                        : OwnedRef();
    PyErr_Clear();
    return file;
}

// Python's sys.stderr buffers what Python code wrote; it goes out first, so
// that the block follows it, as the interpreter's own fatal errors do. The
// pending exception, if any, is kept; a failed flush is not reported.
void flush_python_stderr() noexcept {
    // A flush that writes a block again (a replaced sys.stderr calling this
    // module, say) is not flushed once more for it.
    thread_local bool flushing = false;
    if (flushing) return;
    flushing = true;
    FetchedException pending = FetchedException::taking_pending();
    OwnedRef file = sys_stderr();
    if (file && file.get() != Py_None) {
        parking_on_thread_exit([&] {
            OwnedRef flushed = OwnedRef::taking(PyObject_CallMethod(file.get(), "flush", nullptr));
            if (!flushed) PyErr_Clear();
        });
    }
    std::move(pending).restore();
    flushing = false;
}

}  // namespace

// Blocks come from a thread that holds the interpreter lock (in a call or
// during import); that thread lets the others run while it waits for the
// write lock and for the write. Once the interpreter finalises, the lock is
// kept throughout. A thread without the lock, or a process without an
// interpreter, just writes.
void emit(std::string_view block, const OnceLine* once) noexcept {
    const bool holding = Py_IsInitialized() != 0 && PyGILState_Check() != 0;
    if (!holding) {
        write_locked(block, once);
        return;
    }
    flush_python_stderr();
    if (interpreter_finalizing()) {
        write_locked(block, once);
        return;
    }
    PyThreadState* state = PyEval_SaveThread();
    write_locked(block, once);
    parking_on_thread_exit([&] { PyEval_RestoreThread(state); });
}

void emit_pieces(std::initializer_list<std::string_view> pieces, const OnceLine* once) noexcept {
    std::lock_guard<std::mutex> guard(write_lock());
    for (std::string_view piece : pieces) write_all(piece);
    write_once(once);
}

}  // namespace vuvirida::frame
