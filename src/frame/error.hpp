// Errors as values. A binding or conversion failure travels back to the call
// entry as an `Error`, and only there becomes the interpreter's current
// exception. Aborts are different: they unwind as C++ exceptions (abort.hpp).
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "frame/refs.hpp"

namespace vuvirida::frame {

class Error {
  public:
    // Takes the interpreter's pending exception. With none pending the error
    // is a SystemError saying so. A pending abort exception raised by Python
    // code is not an error: it is reported and resumed as an abort.
    [[gnu::cold]] static Error fetch();

    // An exception of `type` with a UTF-8 message, made only when raised.
    [[gnu::cold]] static Error with_message(PyObject* type, std::string message) noexcept {
        Error error;
        error.type_ = OwnedRef::adding(type);
        error.message_ = std::move(message);
        error.made_here_ = true;
        return error;
    }
    [[gnu::cold]] static Error type_error(std::string message) noexcept {
        return with_message(PyExc_TypeError, std::move(message));
    }

    PyObject* type() const noexcept { return type_.get(); }

    // For an error whose type is exactly TypeError: a new TypeError whose
    // message is `prefix` followed by the str() of this one, carrying over
    // this one's cause (none when it has none).
    [[gnu::cold]] Error prefixed(const char* prefix) &&;

    // Sets this error as the interpreter's current exception.
    void restore() && noexcept;

  private:
    Error() = default;
    // Fetched exceptions keep their value and traceback; frame-made ones keep
    // a message instead and have no value yet.
    OwnedRef type_;
    OwnedRef value_;
    OwnedRef traceback_;
    std::string message_;
    bool made_here_ = false;
};

struct Done {};

// The outcome of a step that gives a T or fails with an Error.
template <class T>
class [[nodiscard]] Outcome {
  public:
    Outcome(T value) noexcept(std::is_nothrow_move_constructible_v<T>)
        : state_(std::in_place_index<0>, std::move(value)) {}
    Outcome(Error error) noexcept : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    T& value() noexcept { return *std::get_if<0>(&state_); }
    Error& error() noexcept { return *std::get_if<1>(&state_); }

  private:
    std::variant<T, Error> state_;
};

}  // namespace vuvirida::frame
