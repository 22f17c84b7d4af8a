# The call surface: module attributes, what the result array is, how
# arguments bind, and the exact errors for arguments that do not.
import ctypes
import sys

import numpy as np
import pytest
import vuvirida

from reference import Hook, assert_same, evaluate, raising

OSCILLATOR = ["time", "amplitude", "gamma", "omega", "phi", "y"]
PARAMETERS = {"harmonic_oscillator": OSCILLATOR, "pseudo_square_wave": OSCILLATOR,
              "fourier_square_wave": OSCILLATOR + ["num_harmonics"], "pseudo_cycloid_wave": OSCILLATOR,
              "transient_impulse": ["time", "amplitude", "period", "width", "equilibrium"]}
NAMES, T, F64 = list(PARAMETERS), np.linspace(-4.0, 4.0, 9), np.dtype(np.float64)


def arguments(name, **changes):  # valid arguments in signature order, some replaced
    values = dict(zip(PARAMETERS[name], [T, 1.5, -0.1, 0.8, 0.3, 0.25, 3]), **changes)
    return [values[p] for p in PARAMETERS[name]]


def test_module_surface():
    assert vuvirida.__doc__ == "Python module definition" and vuvirida.__all__ == NAMES
    for name, params in PARAMETERS.items():
        fn = getattr(vuvirida, name)
        assert (type(fn).__name__, fn.__name__, fn.__module__, fn.__self__, fn.__doc__, fn.__text_signature__) == (
            "builtin_function_or_method", name, "vuvirida", vuvirida, None, f"({', '.join(params)})")


TIME_ARRAYS = {"plain": lambda: T.copy(), "subclass": lambda: T.copy().view(type("Sub", (np.ndarray,), {})),
               "read-only": lambda: np.frombuffer(T.tobytes()), "fortran": lambda: np.asfortranarray(T),
               "offset view": lambda: T[3:7], "empty": lambda: np.empty(0),
               "unaligned": lambda: np.frombuffer(b"\0" + T.tobytes(), offset=1),
               "step 2 of 0": lambda: np.empty(0)[::2], "step 2 of 1": lambda: np.ones(1)[::2],
               "step 2 of 2": lambda: np.arange(2.0)[::2]}


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("make", TIME_ARRAYS.values(), ids=TIME_ARRAYS)
def test_result_is_a_new_plain_float64_array(name, make):
    fn, t, args = getattr(vuvirida, name), make(), arguments(name)[1:]
    before = t.copy()
    fn(t, *args)  # the first call ever caches the dtype for good
    counts = lambda: [sys.getrefcount(x) for x in (t, F64, *args)]  # noqa: E731
    start = counts()
    fn(t, *args), fn(t, *args)
    assert counts() == start, "a call leaked or stole a reference"
    out = fn(t, *args)
    assert type(out) is np.ndarray and out.dtype == np.float64 and out.shape == t.shape
    assert out.flags.c_contiguous and out.flags.writeable and out.flags.owndata and out.base is None
    # Held by the local alone: counted as any other such local is (CPython
    # 3.14 no longer counts the call's own borrowed reference).
    alone = np.empty(1)
    assert out is not t and sys.getrefcount(out) == sys.getrefcount(alone) and not np.shares_memory(out, t)
    assert_same(np.asarray(t), before)
    assert_same(out, evaluate(name, np.asarray(t), *args))


@pytest.mark.parametrize("name", NAMES)
def test_keywords_in_any_order_equal_positional(name):
    fn, args, params = getattr(vuvirida, name), arguments(name), PARAMETERS[name]
    want = fn(*args)
    for split in range(len(params) + 1):
        assert_same(fn(*args[:split], **dict(reversed(list(zip(params, args))[split:]))), want)
    # Names that are neither interned nor exact str match by their text.
    assert_same(fn(**{type("S", (str,), {})(p): a for p, a in zip(params, args)}), want)
    assert_same(fn(**{"".join(list(p)): a for p, a in zip(params, args)}), want)


