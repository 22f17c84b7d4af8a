# Arrays the module refuses to read, and the borrow registry the module
# shares with other extensions through NumPy's module.
import ctypes
import importlib
import types
import warnings

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
import vuvirida

from conftest import (ATTRIBUTE, MULTIARRAY, OSCILLATOR, STRIDED, UNWRAP, Peer, in_the_call, install_registry,
                      oscillate, panic_of, span, table_of)
from reference import TYPICAL, assert_same, evaluate

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
    assert all(type(e) is kind and e.args == (STRIDED,) for e in errors)
    t = np.arange(10.0)
    assert_same(oscillate(t), evaluate("harmonic_oscillator", t, *OSCILLATOR))


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
    kind = ("writeable", "shared")[shared]
    assert getattr(registry, "acquire_" + kind)(registry.state, begin, end) == 0
    try:
        if overlaps and not shared:
            assert panic_of(lambda: oscillate(t)).args == (UNWRAP + "AlreadyBorrowed",)
        else:  # shared borrows coexist with the module's own
            assert_same(oscillate(t), want)
    finally:
        getattr(registry, "release_" + kind)(registry.state, begin, end)
    assert_same(oscillate(t), want)


def overlapping(begin, end, held):  # an empty range overlaps nothing
    return begin < end and any(b < e and b < end and begin < e for b, e in held)


# Short byte ranges far below any array's memory, so that the module's own borrows never meet them.
RANGES = st.tuples(st.integers(0, 24), st.integers(-1, 8)).map(lambda r: (r[0], max(0, r[0] + r[1])))
# Probes take a writeable borrow and give it back at once.
ACTIONS = ["acquire_shared"] * 3 + ["release_shared"] * 2 + ["acquire_writeable", "release_writeable", "probe"]
PROBES = [(begin, begin + length) for begin in range(34) for length in range(1, 9)]


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(ACTIONS), RANGES), max_size=80), st.data())
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


class Colliding:
    """A key of NumPy's module namespace that is compared with the attribute's name."""

    def __init__(self, raising):
        self.raising = raising

    def __hash__(self):
        return hash(ATTRIBUTE)

    def __eq__(self, other):
        raise self.raising


class WarningModule(types.ModuleType):
    """A module whose __getattr__ warns, as NumPy 2's compatibility module does, then raises."""

    def __getattr__(self, name):
        warnings.warn(f"{name} is deprecated", DeprecationWarning)
        raise KeyboardInterrupt


def colliding(raising):
    def setup(undo):
        delattr(MULTIARRAY, ATTRIBUTE)
        vars(MULTIARRAY)[key := Colliding(raising)] = None
        undo.append(lambda: vars(MULTIARRAY).pop(key))
    return setup


def peer_on_numpy_core(undo):  # NumPy 2 only: a table on numpy._core.multiarray, which is not read
    core = importlib.import_module("numpy._core.multiarray" if np.__version__ >= "2" else "numpy.core.multiarray")
    if core is MULTIARRAY:
        pytest.skip("NumPy 1 has no compatibility module")
    delattr(MULTIARRAY, ATTRIBUTE)
    undo.append(lambda: delattr(core, ATTRIBUTE))
    return Peer(where=core)


def warning_getattr(undo):  # reading the attribute must run no module __getattr__
    delattr(MULTIARRAY, ATTRIBUTE)
    MULTIARRAY.__class__ = WarningModule
    undo.append(lambda: setattr(MULTIARRAY, "__class__", types.ModuleType))


def changed_in_place(version=1, null=()):  # a table that worked, then changed where it lies
    def setup(undo):
        install_registry()
        oscillate(np.zeros(1))
        table = table_of(getattr(MULTIARRAY, ATTRIBUTE))
        table.version = version
        for name in null:
            setattr(table, name, type(getattr(table, name))())
    return setup


