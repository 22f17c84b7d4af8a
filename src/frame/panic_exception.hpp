// The abort exception, `pyo3_runtime.PanicException`: a type derived from
// BaseException directly, made once per process on first need and never
// exported, in which an abort reaches the caller.
#pragma once

#include "frame/python.hpp"

namespace vuvirida::frame {

class Abort;

// Whether a fetched exception's type is the abort exception type. A type not
// made yet cannot be the fetched one, so the answer never depends on making
// it; it is made here if it can be (it exists from the first fetch on), and
// a failure to make it is dropped. Nothing may be pending.
bool is_panic_type(PyObject* type) noexcept;

// Sets a new abort exception carrying `abort`'s message as the interpreter's
// current exception, replacing any pending one. Never unwinds: when the abort
// exception cannot be made, that failure is reported as an abort of its own
// (after the first abort's report) and what the interpreter set for it stays
// pending, or a SystemError saying so when it set nothing.
[[gnu::cold]] void raise_abort(const Abort& abort) noexcept;

}  // namespace vuvirida::frame
