// Converting bound arguments to the generators' kinds: the time array, floats
// and the harmonic count.
#pragma once

#include <cstdint>
#include <string>

#include "frame/error.hpp"

namespace vuvirida::frame {

// The __qualname__ of an object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* object);

// "'<type>' object cannot be converted to '<target>'", the message of every
// argument of the wrong type.
[[gnu::cold]] Error cannot_convert(PyObject* object, const char* target);

// A NumPy array (or subclass) with one dimension and a dtype equivalent to
// float64, borrowed as it is.
Outcome<PyObject*> extract_time(PyObject* object);

// Whatever PyFloat_AsDouble accepts.
inline Outcome<double> extract_float(PyObject* object) {
    if (PyFloat_CheckExact(object)) [[likely]]
        return PyFloat_AS_DOUBLE(object);
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return Error::fetch();
    return value;
}

// An integer index from 0 to 2^64 - 1.
Outcome<std::uint64_t> extract_count(PyObject* object);

// A conversion error as the caller sees it: a TypeError names the argument,
// anything else passes unchanged.
[[gnu::cold]] Error argument_extraction_error(const char* name, Error error);

template <class T>
inline Outcome<T> extract_argument(Outcome<T> converted, const char* name) {
    if (!converted.ok()) [[unlikely]]
        return argument_extraction_error(name, std::move(converted.error()));
    return converted;
}

}  // namespace vuvirida::frame
