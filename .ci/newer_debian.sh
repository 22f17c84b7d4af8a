#!/usr/bin/env bash
# A newer Debian release's C library, compiler and CPython: debootstrap the
# suite into WORK_DIR, and for each CPython version build the wheel there
# with warnings fatal, check the module file, install the wheel with the
# newest NumPy into a fresh environment with no compiler on the path, and run
# the whole suite against it, so that every value is compared with that
# release's own exp, sin, cos and fmod.
#
#     newer_debian.sh WORK_DIR SUITE VERSION...   e.g. WORK_DIR sid 3.14 3.15
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=$1 suite=$2
shift 2
. "$root/.ci/debian_release.sh"
. "$root/.ci/chroot.sh"
dir="$work/root"
trap 'chroot_unmount "$dir"' EXIT
step() { printf '\n==== %s: %s (%s)\n' "$suite" "$*" "$(date -u +%T)"; }

step "debootstrap and packages"
packages=(g++ binutils)
for version in "$@"; do packages+=("python$version-dev" "python$version-venv"); done
chroot_create "$dir" "$suite" "${packages[@]}"
in_chroot "$dir" bash -c '. /etc/os-release; echo "$PRETTY_NAME; $(ldd --version | head -1); $(g++ --version | head -1)"'
# The project's tracked files as they stand in the checkout, without its
# history and without the caches and builds that the native stages write into
# the tree while this copies it.
mkdir -p "$dir/src" "$dir/ci/no-compiler"
git -C "$root" ls-files -z | tar -C "$root" --null -T - -cf - | tar -C "$dir/src" -xf -
ln -s /usr/bin/nm "$dir/ci/no-compiler/nm"

for version in "$@"; do
    step "build the wheel (CPython $version, $(in_chroot "$dir" g++ -dumpfullversion | sed 's/^/GCC /'))"
    in_chroot "$dir" bash -euo pipefail -c '
        v=$1 build=/ci/build-$1
        python$v -m venv $build
        $build/bin/python -m pip install -q --upgrade pip
        $build/bin/python -m pip wheel -q --no-deps /src -w /ci/dist-$v -Cbuild-dir=$build/cmake \
            -Ccmake.define.VUVIRIDA_WERROR=ON
        python$v /src/.ci/check_wheel.py /ci/dist-$v/vuvirida-*.whl >/dev/null
        python$v /src/.ci/check_binary.py $build/cmake/vuvirida.*.so /ci/dist-$v/vuvirida-*.whl' _ "$version"

    step "tests on CPython $version with the newest NumPy"
    in_chroot "$dir" bash -euo pipefail -c '
        v=$1 env=/ci/env-$1
        python$v -m venv $env
        wheel=$(ls /ci/dist-$v/vuvirida-*.whl)
        PATH=$env/bin $env/bin/python -m pip install -q --only-binary=:all: "numpy>=2.5" "$wheel[test]"
        cd /src
        export PATH=$env/bin:/ci/no-compiler
        python -c "import platform, sys, numpy, vuvirida
print(sys.version.split()[0], platform.libc_ver(), vuvirida.__file__, \"numpy\", numpy.__version__)"
        python -X dev -m pytest -q -p no:cacheprovider' _ "$version"
done
step "done"
