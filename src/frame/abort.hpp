// Aborts: unrecoverable conditions met inside a call. An abort writes its
// report to standard error where it starts, unwinds the call as a C++
// exception (releasing whatever the call holds on the way), and is turned into
// the abort exception `PanicException` at the call entry. Nothing unwinds into
// the interpreter.
//
// Reports go to file descriptor 2 as whole blocks, one write sequence per
// block under a process-wide lock, so that reports from different threads
// never interleave. A thread that holds the interpreter lock gives it up for
// the write, so a standard error that nobody drains blocks that thread only.
#pragma once

#include <source_location>
#include <string>

#include "frame/python.hpp"

namespace vuvirida::frame {

// What unwinds the call. It carries only the abort message: the report was
// written when the abort started.
class Abort {
  public:
    explicit Abort(std::string message) noexcept : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

  private:
    std::string message_;
};

// Starts an abort at `where`: writes the report, then unwinds.
[[noreturn, gnu::cold, gnu::noinline]] void panic(
    std::string message, std::source_location where = std::source_location::current());

// For an interpreter call that returned nothing: prints the pending exception
// with PyErr_Print and aborts with "Python API call failed".
[[noreturn, gnu::cold, gnu::noinline]] void panic_api_call_failed(
    std::source_location where = std::source_location::current());

// Continues an abort exception that Python code raised into the call: prints
// it with its traceback and unwinds with its message, without a new report.
// The two lines that introduce it and the traceback are written as one block.
[[noreturn, gnu::cold, gnu::noinline]] void resume_panic(PyObject* type, PyObject* value,
                                                         PyObject* traceback);

// Whether the exception fetched as `type`, `value` and `traceback` (owned by
// the caller, none pending) is the abort exception. The abort exception type
// is created here if the process does not have it yet. Where it cannot be,
// the interpreter's failure is printed with the fetched exception as its
// context, and the call aborts with "Failed to initialize new exception type.".
[[gnu::cold]] bool is_panic_type(PyObject* type, PyObject* value, PyObject* traceback,
                                 std::source_location where = std::source_location::current());

// Sets a new abort exception carrying `abort`'s message as the interpreter's
// current exception, replacing any pending one. Never unwinds: if the abort
// exception itself cannot be made, the exception the interpreter set for that
// failure stays pending, or a SystemError saying so when it set none.
[[gnu::cold]] void raise_abort(const Abort& abort) noexcept;

}  // namespace vuvirida::frame
