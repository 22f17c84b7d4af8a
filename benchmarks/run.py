#!/usr/bin/env python3
"""Times the five vuvirida functions against what a scientist would otherwise run.

    python benchmarks/run.py --quick              # shorter timings, report printed only
    python benchmarks/run.py --out results        # full run, also writes results/performance.{md,png}
    python benchmarks/run.py --update-docs        # full run, rewrites the tracked docs/performance.{md,png}
    python benchmarks/run.py --ratios --quick     # only the targets against the floor and under flush-to-zero

The report names the machine, the library versions and how the module was
installed, never a path on the machine that ran it.

In one run, for every function and n in 0, 1, 48, 1000, 1e5, 1e6:
  vuvirida   the module as installed in this interpreter;
  numpy      the NumPy expression of the same formula (a loop over harmonics for
             the Fourier sum, np.fmod and np.where for the impulse train);
  numexpr    the same expression through numexpr on one thread (skipped if missing);
  floor      the formula as a plain C++ loop over libm (benchmarks/floor.cpp),
             compiled here with $CXX (default g++) -O2 -ffp-contract=off and timed
             inside C.
  libmvec    the same source compiled again with -O3 -ffast-math, the widest
             x86-64 level the processor has, -fopenmp-simd (Clang: and
             -fveclib=libmvec) and -lmvec, so that the compiler calls glibc's
             vector exp, sin and cos: the limit this machine
             allows for the formulas, not libm's values bit for bit (skipped
             where it does not build).
Every time is thread CPU time, a batch of calls per clock reading, the fastest
of the turns that the contenders of a row take, the rows' turns spread over the
whole run (benchmarks/timing.py says why). It also times vuvirida, the floor
and libmvec at n = 1e7, and fourier_square_wave with 25 harmonics, against the
targets; each function with flush-to-zero and denormals-are-zero set against
the default mode, in a child process (benchmarks/flush_to_zero.py); and, in
wall time since that measures parallelism, two threads each making K calls
against one thread making 2K. It counts, for each function's exp, sin, cos
and remainder arguments at n = 1000000, the share that the module's lanes
hand back to libm (benchmarks/lane_share.cpp), reports how far the NumPy and
numexpr values are from the libm evaluation, checks that vuvirida's values
are the floor's bit for bit, and compares the call overhead with
numpy.empty(0) and a zero gamma with a nonzero one. Exits non-zero if
vuvirida's values differ from the floor's.

On the development machine a full run takes about 5 minutes, --quick about
2 and --ratios --quick 1 to 2 (the more, the busier the machine).
"""
import argparse
import ctypes
import json
import math
import os
import platform
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

# Nothing here calls BLAS; OpenBLAS's idle worker threads would only compete
# with the timed thread for the machine's cores.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import vuvirida  # noqa: E402

from lanes_library import build, fallback_share  # noqa: E402
from timing import Sweeps, batched, in_threads, on_warm_memory, repeat_of, take_turns, thread_seconds  # noqa: E402

try:
    import numexpr
except ImportError:
    numexpr = None

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SIZES = [0, 1, 48, 1000, 100_000, 1_000_000]
# Where the values are compared, the lanes' shares counted, and a zero gamma and odd
# addresses timed.
LARGE = 1_000_000
CYCLE = 6.283185297179586  # the impulse train's cycle length

# The benchmark's parameters.
AMPLITUDE, GAMMA, OMEGA, PHI, Y, HARMONICS = 1.5, -0.01, 0.26, 0.3, 0.1, 5
PERIOD, WIDTH = 3.0, 0.5
OSCILLATOR = (AMPLITUDE, GAMMA, OMEGA, PHI, Y)
FUNCTIONS = [  # name, scalars; the order is floor.cpp's
    ("harmonic_oscillator", OSCILLATOR),
    ("pseudo_square_wave", OSCILLATOR),
    ("fourier_square_wave", OSCILLATOR + (HARMONICS,)),
    ("pseudo_cycloid_wave", OSCILLATOR),
    ("transient_impulse", (AMPLITUDE, PERIOD, WIDTH, Y)),
]


# The main table's contenders, in the order of its columns.
CONTENDERS = ("vuvirida", "numpy", "numexpr", "floor", "libmvec")


# The NumPy expressions, as one would write them.
def np_harmonic(t, a, g, w, p, y):
    return a * np.exp(g * t) * np.cos(w * (t + p)) + y


def np_pseudo_square(t, a, g, w, p, y):
    return a * np.exp(g * t) * (np.sin(w * (t + p)) + 0.5 * np.sin(3 * (w * (t + p)))) + y


def np_fourier(t, a, g, w, p, y, n):
    s = np.zeros_like(t)
    for k in range(1, 2 * n, 2):
        s += np.sin(k * w * (t + p)) * (4 / np.pi) / k
    return a * np.exp(g * t) * (s + 1) + y


def np_cycloid(t, a, g, w, p, y):
    return a * np.exp(g * t) * (np.cos(2 * w * (t + p)) - 2 * np.cos(w * (t + p))) + y


def np_transient(t, a, period, width, eq):
    x = np.fmod(t, CYCLE) - period / 24 * 2 * np.pi
    return a * np.where(x >= 0, np.exp(-0.5 * (x / width) ** 2), 0.0) + eq