# (function, how many valid positional arguments, keywords, message after "name() ")
@pytest.mark.parametrize("name, given, kwargs, message", [
    ("harmonic_oscillator", 7, {}, "takes 6 positional arguments but 7 were given"),
    ("harmonic_oscillator", 7, {"nope": 1, "time": T}, "takes 6 positional arguments but 7 were given"),
    ("transient_impulse", 5, {"time": T}, "got multiple values for argument 'time'"),
    ("transient_impulse", 1, {"amplitude": 1.0, "omega": 1.0}, "got an unexpected keyword argument 'omega'"),
    ("transient_impulse", 1, {"\udc80": 1.0}, "got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ("harmonic_oscillator", 5, {"y\x00": 1.0}, "got an unexpected keyword argument 'y\x00'"),  # not 'y'
    ("harmonic_oscillator", 5, {}, "missing 1 required positional argument: 'y'"),
    ("harmonic_oscillator", 4, {}, "missing 2 required positional arguments: 'phi' and 'y'"),
    ("fourier_square_wave", 4, {}, "missing 3 required positional arguments: 'phi', 'y', and 'num_harmonics'"),
    ("harmonic_oscillator", 1, {},
     "missing 5 required positional arguments: 'amplitude', 'gamma', 'omega', 'phi', and 'y'"),
    ("harmonic_oscillator", 1, {"gamma": 1.0, "phi": 0.0},
     "missing 3 required positional arguments: 'amplitude', 'omega', and 'y'"),
    # Binding fails before any argument is converted.
    ("transient_impulse", 0, {"time": [], "amplitude": ""},
     "missing 3 required positional arguments: 'period', 'width', and 'equilibrium'"),
])
def test_binding_errors(name, given, kwargs, message):
    with pytest.raises(TypeError) as caught:
        getattr(vuvirida, name)(*(arguments(name) + [6])[:given], **kwargs)
    assert type(caught.value) is TypeError and str(caught.value) == f"{name}() {message}"


NUL_NAMED = type("NulNamed", (), {"__qualname__": "Nul\x00Named"})
NOT_ARRAY, NOT_REAL = "'list' object cannot be converted to 'PyArray<T, D>'", "must be real number, not str"
DIMENSIONS = "argument 'time': dimensionality mismatch:\n from={}, to=1"
TYPES = "argument 'time': type mismatch:\n from={}, to=float64"


@pytest.mark.parametrize("name, changes, kind, message", [
    ("harmonic_oscillator", {"time": [0.0]}, TypeError, f"argument 'time': {NOT_ARRAY}"),
    ("harmonic_oscillator", {"time": np.zeros((2, 2))}, TypeError, DIMENSIONS.format(2)),
    ("pseudo_square_wave", {"time": np.array(1.0)}, TypeError, DIMENSIONS.format(0)),
    ("pseudo_cycloid_wave", {"time": T.astype("f4")}, TypeError, TYPES.format("float32")),
    ("transient_impulse", {"time": T.astype(">f8")}, TypeError, TYPES.format(">f8")),
    ("harmonic_oscillator", {"amplitude": "1.0"}, TypeError, f"argument 'amplitude': {NOT_REAL}"),
    ("fourier_square_wave", {"num_harmonics": 3.0}, TypeError,
     "argument 'num_harmonics': 'float' object cannot be interpreted as an integer"),
    ("fourier_square_wave", {"num_harmonics": -1}, OverflowError, "can't convert negative int to unsigned"),
    ("fourier_square_wave", {"num_harmonics": 2**64}, OverflowError, "int too big to convert"),
    # Only the first bad argument in signature order is reported.
    ("harmonic_oscillator", {"y": "y", "time": [0.0], "gamma": "g"}, TypeError, f"argument 'time': {NOT_ARRAY}"),
    ("fourier_square_wave", {"num_harmonics": 1.5, "y": "y", "phi": "p"}, TypeError, f"argument 'phi': {NOT_REAL}"),
    ("transient_impulse", {"width": Hook(lambda: raising(TypeError("no"))), "equilibrium": ""}, TypeError,
     "argument 'width': no"),
    # Texts with a NUL character come through whole.
    ("harmonic_oscillator", {"time": NUL_NAMED()}, TypeError,
     "argument 'time': 'Nul\x00Named' object cannot be converted to 'PyArray<T, D>'"),
    ("harmonic_oscillator", {"phi": Hook(lambda: raising(TypeError("a\x00b")))}, TypeError, "argument 'phi': a\x00b"),
])
def test_conversion_errors(name, changes, kind, message):
    with pytest.raises(BaseException) as caught:
        getattr(vuvirida, name)(*arguments(name, **changes))
    assert type(caught.value) is kind and str(caught.value) == message


@pytest.mark.parametrize("cause", [None, KeyError("k")])
def test_errors_raised_by_float_conversion(cause):
    inner, other = TypeError("inner"), ValueError("passes unchanged")
    inner.__cause__ = cause
    with pytest.raises(TypeError, match=r"^argument 'gamma': inner$") as caught:
        vuvirida.harmonic_oscillator(*arguments("harmonic_oscillator", gamma=Hook(lambda: raising(inner))))
    assert caught.value.__cause__ is cause and caught.value.__suppress_context__ is True
    with pytest.raises(ValueError) as caught:
        vuvirida.pseudo_cycloid_wave(*arguments("pseudo_cycloid_wave", phi=Hook(lambda: raising(other))))
    assert caught.value is other


def test_harmonic_count_takes_bools_and_the_whole_unsigned_range():
    fn, args = vuvirida.fourier_square_wave, arguments("fourier_square_wave")[:-1]
    assert_same(fn(*args, True), fn(*args, 1))
    assert fn(np.empty(0), *args[1:], 2**64 - 1).shape == (0,)


def test_keyword_name_that_is_not_a_string():
    # Python syntax cannot pass one; the vectorcall protocol can.
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype, call.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t,
                                                     ctypes.py_object]
    args = (T, 1.0, 2.0, 3.0, 4.0, 5.0)
    vector = (ctypes.py_object * 6)(*args)
    with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'PyString'$"):
        call(vuvirida.transient_impulse, ctypes.addressof(vector), 5, (7,))
