"""Sampled periodic waveforms for NumPy, computed the same way on every call.

Each function takes a one-dimensional, C-contiguous ``float64`` array of
sample times and a few scalars, and returns a new ``float64`` array with one
value per sample. Every value depends only on its own sample and the
scalars; each operation is rounded to float64 on its own, in the order the
formula is written, with ``exp``, ``cos``, ``sin`` and ``fmod`` taken from the
platform's C math library.

The examples use a 24-hour scale on which one turn of ``2*pi`` time units is
one day, so that ``omega = 1.0`` is one cycle a day and an hour is
``2*pi/24`` time units.
"""

import numpy
from numpy.typing import NDArray

__all__ = [
    "harmonic_oscillator",
    "pseudo_square_wave",
    "fourier_square_wave",
    "pseudo_cycloid_wave",
    "transient_impulse",
]

def harmonic_oscillator(
    time: NDArray[numpy.float64],
    amplitude: float,
    gamma: float,
    omega: float,
    phi: float,
    y: float,
) -> NDArray[numpy.float64]:
    """Cosine oscillation under an exponential envelope.

    For each sample ``t`` of `time`::

        (exp(t * gamma) * amplitude) * cos((t + phi) * omega) + y

    Parameters
    ----------
    time : ndarray of float64, shape (n,)
        Sample times in time units; one-dimensional and C-contiguous.
    amplitude : float
        Height of the envelope at ``t = 0``, in output units.
    gamma : float
        Envelope rate per time unit: negative decays, positive grows,
        zero keeps the amplitude constant.
    omega : float
        Angular frequency, in radians per time unit.
    phi : float
        Time shift, in time units, added to ``t`` before ``omega``
        multiplies it.
    y : float
        Offset added to every value, in output units.

    Returns
    -------
    ndarray of float64, shape (n,)
        A new array holding one value per sample.

    Raises
    ------
    TypeError
        Wrong number or names of arguments, a scalar that is not a real
        number, or `time` not a one-dimensional float64 ndarray.
    PanicException
        `time` is not contiguous, or another extension holds a writeable
        borrow of its memory. It derives from ``BaseException``, not from
        ``Exception``; see the README's section on errors.
    MemoryError
        The result cannot be allocated.

    See Also
    --------
    numpy.cos : The same cosine, element by element.
    numpy.exp : The same envelope, element by element.
    pseudo_square_wave : A squarer shape with the same parameters.

    Notes
    -----

    `phi` is a time shift, not a phase angle: the phase at ``t = 0`` is
    ``phi * omega`` radians, so a phase angle ``p`` in radians is passed
    as ``phi = p / omega``.

    The envelope ``exp(t * gamma)`` overflows to infinity once
    ``t * gamma`` passes about 709.78, and becomes 0 below about -745.1;
    past the overflow the value is infinite, or NaN where the shape is
    exactly 0 (``inf * 0``). Keep ``|t * gamma|`` well below 700 over the
    samples when the values must stay finite.

    The phase ``(t + phi) * omega`` is rounded to float64, so it carries
    an error of up to about ``1.1e-16 * |(t + phi) * omega|`` radians:
    1e-10 rad at a phase of 1e6 rad. The value equals the NumPy
    expression written in the same order wherever NumPy's ``exp`` and
    ``cos`` return the C library's bits [1]_ [2]_. Fitted to a daily
    rhythm this is the cosinor model [3]_ with an envelope.

    References
    ----------
    .. [1] ISO/IEC 9899:2018, Programming languages -- C, clause 7.12
       (Mathematics ``<math.h>``): ``exp``, ``cos``, ``sin``, ``fmod``.
    .. [2] IEEE Std 754-2019, IEEE Standard for Floating-Point Arithmetic.
    .. [3] G. Cornelissen, "Cosinor-based rhythmometry", Theoretical
       Biology and Medical Modelling 11, 16 (2014).

    Examples
    --------
    A decaying daily cycle, sampled every four hours:

    >>> import numpy, vuvirida
    >>> t = numpy.arange(0.0, 24.0, 4.0) * (2 * numpy.pi / 24)
    >>> vuvirida.harmonic_oscillator(t, 1.0, -0.1, 1.0, 0.0, 0.0).round(4).tolist()
    [1.0, 0.4503, -0.4055, -0.7304, -0.3289, 0.2962]
    """

