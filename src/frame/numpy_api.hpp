// NumPy reached at run time through its `_ARRAY_API` capsule, so that one
// build of the module works with every NumPy from 1.26 on: no NumPy headers,
// and the few entries and array fields used here are declared below. They are
// the same in NumPy 1.x and 2.x.
#pragma once

#include <cstddef>

#include "frame/python.hpp"

namespace vuvirida::frame {

using npy_intp = Py_ssize_t;

// The leading fields of NumPy's array object.
struct ArrayFields {
    PyObject_HEAD char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

inline ArrayFields* array_fields(PyObject* array) noexcept {
    return reinterpret_cast<ArrayFields*>(array);
}

inline constexpr int kNpyDouble = 12;
inline constexpr int kNpyArrayCContiguous = 0x0001;
inline constexpr int kNpyArrayFContiguous = 0x0002;

// Positions in the API table.
inline constexpr std::size_t kSlotArrayType = 2;
inline constexpr std::size_t kSlotDescrFromType = 45;
inline constexpr std::size_t kSlotNewFromDescr = 94;
inline constexpr std::size_t kSlotEquivTypes = 182;

struct NumpyApi {
    PyTypeObject* array_type;
    PyObject* (*descr_from_type)(int type_number);
    PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int nd, npy_intp* dims,
                                npy_intp* strides, void* data, int flags, PyObject* obj);
    unsigned char (*equiv_types)(PyObject* first, PyObject* second);
    // The module that provided the table; it also carries the borrow registry.
    PyObject* module;
};

// The table, acquired on the first call that needs it and kept for the
// process; threads whose first calls come at once all get it. An acquisition
// that fails aborts and keeps nothing, so the next call tries again.
const NumpyApi& numpy_api();

// The float64 descriptor, fetched once and kept: NumPy's built-in descriptors
// live as long as NumPy does.
PyObject* float64_descr();

}  // namespace vuvirida::frame
