#!/usr/bin/env bash
# 64-bit Arm: cross-compile the module, repair the wheel for manylinux, and
# run the suite against it under qemu's user-mode emulation, so that every
# value is compared with aarch64 glibc's own exp, sin, cos and fmod.
#
#     aarch64.sh WORK_DIR TOOLS_BIN   (TOOLS_BIN holds auditwheel and patchelf)
#
# The interpreter is Debian's aarch64 libpython behind a tiny launcher (the
# arm64 python3 package itself conflicts with the host's): CPython 3.11 on
# Debian 12, 3.13 on Debian 13. venv and pip work with it, and NumPy and the
# test extras come as aarch64 wheels.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/.ci/debian_release.sh"
debian_release
v=$debian_python
work=$1 tools=$2 host_python=${PYTHON:-python3}
mkdir -p "$work"
step() { printf '\n==== aarch64: %s (%s)\n' "$*" "$(date -u +%T)"; }
# qemu's default CPU has pointer authentication, which it emulates at great
# cost; Debian 13's CPython, built with branch protection, signs and checks a
# pointer in nearly every function and runs about 25 times slower for it. A
# Neoverse N1 (Armv8.2) has none: those instructions are hints that it runs
# as no-ops, and every program here runs unchanged.
export QEMU_CPU=neoverse-n1

step "launcher and environment"
printf '#include <Python.h>\nint main(int argc, char **argv) { return Py_BytesMain(argc, argv); }\n' \
    > "$work/launcher.c"
aarch64-linux-gnu-gcc -O2 -I/usr/include/python$v -I/usr/include/aarch64-linux-gnu/python$v \
    "$work/launcher.c" -o "$work/python$v" -lpython$v
"$work/python$v" -m venv "$work/env"
py="$work/env/bin/python"
"$py" -c "import platform, sys; assert platform.machine() == 'aarch64'; print(sys.version)"
"$py" -m pip install -q --no-compile --upgrade pip  # Debian's pip has no -C

step "build the wheel"
# Only the C++ compiler is passed: with a full toolchain file FindPython
# drops the extension suffix. The emulated interpreter supplies the rest.
"$py" -m pip wheel -q --no-deps "$root" -w "$work/dist" -Cbuild-dir="$work/build" \
    -Ccmake.define.CMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ -Ccmake.define.VUVIRIDA_WERROR=ON
PATH="$tools:$PATH" auditwheel repair -w "$work/repaired" "$work"/dist/vuvirida-*.whl 2>&1 | tail -1
wheel=$(ls "$work"/repaired/vuvirida-*manylinux*_aarch64.whl)
"$host_python" "$root/.ci/check_wheel.py" "$wheel" >/dev/null

step "build with Clang"
# Clang contracts by default on Arm; the project's flags must keep it off.
"$py" -m pip wheel -q --no-deps "$root" -w "$work/dist-clang" -Cbuild-dir="$work/build-clang" \
    -Ccmake.define.CMAKE_CXX_COMPILER=clang++-19 -Ccmake.define.CMAKE_CXX_COMPILER_TARGET=aarch64-linux-gnu \
    -Ccmake.define.VUVIRIDA_WERROR=ON
"$host_python" "$root/.ci/check_binary.py" "$work"/build-clang/vuvirida.*.so "$work"/dist-clang/vuvirida-*.whl

step "install without a compiler"
# --no-compile: bytecode is made as modules are first imported; compiling
# every installed module up front costs minutes under emulation. Only what
# the values and the call frame need: the tests of the recipes and fits,
# which need SciPy, lmfit, pandas or Dask, skip here and run natively.
PATH="$work/env/bin" "$py" -m pip install -q --no-compile --only-binary=:all: "numpy>=2.4" "$wheel" \
    "pytest>=7" "hypothesis>=6.80"
"$host_python" "$root/.ci/check_binary.py" "$work"/build/vuvirida.*.so "$wheel"

step "tests under emulation"
# The suite in two halves at once, the value tables and everything else:
# under emulation this is CI's longest stage. Test files not named here go
# to the second half.
first=(tests/test_values.py)
# A background command starts with Ctrl-C ignored; each half gets the
# default back, as the signal tests need.
half() {  # half NAME PYTEST_ARGS...
    local name=$1
    shift
    (cd "$root" && env --default-signal=INT,QUIT PATH="$work/env/bin" \
        "$py" -m pytest -q -p no:cacheprovider "$@") > "$work/$name.log" 2>&1
}
half first-half "${first[@]}" &
first_job=$!
half second-half "${first[@]/#/--ignore=}" tests &
second_job=$!
status=0
wait "$first_job" || status=1
wait "$second_job" || status=1
cat "$work/first-half.log" "$work/second-half.log"
[ "$status" -eq 0 ]
step "done"
