# Aborts, NumPy's API table, the borrow registry the module shares through NumPy,
# and behaviour that needs a fresh interpreter (whose scripts import this file).
import ctypes
import importlib
import os
import subprocess
import sys
from ctypes import c_char_p, c_int, c_size_t, c_uint64, c_void_p, py_object

import numpy as np
import pytest
import vuvirida

from reference import TYPICAL, assert_same, evaluate

CAPSULE, OSCILLATOR = b"vuvirida.borrow_registry", TYPICAL["harmonic_oscillator"]
UNWRAP = "called `Result::unwrap()` on an `Err` value: "
# PYFUNCTYPE keeps the interpreter lock held, as the registry expects of its callers.
RANGE, RELEASE = (ctypes.PYFUNCTYPE(r, c_void_p, c_size_t, c_size_t) for r in (c_int, None))
API = ctypes.pythonapi
API.PyCapsule_GetPointer.restype, API.PyCapsule_GetPointer.argtypes = c_void_p, [py_object, c_char_p]
API.PyCapsule_New.restype, API.PyCapsule_New.argtypes = py_object, [c_void_p, c_char_p, c_void_p]


class BorrowTable(ctypes.Structure):
    _fields_ = [("version", c_uint64), ("state", c_void_p), ("acquire_shared", RANGE),
                ("acquire_writeable", RANGE), ("release_shared", RELEASE), ("release_writeable", RELEASE)]


MULTIARRAY = importlib.import_module("numpy.core.multiarray")  # where the module looks first for `_ARRAY_API`


ALIVE = []  # tables that capsules point to, kept for the life of the process


def install_registry(version, acquire, release=lambda *a: None):
    ALIVE.append(BorrowTable(version, None, *map(RANGE, [acquire] * 2), *map(RELEASE, [release] * 2)))
    MULTIARRAY._vuvirida_borrow_registry = API.PyCapsule_New(ctypes.addressof(ALIVE[-1]), CAPSULE, None)


def span(a):  # the byte range of a contiguous array
    return a.ctypes.data, a.ctypes.data + a.nbytes


def oscillate(t):
    return vuvirida.harmonic_oscillator(t, *OSCILLATOR)


def panic_of(call):
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value).__name__ == "PanicException" and not isinstance(caught.value, Exception)
    return caught.value


as_strided = np.lib.stride_tricks.as_strided
NOT_CONTIGUOUS = {"step 2": lambda: np.arange(10.0)[::2], "reversed": lambda: np.arange(10.0)[::-1],
                  # Strides whose span overflows the address space; no sample is ever read.
                  "huge strides": lambda: as_strided(np.zeros(2), (2**40,), (2**40,)),
                  "huge negative strides": lambda: as_strided(np.zeros(2), (2**40,), (-(2**40),))}


@pytest.mark.parametrize("make", NOT_CONTIGUOUS.values(), ids=NOT_CONTIGUOUS)
def test_strided_time_aborts_and_the_next_call_works(make):
    strided = make()
    errors = [panic_of(lambda: getattr(vuvirida, name)(strided, *TYPICAL[name])) for name in TYPICAL]
    kind = type(errors[0])
    assert (kind.__module__, kind.__bases__) == ("pyo3_runtime", (BaseException,))
    assert kind not in vars(vuvirida).values()
    assert all(type(e) is kind and e.args == (UNWRAP + "NotContiguousError",) for e in errors)
    t = np.arange(10.0)
    assert_same(oscillate(t), evaluate("harmonic_oscillator", t, *OSCILLATOR))


