// The five call entries: each binds its arguments, converts them in signature
// order, and runs its generator inside the array exchange.
#include "frame/entries.hpp"

#include <new>

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
// exception; nothing unwinds into the interpreter.
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
    } catch (...) {
        raise_abort(Abort("unexpected C++ exception in vuvirida"));
    }
    return nullptr;
}

template <std::size_t N>
struct Floats {
    double values[N];
};

// Converts the N float parameters that start at slot `first`, in order; the
// first failure is the one reported.
template <std::size_t N>
Outcome<Floats<N>> extract_floats(const FunctionDescription& d, PyObject* const* slots,
                                  std::size_t first) {
    Floats<N> floats;
    for (std::size_t i = 0; i < N; ++i) {
        Outcome<double> value =
            extract_argument(extract_float(slots[first + i]), d.parameters[first + i]);
        if (!value.ok()) [[unlikely]]
            return std::move(value.error());
        floats.values[i] = value.value();
    }
    return floats;
}

constexpr const char* kOscillatorParameters[] = {"time", "amplitude", "gamma", "omega", "phi", "y"};
constexpr const char* kFourierParameters[] = {"time", "amplitude", "gamma",        "omega",
                                              "phi",  "y",         "num_harmonics"};
constexpr const char* kImpulseParameters[] = {"time", "amplitude", "period", "width",
                                              "equilibrium"};

PyObject* interned_harmonic_oscillator[6];
PyObject* interned_pseudo_square_wave[6];
PyObject* interned_fourier_square_wave[7];
PyObject* interned_pseudo_cycloid_wave[6];
PyObject* interned_transient_impulse[5];

const FunctionDescription kHarmonicOscillator{"harmonic_oscillator", kOscillatorParameters, 6,
                                              interned_harmonic_oscillator};
const FunctionDescription kPseudoSquareWave{"pseudo_square_wave", kOscillatorParameters, 6,
                                            interned_pseudo_square_wave};
const FunctionDescription kFourierSquareWave{"fourier_square_wave", kFourierParameters, 7,
                                             interned_fourier_square_wave};
const FunctionDescription kPseudoCycloidWave{"pseudo_cycloid_wave", kOscillatorParameters, 6,
                                             interned_pseudo_cycloid_wave};
const FunctionDescription kTransientImpulse{"transient_impulse", kImpulseParameters, 5,
                                            interned_transient_impulse};

// The four generators of (time, amplitude, gamma, omega, phi, y) share one
// binding; only the kernel differs.
using OscillatorKernel = bool (*)(lib::Samples, std::size_t, double*, double, double, double,
                                  double, double, lib::Interruption) noexcept;

template <const FunctionDescription& description, OscillatorKernel kernel>
Outcome<OwnedRef> bind_oscillator(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* storage[6];
    Outcome<PyObject* const*> bound =
        extract_arguments_fastcall(description, args, nargs, kwnames, storage);
    if (!bound.ok()) [[unlikely]]
        return std::move(bound.error());
    PyObject* const* slots = bound.value();
    Outcome<PyObject*> time = extract_argument(extract_time(slots[0]), "time");
    if (!time.ok()) [[unlikely]]
        return std::move(time.error());
    Outcome<Floats<5>> scalars = extract_floats<5>(description, slots, 1);
    if (!scalars.ok()) [[unlikely]]
        return std::move(scalars.error());
    const double* v = scalars.value().values;
    return exchange(time.value(), [v](lib::Samples t, std::size_t n, double* out,
                                      lib::Interruption interruption) {
        return kernel(t, n, out, v[0], v[1], v[2], v[3], v[4], interruption);
    });
}

}  // namespace

// The binding wrappers, one per function.

Outcome<OwnedRef> __pyfunction_harmonic_oscillator(PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames) {
    return bind_oscillator<kHarmonicOscillator, lib::harmonic_oscillator>(args, nargs, kwnames);
}

Outcome<OwnedRef> __pyfunction_pseudo_square_wave(PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) {
    return bind_oscillator<kPseudoSquareWave, lib::pseudo_square_wave>(args, nargs, kwnames);
}

Outcome<OwnedRef> __pyfunction_pseudo_cycloid_wave(PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames) {
    return bind_oscillator<kPseudoCycloidWave, lib::pseudo_cycloid_wave>(args, nargs, kwnames);
}

Outcome<OwnedRef> __pyfunction_fourier_square_wave(PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames) {
    PyObject* storage[7];
    Outcome<PyObject* const*> bound =
        extract_arguments_fastcall(kFourierSquareWave, args, nargs, kwnames, storage);
    if (!bound.ok()) [[unlikely]]
        return std::move(bound.error());
    PyObject* const* slots = bound.value();
    Outcome<PyObject*> time = extract_argument(extract_time(slots[0]), "time");
    if (!time.ok()) [[unlikely]]
        return std::move(time.error());
    Outcome<Floats<5>> scalars = extract_floats<5>(kFourierSquareWave, slots, 1);
    if (!scalars.ok()) [[unlikely]]
        return std::move(scalars.error());
    Outcome<std::uint64_t> harmonics = extract_argument(extract_count(slots[6]), "num_harmonics");
    if (!harmonics.ok()) [[unlikely]]
        return std::move(harmonics.error());
    const double* v = scalars.value().values;
    const std::uint64_t count = harmonics.value();
    return exchange(time.value(), [v, count](lib::Samples t, std::size_t n, double* out,
                                             lib::Interruption interruption) {
        return lib::fourier_square_wave(t, n, out, v[0], v[1], v[2], v[3], v[4], count,
                                        interruption);
    });
}

Outcome<OwnedRef> __pyfunction_transient_impulse(PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) {
    PyObject* storage[5];
    Outcome<PyObject* const*> bound =
        extract_arguments_fastcall(kTransientImpulse, args, nargs, kwnames, storage);
    if (!bound.ok()) [[unlikely]]
        return std::move(bound.error());
    PyObject* const* slots = bound.value();
    Outcome<PyObject*> time = extract_argument(extract_time(slots[0]), "time");
    if (!time.ok()) [[unlikely]]
        return std::move(time.error());
    Outcome<Floats<4>> scalars = extract_floats<4>(kTransientImpulse, slots, 1);
    if (!scalars.ok()) [[unlikely]]
        return std::move(scalars.error());
    const double* v = scalars.value().values;
    return exchange(time.value(), [v](lib::Samples t, std::size_t n, double* out,
                                      lib::Interruption interruption) {
        return lib::transient_impulse(t, n, out, v[0], v[1], v[2], v[3], interruption);
    });
}

PyObject* harmonic_oscillator_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return trampoline_inner(__pyfunction_harmonic_oscillator, args, nargs, kwnames);
}

PyObject* pseudo_square_wave_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return trampoline_inner(__pyfunction_pseudo_square_wave, args, nargs, kwnames);
}

PyObject* fourier_square_wave_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return trampoline_inner(__pyfunction_fourier_square_wave, args, nargs, kwnames);
}

PyObject* pseudo_cycloid_wave_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return trampoline_inner(__pyfunction_pseudo_cycloid_wave, args, nargs, kwnames);
}

PyObject* transient_impulse_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return trampoline_inner(__pyfunction_transient_impulse, args, nargs, kwnames);
}

}  // namespace vuvirida::frame
