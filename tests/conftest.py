# What the tests share: where the suite runs and what cannot hold there, the
# thread's floating-point environment, the borrow registry as another
# extension sees it (through ctypes), and scripts run in interpreters that
# have not yet called the module.
import ctypes
import importlib
import importlib.util
import json
import multiprocessing
import os
import platform
import subprocess
import sys
from contextlib import contextmanager
from ctypes import c_char_p, c_int, c_size_t, c_uint32, c_uint64, c_void_p, py_object

import numpy as np
import pytest
import vuvirida

from reference import TYPICAL, libm

LINUX = sys.platform.startswith("linux")
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")  # AddressSanitizer is preloaded
if SANITIZED:
    # AddressSanitizer's allocator is not safe to fork beside running threads
    # (a pool worker of GCC 14's runtime waited for ever on its lock): pools
    # start their workers from a fork server, as CPython 3.14 does by default.
    multiprocessing.set_start_method("forkserver", force=True)
# A foreign architecture runs through qemu's user-mode emulation, registered
# with binfmt_misc; a native machine registers none for its own architecture.
EMULATED = LINUX and os.path.exists(f"/proc/sys/fs/binfmt_misc/qemu-{platform.machine()}")
HAS_TESTCAPI = importlib.util.find_spec("_testcapi") is not None
reads_proc = pytest.mark.skipif(not LINUX, reason="reads /proc, which only Linux has")
_UNLIMITED = ("AddressSanitizer reserves more address space than RLIMIT_AS allows" if SANITIZED
              else "qemu's user-mode emulation ignores RLIMIT_AS" if EMULATED
              else "reads /proc, which only Linux has" if not LINUX else "")
limits_address_space = pytest.mark.skipif(bool(_UNLIMITED), reason=_UNLIMITED)
fails_allocations = pytest.mark.skipif(not HAS_TESTCAPI, reason="needs _testcapi to fail allocations")
# CPython 3.13 and newer crash by themselves when an allocation fails while
# they import a single-phase init module: a ten-line module that does nothing
# crashes the same way on 3.13.0, 3.13.5, 3.14.10 and 3.15.2.
import_survives_failed_allocations = pytest.mark.skipif(
    sys.version_info >= (3, 13), reason=f"CPython {platform.python_version()} crashes by itself under "
    "injected allocation failures while importing a single-phase init module")

# The calling thread's floating-point environment, through the C library's
# fegetenv, fesetenv and fesetround, with no compiler (CI runs the suite with
# none). glibc's fenv_t on x86-64 is the x87 state and then, at byte 28 of 32,
# the SSE unit's MXCSR, whose bit 15 flushes tiny results to zero (FTZ) and
# bit 6 reads subnormal operands as zero (DAZ); on aarch64 it is {FPCR, FPSR},
# and FPCR's bit 24 (FZ) does both at once, there being no DAZ of its own.
# Rounding modes are fesetround's constants.
_MACHINE = platform.machine() if platform.libc_ver()[0] == "glibc" else "not glibc"
_FENV_WORDS, _FLUSH_WORD, _FLUSHES, ROUNDINGS = {
    "x86_64": (8, 7, {"": 0, "ftz": 0x8000, "daz": 0x40, "ftz+daz": 0x8040},
               {"nearest": 0, "downward": 0x400, "upward": 0x800, "toward zero": 0xC00}),
    "aarch64": (2, 0, {"": 0, "ftz+daz": 1 << 24},
                {"nearest": 0, "downward": 0x800000, "upward": 0x400000, "toward zero": 0xC00000}),
}.get(_MACHINE, (0, 0, {}, {}))


@contextmanager
def floating_point(flush="", rounding="nearest"):
    """The thread's floating-point environment with `flush` ("ftz", "daz" or both) and
    `rounding`; the one before is restored however the block ends. Skips where the
    environment cannot be set so."""
    if flush not in _FLUSHES:
        pytest.skip(f"aarch64 has no {flush} alone: FPCR.FZ flushes operands and results together"
                    if _FLUSHES else "sets the environment through glibc's fenv_t on x86-64 and aarch64 only")
    saved = (c_uint32 * _FENV_WORDS)()
    assert libm.fegetenv(saved) == 0
    changed = type(saved).from_buffer_copy(saved)
    changed[_FLUSH_WORD] |= _FLUSHES[flush]
    try:
        assert libm.fesetenv(changed) == 0 and libm.fesetround(ROUNDINGS[rounding]) == 0
        yield
    finally:
        assert libm.fesetenv(saved) == 0


UNWRAP, OSCILLATOR = "called `Result::unwrap()` on an `Err` value: ", TYPICAL["harmonic_oscillator"]
STRIDED = UNWRAP + "NotContiguousError"


def oscillate(t):
    return vuvirida.harmonic_oscillator(t, *OSCILLATOR)


def panic_of(call):
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value).__name__ == "PanicException" and not isinstance(caught.value, Exception)
    return caught.value


def span(a):  # the byte range of a contiguous array
    return a.ctypes.data, a.ctypes.data + a.nbytes


