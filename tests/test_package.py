"""The package around the module: the stubs installed with it, the README, the version and the examples."""

import ast
import importlib.metadata
import importlib.util
import re
import shutil
import subprocess
import sysconfig
import sys
import tomllib
from pathlib import Path

import pytest

import vuvirida
from docblocks import ROOT, run, sections

FIVE = {"harmonic_oscillator", "pseudo_square_wave", "fourier_square_wave",
        "pseudo_cycloid_wave", "transient_impulse"}
README = ROOT / "README.md"
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]


def test_stubs_sit_beside_the_module_and_declare_its_five_signatures():
    stub = Path(vuvirida.__file__).parent / "vuvirida-stubs" / "__init__.pyi"
    nodes = [n for n in ast.parse(stub.read_text(encoding="utf-8")).body
             if isinstance(n, ast.FunctionDef)]
    assert {n.name for n in nodes} == FIVE == set(vuvirida.__all__)
    for node in nodes:
        declared = "(" + ", ".join(a.arg for a in node.args.args) + ")"
        assert declared == getattr(vuvirida, node.name).__text_signature__
        assert ast.get_docstring(node), node.name


def test_readme_python_blocks_run_in_order_and_print_what_they_show(tmp_path):
    blocks = [block for found in sections(README).values() for block in found]
    assert len(blocks) >= 4
    run(blocks, tmp_path, "README.md")


def test_readme_has_no_link_or_picture_that_breaks_on_a_package_index():
    text = README.read_text(encoding="utf-8")
    targets = re.findall(r"\]\(([^)]*)\)", text) + re.findall(r"(?:src|href)=\"([^\"]*)\"", text)
    assert [t for t in targets if not t.startswith("https://")] == []


def test_readme_names_files_and_extras_that_exist():
    text = README.read_text(encoding="utf-8")
    files = set(re.findall(r"\b(?:docs|examples|benchmarks|tests|vuvirida-stubs)/[\w/.-]*\w", text))
    files |= {"CHANGELOG.md", "CITATION.cff", "CONTRIBUTING.md", "LICENSE"}
    shell = "\n".join(re.findall(r"```sh\n(.*?)```", text, re.S))
    extras = {e for group in re.findall(r"\.\[([\w,]+)\]", shell) for e in group.split(",")}
    assert len(files) > 5 and extras
    assert sorted(f for f in files if not (ROOT / f).exists()) == []
    assert extras <= set(PROJECT["optional-dependencies"])


def test_readme_c_blocks_compile_against_the_interpreter_headers(tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        pytest.skip("no C compiler on PATH to check the README's C blocks with")
    table, lookup = re.findall(r"```c\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    source = tmp_path / "readme.c"
    source.write_text("#include <Python.h>\n#include <stdint.h>\n" + table
                      + "const struct VuviridaBorrowTable* find(void) {\n" + lookup + "return table;\n}\n")
    done = subprocess.run([compiler, "-fsyntax-only", "-Wall", "-Werror",
                           "-I" + sysconfig.get_paths()["include"], str(source)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr


def test_version_is_one_and_the_same_everywhere():
    version = PROJECT["version"]
    changelog = (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    citation = (ROOT / "CITATION.cff").read_text(encoding="utf-8")
    assert importlib.metadata.version("vuvirida") == version
    assert re.search(r"^## (\S+) - \d{4}-\d\d-\d\d$", changelog, re.M)[1] == version
    assert re.search(r'^version: "(.*)"$', citation, re.M)[1] == version
    assert re.findall(r"This is vuvirida (\S+)\.", README.read_text(encoding="utf-8")) == [version]
    assert re.search(r'^date-released: "(.*)"$', citation, re.M)[1] in changelog


def test_gallery_draws_into_the_current_folder_unless_told_where(tmp_path):
    if importlib.util.find_spec("matplotlib") is None:
        pytest.skip("the gallery needs matplotlib (the examples extra), which is not installed")
    tracked = ROOT / "docs" / "gallery.png"
    before = tracked.stat().st_mtime_ns
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "gallery.py")], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "vuvirida-gallery.png").read_bytes().startswith(b"\x89PNG")
    assert tracked.stat().st_mtime_ns == before
