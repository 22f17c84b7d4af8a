#!/usr/bin/env python3
"""Compares vuvirida's exp values with libm's on many random arguments (not part of the test suite).

    python benchmarks/exp_long_run.py                          # 10^8 arguments
    python benchmarks/exp_long_run.py --count 1e9 --jobs 2

The arguments go through the installed module's harmonic_oscillator(x, 1, 1, 0, 0, 0), whose value
is exp(x) unrounded, and through transient_impulse with random onsets and widths; the floor of
benchmarks/floor.cpp, built here (benchmarks/lanes_library.py), evaluates the same formulas as plain
loops over libm, and benchmarks/lane_share.cpp, built with it, counts the oscillator's exp arguments
that the chosen row's lanes hand back. Uniform arguments over the range the exp lanes cover, beyond it (the
lanes hand those to libm), and the usual envelope ranges, in equal shares, with a fifth of the
count through the pulse; each chunk of 10^6 is drawn from its own seed (--seed and the chunk's
number), so that the arguments do not depend on --jobs. The lanes of every row alone are compared
with libm by benchmarks/lanes_long_run.py. Exits non-zero on any difference.
"""
import argparse
import sys
import time

import numpy as np
import vuvirida

from lanes_library import FUNCTIONS, build, fallback_share, pointer
from lanes_long_run import in_parallel

RANGES = [(-708.0, 709.0), (-746.0, 711.0), (-20.0, 20.0), (-2.5, 0.0)]
CHUNK = 1_000_000
EXP = FUNCTIONS.index("exp")


def differing(got, want):
    same = (got.view(np.uint64) == want.view(np.uint64)) | (np.isnan(got) & np.isnan(want))
    return np.flatnonzero(~same)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=float, default=1e8)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--jobs", type=int, default=1, help="processes comparing at once")
    args = parser.parse_args()
    chunks = max(1, int(args.count) // CHUNK)
    start = time.time()
    lib = build("floor", ["floor.cpp"], jobs=min(args.jobs, 2))
    print(f"exp lanes of the {lib.lane_row().decode()} row; built in {time.time() - start:.0f} s", flush=True)

    def work(c):
        rng = np.random.default_rng([args.seed, c])
        kind = c % (len(RANGES) + 1)
        if kind < len(RANGES):
            index, name, scalars = 0, "harmonic_oscillator", (1.0, 1.0, 0.0, 0.0, 0.0)
            t = rng.uniform(*RANGES[kind], CHUNK)
        else:
            scalars = (1.0, float(rng.uniform(-3.0, 20.0)), float(10.0 ** rng.uniform(-3.0, 1.5)), 0.0)
            index, name, t = 4, "transient_impulse", rng.uniform(-7.0, 300.0, CHUNK)
        got, want = getattr(vuvirida, name)(t, *scalars), np.empty(CHUNK)
        lib.floor_eval(index, pointer(t), CHUNK, pointer(want), pointer(np.array(scalars)), 0)
        bad = differing(got, want)
        lines = [f"MISMATCH {name}{scalars} t={t[i].hex()}: {got[i].hex()} != {want[i].hex()}" for i in bad[:3]]
        # The oscillator's exp arguments are its times.
        return kind, bad.size, fallback_share(lib, EXP, [t]) if index == 0 else None, lines

    compared, mismatches = 0, 0
    asked = {kind: [] for kind in range(len(RANGES))}
    for kind, differ, share, lines in in_parallel(work, range(chunks), args.jobs):
        print(*lines, sep="\n", end="\n" if lines else "", flush=True)
        mismatches, compared = mismatches + differ, compared + CHUNK
        if share is not None:
            asked[kind].append(share)
        if compared // CHUNK % 10 == 0 or compared // CHUNK == chunks:
            print(f"{compared:>12,} compared, {mismatches} differ, {time.time() - start:.0f} s", flush=True)
    print(f"{compared:,} values through the exp lanes, {mismatches} differ from libm, {time.time() - start:.0f} s")
    for (low, high), shares in zip(RANGES, asked.values()):
        if shares:  # -1: the lanes are not in use
            went = "every exp argument" if min(shares) < 0 else f"{np.mean(shares):.2%} of exp arguments"
            print(f"  x in [{low:g}, {high:g}]: {went} went to libm")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