# The functions whose exp goes through vuvirida's exp lanes (where they are in use);
# at n = 1000000 with the sin and cos lanes in use, every oscillator's does.
EXP_LANES = {"harmonic_oscillator", "fourier_square_wave", "transient_impulse"}
# The most vuvirida's time may be of the floor's, for every function (fourier_square_wave at
# 5 and at MANY_HARMONICS harmonics), at each of RATIO_SIZES: at n = 48 a whole call, the
# fitting loop's case, against the floor's loop over 48 samples; above, the lanes' speed.
SHORT = 48
RATIO_SIZES = (SHORT, 100_000, 1_000_000, 10_000_000)
FLOOR_TARGET, SHORT_TARGET = 0.30, 0.75
MANY_HARMONICS = 25
# The most a call may take with flush-to-zero and denormals-are-zero set, over its time in the
# default mode (benchmarks/flush_to_zero.py, at its SIZES).
FLUSH_TARGET = 1.15
# glibc keeps freed memory for reuse up to this size; larger arrays are mapped afresh.
FRESH_BYTES = 32 << 20
# Where two threads making K calls each are timed against one making 2K.
THREAD_SIZES = (1000, 1_000_000)

NUMPY = [np_harmonic, np_pseudo_square, np_fourier, np_cycloid, np_transient]

NUMEXPR = [
    "a * exp(g * t) * cos(w * (t + p)) + y",
    "a * exp(g * t) * (sin(w * (t + p)) + 0.5 * sin(3 * (w * (t + p)))) + y",
    None,  # built from the harmonic count below
    "a * exp(g * t) * (cos(2 * w * (t + p)) - 2 * cos(w * (t + p))) + y",
    "a * where(fmod(t, c) - o >= 0, exp(-0.5 * ((fmod(t, c) - o) / d) ** 2), 0.0) + y",
]


def numexpr_call(index, scalars):
    if index == 2:
        a, g, w, p, y, n = scalars
        terms = " + ".join(f"sin({k} * w * (t + p)) * {4 / np.pi!r} / {k}" for k in range(1, 2 * n, 2))
        text = f"a * exp(g * t) * (({terms}) + 1) + y"
        names = dict(a=a, g=g, w=w, p=p, y=y)
    elif index == 4:
        a, period, width, eq = scalars
        text = NUMEXPR[4]
        names = dict(a=a, c=CYCLE, o=period / 24 * 2 * np.pi, d=width, y=eq)
    else:
        a, g, w, p, y = scalars
        text = NUMEXPR[index]
        names = dict(a=a, g=g, w=w, p=p, y=y)
    return lambda t: numexpr.evaluate(text, local_dict=dict(names, t=t))


def compile_library(sources, library, flags):
    """Compiles sources (with src/ on the include path) into the shared library."""
    command = [os.environ.get("CXX", "g++"), *flags, "-shared", "-fPIC", "-I", os.path.join(ROOT, "src"),
               *sources, "-o", library]
    subprocess.run(command, check=True)


def build_library(sources, library, flags):
    """Compiles sources (with src/ on the include path) into the shared library and loads it."""
    compile_library(sources, library, flags)
    return ctypes.CDLL(library)


# The floor's flags: no contraction, no fast math, sin and cos
# never merged into sincos, as the module is built.
FLOOR_FLAGS = ["-O2", "-ffp-contract=off", "-fno-fast-math", "-fno-builtin-sin", "-fno-builtin-cos", "-std=c++20"]


def load_floor(lib):
    pointer = ctypes.POINTER(ctypes.c_double)
    lib.floor_eval.argtypes = [ctypes.c_int, pointer, ctypes.c_size_t, pointer, pointer,
                               ctypes.c_uint64]
    lib.floor_seconds.argtypes = lib.floor_eval.argtypes + [ctypes.c_long, ctypes.c_int]
    lib.floor_seconds.restype = ctypes.c_double
    return lib


def build_floor(directory):
    """The floor, with benchmarks/fp_mode.cpp to read the process's floating-point mode."""
    lib = load_floor(build_library([os.path.join(HERE, "floor.cpp"), os.path.join(HERE, "fp_mode.cpp")],
                                   os.path.join(directory, "floor.so"), FLOOR_FLAGS))
    lib.fp_mode_get.restype = lib.fp_mode_flush_bits.restype = ctypes.c_ulong
    return lib


def build_libmvec(directory):
    """floor.cpp built to call glibc's vector math (libmvec), and how: (library, words),
    or (None, why not)."""
    flags = open("/proc/cpuinfo").read().split() if os.path.exists("/proc/cpuinfo") else []
    v3 = {"avx2", "fma", "bmi2", "movbe", "f16c"}
    level = ["-march=x86-64-v4"] if v3 | {"avx512f", "avx512dq", "avx512vl", "avx512bw", "avx512cd"} <= set(flags) \
        else ["-march=x86-64-v3"] if v3 <= set(flags) else []
    library, cxx = os.path.join(directory, "libmvec.so"), os.environ.get("CXX", "g++")
    clang = "clang" in subprocess.run([cxx, "--version"], capture_output=True, text=True).stdout
    options = ["-O3", "-ffast-math", *level, "-fopenmp-simd", *(["-fveclib=libmvec"] if clang else []), "-DFLOOR_LIBMVEC"]
    # Compiled and linked apart: linked with -ffast-math, GCC before 13 adds start-up code that
    # sets flush-to-zero for the whole process, which would turn vuvirida's lanes off.
    for command in ([cxx, *options, "-std=c++20", "-fPIC", "-c", os.path.join(HERE, "floor.cpp"), "-o", library + ".o"],
                    [cxx, "-shared", library + ".o", "-o", library, "-lmvec", "-lm"]):
        if subprocess.run(command, capture_output=True).returncode != 0:
            return None, "did not build"
    symbols = subprocess.run(["nm", "-D", "--undefined-only", library], capture_output=True, text=True).stdout
    vector = sorted({w.split("@")[0] for w in symbols.split() if w.startswith("_ZGV")})
    return load_floor(ctypes.CDLL(library)), f"`{' '.join(options[:-1])}`, calls {', '.join(vector) or 'no vector function'}"


