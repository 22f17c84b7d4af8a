// Printing a pending exception into a string, as the interpreter would print
// it to sys.stderr, so that it can be written as part of one block.
#pragma once

#include <string>
#include <string_view>

namespace vuvirida::frame {

// Prints the pending exception as PyErr_PrintEx(set_sys_last_vars) does
// (through sys.excepthook, with the same handling of sys.last_*), but with
// sys.stderr replaced by an in-memory text buffer, and returns `header`
// followed by what was printed, encoded as sys.stderr encodes. With nothing
// pending, just `header`. Where no buffer can be put in place, writes
// `header` and prints straight to sys.stderr, and returns nothing.
std::string print_captured(std::string_view header, int set_sys_last_vars);

}  // namespace vuvirida::frame