OWN, CALLS = "own", [("acquire",), ("release",)]  # after the calls: the own table is back; what a peer saw
ERROR = "Interal borrow checking API error: "
# What is set up before the module borrows `time` twice: each call's outcome
# (None for the right values, a str for the abort's message, an exception for
# itself, raised unchanged), and what holds after.
REGISTRY_CASES = {
    "installed later": (lambda undo: Peer(), [None, None], CALLS * 2),
    "refusing every borrow": (lambda undo: Peer(answer=-1), [UNWRAP + "AlreadyBorrowed"] * 2, None),
    "returning 7": (lambda undo: Peer(answer=7), ["Unexpected return code 7 from borrow checking API"] * 2, None),
    "deleted": (lambda undo: delattr(MULTIARRAY, ATTRIBUTE), [None, None], OWN),
    "not a capsule": (lambda undo: setattr(MULTIARRAY, ATTRIBUTE, object()),
                      [ERROR + "the registry attribute is not a borrow registry capsule"] * 2, None),
    # A peer's own acquire changes the attribute, dropping the last reference
    # to its capsule (which frees its table); the borrow must still be
    # released through that table.
    "replaced by its own peer": (lambda undo: Peer(on_acquire=install_registry), [None, None], CALLS),
    "deleted by its own peer": (lambda undo: Peer(on_acquire=lambda: delattr(MULTIARRAY, ATTRIBUTE)),
                                [None, None], CALLS),
    "replaced by an object by its own peer": (
        lambda undo: Peer(on_acquire=lambda: setattr(MULTIARRAY, ATTRIBUTE, object())),
        [None, ERROR + "the registry attribute is not a borrow registry capsule"], CALLS),
    # A table is checked at every borrow, whether installed so or changed in
    # place; the module calls only its shared entries.
    **{f"{what} {how}": (make(**fields), [message and ERROR + message] * 2, None)
       for what, fields, message in [
           ("version 2", {"version": 2}, "the registry has version 2, this module uses version 1"),
           ("null acquire_shared", {"null": ["acquire_shared"]}, "the registry's acquire_shared entry is null"),
           ("null release_shared", {"null": ["release_shared"]}, "the registry's release_shared entry is null"),
           ("null acquire_writeable", {"null": ["acquire_writeable"]}, None),
           ("null release_writeable", {"null": ["release_writeable"]}, None)]
       for how, make in [("installed", lambda **f: lambda undo: install_registry(**f)),
                         ("changed in place", changed_in_place)]},
    # Python code run by the lookup: what is not an ordinary Exception passes unchanged.
    **{f"lookup raising {type(e).__name__}": (colliding(e), [e], None)
       for e in [KeyboardInterrupt(), SystemExit(3)]},
    "lookup raising ValueError": (colliding(ValueError("no")), [ERROR + "the registry attribute cannot be read"], None),
    "a table on numpy._core.multiarray": (peer_on_numpy_core, [None], []),
    "a module __getattr__ that warns": (warning_getattr, [None], OWN),
}


@pytest.mark.parametrize("setup, outcomes, after", REGISTRY_CASES.values(), ids=REGISTRY_CASES)
def test_registry_faults(registry, setup, outcomes, after):
    t, undo = np.linspace(0.0, 1.0, 8), []
    want = evaluate("harmonic_oscillator", t, *OSCILLATOR)
    try:
        peer = setup(undo)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for outcome in outcomes:
                if outcome is None:
                    assert_same(oscillate(t), want)
                elif isinstance(outcome, str):
                    assert panic_of(lambda: oscillate(t)).args == (outcome,)
                else:
                    with pytest.raises(BaseException) as caught:
                        oscillate(t)
                    assert caught.value is outcome
        if after == OWN:
            assert ctypes.addressof(table_of(getattr(MULTIARRAY, ATTRIBUTE))) == ctypes.addressof(registry)
        elif after is not None:
            assert peer.calls == [(call, *span(t)) for call, in after]
    finally:
        for step in undo:
            step()
    if hasattr(MULTIARRAY, ATTRIBUTE):
        delattr(MULTIARRAY, ATTRIBUTE)  # the own table comes back, with no borrow left behind
    assert_same(oscillate(t), want)
    assert not in_the_call(registry, t)
