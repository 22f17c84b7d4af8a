# Aborts, NumPy's API table, the borrow registry the module shares through NumPy,
# and behaviour that needs a fresh interpreter (whose scripts import this file).
import ctypes
import importlib
import os
import re
import subprocess
import sys
import types
import warnings
from ctypes import c_char_p, c_int, c_size_t, c_uint64, c_void_p, py_object

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
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


ATTRIBUTE = "_vuvirida_borrow_registry"
OWNED = {}  # tables by the address of the capsule that owns them
# A capsule's destructor frees its table, as another extension's would.
DROP_TABLE = ctypes.PYFUNCTYPE(None, c_void_p)(lambda capsule: OWNED.pop(capsule))


def make_registry(version=1, acquire=lambda *a: 0, release=lambda *a: None, null=()):
    entries = {"acquire_shared": RANGE(acquire), "acquire_writeable": RANGE(acquire),
               "release_shared": RELEASE(release), "release_writeable": RELEASE(release)}
    entries.update({name: type(entries[name])() for name in null})  # null function pointers
    table = BorrowTable(version, None, **entries)
    capsule = API.PyCapsule_New(ctypes.addressof(table), CAPSULE, ctypes.cast(DROP_TABLE, c_void_p))
    OWNED[id(capsule)] = table
    return capsule


def install_registry(version=1, acquire=lambda *a: 0, release=lambda *a: None, null=(), where=MULTIARRAY):
    setattr(where, ATTRIBUTE, make_registry(version, acquire, release, null))


def table_of(capsule):
    return BorrowTable.from_address(API.PyCapsule_GetPointer(capsule, CAPSULE))


class Peer:
    """Another extension's registry, installed at once, recording the calls it gets."""

    def __init__(self, on_acquire=lambda: None, answer=0, where=MULTIARRAY):
        self.calls = []

        def acquire(state, begin, end):
            self.calls.append(("acquire", begin, end))
            on_acquire()
            return answer

        install_registry(acquire=acquire, release=lambda s, b, e: self.calls.append(("release", b, e)),
                         where=where)


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
    own = getattr(MULTIARRAY, ATTRIBUTE)
    yield table_of(own)
    setattr(MULTIARRAY, ATTRIBUTE, own)  # adopted again at the next borrow


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


def overlapping(begin, end, held):  # an empty range overlaps nothing
    return begin < end and any(b < e and b < end and begin < e for b, e in held)


# Short byte ranges far below any array's memory, so that the module's own borrows never meet them.
RANGES = st.tuples(st.integers(0, 24), st.integers(-1, 8)).map(lambda r: (r[0], max(0, r[0] + r[1])))
# Probes take a writeable borrow and give it back at once.
ACTIONS = ["acquire_shared"] * 3 + ["release_shared"] * 2 + ["acquire_writeable", "release_writeable", "probe"] * 1
PROBES = [(begin, begin + length) for begin in range(34) for length in range(1, 9)]
STEPS = st.lists(st.tuples(st.sampled_from(ACTIONS), RANGES), max_size=80)


@settings(max_examples=300, deadline=None)
@given(STEPS, st.data())
def test_own_registry_against_a_brute_force_model(steps, data):
    oscillate(np.zeros(1))
    table = table_of(getattr(MULTIARRAY, ATTRIBUTE))
    held = {"shared": [], "writeable": []}  # ranges held, once per borrow
    try:
        for action, (begin, end) in steps:
            verb, _, kind = action.partition("_")
            if verb == "release" and held[kind] and data.draw(st.booleans()):
                begin, end = data.draw(st.sampled_from(held[kind]))  # mostly releases of held borrows
            if verb == "release":
                getattr(table, action)(table.state, begin, end)
                if (begin, end) in held[kind]:
                    held[kind].remove((begin, end))
                continue
            kind = kind or "writeable"
            code = getattr(table, "acquire_" + kind)(table.state, begin, end)
            refused = overlapping(begin, end, held["writeable"] + (held["shared"] if kind == "writeable" else []))
            if code == 0 and begin < end:  # taken, even if wrongly: released at the end
                held[kind].append((begin, end))
            assert code == (-1 if refused else 0), (action, begin, end)
            if verb == "probe" and code == 0 and begin < end:
                table.release_writeable(table.state, begin, end)
                held[kind].pop()
        for begin, end in PROBES:  # every short range, as each borrow kind, against what is held
            for kind, blocking in (("shared", held["writeable"]), ("writeable", held["writeable"] + held["shared"])):
                code = getattr(table, "acquire_" + kind)(table.state, begin, end)
                if code == 0:
                    getattr(table, "release_" + kind)(table.state, begin, end)
                assert code == -overlapping(begin, end, blocking), (kind, begin, end)
    finally:
        for kind, ranges in held.items():
            for begin, end in ranges:
                getattr(table, "release_" + kind)(table.state, begin, end)
    assert table.acquire_writeable(table.state, 0, 64) == 0  # nothing is left behind
    table.release_writeable(table.state, 0, 64)


