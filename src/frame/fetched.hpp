// Owner of an exception taken out of the interpreter: its type, value and
// traceback, each owned as OwnedRef owns a reference. The constructors' names
// say how the exception arrives and `restore` says where it leaves, so that
// every fetched exception is either set again or released, exactly once.
#pragma once

#include <utility>

#include "frame/python.hpp"
#include "frame/refs.hpp"

namespace vuvirida::frame {

class FetchedException {
  public:
    FetchedException() noexcept = default;

    // Takes the interpreter's pending exception, leaving none pending. Empty
    // when none was pending.
    static FetchedException taking_pending() noexcept {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        return FetchedException(type, value, traceback);
    }

    // Takes over new references to an exception's parts (a null value or
    // traceback is allowed).
    static FetchedException taking(PyObject* type, PyObject* value, PyObject* traceback) noexcept {
        return FetchedException(type, value, traceback);
    }

    // Raises `type` with `value` as PyErr_SetObject does (chained to the
    // exception being handled, if any) and takes what that left pending.
    // Making the exception may run a garbage collection, and so Python code.
    static FetchedException raising(PyObject* type, PyObject* value) {
        PyErr_SetObject(type, value);
        return taking_pending();
    }

    // The exception as an instance of its type, as PyErr_NormalizeException
    // makes it; that may run Python code, and a failure to make the instance
    // puts the failure in its place.
    void normalize() {
        PyObject* type = type_.give_up();
        PyObject* value = value_.give_up();
        PyObject* traceback = traceback_.give_up();
        PyErr_NormalizeException(&type, &value, &traceback);
        *this = FetchedException(type, value, traceback);
    }

    // Sets the exception as the interpreter's pending one, which must be
    // none, and gives up all three references to it.
    void restore() && noexcept {
        PyErr_Restore(type_.give_up(), value_.give_up(), traceback_.give_up());
    }

    PyObject* type() const noexcept { return type_.get(); }
    PyObject* value() const noexcept { return value_.get(); }
    PyObject* traceback() const noexcept { return traceback_.get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(type_); }

  private:
    FetchedException(PyObject* type, PyObject* value, PyObject* traceback) noexcept
        : type_(OwnedRef::taking(type)),
          value_(OwnedRef::taking(value)),
          traceback_(OwnedRef::taking(traceback)) {}

    // Released in reverse order: traceback, value, type.
    OwnedRef type_;
    OwnedRef value_;
    OwnedRef traceback_;
};

}  // namespace vuvirida::frame
