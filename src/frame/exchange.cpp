#include "frame/exchange.hpp"

#include <limits>

#include "frame/abort.hpp"

namespace vuvirida::frame {

namespace {

[[noreturn, gnu::cold, gnu::noinline]] void not_contiguous(
    std::source_location where = std::source_location::current()) {
    panic("called `Result::unwrap()` on an `Err` value: NotContiguousError", where);
}

}  // namespace

ContiguousView contiguous_view(PyObject* array) {
    const ArrayFields* fields = array_fields(array);
    if ((fields->flags & (kNpyArrayCContiguous | kNpyArrayFContiguous)) == 0 ||
        fields->data == nullptr) [[unlikely]]
        not_contiguous();
    const auto n = static_cast<std::size_t>(fields->dimensions[0]);
    const auto room = std::numeric_limits<std::uintptr_t>::max() -
                      reinterpret_cast<std::uintptr_t>(fields->data);
    if (n > room / sizeof(double)) [[unlikely]]
        not_contiguous();
    return {reinterpret_cast<const double*>(fields->data), n};
}

Outcome<OwnedRef> new_result_array(std::size_t n) {
    const NumpyApi& api = numpy_api();
    PyObject* descr = float64_descr();
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    // NewFromDescr consumes a reference to the descriptor.
    Py_INCREF(descr);
    OwnedRef result = OwnedRef::taking(
        api.new_from_descr(api.array_type, descr, 1, dims, nullptr, nullptr, 0, nullptr));
    if (!result) [[unlikely]] {
        // Running out of memory is the caller's to handle, as anywhere else in
        // NumPy; any other failure here is an abort.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return Error::fetch();
        panic_api_call_failed();
    }
    return result;
}

}  // namespace vuvirida::frame
