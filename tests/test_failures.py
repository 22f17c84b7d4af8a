# Aborts: the report on standard error, panics raised back from Python, and
# failures that must reach the caller instead of ending the interpreter.
import collections
import os
import re
import select
import subprocess
import sys
import textwrap

import pytest

from conditions import import_survives_failed_allocations, limits_address_space

REPORT = re.compile(r"thread '<unnamed>' panicked at src/[\w/]+\.cpp:\d+:\d+:")
NOTE = "note: run with `VUVIRIDA_BACKTRACE=1` environment variable to display a backtrace"
STRIDED = "called `Result::unwrap()` on an `Err` value: NotContiguousError"
BAD_ARGUMENT = "TypeError: bad argument type for built-in operation"
RESUMING = "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---"
ATTEMPT = """
import sys
def attempt(call):
    try:
        call()
    except BaseException as error:
        print(type(error).__name__, *error.args, sep="|")
    else:
        print("ok")
"""
PRELUDE = ATTEMPT + """
import numpy as np, vuvirida
t = np.linspace(0.0, 1.0, 10)
"""


def run(body, prelude=PRELUDE, **env):
    environment = {k: v for k, v in os.environ.items() if k != "VUVIRIDA_BACKTRACE"}
    environment.update(env)
    done = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(body)],
                          capture_output=True, text=True, env=environment, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines(), done.stderr.splitlines()


def test_first_abort_writes_the_note_and_later_ones_do_not():
    # What Python buffered on sys.stderr goes out before the report.
    out, err = run("""
        import io
        sys.stderr = io.TextIOWrapper(io.BufferedWriter(io.FileIO(2, "w", closefd=False)))
        sys.stderr.write("from Python, ")
        attempt(lambda: vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5))
        attempt(lambda: vuvirida.transient_impulse(t[::3], 1, 2, 3, 4))
        attempt(lambda: vuvirida.transient_impulse(t, 1, 2, 3, 4))
    """)
    assert out == [f"PanicException|{STRIDED}"] * 2 + ["ok"]
    assert len(err) == 5 and err[1] == err[4] == STRIDED and err[2] == NOTE
    assert err[0].startswith("from Python, ") and REPORT.fullmatch(err[0].removeprefix("from Python, "))
    assert REPORT.fullmatch(err[3])


@pytest.mark.parametrize("setting", ["1", "full"])
def test_requested_backtrace_comes_with_every_abort(setting):
    _, err = run("""
        attempt(lambda: vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5))
        attempt(lambda: vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5))
    """, VUVIRIDA_BACKTRACE=setting)
    assert err.count("stack backtrace:") == 2 and NOTE not in err
    assert sum(bool(REPORT.fullmatch(line)) for line in err) == 2


@pytest.mark.parametrize("method, position", [("__float__", 2), ("__index__", 6)])
def test_panic_raised_by_python_code_is_reported_and_raised_anew(method, position):
    out, err = run(f"""
        try:
            vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5)
        except BaseException as error:
            Panic = type(error)
        class Hostile:
            def {method}(self):
                raise Panic("raised by Python")
        args = [t, 1.0, 2.0, 3.0, 4.0, 5.0, 3]
        args[{position}] = Hostile()
        attempt(lambda: vuvirida.fourier_square_wave(*args))
        attempt(lambda: vuvirida.fourier_square_wave(t, 1.0, 2.0, 3.0, 4.0, 5.0, 3))
        print(sys.stderr is sys.__stderr__, hasattr(sys, "last_type"))
    """)
    assert out == ["PanicException|Unwrapped panic from Python code", "ok", "True False"]
    start = err.index(RESUMING)
    assert err[start + 1:start + 3] == ["Python stack trace below:", "Traceback (most recent call last):"]
    assert err[-1] == "pyo3_runtime.PanicException: raised by Python"
    assert not any(REPORT.fullmatch(line) for line in err[start:])


@pytest.mark.parametrize("method, position, raised", [
    ("__float__", 1, "ValueError|from a hook"),
    ("__index__", 6, "TypeError|argument 'num_harmonics': from a hook"),
])
def test_abort_exception_type_exists_once_a_failure_was_fetched(method, position, raised):
    out, _ = run(f"""
        import gc
        def panic_types():
            return [o for o in gc.get_objects() if isinstance(o, type)
                    and (o.__module__, o.__name__) == ("pyo3_runtime", "PanicException")]
        class Hostile:
            def {method}(self):
                raise {raised.split("|")[0]}("from a hook")
        args = [t, 1.0, 2.0, 3.0, 4.0, 5.0, 3]
        args[{position}] = Hostile()
        print(len(panic_types()))
        attempt(lambda: vuvirida.fourier_square_wave(*args))
        print(len(panic_types()))
        try:
            vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5)
        except BaseException as error:
            print(panic_types() == [type(error)])
    """)
    assert out == ["0", raised, "1", "True"]


