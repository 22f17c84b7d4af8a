# Random calls with random arguments: each one returns a correct-looking array
# or raises a documented exception with a message of the documented form, and
# none changes its inputs.
import re

import numpy as np
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import vuvirida as vv
from reference import Hostile

NAMES = ["time", "amplitude", "gamma", "omega", "phi", "y", "num_harmonics", "period",
         "width", "equilibrium"]
BINDING = re.compile(
    r"\w+\(\) (takes \d+ positional arguments but \d+ were given"
    r"|got multiple values for argument '\w+'"
    r"|got an unexpected keyword argument '.*'"
    r"|missing \d+ required positional arguments?: '\w+'((, '\w+')*,? and '\w+')?)", re.S)
PREFIXED = re.compile(r"argument '(\w+)': .+", re.S)
PANICS = {"called `Result::unwrap()` on an `Err` value: NotContiguousError",
          "Unwrapped panic from Python code"}


class Sub(np.ndarray):
    pass


def variants(a):
    # The array and views of it: strided, reversed, subclassed, transposed, read-only.
    frozen = a.copy()
    frozen.flags.writeable = False
    return [a, a.view(Sub), a.T, frozen] + ([a[::2], a[::-1]] if a.ndim else [])


arrays = hnp.arrays(
    st.sampled_from(["<f8", ">f8", "<f4", "<i8", "<c16", "?"]),
    hnp.array_shapes(min_dims=0, max_dims=2, min_side=0, max_side=6),
).flatmap(lambda a: st.sampled_from(variants(a)))
values = st.one_of(
    st.none(), st.integers(), st.floats(), st.text(max_size=3), st.lists(st.floats(), max_size=3),
    arrays, st.sampled_from([Hostile(TypeError), Hostile(ValueError), Hostile("x"), Hostile(2.5),
                             Hostile(3), Hostile(OverflowError)]))
keywords = st.dictionaries(st.sampled_from(NAMES) | st.text(max_size=4) | st.just("\udc80"),
                           values, max_size=4)


@settings(max_examples=250, deadline=None)
@given(st.sampled_from(vv.__all__), st.lists(values, max_size=8), keywords)
def test_random_calls_return_arrays_or_documented_errors(name, args, kwargs):
    inputs = [a for a in [*args, *kwargs.values()] if isinstance(a, np.ndarray)]
    before = [a.copy() for a in inputs]
    try:
        result = getattr(vv, name)(*args, **kwargs)
    except TypeError as error:
        message = str(error)
        assert BINDING.fullmatch(message) or PREFIXED.fullmatch(message), message
    except (OverflowError, ValueError) as error:
        assert str(error) in {"hostile"} or "int" in str(error), error
    except BaseException as error:
        assert type(error).__name__ == "PanicException" and error.args[0] in PANICS, error
    else:
        time = args[0] if args else kwargs["time"]
        assert type(result) is np.ndarray and result.dtype == np.float64
        assert result.shape == time.shape and result.flags.c_contiguous
    for a, b in zip(inputs, before):
        assert np.array_equal(a, b, equal_nan=True) and a.dtype == b.dtype

