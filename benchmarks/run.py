#!/usr/bin/env python3
"""Times the five vuvirida functions against what a scientist would otherwise run.

    python benchmarks/run.py --quick              # shorter timings, report printed only
    python benchmarks/run.py --out results        # full run, also writes results/performance.{md,png}
    python benchmarks/run.py --update-docs        # full run, rewrites the tracked docs/performance.{md,png}
    python benchmarks/run.py --ratios --quick     # only vuvirida / floor at n = 1e5 and 1e6, against the targets

The report names the machine, the library versions and how the module was
installed, never a path on the machine that ran it.

In one run, for every function and n in 0, 1, 48, 1000, 100000, 1000000:
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
It also counts, for each function's exp, sin and cos arguments at n = 1000000,
the share that the module's lanes hand back to libm (benchmarks/lane_share.cpp),
and times fourier_square_wave with 25 harmonics against the floor.
Each time is the minimum over repeats (other work on the machine only slows a
repeat down), the contenders taking turns. It also reports how far the NumPy
and numexpr values are from the libm evaluation, checks that vuvirida's values
are the floor's bit for bit, and compares the call overhead with
numpy.empty(0) and a zero gamma with a nonzero one. Exits non-zero if
vuvirida's values differ from the floor's.
"""
import argparse
import ctypes
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import timeit

# Nothing here calls BLAS; OpenBLAS's idle worker threads would only compete
# with the timed thread for the machine's cores.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import vuvirida  # noqa: E402

try:
    import numexpr
except ImportError:
    numexpr = None

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SIZES = [0, 1, 48, 1000, 100_000, 1_000_000]
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
# vuvirida / floor at each of RATIO_SIZES that the lanes should reach; fourier_square_wave
# at 5 and at MANY_HARMONICS harmonics.
FLOOR_TARGETS = {"harmonic_oscillator": 0.45, "pseudo_square_wave": 0.45, "fourier_square_wave": 0.40,
                 "pseudo_cycloid_wave": 0.45, "transient_impulse": 0.36}
MANY_HARMONICS = 25
RATIO_SIZES = (100_000, 1_000_000)

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


def build_library(sources, library, flags):
    """Compiles sources (with src/ on the include path) into the shared library and loads it."""
    command = [os.environ.get("CXX", "g++"), *flags, "-shared", "-fPIC", "-I", os.path.join(ROOT, "src"),
               *sources, "-o", library]
    subprocess.run(command, check=True)
    return ctypes.CDLL(library)


def load_floor(lib):
    pointer = ctypes.POINTER(ctypes.c_double)
    lib.floor_eval.argtypes = [ctypes.c_int, pointer, ctypes.c_size_t, pointer, pointer,
                               ctypes.c_uint64]
    lib.floor_seconds.argtypes = lib.floor_eval.argtypes + [ctypes.c_long, ctypes.c_int]
    lib.floor_seconds.restype = ctypes.c_double
    return lib


def build_floor(directory):
    sources = [os.path.join(HERE, "floor.cpp"), os.path.join(HERE, "lane_share.cpp"),
               os.path.join(ROOT, "src", "lib", "exp_lanes.cpp"), os.path.join(ROOT, "src", "lib", "trig_lanes.cpp")]
    lib = load_floor(build_library(sources, os.path.join(directory, "floor.so"),
                                   ["-O2", "-ffp-contract=off", "-fno-fast-math", "-fno-builtin-sin",
                                    "-fno-builtin-cos", "-std=c++20"]))
    lib.lane_fallback_share.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_double), ctypes.c_size_t]
    lib.lane_fallback_share.restype = ctypes.c_double
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


def fallback_share(lib, function, arrays):
    """The share of the arrays' arguments that the lanes of function (0 exp, 1 sin, 2 cos)
    hand to libm, or -1 where those lanes are not in use."""
    pointer = lambda x: np.ascontiguousarray(x).ctypes.data_as(ctypes.POINTER(ctypes.c_double))
    shares = [lib.lane_fallback_share(function, pointer(x), len(x)) for x in arrays]
    return float("nan") if not shares else -1.0 if min(shares) < 0 else float(np.mean(shares))


def ratio_entries():
    """(label, index, scalars) of each run that FLOOR_TARGETS sets a ratio to the floor for."""
    entries = []
    for index, (name, scalars) in enumerate(FUNCTIONS):
        if index != 2:
            entries.append((name, index, scalars))
            continue
        for count in (scalars[5], MANY_HARMONICS):
            entries.append((f"{name} ({count} harmonics)", index, scalars[:5] + (count,)))
    return entries


