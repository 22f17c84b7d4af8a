"""The call surface: module attributes, what the result array is, how
arguments bind, and the exact errors for arguments that do not."""
import ctypes
import inspect
import sys
from fractions import Fraction

import numpy as np
import pytest
import vuvirida

from reference import assert_same, evaluate

PARAMETERS = {
    "harmonic_oscillator": ["time", "amplitude", "gamma", "omega", "phi", "y"],
    "pseudo_square_wave": ["time", "amplitude", "gamma", "omega", "phi", "y"],
    "fourier_square_wave": ["time", "amplitude", "gamma", "omega", "phi", "y", "num_harmonics"],
    "pseudo_cycloid_wave": ["time", "amplitude", "gamma", "omega", "phi", "y"],
    "transient_impulse": ["time", "amplitude", "period", "width", "equilibrium"],
}
NAMES = list(PARAMETERS)
T = np.linspace(-4.0, 4.0, 9)


def arguments(name, **changes):
    """Valid arguments for `name` in signature order, with some replaced."""
    values = dict(zip(PARAMETERS[name], [T, 1.5, -0.1, 0.8, 0.3, 0.25, 3]), **changes)
    return [values[p] for p in PARAMETERS[name]]


def test_module_surface():
    assert vuvirida.__doc__ == "Python module definition"
    assert vuvirida.__all__ == NAMES
    for name, params in PARAMETERS.items():
        fn = getattr(vuvirida, name)
        assert type(fn).__name__ == "builtin_function_or_method" and fn.__name__ == name
        assert fn.__module__ == "vuvirida" and fn.__self__ is vuvirida and fn.__doc__ is None
        assert fn.__text_signature__ == f"({', '.join(params)})"
        sig = inspect.signature(fn).parameters.values()
        assert [p.name for p in sig] == params
        assert {(p.kind, p.default) for p in sig} == {(inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty)}


class Subclass(np.ndarray):
    pass


def read_only():
    t = T.copy()
    t.flags.writeable = False
    return t


TIME_ARRAYS = {
    "plain": lambda: T.copy(),
    "subclass": lambda: T.copy().view(Subclass),
    "read-only": read_only,
    "fortran": lambda: np.asfortranarray(T),
    "little-endian dtype": lambda: T.astype("<f8"),
    "empty": lambda: np.empty(0),
    "step-2 slice of 1": lambda: np.arange(1.0)[::2],
    "step-2 slice of 2": lambda: np.arange(2.0)[::2],
    "step-2 slice of 0": lambda: np.arange(0.0)[::2],
    "offset view": lambda: T[3:7],
}


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("make", TIME_ARRAYS.values(), ids=TIME_ARRAYS)
def test_result_is_a_new_plain_float64_array(name, make):
    t, args = make(), arguments(name)[1:]
    before, t_refs, arg_refs = t.copy(), sys.getrefcount(t), [sys.getrefcount(a) for a in args]
    out = getattr(vuvirida, name)(t, *args)
    assert type(out) is np.ndarray and out.dtype == np.float64 and out.shape == t.shape
    assert out.flags.c_contiguous and out.flags.writeable and out.flags.owndata
    assert out.base is None and not np.shares_memory(out, t)
    assert sys.getrefcount(out) == 2 and sys.getrefcount(t) == t_refs
    assert [sys.getrefcount(a) for a in args] == arg_refs
    assert_same(np.asarray(t), before)
    assert_same(out, evaluate(name, np.asarray(t), *args))


def test_calls_do_not_leak_the_dtype_or_inputs():
    t, dtype = T.copy(), np.dtype(np.float64)
    for name in NAMES:
        getattr(vuvirida, name)(t, *arguments(name)[1:])
    before = sys.getrefcount(dtype), sys.getrefcount(t)
    for _ in range(200):
        for name in NAMES:
            getattr(vuvirida, name)(t, *arguments(name)[1:])
    assert (sys.getrefcount(dtype), sys.getrefcount(t)) == before


