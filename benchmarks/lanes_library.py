"""Builds the kernels of src/lib without the interpreter, with a benchmark's own C++ entry points,
into a shared library and loads it through ctypes: the one place that knows the sources, the flags
and the entry points' signatures.

    from lanes_library import build
    lib = build("lanes_check", ["lanes_check.cpp"])         # with benchmarks/lanes_check.cpp
    lib = build("planted", ["lanes_check.cpp"], ["VUVIRIDA_PLANT_TRIG_FAULT"])

The kernels are compiled as the module compiles them (no contraction, no fast-math, sin and cos
kept apart, -O3, hidden symbols), with benchmarks/lane_share.cpp (each row's lanes by number, and
the share the chosen row hands back) in every library. benchmarks/lanes_long_run.py,
trig_fusing_check.py and exp_long_run.py build theirs here; compiling needs g++ (or $CXX).
"""
import ctypes
import os
import subprocess
import tempfile
from concurrent.futures import ThreadPoolExecutor
from ctypes import POINTER, c_char_p, c_double, c_int, c_long, c_size_t, c_uint64

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# The kernels, as CMakeLists.txt's vuvirida_kernels and CI's lane test list them; the vector rows
# first, which take most of a build's time, so that two compilers finish together.
KERNELS = [os.path.join(ROOT, "src", "lib", f"{name}.cpp")
           for name in ("width_avx512", "width_avx2", "generators", "samples", "widths", "width_scalar")]
FLAGS = ["-O3", "-DNDEBUG", "-std=c++20", "-fPIC", "-ffp-contract=off", "-fno-fast-math", "-fno-associative-math",
         "-fno-builtin-sin", "-fno-builtin-cos", "-I", os.path.join(ROOT, "src")]
# The lane functions by number, as benchmarks/lane_share.hpp numbers them.
FUNCTIONS = ("exp", "sin", "cos", "remainder")
CYCLE = 6.283185297179586  # the impulse train's cycle, the remainder's divisor

_double_p = POINTER(c_double)
# Each entry point a benchmark's sources may define: (result, arguments).
SIGNATURES = {
    # lane_share.cpp
    "lane_row": (c_char_p, []),
    "lane_fallback_share": (c_double, [c_int, _double_p, c_size_t]),
    # lanes_check.cpp
    "lanes_rows": (c_int, []),
    "lanes_row_name": (c_char_p, [c_int]),
    "lanes_row_has": (c_int, [c_int, c_int]),
    "lanes_verified": (c_int, [c_int]),
    "lanes_environment": (c_int, [c_int]),
    "lanes_library": (None, [c_int, _double_p, c_size_t, _double_p]),
    "lanes_values": (c_int, [c_int, c_int, _double_p, c_size_t, _double_p]),
    "lanes_compare": (c_int, [c_int, c_int, _double_p, c_size_t, _double_p, c_int, POINTER(c_uint64), _double_p]),
    # floor.cpp
    "floor_eval": (c_int, [c_int, _double_p, c_size_t, _double_p, _double_p, c_uint64]),
    "floor_seconds": (c_double, [c_int, _double_p, c_size_t, _double_p, _double_p, c_uint64, c_long, c_int]),
}


def declare(lib):
    """Gives each entry point that lib defines its signature; returns lib."""
    for name, (result, arguments) in SIGNATURES.items():
        if hasattr(lib, name):
            function = getattr(lib, name)
            function.restype, function.argtypes = result, arguments
    return lib


def build(name, sources, defines=(), jobs=2):
    """Compiles the kernels, lane_share.cpp and sources (named relative to benchmarks/) with the
    defines into name.so in a directory of its own, jobs compilers at a time, and loads it; the
    directory goes once the library is loaded. The kernels' symbols stay hidden; the benchmark's
    extern "C" entry points are exported."""
    cxx = os.environ.get("CXX", "g++")
    flags = FLAGS + [f"-D{d}" for d in defines]
    own = [os.path.join(HERE, s) for s in ["lane_share.cpp", *sources]]
    units = [(s, ["-fvisibility=hidden"]) for s in KERNELS] + [(s, []) for s in own]
    with tempfile.TemporaryDirectory(prefix=f"vuvirida-{name}-") as directory:
        objects = [os.path.join(directory, f"{os.path.basename(s)}.o") for s, _ in units]
        with ThreadPoolExecutor(jobs) as pool:
            list(pool.map(lambda u, o: subprocess.run([cxx, *flags, *u[1], "-c", u[0], "-o", o], check=True),
                          units, objects))
        library = os.path.join(directory, f"{name}.so")
        subprocess.run([cxx, "-shared", *objects, "-o", library], check=True)
        return declare(ctypes.CDLL(library))


def pointer(values):
    """A contiguous float64 array's data, for an entry point's double* argument."""
    return values.ctypes.data_as(_double_p)


def fallback_share(lib, function, arrays):
    """The share of the arrays' arguments that the chosen row's lanes of function (a number of
    FUNCTIONS) hand to libm; -1 where those lanes are not in use, NaN for no arrays."""
    shares = [lib.lane_fallback_share(function, pointer(np.ascontiguousarray(x)), len(x)) for x in arrays]
    return float("nan") if not shares else -1.0 if min(shares) < 0 else float(np.mean(shares))
