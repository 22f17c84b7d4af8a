# Runs the ```python blocks of a Markdown page the way a reader would: the
# blocks of one "## " section in order, in one namespace. A block followed by
# a paragraph ending in "prints" and a ```text block must print exactly that.
# A block whose first line is "# <name>.py" is a file the reader saves and
# runs: it is written out, run as a script (under a timeout) and imported.
import ast
import contextlib
import importlib.util
import io
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
_BLOCK = re.compile(r"```python\n(.*?)```(?:\n\n([^\n]*prints)\n\n```text\n(.*?)```)?", re.S)
_SCRIPT_TIMEOUT = 300  # seconds; a hung pool fails the test instead of the suite


@dataclass
class Block:
    code: str
    printed: str | None  # what it must print, when the page says

    @property
    def script(self) -> str | None:
        first = self.code.partition("\n")[0]
        return first[2:] if re.fullmatch(r"# \w+\.py", first) else None


def _blocks(text: str) -> list[Block]:
    return [Block(m[1], m[3] if m[2] else None) for m in _BLOCK.finditer(text)]


def sections(page: Path) -> dict[str, list[Block]]:
    """The Python blocks of each "## " section of page; the text before the first one is ""."""
    head, *parts = re.split(r"^## ", page.read_text(encoding="utf-8"), flags=re.M)
    found = {"": _blocks(head)}
    for part in parts:
        title, _, body = part.partition("\n")
        found[title.strip()] = _blocks(body)
    return found


def missing_modules(code: str) -> list[str]:
    """The modules that code imports at its top level and that are not installed."""
    names = set()
    for node in ast.parse(code).body:
        if isinstance(node, ast.Import):
            names |= {alias.name.partition(".")[0] for alias in node.names}
        elif isinstance(node, ast.ImportFrom) and node.module and not node.level:
            names.add(node.module.partition(".")[0])
    return sorted(n for n in names if importlib.util.find_spec(n) is None)


def run(blocks: list[Block], where: Path, label: str) -> dict:
    """Runs blocks in order in one namespace, skipping the test if a module is missing."""
    missing = missing_modules("\n".join(b.code for b in blocks))
    if missing:
        pytest.skip(f"{label} needs {', '.join(missing)}, which is not installed")
    names: dict = {"__name__": "recipe"}  # not "__main__": a cluster part stays out
    for block in blocks:
        if block.script:
            names.update(vars(_run_script(block, where)))
            continue
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(compile(block.code, label, "exec"), names)
        if block.printed is not None:
            _same_print(label, printed.getvalue(), block.printed)
    return names


def _run_script(block: Block, where: Path):
    path = where / block.script
    path.write_text(block.code, encoding="utf-8")
    done = subprocess.run([sys.executable, str(path)], cwd=where, capture_output=True,
                          text=True, timeout=_SCRIPT_TIMEOUT)
    assert done.returncode == 0, done.stderr
    if block.printed is not None:
        _same_print(block.script, done.stdout, block.printed)
    # Imported by name from a folder on sys.path, so that worker processes,
    # forked or spawned, find the functions the script defines.
    if str(where) not in sys.path:
        sys.path.insert(0, str(where))
    return importlib.import_module(path.stem)


def _same_print(label: str, got: str, want: str) -> None:
    assert got == want, f"{label} prints:\n{got}instead of:\n{want}"
