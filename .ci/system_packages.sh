#!/usr/bin/env bash
# Debian packages the other stages need: Clang, and for 64-bit Arm a cross
# compiler, the emulator and the aarch64 interpreter library installed beside
# the host's (multiarch). Nothing is removed; run as root.
set -euo pipefail

packages=(clang-19 qemu-user-static g++-aarch64-linux-gnu binutils-aarch64-linux-gnu
          libpython3.11-dev:arm64 libstdc++6:arm64 python3.11-venv)
dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null

# Run aarch64 programs through qemu without systemd: register the emulator
# with binfmt_misc by hand, as Debian's own configuration describes it.
binfmt=/proc/sys/fs/binfmt_misc
mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt"
[ -e "$binfmt/qemu-aarch64" ] || cat /usr/lib/binfmt.d/qemu-aarch64.conf > "$binfmt/register"
