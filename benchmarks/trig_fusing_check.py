#!/usr/bin/env python3
"""Checks the sin and cos lanes' rounding test against other fusings of the library's multiply-adds,
for every row of the width table, and that the test at load turns a wrong table's lanes off.

    python benchmarks/trig_fusing_check.py                         # 10^8 arguments per setting and function
    python benchmarks/trig_fusing_check.py --count 1e7 --jobs 2 --rows avx2

Builds benchmarks/lanes_check.cpp with the kernels (benchmarks/lanes_library.py) once per setting
of VUVIRIDA_TRIG_FUSED_SITES (no site fused, each TrigSite of trig_lanes.hpp fused alone, all fused
with either of the cosine's two products fused, and --subsets random sets from --seed), each with
the rounding test and with VUVIRIDA_TRIG_NO_GUARD, and compares the sin and cos lanes of every row
the processor has with libm on the arguments of benchmarks/lanes_long_run.py, drawn alike for all
builds. With the test, a fused build's kept values must equal libm's as the unfused ones do;
without it, the differences from libm show which fusings libm's build does not share, and every
value that the plain build keeps must come out the same in every fused build. Then, per row, the
plain lanes and the lanes with VUVIRIDA_PLANT_TRIG_FAULT (a table value one ulp off) are built as
the widest row (VUVIRIDA_WIDEST): the test at load must keep the plain lanes on and turn the planted
ones off, whose kept values must show the fault. The builds take about 10 s each, two compilers at
a time. Not part of the test suite; exits non-zero on any difference that the test should exclude,
or if the test at load decides otherwise.
"""
import argparse
import sys
import time

import numpy as np

from lanes_library import FUNCTIONS, build, pointer
from lanes_long_run import CHUNK, Tally, chunk_arguments, compare, in_parallel, rows_with

SITES = ["Quadrant", "Reduced", "ReducedRest", "Sn5", "Sine", "CosineSine", "Cs6", "Cs4", "CosineFirst",
         "CosineOther", "Rest1", "Rest2", "Rest3", "Taylor5", "Taylor4", "Taylor3", "Taylor2", "TaylorB",
         "TaylorT"]
TRIG = (FUNCTIONS.index("sin"), FUNCTIONS.index("cos"))


def settings_of(seed, subsets):
    """{name: mask of fused sites}."""
    full = (1 << len(SITES)) - 1  # CosineFirst wins over CosineOther, so the last fuses the other product
    settings = {"none": 0, **{SITES[s]: 1 << s for s in range(len(SITES))}, "all": full,
                "all, CosineOther": full & ~(1 << SITES.index("CosineFirst"))}
    masks = np.random.default_rng(seed).integers(1, 1 << len(SITES), subsets)
    settings.update({f"random {i + 1}": int(m) for i, m in enumerate(masks)})
    return settings


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=float, default=1e8, help="arguments per setting, function and row")
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--subsets", type=int, default=6, help="random sets of fused sites")
    parser.add_argument("--rows", nargs="+", help="rows of the width table (default: every row the processor has)")
    parser.add_argument("--jobs", type=int, default=1, help="processes comparing at once (the builds: two compilers)")
    args = parser.parse_args()
    settings = settings_of(args.seed, args.subsets)
    start = time.time()
    libs = {}
    for name, mask in settings.items():
        for guard in (True, False):
            defines = [f"VUVIRIDA_TRIG_FUSED_SITES={mask:#x}"] + ([] if guard else ["VUVIRIDA_TRIG_NO_GUARD"])
            libs[name, guard] = build(f"{mask:x}-{guard:d}", ["lanes_check.cpp"], defines)
    plain = build("plain", ["lanes_check.cpp"])
    rows = [r for r in rows_with(plain, TRIG[0]) if not args.rows or r[1] in args.rows]
    # Per row, the plain and the planted lanes chosen as the widest: (chosen row, sin and cos verified).
    at_load, planted = {}, {}
    for row, row_name in rows:
        widest = f'VUVIRIDA_WIDEST="{row_name}"'
        for label, extra in (("plain", []), ("planted", ["VUVIRIDA_PLANT_TRIG_FAULT"])):
            lib = build(f"{label}-{row_name}", ["lanes_check.cpp"], [widest, *extra])
            at_load[row_name, label] = lib.lane_row().decode(), bool(lib.lanes_verified(TRIG[0]))
            if label == "planted":
                planted[row_name] = lib
    print(f"{len(libs) + 1 + 2 * len(rows)} builds, {time.time() - start:.0f} s", flush=True)

    def work(task):
        function, chunk = task
        _, x = chunk_arguments(function, chunk, args.seed)
        want, kept = np.empty_like(x), np.empty_like(x)
        plain.lanes_library(function, pointer(x), x.size, pointer(want))
        results = []
        for row, row_name in rows:
            plain.lanes_values(row, function, pointer(x), x.size, pointer(kept))
            for (name, guard), lib in libs.items():
                results.append((("libm", name, guard, row_name, function), compare(lib, row, function, x, want)))
                if not guard:
                    results.append((("plain", name, guard, row_name, function),
                                    compare(lib, row, function, x, kept, want_library=False)))
            results.append((("libm", "planted", True, row_name, function),
                            compare(planted[row_name], row, function, x, want)))
        return results

    tally = Tally()
    tasks = [(f, c) for c in range(-(-int(args.count) // CHUNK)) for f in TRIG]
    for results in in_parallel(work, tasks, args.jobs):
        for key, (kept, differ, bad) in results:
            tally.add(key, CHUNK, kept, differ, bad)
    # Without the test differences from libm are expected, and the planted table's: only the others are shown.
    for (against, name, guard, row_name), lines in tally.bad.items():
        if (against == "libm" and guard and name != "planted") or against == "plain":
            print(*(f"{name}, {row_name}, {'with' if guard else 'without'} the test, against {against}: {line}"
                    for line in lines), sep="\n")

    pair = lambda against, name, guard, row_name, i: [tally.counts[against, name, guard, row_name, f][i] for f in TRIG]
    failed = False
    print(f"\n{len(tasks) // 2 * CHUNK:,} arguments per setting, function and row, {time.time() - start:.0f} s")
    for _, row_name in rows:
        print(f"\n{row_name} lanes\n\n| setting | fused sites | with test: to libm (sin, cos) | with test: differ from "
              "libm | without test: differ from libm | without test: differ from plain lanes' kept values |\n"
              "|---|---|---:|---:|---:|---:|")
        for name, mask in settings.items():
            n, kept = pair("libm", name, True, row_name, 0), pair("libm", name, True, row_name, 1)
            differ, changed = pair("libm", name, True, row_name, 2), pair("plain", name, False, row_name, 2)
            failed |= any(differ) or any(changed)
            unguarded = pair("libm", name, False, row_name, 2)
            print(f"| {name} | {mask:#07x} | {1 - kept[0] / n[0]:.3%}, {1 - kept[1] / n[1]:.3%} | {differ[0]}, "
                  f"{differ[1]} | {unguarded[0]:,}, {unguarded[1]:,} | {changed[0]}, {changed[1]} |")
        wrong = sum(pair("libm", "planted", True, row_name, 2))
        plain_load, planted_load = at_load[row_name, "plain"], at_load[row_name, "planted"]
        failed |= plain_load != (row_name, True) or planted_load != (row_name, False) or wrong == 0
        print(f"\nas the widest row: chosen {plain_load[0]}, sin and cos lanes on: {plain_load[1]}; with the planted "
              f"table chosen {planted_load[0]}, on: {planted_load[1]}, and its lanes keep {wrong:,} values not libm's")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
