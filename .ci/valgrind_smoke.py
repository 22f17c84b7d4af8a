"""Every function through its success path and a few failure paths, quickly:
the run that valgrind checks in CI."""
import numpy as np, vuvirida as vv
t = np.linspace(-10, 10, 1001)
for f in (vv.harmonic_oscillator, vv.pseudo_square_wave, vv.pseudo_cycloid_wave):
    f(t, 1.0, -0.1, 2.0, 0.3, 0.5); f(time=t, amplitude=1, gamma=0, omega=1, phi=0, y=0)
vv.fourier_square_wave(t, 1.0, -0.1, 2.0, 0.3, 0.5, 7); vv.transient_impulse(t, 1.0, 3.0, 0.5, 0.1)
for bad in [lambda: vv.harmonic_oscillator(t[::2], 1, 2, 3, 4, 5), lambda: vv.harmonic_oscillator(t, foo=1), lambda: vv.fourier_square_wave(t, 1, 2, 3, 4, 5, -1)]:
    try: bad()
    except BaseException: pass
print("smoke ok")
