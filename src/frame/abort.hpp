// Aborts: unrecoverable conditions met inside a call. An abort writes its
// report to standard error where it starts, unwinds the call as a C++
// exception (releasing whatever the call holds on the way), and is turned into
// the abort exception `PanicException` at the call entry (panic_exception.hpp).
// Nothing unwinds into the interpreter.
//
// A report is one block: "thread '<unnamed>' panicked at <file>:<line>:<column>:",
// the abort message, then a backtrace when VUVIRIDA_BACKTRACE asks for one
// (backtrace.hpp), or else, after the first report of the process only, a
// note saying how to ask for one.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

#include "frame/fetched.hpp"
#include "frame/panic_exception.hpp"
#include "frame/python.hpp"
#include "frame/thread_exit.hpp"

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
[[noreturn, gnu::cold, gnu::noinline]] void resume_panic(FetchedException raised);

// Writes the report of an abort at `where` without unwinding: for a failure
// where nothing is left to unwind.
[[gnu::cold, gnu::noinline]] void report_abort(
    std::string_view message,
    std::source_location where = std::source_location::current()) noexcept;

}  // namespace vuvirida::frame
