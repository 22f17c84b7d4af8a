#!/usr/bin/env python3
"""Times each function with flush-to-zero and denormals-are-zero set against the default mode.

    python benchmarks/flush_to_zero.py --quick

Any shared library that GCC links with -ffast-math sets flush-to-zero (FTZ) and
denormals-are-zero (DAZ) for the whole process when it is loaded, and users rarely know that
one is. This script imports the module, makes one call of each function in the default
mode, then builds benchmarks/fp_mode.cpp with -ffast-math and loads it, and times each
function at n = 48 and 1000000 in both modes, the modes taking turns (the mode is set
before each turn). Where the library's loading leaves FTZ and DAZ clear (newer compilers
no longer add that start-up code to a shared library), it sets them itself and says so.
The mode is its whole process's: benchmarks/run.py runs it as a child process (--json), so
that its own run stays in the default mode.
"""
import argparse
import ctypes
import json
import os
import shutil
import sys
import tempfile

import numpy as np
import vuvirida

import run
from timing import repeat_of, take_turns

SIZES = (48, 1_000_000)


def load_fast_math(directory):
    """benchmarks/fp_mode.cpp built with -ffast-math, loaded: (library, how FTZ and DAZ came
    to be set)."""
    path = os.path.join(directory, "fp_mode_fast_math.so")
    run.compile_library([os.path.join(run.HERE, "fp_mode.cpp")], path, ["-O2", "-ffast-math"])
    lib = ctypes.CDLL(path)
    lib.fp_mode_get.restype = lib.fp_mode_flush_bits.restype = ctypes.c_ulong
    lib.fp_mode_set.argtypes = [ctypes.c_ulong]
    flush = lib.fp_mode_flush_bits()
    if not flush:
        raise SystemExit("no flush-to-zero bits known for this processor")
    if lib.fp_mode_get() & flush == flush:
        return lib, "set by loading a library built with -ffast-math"
    lib.fp_mode_set(lib.fp_mode_get() | flush)
    return lib, "set by the benchmark: loading a library built with -ffast-math left them clear here"


def times(budget, sweeps):
    """{"how": how the mode was set, "times": [[label, n, default, flush, flush / default], ...]}"""
    for name, scalars in run.FUNCTIONS:  # whatever the module sets up on first need, in the default mode
        getattr(vuvirida, name)(np.linspace(0.0, 240.0, 1000), *scalars)
    workdir = tempfile.mkdtemp(prefix="vuvirida-ftz-")
    try:
        lib, how = load_fast_math(workdir)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    flush = lib.fp_mode_get() & lib.fp_mode_flush_bits()
    default = lib.fp_mode_get() & ~flush

    def in_mode(mode, call, args):  # a batch sized and timed in that mode
        lib.fp_mode_set(mode)
        batch = repeat_of(call, budget, args)
        return lambda: (lib.fp_mode_set(mode), batch())[1]

    samples = {n: np.linspace(0.0, 240.0, n) for n in SIZES}
    rows = {}
    for label, index, scalars in run.ratio_entries():
        call = getattr(vuvirida, run.FUNCTIONS[index][0])
        for n in SIZES:
            rows[(label, n)] = {"default": in_mode(default, call, (samples[n],) + scalars),
                                "flush": in_mode(default | flush, call, (samples[n],) + scalars)}
    turns = take_turns(rows, sweeps)
    lib.fp_mode_set(default)
    return {"how": how, "times": [[label, n, t.best("default"), t.best("flush"), t.ratio("flush", "default")]
                                  for (label, n), t in turns.items()]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the quick modes' budget and sweeps")
    parser.add_argument("--json", action="store_true", help="print the times as JSON (for run.py)")
    args = parser.parse_args()
    result = times(*run.settings(args.quick))
    print(json.dumps(result) if args.json else "\n".join(run.flush_table(result)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
