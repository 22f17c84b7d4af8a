#!/usr/bin/env python3
"""Compares the sin and cos lanes of each vector width with libm on many random arguments.

    python benchmarks/trig_long_run.py                # 10^8 arguments per function and width
    python benchmarks/trig_long_run.py --count 1e9 --seed 7

benchmarks/trig_lanes_check.cpp, compiled here with the kernels' flags against
src/lib/trig_lanes.cpp, calls the AVX2 and the AVX-512 lanes directly (the
processor must have both) and compares every value they keep with libm's bit
for bit; the NaNs they leave for libm are counted as its share. The argument
kinds take turns by chunk: uniform over the lanes' whole range, the usual
waveform ranges, the neighbourhoods of the library's branch points, of the
multiples of pi/2 and their midpoints and of the table points, and tiny and
log-uniform magnitudes. Not part of the test suite; exits non-zero on any
difference.
"""
import argparse
import os
import shutil
import sys
import tempfile
import time
from ctypes import POINTER, c_double, c_int, c_size_t, c_uint64

import numpy as np

from run import HERE, ROOT, build_library, ordered

KERNEL_FLAGS = ["-O3", "-std=c++20", "-ffp-contract=off", "-fno-fast-math", "-fno-associative-math",
                "-fno-builtin-sin", "-fno-builtin-cos", "-fvisibility=hidden"]
CHECK_FLAGS = ["-mavx2", "-mfma", "-mavx512f", "-mavx512dq", "-mavx512vl"]
WIDTHS, FUNCTIONS = ("avx2", "avx512"), ("sin", "cos")
LIMIT = 105414350.0
CHUNK = 1 << 20
# |x| where the library changes branch: sin's and cos's tiny ones, Taylor or table, the
# direct range, the middle range, the end of the reduction.
EDGES = [2.0**-26, 2.0**-27, 0.126, 0.85546875, float.fromhex("0x1.368fdp1"), float.fromhex("0x1.921fbp26")]
POINTS = np.concatenate([EDGES, np.arange(1, 110) / 128, (np.arange(1, 110) + 0.5) / 128])


def signed(rng, v):
    return np.where(rng.random(v.size) < 0.5, -v, v)


def near_branches(rng, n):
    """A third on the points above, a third on multiples of pi/2 (k up to 2^26, log-uniform), a
    third on their midpoints; each moved by up to 2^e ulps, e uniform in 0 ... 20."""
    k = np.floor(np.exp2(rng.uniform(0, 26, n)))
    centre = np.select([np.arange(n) % 3 == 0, np.arange(n) % 3 == 1],
                       [rng.choice(POINTS, n), k * (np.pi / 2)], (k + 0.5) * (np.pi / 2))
    reach = np.left_shift(1, rng.integers(0, 21, n))
    return signed(rng, (centre.view(np.int64) + rng.integers(-reach, reach + 1)).view(np.float64))


KINDS = {
    "uniform, |x| < 105414350": lambda rng, n: rng.uniform(-LIMIT, LIMIT, n),
    "uniform [-4, 4]": lambda rng, n: rng.uniform(-4.0, 4.0, n),
    "uniform [-64, 64]": lambda rng, n: rng.uniform(-64.0, 64.0, n),
    "uniform [-1e4, 1e4]": lambda rng, n: rng.uniform(-1e4, 1e4, n),
    "branch, pi/2 and table neighbourhoods": near_branches,
    "tiny, |x| in 2^-1074 ... 2^-20 log-uniform": lambda rng, n: signed(rng, np.exp2(rng.uniform(-1074, -20, n))),
    "|x| in 2^-20 ... 2^27 log-uniform": lambda rng, n: signed(rng, np.exp2(rng.uniform(-20, 27, n))),
}


def build(directory, name, defines=()):
    """The harness with the lanes; check builds (any define) fuse where asked, so need FMA."""
    sources = [os.path.join(HERE, "trig_lanes_check.cpp"), os.path.join(ROOT, "src", "lib", "trig_lanes.cpp")]
    flags = KERNEL_FLAGS + (CHECK_FLAGS if defines else []) + [f"-D{d}" for d in defines]
    lib = build_library(sources, os.path.join(directory, name + ".so"), flags)
    pointer = POINTER(c_double)
    lib.trig_library.argtypes = [c_int, pointer, c_size_t, pointer]
    lib.trig_lanes.argtypes = [c_int, c_int, pointer, c_size_t, pointer]
    lib.trig_compare.argtypes = [c_int, c_int, pointer, c_size_t, pointer, POINTER(c_uint64), pointer]
    return lib


def compare(libs, count, seed, widths=WIDTHS, progress=None, reference=None):
    """Runs count arguments per function through each (library, width) in libs and compares them
    with libm's values, or with the lanes reference = (library, width) where those keep one. Returns
    {(label, width, function, kind): [arguments, compared, differ]} and {label: its first differences}."""
    rng = np.random.default_rng(seed)
    ptr = lambda a: a.ctypes.data_as(POINTER(c_double))
    tally, bad, chunks = {}, {}, -(-int(count) // CHUNK)
    want, found = np.empty(CHUNK), np.zeros(3)
    for c in range(chunks):
        kind = list(KINDS)[c % len(KINDS)]
        x = np.ascontiguousarray(KINDS[kind](rng, CHUNK))
        for f, function in enumerate(FUNCTIONS):
            if reference:
                reference[0].trig_lanes(WIDTHS.index(reference[1]), f, ptr(x), CHUNK, ptr(want))
            else:
                next(iter(libs.values())).trig_library(f, ptr(x), CHUNK, ptr(want))
            for label, lib in libs.items():
                for w, width in enumerate(WIDTHS):
                    if width not in widths:
                        continue
                    counts = (c_uint64 * 2)()
                    lib.trig_compare(w, f, ptr(x), CHUNK, ptr(want), counts, ptr(found))
                    t = tally.setdefault((label, width, function, kind), [0, 0, 0])
                    t[0], t[1], t[2] = t[0] + CHUNK, t[1] + counts[0], t[2] + counts[1]
                    if counts[1] and len(bad.setdefault(label, [])) < 3:
                        ulps = int(ordered(found[1:2])[0] - ordered(found[2:3])[0])
                        bad[label].append(f"{width} {function}({found[0].hex()}) = {found[1].hex()}, "
                                          f"want {found[2].hex()} ({ulps:+d} ulp)")
        if progress and ((c + 1) % 50 == 0 or c + 1 == chunks):
            progress(c + 1, chunks, tally)
    return tally, bad


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=float, default=1e8, help="arguments per function and width")
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args()
    workdir = tempfile.mkdtemp(prefix="vuvirida-trig-run-")
    start = time.time()
    try:
        lib = build(workdir, "trig_lanes_check")
        report = lambda c, chunks, tally: print(
            f"{c * CHUNK:>14,} per function and width, {sum(t[2] for t in tally.values())} differ, "
            f"{time.time() - start:.0f} s", flush=True)
        tally, bad = compare({"": lib}, args.count, args.seed, progress=report)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print(*bad.get("", []), sep="\n")
    print(f"\nlanes in use at load: {bool(lib.trig_in_use())}; {time.time() - start:.0f} s\n"
          f"| arguments | width | function | compared | to libm | differ |\n|---|---|---|---:|---:|---:|")
    order = lambda item: (list(KINDS).index(item[0][3]), item[0][2], item[0][1])
    for (_, width, function, kind), (n, kept, differ) in sorted(tally.items(), key=order):
        print(f"| {kind} | {width} | {function} | {n:,} | {1 - kept / n:.3%} | {differ} |")
    return 1 if any(t[2] for t in tally.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
