# Sourced by the CI scripts: a Debian chroot in a folder of CI's work
# directory, made by debootstrap from the host's mirror.
#
#     chroot_create DIR SUITE PACKAGE...  a minimal SUITE with PACKAGEs
#     chroot_mount DIR                    /proc and a fresh /dev/shm inside
#     chroot_unmount DIR                  every mount below DIR, deepest first
#     in_chroot DIR COMMAND...            COMMAND inside, as root, in a clean
#                                         environment that trusts the host's
#                                         certificate authorities
#
# Callers unmount on every exit path (trap ... EXIT): a mount left behind
# would keep the work directory from being removed.

chroot_create() {
    local dir=$1 suite=$2
    shift 2
    local attempt
    # A mirror sometimes fails a download: try again from scratch, twice.
    for attempt in 1 2 3; do
        mkdir -p "$dir"
        debootstrap --variant=minbase "$suite" "$dir" "$(debian_mirror)" > "$dir.debootstrap.log" 2>&1 && break
        tail -5 "$dir.debootstrap.log"
        [ "$attempt" -lt 3 ] || return 1
        echo "debootstrap of $suite failed (attempt $attempt); trying again"
        chroot_unmount "$dir"
        rm -rf --one-file-system "$dir"
        sleep 10
    done
    # The mirror's release files may be past their validity date.
    echo 'Acquire::Check-Valid-Until "false";' > "$dir/etc/apt/apt.conf.d/99ci"
    # pip reaches PyPI through whatever authorities the host's pip trusts
    # (inside a chroot made by these scripts, that chroot's copy).
    cp "${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}" "$dir/etc/ci-host-ca.crt"
    chroot_mount "$dir"
    { in_chroot "$dir" apt-get update -qq \
        && in_chroot "$dir" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq --no-install-recommends "$@"; } > "$dir.packages.log" 2>&1 \
        || { tail -20 "$dir.packages.log"; return 1; }
}

chroot_mount() {
    mountpoint -q "$1/proc" || mount -t proc proc "$1/proc"
    # Process pools' semaphores live in /dev/shm.
    mountpoint -q "$1/dev/shm" || mount -t tmpfs -o mode=1777 shm "$1/dev/shm"
    # A terminal of its own for apt and dpkg, apart from the host's.
    mountpoint -q "$1/dev/pts" || mount -t devpts -o newinstance,ptmxmode=0666 devpts "$1/dev/pts"
}

chroot_unmount() {
    local dir mount
    dir=$(realpath "$1" 2>/dev/null) || return 0
    awk -v d="$dir" '$2 == d || index($2, d "/") == 1 { print $2 }' /proc/self/mounts | sort -r \
        | while read -r mount; do umount "$mount" 2>/dev/null || umount -l "$mount"; done
}

in_chroot() {
    local dir=$1 name pass=()
    shift
    for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY PIP_INDEX_URL PIP_DEFAULT_TIMEOUT CI; do
        [ -z "${!name:-}" ] || pass+=("$name=${!name}")
    done
    env -i "${pass[@]}" HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        PIP_CERT=/etc/ci-host-ca.crt SSL_CERT_FILE=/etc/ci-host-ca.crt REQUESTS_CA_BUNDLE=/etc/ci-host-ca.crt \
        PIP_DISABLE_PIP_VERSION_CHECK=1 chroot "$dir" "$@"
}
