# Aborts: the report on standard error, panics raised back from Python, and
# failures that must reach the caller instead of ending the interpreter.
import os
import re
import subprocess
import sys
import textwrap

import pytest

from conditions import import_survives_failed_allocations, limits_address_space

REPORT = re.compile(r"thread '<unnamed>' panicked at src/[\w/]+\.cpp:\d+:\d+:")
NOTE = "note: run with `VUVIRIDA_BACKTRACE=1` environment variable to display a backtrace"
STRIDED = "called `Result::unwrap()` on an `Err` value: NotContiguousError"
ATTEMPT = """
import sys
def attempt(call):
    try:
        call()
    except BaseException as error:
        print(type(error).__name__, *error.args, sep="|")
    else:
        print("ok")
"""
PRELUDE = ATTEMPT + """
import numpy as np, vuvirida
t = np.linspace(0.0, 1.0, 10)
"""


def run(body, prelude=PRELUDE, **env):
    environment = {k: v for k, v in os.environ.items() if k != "VUVIRIDA_BACKTRACE"}
    environment.update(env)
    done = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(body)],
                          capture_output=True, text=True, env=environment, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines(), done.stderr.splitlines()


def test_first_abort_writes_the_note_and_later_ones_do_not():
    out, err = run("""
        attempt(lambda: vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5))
        attempt(lambda: vuvirida.transient_impulse(t[::3], 1, 2, 3, 4))
        attempt(lambda: vuvirida.transient_impulse(t, 1, 2, 3, 4))
    """)
    assert out == [f"PanicException|{STRIDED}"] * 2 + ["ok"]
    assert len(err) == 5 and err[1] == err[4] == STRIDED and err[2] == NOTE
    assert REPORT.fullmatch(err[0]) and REPORT.fullmatch(err[3])


@pytest.mark.parametrize("setting", ["1", "full"])
def test_requested_backtrace_comes_with_every_abort(setting):
    _, err = run("""
        attempt(lambda: vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5))
        attempt(lambda: vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5))
    """, VUVIRIDA_BACKTRACE=setting)
    assert err.count("stack backtrace:") == 2 and NOTE not in err
    assert sum(bool(REPORT.fullmatch(line)) for line in err) == 2


@pytest.mark.parametrize("method, position", [("__float__", 2), ("__index__", 6)])
def test_panic_raised_by_python_code_is_reported_and_raised_anew(method, position):
    out, err = run(f"""
        try:
            vuvirida.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5)
        except BaseException as error:
            Panic = type(error)
        class Hostile:
            def {method}(self):
                raise Panic("raised by Python")
        args = [t, 1.0, 2.0, 3.0, 4.0, 5.0, 3]
        args[{position}] = Hostile()
        attempt(lambda: vuvirida.fourier_square_wave(*args))
        attempt(lambda: vuvirida.fourier_square_wave(t, 1.0, 2.0, 3.0, 4.0, 5.0, 3))
    """)
    assert out == ["PanicException|Unwrapped panic from Python code", "ok"]
    start = err.index("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---")
    assert err[start + 1:start + 3] == ["Python stack trace below:", "Traceback (most recent call last):"]
    assert err[-1] == "pyo3_runtime.PanicException: raised by Python"
    assert not any(REPORT.fullmatch(line) for line in err[start:])


@limits_address_space
def test_result_that_cannot_be_allocated_raises_memory_error_and_the_next_call_works():
    out, err = run("""
        import os, resource
        big = np.zeros(30_000_000)
        with open("/proc/self/statm") as fh:
            used = int(fh.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (used + 100_000_000, resource.RLIM_INFINITY))
        attempt(lambda: vuvirida.harmonic_oscillator(big, 1.0, 2.0, 3.0, 4.0, 5.0))
        attempt(lambda: vuvirida.harmonic_oscillator(big[:5], 1.0, 2.0, 3.0, 4.0, 5.0))
    """)
    assert out[0].startswith("MemoryError|") and out[1] == "ok"
    assert not any(REPORT.fullmatch(line) for line in err)


def test_abort_whose_exception_cannot_be_made_raises_the_interpreters_error():
    pytest.importorskip("_testcapi")
    out, err = run("""
        import _testcapi
        vuvirida.harmonic_oscillator(t, 1.0, 2.0, 3.0, 4.0, 5.0)
        strided = t[::2]
        _testcapi.set_nomemory(0)
        try:
            vuvirida.harmonic_oscillator(strided, 1.0, 2.0, 3.0, 4.0, 5.0)
        except BaseException as error:
            _testcapi.remove_mem_hooks()
            print(type(error).__name__)
        attempt(lambda: vuvirida.harmonic_oscillator(strided, 1.0, 2.0, 3.0, 4.0, 5.0))
    """)
    assert out == ["MemoryError", f"PanicException|{STRIDED}"]
    assert [line for line in err if not REPORT.fullmatch(line)][:3] == [
        STRIDED, NOTE, "Failed to initialize new exception type."]