def exp_arguments(index, scalars, t):
    """The arguments of every exp call the function makes for the samples t."""
    if index == 4:
        amplitude, period, width, eq = scalars
        x = np.fmod(t, CYCLE) - ((period / 24.0) * 6.283185307179586)
        x = x[x >= 0.0]
        return ((x / width) * (x / width)) * -0.5
    return t * scalars[1]


def trig_arguments(index, scalars, t):
    """The arguments of every sin (index 1) or cos (index 2) call: (which, list of arrays)."""
    w, u = scalars[2], t + scalars[3]
    if index in (0, 3):
        return 2, [u * w] + ([(w + w) * u] if index == 3 else [])
    if index == 1:
        return 1, [u * w, (u * w) * 3.0]
    if index == 2:
        return 1, [u * ((2 * j + 1) * w) for j in range(scalars[5])]
    return 1, []


def remainder_arguments(index, t):
    """The arguments of every fmod call the function makes for the samples t."""
    return [t] if index == 4 else []


def ratio_entries():
    """(label, index, scalars) of each run with a target against the floor and under flush-to-zero."""
    entries = []
    for index, (name, scalars) in enumerate(FUNCTIONS):
        if index != 2:
            entries.append((name, index, scalars))
            continue
        for count in (scalars[5], MANY_HARMONICS):
            entries.append((f"{name} ({count} harmonics)", index, scalars[:5] + (count,)))
    return entries


def contenders_of(lib, mvec, label, index, scalars, t, budget, mismatches, others=False):
    """One row's contenders: vuvirida, the floor and the libmvec loop (mvec, where it was
    built), with others NumPy and numexpr (where installed) too. Checks vuvirida's values
    against the floor's on the way (those calls' times size the batches)."""
    fn = getattr(vuvirida, FUNCTIONS[index][0])
    floor = Floor(lib, index, scalars, t)
    (mine, took), (theirs, floor_took) = thread_seconds(fn, t, *scalars), thread_seconds(floor.values)
    if not np.array_equal(mine.view(np.int64), theirs.view(np.int64)):
        mismatches.append((label, len(t)))
    # Arrays this large are mapped afresh by every call (timing.on_warm_memory): as much
    # memory as a call allocates (vuvirida: its buffer and the result; NumPy and numexpr:
    # their temporaries too) is touched before each turn.
    fresh = lambda batch, arrays: on_warm_memory(batch, arrays * t.nbytes) if t.nbytes > FRESH_BYTES else batch
    contenders = {"vuvirida": fresh(repeat_of(fn, budget, (t,) + scalars, took), 2)}
    if others:
        contenders["numpy"] = fresh(repeat_of(NUMPY[index], budget, (t,) + scalars), 4)
        if numexpr:
            contenders["numexpr"] = fresh(repeat_of(numexpr_call(index, scalars), budget, (t,)), 2)
    contenders["floor"] = floor.repeat(budget, floor_took)
    if mvec:
        contenders["libmvec"] = Floor(mvec, index, scalars, t).repeat(budget)
    return contenders


def against_floor(lib, mvec, entries, budget, sweeps, mismatches, report=None):
    """vuvirida, the floor and the libmvec loop for each entry at each of RATIO_SIZES:
    {(label, n): Turns}."""
    samples = {n: np.linspace(0.0, 240.0, n) for n in RATIO_SIZES}
    rows = {(label, n): contenders_of(lib, mvec, label, index, scalars, samples[n], budget, mismatches)
            for label, index, scalars in entries for n in RATIO_SIZES}
    return take_turns(rows, sweeps, report)


def targets_table(checks):
    lines = ["| target | measured | met |", "|---|---:|---|"]
    for label, value, op, limit in checks:
        met = value <= limit if op == "<=" else value >= limit
        lines.append(f"| {label} | {value:.3g} | {'yes' if met else 'no'} |")
    return lines


def ratio_checks(times):
    checks = []
    for n in RATIO_SIZES:
        limit, what = (SHORT_TARGET, "call") if n == SHORT else (FLOOR_TARGET, "time")
        for label, _, _ in ratio_entries():
            checks.append((f"{label}: n = {n} {what} / floor <= {limit}", ratio_of(times[(label, n)], "vuvirida", "floor"),
                           "<=", limit))
    return checks


def time_of(turns, name):
    """The contender's fastest turn, NaN where it did not run (numexpr missing, say)."""
    return turns.best(name) if name in turns.readings else float("nan")


