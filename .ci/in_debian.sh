#!/usr/bin/env bash
# Runs the whole of .ci/run inside a fresh chroot of a Debian release, as a
# CI machine running that release would: shows that the same .ci/run passes
# on Debian 12 and on Debian 13. Not a stage of .ci/run (it runs all of it).
#
#     in_debian.sh SUITE WORK_DIR    e.g. in_debian.sh trixie /tmp/ci-trixie
#
# The chroot gets what such a machine has before CI starts: the CPython
# builds under the host's pyenv (bound in, read-only, with the libraries
# they link), git, valgrind and a clone of this checkout's HEAD.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
suite=$1 dir=$2/root
. "$root/.ci/debian_release.sh"
. "$root/.ci/chroot.sh"
trap 'chroot_unmount "$dir"' EXIT
pyenv=$(pyenv root)

echo "==== $suite: debootstrap and packages ($(date -u +%T))"
chroot_create "$dir" "$suite" git valgrind procps \
    libssl3t64 libffi8 libbz2-1.0 liblzma5 libsqlite3-0 libreadline8t64 libncursesw6 zlib1g libexpat1 libuuid1
mkdir -p "$dir$pyenv"
mount --bind "$pyenv" "$dir$pyenv"
mount -o remount,bind,ro "$dir$pyenv"
git clone -q "$root" "$dir/ci-check"

echo "==== $suite: .ci/run ($(date -u +%T))"
in_chroot "$dir" bash -c "export PATH=$pyenv/shims:$pyenv/bin:\$PATH PYENV_ROOT=$pyenv
    cd /ci-check && git log --oneline -1 && CI=true bash .ci/run"