def pseudo_square_wave(
    time: NDArray[numpy.float64],
    amplitude: float,
    gamma: float,
    omega: float,
    phi: float,
    y: float,
) -> NDArray[numpy.float64]:
    """Rounded square wave from a fundamental and a half-height third harmonic.

    For each sample ``t`` of `time`, with ``theta = (t + phi) * omega``::

        (exp(gamma * t) * amplitude) * (sin(theta) + sin(3 * theta) * 0.5) + y

    The bracketed shape has two shoulders each half cycle: it reaches about
    +1.0758 where ``theta`` is about 0.70167 and again at ``pi - 0.70167``,
    dips to 0.5 between them at ``theta = pi/2``, and mirrors this, negative,
    over the second half of the cycle.

    Parameters
    ----------
    time : ndarray of float64, shape (n,)
        Sample times in time units; one-dimensional and C-contiguous.
    amplitude : float
        Scale of the shape at ``t = 0``, in output units.
    gamma : float
        Envelope rate per time unit: negative decays, positive grows.
    omega : float
        Angular frequency of the fundamental, in radians per time unit.
    phi : float
        Time shift, in time units, added to ``t`` before ``omega``
        multiplies it.
    y : float
        Offset added to every value, in output units.

    Returns
    -------
    ndarray of float64, shape (n,)
        A new array holding one value per sample.

    Raises
    ------
    TypeError
        Wrong number or names of arguments, a scalar that is not a real
        number, or `time` not a one-dimensional float64 ndarray.
    PanicException
        `time` is not contiguous, or another extension holds a writeable
        borrow of its memory. It derives from ``BaseException``, not from
        ``Exception``; see the README's section on errors.
    MemoryError
        The result cannot be allocated.

    See Also
    --------
    scipy.signal.square : An ideal square wave of period ``2*pi``.
    fourier_square_wave : The truncated Fourier series of a square wave.

    Notes
    -----
    This is not the truncated Fourier series of a square wave, which
    weighs the third harmonic by 1/3 rather than 1/2: that series is
    ``fourier_square_wave`` with ``num_harmonics=2``.

    As in `harmonic_oscillator`, `phi` is a time shift (a phase angle
    ``p`` in radians is ``phi = p / omega``), and the envelope overflows
    to infinity once ``t * gamma`` passes about 709.78 (NaN where the
    shape is exactly 0).

    Every operation is rounded to float64 on its own [2]_;
    ``exp`` and ``sin`` are the C library's [1]_.

    References
    ----------
    .. [1] ISO/IEC 9899:2018, Programming languages -- C, clause 7.12
       (Mathematics ``<math.h>``): ``exp``, ``cos``, ``sin``, ``fmod``.
    .. [2] IEEE Std 754-2019, IEEE Standard for Floating-Point Arithmetic.

    Examples
    --------
    >>> import numpy, vuvirida
    >>> t = numpy.arange(0.0, 24.0, 4.0) * (2 * numpy.pi / 24)
    >>> vuvirida.pseudo_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0).round(4).tolist()
    [0.0, 0.866, 0.866, 0.0, -0.866, -0.866]
    """

