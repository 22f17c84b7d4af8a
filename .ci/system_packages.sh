#!/usr/bin/env bash
# Debian packages the other stages need (.ci/debian_release.sh names them
# for the host's release, Debian 12 or 13). Nothing is removed; run as root.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/debian_release.sh"
debian_release
mapfile -t packages < <(debian_packages "$debian_version")
echo "Debian $debian_version: ${packages[*]}"
dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
# A mirror's snapshot may be older than its release files' validity date.
apt-get -o Acquire::Check-Valid-Until=false update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null

# Run aarch64 programs through qemu without systemd: register the emulator
# with binfmt_misc by hand, as Debian's own configuration describes it.
binfmt=/proc/sys/fs/binfmt_misc
mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt"
[ -e "$binfmt/qemu-aarch64" ] || cat /usr/lib/binfmt.d/qemu-aarch64.conf > "$binfmt/register"