def test_recursion_error_from_a_hook_passes_unchanged_even_as_the_first_fetch():
    # Each level of a recursion calls with a __float__ that recurses too; the
    # deepest call is the first to fetch, with too little stack left to make
    # the abort exception type.
    out, err = run("""
        class Hostile:
            def __float__(self):
                return float(self)
        seen = []
        def descend():
            try:
                descend()
            except RecursionError:
                pass
            try:
                vuvirida.harmonic_oscillator(t, Hostile(), 0.0, 0.0, 0.0, 0.0)
            except Exception as error:
                seen.append(type(error).__name__)
        descend()
        print(len(seen) > 900, set(seen))
    """)
    assert out == ["True {'RecursionError'}"] and err == []


def whole_blocks(err):
    """Counts the report blocks that standard error consists of, failing on any
    line that belongs to no whole block."""
    blocks = collections.Counter()
    i = 0
    while i < len(err):
        if err[i] == BAD_ARGUMENT:  # printed before the report of its abort
            assert REPORT.fullmatch(err[i + 1]) and err[i + 2] == "Python API call failed", i
            i, kind = i + 3, "api"
        elif REPORT.fullmatch(err[i]):
            assert err[i + 1] == STRIDED, (i, err[i:i + 3])
            i, kind = i + 2, "strided"
        elif err[i] == RESUMING:
            assert err[i + 1:i + 3] == ["Python stack trace below:", "Traceback (most recent call last):"]
            i += 3
            while err[i].startswith("  "):
                i += 1
            assert err[i] == "pyo3_runtime.PanicException: raised by Python", (i, err[i - 3:i + 3])
            i, kind = i + 1, "resumed"
        else:
            pytest.fail(f"line {i} is in no whole report: {err[i]!r}")
        blocks[kind] += 1
        if kind != "resumed" and i < len(err) and err[i] == NOTE:
            i, blocks["note"] = i + 1, blocks["note"] + 1
    return blocks


def test_reports_of_concurrent_aborts_never_interleave():
    # Threads abort in three ways at once: on a strided array; through a
    # PanicException that a __float__ hook raises back into the call; and on a
    # NumPy call that fails with an exception set, which is printed first.
    out, err = run(f"""
        import threading
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_runtime import API, MULTIARRAY, ctypes
        real = (ctypes.c_void_p * 200).from_address(API.PyCapsule_GetPointer(MULTIARRAY._ARRAY_API, None))
        table = (ctypes.c_void_p * 200)(*real)
        table[94] = ctypes.cast(API.PyErr_BadArgument, ctypes.c_void_p).value  # null and a TypeError
        MULTIARRAY._ARRAY_API = API.PyCapsule_New(ctypes.addressof(table), None, None)
        try:
            vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5)
        except BaseException as error:
            Panic = type(error)
        def deep(depth):  # a long traceback, printed line by line
            if depth == 0:
                raise Panic("raised by Python")
            deep(depth - 1)
        class Hostile:
            def __float__(self):
                deep(8)
        sys.setswitchinterval(1e-5)
        calls = [lambda: vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5),
                 lambda: vuvirida.pseudo_square_wave(t, 1, Hostile(), 3, 4, 5),
                 lambda: vuvirida.transient_impulse(t, 1, 2, 3, 4)]
        caught = []
        def work(k):
            for _ in range(15):
                try:
                    calls[k % 3]()
                except Panic as error:
                    caught.append(error.args[0])
        threads = [threading.Thread(target=work, args=(k,)) for k in range(24)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(sorted(collections.Counter(caught).values()))
    """, prelude="import collections\n" + PRELUDE)
    assert out == ["[120, 120, 120]"]
    assert whole_blocks(err) == {"strided": 121, "resumed": 120, "api": 120, "note": 1}


