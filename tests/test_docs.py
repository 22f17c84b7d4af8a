# The documentation against the installed module: the README, the recipes
# page, the API page and the stubs it is made from, the version and the links.
# A page's ```python blocks run as a reader would run them: those of one "## "
# section in order, in one namespace. A block followed by a paragraph ending in
# "prints" and a ```text block must print exactly that; a block whose first
# line is "# <name>.py" is a file the reader saves and runs as a script.

import ast
import concurrent.futures
import contextlib
import copyreg
import functools
import importlib.metadata
import io
import multiprocessing
import pickle
import re
import runpy
import shutil
import subprocess
import sys
import sysconfig
import tomllib
import types
from pathlib import Path
from unittest import mock

import numpy
import pytest

import reference
import vuvirida

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
HOUR = 2 * numpy.pi / 24
# What the extras bring: a page that needs one of these skips without it.
OPTIONAL = {"scipy", "lmfit", "pandas", "dask", "distributed", "tblib", "matplotlib", "mypy"}


def sections(text):
    """The (code, what it prints or "") blocks of each "## " section; those before the first under ""."""
    block = r"```python\n(.*?)```(?:\n\n[^\n]*prints\n\n```text\n(.*?)```)?"
    parts = (part.partition("\n") for part in re.split(r"^## ", "\n" + text, flags=re.M))
    return {title.strip(): re.findall(block, body, re.S) for title, _, body in parts}


def run(blocks, where, label):
    """Runs blocks in where, in one namespace, and returns it; skips if one needs a module not installed."""
    names = {"__name__": "recipe"}  # not "__main__": a cluster part stays out
    for code, printed in blocks:
        script = re.fullmatch(r"# (\w+)\.py", code.partition("\n")[0])
        if script:
            (where / f"{script[1]}.py").write_text(code, encoding="utf-8")
            done = subprocess.run([sys.executable, f"{script[1]}.py"], cwd=where, capture_output=True, text=True,
                                  timeout=300)  # a hung pool fails the test, not the suite
            assert done.returncode == 0, done.stderr
            output = done.stdout
            # Imported by name from a folder on sys.path, so that worker
            # processes, forked or spawned, find the functions it defines.
            sys.path.insert(0, str(where))
            names.update(vars(importlib.import_module(script[1])))
        else:
            try:
                with contextlib.redirect_stdout(io.StringIO()) as stdout:
                    exec(compile(code, label, "exec"), names)
            except ModuleNotFoundError as error:
                if error.name.partition(".")[0] not in OPTIONAL:
                    raise
                pytest.skip(f"{label} needs {error.name}, which is not installed")
            output = stdout.getvalue()
        assert not printed or output == printed, f"{label} prints:\n{output}instead of:\n{printed}"
    return names


def test_readme_python_blocks_run_in_order_and_print_what_they_show(tmp_path):
    blocks = [block for found in sections(README).values() for block in found]
    assert len(blocks) >= 4 and sum(bool(printed) for _, printed in blocks) >= 2
    run(blocks, tmp_path, "README.md")


