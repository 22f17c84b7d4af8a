"""The wheel holds the module file, the stubs and the licence, and nothing else."""
import re
import sys
import zipfile

names = zipfile.ZipFile(sys.argv[1]).namelist()
allowed = (r"vuvirida\.cpython-[^/]*\.so|vuvirida-stubs/__init__\.pyi"
           r"|vuvirida-[^/]*\.dist-info/(METADATA|WHEEL|RECORD|licenses/LICENSE)")
extra = [n for n in names if not re.fullmatch(allowed, n)]
wanted = (r".*\.so", r"vuvirida-stubs/__init__\.pyi", r".*/licenses/LICENSE")
missing = [p for p in wanted if not any(re.fullmatch(p, n) for n in names)]
print("\n".join(names))
sys.exit(f"unexpected in wheel: {extra}; missing: {missing}" if extra or missing else 0)