def test_numpy_api_table_entries_the_module_uses():
    table = (c_void_p * 200).from_address(API.PyCapsule_GetPointer(MULTIARRAY._ARRAY_API, None))
    assert table[2] == id(np.ndarray)
    float64 = ctypes.PYFUNCTYPE(py_object, c_int)(table[45])(12)
    assert float64 == np.dtype(np.float64) and float64.isnative
    equiv = ctypes.PYFUNCTYPE(ctypes.c_ubyte, py_object, py_object)(table[182])
    assert [equiv(float64, np.dtype(d)) for d in ("f8", "<f8", "f4", ">f8", "i8")] == [1, 1, 0, 0, 0]
    new = ctypes.PYFUNCTYPE(py_object, c_void_p, c_void_p, c_int, *[c_void_p] * 3, c_int, c_void_p)(table[94])
    dims = (ctypes.c_ssize_t * 1)(5)
    API.Py_IncRef(py_object(float64))  # the call steals a reference
    array = new(id(np.ndarray), id(float64), 1, ctypes.addressof(dims), None, None, 0, None)
    assert type(array) is np.ndarray and array.shape == (5,) and array.dtype == np.float64 and array.flags.owndata


@pytest.fixture
def registry():
    oscillate(np.zeros(1))  # the first borrow installs the module's own registry
    return BorrowTable.from_address(API.PyCapsule_GetPointer(MULTIARRAY._vuvirida_borrow_registry, CAPSULE))


# Someone else borrows b[16:32] while the module reads each view.
VIEWS = {"same": (lambda b: b[16:32], True), "inside": (lambda b: b[20:24], True), "enclosing": (lambda b: b, True),
         "head overlaps": (lambda b: b[:17], True), "tail overlaps": (lambda b: b[31:], True),
         "just before": (lambda b: b[:16], False), "just after": (lambda b: b[32:], False),
         "other array": (lambda b: b.copy(), False),
         # Empty, with its data pointer inside the borrow: it reads no memory.
         "empty inside": (lambda b: b[20:21][:0], False)}


@pytest.mark.parametrize("view, overlaps", VIEWS.values(), ids=VIEWS)
@pytest.mark.parametrize("shared", [False, True], ids=["writeable", "shared"])
def test_borrows_held_by_others(registry, view, overlaps, shared):
    base = np.linspace(0.0, 1.0, 64)
    t, (begin, end) = view(base), span(base[16:32])
    want = evaluate("harmonic_oscillator", t, *OSCILLATOR)
    oscillate(base), panic_of(lambda: oscillate(base[::2]))  # each call must release its own borrow
    acquire, release = ((registry.acquire_writeable, registry.release_writeable),
                        (registry.acquire_shared, registry.release_shared))[shared]
    assert acquire(registry.state, begin, end) == 0
    try:
        if overlaps and not shared:
            assert panic_of(lambda: oscillate(t)).args == (UNWRAP + "AlreadyBorrowed",)
        else:  # shared borrows coexist with the module's own
            assert_same(oscillate(t), want)
    finally:
        release(registry.state, begin, end)
    assert_same(oscillate(t), want)


def unusable_registry(install, message):  # installed before the first call; every call aborts
    return (f"from test_runtime import *\nimport re\n{install}\nfor _ in range(2):\n"
            f"    text = panic_of(lambda: oscillate(np.zeros(3))).args[0]\n"
            f"    assert re.fullmatch({message!r}, text, re.S), text\n")


SCRIPTS = {
    "registry not a capsule": unusable_registry("MULTIARRAY._vuvirida_borrow_registry = object()",
                                                "Interal borrow checking API error.*"),
    "registry of version 2": unusable_registry("install_registry(2, lambda *a: 0)",
                                               "Interal borrow checking API error.*"),
    "registry returning 7": unusable_registry("install_registry(1, lambda *a: 7)",
                                              "Unexpected return code 7 from borrow checking API"),
    "second initialisation": """import numpy as np, pytest, vuvirida
del sys.modules["vuvirida"]
with pytest.raises(ImportError, match="^PyO3 modules may only be initialized once per interpreter process$"):
    import vuvirida as again
assert vuvirida.harmonic_oscillator(np.array([0.0]), 2.0, 0.0, 0.0, 0.0, 1.0).tolist() == [3.0]
""",
}


@pytest.mark.parametrize("script", SCRIPTS.values(), ids=SCRIPTS)
def test_in_a_fresh_interpreter(script):
    head = f"import sys\nsys.path.insert(0, {os.path.dirname(__file__)!r})\n"
    done = subprocess.run([sys.executable, "-c", head + script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
