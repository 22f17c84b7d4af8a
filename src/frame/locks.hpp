// The module's own locks, for threads that may hold the interpreter's: a
// process-wide mutex that survives a fork, and turns taken by one thread at
// a time for work that runs Python code.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

#include "frame/python.hpp"
#include "frame/thread_exit.hpp"

namespace vuvirida::frame {

// A process-wide mutex, one per Tag, that a forked child gets made anew: its
// holder may be a thread without the interpreter lock while another thread
// forks, and that holder does not exist in the child. The child also calls
// Tag::after_fork_in_child().
template <class Tag, class Mutex = std::mutex>
Mutex& fork_safe_mutex() noexcept {
    alignas(Mutex) static unsigned char storage[sizeof(Mutex)];
    static Mutex* const lock = [] {
        auto* made = new (storage) Mutex();
        ::pthread_atfork(nullptr, nullptr, [] {
            new (storage) Mutex();
            Tag::after_fork_in_child();
        });
        return made;
    }();
    return *lock;
}

// Takes `lock`. A thread that holds the interpreter lock and finds `lock`
// taken lets the interpreter lock go while it waits: the holder may need it.
template <class Mutex>
void lock_letting_others_run(Mutex& lock) noexcept {
    if (lock.try_lock()) return;
    PyThreadState* state = PyEval_SaveThread();
    lock.lock();
    parking_on_thread_exit([&] { PyEval_RestoreThread(state); });
}

// A turn, per Tag, that one thread at a time has, for work that runs Python
// code and so lets other threads run in the middle of it. The thread that has
// the turn may take it again meanwhile (only the outermost turn locks); a
// thread that waits for it lets the interpreter lock go. A forked child
// starts with nobody's turn. Made by a thread that holds the interpreter lock.
template <class Tag>
class Turn {
  public:
    Turn() noexcept {
        if (holder_.load() == std::this_thread::get_id()) return;
        lock_letting_others_run(lock());
        holder_.store(std::this_thread::get_id());
        held_ = true;
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    ~Turn() {
        if (!held_) return;
        holder_.store(std::thread::id());
        lock().unlock();
    }

    // Waits, at most `limit`, for another thread that has the turn to give it
    // up, letting the interpreter lock (which the caller holds) go meanwhile.
    static void wait_for_another(std::chrono::milliseconds limit) noexcept {
        const std::thread::id holder = holder_.load();
        if (holder == std::thread::id() || holder == std::this_thread::get_id()) return;
        PyThreadState* state = PyEval_SaveThread();
        if (lock().try_lock_for(limit)) lock().unlock();
        parking_on_thread_exit([&] { PyEval_RestoreThread(state); });
    }

  private:
    struct Reset {
        static void after_fork_in_child() noexcept { holder_.store(std::thread::id()); }
    };
    static std::timed_mutex& lock() noexcept { return fork_safe_mutex<Reset, std::timed_mutex>(); }

    static inline std::atomic<std::thread::id> holder_{};
    bool held_ = false;
};

}  // namespace vuvirida::frame