def test_readme_c_blocks_compile_against_the_interpreter_headers(tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        pytest.skip("no C compiler on PATH to check the README's C blocks with")
    table, lookup = re.findall(r"```c\n(.*?)```", README, re.S)
    source = tmp_path / "readme.c"
    source.write_text(f"#include <Python.h>\n#include <stdint.h>\n{table}"
                      f"const struct VuviridaBorrowTable* find(void) {{\n{lookup}return table;\n}}\n")
    done = subprocess.run([compiler, "-fsyntax-only", "-Wall", "-Werror", "-I" + sysconfig.get_paths()["include"],
                           str(source)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr


def test_readme_links_files_and_extras_hold_on_a_package_index():
    # A package index shows the README alone: a relative link or picture breaks there.
    targets = re.findall(r"\]\(([^)]*)\)", README) + re.findall(r"(?:src|href)=\"([^\"]*)\"", README)
    assert [t for t in targets if not t.startswith("https://")] == []
    files = set(re.findall(r"\b(?:docs|examples|benchmarks|tests|vuvirida-stubs)/[\w/.-]*\w", README))
    files |= {"CHANGELOG.md", "CITATION.cff", "CONTRIBUTING.md", "LICENSE"}
    shell = "\n".join(re.findall(r"```sh\n(.*?)```", README, re.S))
    extras = {e for group in re.findall(r"\.\[([\w,]+)\]", shell) for e in group.split(",")}
    assert len(files) > 5 and extras
    assert sorted(f for f in files if not (ROOT / f).exists()) == []
    assert extras <= set(PROJECT["optional-dependencies"])


def test_version_is_one_and_the_same_everywhere():
    version = PROJECT["version"]
    changelog, citation = ((ROOT / name).read_text(encoding="utf-8") for name in ("CHANGELOG.md", "CITATION.cff"))
    assert importlib.metadata.version("vuvirida") == version
    assert re.search(r"^## (\S+) - \d{4}-\d\d-\d\d$", changelog, re.M)[1] == version
    assert re.search(r'^version: "(.*)"$', citation, re.M)[1] == version
    assert re.findall(r"This is vuvirida (\S+)\.", README) == [version]
    assert re.search(r'^date-released: "(.*)"$', citation, re.M)[1] in changelog


def test_api_page_is_made_from_the_installed_stubs_which_match_the_module_and_run():
    make_api = types.SimpleNamespace(**runpy.run_path(str(ROOT / "docs" / "make_api.py")))
    stubs = (Path(vuvirida.__file__).parent / "vuvirida-stubs" / "__init__.pyi").read_text(encoding="utf-8")
    assert stubs == make_api.STUBS.read_text(encoding="utf-8")
    page, docs = make_api.render()
    assert make_api.PAGE.read_text(encoding="utf-8") == page, "docs/api.md is stale: run python docs/make_api.py"
    for node in (n for n in ast.parse(stubs).body if isinstance(n, ast.FunctionDef)):
        assert f"({', '.join(a.arg for a in node.args.args)})" == getattr(vuvirida, node.name).__text_signature__
    assert sorted(docs) == sorted(vuvirida.__all__) and all(doc for doc, _ in docs.values())
    assert make_api.run_examples(docs) == 0  # doctest prints what failed


def test_gallery_draws_into_the_current_folder_unless_told_where(tmp_path):
    pytest.importorskip("matplotlib", reason="the gallery needs matplotlib (the examples extra)")
    before = (ROOT / "docs" / "gallery.png").stat().st_mtime_ns
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "gallery.py")], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "vuvirida-gallery.png").read_bytes().startswith(b"\x89PNG")
    assert (ROOT / "docs" / "gallery.png").stat().st_mtime_ns == before


RECIPES = {title: blocks for title, blocks in sections((ROOT / "docs" / "recipes.md").read_text("utf-8")).items()
           if blocks}
SHOWS_NO_OUTPUT = {"Dask", "Same bits as a NumPy expression?"}  # a cluster's, a machine's


@pytest.fixture(scope="module")
def recipe(tmp_path_factory):
    """The namespace a recipe leaves behind, run once per module."""
    return functools.cache(lambda title: run(RECIPES[title], tmp_path_factory.mktemp("recipe"), f"recipes: {title}"))


def outcome(call):
    try:
        return call()
    except BaseException as error:  # noqa: B036 - the abort derives from BaseException
        return error


@pytest.mark.parametrize("title", sorted(RECIPES))
def test_every_recipe_runs_and_prints_what_it_shows(recipe, title):
    assert (title in SHOWS_NO_OUTPUT) != any(printed for _, printed in RECIPES[title])
    recipe(title)


# Each function with the values the data are made from, a start near them
# (a pulse's onset within a pulse width) and the int held fixed.
WAVE = ((1.0, -0.05, 1.0, -15 * HOUR, 2.0), (0.8, 0.0, 1.1, -3.0, 1.5), {})
FITS = {"harmonic_oscillator": WAVE, "pseudo_square_wave": WAVE,
        "fourier_square_wave": ((0.5, 0.02, 1.0, -6 * HOUR, 0.0), (0.4, 0.0, 1.05, -1.0, 0.1), {"num_harmonics": 7}),
        "pseudo_cycloid_wave": ((0.5, -0.03, 1.0, 2 * HOUR, 1.0), (0.6, 0.0, 0.95, 0.3, 0.8), {}),
        "transient_impulse": ((2.0, 7.0, 1.5 * HOUR, 0.5), (1.5, 8.0, 0.3, 0.3), {})}


