# What needs an interpreter that has not called the module yet: abort reports
# on standard error, the abort exception type, failures that must reach the
# caller instead of ending the process, an unusable NumPy or registry from the
# first call, and what happens when the interpreter exits.
import collections
import re
import select
import subprocess
import sys
import textwrap

import numpy
import pytest

from conftest import (PRELUDE, STRIDED, fails_allocations, import_survives_failed_allocations,
                      limits_address_space, run_fresh)

REPORT = re.compile(r"thread '<unnamed>' panicked at src/[\w/]+\.cpp:\d+:\d+:")
NOTE = "note: run with `VUVIRIDA_BACKTRACE=1` environment variable to display a backtrace"
RESUMING = "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---"
PANIC_TYPE = """
try:
    vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5)
except BaseException as error:
    Panic = type(error)
    panicking = Hook(lambda: raising(Panic("raised by Python")))
"""


def whole_blocks(err):
    """Counts the report blocks that standard error consists of, failing on any
    line that belongs to no whole block."""
    blocks, i = collections.Counter(), 0
    while i < len(err):
        if err[i] == "TypeError: bad argument type for built-in operation":  # printed before its report
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


def same_lines(got, want):  # each line equal to a str, or matching a pattern
    return len(got) == len(want) and all(w.fullmatch(g) if isinstance(w, re.Pattern) else g == w
                                         for g, w in zip(got, want))


def expect(*out, err=None, blocks=None, unreported=None):
    """Standard output line by line; standard error line by line, as report
    blocks, or its first lines other than a report's first."""
    def check(got, got_err):
        assert same_lines(got, out), got
        assert err is None or same_lines(got_err, err), got_err
        assert unreported is None or [line for line in got_err if not REPORT.fullmatch(line)][:3] == unreported
        assert blocks is None or whole_blocks(got_err) == blocks
    return check


def backtraces(out, err):
    assert err.count("stack backtrace:") == 2 and NOTE not in err
    assert sum(bool(REPORT.fullmatch(line)) for line in err) == 2


def abort_type_at_first_fetch(position, raised):
    return (f"""import gc
panic_types = lambda: [o for o in gc.get_objects() if getattr(o, "__qualname__", "") == "PanicException"]
args = [t, 1.0, 2.0, 3.0, 4.0, 5.0, 3]
args[{position}] = Hook(lambda: raising({raised.split("|")[0]}("from a hook")))
print(len(panic_types()))
attempt(lambda: vuvirida.fourier_square_wave(*args))
print(len(panic_types()))
try:
    vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5)
except BaseException as error:
    print(panic_types() == [type(error)])
""", expect("0", raised, "1", "True"))


def import_sweep(out, err):
    # RuntimeError is the import system's own "can't allocate lock". An
    # editable install's finder runs Python code before the module is found,
    # where the interpreter may raise its own SystemError.
    own = {"MemoryError", "RuntimeError"}
    assert set(out) <= {"ok", "PanicException", *own, *(f"{kind} in find_spec" for kind in own | {"SystemError"})}
    assert out[-1] == "ok" and "MemoryError" in out


def fetch_sweep(out, err):
    # SystemError is the interpreter's own, when a failed allocation stops the
    # hook without an exception.
    stopped = r"SystemError\|<function Hostile\.__float__ at 0x\w+> returned NULL without setting an exception"
    assert out.count("ValueError|from a hook|False|False") > 20
    assert all(line in {"ValueError|from a hook|False|False", "MemoryError|False|False"}
               or re.fullmatch(stopped + r"\|False\|False", line) for line in out), out


def numpy_returns_nothing(slot, call):  # NumPy's table entry `slot` returns null
    return (f"""from conftest import *
nothing = ctypes.CFUNCTYPE(ctypes.c_void_p)(lambda *args: None)
numpy_table()[{slot}] = ctypes.cast(nothing, ctypes.c_void_p).value
attempt(lambda: vuvirida.{call})
if hasattr(MULTIARRAY, ATTRIBUTE):
    registry = table_of(getattr(MULTIARRAY, ATTRIBUTE))
    print("writeable borrow", registry.acquire_writeable(registry.state, *span(t)))
""", expect("PanicException|Python API call failed", *["writeable borrow 0"] * (slot != 45),
            err=[REPORT, "Python API call failed", NOTE]))


