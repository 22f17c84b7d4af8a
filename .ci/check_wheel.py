"""The wheel holds the module file, the stubs and the licence, and nothing else.

A repaired wheel (auditwheel) also lists the directories holding them.
"""
import re
import sys
import zipfile

names = zipfile.ZipFile(sys.argv[1]).namelist()
allowed = (r"vuvirida\.cpython-[^/]*\.so|vuvirida-stubs/__init__\.pyi"
           r"|vuvirida-[^/]*\.dist-info/(METADATA|WHEEL|RECORD|licenses/LICENSE)")
files = [n for n in names if not n.endswith("/")]
extra = [n for n in files if not re.fullmatch(allowed, n)]
extra += [n for n in names if n.endswith("/") and not any(f.startswith(n) for f in files)]
wanted = (r".*\.so", r"vuvirida-stubs/__init__\.pyi", r".*/licenses/LICENSE")
missing = [p for p in wanted if not any(re.fullmatch(p, n) for n in names)]
print("\n".join(names))
sys.exit(f"unexpected in wheel: {extra}; missing: {missing}" if extra or missing else 0)
