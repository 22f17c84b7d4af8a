# Sourced by the CI scripts: the Debian packages CI installs, by release.
#
#     debian_release [OS_RELEASE]   sets debian_version (12, 13) and
#                                   debian_python (3.11, 3.13) from an
#                                   os-release file (default: the host's)
#     debian_packages VERSION       prints that release's package names
#
# Debian 12 (bookworm) ships CPython 3.11 and qemu as qemu-user-static;
# Debian 13 (trixie) ships CPython 3.13 and qemu as qemu-user, registered
# with binfmt_misc by qemu-user-binfmt (qemu-user-static is only a
# transitional package there).

debian_release() {
    local file=${1:-/etc/os-release} id version
    id=$(. "$file" && echo "${ID:-}")
    version=$(. "$file" && echo "${VERSION_ID:-}")
    if [ "$id" != debian ]; then
        echo "CI runs on Debian 12 or 13; $file names '$id' $version" >&2
        return 1
    fi
    case "$version" in
        12) debian_version=12 debian_python=3.11 ;;
        13) debian_version=13 debian_python=3.13 ;;
        *) echo "CI runs on Debian 12 or 13, not Debian '$version'" >&2; return 1 ;;
    esac
}

debian_packages() {
    # Compilers and tools for every stage, the cross compiler, and for 64-bit
    # Arm the emulator and the aarch64 interpreter library installed beside
    # the host's (multiarch); debootstrap for the newer Debian stages; what
    # the free-threaded CPython build needs (ssl and zlib for pip, libffi for
    # ctypes).
    local common=(g++ binutils clang-19 g++-aarch64-linux-gnu binutils-aarch64-linux-gnu
                  libstdc++6:arm64 debootstrap ca-certificates
                  curl xz-utils libssl-dev zlib1g-dev libffi-dev)
    case "$1" in
        12) printf '%s\n' "${common[@]}" qemu-user-static libpython3.11-dev:arm64 python3.11-venv ;;
        13) printf '%s\n' "${common[@]}" qemu-user qemu-user-binfmt libpython3.13-dev:arm64 python3.13-venv \
                python3.13-dev ;;
        *) echo "no package list for Debian '$1'" >&2; return 1 ;;
    esac
}

# The Debian mirror the host's apt uses, for debootstrap and the name check.
debian_mirror() {
    local url
    url=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null \
        | grep -v '^[[:space:]]*#' | grep -oE 'https?://[^[:space:]]+/debian/?([[:space:]]|$)' | head -1 | tr -d '[:space:]')
    echo "${url:-http://deb.debian.org/debian}"
}