REGISTRY_ERROR = "PanicException|Interal borrow checking API error: "
# name: (script, its checks, marks); bare scripts start without PRELUDE (then
# the module is not yet imported), others after it.
FRESH = {
    # What Python buffered on sys.stderr goes out before the first report.
    "first abort writes the note, later ones do not": ("""import io
sys.stderr = io.TextIOWrapper(io.BufferedWriter(io.FileIO(2, "w", closefd=False)))
sys.stderr.write("from Python, ")
attempt(lambda: vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5))
attempt(lambda: vuvirida.transient_impulse(t[::3], 1, 2, 3, 4))
attempt(lambda: vuvirida.transient_impulse(t, 1, 2, 3, 4))
""", expect(*[f"PanicException|{STRIDED}"] * 2, "ok",
            err=[re.compile("from Python, " + REPORT.pattern), STRIDED, NOTE, REPORT, STRIDED])),
    **{f"VUVIRIDA_BACKTRACE={setting}": ("""
attempt(lambda: vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5))
attempt(lambda: vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5))
""", backtraces, {"VUVIRIDA_BACKTRACE": setting}) for setting in ("1", "full")},
    # Reported as a block of its own and raised anew, from either hook.
    "PanicException raised by Python code": (PANIC_TYPE + """
for position in (2, 6):
    args = [t, 1.0, 2.0, 3.0, 4.0, 5.0, 3]
    args[position] = panicking
    attempt(lambda: vuvirida.fourier_square_wave(*args))
    attempt(lambda: vuvirida.fourier_square_wave(t, 1.0, 2.0, 3.0, 4.0, 5.0, 3))
print(sys.stderr is sys.__stderr__, hasattr(sys, "last_type"))
""", expect(*["PanicException|Unwrapped panic from Python code", "ok"] * 2, "True False",
            blocks={"strided": 1, "note": 1, "resumed": 2})),
    "abort type made at the first fetch, from __float__": abort_type_at_first_fetch(1, "ValueError|from a hook"),
    "abort type made at the first fetch, from __index__": abort_type_at_first_fetch(
        6, "TypeError|argument 'num_harmonics': from a hook"),
    # Each level of a recursion calls with a __float__ that recurses too; the
    # deepest call is the first to fetch, with too little stack left to make
    # the abort exception type.
    "RecursionError from a hook as the first fetch": ("""class Hostile:
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
""", expect("True {'RecursionError'}", err=[])),
    # Threads abort in three ways at once: on a strided array; through a
    # PanicException a __float__ hook raises back into the call, with a long
    # traceback printed line by line; and on a NumPy call that fails with an
    # exception set, which is printed first.
    "reports of concurrent aborts never interleave": ("""import collections
from conftest import API, numpy_table, ctypes
numpy_table()[94] = ctypes.cast(API.PyErr_BadArgument, ctypes.c_void_p).value  # null and a TypeError
""" + PANIC_TYPE + """
deep = lambda depth: deep(depth - 1) if depth else raising(Panic("raised by Python"))
sys.setswitchinterval(1e-5)
calls = [lambda: vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5),
         lambda: vuvirida.pseudo_square_wave(t, 1, Hook(lambda: deep(8)), 3, 4, 5),
         lambda: vuvirida.transient_impulse(t, 1, 2, 3, 4)]
caught = []
def work(k):
    for _ in range(15):
        try:
            calls[k % 3]()
        except Panic as error:
            caught.append(error.args[0])
together(work, 24)
print(sorted(collections.Counter(caught).items()))
""", expect(str(sorted({"Python API call failed": 120, STRIDED: 120, "Unwrapped panic from Python code": 120}.items())), blocks={"strided": 121, "resumed": 120, "api": 120, "note": 1})),
    # A sys.excepthook written in Python (IPython installs one) lets other
    # threads run while an exception raised back into a call is printed; each
    # must find the real stream, and the real stream must be left in place.
    "sys.stderr put back when threads print aborts through Python code": (PANIC_TYPE + """
original, default = sys.stderr, sys.excepthook
sys.excepthook = lambda *exception: (time.sleep(0.001), default(*exception))
raised = []
def work(k):
    for _ in range(20):
        try:
            vuvirida.harmonic_oscillator(t, panicking, 2, 3, 4, 5)
        except BaseException as error:
            raised.append(str(error))
together(work, 8)
print(set(raised), len(raised), sys.stderr is original)
""", expect("{'Unwrapped panic from Python code'} 160 True", blocks={"strided": 1, "note": 1, "resumed": 160})),
    # Daemon threads that let go of the interpreter lock inside a call wake
    # up, some of them, while the interpreter finalises; the C library then
    # ends those threads by unwinding their stacks through the call, which
    # must let them go quietly: from an argument's hook, and from finalisers
    # that a collection scheduled by a hook runs at a poll inside the kernel
    # (CPython 3.12 and newer).
    "daemon threads in hooks when the interpreter exits": ("""import threading
for k in range(200):
    threading.Thread(target=vuvirida.harmonic_oscillator, daemon=True,
                     args=(t, Hook(lambda k=k: time.sleep(0.05 + k * 0.0005)), 0, 1, 0, 0)).start()
time.sleep(0.05)
""", expect(err=[])),
    "daemon thread in finalisers run by a poll when the interpreter exits": ("""import gc, threading
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
""", expect(err=[])),
    "result that cannot be allocated": ("""import resource
big = np.zeros(30_000_000)
with open("/proc/self/statm") as fh:
    used = int(fh.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
resource.setrlimit(resource.RLIMIT_AS, (used + 100_000_000, resource.RLIM_INFINITY))
attempt(lambda: vuvirida.harmonic_oscillator(big, 1.0, 2.0, 3.0, 4.0, 5.0))
attempt(lambda: vuvirida.harmonic_oscillator(big[:5], 1.0, 2.0, 3.0, 4.0, 5.0))
""", expect(re.compile(r"MemoryError\|.*"), "ok", err=[]), {}, limits_address_space),
    # The interpreter's own error, and both reports written.
    "abort whose exception cannot be made": ("""import _testcapi
vuvirida.harmonic_oscillator(t, 1.0, 2.0, 3.0, 4.0, 5.0)
strided = t[::2]
_testcapi.set_nomemory(0)
try:
    vuvirida.harmonic_oscillator(strided, 1.0, 2.0, 3.0, 4.0, 5.0)
except BaseException as error:
    _testcapi.remove_mem_hooks()
    print(type(error).__name__)
attempt(lambda: vuvirida.harmonic_oscillator(strided, 1.0, 2.0, 3.0, 4.0, 5.0))
""", expect("MemoryError", f"PanicException|{STRIDED}", unreported=[
        STRIDED, NOTE, "Failed to initialize new exception type."]), {}, fails_allocations),
    # Each child fails exactly one allocation, a little later each time, while
    # the module initialises; every failure must reach the importer.
    "failed allocations during import": ("""#bare
import os, traceback, _testcapi
for n in range(0, 3000, 3):  # past 600, until the import no longer meets the failure
    pid = os.fork()
    if pid == 0:
        _testcapi.set_nomemory(n, n + 1)
        try:
            import vuvirida
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
""", import_sweep, {}, [fails_allocations, import_survives_failed_allocations]),
    # Each child fails one allocation, a little later each time, around the
    # first fetch of a hook's ValueError, where the abort exception type is
    # made: the ValueError passes all the same, and nothing is printed.
    "abort type that cannot be made at a fetch": ("""import tempfile, _testcapi
class Hostile:
    def __float__(self):
        raise ValueError("from a hook")
hostile, folder = Hostile(), tempfile.mkdtemp()
vuvirida.harmonic_oscillator(t, 1.0, 2.0, 3.0, 4.0, 5.0)
# CPython 3.11 drops the exception leaving __float__ when it cannot allocate
# this frame's object on the way out (a SystemError then says nothing was
# set): have it made before allocations start failing.
sys._getframe()
for n in range(40):
    log = os.path.join(folder, str(n))
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
""", fetch_sweep, {}, fails_allocations),
    "NumPy's new-array call returns nothing": numpy_returns_nothing(94, "fourier_square_wave(t, 1, 2, 3, 4, 5, 2)"),
    "NumPy's float64 descriptor call returns nothing": numpy_returns_nothing(45, "harmonic_oscillator(t, 1, 2, 3, 4, 5)"),
    # NumPy packages of these files in place of the real one, in turn.
    "unusable NumPy": ("""import tempfile
for files in [{"__init__.py": "raise RuntimeError('broken')"}, {"__init__.py": "", "core/multiarray.py": ""},
              {"__init__.py": "", "core/multiarray.py": "_ARRAY_API = 'not a capsule'"}]:
    for name in [m for m in sys.modules if m.split(".")[0] == "numpy"]:
        del sys.modules[name]
    sys.path.insert(0, root := tempfile.mkdtemp())
    for name, text in files.items():
        os.makedirs(os.path.join(root, "numpy", "core"), exist_ok=True)
        with open(os.path.join(root, "numpy", name), "w") as fh:
            fh.write(text)
    for _ in range(2):
        attempt(lambda: vuvirida.transient_impulse([1.0], 1, 2, 3, 4))
attempt(lambda: vuvirida.transient_impulse([1.0], 1, 2, 3))
""", expect(*["PanicException|Failed to import NumPy module"] * 2, *["PanicException|Failed to get NumPy API capsule"] * 4,
            "TypeError|transient_impulse() missing 1 required positional argument: 'equilibrium'")),
    "registry unusable from the first borrow": ("""from conftest import *
MULTIARRAY._vuvirida_borrow_registry = object()
for _ in range(2):
    attempt(lambda: oscillate(np.zeros(3)))
install_registry(2)
attempt(lambda: oscillate(np.zeros(3)))
install_registry(1, lambda *a: 7)
attempt(lambda: oscillate(np.zeros(3)))
""", expect(*[REGISTRY_ERROR + "the registry attribute is not a borrow registry capsule"] * 2,
            REGISTRY_ERROR + "the registry has version 2, this module uses version 1",
            "PanicException|Unexpected return code 7 from borrow checking API")),
    # Each replacement frees the table before, which only its borrows may still use.
    "registry replaced and deleted after the first borrow": ("""from conftest import *
first = Peer()
oscillate(np.zeros(3))
second = Peer()
oscillate(t := np.zeros(3))
delattr(MULTIARRAY, ATTRIBUTE)
oscillate(t)
assert len(first.calls) == len(second.calls) == 2 and first.calls[0][0] == "acquire"
assert table_of(getattr(MULTIARRAY, ATTRIBUTE)).state  # the module's own, again
""", expect()),
    # A colliding key's __eq__ runs inside the borrow's lookup; it frees the
    # float64 descriptor of `time` and makes a narrower one, likely at the same
    # address, then shrinks the memory in place to that dtype's size.
    "descriptor freed and its address reused during the borrow": ("""from conftest import *
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
    attempt(lambda: vuvirida.pseudo_square_wave(t, *OSCILLATOR))
    del vars(MULTIARRAY)[key]
""", expect(*[line for n in ("int32", "int64")
                      for line in ("TypeError|argument 'time': type mismatch:", f" from={n}, to=float64")])),
    # Refused before the once flag is set, so that the main interpreter can
    # still import it.
    "import in a sub-interpreter first": ("""#bare
import importlib, importlib.util
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
print(vuvirida.harmonic_oscillator(np.array([0.0]), 2.0, 0.0, 0.0, 0.0, 1.0).tolist())
""", expect("[3.0]")),
    # The first call imports NumPy's compatibility module (under NumPy 2;
    # NumPy 1 has it imported already). A thread forks while that import
    # holds its locks, from the import system's own lookup; the child's first
    # call must not wait for those locks, whose holder is not in the child.
    "fork while the first call imports NumPy's module": ("""import signal, threading
statuses, forked = [], threading.Event()
def fork_and_call():
    pid = os.fork()
    if pid == 0:
        signal.alarm(10)
        vuvirida.harmonic_oscillator(t, 1, 0, 1, 0, 0)
        os._exit(0)
    forked.set()
    statuses.append(os.waitpid(pid, 0)[1])
class ForkDuringImport:
    def find_spec(self, name, path=None, target=None):
        if name == "numpy.core":
            sys.meta_path.remove(self)
            threading.Thread(target=fork_and_call).start()
            forked.wait(0.5)
        return None
sys.meta_path.insert(0, ForkDuringImport())
attempt(lambda: vuvirida.harmonic_oscillator(t, 1, 0, 1, 0, 0))
[thread.join() for thread in threading.enumerate() if thread is not threading.current_thread()]
print(statuses)
""", expect("ok", "[0]" if numpy.__version__ >= "2" else "[]")),
    "second initialisation": ("""
del sys.modules["vuvirida"]
try:
    import vuvirida as again
except ImportError as error:
    print(error)
print(vuvirida.harmonic_oscillator(np.array([0.0]), 2.0, 0.0, 0.0, 0.0, 1.0).tolist())
""", expect("PyO3 modules may only be initialized once per interpreter process", "[3.0]")),
}
# Rows as (script, check, environment, marks), the last two optional.
FRESH = {name: (*row, {}, [])[:4] if len(row) == 2 else (*row, [])[:4] for name, row in FRESH.items()}
MARKS = {name: row[3] if isinstance(row[3], list) else [row[3]] for name, row in FRESH.items()}


