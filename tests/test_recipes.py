"""The recipes page: every block runs, and each recipe does what its text says."""

import concurrent.futures
import copyreg
import inspect
import io
import multiprocessing
import pickle
import types

import numpy
import pytest

import reference
import vuvirida
from docblocks import ROOT, run, sections

PAGE = ROOT / "docs" / "recipes.md"
RECIPES = {title: blocks for title, blocks in sections(PAGE).items() if blocks}
HOUR = 2 * numpy.pi / 24
_ran: dict[str, dict] = {}


@pytest.fixture(scope="module")
def recipe(tmp_path_factory):
    """The namespace a recipe leaves behind, run once per test module."""
    def get(title):
        if title not in _ran:
            _ran[title] = run(RECIPES[title], tmp_path_factory.mktemp("recipe"), f"recipes.md: {title}")
        return _ran[title]
    return get


def is_abort(error):
    return type(error).__name__ == "PanicException"


def raised_by(call):
    try:
        call()
    except BaseException as error:  # noqa: B036 - the abort derives from BaseException
        return error
    return None


@pytest.mark.parametrize("title", sorted(RECIPES))
def test_every_recipe_runs_and_prints_what_it_shows(recipe, title):
    recipe(title)


# Each function with the values the data are made from, a start near them
# for the free ones (a pulse's onset within a pulse width), and the ones
# held fixed: an int.
FITS = [(vuvirida.harmonic_oscillator, (1.0, -0.05, 1.0, -15 * HOUR, 2.0), (0.8, 0.0, 1.1, -3.0, 1.5), ()),
        (vuvirida.pseudo_square_wave, (1.0, -0.05, 1.0, -15 * HOUR, 2.0), (0.8, 0.0, 1.1, -3.0, 1.5), ()),
        (vuvirida.fourier_square_wave, (0.5, 0.02, 1.0, -6 * HOUR, 0.0, 7), (0.4, 0.0, 1.05, -1.0, 0.1),
         ("num_harmonics",)),
        (vuvirida.pseudo_cycloid_wave, (0.5, -0.03, 1.0, 2 * HOUR, 1.0), (0.6, 0.0, 0.95, 0.3, 0.8), ()),
        (vuvirida.transient_impulse, (2.0, 7.0, 1.5 * HOUR, 0.5), (1.5, 8.0, 0.3, 0.3), ())]


@pytest.mark.parametrize("title, fitter", [("Fitting with SciPy", "fit"), ("Fitting with lmfit", "fit_lmfit")])
@pytest.mark.parametrize("function, args, start, held", FITS, ids=[f[0].__name__ for f in FITS])
def test_fits_recover_the_parameters_within_three_standard_errors(recipe, title, fitter, function,
                                                                  args, start, held):
    names = list(inspect.signature(function).parameters)[1:]
    fixed = {name: value for name, value in zip(names, args) if name in held}
    truth = [value for name, value in zip(names, args) if name not in held]
    rng = numpy.random.default_rng(12)
    t = numpy.linspace(0.0, 72.0, 300) * HOUR
    data = function(t, *args) + rng.normal(0.0, 0.05, t.size)
    values, errors = recipe(title)[fitter](function, t, data, start, **fixed)
    assert numpy.all(numpy.isfinite(errors) & (errors > 0)), errors
    assert numpy.all(numpy.abs(values - truth) <= 3 * errors), (values - truth) / errors


def test_curve_fit_needs_num_harmonics_held_fixed_as_the_page_says():
    curve_fit = pytest.importorskip("scipy.optimize").curve_fit
    t = numpy.linspace(0.0, 72.0, 50) * HOUR
    data = vuvirida.fourier_square_wave(t, 0.5, 0.0, 1.0, 0.0, 0.0, 7)
    message = "^argument 'num_harmonics': 'numpy.float64' object cannot be interpreted as an integer$"
    with pytest.raises(TypeError, match=message):
        curve_fit(vuvirida.fourier_square_wave, t, data, p0=(0.5, 0.0, 1.0, 0.0, 0.0, 7))


def _loadtxt_column():
    return numpy.loadtxt(io.StringIO("0 1\n6 2\n12 3\n18 4\n"))[:, 0]


def _genfromtxt_field():
    return numpy.genfromtxt(io.StringIO("hour v\n0 1\n6 2\n12 3\n18 4\n"), names=True)["hour"]


