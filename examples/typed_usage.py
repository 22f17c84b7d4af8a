"""A typed caller of vuvirida: `mypy --strict examples/typed_usage.py` accepts it.

It builds one day of samples on the 24-hour scale (an hour is 2*pi/24 time
units), mixes a daily cycle with a morning pulse, and prints the hourly means.
"""

import numpy
from numpy.typing import NDArray

import vuvirida

HOUR = 2 * numpy.pi / 24


def hours(start: float, stop: float, per_hour: int) -> NDArray[numpy.float64]:
    """Sample times from `start` to `stop` hours, `per_hour` samples an hour."""
    count = int((stop - start) * per_hour)
    return numpy.arange(count, dtype=numpy.float64) / per_hour * HOUR + start * HOUR


def activity(time: NDArray[numpy.float64], wake_hour: float) -> NDArray[numpy.float64]:
    """A daily cycle peaking at 15:00 plus a pulse at `wake_hour`, in arbitrary units."""
    cycle = vuvirida.harmonic_oscillator(time, 0.5, 0.0, 1.0, -15 * HOUR, 1.0)
    pulse = vuvirida.transient_impulse(time, 2.0, wake_hour, 1.5 * HOUR, 0.0)
    return cycle + pulse


def hourly_means(values: NDArray[numpy.float64], per_hour: int) -> list[float]:
    means: NDArray[numpy.float64] = values.reshape(-1, per_hour).mean(axis=1)
    return [round(float(m), 3) for m in means]


if __name__ == "__main__":
    per_hour = 12
    day = hours(0.0, 24.0, per_hour)
    print(hourly_means(activity(day, 7.0), per_hour))