def against_floor(lib, entries, budget, repeats, mismatches):
    """vuvirida's time over the floor's for each entry and each of RATIO_SIZES."""
    ratios = {}
    for label, index, scalars in entries:
        fn = getattr(vuvirida, FUNCTIONS[index][0])
        for n in RATIO_SIZES:
            t = np.linspace(0.0, 240.0, n)
            floor = Floor(lib, index, scalars, t)
            if not np.array_equal(fn(t, *scalars).view(np.int64), floor.values().view(np.int64)):
                mismatches.append((label, n))
            best = fastest(repeats, {"vuvirida": repeat_of(fn, budget, (t,) + scalars), "floor": floor.repeat(budget)})
            ratios[(label, n)] = best["vuvirida"] / best["floor"]
    return ratios


def targets_table(checks):
    lines = ["| target | measured | met |", "|---|---:|---|"]
    for label, value, op, limit in checks:
        met = value <= limit if op == "<=" else value >= limit
        lines.append(f"| {label} | {value:.3g} | {'yes' if met else 'no'} |")
    return lines


def ratio_checks(ratios):
    return [(f"{label}: n = {n} time / floor <= {FLOOR_TARGETS[FUNCTIONS[index][0]]}", ratios[(label, n)], "<=",
             FLOOR_TARGETS[FUNCTIONS[index][0]]) for n in RATIO_SIZES for label, index, _ in ratio_entries()]


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

    def repeat(self, budget):
        """Like repeat_of, timed inside C."""
        once = self.lib.floor_seconds(*self._args(), 1, 1)
        inner = max(1, int(budget / max(once, 1e-9)))
        return lambda: self.lib.floor_seconds(*self._args(), inner, 1)


def repeat_of(call, budget, args=()):
    """A function that times one repeat of call(*args) and returns the time per call. The
    call is compiled as a plain positional call, so no wrapper or argument unpacking is
    timed with it; each repeat runs it often enough to fill the budget."""
    names = {"call": call, **{f"a{i}": a for i, a in enumerate(args)}}
    timer = timeit.Timer("call(" + ", ".join(f"a{i}" for i in range(len(args))) + ")", globals=names)
    number = max(1, int(budget / max(timer.timeit(1), 1e-9)))
    return lambda: timer.timeit(number) / number


def fastest(repeats, contenders):
    """The fastest repeat of each contender, taking turns so that a busy moment on the
    machine falls on all of them alike."""
    best = {name: float("inf") for name in contenders}
    for _ in range(repeats):
        for name, once in contenders.items():
            best[name] = min(best[name], once())
    return best


class BorrowTable(ctypes.Structure):
    _range = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t)
    _release = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t)
    _fields_ = [("version", ctypes.c_uint64), ("state", ctypes.c_void_p), ("acquire_shared", _range),
                ("acquire_writeable", _range), ("release_shared", _release), ("release_writeable", _release)]


def held_borrows(budget, repeats, counts=(0, 100_000)):
    """The time of a one-sample harmonic_oscillator call while another extension holds
    each count of borrows of unrelated memory (half shared, half writeable) in the
    registry that the module installed."""
    import importlib
    where = importlib.import_module("numpy.core.multiarray")
    t = np.linspace(0.0, 240.0, 1)
    vuvirida.harmonic_oscillator(t, *OSCILLATOR)  # installs the registry
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = BorrowTable.from_address(get(where._vuvirida_borrow_registry, b"vuvirida.borrow_registry"))
    entries = [(table.acquire_shared, table.release_shared), (table.acquire_writeable, table.release_writeable)]
    held, times = [], {}
    try:
        for count in counts:
            while len(held) < count:  # 32 bytes every 64, far below any array's memory
                begin, (acquire, release) = 0x10000 + 64 * len(held), entries[len(held) % 2]
                if acquire(table.state, begin, begin + 32) != 0:
                    raise RuntimeError("the registry refused an unrelated borrow")
                held.append((release, begin))
            call = repeat_of(vuvirida.harmonic_oscillator, budget, (t,) + OSCILLATOR)
            times[count] = fastest(repeats, {"call": call})["call"]
    finally:
        for release, begin in held:
            release(table.state, begin, begin + 32)
    return times


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
    gxx = subprocess.run([os.environ.get("CXX", "g++"), "--version"], capture_output=True, text=True).stdout.splitlines()
    return {
        "cpu": f"{model}, {os.cpu_count()} logical cores",
        "system": f"{platform.system()} {platform.release()}, {' '.join(platform.libc_ver())}",
        "python": platform.python_version(),
        "numpy": np.__version__,
        "numexpr": f"{numexpr.__version__} (1 thread)" if numexpr else "not installed",
        "compiler (floor)": gxx[0] if gxx else "unknown",
        "libmvec build": libmvec,
        "vuvirida": f"{os.path.basename(vuvirida.__file__)}, {installed_where()}",
    }


