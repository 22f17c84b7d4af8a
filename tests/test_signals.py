# Signals during a call: Ctrl-C ends a long call with KeyboardInterrupt, a
# handler that returns lets it go on, and a handler that changes `time` is
# seen. Handlers run on the main thread, where pytest runs the tests.
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import vuvirida

from reference import TYPICAL, assert_same
from test_runtime import registry, span  # noqa: F401 (a fixture)

pytestmark = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")

LONG_CALL = """
import numpy as np, sys, time, vuvirida
t = np.linspace(0.0, 10.0, 1000)
print("ready", flush=True)
try:
    vuvirida.fourier_square_wave(t, 1.0, -0.1, 1.0, 0.0, 0.0, int(sys.argv[1]))
except KeyboardInterrupt:
    print("KeyboardInterrupt", flush=True)
"""


@pytest.mark.parametrize("harmonics", [10**6, 2**64 - 1])  # 15 s, and for ever
def test_ctrl_c_stops_a_long_call(harmonics):
    child = subprocess.Popen([sys.executable, "-c", LONG_CALL, str(harmonics)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        assert child.stdout.readline() == "KeyboardInterrupt\n"
        assert time.monotonic() - sent < 5.0  # a poll is due every few milliseconds
        assert child.wait(timeout=60) == 0
    finally:
        child.kill()


class Timer:  # a valid scalar whose conversion starts the timer, so that it fires inside the call
    def __init__(self, value, delay, interval=0.0):
        self.value, self.delay, self.interval = value, delay, interval

    def __float__(self):
        signal.setitimer(signal.ITIMER_REAL, self.delay, self.interval)
        return float(self.value)


@pytest.fixture
def alarm():
    handlers = []
    previous = signal.getsignal(signal.SIGALRM)
    yield lambda handler: (handlers.append(handler), signal.signal(signal.SIGALRM, handler))
    signal.setitimer(signal.ITIMER_REAL, 0.0)
    signal.signal(signal.SIGALRM, previous)


def timed_call(name, t, delay, interval=0.0):  # the timer starts as the amplitude is converted
    amplitude, *rest = TYPICAL[name]
    return getattr(vuvirida, name)(t, Timer(amplitude, delay, interval), *rest)


def in_the_call(registry, t):  # noqa: F811
    """Whether the call holds its borrow of `t`, as seen from a signal handler."""
    code = registry.acquire_writeable(registry.state, *span(t))
    if code == 0:
        registry.release_writeable(registry.state, *span(t))
    return code == -1


@pytest.mark.parametrize("name", TYPICAL)
def test_a_handler_that_raises_ends_the_call_and_releases_the_borrow(name, alarm, registry):  # noqa: F811
    t = np.linspace(-50.0, 50.0, 3_000_000)  # some ten milliseconds of work or more
    seen = []

    def interrupt(signum, frame):
        seen.append(in_the_call(registry, t))
        raise KeyboardInterrupt

    alarm(interrupt)
    with pytest.raises(KeyboardInterrupt):
        timed_call(name, t, 0.001)
    assert seen == [True] and not in_the_call(registry, t)


def test_a_handler_that_returns_lets_the_call_go_on(alarm, registry):  # noqa: F811
    t = np.linspace(-5.0, 5.0, 200)
    seen = []
    alarm(lambda signum, frame: seen.append(in_the_call(registry, t)))
    args = (1.0, -0.1, 1.0, 0.3, 0.5, 20_000)
    want = vuvirida.fourier_square_wave(t, *args)
    got = vuvirida.fourier_square_wave(t, Timer(1.0, 0.001, 0.001), *args[1:])
    signal.setitimer(signal.ITIMER_REAL, 0.0)
    assert True in seen
    assert_same(got, want)


@pytest.mark.parametrize("change, error", [
    (lambda t: setattr(t, "shape", (2, t.size // 2)), "argument 'time': dimensionality mismatch:\n from=2, to=1"),
    (lambda t: t.resize(t.size + 7, refcheck=False), None),  # the call starts again on the new samples
])
def test_a_handler_that_changes_time_is_seen_by_the_call(alarm, change, error):
    t = np.linspace(-5.0, 5.0, 200).copy()  # an owner, which may be resized
    alarm(lambda signum, frame: change(t))
    args = (1.0, -0.1, 1.0, 0.3, 0.5, 20_000)
    if error:
        with pytest.raises(TypeError) as caught:
            vuvirida.fourier_square_wave(t, Timer(1.0, 0.001), *args[1:])
        assert str(caught.value) == error
    else:
        got = vuvirida.fourier_square_wave(t, Timer(1.0, 0.001), *args[1:])
        assert got.shape == (207,)
        assert_same(got, vuvirida.fourier_square_wave(t, *args))