# Fitted through the abort wrapper, whose signature both fitters read: the
# page says it fits as the bare function does (the recipes fit bare ones).
@pytest.mark.parametrize("title, fitter", [("Fitting with SciPy", "fit"), ("Fitting with lmfit", "fit_lmfit")])
@pytest.mark.parametrize("name", FITS)
def test_fits_recover_the_parameters_within_three_standard_errors(recipe, title, fitter, name):
    (truth, start, fixed), function = FITS[name], getattr(vuvirida, name)
    t = numpy.linspace(0.0, 72.0, 300) * HOUR
    data = function(t, *truth, **fixed) + numpy.random.default_rng(12).normal(0.0, 0.05, t.size)
    checked = recipe("Catching the abort exception")["checked"]
    values, errors = recipe(title)[fitter](checked(function), t, data, start, **fixed)
    assert numpy.all(numpy.isfinite(errors) & (errors > 0)), errors
    assert numpy.all(numpy.abs(values - truth) <= 3 * errors), (values - truth) / errors


# What readers hand over, and what a direct call makes of it, as the page's table says.
SOURCES = [(lambda: numpy.loadtxt(io.StringIO("0 1\n6 2\n12 3\n18 4\n"))[:, 0], "abort"),
           (lambda: numpy.genfromtxt(io.StringIO("hour v\n0 1\n6 2\n12 3\n18 4\n"), names=True)["hour"], "abort"),
           (lambda: pytest.importorskip("pandas").DataFrame(numpy.array([[0.0, 1], [6, 2], [12, 3]]),
                                                            columns=["hour", "v"])["hour"].to_numpy(),
            "either"),  # a strided view under pandas 2.x, not under pandas 3
           (lambda: numpy.arange(0.0, 24.0, 6.0, dtype=numpy.float32), TypeError),
           (lambda: numpy.arange(0, 24, 6), TypeError),
           (lambda: numpy.arange(0.0, 24.0, 6.0).astype(">f8"), TypeError),
           (lambda: [0.0, 6.0, 12.0], TypeError)]


@pytest.mark.parametrize("make, direct", SOURCES)
def test_as_time_gives_what_vuvirida_reads_from_any_source(recipe, make, direct):
    as_time = recipe("Times from files")["as_time"]
    values = make()
    error = outcome(lambda: vuvirida.harmonic_oscillator(values, 1.0, 0.0, 1.0, 0.0, 0.0))
    assert type(error).__name__ == "PanicException" if direct == "abort" else direct in ("either", type(error))
    want = reference.harmonic_oscillator(numpy.array(values, dtype=numpy.float64) * HOUR, 1.0, 0.0, 1.0, 0.0, 0.0)
    reference.assert_same(vuvirida.harmonic_oscillator(as_time(values) * HOUR, 1.0, 0.0, 1.0, 0.0, 0.0), want)


def decimated(time, *scalars):
    """Aborts in whichever process runs it, as an abort inside a worker would."""
    return vuvirida.harmonic_oscillator(time[::2], *scalars)


@pytest.fixture
def tblib_pickling():
    """tblib's exception pickling switched on, as `import dask.array` does, and off again after."""
    support = pytest.importorskip("tblib.pickling_support")
    with mock.patch.dict(copyreg.dispatch_table):
        support.install()
        yield support.install


# Each wrapper of the recipes, called as its recipe calls it.
WRAPPERS = {"checked": ("Catching the abort exception", lambda names, f, *a: names["checked"](f)(*a)),
            "work": ("Process pools", lambda names, f, *a: names["work"]((f, *a))),
            "_chunk": ("Dask", lambda names, f, t, *a: names["_chunk"](t, f, *a))}
# What a wrapper leaves: the abort as RuntimeError, any other exception as it
# is, with the message the pages quote (the second is what curve_fit meets
# when num_harmonics is not held fixed), a result as the direct call's.
LEAVES = [(decimated, (1.0, 0.0, 1.0, 0.0, 0.0), RuntimeError, r"vuvirida(\.decimated)?: .*NotContiguousError"),
          (vuvirida.fourier_square_wave, (1.0, 0.0, 1.0, 0.0, 0.0, numpy.float64(7)), TypeError,
           "argument 'num_harmonics': 'numpy.float64' object cannot be interpreted as an integer"),
          (vuvirida.fourier_square_wave, (1.0, 0.0, 1.0, 0.0, 0.0, -1), OverflowError,
           "can't convert negative int to unsigned"),
          (vuvirida.transient_impulse, (1.0, 3.0, 0.5, 0.0), numpy.ndarray, None)]