def fourier_square_wave(
    time: NDArray[numpy.float64],
    amplitude: float,
    gamma: float,
    omega: float,
    phi: float,
    y: float,
    num_harmonics: int,
) -> NDArray[numpy.float64]:
    """Square wave from a truncated Fourier series, lifted to run from 0 to 2.

    For each sample ``t`` of `time`::

        (exp(gamma * t) * amplitude) * (S + 1.0) + y

    where ``S`` is the sum over the odd ``k = 1, 3, ..., 2*N - 1`` of::

        (sin((t + phi) * (k * omega)) * W) / k

    with ``N = num_harmonics`` and ``W = 4/pi = 1.2732395447351628``,
    added up in increasing ``k`` starting from 0.0. ``S`` tends to +1 on
    the first half of each cycle and -1 on the second, so ``S + 1.0`` runs
    from about 0 to about 2, with the usual overshoot near each jump.
    With ``N = 0`` the sum is empty and the value is the bare envelope
    plus `y`.

    Parameters
    ----------
    time : ndarray of float64, shape (n,)
        Sample times in time units; one-dimensional and C-contiguous.
    amplitude : float
        Scale of the lifted wave at ``t = 0``, in output units.
    gamma : float
        Envelope rate per time unit: negative decays, positive grows.
    omega : float
        Angular frequency of the fundamental, in radians per time unit.
    phi : float
        Time shift, in time units, added to ``t`` before each harmonic's
        frequency multiplies it.
    y : float
        Offset added to every value, in output units.
    num_harmonics : int
        Number ``N`` of odd harmonics summed, from 0 to ``2**64 - 1``.
        The work per sample grows linearly with it.

    Returns
    -------
    ndarray of float64, shape (n,)
        A new array holding one value per sample.

    Raises
    ------
    TypeError
        Wrong number or names of arguments, a scalar that is not a real
        number, `num_harmonics` not an integer, or `time` not a
        one-dimensional float64 ndarray.
    OverflowError
        `num_harmonics` is negative or at least ``2**64``.
    PanicException
        `time` is not contiguous, or another extension holds a writeable
        borrow of its memory. It derives from ``BaseException``, not from
        ``Exception``; see the README's section on errors.
    MemoryError
        The result cannot be allocated.

    See Also
    --------
    scipy.signal.square : The ideal square wave of period ``2*pi``, -1 to
        1; ``amplitude * (square((t + phi) * omega) + 1) + y`` is the limit
        of this function for ``gamma = 0`` as `num_harmonics` grows.
    pseudo_square_wave : A cheaper rounded square wave.

    Notes
    -----
    The cost per sample grows linearly with `num_harmonics`: one ``sin``
    per harmonic, so a million harmonics take a million ``sin`` calls per
    sample. Like every truncated Fourier series of a square wave [2]_,
    the sum overshoots near each jump by about 9 % of the jump however
    many harmonics are summed (the Gibbs phenomenon [1]_): ``S + 1.0``
    peaks near 2.179 and dips near -0.179.

    The argument of the ``k``-th sine is rounded to float64, so its error
    grows with ``k * |omega * (t + phi)|``; above about 1e15 radians the
    sines are noise. Every operation is rounded to float64 on its own
    [4]_; ``exp`` and ``sin`` are the C library's [3]_.

    As in `harmonic_oscillator`, `phi` is a time shift (a phase angle
    ``p`` in radians is ``phi = p / omega``), and the envelope overflows
    to infinity once ``t * gamma`` passes about 709.78 (NaN where the
    shape is exactly 0).

    `num_harmonics` must be an ``int`` (or have ``__index__``): a float
    such as ``7.0``, which fitting routines pass for every parameter,
    raises ``TypeError``. Hold it fixed with
    ``functools.partial(fourier_square_wave, num_harmonics=7)``;
    docs/recipes.md shows fitting with SciPy and lmfit.

    References
    ----------
    .. [1] J. W. Gibbs, "Fourier's series", Nature 59, 606 (1899).
    .. [2] A. V. Oppenheim, A. S. Willsky, Signals and Systems, 2nd ed.,
       Prentice Hall (1997), chapter 3.
    .. [3] ISO/IEC 9899:2018, Programming languages -- C, clause 7.12
       (Mathematics ``<math.h>``): ``exp``, ``cos``, ``sin``, ``fmod``.
    .. [4] IEEE Std 754-2019, IEEE Standard for Floating-Point Arithmetic.

    Examples
    --------
    Fifty harmonics, sampled every four hours of a one-cycle-a-day wave:

    >>> import numpy, vuvirida
    >>> t = numpy.arange(0.0, 24.0, 4.0) * (2 * numpy.pi / 24)
    >>> vuvirida.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 50).round(4).tolist()
    [1.0, 2.0037, 2.0037, 1.0, -0.0037, -0.0037]
    """

def pseudo_cycloid_wave(
    time: NDArray[numpy.float64],
    amplitude: float,
    gamma: float,
    omega: float,
    phi: float,
    y: float,
) -> NDArray[numpy.float64]:
    """Cycloid-like wave: one tall arch a cycle, a small bump between arches.

    For each sample ``t`` of `time`, with ``u = t + phi``::

        (exp(t * gamma) * amplitude) * (cos(2 * omega * u) - 2 * cos(omega * u)) + y

    The bracketed shape spans [-1.5, 3]: it is -1 at ``omega * u = 0``,
    falls to -1.5 where ``cos(omega * u) = 0.5`` and rises to 3 at
    ``omega * u = pi``.

    Parameters
    ----------
    time : ndarray of float64, shape (n,)
        Sample times in time units; one-dimensional and C-contiguous.
    amplitude : float
        Scale of the shape at ``t = 0``, in output units.
    gamma : float
        Envelope rate per time unit: negative decays, positive grows.
    omega : float
        Angular frequency, in radians per time unit.
    phi : float
        Time shift, in time units, added to ``t`` before ``omega``
        multiplies it.
    y : float
        Offset added to every value, in output units.

    Returns
    -------
    ndarray of float64, shape (n,)
        A new array holding one value per sample.

    Raises
    ------
    TypeError
        Wrong number or names of arguments, a scalar that is not a real
        number, or `time` not a one-dimensional float64 ndarray.
    PanicException
        `time` is not contiguous, or another extension holds a writeable
        borrow of its memory. It derives from ``BaseException``, not from
        ``Exception``; see the README's section on errors.
    MemoryError
        The result cannot be allocated.

    See Also
    --------
    scipy.signal.sawtooth : Another asymmetric periodic shape.
    harmonic_oscillator : The plain cosine with the same parameters.

    Notes
    -----
    The shape is not a true cycloid: it is the sum of two cosines, so it
    is smooth everywhere, with a small bump where a cycloid has its cusps.

    As in `harmonic_oscillator`, `phi` is a time shift (a phase angle
    ``p`` in radians is ``phi = p / omega``), and the envelope overflows
    to infinity once ``t * gamma`` passes about 709.78 (NaN where the
    shape is exactly 0).

    Every operation is rounded to float64 on its own [2]_;
    ``exp`` and ``cos`` are the C library's [1]_.

    References
    ----------
    .. [1] ISO/IEC 9899:2018, Programming languages -- C, clause 7.12
       (Mathematics ``<math.h>``): ``exp``, ``cos``, ``sin``, ``fmod``.
    .. [2] IEEE Std 754-2019, IEEE Standard for Floating-Point Arithmetic.

    Examples
    --------
    >>> import numpy, vuvirida
    >>> t = numpy.arange(0.0, 24.0, 4.0) * (2 * numpy.pi / 24)
    >>> vuvirida.pseudo_cycloid_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0).round(4).tolist()
    [-1.0, -1.5, 0.5, 3.0, 0.5, -1.5]
    """