class StrName(str):
    pass


@pytest.mark.parametrize("name", NAMES)
def test_keywords_in_any_order_equal_positional(name):
    args, params = arguments(name), PARAMETERS[name]
    want = getattr(vuvirida, name)(*args)
    fn = getattr(vuvirida, name)
    for split in range(len(params) + 1):
        kwargs = dict(reversed(list(zip(params[split:], args[split:]))))
        assert_same(fn(*args[:split], **kwargs), want)
    # Names that are neither interned nor exact str still match by their text.
    assert_same(fn(**{StrName(p): a for p, a in zip(params, args)}), want)
    assert_same(fn(**{"".join(list(p)): a for p, a in zip(params, args)}), want)


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("harmonic_oscillator", arguments("harmonic_oscillator") + [6], {},
     "harmonic_oscillator() takes 6 positional arguments but 7 were given"),
    ("harmonic_oscillator", arguments("harmonic_oscillator") + [6], {"nope": 1, "time": T},
     "harmonic_oscillator() takes 6 positional arguments but 7 were given"),
    ("transient_impulse", arguments("transient_impulse"), {"time": T},
     "transient_impulse() got multiple values for argument 'time'"),
    ("transient_impulse", [T], {"amplitude": 1.0, "omega": 1.0},
     "transient_impulse() got an unexpected keyword argument 'omega'"),
    ("transient_impulse", [T], {"\udc80": 1.0},
     "transient_impulse() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ("harmonic_oscillator", arguments("harmonic_oscillator")[:5], {},
     "harmonic_oscillator() missing 1 required positional argument: 'y'"),
    ("harmonic_oscillator", arguments("harmonic_oscillator")[:4], {},
     "harmonic_oscillator() missing 2 required positional arguments: 'phi' and 'y'"),
    ("fourier_square_wave", arguments("fourier_square_wave")[:4], {},
     "fourier_square_wave() missing 3 required positional arguments: 'phi', 'y', and 'num_harmonics'"),
    ("harmonic_oscillator", [T], {},
     "harmonic_oscillator() missing 5 required positional arguments: 'amplitude', 'gamma', 'omega', 'phi', and 'y'"),
    ("harmonic_oscillator", [T, 1.0], {"phi": 0.0},
     "harmonic_oscillator() missing 3 required positional arguments: 'gamma', 'omega', and 'y'"),
    ("pseudo_cycloid_wave", [], {"amplitude": 1.0, "gamma": 0.0, "omega": 1.0, "phi": 0.0, "y": 0.0},
     "pseudo_cycloid_wave() missing 1 required positional argument: 'time'"),
    # Binding fails before any argument is converted.
    ("transient_impulse", ["not an array", "nor a float"], {},
     "transient_impulse() missing 3 required positional arguments: 'period', 'width', and 'equilibrium'"),
])
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        getattr(vuvirida, name)(*args, **kwargs)
    assert type(caught.value) is TypeError and str(caught.value) == message


def test_keyword_name_that_is_not_a_str():
    # Python syntax cannot pass one; the vectorcall protocol can.
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    values = (ctypes.py_object * 5)(T, 1.0, 2.0, 3.0, 4.0)
    with pytest.raises(TypeError) as caught:
        call(vuvirida.transient_impulse, ctypes.addressof(values), 4, (1,))
    assert str(caught.value) == "'int' object cannot be converted to 'PyString'"


class FloatRaises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


def type_error_from(cause):
    try:
        raise TypeError("inner") from cause
    except TypeError as error:
        return error


