"""Reads a valgrind log and fails on any error whose stack passes through the
vuvirida module. Errors wholly inside the loader or the interpreter are
counted but not ours to mend."""
import re
import sys

text = open(sys.argv[1]).read()
blocks = re.split(r"\n==\d+== \n", text)
errors = [b for b in blocks if re.search(r"==\d+== (Invalid|Conditional|Use of|Mismatched|Syscall|Source and destination)", b)]
ours = [b for b in errors if re.search(r"vuvirida\.cpython|/src/(frame|lib)/", b)]
print(f"valgrind: {len(errors)} errors, {len(ours)} through vuvirida")
for block in ours:
    print(block)
sys.exit(1 if ours else 0)