def test_a_table_installed_later_is_adopted_and_a_deleted_one_replaced_by_the_own(registry):
    t = np.linspace(0.0, 1.0, 8)
    want, peer = evaluate("harmonic_oscillator", t, *OSCILLATOR), Peer()
    assert_same(oscillate(t), want)
    assert peer.calls == [("acquire", *span(t)), ("release", *span(t))]
    Peer(answer=-1)  # holds a writeable borrow of everything
    assert panic_of(lambda: oscillate(t)).args == (UNWRAP + "AlreadyBorrowed",)
    delattr(MULTIARRAY, ATTRIBUTE)
    assert_same(oscillate(t), want)
    assert ctypes.addressof(table_of(getattr(MULTIARRAY, ATTRIBUTE))) == ctypes.addressof(registry)


# What a peer does to the attribute from inside its own acquire, dropping the
# last reference to its capsule (which frees its table), and what the next call
# then meets.
CHANGES = {"replaced": (lambda: install_registry(), None),
           "deleted": (lambda: delattr(MULTIARRAY, ATTRIBUTE), None),
           "replaced by an object": (lambda: setattr(MULTIARRAY, ATTRIBUTE, object()),
                                     "the registry attribute is not a borrow registry capsule")}


@pytest.mark.parametrize("change, then", CHANGES.values(), ids=CHANGES)
def test_a_borrow_is_released_through_its_own_table_whatever_the_attribute_becomes(registry, change, then):
    t = np.linspace(0.0, 1.0, 8)
    want, peer = evaluate("harmonic_oscillator", t, *OSCILLATOR), Peer(on_acquire=change)
    assert_same(oscillate(t), want)
    assert peer.calls == [("acquire", *span(t)), ("release", *span(t))]
    if then is None:
        assert_same(oscillate(t), want)
        assert len(peer.calls) == 2
    else:
        assert panic_of(lambda: oscillate(t)).args == ("Interal borrow checking API error: " + then,)


# Tables set up wrong, and what a call then meets (None: the call works, as
# the module calls only the shared entries).
TABLES = {"version 2": ({"version": 2}, "the registry has version 2, this module uses version 1"),
          "null acquire_shared": ({"null": ["acquire_shared"]}, "the registry's acquire_shared entry is null"),
          "null release_shared": ({"null": ["release_shared"]}, "the registry's release_shared entry is null"),
          "null acquire_writeable": ({"null": ["acquire_writeable"]}, None),
          "null release_writeable": ({"null": ["release_writeable"]}, None)}


@pytest.mark.parametrize("in_place", [False, True], ids=["installed", "changed in place"])
@pytest.mark.parametrize("fields, message", TABLES.values(), ids=TABLES)
def test_a_table_is_checked_at_every_borrow(registry, fields, message, in_place):
    t = np.linspace(0.0, 1.0, 8)
    if in_place:
        install_registry()
        assert_same(oscillate(t), evaluate("harmonic_oscillator", t, *OSCILLATOR))
        table = table_of(getattr(MULTIARRAY, ATTRIBUTE))
        table.version = fields.get("version", 1)
        for name in fields.get("null", []):
            setattr(table, name, type(getattr(table, name))())
    else:
        install_registry(**fields)
    for _ in range(2):
        if message is None:
            assert_same(oscillate(t), evaluate("harmonic_oscillator", t, *OSCILLATOR))
        else:
            assert panic_of(lambda: oscillate(t)).args == ("Interal borrow checking API error: " + message,)


class Colliding:
    """A key of the NumPy module's namespace that Python code compares with the attribute's name."""

    def __init__(self, raising):
        self.raising = raising

    def __hash__(self):
        return hash(ATTRIBUTE)

    def __eq__(self, other):
        raise self.raising


@pytest.mark.parametrize("raising", [KeyboardInterrupt(), SystemExit(3), ValueError("no")], ids=lambda e: type(e).__name__)
def test_an_exception_raised_while_the_registry_is_looked_up(registry, raising):
    t = np.linspace(0.0, 1.0, 8)
    delattr(MULTIARRAY, ATTRIBUTE)
    vars(MULTIARRAY)[key := Colliding(raising)] = None
    try:
        with pytest.raises(BaseException) as caught:
            oscillate(t)
    finally:
        del vars(MULTIARRAY)[key]
    if isinstance(raising, Exception):  # the registry cannot be used
        assert caught.value.args == ("Interal borrow checking API error: the registry attribute cannot be read",)
    else:  # the caller's, unchanged
        assert caught.value is raising
    assert_same(oscillate(t), evaluate("harmonic_oscillator", t, *OSCILLATOR))


