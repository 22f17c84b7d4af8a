#!/usr/bin/env python3
"""Compares vuvirida's exp values with libm's on many random arguments (not part of the test suite).

    python benchmarks/exp_long_run.py                # 10^8 arguments
    python benchmarks/exp_long_run.py --count 1e9

The arguments go through harmonic_oscillator(x, 1, 1, 0, 0, 0), whose value is exp(x) unrounded,
and through transient_impulse with random onsets and widths; the floor of benchmarks/floor.cpp
evaluates the same formulas as plain loops over libm. Uniform arguments over the range the exp
lanes cover, beyond it (the lanes hand those to libm), and the usual envelope ranges, in equal
shares, with a fifth of the count through the pulse. Exits non-zero on any difference.
"""
import argparse
import shutil
import sys
import tempfile
import time

import numpy as np
import vuvirida

from run import Floor, build_floor, build_lane_share, exp_arguments, fallback_share

RANGES = [(-708.0, 709.0), (-746.0, 711.0), (-20.0, 20.0), (-2.5, 0.0)]
CHUNK = 1_000_000


def differing(got, want):
    same = (got.view(np.uint64) == want.view(np.uint64)) | (np.isnan(got) & np.isnan(want))
    return np.flatnonzero(~same)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=float, default=1e8)
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    chunks = max(1, int(args.count) // CHUNK)
    workdir = tempfile.mkdtemp(prefix="vuvirida-long-run-")
    start, compared, mismatches = time.time(), 0, 0
    asked = {kind: [] for kind in range(len(RANGES) + 1)}
    try:
        lib, lanes = build_floor(workdir), build_lane_share(workdir)
        for c in range(chunks):
            kind = c % (len(RANGES) + 1)
            if kind < len(RANGES):
                x = rng.uniform(*RANGES[kind], CHUNK)
                scalars = (1.0, 1.0, 0.0, 0.0, 0.0)
                index, name, t = 0, "harmonic_oscillator", x
            else:
                scalars = (1.0, float(rng.uniform(-3.0, 20.0)), float(10.0 ** rng.uniform(-3.0, 1.5)), 0.0)
                index, name, t = 4, "transient_impulse", rng.uniform(-7.0, 300.0, CHUNK)
            got = getattr(vuvirida, name)(t, *scalars)
            want = Floor(lib, index, scalars, t).values()
            bad = differing(got, want)
            mismatches += bad.size
            compared += CHUNK
            asked[kind].append(fallback_share(lanes, 0, [exp_arguments(index, scalars, t)]))
            for i in bad[:3]:
                print(f"MISMATCH {name}{scalars} t={t[i].hex()}: {got[i].hex()} != {want[i].hex()}", flush=True)
            if (c + 1) % 10 == 0 or c + 1 == chunks:
                print(f"{compared:>12,} compared, {mismatches} differ, {time.time() - start:.0f} s", flush=True)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print(f"{compared:,} values through the exp lanes, {mismatches} differ from libm")
    for kind, shares in asked.items():
        label = "x in [%g, %g]" % RANGES[kind] if kind < len(RANGES) else "transient_impulse pulses"
        print(f"  {label}: {np.mean(shares):.2%} of exp arguments went to libm")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