def ratio_of(turns, a, b):
    """a's fastest turn over b's, NaN where either did not run."""
    return turns.ratio(a, b) if a in turns.readings and b in turns.readings else float("nan")


def turn_counts(times):
    """The fewest and the most turns any contender of the rows took, in words."""
    counts = [len(readings) for turns in times.values() for readings in turns.readings.values()]
    return f"{min(counts)}" if min(counts) == max(counts) else f"{min(counts)} to {max(counts)}"


def ratio_table(times):
    """vuvirida against the floor and the libmvec loop at RATIO_SIZES, every entry."""
    lines = ["| function | n | vuvirida | floor | vs floor | libmvec | vs libmvec |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for n in RATIO_SIZES:
        for label, _, _ in ratio_entries():
            turns = times[(label, n)]
            lines.append(f"| {label} | {n} | {fmt_time(time_of(turns, 'vuvirida'))} | "
                         f"{fmt_time(time_of(turns, 'floor'))} | {fmt_ratio(ratio_of(turns, 'vuvirida', 'floor'))} | "
                         f"{fmt_time(time_of(turns, 'libmvec'))} | {fmt_ratio(ratio_of(turns, 'vuvirida', 'libmvec'))} |")
    return lines


def with_flush_to_zero(quick):
    """benchmarks/flush_to_zero.py's times, run in a child process so that this one's
    floating-point mode stays the default; {"how": why not, "times": []} where it failed."""
    command = [sys.executable, os.path.join(HERE, "flush_to_zero.py"), "--json"] + (["--quick"] if quick else [])
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        last = (done.stderr.strip().splitlines() or ["no message"])[-1]
        return {"how": f"not measured: the child process failed ({last})", "times": []}
    return json.loads(done.stdout.strip().splitlines()[-1])


def flush_table(result):
    lines = [f"Flush-to-zero and denormals-are-zero {result['how']}.", ""]
    if result["times"]:
        lines += ["| function | n | default mode | FTZ and DAZ | FTZ and DAZ / default |", "|---|---:|---:|---:|---:|"]
        lines += [f"| {label} | {n} | {fmt_time(default)} | {fmt_time(flush)} | {fmt_ratio(ratio)} |"
                  for label, n, default, flush, ratio in result["times"]]
    return lines


def flush_checks(result):
    return [(f"{label}: n = {n} with FTZ and DAZ / default mode <= {FLUSH_TARGET}", ratio, "<=", FLUSH_TARGET)
            for label, n, _, _, ratio in result["times"]]


def thread_scaling(budget, sweeps, work):
    """For each function, and numpy.cos (which releases the GIL: what the machine's cores give at
    the moment), at each of THREAD_SIZES, the wall times of 1 thread making 2K calls and of 2
    threads making K calls each, K such that 2K calls take about `work` seconds:
    {(name, n, K): Turns of 1 and 2}."""
    rows = {}
    subjects = [(name, getattr(vuvirida, name), scalars) for name, scalars in FUNCTIONS] + [("numpy.cos", np.cos, ())]
    for name, call, scalars in subjects:
        for n in THREAD_SIZES:
            args = (np.linspace(0.0, 240.0, n),) + scalars
            k = max(1, math.ceil(work / 2 / repeat_of(call, budget, args)()))
            rows[(name, n, k)] = {threads: lambda c=call, a=args, threads=threads, calls=calls: in_threads(c, a, threads, calls)
                                  for threads, calls in ((1, 2 * k), (2, k))}
    return take_turns(rows, sweeps)


def threads_table(rows):
    lines = ["| function | n | K | 1 thread, 2K calls | 2 threads, K calls each | 2 threads / 1 thread |",
             "|---|---:|---:|---:|---:|---:|"]
    lines += [f"| {name} | {n} | {k} | {fmt_time(turns.best(1))} | {fmt_time(turns.best(2))} | "
              f"{fmt_ratio(turns.ratio(2, 1))} |" for (name, n, k), turns in rows.items()]
    return lines


class Floor:
    def __init__(self, lib, index, scalars, t):
        self.lib, self.index = lib, index
        self.t = np.ascontiguousarray(t)
        self.out = np.empty(max(len(t), 1))
        floats = list(scalars[:5] if index == 2 else scalars)
        self.s = (ctypes.c_double * len(floats))(*floats)
        self.harmonics = scalars[5] if index == 2 else 0

    def _args(self):
        ptr = lambda a: a.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
        return (self.index, ptr(self.t), len(self.t), ptr(self.out), self.s, self.harmonics)

    def values(self):
        self.lib.floor_eval(*self._args())
        return self.out[: len(self.t)].copy()

    def repeat(self, budget, took=None):
        """Like timing.repeat_of, the batch timed inside C."""
        args = self._args()
        return batched(lambda number: self.lib.floor_seconds(*args, number, 1), budget, took)


class BorrowTable(ctypes.Structure):
    _range = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t)
    _release = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t)
    _fields_ = [("version", ctypes.c_uint64), ("state", ctypes.c_void_p), ("acquire_shared", _range),
                ("acquire_writeable", _range), ("release_shared", _release), ("release_writeable", _release)]


