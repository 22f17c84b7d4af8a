#!/usr/bin/env python3
"""Checks the trig lanes' rounding test against other fusings of the library's multiply-adds.

    python benchmarks/trig_fusing_check.py                  # 10^8 arguments per setting and function
    python benchmarks/trig_fusing_check.py --count 1e7 --width avx2

Builds benchmarks/trig_lanes_check.cpp once per setting of VUVIRIDA_TRIG_FUSED_SITES (no site
fused, each site of trig_lanes.cpp fused alone, all fused with either of the cosine's two
products fused, and random subsets from --seed), each with the rounding test and with
VUVIRIDA_TRIG_NO_GUARD, and compares the lanes of one width with libm on the arguments of
benchmarks/trig_long_run.py, drawn alike for all builds.
With the test, a fused build's kept values must equal libm's as the unfused ones do; without
it, the differences show which fusings libm's build does not share, and every value that the
plain build keeps must come out the same in every fused build. Then builds the lanes with
VUVIRIDA_PLANT_TRIG_FAULT, whose test at load must turn them off. Exits non-zero on any
difference that the test should exclude, or if the planted fault leaves the lanes on.
"""
import argparse
import shutil
import sys
import tempfile
import time

import numpy as np

from trig_long_run import WIDTHS, build, compare

SITES = ["Quadrant", "Reduced", "ReducedRest", "Sn5", "Sine", "CosineSine", "Cs6", "Cs4", "CosineFirst",
         "CosineOther", "Rest1", "Rest2", "Rest3", "Taylor5", "Taylor4", "Taylor3", "Taylor2", "TaylorB",
         "TaylorT"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=float, default=1e8, help="arguments per setting and function")
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--subsets", type=int, default=6, help="random sets of fused sites")
    parser.add_argument("--width", choices=WIDTHS, default="avx512")
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    full = (1 << len(SITES)) - 1  # CosineFirst wins over CosineOther, so the last fuses the other product
    settings = {"none": 0, **{SITES[s]: 1 << s for s in range(len(SITES))}, "all": full,
                "all, CosineOther": full & ~(1 << SITES.index("CosineFirst"))}
    settings.update({f"random {i + 1}": int(m) for i, m in enumerate(rng.integers(1, 1 << len(SITES), args.subsets))})
    workdir = tempfile.mkdtemp(prefix="vuvirida-trig-fusing-")
    start = time.time()
    try:
        libs = {}
        for name, mask in settings.items():
            for guard in (True, False):
                defines = [f"VUVIRIDA_TRIG_FUSED_SITES={mask:#x}"] + ([] if guard else ["VUVIRIDA_TRIG_NO_GUARD"])
                libs[name, guard] = build(workdir, f"{mask:x}-{guard:d}", defines)
        plain = build(workdir, "plain")
        in_use = plain.trig_in_use(), build(workdir, "planted", ["VUVIRIDA_PLANT_TRIG_FAULT"]).trig_in_use()
        print(f"{len(libs) + 2} builds, {time.time() - start:.0f} s", flush=True)
        tally, bad = compare(libs, args.count, args.seed, widths=(args.width,))
        unguarded = {key: lib for key, lib in libs.items() if not key[1]}
        kept, kept_bad = compare(unguarded, args.count, args.seed, widths=(args.width,), reference=(plain, args.width))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    # Without the test differences from libm are expected: only the others are shown.
    print(*(f"{n}, with the test: {line}" for (n, guard), lines in bad.items() if guard for line in lines),
          *(f"{n}, against the plain lanes: {line}" for (n, _), lines in kept_bad.items() for line in lines),
          sep="\n")
    total = lambda t, name, guard, f, i: sum(v[i] for k, v in t.items() if k[:3] == ((name, guard), args.width, f))
    print(f"\n{args.width} lanes, {total(tally, 'none', True, 'sin', 0):,} arguments per setting and function, "
          f"{time.time() - start:.0f} s\n\n| setting | fused sites | with test: to libm (sin, cos) | with test: "
          "differ from libm | without test: differ from libm | without test: differ from plain lanes' kept "
          "values |\n|---|---|---:|---:|---:|---:|")
    pair = lambda t, name, guard, i: [total(t, name, guard, f, i) for f in ("sin", "cos")]
    failed = in_use != (1, 0)
    for name, mask in settings.items():
        fallback = [1 - k / n for k, n in zip(pair(tally, name, True, 1), pair(tally, name, True, 0))]
        differ, changed = pair(tally, name, True, 2), pair(kept, name, False, 2)
        failed |= any(differ) or any(changed)
        print(f"| {name} | {mask:#07x} | {fallback[0]:.3%}, {fallback[1]:.3%} | {differ[0]}, {differ[1]} | "
              "{:,}, {:,} | {}, {} |".format(*pair(tally, name, False, 2), *changed))
    print(f"\nlanes in use at load: plain build {bool(in_use[0])}, with the planted table fault {bool(in_use[1])}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
