#!/usr/bin/env bash
# A free-threaded CPython 3.13 (no GIL), which neither Debian nor the package
# index packages: built here from the upstream source that Debian 13's
# python3.13 source package carries, as small as it goes (no optimisation
# passes, no test modules, no test suite run), into WORK_DIR/python. Then
# NumPy's cp313t wheel from the package index, the module built with warnings
# fatal and its module file checked, a check that importing it leaves the GIL
# off (a module that declared nothing would switch it back on), the whole
# suite with no PYTHON_GIL set, and the threaded stress test at a longer run.
#
#     free_threaded.sh WORK_DIR
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=$1
. "$root/.ci/debian_release.sh"
clock=$(command -v date)  # the suite runs with a PATH of its own
step() { printf '\n==== free-threaded 3.13: %s (%s)\n' "$*" "$("$clock" -u +%T)"; }
version=3.13.5
tarball=python3.13_$version.orig.tar.xz
sha256=93e583f243454e6e9e4588ca2c2662206ad961659863277afcdb96801647d640
mkdir -p "$work"

step "CPython $version with --disable-gil, from Debian's source package"
for attempt in 1 2 3; do
    curl -fsSL --retry 2 -o "$work/$tarball" "$(debian_mirror)/pool/main/p/python3.13/$tarball" && break
    [ "$attempt" -lt 3 ] || exit 1
    sleep 10
done
echo "$sha256  $work/$tarball" | sha256sum -c --quiet
tar -C "$work" -xf "$work/$tarball"
(cd "$work/Python-$version" \
    && ./configure -q --disable-gil --disable-test-modules --without-ensurepip --prefix="$work/python" \
    && make -s -j2 && make -s install) > "$work/cpython-build.log" 2>&1 \
    || { tail -40 "$work/cpython-build.log"; exit 1; }
py=$work/python/bin/python3.13t
"$py" -c "import sys, sysconfig; assert sysconfig.get_config_var('Py_GIL_DISABLED'); print(sys.version)"

step "build the wheel with warnings fatal"
"$py" -m venv "$work/build"
"$work/build/bin/python" -m pip install -q --upgrade pip
"$work/build/bin/python" -m pip wheel -q --no-deps "$root" -w "$work/dist" -Cbuild-dir="$work/build/cmake" \
    -Ccmake.define.VUVIRIDA_WERROR=ON
wheel=$(ls "$work"/dist/vuvirida-*cp313t*.whl)
"$py" "$root/.ci/check_wheel.py" "$wheel" > /dev/null
"$py" "$root/.ci/check_binary.py" "$work"/build/cmake/vuvirida.*.so "$wheel"

step "the suite with NumPy's cp313t wheel, the GIL off"
"$py" -m venv "$work/env"
env=$work/env/bin
mkdir -p "$work/no-compiler"
# Every test extra has a cp313t wheel but PyYAML (Dask's), which installs from
# its source without a compiler, in pure Python.
PATH="$env:/usr/bin:/bin" "$env/python" -m pip install -q --upgrade pip
PATH="$env:/usr/bin:/bin" "$env/python" -m pip install -q --only-binary=:all: "numpy>=2.4"
PATH="$env:/usr/bin:/bin" "$env/python" -m pip install -q --only-binary=:all: --no-binary=pyyaml "$wheel[test]"
cd "$root"
export PATH="$env:$work/no-compiler"
unset PYTHON_GIL
python -W error -c "import sys, numpy, vuvirida
assert not sys._is_gil_enabled(), 'importing vuvirida switched the GIL on'
print(sys.version.split()[0], 'GIL off after import;', vuvirida.__file__, 'numpy', numpy.__version__)"
python -X dev -m pytest -q -p no:cacheprovider
# Longer, with its tallies shown (the refused calls' abort reports left out).
VUVIRIDA_STRESS_CALLS=6000 python -m pytest -q -s -p no:cacheprovider tests/test_threads.py -k many_threads \
    2> /dev/null
step "done"
