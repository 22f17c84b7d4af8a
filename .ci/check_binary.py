"""Inspect a built module file: no fused multiply-add, only the init symbol, libm's own calls.

    check_binary.py BUILT [SHIPPED]   check a build and, optionally, its shipped copy
    check_binary.py --fused-only FILE  only look for fused multiply-adds

SHIPPED (or BUILT alone) may be a wheel, whose module file is checked.

BUILT is the module as linked, with its symbol table, so that every
instruction is attributed to the function holding it. A fused multiply-add
rounds once where the waveforms round twice, so none may appear outside the
functions allowed below. SHIPPED is the copy in the wheel, stripped of local
symbols: it must hold exactly the fused instructions the allowed functions
account for, export only PyInit_vuvirida, and call the C library's exp,
sin, cos and fmod, never a merged sincos. Checked alone, a stripped
module attributes everything to its few remaining symbols: that suffices
while nothing is allowed.
"""
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

# Function-name prefixes (as `objdump --demangle` prints them) whose fused
# multiply-adds are deliberate: an evaluation in extended precision that
# relies on the single rounding and is tested bit for bit against libm.
# Anything added here must say which function and why.
ALLOWED_FUSED = re.compile(
    # src/lib/exp_lanes.inc: exp in extended precision (exact products by
    # fused multiply-add, Horner's rule), whose error analysis assumes the
    # single rounding; a lane's value is kept only where it is provably the
    # library's exp, and the hard-case tables check it bit for bit. The exp
    # lanes are inlined into every function of the vector rows that evaluates
    # a waveform, so each of those may hold them, in packed form only
    # (ALLOWED_FORM), as the lanes make them: a contracted scalar step there is
    # still found, and a contracted step of a waveform in lanes differs from
    # the reference in the value tests. (A template's name comes after its
    # return type.)
    r"([^(]* )?vuvirida::lib::avx(2|512)::.*"
)
ALLOWED_FORM = re.compile(r"\w+pd")

# The C library's functions the waveforms' steps call, each by name.
LIBRARY_CALLS = {"exp", "sin", "cos", "fmod"}

# x86-64 FMA3/FMA4/AVX-512 forms and the AArch64 scalar, vector and SVE forms.
FUSED = re.compile(r"v?fc?n?m(add|sub|ad|sb|la|ls)\w*|bfml\w*")
FUNCTION = re.compile(r"[0-9a-f]+ <(.+)>:")
INSTRUCTION = re.compile(r"\s*[0-9a-f]+:\s+([a-z][\w.]*)")
ELF_MACHINES = {62: "x86_64", 183: "aarch64"}


def objdump_for(path):
    with open(path, "rb") as f:
        head = f.read(20)
    if head[:4] != b"\x7fELF":
        return "objdump"  # Mach-O on macOS: the system's llvm-objdump
    machine = ELF_MACHINES[int.from_bytes(head[18:20], "little")]
    own = subprocess.run(["uname", "-m"], capture_output=True, text=True).stdout.strip()
    return "objdump" if machine == own else shutil.which(f"{machine}-linux-gnu-objdump") or "objdump"


def fused_by_function(path):
    """{function: [fused mnemonic, ...]} over every executable section."""
    listing = subprocess.run([objdump_for(path), "-d", "--no-show-raw-insn", "--demangle", path],
                             capture_output=True, text=True, check=True).stdout
    found, function = {}, "?"
    for line in listing.splitlines():
        if header := FUNCTION.fullmatch(line):
            function = header[1]
        elif (insn := INSTRUCTION.match(line)) and FUSED.fullmatch(insn[1]):
            found.setdefault(function, []).append(insn[1])
    return found


def dynamic_symbols(path, defined):
    """The names a module file exports (defined) or takes from other libraries."""
    darwin = sys.platform == "darwin"
    command = (["nm", "-gU" if defined else "-u"] if darwin
               else ["nm", "-D", "--defined-only" if defined else "--undefined-only"])
    out = subprocess.run(command + [path], capture_output=True, text=True, check=True).stdout
    return [line.split()[-1].split("@")[0].removeprefix("_" if darwin else "") for line in out.splitlines()
            if line.strip()]


def module_file(path, scratch):
    if not path.endswith(".whl"):
        return path
    with zipfile.ZipFile(path) as wheel:
        [name] = [n for n in wheel.namelist() if re.fullmatch(r"vuvirida\.[^/]+\.so", n)]
        return wheel.extract(name, scratch)


def main(args):
    with tempfile.TemporaryDirectory() as scratch:
        return check([module_file(a, scratch) if not a.startswith("--") else a for a in args])


def check(args):
    if args[0] == "--fused-only":
        found = fused_by_function(args[1])
        print(f"{args[1]}: fused multiply-adds in {sorted(found)}")
        return 1 if found else 0
    built, shipped = args[0], args[-1]
    found = fused_by_function(built)
    allowed_here = {k: ALLOWED_FUSED.fullmatch(k) and all(ALLOWED_FORM.fullmatch(f) for f in v)
                    for k, v in found.items()}
    allowed = sum(len(v) for k, v in found.items() if allowed_here[k])
    problems = [f"{built}: {len(v)} fused multiply-adds in {k}: {sorted(set(v))}"
                for k, v in found.items() if not allowed_here[k]]
    if shipped != built and (count := sum(map(len, fused_by_function(shipped).values()))) != allowed:
        problems.append(f"{shipped}: {count} fused multiply-adds where the build accounts for {allowed}")
    if (names := dynamic_symbols(shipped, defined=True)) != ["PyInit_vuvirida"]:
        problems.append(f"{shipped}: exports {names}, not only PyInit_vuvirida")
    # The library's own functions, each on its own: a sine and cosine merged
    # into one sincos call round otherwise than sin and cos.
    calls = set(dynamic_symbols(shipped, defined=False))
    merged = sorted(n for n in calls if "sincos" in n)
    if not LIBRARY_CALLS <= calls or merged:
        problems.append(f"{shipped}: calls {sorted(LIBRARY_CALLS & calls)} of {sorted(LIBRARY_CALLS)}, "
                        f"and {merged or 'no'} merged sine and cosine")
    print("\n".join(problems) or f"{shipped}: no fused multiply-add outside {ALLOWED_FUSED.pattern}; exports PyInit_vuvirida; "
          f"calls the library's {', '.join(sorted(LIBRARY_CALLS))}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
