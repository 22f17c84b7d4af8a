# Python code that runs in the middle of a call: an argument's hook or a
# signal handler that changes `time`, a handler that raises or returns, and
# Ctrl-C in a long call. Handlers run on the main thread, where pytest runs
# the tests.
import select
import signal
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest
import vuvirida

from conftest import ROUNDINGS, STRIDED, Peer, floating_point, in_the_call
from reference import TYPICAL, Hook, assert_same, evaluate, libm

pytestmark = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
DIMENSIONS = "argument 'time': dimensionality mismatch:\n from={}, to=1"
TYPES = "argument 'time': type mismatch:\n from={}, to=float64"


def _set(attribute, value):
    def change(t):
        with warnings.catch_warnings():  # NumPy 2.4 deprecates setting strides and dtype
            warnings.simplefilter("ignore", DeprecationWarning)
            setattr(t, attribute, value(t) if callable(value) else value)
    return change


# What the code does to `time`, and what the call then gives: an exception
# and its message, or None for the values of the array as it was left.
CHANGES = {
    "nothing": (lambda t: None, None, None),
    "int8 dtype": (_set("dtype", np.dtype(np.int8)), TypeError, TYPES.format("int8")),
    "complex dtype": (_set("dtype", np.dtype(np.complex128)), TypeError, TYPES.format("complex128")),
    "two dimensions": (_set("shape", lambda t: (2, t.size // 2)), TypeError, DIMENSIONS.format(2)),
    "no dimension": (lambda t: (t.resize(1, refcheck=False), _set("shape", ())(t)), TypeError, DIMENSIONS.format(0)),
    "strided": (_set("strides", (16,)), BaseException, STRIDED),
    "grown and freed": (lambda t: t.resize(40_000, refcheck=False), None, None),
    "shrunk": (lambda t: t.resize(3, refcheck=False), None, None),
    # Seen by every sample only when written before the computation starts.
    "rewritten": (lambda t: t.__setitem__(slice(None), 7.5), None, None),
}


@pytest.fixture
def alarm():  # installs a SIGALRM handler; the timer is stopped and the handler put back after
    previous = signal.getsignal(signal.SIGALRM)
    yield lambda handler: signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.0)
    signal.signal(signal.SIGALRM, previous)


def start_timer():  # fires a millisecond later, inside the call that converts this argument
    # (handlers start it again where a loaded machine ran it out before the call began)
    signal.setitimer(signal.ITIMER_REAL, 0.001)


# From an argument's hook, before the borrow is taken (each function, the
# scalar positions in turn); from a registry peer's acquire, after the call
# has read `time` and before the kernel starts; from a signal handler, in the
# middle of a computation that then starts again.
WAYS = [(change, name, 1 + (i + j) % len(TYPICAL[name])) for i, change in enumerate(CHANGES) if change != "nothing"
        for j, name in enumerate(TYPICAL)] + [(change, "peer", 1) for change in CHANGES if change != "nothing"] + [
        (change, "signal", 1) for change in CHANGES if change != "rewritten"]


@pytest.mark.parametrize("change, way, position", WAYS, ids=[f"{c}-{w}-{p}" for c, w, p in WAYS])
def test_code_that_changes_time_is_seen_by_the_call(registry, alarm, change, way, position):
    change, kind, message = CHANGES[change]
    size, name = {"signal": (8000, "fourier_square_wave"), "peer": (8, "harmonic_oscillator")}.get(way, (8, way))
    base = np.linspace(-4.0, 4.0, 2 * size)
    # Strides can be set on a view with room behind it; resizing needs an owner.
    t = base[:size] if kind is BaseException else base[:size].copy()
    args = [t, *TYPICAL[name]]
    if way == "signal":
        seen, args[-1] = [], 100
        alarm(lambda signum, frame: start_timer() if not in_the_call(registry, t) else (seen.append(True), change(t)))
        args[position] = Hook(start_timer, args[position])
    elif way == "peer":  # changes `time` at the first acquire only
        Peer(on_acquire=lambda changed=[]: changed or (changed.append(True), change(t)))
    else:
        args[position] = Hook(lambda: change(t), args[position])
    if kind is None:
        got = getattr(vuvirida, name)(*args)
        plain = [a.value if isinstance(a, Hook) else a for a in args[1:]]
        assert_same(got, getattr(vuvirida, name)(t, *plain) if way == "signal" else evaluate(name, t, *plain))
    else:
        with pytest.raises(BaseException) as caught:
            getattr(vuvirida, name)(*args)
        assert type(caught.value).__name__ == (kind.__name__ if kind is TypeError else "PanicException")
        assert str(caught.value) == message
    assert way != "signal" or seen == [True]


@pytest.mark.parametrize("name", TYPICAL)
def test_a_handler_that_raises_ends_the_call_and_releases_the_borrow(name, alarm, registry):
    t = np.linspace(-50.0, 50.0, 3_000_000)  # some ten milliseconds of work or more

    def interrupt(signum, frame):
        if not in_the_call(registry, t):  # a loaded machine: still in the argument's Python code
            return start_timer()
        raise KeyboardInterrupt

    alarm(interrupt)
    amplitude, *rest = TYPICAL[name]
    with pytest.raises(KeyboardInterrupt):
        getattr(vuvirida, name)(t, Hook(start_timer, amplitude), *rest)
    assert not in_the_call(registry, t)


# A handler that sets another rounding mode at a poll: the samples computed
# before it get the old mode's values and the rest the new mode's, never a
# value that neither mode gives, such as a derived value the call made once
# in the old mode (the impulse's onset (period / 24) * 2 pi, a harmonic's
# k * omega) met with the new mode's arithmetic. The parameters round those
# apart in these modes: a period of 7.75, whose onset rounds three ways, and
# omega = 2.1, whose 3 * omega and 7 * omega round up to nearest, 5 * omega down.
ROUNDED_APART = {**TYPICAL, "transient_impulse": (2.0, 7.75, 0.7, 0.25)}


@pytest.mark.parametrize("old, new", [("nearest", "upward"), ("downward", "nearest")])
@pytest.mark.parametrize("name", TYPICAL)
def test_a_handler_that_changes_the_rounding_mode(name, old, new, alarm, registry):
    base, repeats = np.linspace(-7.0, 7.0, 1000), 1000
    t = np.tile(base, repeats)  # ten milliseconds of work or more, polled every few hundred microseconds
    amplitude, *rest = ROUNDED_APART[name]
    with floating_point(rounding=new):
        after = np.tile(evaluate(name, base, amplitude, *rest), repeats).view(np.uint64)
    with floating_point(rounding=old):
        before = np.tile(evaluate(name, base, amplitude, *rest), repeats).view(np.uint64)
        seen = []

        def change(signum, frame):
            if not in_the_call(registry, t):  # a loaded machine: still in the argument's Python code
                return start_timer()
            seen.append(True)
            libm.fesetround(ROUNDINGS[new])

        alarm(change)
        got = getattr(vuvirida, name)(t, Hook(start_timer, amplitude), *rest).view(np.uint64)
    # The old mode's values on [:k] and the new mode's on [k:], for a k inside.
    old_until = np.append(np.flatnonzero(got != before), t.size)[0]
    new_from = np.append(-1, np.flatnonzero(got != after))[-1] + 1
    assert seen == [True] and 0 < new_from <= old_until < t.size, (
        f"the old mode's up to {old_until}, the new mode's from {new_from}, of {t.size}")


# Ctrl-C in calls of 15 s and of for ever: "ready" is printed as the last
# float argument is converted, just before the computation starts.
LONG_CALLS = """
import signal, numpy as np, vuvirida
signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started with Ctrl-C ignored
class Ready:
    def __float__(self):
        print("ready", flush=True)
        return 0.0
t = np.linspace(0.0, 10.0, 1000)
for harmonics in (10**6, 2**64 - 1):
    try:
        vuvirida.fourier_square_wave(t, 1.0, -0.1, 1.0, 0.0, Ready(), harmonics)
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)
"""


def test_ctrl_c_stops_a_long_call():
    def line(timeout=60):  # unbuffered, so that select() sees every line still to be read
        assert select.select([child.stdout], [], [], timeout)[0], "no line came"
        return child.stdout.readline().decode()

    with subprocess.Popen([sys.executable, "-c", LONG_CALLS], stdout=subprocess.PIPE, bufsize=0) as child:
        try:
            for _ in range(2):
                assert line() == "ready\n"
                time.sleep(0.1)
                sent = time.monotonic()
                child.send_signal(signal.SIGINT)
                assert line(30) == "KeyboardInterrupt\n"
                assert time.monotonic() - sent < 5.0  # a poll is due every few milliseconds
            assert child.wait(timeout=60) == 0
        finally:
            child.kill()