class WarningModule(types.ModuleType):
    """A module whose __getattr__ warns, as NumPy 2's compatibility module does, then raises."""

    def __getattr__(self, name):
        warnings.warn(f"{name} is deprecated", DeprecationWarning)
        raise KeyboardInterrupt


# Reading the attribute must run no module __getattr__ (that of NumPy 2's
# compatibility module would find a table installed on numpy._core.multiarray,
# and warn): the module installs its own table instead.
@pytest.mark.parametrize("numpy_core", [True, False], ids=["numpy._core.multiarray", "module __getattr__"])
def test_the_attribute_is_read_without_module_getattr(registry, numpy_core):
    t, kind, peer = np.linspace(0.0, 1.0, 8), type(MULTIARRAY), None
    delattr(MULTIARRAY, ATTRIBUTE)
    if numpy_core:
        core = importlib.import_module("numpy._core.multiarray" if np.__version__ >= "2" else "numpy.core.multiarray")
        if core is MULTIARRAY:
            pytest.skip("NumPy 1 has no compatibility module")
        peer = Peer(where=core)
    else:
        MULTIARRAY.__class__ = WarningModule
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert_same(oscillate(t), evaluate("harmonic_oscillator", t, *OSCILLATOR))
    finally:
        MULTIARRAY.__class__ = kind
        if peer:
            delattr(core, ATTRIBUTE)
    assert (peer is None or peer.calls == []) and table_of(getattr(MULTIARRAY, ATTRIBUTE)).state == registry.state


def unusable_registry(install, message):  # installed before the first call; every call aborts
    return (f"from test_runtime import *\nimport re\n{install}\nfor _ in range(2):\n"
            f"    text = panic_of(lambda: oscillate(np.zeros(3))).args[0]\n"
            f"    assert re.fullmatch({message!r}, text, re.S), text\n")


SCRIPTS = {
    "registry not a capsule": unusable_registry(
        "MULTIARRAY._vuvirida_borrow_registry = object()",
        re.escape("Interal borrow checking API error: the registry attribute is not a borrow registry capsule")),
    "registry of version 2": unusable_registry(
        "install_registry(2)",
        re.escape("Interal borrow checking API error: the registry has version 2, this module uses version 1")),
    "registry returning 7": unusable_registry("install_registry(1, lambda *a: 7)",
                                              "Unexpected return code 7 from borrow checking API"),
    # Each replacement frees the table before, which only its borrows may still use.
    "registry replaced and deleted after the first borrow": """from test_runtime import *
first = Peer()
oscillate(np.zeros(3))
second = Peer()
oscillate(t := np.zeros(3))
delattr(MULTIARRAY, ATTRIBUTE)
oscillate(t)
assert len(first.calls) == len(second.calls) == 2 and first.calls[0][0] == "acquire"
assert table_of(getattr(MULTIARRAY, ATTRIBUTE)).state  # the module's own, again
""",
    # A colliding key's __eq__ runs inside the borrow's lookup; it frees the
    # float64 descriptor of `time` and makes a narrower one, likely at the same
    # address, then shrinks the memory in place to that dtype's size.
    "descriptor freed and its address reused during the borrow": """from test_runtime import *
n = 1 << 22
oscillate(np.zeros(1))
for narrow in ("i4", "i8"):
    t = np.zeros(n).astype(np.dtype("f8", metadata={"m": 1}))
    class Colliding:
        def __hash__(self):
            return hash(ATTRIBUTE)
        def __eq__(self, other):
            if t.dtype.kind == "f":
                t.dtype = np.float64
                t.dtype = np.dtype(narrow, metadata={"x": 1})
                t.resize(n, refcheck=False)
            return False
    delattr(MULTIARRAY, ATTRIBUTE)
    vars(MULTIARRAY)[key := Colliding()] = None
    with pytest.raises(TypeError) as caught:
        vuvirida.pseudo_square_wave(t, *OSCILLATOR)
    del vars(MULTIARRAY)[key]
    assert str(caught.value) == f"argument 'time': type mismatch:\\n from={t.dtype}, to=float64"
""",
    # Refused before the once flag is set, so that the main interpreter can
    # still import it.
    "import in a sub-interpreter first": """import importlib.util
name = next((n for n in ("_interpreters", "_xxsubinterpreters") if importlib.util.find_spec(n)), None)
if name:
    si = importlib.import_module(name)
    run, sub = getattr(si, "exec", None) or si.run_string, si.create()
    try:
        failure = str(run(sub, "import vuvirida"))
    except Exception as error:
        failure = str(error)
    assert "ImportError" in failure, failure  # CPython 3.13 words the refusal its own way
import numpy as np, vuvirida
assert vuvirida.harmonic_oscillator(np.array([0.0]), 2.0, 0.0, 0.0, 0.0, 1.0).tolist() == [3.0]
""",
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
