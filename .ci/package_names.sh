#!/usr/bin/env bash
# Checks that every package .ci/system_packages.sh would install resolves on
# Debian 12 and on Debian 13, whichever of them the host runs. The host's own
# release installed its list already; for the other one apt simulates the
# installation against that release's package lists, fetched into a scratch
# apt tree, with an empty package database (nothing is installed).
#
#     package_names.sh WORK_DIR [all]   (all: the host's release too)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/debian_release.sh"
work=$1 mirror=$(debian_mirror)
debian_release

for release in 12:bookworm 13:trixie; do
    version=${release%%:*} codename=${release#*:} dir="$work/apt-$codename"
    if [ "$version" = "$debian_version" ] && [ "${2:-}" != all ]; then
        echo "Debian $version ($codename): the host's release, whose packages are installed"
        continue
    fi
    mkdir -p "$dir"/etc/apt/{apt.conf.d,preferences.d,sources.list.d,trusted.gpg.d} \
        "$dir"/var/lib/apt/lists/partial "$dir"/var/cache/apt/archives/partial "$dir"/var/lib/dpkg
    : > "$dir/var/lib/dpkg/status"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $codename main" \
        > "$dir/etc/apt/sources.list"
    apt=(apt-get -o Dir="$dir" -o Dir::State::status="$dir/var/lib/dpkg/status" -o Debug::NoLocking=1
         -o APT::Architecture=amd64 -o APT::Architectures::=amd64 -o APT::Architectures::=arm64
         -o Acquire::Languages=none -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root)
    mapfile -t packages < <(debian_packages "$version")
    "${apt[@]}" update -qq
    "${apt[@]}" install -s -qq --no-install-recommends "${packages[@]}" >/dev/null
    echo "Debian $version ($codename): ${#packages[@]} packages resolve"
done
