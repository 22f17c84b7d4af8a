// The call entries: each binds its arguments, converts them in signature
// order, and runs its generator inside the array exchange. One template
// binds every function, from the function's row of the function table.
#include "frame/entries.hpp"

#include <cstdint>
#include <new>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#if defined(__GLIBCXX__) && __has_include(<cxxabi.h>)
#include <cxxabi.h>
// glibc ends a thread (pthread_exit) by unwinding its stack with this exception.
#define VUVIRIDA_FORCED_UNWIND 1
#endif

#if defined(VUVIRIDA_FORCED_UNWIND) && defined(__has_attribute)
#if __has_attribute(no_sanitize)
#define VUVIRIDA_NO_NULL_CHECK __attribute__((no_sanitize("null")))
#endif
#endif
#ifndef VUVIRIDA_NO_NULL_CHECK
#define VUVIRIDA_NO_NULL_CHECK
#endif

#include "frame/abort.hpp"
#include "frame/binding.hpp"
#include "frame/convert.hpp"
#include "frame/exchange.hpp"
#include "lib/generators.hpp"

namespace vuvirida::frame {

namespace {

using Wrapper = Outcome<OwnedRef> (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Runs one call. Everything the call takes is owned by the wrapper's locals,
// so it is released when the wrapper returns or unwinds; the result array is
// the only reference that leaves. An abort stops here and becomes the abort
// exception; nothing unwinds into the interpreter. (glibc's thread-ending
// unwind carries no C++ object, so the handler that names it binds its
// reference to null; that binding is the C++ runtime's own idiom, not a
// fault, and is kept out of the null-reference check.)
VUVIRIDA_NO_NULL_CHECK
PyObject* trampoline_inner(Wrapper wrapper, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    try {
        Outcome<OwnedRef> outcome = wrapper(args, nargs, kwnames);
        if (outcome.ok()) [[likely]]
            return outcome.value().give_up();
        std::move(outcome.error()).restore();
    } catch (const Abort& abort) {
        raise_abort(abort);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
#ifdef VUVIRIDA_FORCED_UNWIND
    } catch (abi::__forced_unwind&) {
        park_for_exit();
#endif
    } catch (...) {
        raise_abort(Abort("unexpected C++ exception in vuvirida"));
    }
    return nullptr;
}

// What a scalar parameter of each kind is converted to, and how.
template <lib::Kind kind>
struct Scalar;
template <>
struct Scalar<lib::Kind::real> {
    using Type = double;
    static Outcome<double> from(PyObject* object) { return extract_float(object); }
};
template <>
struct Scalar<lib::Kind::integer> {
    using Type = std::uint64_t;
    static Outcome<std::uint64_t> from(PyObject* object) { return extract_count(object); }
};

// A scalar's conversion error as the caller sees it (extract_argument's).
[[gnu::cold, gnu::noinline]] bool conversion_failed(const char* name, Error error,
                                                    std::optional<Error>& failed) {
    failed.emplace(argument_extraction_error(name, std::move(error)));
    return false;
}

// Converts one scalar into `value`, or leaves the error in `failed`. Inline,
// so that a float converts in place; the failure is out of the way.
template <lib::Kind kind>
[[gnu::always_inline]] inline bool convert(PyObject* slot, const char* name,
                                           typename Scalar<kind>::Type& value,
                                           std::optional<Error>& failed) {
    Outcome<typename Scalar<kind>::Type> converted = Scalar<kind>::from(slot);
    if (!converted.ok()) [[unlikely]]
        return conversion_failed(name, std::move(converted.error()), failed);
    value = converted.value();
    return true;
}

// Converts the scalars, slots 1 onwards, in signature order, stopping at the
// first failure, which is the one reported; then runs the generator over the
// time array inside the exchange.
template <const auto& signature, auto generator, std::size_t... i>
Outcome<OwnedRef> convert_and_run(PyObject* time, PyObject* const* slots,
                                  std::index_sequence<i...>) {
    constexpr const lib::Parameter* scalars = signature.parameters + 1;
    static_assert(((scalars[i].kind != lib::Kind::array) && ...),
                  "only the first parameter is the time array");
    static_assert(
        std::is_same_v<decltype(generator), bool (*)(lib::Samples, std::size_t, double*,
                                                     typename Scalar<scalars[i].kind>::Type...,
                                                     lib::Interruption) noexcept>,
        "a generator takes the scalars of its row, of their kinds, in order");
    std::tuple<typename Scalar<scalars[i].kind>::Type...> values;
    std::optional<Error> failed;
    if (!(convert<scalars[i].kind>(slots[1 + i], scalars[i].name, std::get<i>(values), failed) &&
          ...)) [[unlikely]]
        return std::move(*failed);
    return exchange(time, [&values](lib::Samples t, std::size_t n, double* out,
                                    lib::Interruption interruption) {
        return generator(t, n, out, std::get<i>(values)..., interruption);
    });
}

// The parameter names as interned strings, made on the first keyword call,
// so that keywords are first compared by identity.
template <const auto& signature>
Published<PyObject> interned_names[std::size(signature.parameters)];

template <const auto& signature>
const FunctionDescription description{signature.name, signature.parameters,
                                      std::size(signature.parameters), interned_names<signature>};

// The binding of every function: binds the arguments to the parameters of
// its signature, converts the time array and then each scalar, and runs the
// generator. Inline, so that each binding wrapper is its function's binding.
template <const auto& signature, auto generator>
[[gnu::always_inline]] inline Outcome<OwnedRef> bind(PyObject* const* args, Py_ssize_t nargs,
                                                     PyObject* kwnames) {
    constexpr std::size_t count = std::size(signature.parameters);
    static_assert(signature.parameters[0].kind == lib::Kind::array,
                  "the time array is the first parameter");
    PyObject* storage[count];
    Outcome<PyObject* const*> bound =
        extract_arguments_fastcall(description<signature>, args, nargs, kwnames, storage);
    if (!bound.ok()) [[unlikely]]
        return std::move(bound.error());
    PyObject* const* slots = bound.value();
    Outcome<PyObject*> time =
        extract_argument(extract_time(slots[0]), signature.parameters[0].name);
    if (!time.ok()) [[unlikely]]
        return std::move(time.error());
    return convert_and_run<signature, generator>(time.value(), slots,
                                                 std::make_index_sequence<count - 1>{});
}

// The binding wrappers, __pyfunction_<function name>, one per row.
#define VUVIRIDA_BINDING_WRAPPER(function, ...)                                        \
    Outcome<OwnedRef> __pyfunction_##function(PyObject* const* args, Py_ssize_t nargs, \
                                              PyObject* kwnames) {                     \
        return bind<lib::signatures::function, lib::function>(args, nargs, kwnames);   \
    }
VUVIRIDA_FUNCTION_TABLE(VUVIRIDA_BINDING_WRAPPER)
#undef VUVIRIDA_BINDING_WRAPPER

}  // namespace

#define VUVIRIDA_CALL_ENTRY(function, ...)                                         \
    PyObject* function##_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, \
                               PyObject* kwnames) {                                \
        return trampoline_inner(__pyfunction_##function, args, nargs, kwnames);    \
    }
VUVIRIDA_FUNCTION_TABLE(VUVIRIDA_CALL_ENTRY)
#undef VUVIRIDA_CALL_ENTRY

}  // namespace vuvirida::frame
