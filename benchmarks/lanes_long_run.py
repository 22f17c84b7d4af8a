#!/usr/bin/env python3
"""Compares the exp, sin, cos and remainder lanes of every row of the width table with libm on many
random arguments.

    python benchmarks/lanes_long_run.py                          # 10^8 arguments per function and row
    python benchmarks/lanes_long_run.py --count 1e9 --jobs 2     # the full run, in two processes
    python benchmarks/lanes_long_run.py --functions sin cos --environment ftz+daz --count 1e7

benchmarks/lanes_check.cpp, built here with the kernels (benchmarks/lanes_library.py), calls each
row's lanes directly, every row the processor has that has them (the scalar row has only the
remainder's), and compares every value they keep with libm's exp, sin, cos or fmod(x, cycle) bit
for bit; the NaNs they leave for libm are counted as the share handed back. The arguments come in
chunks of 2^20, a chunk one kind of its function's (KINDS, taking turns), drawn from its own seed
(--seed, the function, the chunk's number): a run's arguments do not depend on --jobs, and a long
run can be split by --chunks (for instance 0:477 and 477:954 of a run of 10^9) without drawing any
argument twice. --environment sets flush-to-zero and/or denormals-are-zero for the lanes and libm
alike. Each process takes a core; on a shared machine of two, --jobs 2 at the most. Not part of
the test suite; exits non-zero on any difference.
"""
import argparse
import multiprocessing
import sys
import time
from ctypes import c_uint64

import numpy as np

from lanes_library import CYCLE, FUNCTIONS, build, pointer

CHUNK = 1 << 20
ENVIRONMENTS = {"default": 0, "ftz": 1, "daz": 2, "ftz+daz": 3}
# Where sin's and cos's lanes end, and |x| where the library changes branch: sin's and cos's tiny
# ones, Taylor or table, the direct range, the middle range, the end of the reduction.
TRIG_LIMIT = 105414350.0
TRIG_EDGES = [2.0**-26, 2.0**-27, 0.126, 0.85546875, float.fromhex("0x1.368fdp1"), float.fromhex("0x1.921fbp26")]
TRIG_POINTS = np.concatenate([TRIG_EDGES, np.arange(1, 110) / 128, (np.arange(1, 110) + 0.5) / 128])
# Where exp's table rows change (multiples of ln 2 / 128), and the ends of its lanes and of the doubles.
EXP_STEP = 0.6931471805599453 / 128
EXP_EDGES = np.array([708.0, 709.0, 709.78, 745.13, 2.0**-54])


def signed(rng, v):
    return np.where(rng.random(v.size) < 0.5, -v, v)


def moved(rng, centre):
    """Each centre moved by up to 2^e ulps, e uniform in 0 ... 20, either sign of the result."""
    reach = np.left_shift(1, rng.integers(0, 21, centre.size))
    return signed(rng, (np.abs(centre).view(np.int64) + rng.integers(-reach, reach + 1)).view(np.float64))


def log_uniform(rng, n, low, high):
    """|x| log-uniform in 2^low ... 2^high, either sign."""
    return signed(rng, np.exp2(rng.uniform(low, high, n)))


def near_trig_branches(rng, n):
    """A third on the points above, a third on multiples of pi/2 (k up to 2^26, log-uniform), a
    third on their midpoints; each moved."""
    k = np.floor(np.exp2(rng.uniform(0, 26, n)))
    third = np.arange(n) % 3
    centre = np.select([third == 0, third == 1], [rng.choice(TRIG_POINTS, n), k * (np.pi / 2)], (k + 0.5) * (np.pi / 2))
    return moved(rng, centre)


def near_exp_rows(rng, n):
    """Nine in ten on multiples of ln 2 / 128 (|k| up to 2^17, log-uniform), the rest on the edges; each moved."""
    k = np.floor(np.exp2(rng.uniform(0, 17, n)))
    return moved(rng, np.where(np.arange(n) % 10 == 0, rng.choice(EXP_EDGES, n), k * EXP_STEP))


def near_cycles(rng, n):
    """Multiples of the cycle below 2^28 (k log-uniform), moved: remainders next to 0 and to the cycle."""
    return moved(rng, np.floor(np.exp2(rng.uniform(0, np.log2(2.0**28 / CYCLE), n))) * CYCLE)


