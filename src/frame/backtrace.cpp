// Stack backtraces through the C library's backtrace(), with C++ names
// demangled.
#include "frame/backtrace.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#if __has_include(<execinfo.h>) && __has_include(<cxxabi.h>)
#include <cxxabi.h>
#include <execinfo.h>
#define VUVIRIDA_HAVE_BACKTRACE 1
#endif

namespace vuvirida::frame {

BacktraceStyle backtrace_style() noexcept {
    static const BacktraceStyle style = [] {
        const char* value = std::getenv("VUVIRIDA_BACKTRACE");
        if (value == nullptr || std::strcmp(value, "0") == 0) return BacktraceStyle::none;
        if (std::strcmp(value, "full") == 0) return BacktraceStyle::full;
        return BacktraceStyle::short_form;
    }();
    return style;
}

#ifdef VUVIRIDA_HAVE_BACKTRACE

namespace {

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

}  // namespace

void append_backtrace(std::string& out, BacktraceStyle style, int own_frames) {
    void* frames[128];
    const int count = ::backtrace(frames, 128);
    // This function's own frame is left out too.
    const int skipped = own_frames + 1;
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

void append_backtrace(std::string& out, BacktraceStyle, int) {
    out += "stack backtrace: not available on this platform\n";
}

#endif

}  // namespace vuvirida::frame
