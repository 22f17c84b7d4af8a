// The abort report's text, and starting an abort.
#include "frame/abort.hpp"

#include <atomic>
#include <cstdio>
#include <new>

#include "frame/backtrace.hpp"
#include "frame/captured_print.hpp"
#include "frame/stderr_writer.hpp"

#ifndef VUVIRIDA_SOURCE_ROOT
#define VUVIRIDA_SOURCE_ROOT ""
#endif

namespace vuvirida::frame {

namespace {

// Source files are named relative to the project root, whatever directory the
// module was built in.
std::string_view project_relative(const char* file) noexcept {
    std::string_view path(file);
    constexpr std::string_view root(VUVIRIDA_SOURCE_ROOT);
    if (!root.empty() && path.substr(0, root.size()) == root) path.remove_prefix(root.size());
    return path;
}

std::atomic<bool> note_pending{true};
constexpr OnceLine kNote{
    note_pending,
    "note: run with `VUVIRIDA_BACKTRACE=1` environment variable to display a backtrace\n"};

constexpr std::string_view kResuming =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";
constexpr std::string_view kPanicked = "thread '<unnamed>' panicked at ";

// The report, after `preface` (what was printed for the failure that led to
// it), written at once so that no other report lands inside it. Without
// memory for the block, its pieces go out one by one, still whole, and
// without a backtrace.
[[gnu::noinline]] void write_report(std::string_view preface, std::string_view message,
                                    const std::source_location& where) noexcept {
    const std::string_view file = project_relative(where.file_name());
    char numbers[48];
    std::snprintf(numbers, sizeof numbers, ":%u:%u:\n", static_cast<unsigned>(where.line()),
                  static_cast<unsigned>(where.column()));
    const BacktraceStyle style = backtrace_style();
    const OnceLine* note = style == BacktraceStyle::none ? &kNote : nullptr;
    std::string block;
    try {
        block.reserve(preface.size() + file.size() + message.size() + 64);
        block += preface;
        block += kPanicked;
        block += file;
        block += numbers;
        block += message;
        block += '\n';
        // Left out: this function and the one that called it.
        if (style != BacktraceStyle::none) append_backtrace(block, style, 2);
    } catch (const std::bad_alloc&) {
        emit_pieces({preface, kPanicked, file, numbers, message, "\n"}, note);
        return;
    }
    emit(block, note);
}

}  // namespace

void panic(std::string message, std::source_location where) {
    write_report({}, message, where);
    throw Abort(std::move(message));
}

void panic_api_call_failed(std::source_location where) {
    write_report(print_captured({}, 1), "Python API call failed", where);
    throw Abort("Python API call failed");
}

void report_abort(std::string_view message, std::source_location where) noexcept {
    write_report({}, message, where);
}

void resume_panic(FetchedException raised) {
    std::string message = "Unwrapped panic from Python code";
    if (raised.value() != nullptr && PyUnicode_Check(raised.value())) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(raised.value(), &size)) {
            message.assign(text, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
        }
    }
    std::move(raised).restore();
    const std::string block = print_captured(kResuming, 0);
    if (!block.empty()) emit(block);
    throw Abort(std::move(message));
}

}  // namespace vuvirida::frame