@pytest.fixture(scope="module")
def fresh(tmp_path_factory):  # every script that can run here, all at once
    return run_fresh({name: (script if script.startswith("#bare") else PRELUDE + script, env)
                      for name, (script, _, env, _) in FRESH.items() if not any(m.args[0] for m in MARKS[name])},
                     tmp_path_factory.mktemp("fresh"))


@pytest.mark.parametrize("name", [pytest.param(name, marks=MARKS[name], id=name) for name in FRESH])
def test_in_a_fresh_interpreter(fresh, name):
    status, out, err = fresh[name]
    assert status == 0, "\n".join(err)
    FRESH[name][1](out, err)


def test_full_standard_error_blocks_only_the_aborting_thread():
    # Nobody drains the child's standard error while a daemon thread aborts far
    # more often than the pipe holds; a heartbeat on another thread must go on,
    # a process forked meanwhile must still be able to report, and the
    # interpreter must exit cleanly while the thread is still writing.
    aborts = 3000
    script = PRELUDE + textwrap.dedent(f"""
        import os, threading, time, warnings
        done = []
        def abort_often():
            for _ in range({aborts}):
                try:
                    vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5)
                except BaseException:
                    done.append(1)
        threading.Thread(target=abort_often, daemon=True).start()
        beats = [time.monotonic()]
        while beats[-1] < beats[0] + 0.5:
            time.sleep(0.01)
            beats.append(time.monotonic())
        gap = max(b - a for a, b in zip(beats, beats[1:]))
        # From 3.12 the interpreter warns of a fork beside threads, on the
        # standard error that is full here: the warning would block.
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
    """)
    with subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True) as child:
        try:
            ready, _, _ = select.select([child.stdout], [], [], 30)
            assert ready, "the heartbeat stalled while standard error was full"
            forked, counts = child.stdout.readline(), child.stdout.readline()
            err = child.communicate(timeout=120)[1]
        finally:
            child.kill()
    done, beats, gap = counts.split()
    assert forked == f"PanicException|{STRIDED}\n"
    assert 0 < int(done) < aborts, "standard error never filled up"
    assert int(beats) > 10 and float(gap) < 2.0
    assert child.returncode == 0, err[-2000:]
    blocks = whole_blocks(err.splitlines())
    assert set(blocks) == {"strided", "note"} and blocks["note"] == 1 and blocks["strided"] >= int(done)