# The registry table, version 1. PYFUNCTYPE keeps the interpreter lock held,
# as the registry expects of its callers.
CAPSULE, ATTRIBUTE = b"vuvirida.borrow_registry", "_vuvirida_borrow_registry"
RANGE, RELEASE = (ctypes.PYFUNCTYPE(r, c_void_p, c_size_t, c_size_t) for r in (c_int, None))
API = ctypes.pythonapi
API.PyCapsule_GetPointer.restype, API.PyCapsule_GetPointer.argtypes = c_void_p, [py_object, c_char_p]
API.PyCapsule_New.restype, API.PyCapsule_New.argtypes = py_object, [c_void_p, c_char_p, c_void_p]
MULTIARRAY = importlib.import_module("numpy.core.multiarray")  # where the module looks first for `_ARRAY_API`


class BorrowTable(ctypes.Structure):
    _fields_ = [("version", c_uint64), ("state", c_void_p), ("acquire_shared", RANGE),
                ("acquire_writeable", RANGE), ("release_shared", RELEASE), ("release_writeable", RELEASE)]


OWNED = {}  # tables by the address of the capsule that owns them
# A capsule's destructor frees its table, as another extension's would.
DROP_TABLE = ctypes.PYFUNCTYPE(None, c_void_p)(lambda capsule: OWNED.pop(capsule))


def install_registry(version=1, acquire=lambda *a: 0, release=lambda *a: None, null=(), where=MULTIARRAY):
    entries = {"acquire_shared": RANGE(acquire), "acquire_writeable": RANGE(acquire),
               "release_shared": RELEASE(release), "release_writeable": RELEASE(release)}
    entries.update({name: type(entries[name])() for name in null})  # null function pointers
    table = BorrowTable(version, None, **entries)
    capsule = API.PyCapsule_New(ctypes.addressof(table), CAPSULE, ctypes.cast(DROP_TABLE, c_void_p))
    OWNED[id(capsule)] = table
    setattr(where, ATTRIBUTE, capsule)


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


def numpy_table():
    """A copy of NumPy's API table, installed in its place, that the caller may change."""
    real = (c_void_p * 200).from_address(API.PyCapsule_GetPointer(MULTIARRAY._ARRAY_API, None))
    table = (c_void_p * 200)(*real)
    MULTIARRAY._ARRAY_API = API.PyCapsule_New(ctypes.addressof(table), None, None)
    OWNED[id(MULTIARRAY._ARRAY_API)] = table  # for as long as the process lives
    return table


@pytest.fixture
def registry():
    """The module's own registry table; whatever a test puts in its place is undone."""
    oscillate(np.zeros(1))  # the first borrow installs it
    own = getattr(MULTIARRAY, ATTRIBUTE)
    yield table_of(own)
    setattr(MULTIARRAY, ATTRIBUTE, own)  # adopted again at the next borrow


def in_the_call(registry, t):
    """Whether a call holds its borrow of `t`, as seen from code the call runs."""
    code = registry.acquire_writeable(registry.state, *span(t))
    if code == 0:
        registry.release_writeable(registry.state, *span(t))
    return code == -1


# Each script runs in a child forked from an interpreter that has imported
# NumPy and not vuvirida, with its own standard output and error, and ends as
# a program does (finalising the interpreter). PRELUDE imports the module and
# gives what scripts share: `attempt` prints what a call raised, or "ok".
PRELUDE = f"""import os, sys, time
sys.path.insert(0, {os.path.dirname(__file__)!r})
def attempt(call):
    try:
        call()
    except BaseException as error:
        print(type(error).__name__, *error.args, sep="|")
    else:
        print("ok")
from reference import Hook, raising
def together(work, count):  # work(k) on `count` threads at once
    import threading
    threads = [threading.Thread(target=work, args=(k,)) for k in range(count)]
    [thread.start() for thread in threads], [thread.join() for thread in threads]
import numpy as np, vuvirida
t = np.linspace(0.0, 1.0, 10)
"""
_FORKER = """import json, os, sys, time, warnings
import numpy
warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
scripts, folder, results = json.load(sys.stdin), sys.argv[1], {}
for name, (script, env) in scripts.items():
    out, err = (os.path.join(folder, f"{len(results)}.{k}") for k in "oe")
    sys.stdout.flush(), sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        os.environ.update(env)
        for fd, path in ((1, out), (2, err)):
            os.dup2(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC), fd)
        exec(compile(script, name, "exec"), {"__name__": "__main__"})
        sys.exit(0)
    deadline = time.monotonic() + 120
    while not (done := os.waitpid(pid, os.WNOHANG))[0] and time.monotonic() < deadline:
        time.sleep(0.005)
    if not done[0]:
        os.kill(pid, 9)
        done = os.waitpid(pid, 0)
    results[name] = [done[1]] + [open(p, errors="replace").read().splitlines() for p in (out, err)]
print(json.dumps(results))
"""


def run_fresh(scripts, folder):
    """Runs {name: (script, environment)}; gives {name: (wait status, stdout lines, stderr lines)}."""
    env = {k: v for k, v in os.environ.items() if k != "VUVIRIDA_BACKTRACE"}
    done = subprocess.run([sys.executable, "-c", _FORKER, str(folder)], input=json.dumps(scripts),
                          capture_output=True, text=True, env=env, timeout=900)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)