def installed_where():
    """How the module under test was installed, in words rather than a path."""
    folder = os.path.dirname(os.path.abspath(vuvirida.__file__))
    if os.path.basename(folder) in ("site-packages", "dist-packages"):
        return "installed into " + ("a virtual environment" if sys.prefix != sys.base_prefix else "the interpreter")
    return "loaded from a build directory"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter timings (fewer, shorter repeats)")
    parser.add_argument("--ratios", action="store_true",
                        help="only vuvirida's time over the floor's at n = 1e5 and 1e6, against their targets")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--out", metavar="DIR", help="also write performance.md and performance.png into DIR")
    where.add_argument("--update-docs", action="store_true",
                       help="also rewrite the tracked docs/performance.md and docs/performance.png")
    args = parser.parse_args()
    out = os.path.join(ROOT, "docs") if args.update_docs else args.out
    budget, repeats = (0.01, 3) if args.quick else (0.04, 11)
    args.repeats = repeats
    if numexpr:
        numexpr.set_num_threads(1)

    workdir = tempfile.mkdtemp(prefix="vuvirida-floor-")
    try:
        lib = build_floor(workdir)
        if args.ratios:
            mismatches = []
            lines = targets_table(ratio_checks(against_floor(lib, ratio_entries(), budget, repeats, mismatches)))
            bits = lib.trig_lane_bits()
            lines.insert(0, f"sin and cos lanes: {f'{bits} bits' if bits else 'not in use'}\n")
            print("\n".join(lines + [f"MISMATCH with the floor: {label} n={n}" for label, n in mismatches]))
            return 1 if mismatches else 0
        mvec, args.libmvec = build_libmvec(workdir)
        rows, mismatches = [], []
        for index, (name, scalars) in enumerate(FUNCTIONS):
            fn = getattr(vuvirida, name)
            for n in SIZES:
                t = np.linspace(0.0, 240.0, n)
                floor = Floor(lib, index, scalars, t)
                if not np.array_equal(fn(t, *scalars).view(np.int64), floor.values().view(np.int64)):
                    mismatches.append((name, n))
                contenders = {"vuvirida": repeat_of(fn, budget, (t,) + scalars),
                              "numpy": repeat_of(NUMPY[index], budget, (t,) + scalars),
                              "floor": floor.repeat(budget)}
                if mvec:
                    contenders["libmvec"] = Floor(mvec, index, scalars, t).repeat(budget)
                if numexpr:
                    contenders["numexpr"] = repeat_of(numexpr_call(index, scalars), budget, (t,))
                row = {"function": name, "n": n, "numexpr": float("nan"), "libmvec": float("nan")}
                row.update(fastest(repeats, contenders))
                rows.append(row)
                print(f"{name:>20} n={n:<8} vuvirida {fmt_time(row['vuvirida']):>9}  "
                      f"numpy {fmt_time(row['numpy']):>9}  numexpr {fmt_time(row['numexpr']):>9}  "
                      f"floor {fmt_time(row['floor']):>9}  libmvec {fmt_time(row['libmvec']):>9}", flush=True)
        # The rest of the runs with a target against the floor.
        ratios = {(label, r["n"]): r["vuvirida"] / r["floor"] for r in rows for label, index, scalars in ratio_entries()
                  if r["n"] in RATIO_SIZES and r["function"] == FUNCTIONS[index][0] and scalars == FUNCTIONS[index][1]}
        missing = [entry for entry in ratio_entries() if (entry[0], RATIO_SIZES[0]) not in ratios]
        ratios.update(against_floor(lib, missing, budget, repeats, mismatches))

        # Accuracy of the other evaluations against libm, on the largest array.
        t = np.linspace(0.0, 240.0, SIZES[-1])
        accuracy, args.trig_bits = [], lib.trig_lane_bits()
        for index, (name, scalars) in enumerate(FUNCTIONS):
            reference = Floor(lib, index, scalars, t).values()
            which, trig = trig_arguments(index, scalars, t)
            entry = {"function": name, "numpy": distance(NUMPY[index](t, *scalars), reference),
                     "vuvirida": distance(getattr(vuvirida, name)(t, *scalars), reference),
                     "exp": fallback_share(lib, 0, [exp_arguments(index, scalars, t)]),
                     "trig": (which, fallback_share(lib, which, trig))}
            if mvec:
                entry["libmvec"] = distance(Floor(mvec, index, scalars, t).values(), reference)
            if numexpr:
                entry["numexpr"] = distance(numexpr_call(index, scalars)(t), reference)
            accuracy.append(entry)

        # Call overhead, and the zero-gamma loop against the general one.
        empty = np.empty(0)
        contenders = {"numpy.empty(0)": repeat_of(np.empty, budget, (0,))}
        for name, scalars in FUNCTIONS:
            contenders[name] = repeat_of(getattr(vuvirida, name), budget, (empty,) + scalars)
        overhead = fastest(repeats, contenders)
        borrows = held_borrows(budget, repeats)
        zero_gamma = []
        for index, (name, scalars) in enumerate(FUNCTIONS[:4]):
            fn = getattr(vuvirida, name)
            flat = (scalars[0], 0.0) + scalars[2:]
            best = fastest(repeats, {"general": repeat_of(fn, budget, (t,) + scalars),
                                     "flat": repeat_of(fn, budget, (t,) + flat),
                                     "floor": Floor(lib, index, flat, t).repeat(budget)})
            zero_gamma.append((name, best["general"], best["flat"], best["floor"]))
        # The same samples at an address that is not a multiple of 8.
        raw = np.empty(8 * SIZES[-1] + 8, np.uint8)
        unaligned = []
        for name, scalars in FUNCTIONS:
            fn = getattr(vuvirida, name)
            for n in (48, SIZES[-1]):
                aligned = np.linspace(0.0, 240.0, n)
                odd = raw[1:1 + 8 * n].view(np.float64)
                odd[:] = aligned
                best = fastest(repeats, {"aligned": repeat_of(fn, budget, (aligned,) + scalars),
                                         "unaligned": repeat_of(fn, budget, (odd,) + scalars)})
                unaligned.append((name, n, best["aligned"], best["unaligned"]))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    report = render(rows, ratios, accuracy, overhead, zero_gamma, unaligned, borrows, mismatches, args)
    print()
    print(report)
    if out:
        os.makedirs(out, exist_ok=True)
        with open(os.path.join(out, "performance.md"), "w") as f:
            f.write(report)
        plotted = plot(rows, os.path.join(out, "performance.png"))
        print(f"wrote {os.path.join(out, 'performance.md')}" + (" and performance.png beside it" if plotted else ""))
    return 1 if mismatches else 0