def held_borrows(budget, counts=(0, 100_000)):
    """The time of a one-sample harmonic_oscillator call while another extension holds
    each count of borrows of unrelated memory (half shared, half writeable) in the
    registry that the module installed: (the contenders of a row, one per count, each of which
    takes the borrows before its turn and gives them back after it, untimed, so that the
    other rows' turns run with none held; a function that gives back every borrow held)."""
    import importlib
    where = importlib.import_module("numpy.core.multiarray")
    t = np.linspace(0.0, 240.0, 1)
    vuvirida.harmonic_oscillator(t, *OSCILLATOR)  # installs the registry
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = BorrowTable.from_address(get(where._vuvirida_borrow_registry, b"vuvirida.borrow_registry"))
    entries = [(table.acquire_shared, table.release_shared), (table.acquire_writeable, table.release_writeable)]
    held = []

    def hold(count):
        while len(held) > count:
            release, begin = held.pop()
            release(table.state, begin, begin + 32)
        while len(held) < count:  # 32 bytes every 64, far below any array's memory
            begin, (acquire, release) = 0x10000 + 64 * len(held), entries[len(held) % 2]
            if acquire(table.state, begin, begin + 32) != 0:
                raise RuntimeError("the registry refused an unrelated borrow")
            held.append((release, begin))

    call = repeat_of(vuvirida.harmonic_oscillator, budget, (t,) + OSCILLATOR)
    return {count: lambda count=count: (hold(count), call(), hold(0))[1] for count in counts}, lambda: hold(0)


def ordered(values):
    """The float64 values as integers in the same order, one apart per ulp."""
    i = np.asarray(values, dtype=np.float64).view(np.int64)
    return np.where(i < 0, -(i & 0x7FFFFFFFFFFFFFFF), i)


def distance(values, reference):
    """(share of samples whose bits differ, largest distance in ulp)"""
    a, b = np.asarray(values), np.asarray(reference)
    both_nan = np.isnan(a) & np.isnan(b)
    differ = (a.view(np.int64) != b.view(np.int64)) & ~both_nan
    if np.any(np.isnan(a) != np.isnan(b)):
        return differ.mean(), float("inf")
    ulps = np.abs(ordered(np.where(both_nan, 0.0, a)) - ordered(np.where(both_nan, 0.0, b)))
    return differ.mean(), int(ulps.max()) if len(ulps) else 0


def fmt_time(s):
    if s != s:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}"
    return f"{s / 1e-9:.3g} ns"


def fmt_ratio(r):
    return "-" if r != r else f"{r:.2f}x"


def machine(libmvec):
    model = platform.processor() or "unknown"
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    info = open("/proc/cpuinfo").read() if os.path.exists("/proc/cpuinfo") else ""
    field = lambda key: next((line.split(":", 1)[1].strip() for line in info.splitlines()
                              if line.split(":")[0].strip() == key), None)
    family = f" (family {field('cpu family')}, model {field('model')})" if field("cpu family") else ""
    flags = set((field("flags") or "").split())
    vectors = "AVX-512" if "avx512f" in flags else "AVX2" if "avx2" in flags else None
    gxx = subprocess.run([os.environ.get("CXX", "g++"), "--version"], capture_output=True, text=True).stdout.splitlines()
    return {
        "cpu": f"{model}{family}, {os.cpu_count()} logical cores" + (f", {vectors}" if vectors else ""),
        "system": f"{platform.system()} {platform.release()}, {' '.join(platform.libc_ver())}",
        "python": interpreter(),
        "numpy": np.__version__,
        "numexpr": f"{numexpr.__version__} (1 thread)" if numexpr else "not installed",
        "compiler (floor)": gxx[0] if gxx else "unknown",
        "libmvec build": libmvec,
        "vuvirida": f"{os.path.basename(vuvirida.__file__)}, {installed_where()}",
    }


def interpreter():
    """The interpreter's version, and on a free-threaded build whether the GIL is on."""
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        return platform.python_version()
    return platform.python_version() + ", free-threaded, the GIL " + (
        "switched on" if sys._is_gil_enabled() else "off")


def installed_where():
    """How the module under test was installed, in words rather than a path."""
    folder = os.path.dirname(os.path.abspath(vuvirida.__file__))
    if os.path.basename(folder) in ("site-packages", "dist-packages"):
        return "installed into " + ("a virtual environment" if sys.prefix != sys.base_prefix else "the interpreter")
    return "loaded from a build directory"


def progress(what):
    """What take_turns reports after each sweep: what is timed, the sweep and the time so far."""
    began = time.perf_counter()
    return lambda done, count: print(f"{what}: sweep {done} of {count}, {time.perf_counter() - began:.0f} s",
                                     flush=True)


