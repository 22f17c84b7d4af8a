// Stack backtraces for abort reports, as the VUVIRIDA_BACKTRACE environment
// variable asks for them.
#pragma once

#include <string>

namespace vuvirida::frame {

enum class BacktraceStyle { none, short_form, full };

// VUVIRIDA_BACKTRACE, read once per process: unset or "0" asks for no
// backtrace, "full" for every frame, anything else for a short one.
BacktraceStyle backtrace_style() noexcept;

// Appends "stack backtrace:" and the frames of the calling thread's stack,
// leaving out the innermost `own_frames` (the report's own machinery). A
// short one ends after a dozen frames with a note that says how to see all.
void append_backtrace(std::string& out, BacktraceStyle style, int own_frames);

}  // namespace vuvirida::frame