def _pandas_column():
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame(numpy.array([[0.0, 1], [6, 2], [12, 3], [18, 4]]), columns=["hour", "v"])
    return frame["hour"].to_numpy()


# What readers hand over, and what a direct call makes of it.
SOURCES = [(_loadtxt_column, "abort"), (_genfromtxt_field, "abort"), (_pandas_column, "either"),
           (lambda: numpy.arange(0.0, 24.0, 3.0)[::-2], "abort"),
           (lambda: numpy.arange(0.0, 24.0, 6.0, dtype=numpy.float32), TypeError),
           (lambda: numpy.arange(0, 24, 6), TypeError),
           (lambda: numpy.arange(0.0, 24.0, 6.0).astype(">f8"), TypeError),
           (lambda: [0.0, 6.0, 12.0], TypeError)]


@pytest.mark.parametrize("make, direct", SOURCES)
def test_as_time_gives_what_vuvirida_reads_from_any_source(recipe, make, direct):
    as_time = recipe("Times from files")["as_time"]
    values = make()
    error = raised_by(lambda: vuvirida.harmonic_oscillator(values, 1.0, 0.0, 1.0, 0.0, 0.0))
    if direct == "abort":
        assert is_abort(error)
    elif direct != "either":
        assert type(error) is direct
    time = as_time(values) * HOUR
    want = reference.harmonic_oscillator(numpy.array(values, dtype=numpy.float64) * HOUR, 1.0, 0.0, 1.0, 0.0, 0.0)
    reference.assert_same(vuvirida.harmonic_oscillator(time, 1.0, 0.0, 1.0, 0.0, 0.0), want)


def test_checked_turns_only_the_abort_into_runtime_error_and_keeps_the_signature(recipe):
    names = recipe("Catching the abort exception")
    safe = names["safe"]
    t = numpy.linspace(0.0, 10.0, 11)
    with pytest.raises(RuntimeError, match=r"^vuvirida.pseudo_square_wave: .*NotContiguousError$"):
        safe.pseudo_square_wave(t[::2], 1.0, 0.0, 1.0, 0.0, 0.0)
    with pytest.raises(TypeError, match="^argument 'time': 'list' object"):
        safe.pseudo_square_wave([0.0], 1.0, 0.0, 1.0, 0.0, 0.0)
    with pytest.raises(OverflowError):
        safe.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, -1)
    reference.assert_same(safe.transient_impulse(t, 1.0, 3.0, 0.5, 0.0),
                          vuvirida.transient_impulse(t, 1.0, 3.0, 0.5, 0.0))
    assert str(inspect.signature(safe.fourier_square_wave)) == vuvirida.fourier_square_wave.__text_signature__


def decimated(time, *scalars):
    """Aborts in whichever process runs it, as an abort inside a worker would."""
    return vuvirida.harmonic_oscillator(time[::2], *scalars)


def _by_pool(work, todo, initializer=None):
    with multiprocessing.Pool(2, initializer=initializer) as pool:
        return pool.map_async(work, todo).get(timeout=120)


def _by_executor(work, todo, initializer=None):
    executor = concurrent.futures.ProcessPoolExecutor(2, initializer=initializer)
    try:
        return list(executor.map(work, todo, timeout=120))
    finally:
        executor.shutdown(wait=False, cancel_futures=True)


@pytest.fixture
def tblib_pickling():
    """tblib's exception pickling switched on, as `import dask.array` does, and off again after."""
    support = pytest.importorskip("tblib.pickling_support")
    saved = dict(copyreg.dispatch_table)
    support.install()
    yield support.install
    copyreg.dispatch_table.clear()
    copyreg.dispatch_table.update(saved)