def settings(quick):
    """(budget, Sweeps): the thread CPU time of one timed batch, and the sweeps over the rows."""
    return (0.01, Sweeps(5, 0.1)) if quick else (0.04, Sweeps(9, 0.3))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter timings (shorter batches, fewer sweeps)")
    parser.add_argument("--ratios", action="store_true",
                        help="only vuvirida against the floor at n = 48, 1e5, 1e6 and 1e7, and under "
                             "flush-to-zero, against their targets")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--out", metavar="DIR", help="also write performance.md and performance.png into DIR")
    where.add_argument("--update-docs", action="store_true",
                       help="also rewrite the tracked docs/performance.md and docs/performance.png")
    args = parser.parse_args()
    out = os.path.join(ROOT, "docs") if args.update_docs else args.out
    budget, sweeps = settings(args.quick)
    args.sweeps, args.budget = sweeps, budget
    if numexpr:
        numexpr.set_num_threads(1)

    began = time.perf_counter()
    workdir = tempfile.mkdtemp(prefix="vuvirida-floor-")
    try:
        lib, lanes = build_floor(workdir), build("lane_share", [])
        mvec, args.libmvec = build_libmvec(workdir)
        flush = lib.fp_mode_flush_bits()
        if lib.fp_mode_get() & flush:
            raise SystemExit("flush-to-zero is set in this process (a library built with -ffast-math was "
                             "loaded?): its times would not be the default mode's")
        # lane_fallback_share of no arguments: 0 where the lanes are in use, -1 where not.
        args.lane_row, args.trig_lanes = lanes.lane_row().decode(), lanes.lane_fallback_share(1, None, 0) >= 0
        for name, scalars in FUNCTIONS:  # what the module sets up on its first calls, before any timing
            getattr(vuvirida, name)(np.linspace(0.0, 240.0, 1000), *scalars)
        if args.ratios:
            mismatches = []
            times = against_floor(lib, mvec, ratio_entries(), budget, sweeps, mismatches, progress("ratios"))
            flushed = with_flush_to_zero(args.quick)
            lines = [f"sin and cos lanes: {f'the {args.lane_row} row' if args.trig_lanes else 'not in use'}; "
                     f"thread CPU time per call, the fastest of {turn_counts(times)} turns over {sweeps.count} "
                     "sweeps", ""]
            lines += ratio_table(times) + [""] + flush_table(flushed) + [""]
            lines += targets_table(ratio_checks(times) + flush_checks(flushed))
            print("\n".join(lines + [f"MISMATCH with the floor: {label} n={n}" for label, n in mismatches]))
            print(f"\n{time.perf_counter() - began:.0f} s")
            return 1 if mismatches else 0
        # The main table, and the entries with a target against the floor that it lacks (the
        # same run of turns, so that every row's turns are spread over the same time).
        samples = {n: np.linspace(0.0, 240.0, n) for n in sorted(set(SIZES) | set(RATIO_SIZES))}
        rows, mismatches = {}, []
        for index, (name, scalars) in enumerate(FUNCTIONS):
            for n in SIZES:
                rows[(name, n)] = contenders_of(lib, mvec, name, index, scalars, samples[n], budget, mismatches, True)
        for label, index, scalars in ratio_entries():
            for n in RATIO_SIZES:
                if (label, n) not in rows:
                    rows[(label, n)] = contenders_of(lib, mvec, label, index, scalars, samples[n], budget, mismatches)
        times = take_turns(rows, sweeps, progress("main table"))
        del rows
        table = [{"function": name, "n": n, "turns": times[(name, n)],
                  **{key: time_of(times[(name, n)], key) for key in CONTENDERS}} for name, _ in FUNCTIONS for n in SIZES]
        print(f"main table: {time.perf_counter() - began:.0f} s", flush=True)
        flushed = with_flush_to_zero(args.quick)
        # Wall time meets every pause of the shared machine: shorter turns, twice as many.
        threads = thread_scaling(budget, Sweeps(2 * sweeps.count, sweeps.row_seconds), 0.05)
        print(f"flush-to-zero and threads: {time.perf_counter() - began:.0f} s", flush=True)

        # Accuracy of the other evaluations against libm, and the lanes' shares.
        t = samples[LARGE]
        accuracy = []
        for index, (name, scalars) in enumerate(FUNCTIONS):
            reference = Floor(lib, index, scalars, t).values()
            which, trig = trig_arguments(index, scalars, t)
            entry = {"function": name, "numpy": distance(NUMPY[index](t, *scalars), reference),
                     "vuvirida": distance(getattr(vuvirida, name)(t, *scalars), reference),
                     "exp": fallback_share(lanes, 0, [exp_arguments(index, scalars, t)]),
                     "trig": (which, fallback_share(lanes, which, trig)),
                     "remainder": fallback_share(lanes, 3, remainder_arguments(index, t))}
            if mvec:
                entry["libmvec"] = distance(Floor(mvec, index, scalars, t).values(), reference)
            if numexpr:
                entry["numexpr"] = distance(numexpr_call(index, scalars)(t), reference)
            accuracy.append(entry)

        # Call overhead, borrows held, the zero-gamma loop against the general one, and the
        # same samples at an address that is not a multiple of 8: one more run of turns.
        empty = np.empty(0)
        borrows, release_borrows = held_borrows(budget)
        rest = {"overhead": {"numpy.empty(0)": repeat_of(np.empty, budget, (0,)),
                             **{name: repeat_of(getattr(vuvirida, name), budget, (empty,) + scalars)
                                for name, scalars in FUNCTIONS}},
                "borrows": borrows}
        for index, (name, scalars) in enumerate(FUNCTIONS[:4]):
            fn = getattr(vuvirida, name)
            flat = (scalars[0], 0.0) + scalars[2:]
            rest[("zero gamma", name)] = {"general": repeat_of(fn, budget, (t,) + scalars),
                                          "flat": repeat_of(fn, budget, (t,) + flat),
                                          "floor": Floor(lib, index, flat, t).repeat(budget)}
        for n in (SHORT, LARGE):
            odd = np.empty(8 * n + 8, np.uint8)[1:1 + 8 * n].view(np.float64)
            odd[:] = samples[n]
            for name, scalars in FUNCTIONS:
                fn = getattr(vuvirida, name)
                rest[("unaligned", name, n)] = {"aligned": repeat_of(fn, budget, (samples[n],) + scalars),
                                                "unaligned": repeat_of(fn, budget, (odd,) + scalars)}
        try:
            rest = take_turns(rest, sweeps)
        finally:
            release_borrows()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    report = render(table, times, flushed, threads, accuracy, rest, mismatches, args)
    print()
    print(report)
    if out:
        os.makedirs(out, exist_ok=True)
        with open(os.path.join(out, "performance.md"), "w") as f:
            f.write(report)
        plotted = plot(table, os.path.join(out, "performance.png"))
        print(f"wrote {os.path.join(out, 'performance.md')}" + (" and performance.png beside it" if plotted else ""))
    print(f"{time.perf_counter() - began:.0f} s")
    return 1 if mismatches else 0