def render(rows, ratios, accuracy, overhead, zero_gamma, unaligned, borrows, mismatches, args):
    lines = ["# Performance", "",
             "Made by `python benchmarks/run.py" + (" --quick" if args.quick else "")
             + (" --update-docs" if args.update_docs else "") + "`: "
             "t = linspace(0, 240, n); amplitude 1.5, gamma -0.01, omega 0.26, phi 0.3, y 0.1, "
             "num_harmonics 5; transient_impulse period 3, width 0.5, equilibrium 0.1. "
             f"Each time is the fastest of {args.repeats} repeats, the contenders of a row taking "
             "turns.", ""]
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
        lines.append(
            f"| {r['function']} | {r['n']} | {per(r['vuvirida'])} | {per(r['numpy'])} | "
            f"{fmt_ratio(r['numpy'] / r['vuvirida'])} | {per(r['numexpr'])} | "
            f"{fmt_ratio(r['numexpr'] / r['vuvirida'])} | {per(r['floor'])} | "
            f"{fmt_ratio(r['vuvirida'] / r['floor'])} | {per(r['libmvec'])} | "
            f"{fmt_ratio(r['vuvirida'] / r['libmvec'])} |")
    bits = args.trig_bits
    lines += ["", "Values against the libm evaluation (the floor) at n = 1000000: share of samples "
              "whose bits differ, and the largest distance in ulp. `exp to libm` and `sin/cos to "
              "libm` are the shares of the function's exp and sin or cos arguments that vuvirida's "
              "lanes hand back to libm (where the lanes are in use; every other value is the "
              "lanes', equal to libm's). sin and cos lanes in this process: "
              + (f"{bits} bits, {bits // 64} doubles." if bits else "not in use."), "",
              "| function | vuvirida | numpy | numexpr | libmvec | exp to libm | sin/cos to libm |",
              "|---|---:|---:|---:|---:|---:|---:|"]
    for a in accuracy:
        cell = lambda d: "-" if d is None else f"{d[0]:.2%}, {d[1]} ulp"
        lanes = a["function"] in EXP_LANES or (bits and a["function"] != "transient_impulse")
        share = lambda v: "all (no lanes)" if not lanes else "lanes not in use" if v < 0 else f"{v:.2%}"
        which, trig = a["trig"]
        lines.append(f"| {a['function']} | {cell(a['vuvirida'])} | {cell(a['numpy'])} | "
                     f"{cell(a.get('numexpr'))} | {cell(a.get('libmvec'))} | {share(a['exp'])} | "
                     + ("- |" if trig != trig else f"{share(trig)} ({('sin', 'cos')[which - 1]}) |"))
    lines += ["", "vuvirida's values equal the floor's bit for bit at every n." if not mismatches
              else "MISMATCH with the floor: " + ", ".join(f"{f} n={n}" for f, n in mismatches)]

    base = overhead["numpy.empty(0)"]
    lines += ["", f"Call overhead at n = 0: numpy.empty(0) takes {fmt_time(base)}.", "",
              "| function | n = 0 call | vs numpy.empty(0) |", "|---|---:|---:|"]
    for name, s in overhead.items():
        if name != "numpy.empty(0)":
            lines.append(f"| {name} | {fmt_time(s)} | {fmt_ratio(s / base)} |")
    lines += ["", "A call at n = 1 while another extension holds unrelated borrows in the registry:", "",
              "| borrows held | harmonic_oscillator |", "|---:|---:|"]
    lines += [f"| {count} | {fmt_time(s)} |" for count, s in borrows.items()]
    lines += ["", "A zero gamma at n = 1000000 (without the sin and cos lanes, the exp call is skipped "
              "where t * gamma is a zero):", "",
              "| function | gamma -0.01 | gamma 0 | speed-up | floor, gamma 0 |", "|---|---:|---:|---:|---:|"]
    for name, general, flat, floor in zero_gamma:
        lines.append(f"| {name} | {fmt_time(general)} | {fmt_time(flat)} | "
                     f"{fmt_ratio(general / flat)} | {fmt_time(floor)} |")
    lines += ["", "Skipping exp saves at most exp's share of a sample's time. Where the sin and cos "
              "lanes are in use, the oscillators take every exp from the exp lanes, whatever gamma, "
              "and a zero gamma saves little."]

    lines += ["", "Samples at an odd address (memory not aligned to 8 bytes) against the same "
              "samples aligned:", "", "| function | n | aligned | unaligned | unaligned / aligned |",
              "|---|---:|---:|---:|---:|"]
    for name, n, aligned, odd in unaligned:
        lines.append(f"| {name} | {n} | {fmt_time(aligned)} | {fmt_time(odd)} | {fmt_ratio(odd / aligned)} |")

    by = {(r["function"], r["n"]): r for r in rows}
    checks = [("n = 0 call <= 2x numpy.empty(0)",
               max(s / base for k, s in overhead.items() if k != "numpy.empty(0)"), "<=", 2.0)]
    # A tree of that many borrows no longer fits the caches; a scan of them all took a thousand times longer.
    checks.append((f"n = 1 call with {max(borrows)} borrows held / with none", max(borrows.values()) / borrows[0],
                   "<=", 4.0))
    for name, _ in FUNCTIONS:
        r = by[(name, 48)]
        checks.append((f"{name}: n = 48 >= 3x faster than NumPy", r["numpy"] / r["vuvirida"], ">=", 3.0))
    checks += ratio_checks(ratios)
    checks.append(("harmonic_oscillator: gamma 0 >= 1.5x faster than gamma -0.01",
                   zero_gamma[0][1] / zero_gamma[0][2], ">=", 1.5))
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
    fig.suptitle("vuvirida: time per sample against n (log-log), fastest of repeats")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


if __name__ == "__main__":
    sys.exit(main())
