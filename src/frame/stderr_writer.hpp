// Writing whole blocks of text to file descriptor 2.
//
// Each block goes out in one write sequence under a process-wide lock, so that
// blocks from different threads never interleave. A thread that holds the
// interpreter lock gives it up for the write, so a standard error that nobody
// drains holds up that thread only; what Python code had buffered on
// sys.stderr goes out first.
#pragma once

#include <pthread.h>

#include <atomic>
#include <initializer_list>
#include <mutex>
#include <new>
#include <string_view>

namespace vuvirida::frame {

// A line written once per process, after the first block that asks for it
// reaches standard error, whichever thread made its block first.
struct OnceLine {
    std::atomic<bool>& pending;
    std::string_view text;
};

// Writes `block`, then `once` if it is still pending. On a thread that holds
// the interpreter lock, Python's sys.stderr is flushed first and the lock is
// let go for the write (kept while the interpreter finalises).
void emit(std::string_view block, const OnceLine* once = nullptr) noexcept;

// Writes `pieces` one after another under the lock, without touching the
// interpreter: for when no block can be made.
void emit_pieces(std::initializer_list<std::string_view> pieces, const OnceLine* once) noexcept;

// A process-wide mutex, one per Tag, that a forked child gets made anew: its
// holder may be a thread without the interpreter lock while another thread
// forks, and that holder does not exist in the child. The child also calls
// Tag::after_fork_in_child().
template <class Tag>
std::mutex& fork_safe_mutex() noexcept {
    alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
    static std::mutex* const lock = [] {
        auto* made = new (storage) std::mutex();
        ::pthread_atfork(nullptr, nullptr, [] {
            new (storage) std::mutex();
            Tag::after_fork_in_child();
        });
        return made;
    }();
    return *lock;
}

}  // namespace vuvirida::frame
