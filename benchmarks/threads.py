#!/usr/bin/env python3
"""How calls from two threads at once scale: for every function, the wall time
of 2 threads making K calls each over the wall time of 1 thread making 2K.

    python benchmarks/threads.py [--n 1000000] [--calls 10] [--rounds 5]

With the GIL the calls take turns and the ratio is about 1; on a free-threaded
CPython (3.13t, 3.14t) with two idle cores it approaches 0.5. The two take turns
round after round and each one's minimum over the rounds is reported; the
machine should be otherwise idle.
"""
import argparse
import os
import platform
import sys
import threading
import time

import numpy as np

import vuvirida

SCALARS = {"harmonic_oscillator": (1.5, -0.03, 1.3, 0.2, 0.5), "pseudo_square_wave": (-2.0, 0.01, 0.7, -1.1, 0.25),
           "fourier_square_wave": (0.75, -0.02, 2.1, 0.3, -0.5, 5), "pseudo_cycloid_wave": (3.0, 0.05, 0.9, 2.0, 1.0),
           "transient_impulse": (2.0, 5.0, 0.7, 0.25)}


def wall_time(call, threads, calls):
    """Seconds from the start of `threads` threads making `calls` calls each to the end of the last."""
    ready = threading.Barrier(threads + 1)

    def work():
        ready.wait()
        for _ in range(calls):
            call()

    pool = [threading.Thread(target=work) for _ in range(threads)]
    [thread.start() for thread in pool]
    ready.wait()
    start = time.perf_counter()
    [thread.join() for thread in pool]
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=1_000_000, help="samples per call")
    parser.add_argument("--calls", type=int, default=10, help="K, the calls of each of the two threads")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"CPython {platform.python_version()} ({'GIL on' if gil else 'free-threaded, GIL off'}), "
          f"NumPy {np.__version__}, {os.cpu_count()} cores; n = {args.n}, K = {args.calls}")
    t = np.linspace(-50.0, 500.0, args.n)
    print(f"{'function':22} {'1 thread x 2K':>14} {'2 threads x K':>14} {'ratio':>7}")
    for name, scalars in SCALARS.items():
        function = getattr(vuvirida, name)
        call = lambda: function(t, *scalars)  # noqa: E731
        call()
        # The two contenders take turns, round after round, so that a busy
        # spell of the shared machine falls on both.
        one = two = float("inf")
        for _ in range(args.rounds):
            one = min(one, wall_time(call, 1, 2 * args.calls))
            two = min(two, wall_time(call, 2, args.calls))
        print(f"{name:22} {one * 1e3:11.1f} ms {two * 1e3:11.1f} ms {two / one:7.2f}")


if __name__ == "__main__":
    main()