# Per function, the kinds of argument, taking turns by chunk: for exp, those of
# benchmarks/exp_long_run.py and the table's edges; for sin and cos, the lanes' whole range, the
# usual waveform ranges and the library's branch points; for the remainder, the lanes' range, the
# impulse train's samples, the multiples of the cycle and what the lanes hand back.
TRIG_KINDS = {
    "uniform, |x| < 105414350": lambda rng, n: rng.uniform(-TRIG_LIMIT, TRIG_LIMIT, n),
    "uniform [-4, 4]": lambda rng, n: rng.uniform(-4.0, 4.0, n),
    "uniform [-64, 64]": lambda rng, n: rng.uniform(-64.0, 64.0, n),
    "uniform [-1e4, 1e4]": lambda rng, n: rng.uniform(-1e4, 1e4, n),
    "branch, pi/2 and table neighbourhoods": near_trig_branches,
    "tiny, |x| in 2^-1074 ... 2^-20 log-uniform": lambda rng, n: log_uniform(rng, n, -1074, -20),
    "|x| in 2^-20 ... 2^27 log-uniform": lambda rng, n: log_uniform(rng, n, -20, 27),
}
KINDS = {
    "exp": {
        "uniform [-708, 709]": lambda rng, n: rng.uniform(-708.0, 709.0, n),
        "uniform [-746, 711]": lambda rng, n: rng.uniform(-746.0, 711.0, n),
        "uniform [-20, 20]": lambda rng, n: rng.uniform(-20.0, 20.0, n),
        "uniform [-2.5, 0]": lambda rng, n: rng.uniform(-2.5, 0.0, n),
        "multiples of ln 2 / 128 and the edges": near_exp_rows,
        "tiny, |x| in 2^-1074 ... 2^-20 log-uniform": lambda rng, n: log_uniform(rng, n, -1074, -20),
    },
    "sin": TRIG_KINDS,
    "cos": TRIG_KINDS,
    "remainder": {
        "uniform (-2^28, 2^28)": lambda rng, n: rng.uniform(-2.0**28, 2.0**28, n),
        "uniform [-7, 300]": lambda rng, n: rng.uniform(-7.0, 300.0, n),
        "next to multiples of the cycle": near_cycles,
        "beyond, |t| in 2^28 ... 2^1023 log-uniform": lambda rng, n: log_uniform(rng, n, 28, 1023),
        "subnormal and tiny, |t| in 2^-1074 ... 2^-20 log-uniform": lambda rng, n: log_uniform(rng, n, -1074, -20),
    },
}


def chunk_arguments(function, chunk, seed):
    """The kind and the CHUNK arguments of function's chunk number `chunk`."""
    kinds = KINDS[FUNCTIONS[function]]
    kind = list(kinds)[chunk % len(kinds)]
    rng = np.random.default_rng([seed, function, chunk])
    return kind, np.ascontiguousarray(kinds[kind](rng, CHUNK))


def rows_with(lib, function):
    """The rows (number, name) that run here and have lanes for function."""
    return [(r, lib.lanes_row_name(r).decode()) for r in range(lib.lanes_rows()) if lib.lanes_row_has(r, function)]


def compare(lib, row, function, x, want, want_library=True):
    """(values kept, kept values that differ from want, the first that differs as text or None)."""
    counts, found = (c_uint64 * 2)(), np.zeros(3)
    lib.lanes_compare(row, function, pointer(x), x.size, pointer(want), int(want_library), counts, pointer(found))
    if not counts[1]:
        return counts[0], 0, None
    ulps = "" if np.isnan(found[2]) else f" ({int(ordered(found[1]) - ordered(found[2])):+d} ulp)"
    x, got, wanted = (v.hex() for v in found)
    return counts[0], counts[1], f"{FUNCTIONS[function]}({x}) = {got}, want {wanted}{ulps}"


def ordered(v):
    """A float64 as an integer in the same order, one apart per ulp."""
    i = int(np.float64(v).view(np.int64))
    return -(i & 0x7FFFFFFFFFFFFFFF) if i < 0 else i


def in_parallel(work, tasks, jobs):
    """work(task) for each task, in any order, in jobs processes forked from this one (so that they
    share the libraries loaded here)."""
    global _work
    _work = work
    if jobs == 1:
        yield from map(work, tasks)
        return
    with multiprocessing.get_context("fork").Pool(jobs) as pool:
        yield from pool.imap_unordered(_call_work, tasks)


def _call_work(task):
    return _work(task)