@pytest.mark.parametrize("function, scalars, kind, message", LEAVES, ids=[row[2].__name__ for row in LEAVES])
@pytest.mark.parametrize("wrapper", sorted(WRAPPERS))
def test_what_each_wrapper_leaves_pickles_with_tblib_switched_on(recipe, tblib_pickling, wrapper, function,
                                                                 scalars, kind, message):
    title, call = WRAPPERS[wrapper]
    t = numpy.linspace(0.0, 10.0, 11)
    left = outcome(lambda: call(recipe(title), function, t, *scalars))
    assert type(left) is kind
    if kind is numpy.ndarray:
        return reference.assert_same(left, function(t, *scalars))
    assert re.fullmatch(message, str(left)), str(left)
    assert (left.__context__, left.__cause__) == (None, None)  # an abort as context would not pickle
    copy = pickle.loads(pickle.dumps(left))
    assert (type(copy), copy.args) == (kind, left.args)


# Both pools with tblib's pickling on in the caller and in every worker,
# whatever the start method: an abort kept as context breaks them then (the
# recipe's own script runs them with plain pickling). The maps time out, as a
# pool whose worker died waits for ever.
@pytest.mark.parametrize("pool, parallel", [
    (multiprocessing.Pool, lambda pool, *todo: pool.map_async(*todo).get(timeout=120)),
    (concurrent.futures.ProcessPoolExecutor, lambda pool, *todo: list(pool.map(*todo, timeout=120)))],
    ids=["Pool", "ProcessPoolExecutor"])
def test_pools_hand_an_abort_in_a_worker_back_as_runtime_error(recipe, tblib_pickling, pool, parallel):
    work, tasks = recipe("Process pools")["work"], recipe("Process pools")["tasks"]
    t = numpy.linspace(0.0, 100.0, 1000)
    with pool(2, initializer=tblib_pickling) as workers:
        with pytest.raises(RuntimeError, match=r"^vuvirida.decimated: .*NotContiguousError$"):
            parallel(workers, work, tasks(decimated, t, 1.0, 0.0, 1.0, 0.0, 0.0, pieces=4))
        parts = parallel(workers, work, tasks(vuvirida.fourier_square_wave, t, 1.0, 0.0, 1.0, 0.0, 0.0, 3))
    reference.assert_same(numpy.concatenate(parts), vuvirida.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 3))


def test_a_thread_pool_passes_the_abort_on_unchanged():
    with concurrent.futures.ThreadPoolExecutor(2) as executor:
        future = executor.submit(vuvirida.harmonic_oscillator, numpy.zeros(10)[::2], 1.0, 0.0, 1.0, 0.0, 0.0)
        assert type(outcome(lambda: future.result(timeout=120))).__name__ == "PanicException"


def test_dask_recipe_equals_the_direct_call_bit_for_bit_on_float32_chunks(recipe):
    da = pytest.importorskip("dask.array")
    lazy = recipe("Dask")["lazy"]
    # Negative times, an uneven last chunk; float32 as read from a file.
    t = numpy.linspace(-40.0, 400.0, 9_001).astype(numpy.float32)
    time = da.from_array(t, chunks=997)
    # One worker process, started as Dask starts them (spawned: it imports everything afresh).
    results = da.compute(*(lazy(getattr(vuvirida, name), time, *scalars)
                           for name, scalars in reference.TYPICAL.items()), scheduler="processes", num_workers=1)
    for (name, scalars), got in zip(reference.TYPICAL.items(), results):
        reference.assert_same(got, getattr(vuvirida, name)(t.astype(numpy.float64), *scalars), name)


def test_numpy_expressions_give_vuviridas_bits_with_the_c_library_functions(recipe, monkeypatch):
    names = recipe("Same bits as a NumPy expression?")
    # NumPy's exp, sin, cos and fmod as the C library's: the recipe's
    # expressions as they compute on a machine where NumPy calls it.
    for name in ("exp", "sin", "cos", "fmod"):
        monkeypatch.setattr(numpy, name, getattr(reference, name))
    t = numpy.concatenate([numpy.linspace(-50.0, 500.0, 2_001), [0.0, -0.0, 1e-300]])
    for name, scalars in reference.TYPICAL.items():
        reference.assert_same(names[name](t, *scalars), getattr(vuvirida, name)(t, *scalars), name)
