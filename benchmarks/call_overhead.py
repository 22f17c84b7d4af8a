#!/usr/bin/env python3
"""Compares the per-call time of two or more builds of the module file.

    python benchmarks/call_overhead.py LABEL=PATH/vuvirida....so LABEL=... [--rounds 7] [--sizes 0,1,48]

Each build is loaded in a child interpreter of its own (they share a module
name); the children take turns, round after round, and each reports, for
every function at each n (0, 1 and 48 unless --sizes says), the minimum over
its repeats of the thread CPU time per call, read once per batch of calls
(a batch of about a millisecond's calls or more). The table gives each
build's minimum over the rounds and its ratio to the first build's. Used to weigh a stable-ABI (limited API) build against
the full-API one, and a change to the call path against the build before it.
"""
import argparse
import json
import subprocess
import sys

CHILD = r"""
import importlib.util, json, sys, time, timeit
import numpy as np
found = importlib.util.spec_from_file_location("vuvirida", sys.argv[1])
vv = importlib.util.module_from_spec(found)
found.loader.exec_module(vv)
SCALARS = {"harmonic_oscillator": (1.5, -0.03, 1.3, 0.2, 0.5), "pseudo_square_wave": (-2.0, 0.01, 0.7, -1.1, 0.25),
           "fourier_square_wave": (0.75, -0.02, 2.1, 0.3, -0.5, 4), "pseudo_cycloid_wave": (3.0, 0.05, 0.9, 2.0, 1.0),
           "transient_impulse": (2.0, 5.0, 0.7, 0.25)}
times = {}
for n in map(int, sys.argv[2].split(",")):
    t = np.linspace(0.0, 10.0, n)
    for name, scalars in SCALARS.items():
        call = getattr(vv, name)
        timer = timeit.Timer(lambda: call(t, *scalars), timer=time.thread_time)
        number = max(20000 // (1 + n // 16), 3)
        times[f"{name} n={n}"] = min(timer.repeat(repeat=5, number=number)) / number
print(json.dumps(times))
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("builds", nargs="+", help="LABEL=path of a module file")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--sizes", default="0,1,48", help="array lengths, comma-separated")
    args = parser.parse_args()
    builds = [b.split("=", 1) for b in args.builds]
    best = {label: {} for label, _ in builds}
    for _ in range(args.rounds):
        for label, path in builds:
            out = subprocess.run([sys.executable, "-c", CHILD, path, args.sizes], capture_output=True, text=True, check=True)
            for key, value in json.loads(out.stdout).items():
                best[label][key] = min(value, best[label].get(key, value))
    first = builds[0][0]
    print(f"{'call':40}" + "".join(f"{label:>22}" for label, _ in builds))
    for key in best[first]:
        cells = [f"{best[label][key] * 1e9:9.0f} ns ({best[label][key] / best[first][key]:5.3f})"
                 for label, _ in builds]
        print(f"{key:40}" + "".join(f"{c:>22}" for c in cells))


if __name__ == "__main__":
    main()
