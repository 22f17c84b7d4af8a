// Threads that the C library ends while they are inside a call.
//
// During finalisation the interpreter ends any thread but the finalising one
// that takes its lock back (a daemon thread, say), and glibc ends a thread by
// unwinding its stack. That unwind must not be stopped, and it stops the
// process at the first frame that may not throw. So wherever the module calls
// the interpreter from such a frame (a destructor, a poll inside a kernel, a
// step that may not fail) in a way that may take the lock back or run Python
// code that does, the thread is parked instead: it waits, without the lock,
// until the process exits, as the interpreter itself does from 3.14. Frames
// that may throw let the unwind pass to the call entry, which parks it there.
#pragma once

namespace vuvirida::frame {

// Waits for the process to exit; never returns.
[[noreturn, gnu::cold]] void park_for_exit() noexcept;

// Runs `step`, parking the thread if the thread-ending unwind leaves it: no
// other C++ exception comes out of the interpreter.
template <class Step>
void parking_on_thread_exit(Step&& step) noexcept {
    try {
        step();
    } catch (...) {
        park_for_exit();
    }
}

}  // namespace vuvirida::frame