@pytest.mark.parametrize("name, changes, kind, message", [
    ("harmonic_oscillator", {"time": [0.0]}, TypeError,
     "argument 'time': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ("harmonic_oscillator", {"time": np.zeros((2, 2))}, TypeError,
     "argument 'time': dimensionality mismatch:\n from=2, to=1"),
    ("pseudo_square_wave", {"time": np.array(1.0)}, TypeError,
     "argument 'time': dimensionality mismatch:\n from=0, to=1"),
    ("pseudo_cycloid_wave", {"time": T.astype(np.float32)}, TypeError,
     "argument 'time': type mismatch:\n from=float32, to=float64"),
    ("transient_impulse", {"time": T.astype(">f8")}, TypeError,
     "argument 'time': type mismatch:\n from=>f8, to=float64"),
    ("transient_impulse", {"time": T.astype(np.int64)}, TypeError,
     "argument 'time': type mismatch:\n from=int64, to=float64"),
    ("harmonic_oscillator", {"amplitude": "1.0"}, TypeError,
     "argument 'amplitude': must be real number, not str"),
    ("transient_impulse", {"equilibrium": None}, TypeError,
     "argument 'equilibrium': must be real number, not NoneType"),
    ("fourier_square_wave", {"num_harmonics": 3.0}, TypeError,
     "argument 'num_harmonics': 'float' object cannot be interpreted as an integer"),
    ("fourier_square_wave", {"num_harmonics": -1}, OverflowError, "can't convert negative int to unsigned"),
    ("fourier_square_wave", {"num_harmonics": 2**64}, OverflowError, "int too big to convert"),
    # Only the first bad argument in signature order is reported.
    ("harmonic_oscillator", {"y": "y", "time": [0.0], "gamma": "g"}, TypeError,
     "argument 'time': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ("fourier_square_wave", {"num_harmonics": 1.5, "y": "y", "phi": "p"}, TypeError,
     "argument 'phi': must be real number, not str"),
    ("transient_impulse", {"width": FloatRaises(TypeError("inner")), "equilibrium": "e"}, TypeError,
     "argument 'width': inner"),
])
def test_conversion_errors(name, changes, kind, message):
    with pytest.raises(BaseException) as caught:
        getattr(vuvirida, name)(*arguments(name, **changes))
    assert type(caught.value) is kind and str(caught.value) == message


@pytest.mark.parametrize("cause", [None, KeyError("k")])
def test_type_error_from_float_is_prefixed_and_keeps_its_cause(cause):
    with pytest.raises(TypeError) as caught:
        vuvirida.harmonic_oscillator(*arguments("harmonic_oscillator", gamma=FloatRaises(type_error_from(cause))))
    assert str(caught.value) == "argument 'gamma': inner"
    assert caught.value.__cause__ is cause and caught.value.__suppress_context__ is True


def test_other_errors_from_float_pass_unchanged():
    error = ValueError("not today")
    with pytest.raises(ValueError) as caught:
        vuvirida.pseudo_cycloid_wave(*arguments("pseudo_cycloid_wave", phi=FloatRaises(error)))
    assert caught.value is error


class IndexOnly:
    def __index__(self):
        return 2


@pytest.mark.parametrize("name, given, same_as", [
    ("fourier_square_wave", {"num_harmonics": True}, {"num_harmonics": 1}),
    ("fourier_square_wave", {"num_harmonics": np.uint8(2)}, {"num_harmonics": 2}),
    ("fourier_square_wave", {"num_harmonics": IndexOnly()}, {"num_harmonics": 2}),
    ("harmonic_oscillator", {"amplitude": 2, "phi": True}, {"amplitude": 2.0, "phi": 1.0}),
    ("pseudo_square_wave", {"omega": np.float32(0.5), "y": Fraction(1, 3)}, {"omega": 0.5, "y": 1 / 3}),
    ("transient_impulse", {"width": IndexOnly(), "period": np.float64(3.0)}, {"width": 2.0, "period": 3.0}),
])
def test_numbers_of_other_types_convert(name, given, same_as):
    fn = getattr(vuvirida, name)
    assert_same(fn(*arguments(name, **given)), fn(*arguments(name, **same_as)))


def test_largest_harmonic_count_is_accepted():
    out = vuvirida.fourier_square_wave(np.empty(0), 1.0, 0.0, 1.0, 0.0, 0.0, 2**64 - 1)
    assert out.shape == (0,) and out.dtype == np.float64
