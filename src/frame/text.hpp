// Texts taken from the interpreter whole: a str may hold NUL characters (a
// keyword name "y\x00", a type's __qualname__, an exception's message), so
// its UTF-8 travels as a pointer and a length, never as a C string.
#pragma once

#include <optional>
#include <string_view>

#include "frame/python.hpp"

namespace vuvirida::frame {

// The UTF-8 of a str, viewing the str's own cached copy (valid while the str
// lives), or nothing with the encoding error pending.
inline std::optional<std::string_view> utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

}  // namespace vuvirida::frame