@pytest.mark.parametrize("ending", ["join", "daemon", "fork"])
def test_full_standard_error_blocks_only_the_aborting_thread(ending):
    # Nobody drains the child's standard error while one thread aborts far more
    # often than the pipe holds; a heartbeat on another thread must go on. A
    # daemon thread still writing when the interpreter exits must not crash
    # it, and a process forked meanwhile must still be able to report.
    aborts = 3000
    child = subprocess.Popen([sys.executable, "-c", PRELUDE + textwrap.dedent(f"""
        import os, threading, time
        done = []
        def abort_often():
            for _ in range({aborts}):
                try:
                    vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5)
                except BaseException:
                    done.append(1)
        threading.Thread(target=abort_often, daemon={ending != "join"}).start()
        beats = [time.monotonic()]
        while beats[-1] < beats[0] + 1.5:
            time.sleep(0.01)
            beats.append(time.monotonic())
        gap = max(b - a for a, b in zip(beats, beats[1:]))
        if {ending == "fork"}:
            # From 3.12 the interpreter warns of a fork beside threads, on the
            # standard error that is full here: the warning would block.
            import warnings
            warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
            pid = os.fork()
            if pid == 0:
                os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
                attempt(lambda: vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5))
                sys.stdout.flush()
                os._exit(0)
            for _ in range(1000):
                if os.waitpid(pid, os.WNOHANG)[0]:
                    break
                time.sleep(0.01)
            else:
                os.kill(pid, 9)
                print("the forked process hung")
        print(len(done), len(beats), gap, flush=True)
    """)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        ready, _, _ = select.select([child.stdout], [], [], 30)
        assert ready, "the heartbeat stalled while standard error was full"
        lines = [child.stdout.readline() for _ in range(2 if ending == "fork" else 1)]
        _, err = child.communicate(timeout=120)
    finally:
        child.kill()
        child.wait()
    if ending == "fork":
        assert lines.pop(0) == f"PanicException|{STRIDED}\n"
    done, beats, gap = lines[0].split()
    assert int(done) < aborts, "standard error never filled up"
    assert int(beats) > 20 and float(gap) < 2.0
    assert child.returncode == 0, err[-2000:]
    blocks = whole_blocks(err.splitlines())
    assert set(blocks) == {"strided", "note"} and blocks["note"] == 1
    assert blocks["strided"] == aborts if ending == "join" else blocks["strided"] >= int(done)


def test_sys_stderr_is_put_back_when_threads_print_aborts_through_python_code():
    # A sys.excepthook written in Python (IPython installs one) lets other
    # threads run while an exception raised back into a call is printed; each
    # must find the real stream, and the real stream must be left in place.
    out, err = run("""
        import threading, time
        try:
            vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5)
        except BaseException as error:
            Panic = type(error)
        original, default = sys.stderr, sys.excepthook
        def hook(*exception):
            time.sleep(0.001)
            default(*exception)
        sys.excepthook = hook
        class Hostile:
            def __float__(self):
                raise Panic("raised by Python")
        raised = []
        def work():
            for _ in range(20):
                try:
                    vuvirida.harmonic_oscillator(t, Hostile(), 2, 3, 4, 5)
                except BaseException as error:
                    raised.append(str(error))
        threads = [threading.Thread(target=work) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(set(raised), len(raised), sys.stderr is original)
    """)
    assert out == ["{'Unwrapped panic from Python code'} 160 True"]
    assert err.count("pyo3_runtime.PanicException: raised by Python") == 160


# Daemon threads that let go of the interpreter lock inside a call wake up,
# some of them, while the interpreter finalises; the C library then ends those
# threads by unwinding their stacks through the call, which must let them go
# quietly: from an argument's hook, and from finalisers that a collection
# scheduled by a hook runs at a poll inside the kernel (CPython 3.12 and newer).
DAEMONS = {
    "in hooks": """
        class Slow:
            def __init__(self, delay):
                self.delay = delay
            def __float__(self):
                time.sleep(self.delay)
                return 1.0
        for k in range(200):
            threading.Thread(target=vuvirida.harmonic_oscillator,
                             args=(t, Slow(0.05 + k * 0.0005), 0, 1, 0, 0), daemon=True).start()
        time.sleep(0.05)
    """,
    "in finalisers run by a poll": """
        class Slow:
            def __del__(self):
                time.sleep(0.001)
        class Amplitude:
            def __float__(self):
                gc.disable()
                for _ in range(2000):
                    s = Slow(); s.me = s
                del s
                gc.set_threshold(1)
                gc.enable()
                one = (None,)
                one * 30  # schedules a collection, which no instruction runs before the call's poll
                return 1.0
        t = np.linspace(0.0, 1.0, 1000)
        vuvirida.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 1)  # NumPy imported before
        threading.Thread(target=vuvirida.fourier_square_wave,
                         args=(t, Amplitude(), -0.1, 1.0, 0.0, 0.0, 10**4), daemon=True).start()
        time.sleep(0.3)
    """,
}


@pytest.mark.parametrize("body", DAEMONS.values(), ids=DAEMONS)
def test_daemon_threads_inside_calls_when_the_interpreter_exits(body):
    _, err = run(body, prelude="import gc, threading, time\n" + PRELUDE)
    assert err == []


@limits_address_space
def test_result_that_cannot_be_allocated_raises_memory_error_and_the_next_call_works():
    out, err = run("""
        import os, resource
        big = np.zeros(30_000_000)
        with open("/proc/self/statm") as fh:
            used = int(fh.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (used + 100_000_000, resource.RLIM_INFINITY))
        attempt(lambda: vuvirida.harmonic_oscillator(big, 1.0, 2.0, 3.0, 4.0, 5.0))
        attempt(lambda: vuvirida.harmonic_oscillator(big[:5], 1.0, 2.0, 3.0, 4.0, 5.0))
    """)
    assert out[0].startswith("MemoryError|") and out[1] == "ok"
    assert not any(REPORT.fullmatch(line) for line in err)


def test_abort_whose_exception_cannot_be_made_raises_the_interpreters_error():
    pytest.importorskip("_testcapi")
    out, err = run("""
        import _testcapi
        vuvirida.harmonic_oscillator(t, 1.0, 2.0, 3.0, 4.0, 5.0)
        strided = t[::2]
        _testcapi.set_nomemory(0)
        try:
            vuvirida.harmonic_oscillator(strided, 1.0, 2.0, 3.0, 4.0, 5.0)
        except BaseException as error:
            _testcapi.remove_mem_hooks()
            print(type(error).__name__)
        attempt(lambda: vuvirida.harmonic_oscillator(strided, 1.0, 2.0, 3.0, 4.0, 5.0))
    """)
    assert out == ["MemoryError", f"PanicException|{STRIDED}"]
    assert [line for line in err if not REPORT.fullmatch(line)][:3] == [
        STRIDED, NOTE, "Failed to initialize new exception type."]


@import_survives_failed_allocations
def test_failed_allocations_during_import_raise_and_never_crash():
    # Each child fails exactly one allocation, a little later each time, while
    # the module initialises; every failure must reach the importer.
    pytest.importorskip("_testcapi")
    out, _ = run("""
        import os, _testcapi
        for n in range(0, 3000, 3):  # past 600, until the import no longer meets the failure
            pid = os.fork()
            if pid == 0:
                _testcapi.set_nomemory(n, n + 1)
                try:
                    import vuvirida as fresh
                    outcome = "ok"
                except BaseException as error:
                    outcome = type(error).__name__
                    codes = [frame.f_code.co_name for frame, _ in traceback.walk_tb(error.__traceback__)]
                    outcome += " in find_spec" * ("find_spec" in codes)
                _testcapi.remove_mem_hooks()
                os.write(1, (outcome + "\\n").encode())
                os._exit(3 if outcome == "ok" else 0)
            status = os.waitpid(pid, 0)[1]
            assert os.WIFEXITED(status) and os.WEXITSTATUS(status) in (0, 3), n
            if os.WEXITSTATUS(status) == 3 and n >= 600:
                break
    """, prelude="import traceback\n")
    # RuntimeError is the import system's own "can't allocate lock". An
    # editable install's finder runs Python code before the module is found,
    # where the interpreter may raise its own SystemError.
    interpreters = {"MemoryError", "RuntimeError"}
    assert set(out) <= {"ok", "PanicException", *interpreters,
                        *(f"{kind} in find_spec" for kind in interpreters | {"SystemError"})}
    assert out[-1] == "ok"
    assert "MemoryError" in out


def test_abort_exception_type_that_cannot_be_made_at_a_fetch_changes_nothing(tmp_path):
    # Each child fails one allocation, a little later each time, around the
    # first fetch of a hook's ValueError, where the abort exception type is
    # made: the ValueError passes all the same, and nothing is printed.
    pytest.importorskip("_testcapi")
    out, _ = run(f"""
        import _testcapi
        class Hostile:
            def __float__(self):
                raise ValueError("from a hook")
        hostile = Hostile()
        vuvirida.harmonic_oscillator(t, 1.0, 2.0, 3.0, 4.0, 5.0)
        # CPython 3.11 drops the exception leaving __float__ when it cannot
        # allocate this frame's object on the way out (a SystemError then says
        # nothing was set): have it made before allocations start failing.
        sys._getframe()
        for n in range(40):
            log = os.path.join({str(tmp_path)!r}, str(n))
            pid = os.fork()
            if pid == 0:
                os.dup2(os.open(log, os.O_WRONLY | os.O_CREAT), 2)
                _testcapi.set_nomemory(n, n + 1)
                try:
                    vuvirida.harmonic_oscillator(t, hostile, 2.0, 3.0, 4.0, 5.0)
                except BaseException as error:
                    _testcapi.remove_mem_hooks()
                    caught = error
                with open(log) as fh:
                    err = fh.read()
                print(type(caught).__name__, *caught.args[:1], "Failed to initialize" in err,
                      "ValueError: from a hook" in err, sep="|", flush=True)
                os._exit(0)
            assert os.waitpid(pid, 0)[1] == 0, n
    """, prelude="import os\n" + PRELUDE)
    # SystemError is the interpreter's own, when a failed allocation stops the
    # hook without an exception.
    stopped = r"SystemError\|<function Hostile\.__float__ at 0x\w+> returned NULL without setting an exception"
    assert out.count("ValueError|from a hook|False|False") > 20
    assert all(line in {"ValueError|from a hook|False|False", "MemoryError|False|False"}
               or re.fullmatch(stopped + r"\|False\|False", line) for line in out), out


@pytest.mark.parametrize("slot, call", [
    (45, "harmonic_oscillator(t, 1, 2, 3, 4, 5)"),
    (94, "fourier_square_wave(t, 1, 2, 3, 4, 5, 2)"),
])
def test_numpy_call_that_returns_nothing_aborts_and_releases_the_borrow(slot, call):
    # NumPy's table is swapped for a copy whose entry `slot` returns null.
    out, err = run(f"""
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_runtime import API, BorrowTable, CAPSULE, MULTIARRAY, ctypes, span
        real = (ctypes.c_void_p * 200).from_address(API.PyCapsule_GetPointer(MULTIARRAY._ARRAY_API, None))
        table = (ctypes.c_void_p * 200)(*real)
        nothing = ctypes.CFUNCTYPE(ctypes.c_void_p)(lambda *args: None)
        table[{slot}] = ctypes.cast(nothing, ctypes.c_void_p).value
        MULTIARRAY._ARRAY_API = API.PyCapsule_New(ctypes.addressof(table), None, None)
        attempt(lambda: vuvirida.{call})
        if hasattr(MULTIARRAY, "_vuvirida_borrow_registry"):
            registry = BorrowTable.from_address(
                API.PyCapsule_GetPointer(MULTIARRAY._vuvirida_borrow_registry, CAPSULE))
            print("writeable borrow", registry.acquire_writeable(registry.state, *span(t)))
    """)
    assert out[0] == "PanicException|Python API call failed"
    assert out[1:] == ([] if slot == 45 else ["writeable borrow 0"])
    assert err[1] == "Python API call failed" and REPORT.fullmatch(err[0])


@pytest.mark.parametrize("files, message", [
    ({"numpy/__init__.py": "raise RuntimeError('broken on purpose')"},
     "Failed to import NumPy module"),
    ({"numpy/__init__.py": "", "numpy/core/__init__.py": "", "numpy/core/multiarray.py": ""},
     "Failed to get NumPy API capsule"),
    ({"numpy/__init__.py": "", "numpy/core/__init__.py": "",
      "numpy/core/multiarray.py": "_ARRAY_API = 'not a capsule'"},
     "Failed to get NumPy API capsule"),
])
def test_unusable_numpy_aborts_every_call_that_needs_it(tmp_path, files, message):
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    out, _ = run(f"""
        sys.path.insert(0, {str(tmp_path)!r})
        import vuvirida
        for _ in range(2):
            attempt(lambda: vuvirida.transient_impulse([1.0], 1, 2, 3, 4))
        attempt(lambda: vuvirida.transient_impulse([1.0], 1, 2, 3))
    """, prelude=ATTEMPT)
    assert out == [f"PanicException|{message}"] * 2 + [
        "TypeError|transient_impulse() missing 1 required positional argument: 'equilibrium'"]