def render(rows, times, flushed, threads, accuracy, rest, mismatches, args):
    overhead, borrows = rest["overhead"], rest["borrows"]
    zero_gamma = [(name, rest[("zero gamma", name)]) for name, _ in FUNCTIONS[:4]]
    unaligned = [(name, n, rest[("unaligned", name, n)]) for name, _ in FUNCTIONS for n in (SHORT, LARGE)]
    lines = ["# Performance", "",
             "Made by `python benchmarks/run.py" + (" --quick" if args.quick else "")
             + (" --update-docs" if args.update_docs else "") + "`: "
             "t = linspace(0, 240, n); amplitude 1.5, gamma -0.01, omega 0.26, phi 0.3, y 0.1, "
             "num_harmonics 5; transient_impulse period 3, width 0.5, equilibrium 0.1. "
             "Each time is the calling thread's CPU time per call (so other work on the machine "
             f"is left out), over a batch of calls lasting about {args.budget * 1e3:g} ms per clock "
             f"reading, the fastest of {turn_counts(times)} turns: the run goes over all the rows of a "
             f"table {args.sweeps.count} times, each row's contenders taking their turns one after "
             "another, so that each row's turns are spread over the whole run (benchmarks/timing.py "
             "says why). The thread table alone is in wall time.", ""]
    lines += [f"- {key}: {value}" for key, value in machine(args.libmvec).items()]
    lines += ["", "Time per call (per sample in brackets). `vs numpy` is NumPy's time over "
              "vuvirida's (higher is better); `vs floor` is vuvirida's time over the plain "
              "C++ libm loop's (1.00x is the floor, lower is better). `libmvec` is that loop "
              "vectorised through glibc's vector math library (see above): not libm's values bit for "
              "bit, the limit this machine allows; `vs libmvec` is vuvirida's time over its.", "",
              "| function | n | vuvirida | numpy | vs numpy | numexpr | vs numexpr | floor | vs floor "
              "| libmvec | vs libmvec |",
              "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        per = lambda s: f"{fmt_time(s)} ({fmt_time(s / r['n'])})" if r["n"] and s == s else fmt_time(s)
        turns = r["turns"]
        lines.append(
            f"| {r['function']} | {r['n']} | {per(r['vuvirida'])} | {per(r['numpy'])} | "
            f"{fmt_ratio(ratio_of(turns, 'numpy', 'vuvirida'))} | {per(r['numexpr'])} | "
            f"{fmt_ratio(ratio_of(turns, 'numexpr', 'vuvirida'))} | {per(r['floor'])} | "
            f"{fmt_ratio(ratio_of(turns, 'vuvirida', 'floor'))} | {per(r['libmvec'])} | "
            f"{fmt_ratio(ratio_of(turns, 'vuvirida', 'libmvec'))} |")
    lines += ["", "Values against the libm evaluation (the floor) at n = 1000000: share of samples "
              "whose bits differ, and the largest distance in ulp. `exp to libm` and `sin/cos to "
              "libm` are the shares of the function's exp and sin or cos arguments that vuvirida's "
              "lanes hand back to libm (where the lanes are in use; every other value is the "
              "lanes', equal to libm's). sin and cos lanes in this process: "
              + (f"the {args.lane_row} row's." if args.trig_lanes else "not in use."), "",
              "| function | vuvirida | numpy | numexpr | libmvec | exp to libm | sin/cos to libm | fmod to libm |",
              "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for a in accuracy:
        cell = lambda d: "-" if d is None else f"{d[0]:.2%}, {d[1]} ulp"
        lanes = a["function"] in EXP_LANES or (args.trig_lanes and a["function"] != "transient_impulse")
        share = lambda v: "all (no lanes)" if not lanes else "lanes not in use" if v < 0 else f"{v:.2%}"
        remainder = lambda v: "lanes not in use" if v < 0 else f"{v:.2%}"
        which, trig = a["trig"]
        lines.append(f"| {a['function']} | {cell(a['vuvirida'])} | {cell(a['numpy'])} | "
                     f"{cell(a.get('numexpr'))} | {cell(a.get('libmvec'))} | {share(a['exp'])} | "
                     + ("- |" if trig != trig else f"{share(trig)} ({('sin', 'cos')[which - 1]}) |")
                     + (" - |" if a["remainder"] != a["remainder"] else f" {remainder(a['remainder'])} |"))
    lines += ["", "vuvirida's values equal the floor's bit for bit at every n." if not mismatches
              else "MISMATCH with the floor: " + ", ".join(f"{f} n={n}" for f, n in mismatches)]

    lines += ["", "vuvirida against the plain loop (the floor) and the libmvec loop at the targets' sizes "
              "(at n = 48 a whole call, from Python, against the floor's loop over 48 samples):", ""]
    lines += ratio_table(times)
    lines += ["", "Each function in the default floating-point mode and with flush-to-zero and "
              "denormals-are-zero set, in a child process (benchmarks/flush_to_zero.py), the two "
              "modes taking turns:", ""] + flush_table(flushed)
    lines += ["", "Threads, in wall time (what a thread's CPU time cannot show): two threads started "
              "together, each making K calls on the same array, against one thread making 2K. "
              + ("The interpreter is free-threaded with the GIL off: calls may run at once, and 0.5 "
                 "would be two cores' worth." if sysconfig.get_config_var("Py_GIL_DISABLED")
                 and not sys._is_gil_enabled() else
                 "Under the GIL the module's calls run one after another (about 1.0); numpy.cos "
                 "releases the GIL and shows what the machine's two cores give at the moment."),
              ""] + threads_table(threads)

    base = "numpy.empty(0)"
    lines += ["", f"Call overhead at n = 0: numpy.empty(0) takes {fmt_time(overhead.best(base))}.", "",
              "| function | n = 0 call | vs numpy.empty(0) |", "|---|---:|---:|"]
    for name, _ in FUNCTIONS:
        lines.append(f"| {name} | {fmt_time(overhead.best(name))} | {fmt_ratio(overhead.ratio(name, base))} |")
    lines += ["", "A call at n = 1 while another extension holds unrelated borrows in the registry:", "",
              "| borrows held | harmonic_oscillator |", "|---:|---:|"]
    lines += [f"| {count} | {fmt_time(borrows.best(count))} |" for count in borrows.readings]
    lines += ["", "A zero gamma at n = 1000000:", "",
              "| function | gamma -0.01 | gamma 0 | speed-up | floor, gamma 0 |", "|---|---:|---:|---:|---:|"]
    for name, turns in zero_gamma:
        lines.append(f"| {name} | {fmt_time(turns.best('general'))} | {fmt_time(turns.best('flat'))} | "
                     f"{fmt_ratio(turns.ratio('general', 'flat'))} | {fmt_time(turns.best('floor'))} |")
    lines += ["", "Every exp is made, whatever gamma (exp(+-0) = 1 comes from the exp lanes or the "
              "library, and the product with the amplitude is made at run time, as flush-to-zero "
              "needs): a zero gamma saves little."]

    lines += ["", "Samples at an odd address (memory not aligned to 8 bytes) against the same "
              "samples aligned:", "", "| function | n | aligned | unaligned | unaligned / aligned |",
              "|---|---:|---:|---:|---:|"]
    for name, n, turns in unaligned:
        lines.append(f"| {name} | {n} | {fmt_time(turns.best('aligned'))} | {fmt_time(turns.best('unaligned'))} | "
                     f"{fmt_ratio(turns.ratio('unaligned', 'aligned'))} |")

    by = {(r["function"], r["n"]): r for r in rows}
    checks = [("n = 0 call <= 2x numpy.empty(0)", max(overhead.ratio(name, base) for name, _ in FUNCTIONS), "<=", 2.0)]
    # A tree of that many borrows no longer fits the caches; a scan of them all took a thousand times longer.
    most = max(borrows.readings)
    checks.append((f"n = 1 call with {most} borrows held / with none", borrows.ratio(most, 0), "<=", 4.0))
    for name, _ in FUNCTIONS:
        turns = by[(name, SHORT)]["turns"]
        checks.append((f"{name}: n = {SHORT} >= 3x faster than NumPy", turns.ratio("numpy", "vuvirida"), ">=", 3.0))
    checks += ratio_checks(times) + flush_checks(flushed)
    checks.append(("harmonic_oscillator: gamma 0 >= 1.5x faster than gamma -0.01",
                   zero_gamma[0][1].ratio("general", "flat"), ">=", 1.5))
    lines += ["", "Targets:", ""] + targets_table(checks)
    return "\n".join(lines) + "\n"


def plot(rows, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot written")
        return False
    fig, axes = plt.subplots(2, 3, figsize=(14, 8.5), sharex=True)
    for ax, (name, _) in zip(axes.flat, FUNCTIONS):
        mine = [r for r in rows if r["function"] == name and r["n"] > 0]
        ns = [r["n"] for r in mine]
        for key, style in (("vuvirida", "o-"), ("numpy", "s--"), ("numexpr", "^:"), ("floor", "k.-"),
                           ("libmvec", "x-.")):
            values = [r[key] / r["n"] for r in mine]
            if all(v == v for v in values):
                ax.loglog(ns, values, style, label=key)
        ax.set_title(name)
        ax.set_xlabel("n (samples)")
        ax.set_ylabel("time per sample (s)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    axes.flat[-1].axis("off")
    fig.suptitle("vuvirida: thread CPU time per sample against n (log-log), fastest of turns")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


if __name__ == "__main__":
    sys.exit(main())
