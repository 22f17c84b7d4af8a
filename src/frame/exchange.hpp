// The array exchange around every generator: a shared borrow of the time
// array, its contiguous view, the result array, and the generator writing
// straight into the result's memory.
#pragma once

#include <cstddef>

#include "frame/borrow.hpp"
#include "frame/error.hpp"
#include "frame/numpy_api.hpp"

namespace vuvirida::frame {

struct ContiguousView {
    const double* data;
    std::size_t n;

    // The bytes the samples occupy, [begin, end).
    std::uintptr_t begin() const noexcept { return reinterpret_cast<std::uintptr_t>(data); }
    std::uintptr_t end() const noexcept { return begin() + n * sizeof(double); }
};

// Aborts with NotContiguousError unless the array is C or Fortran contiguous
// with a data pointer and its samples fit in the address space, so that the
// byte range of a view never overflows.
ContiguousView contiguous_view(PyObject* array);

// A new float64 array of n samples that owns its memory. NumPy's MemoryError
// is returned as an error; any other failure is printed and aborts.
Outcome<OwnedRef> new_result_array(std::size_t n);

inline double* result_data(PyObject* result) noexcept {
    return reinterpret_cast<double*>(array_fields(result)->data);
}

// Runs `kernel(samples, n, out)` for the time array. The borrow is held until
// the result is complete and released on every way out, after the result
// array (if any) stopped being touched.
template <class Kernel>
Outcome<OwnedRef> exchange(PyObject* time, Kernel&& kernel) {
    const ContiguousView view = contiguous_view(time);
    const SharedBorrow borrow = SharedBorrow::acquiring(view.begin(), view.end());
    Outcome<OwnedRef> result = new_result_array(view.n);
    if (result.ok()) [[likely]]
        kernel(view.data, view.n, result_data(result.value().get()));
    return result;
}

}  // namespace vuvirida::frame