# Each pool with tblib's pickling switched off, and on in the caller and in
# every worker, whatever the start method.
@pytest.mark.parametrize("tblib", [False, True], ids=["plain", "tblib"])
@pytest.mark.parametrize("pool", [_by_pool, _by_executor])
def test_pools_hand_an_abort_in_a_worker_back_as_runtime_error(recipe, request, pool, tblib):
    names = recipe("Process pools")
    initializer = request.getfixturevalue("tblib_pickling") if tblib else None
    t = numpy.linspace(0.0, 100.0, 1000)
    todo = names["tasks"](decimated, t, 1.0, 0.0, 1.0, 0.0, 0.0, pieces=4)
    with pytest.raises(RuntimeError, match=r"^vuvirida.decimated: .*NotContiguousError$"):
        pool(names["work"], todo, initializer)
    tasks = names["tasks"](vuvirida.fourier_square_wave, t, 1.0, 0.0, 1.0, 0.0, 0.0, 3)
    parts = pool(names["work"], tasks, initializer)
    reference.assert_same(numpy.concatenate(parts), vuvirida.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 3))


# Each wrapper of the recipes, called as its recipe calls it.
WRAPPERS = {"checked": ("Catching the abort exception", lambda names, f, *a: names["checked"](f)(*a)),
            "work": ("Process pools", lambda names, f, *a: names["work"]((f, *a))),
            "_chunk": ("Dask", lambda names, f, t, *a: names["_chunk"](t, f, *a))}
# What a wrapper can leave: the abort as RuntimeError, anything else as it is.
LEAVES = [(decimated, (1.0, 0.0, 1.0, 0.0, 0.0), RuntimeError),
          (vuvirida.fourier_square_wave, (1.0, 0.0, 1.0, 0.0, 0.0, 2.5), TypeError),
          (vuvirida.fourier_square_wave, (1.0, 0.0, 1.0, 0.0, 0.0, -1), OverflowError)]


@pytest.mark.parametrize("function, scalars, kind", LEAVES, ids=[kind.__name__ for *_, kind in LEAVES])
@pytest.mark.parametrize("wrapper", sorted(WRAPPERS))
def test_what_each_wrapper_leaves_pickles_with_tblib_switched_on(recipe, tblib_pickling, wrapper, function,
                                                                 scalars, kind):
    title, call = WRAPPERS[wrapper]
    names = recipe(title)
    error = raised_by(lambda: call(names, function, numpy.linspace(0.0, 10.0, 11), *scalars))
    assert type(error) is kind
    if kind is RuntimeError:
        assert (error.__context__, error.__cause__) == (None, None)
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), copy.args) == (kind, error.args)


def test_a_thread_pool_passes_the_abort_on_unchanged():
    t = numpy.linspace(0.0, 10.0, 11)
    with concurrent.futures.ThreadPoolExecutor(2) as executor:
        future = executor.submit(vuvirida.harmonic_oscillator, t[::2], 1.0, 0.0, 1.0, 0.0, 0.0)
        assert is_abort(raised_by(lambda: future.result(timeout=120)))


@pytest.mark.parametrize("dtype", [numpy.float64, numpy.float32])
def test_dask_recipe_equals_the_direct_call_bit_for_bit(recipe, dtype):
    da = pytest.importorskip("dask.array")
    lazy = recipe("Dask")["lazy"]
    # Negative times, an uneven last chunk; float32 as read from a file.
    t = numpy.linspace(-40.0, 400.0, 9_001).astype(dtype).astype(numpy.float64)
    time = da.from_array(t.astype(dtype), chunks=997)
    calls = [(getattr(vuvirida, name), scalars) for name, scalars in reference.TYPICAL.items()]
    results = da.compute(*(lazy(function, time, *scalars) for function, scalars in calls), scheduler="processes")
    for (function, scalars), got in zip(calls, results):
        reference.assert_same(got, function(t, *scalars), function.__name__)


def test_numpy_expressions_give_vuviridas_bits_with_the_c_library_functions(recipe):
    names = recipe("Same bits as a NumPy expression?")
    # The recipe's expressions, with NumPy's exp, sin, cos and fmod replaced
    # by the C library's: what they compute on a machine where NumPy calls it.
    libm = types.SimpleNamespace(**{n: getattr(numpy, n) for n in ("zeros_like", "where", "errstate")},
                                 exp=reference.exp, sin=reference.sin, cos=reference.cos, fmod=reference.fmod)
    names["numpy"] = libm
    try:
        t = numpy.concatenate([numpy.linspace(-50.0, 500.0, 2_001), [0.0, -0.0, 1e-300]])
        for name, scalars in reference.TYPICAL.items():
            reference.assert_same(names[name](t, *scalars), getattr(vuvirida, name)(t, *scalars), name)
    finally:
        names["numpy"] = numpy
