"""Write docs/api.md from the docstrings in vuvirida-stubs/__init__.pyi.

The stubs are the one place the functions are described; this page is made
from them, so the two cannot drift apart.

    python docs/make_api.py           # rewrite docs/api.md
    python docs/make_api.py --check   # fail if docs/api.md is stale, then run
                                      # every docstring example and the
                                      # README's quick start against the
                                      # installed vuvirida
"""

import ast
import contextlib
import doctest
import importlib
import io
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "vuvirida-stubs" / "__init__.pyi"
PAGE = ROOT / "docs" / "api.md"
README = ROOT / "README.md"
ITEM_SECTIONS = {"Parameters", "Returns", "Raises", "See Also"}


def code(text: str) -> str:
    """Turns reST double-backquoted literals and citations into Markdown."""
    return re.sub(r"\[(\d+)\]_", r"[\1]", re.sub(r"``(.+?)``", r"`\1`", text))


def continued(lines: list[str], i: int) -> tuple[list[str], int]:
    """Collects the indented lines from i on; returns them stripped and the next index."""
    described = []
    while i < len(lines) and lines[i].startswith(" "):
        described.append(lines[i].strip())
        i += 1
    return described, i


def convert(doc: str) -> list[str]:
    """Renders one cleaned numpydoc docstring as Markdown lines."""
    lines = doc.splitlines() + [""]
    out: list[str] = []
    section = ""
    i = 0
    while i < len(lines):
        line = lines[i]
        if i + 1 < len(lines) and lines[i + 1] and set(lines[i + 1]) == {"-"}:
            section = line
            out += [f"**{line}**", ""]
            i += 2
            continue
        if section in ITEM_SECTIONS and line and not line.startswith(" "):
            name, _, kind = line.partition(" : ")
            described, i = continued(lines, i + 1)
            if section == "See Also":  # "name : what it is", not "name : type"
                described, kind = [kind, *described], ""
            head = f"`{name}` (*{kind}*)" if kind else f"`{name}`"
            out.append(f"- {head}: {code(' '.join(described))}")
            continue
        if line.startswith(".. ["):  # a reference: ".. [1] text", continued indented
            described, i = continued(lines, i + 1)
            out.append(f"- {code(' '.join([line[3:], *described]))}")
            continue
        if line.startswith(">>>"):
            block = []
            while i < len(lines) and lines[i]:
                block.append(lines[i])
                i += 1
            out += ["```pycon", *block, "```"]
            continue
        if line.startswith("    "):
            block = []
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i]):
                block.append(lines[i][4:])
                i += 1
            while block and not block[-1]:
                block.pop()
            out += ["```text", *block, "```", ""]
            continue
        if line.endswith("::"):
            line = line[:-1]
        if not line and out and out[-1].startswith("- "):
            out.append("")
        elif line or (out and out[-1]):
            out.append(code(line))
        i += 1
    while out and not out[-1]:
        out.pop()
    return out


def signature(node: ast.FunctionDef) -> str:
    params = ", ".join(f"{a.arg}: {ast.unparse(a.annotation)}" for a in node.args.args
                       if a.annotation is not None)
    returns = ast.unparse(node.returns) if node.returns is not None else "None"
    return f"{node.name}({params}) -> {returns}"


def render() -> tuple[str, dict[str, tuple[str, int]]]:
    tree = ast.parse(STUBS.read_text(encoding="utf-8"))
    functions = [n for n in tree.body if isinstance(n, ast.FunctionDef)]
    docs = {f.name: (ast.get_docstring(f) or "", f.body[0].lineno - 1)
            for f in functions}
    page = [
        "# API reference",
        "",
        "<!-- Made by docs/make_api.py from vuvirida-stubs/__init__.pyi; edit the stubs. -->",
        "",
        *convert(ast.get_docstring(tree) or ""),
        "",
        *[f"- [`{f.name}`](#{f.name})" for f in functions],
    ]
    for f in functions:
        page += ["", f"## {f.name}", "", "```python", signature(f), "```", ""]
        page += convert(docs[f.name][0])
    return "\n".join(page) + "\n", docs


def run_examples(docs: dict[str, tuple[str, int]]) -> int:
    """Runs each docstring's examples; returns the number of failures."""
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for name, (doc, line) in docs.items():
        runner.run(parser.get_doctest(doc, {}, name, str(STUBS), line))
    result = runner.summarize(verbose=False)
    print(f"examples: {result.attempted} run, {result.failed} failed")
    return result.failed


def run_quick_start() -> int:
    """Runs the README's quick start; returns 1 if it no longer prints what it shows."""
    match = re.search(r"## Quick start\n.*?```python\n(.*?)```\s*prints\s*```text\n(.*?)```",
                      README.read_text(encoding="utf-8"), re.S)
    if match is None:
        print("README.md: no quick start with its printed output found")
        return 1
    # Imported before the output is caught: an editable install that rebuilds
    # on import prints the build's output then.
    importlib.import_module("vuvirida")
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(match[1], str(README), "exec"), {"__name__": "quick_start"})
    if printed.getvalue() == match[2]:
        print("README.md quick start: prints what it shows")
        return 0
    print(f"README.md quick start prints:\n{printed.getvalue()}instead of:\n{match[2]}")
    return 1


def main(argv: list[str]) -> int:
    page, docs = render()
    if "--check" not in argv:
        PAGE.write_text(page, encoding="utf-8")
        print(f"wrote {PAGE}")
        return 0
    stale = not PAGE.exists() or PAGE.read_text(encoding="utf-8") != page
    if stale:
        print(f"{PAGE} is out of date: run python docs/make_api.py")
    failed = run_examples(docs) + run_quick_start()
    return 1 if failed or stale else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