class Tally:
    """Counts per key: [arguments, kept, differ], and up to three first differences per key[:-1]."""

    def __init__(self):
        self.counts, self.bad = {}, {}

    def add(self, key, arguments, kept, differ, bad):
        t = self.counts.setdefault(key, [0, 0, 0])
        t[0], t[1], t[2] = t[0] + arguments, t[1] + kept, t[2] + differ
        if bad and len(self.bad.setdefault(key[:-1], [])) < 3:
            self.bad[key[:-1]].append(bad)

    def total(self, match, i):
        return sum(v[i] for k, v in self.counts.items() if match(k))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=float, default=1e8, help="arguments per function and row")
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--functions", nargs="+", choices=FUNCTIONS, default=list(FUNCTIONS))
    parser.add_argument("--rows", nargs="+", help="rows of the width table (default: every row the processor has)")
    parser.add_argument("--environment", choices=ENVIRONMENTS, default="default")
    parser.add_argument("--chunks", default=None, help="FIRST:END, only those chunks of each function's run")
    parser.add_argument("--jobs", type=int, default=1, help="processes comparing at once")
    args = parser.parse_args()
    chunks = range(-(-int(args.count) // CHUNK))
    if args.chunks:
        first, end = (int(v) if v else None for v in args.chunks.split(":"))
        chunks = chunks[first:end]
    functions = [FUNCTIONS.index(f) for f in args.functions]
    start = time.time()
    lib = build("lanes_check", ["lanes_check.cpp"], jobs=min(args.jobs, 2))
    if lib.lanes_environment(ENVIRONMENTS[args.environment]) != 0:
        sys.exit(f"this processor has no {args.environment} switch")
    rows = {f: [r for r in rows_with(lib, f) if not args.rows or r[1] in args.rows] for f in functions}
    if not any(rows.values()):
        sys.exit("no row the processor has, of those named, has lanes for these functions")
    print(f"chosen row {lib.lane_row().decode()}; verified at load: "
          + ", ".join(f"{FUNCTIONS[f]} {bool(lib.lanes_verified(f))}" for f in range(len(FUNCTIONS)))
          + f"; environment {args.environment}; built in {time.time() - start:.0f} s", flush=True)

    def work(task):
        function, chunk = task
        kind, x = chunk_arguments(function, chunk, args.seed)
        want = np.empty_like(x)
        lib.lanes_library(function, pointer(x), x.size, pointer(want))
        return [((FUNCTIONS[function], name, kind), compare(lib, row, function, x, want))
                for row, name in rows[function]]

    tally, done = Tally(), 0
    tasks = [(f, c) for c in chunks for f in functions]
    for results in in_parallel(work, tasks, args.jobs):
        for key, (kept, differ, bad) in results:
            tally.add(key, CHUNK, kept, differ, bad)
        done += 1
        if done % 100 == 0 or done == len(tasks):
            print(f"{done:>6} of {len(tasks)} chunks, {tally.total(lambda k: True, 2)} differ, "
                  f"{time.time() - start:.0f} s", flush=True)

    for (function, row), lines in tally.bad.items():
        print(*(f"DIFFERS {row}: {line}" for line in lines), sep="\n")
    print(f"\n{len(chunks) * CHUNK:,} arguments per function and row, {time.time() - start:.0f} s\n\n"
          "| function | kind of argument | row | arguments | to libm | differ |\n|---|---|---|---:|---:|---:|")
    names = [name for _, name in rows_with(lib, FUNCTIONS.index("remainder"))]
    order = lambda k: (functions.index(FUNCTIONS.index(k[0])), list(KINDS[k[0]]).index(k[2]), names.index(k[1]))
    for key in sorted(tally.counts, key=order):
        n, kept, differ = tally.counts[key]
        kind = key[2].replace("|", "\\|")
        print(f"| {key[0]} | {kind} | {key[1]} | {n:,} | {1 - kept / n:.3%} | {differ} |")
    print("\n| function | row | arguments | to libm | differ |\n|---|---|---:|---:|---:|")
    for function in functions:
        for _, name in rows[function]:
            match = lambda k: k[:2] == (FUNCTIONS[function], name)
            n, kept = tally.total(match, 0), tally.total(match, 1)
            print(f"| {FUNCTIONS[function]} | {name} | {n:,} | {1 - kept / max(n, 1):.3%} | {tally.total(match, 2)} |")
    return 1 if tally.total(lambda k: True, 2) else 0


if __name__ == "__main__":
    sys.exit(main())
