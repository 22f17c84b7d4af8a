"""Draw the five vuvirida waveforms over three days and save the picture.

Run from anywhere: `python examples/gallery.py [OUTPUT.png]`. Without an
argument it writes vuvirida-gallery.png in the current folder; the picture
in the source tree is remade only when named, with
`python examples/gallery.py docs/gallery.png`. It needs the `examples`
extra (matplotlib).

Time runs on the 24-hour scale used throughout the documentation: one turn of
2*pi time units is one day, so omega = 1.0 is one cycle a day and an hour is
2*pi/24 time units. The axis is labelled in hours.
"""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy  # noqa: E402

import vuvirida  # noqa: E402

HOUR = 2 * numpy.pi / 24
DAYS = 3


def main(output: Path) -> None:
    clock = numpy.arange(0.0, 24.0 * DAYS, 0.02)  # hours
    t = clock * HOUR
    panels = [
        (
            "harmonic_oscillator(t, 1.0, gamma, 1.0, 0.0, 0.0)",
            [(f"gamma = {g}", vuvirida.harmonic_oscillator(t, 1.0, g, 1.0, 0.0, 0.0))
             for g in (0.0, -0.1)],
        ),
        (
            "pseudo_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0)",
            [("", vuvirida.pseudo_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0))],
        ),
        (
            "fourier_square_wave(t, 0.5, 0.0, 1.0, 0.0, 0.0, N)",
            [(f"N = {n}", vuvirida.fourier_square_wave(t, 0.5, 0.0, 1.0, 0.0, 0.0, n))
             for n in (1, 3, 25)],
        ),
        (
            "pseudo_cycloid_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0)",
            [("", vuvirida.pseudo_cycloid_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0))],
        ),
        (
            "transient_impulse(t, 1.0, period, width = 1 hour, 0.0)",
            [(f"period = {p} (onset {p:02d}:00)",
              vuvirida.transient_impulse(t, 1.0, float(p), HOUR, 0.0))
             for p in (7, 19)],
        ),
    ]

    fig, axes = plt.subplots(len(panels), 1, figsize=(10, 11), sharex=True)
    for ax, (title, curves) in zip(axes, panels):
        for label, values in curves:
            ax.plot(clock, values, linewidth=1.2, label=label)
        ax.set_title(title, loc="left", fontsize=10, family="monospace")
        if len(curves) > 1:
            ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8)
        ax.grid(True, alpha=0.3)
        for midnight in range(0, 24 * DAYS + 1, 24):
            ax.axvline(midnight, color="0.6", linewidth=0.8)
    axes[-1].set_xlabel("hours (t = hours * 2\u03c0/24; one cycle a day at omega = 1)")
    axes[-1].set_xticks(range(0, 24 * DAYS + 1, 6))
    axes[-1].set_xlim(0, 24 * DAYS)
    fig.suptitle("vuvirida waveforms over three days", fontsize=13)
    fig.tight_layout()
    output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(output, dpi=100)
    print(f"saved {output}")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("vuvirida-gallery.png"))
