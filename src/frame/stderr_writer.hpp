// Writing whole blocks of text to file descriptor 2.
//
// Each block goes out in one write sequence under a process-wide lock, so that
// blocks from different threads never interleave. A thread that holds the
// interpreter lock gives it up for the write, so a standard error that nobody
// drains holds up that thread only; what Python code had buffered on
// sys.stderr goes out first.
#pragma once

#include <atomic>
#include <initializer_list>
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

}  // namespace vuvirida::frame
