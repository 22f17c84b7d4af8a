// Errors as values. A binding or conversion failure travels back to the call
// entry as an `Error`, and only there becomes the interpreter's current
// exception. Aborts are different: they unwind as C++ exceptions (abort.hpp).
#pragma once

#include <string_view>
#include <utility>
#include <variant>

#include "frame/fetched.hpp"
#include "frame/refs.hpp"

namespace vuvirida::frame {

class Error {
  public:
    // Takes the interpreter's pending exception. With none pending the error
    // is a SystemError saying so. A pending abort exception raised by Python
    // code is not an error: it is reported and resumed as an abort.
    [[gnu::cold]] static Error fetch();

    // An exception of `type` with a UTF-8 message, made now, as it would be
    // raised here (its context is the exception being handled, if any). When
    // it cannot be made, the interpreter's failure is the error.
    [[gnu::cold, gnu::noinline]] static Error with_message(PyObject* type,
                                                           std::string_view message);
    [[gnu::cold]] static Error type_error(std::string_view message) {
        return with_message(PyExc_TypeError, message);
    }

    PyObject* type() const noexcept { return exception_.type(); }

    // For an error whose type is exactly TypeError: a new TypeError whose
    // message is `prefix` followed by the str() of this one, carrying over
    // this one's cause (none when it has none).
    [[gnu::cold]] Error prefixed(std::string_view prefix) &&;

    // Sets this error as the interpreter's current exception.
    void restore() && noexcept { std::move(exception_).restore(); }

  private:
    explicit Error(FetchedException exception) noexcept : exception_(std::move(exception)) {}
    FetchedException exception_;
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
