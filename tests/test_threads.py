# Calls from many threads at once. With the GIL they take turns; on a free-
# threaded build they run side by side, and so do the borrow registry's
# callers. Either way every value must be the one a lone call gives, and the
# registry must refuse and grant exactly as it would one call at a time.
import concurrent.futures
import os
import subprocess
import sys
import threading

import numpy as np
import pytest
import vuvirida

from conftest import UNWRAP, in_the_call, install_registry, oscillate, span
from reference import TYPICAL, assert_same

FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)()
# Calls per calling thread; CI's free-threaded stage runs more.
CALLS = int(os.environ.get("VUVIRIDA_STRESS_CALLS", "1500"))


def test_importing_the_module_leaves_the_gil_as_it_was():
    # A module that declares nothing turns the GIL back on for the whole
    # process when a free-threaded interpreter imports it, with a warning.
    script = ("import sys, warnings; warnings.simplefilter('error')\n"
              "gil = getattr(sys, '_is_gil_enabled', lambda: True)\n"
              "before = gil(); import vuvirida; print(before, gil())")
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    before, after = done.stdout.split()
    assert after == before


def test_two_shared_borrows_of_one_time_at_once(registry):
    # A peer hands each borrow on to the module's own table and holds both
    # calls there until both hold theirs: a writeable borrow is then refused.
    t, both, writeable = np.linspace(-1.0, 1.0, 1000), threading.Barrier(2, timeout=60), []
    want = oscillate(t)

    def acquire(state, begin, end):
        code = registry.acquire_shared(registry.state, begin, end)
        both.wait()
        writeable.append(registry.acquire_writeable(registry.state, begin, end))
        if writeable[-1] == 0:
            registry.release_writeable(registry.state, begin, end)
        both.wait()
        return code

    install_registry(acquire=acquire, release=lambda state, b, e: registry.release_shared(registry.state, b, e))
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        got = list(pool.map(lambda _: oscillate(t), range(2)))
    assert writeable == [-1, -1]
    assert not in_the_call(registry, t)
    for result in got:
        assert_same(result, want)


def test_many_threads_calling_and_borrowing_at_once(registry):
    """Six threads call every function on arrays they share and on arrays of
    their own; two borrow peers take and give back writeable (and shared)
    borrows of the contested arrays meanwhile, through the module's table."""
    sizes = (0, 1, 7, 64, 1000, 20_000)
    shared = [np.linspace(-20.0, 40.0, n) for n in sizes]
    contested = [np.linspace(-5.0, 5.0, n) for n in (3, 500, 20_000)]
    names = sorted(TYPICAL)
    serial = {(name, id(t)): getattr(vuvirida, name)(t, *TYPICAL[name]).tobytes()
              for t in shared + contested for name in names}
    # Per contested array: how often a peer has taken a writeable borrow, and
    # whether one is held now.
    epochs, held = [0] * len(contested), [False] * len(contested)
    tally = {"calls": 0, "refused": 0, "wrong": 0, "inconsistent": 0, "peer borrows": 0}
    lock, start = threading.Lock(), threading.Barrier(8, timeout=60)

    def count(**add):
        with lock:
            for key, value in add.items():
                tally[key] += value

    def caller(k):
        rng = np.random.default_rng(k)
        own = [np.linspace(-3.0 * k, 7.0, n) for n in sizes]
        expected = {(name, id(t)): getattr(vuvirida, name)(t, *TYPICAL[name]).tobytes() for t in own for name in names}
        expected.update(serial)
        arrays = shared + own + contested
        start.wait()
        wrong = refused = inconsistent = 0
        for i in range(CALLS):
            t, name = arrays[rng.integers(len(arrays))], names[i % len(names)]
            which = next((j for j, c in enumerate(contested) if c is t), None)
            before = which is not None and held[which] and epochs[which]
            try:
                got = getattr(vuvirida, name)(t, *TYPICAL[name]).tobytes()
            except BaseException as error:
                if type(error).__name__ != "PanicException" or error.args != (UNWRAP + "AlreadyBorrowed",):
                    raise
                refused += 1
                inconsistent += which is None  # refused where no one takes writeable borrows
                continue
            wrong += got != expected[name, id(t)]
            # Taken while one writeable borrow was held from before to after the call.
            inconsistent += bool(before) and held[which] and epochs[which] == before
        count(calls=CALLS, wrong=wrong, refused=refused, inconsistent=inconsistent)

    def peer(k):
        rng = np.random.default_rng(100 + k)
        start.wait()
        inconsistent = borrows = 0
        for _ in range(CALLS):
            which = int(rng.integers(len(contested)))
            begin, end = span(contested[which])
            if rng.integers(4) == 0:  # a shared borrow beside the calls' ones (refused while the other peer writes)
                code = registry.acquire_shared(registry.state, begin, end)
                inconsistent += code not in (0, -1)
                if code == 0:
                    registry.release_shared(registry.state, begin, end)
                continue
            code = registry.acquire_writeable(registry.state, begin, end)
            if code == -1:  # a call, or the other peer, holds a borrow of it
                continue
            borrows += 1
            inconsistent += code != 0
            epochs[which] += 1
            held[which] = True
            # Held: a second writeable or a shared borrow of any part is refused.
            for kind, part in (("writeable", (begin, begin + 1)), ("shared", (end - 1, end + 7))):
                if getattr(registry, "acquire_" + kind)(registry.state, *part) != -1:
                    inconsistent += 1
                    getattr(registry, "release_" + kind)(registry.state, *part)
            held[which] = False
            registry.release_writeable(registry.state, begin, end)
        count(inconsistent=inconsistent, **{"peer borrows": borrows})

    threads = [threading.Thread(target=caller, args=(k,)) for k in range(6)]
    threads += [threading.Thread(target=peer, args=(k,)) for k in range(2)]
    [thread.start() for thread in threads], [thread.join() for thread in threads]
    # Nothing is held afterwards: a writeable borrow of every array is granted.
    for t in shared + contested:
        if t.size and registry.acquire_writeable(registry.state, *span(t)) != 0:
            tally["inconsistent"] += 1
        elif t.size:
            registry.release_writeable(registry.state, *span(t))
    print(f"\n{'free-threaded' if FREE_THREADED else 'with the GIL'}: {tally}")
    assert tally["calls"] == 6 * CALLS and tally["peer borrows"] > 0
    assert (tally["wrong"], tally["inconsistent"]) == (0, 0), tally