def transient_impulse(
    time: NDArray[numpy.float64],
    amplitude: float,
    period: float,
    width: float,
    equilibrium: float,
) -> NDArray[numpy.float64]:
    """One-sided Gaussian pulse at a fixed time of every cycle.

    Time is cut into cycles of ``C = 6.283185297179586`` time units (the
    float64 nearest to ``2*pi - 1e-8``) counted from 0, and each cycle
    fires a pulse at ``onset = (period / 24) * 2*pi`` after its start.
    For each sample ``t`` of `time`::

        r = fmod(t, C)
        x = r - onset
        p = exp(-0.5 * (x / width)**2)  if x >= 0, else +0.0
        value = (p * amplitude) + equilibrium

    The pulse jumps to its full height at the onset and decays like the
    right half of a Gaussian. Because ``fmod`` keeps the sign of ``t``,
    negative times stay at `equilibrium` whenever ``period >= 0``.

    Parameters
    ----------
    time : ndarray of float64, shape (n,)
        Sample times in time units; one-dimensional and C-contiguous.
        One cycle is about ``2*pi`` time units, one day on the 24-hour
        scale.
    amplitude : float
        Height of the pulse above `equilibrium`, in output units.
    period : float
        Time of day of the onset on a 24-per-cycle scale (hours, for a
        cycle of one day): 0 fires at the start of each cycle, 6 a
        quarter of the way through. From 24 on, the onset lies past the
        end of the cycle and no pulse fires.
    width : float
        Standard deviation of the Gaussian, in time units (an hour is
        ``2*pi/24``, about 0.2618).
    equilibrium : float
        Baseline value between pulses, in output units.

    Returns
    -------
    ndarray of float64, shape (n,)
        A new array holding one value per sample.

    Raises
    ------
    TypeError
        Wrong number or names of arguments, a scalar that is not a real
        number, or `time` not a one-dimensional float64 ndarray.
    PanicException
        `time` is not contiguous, or another extension holds a writeable
        borrow of its memory. It derives from ``BaseException``, not from
        ``Exception``; see the README's section on errors.
    MemoryError
        The result cannot be allocated.

    See Also
    --------
    scipy.signal.gausspulse : A Gaussian-modulated sinusoid.
    numpy.fmod : The remainder that cuts time into cycles.

    Notes
    -----
    Unlike the other four functions, this one does not take time in any
    unit: the cycle is fixed at ``2*pi - 1e-8`` time units. Put times on
    that scale first, for hours ``t = hours * (2*pi / 24)``, and give
    `width` on it too. The cycle is 1e-8 shorter than ``2*pi``, so each
    onset comes 1e-8 time units a cycle earlier than whole turns of
    ``2*pi`` would place it: 3.7e-6 (0.05 seconds of a day) over a year
    of daily cycles.

    A sample exactly at the onset has the full height. A `width` of 0
    gives NaN at the onset (``0/0``) and `equilibrium` everywhere else;
    a negative `width` acts as its absolute value.

    Every operation is rounded to float64 on its own [2]_;
    ``exp`` and ``fmod`` are the C library's [1]_.

    References
    ----------
    .. [1] ISO/IEC 9899:2018, Programming languages -- C, clause 7.12
       (Mathematics ``<math.h>``): ``exp``, ``cos``, ``sin``, ``fmod``.
    .. [2] IEEE Std 754-2019, IEEE Standard for Floating-Point Arithmetic.

    Examples
    --------
    A pulse at 06:00 with a width of about two hours, sampled every two
    hours of one day:

    >>> import numpy, vuvirida
    >>> t = numpy.arange(0.0, 24.0, 2.0) * (2 * numpy.pi / 24)
    >>> vuvirida.transient_impulse(t, 1.0, 6.0, 0.5, 0.0).round(4).tolist()
    [0.0, 0.0, 0.0, 1.0, 0.5779, 0.1116, 0.0072, 0.0002, 0.0, 0.0, 0.0, 0.0]
    """