@import_survives_failed_allocations
def test_failed_allocations_during_import_raise_and_never_crash():
    # Each child fails exactly one allocation, a little later each time, while
    # the module initialises; every failure must reach the importer.
    pytest.importorskip("_testcapi")
    out, _ = run("""
        import os, _testcapi
        for n in range(0, 3000, 3):  # past 600, until the import no longer meets the failure
            pid = os.fork()
            if pid == 0:
                _testcapi.set_nomemory(n, n + 1)
                try:
                    import vuvirida as fresh
                    outcome = "ok"
                except BaseException as error:
                    outcome = type(error).__name__
                    codes = [frame.f_code.co_name for frame, _ in traceback.walk_tb(error.__traceback__)]
                    outcome += " in find_spec" * ("find_spec" in codes)
                _testcapi.remove_mem_hooks()
                os.write(1, (outcome + "\\n").encode())
                os._exit(3 if outcome == "ok" else 0)
            status = os.waitpid(pid, 0)[1]
            assert os.WIFEXITED(status) and os.WEXITSTATUS(status) in (0, 3), n
            if os.WEXITSTATUS(status) == 3 and n >= 600:
                break
    """, prelude="import traceback\n")
    # RuntimeError is the import system's own "can't allocate lock". An
    # editable install's finder runs Python code before the module is found,
    # where the interpreter may raise its own SystemError.
    interpreters = {"MemoryError", "RuntimeError"}
    assert set(out) <= {"ok", "PanicException", *interpreters,
                        *(f"{kind} in find_spec" for kind in interpreters | {"SystemError"})}
    assert out[-1] == "ok"
    assert "MemoryError" in out


@pytest.mark.parametrize("slot, call", [
    (45, "harmonic_oscillator(t, 1, 2, 3, 4, 5)"),
    (94, "fourier_square_wave(t, 1, 2, 3, 4, 5, 2)"),
])
def test_numpy_call_that_returns_nothing_aborts_and_releases_the_borrow(slot, call):
    # NumPy's table is swapped for a copy whose entry `slot` returns null.
    out, err = run(f"""
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_runtime import API, BorrowTable, CAPSULE, MULTIARRAY, ctypes, span
        real = (ctypes.c_void_p * 200).from_address(API.PyCapsule_GetPointer(MULTIARRAY._ARRAY_API, None))
        table = (ctypes.c_void_p * 200)(*real)
        nothing = ctypes.CFUNCTYPE(ctypes.c_void_p)(lambda *args: None)
        table[{slot}] = ctypes.cast(nothing, ctypes.c_void_p).value
        MULTIARRAY._ARRAY_API = API.PyCapsule_New(ctypes.addressof(table), None, None)
        attempt(lambda: vuvirida.{call})
        if hasattr(MULTIARRAY, "_vuvirida_borrow_registry"):
            registry = BorrowTable.from_address(
                API.PyCapsule_GetPointer(MULTIARRAY._vuvirida_borrow_registry, CAPSULE))
            print("writeable borrow", registry.acquire_writeable(registry.state, *span(t)))
    """)
    assert out[0] == "PanicException|Python API call failed"
    assert out[1:] == ([] if slot == 45 else ["writeable borrow 0"])
    assert err[1] == "Python API call failed" and REPORT.fullmatch(err[0])


@pytest.mark.parametrize("files, message", [
    ({"numpy/__init__.py": "raise RuntimeError('broken on purpose')"},
     "Failed to import NumPy module"),
    ({"numpy/__init__.py": "", "numpy/core/__init__.py": "", "numpy/core/multiarray.py": ""},
     "Failed to get NumPy API capsule"),
    ({"numpy/__init__.py": "", "numpy/core/__init__.py": "",
      "numpy/core/multiarray.py": "_ARRAY_API = 'not a capsule'"},
     "Failed to get NumPy API capsule"),
])
def test_unusable_numpy_aborts_every_call_that_needs_it(tmp_path, files, message):
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    out, _ = run(f"""
        sys.path.insert(0, {str(tmp_path)!r})
        import vuvirida
        for _ in range(2):
            attempt(lambda: vuvirida.transient_impulse([1.0], 1, 2, 3, 4))
        attempt(lambda: vuvirida.transient_impulse([1.0], 1, 2, 3))
    """, prelude=ATTEMPT)
    assert out == [f"PanicException|{message}"] * 2 + [
        "TypeError|transient_impulse() missing 1 required positional argument: 'equilibrium'"]
