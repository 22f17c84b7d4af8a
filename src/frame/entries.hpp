// The call entries of the five functions, as the method records name them.
#pragma once

#include "frame/python.hpp"

namespace vuvirida::frame {

PyObject* harmonic_oscillator_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* pseudo_square_wave_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
PyObject* fourier_square_wave_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* pseudo_cycloid_wave_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* transient_impulse_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

}  // namespace vuvirida::frame
