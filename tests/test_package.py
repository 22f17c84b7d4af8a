"""The package around the module: the stubs installed with it and the README's Dask recipe."""

import ast
import re
from pathlib import Path

import numpy
import pytest

import vuvirida

FIVE = {"harmonic_oscillator", "pseudo_square_wave", "fourier_square_wave",
        "pseudo_cycloid_wave", "transient_impulse"}
HOUR = 2 * numpy.pi / 24
CALLS = [(vuvirida.harmonic_oscillator, (1.5, -0.01, 1.0, 0.3, 2.0)),
         (vuvirida.pseudo_square_wave, (2.0, 0.002, 3.0, -1.0, 0.5)),
         (vuvirida.fourier_square_wave, (0.5, -0.003, 1.0, 0.2, -1.0, 7)),
         (vuvirida.pseudo_cycloid_wave, (1.0, 0.0, 0.5, 4.0, 0.0)),
         (vuvirida.transient_impulse, (2.0, 7.0, 1.5 * HOUR, 1.0))]


def test_stubs_sit_beside_the_module_and_declare_its_five_signatures():
    stub = Path(vuvirida.__file__).parent / "vuvirida-stubs" / "__init__.pyi"
    nodes = [n for n in ast.parse(stub.read_text(encoding="utf-8")).body
             if isinstance(n, ast.FunctionDef)]
    assert {n.name for n in nodes} == FIVE == set(vuvirida.__all__)
    for node in nodes:
        declared = "(" + ", ".join(a.arg for a in node.args.args) + ")"
        assert declared == getattr(vuvirida, node.name).__text_signature__
        assert ast.get_docstring(node), node.name
