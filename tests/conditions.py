# Where the suite runs, and the conditions under which a test cannot hold
# there, each with the reason its skip reports.
import os
import platform
import shutil
import subprocess
import sys

import pytest

LINUX, MACOS = sys.platform.startswith("linux"), sys.platform == "darwin"
# AddressSanitizer runs first in the process, preloaded.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
# A foreign architecture runs here through qemu's user-mode emulation,
# registered with the kernel's binfmt_misc; a native machine registers no
# emulator for its own architecture.
EMULATED = LINUX and os.path.exists(f"/proc/sys/fs/binfmt_misc/qemu-{platform.machine()}")

reads_proc = pytest.mark.skipif(not LINUX, reason="reads /proc, which only Linux has")
_UNLIMITED = ("AddressSanitizer reserves more address space than RLIMIT_AS allows" if SANITIZED
              else "qemu's user-mode emulation ignores RLIMIT_AS" if EMULATED
              else "reads /proc, which only Linux has" if not LINUX else "")
limits_address_space = pytest.mark.skipif(bool(_UNLIMITED), reason=_UNLIMITED)
# CPython 3.13 and newer crash by themselves when an allocation fails while
# they import a single-phase init module (3.13.0 in import_run_extension,
# just after the init function returned); a ten-line module that does
# nothing crashes the same way on 3.13.0, 3.13.5, 3.14.10 and 3.15.2.
# 3.11 and 3.12 still run the test.
import_survives_failed_allocations = pytest.mark.skipif(
    sys.version_info >= (3, 13),
    reason=f"CPython {platform.python_version()} crashes by itself under injected allocation "
           "failures while importing a single-phase init module")


# How nm lists a module file's dynamic symbols: (defined, undefined, the
# prefix the platform's C symbols carry).
NM = {"linux": (["nm", "-D", "--defined-only"], ["nm", "-D", "--undefined-only"], ""),
      "darwin": (["nm", "-gU"], ["nm", "-u"], "_")}.get(sys.platform) if shutil.which("nm") else None
lists_symbols = pytest.mark.skipif(NM is None, reason="needs nm, on Linux or macOS")


def dynamic_symbols(path):
    """The (kind, name) pairs a module file defines and the names it imports."""
    defined, undefined, prefix = NM

    def listed(command):
        out = subprocess.run(command + [path], capture_output=True, text=True, check=True).stdout
        # "[address] kind name[@version]"; macOS lists undefined names alone.
        return [(([""] + line.split())[-2], line.split()[-1].split("@")[0].removeprefix(prefix))
                for line in out.splitlines() if line.strip()]
    return listed(defined), [name for _, name in listed(undefined)]
