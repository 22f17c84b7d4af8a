#include "frame/exchange.hpp"

#include <utility>

#include "frame/abort.hpp"

namespace vuvirida::frame {

#ifdef Py_GIL_DISABLED
void Watch::attach() noexcept {
    if (detached == nullptr) return;
    // The thread may be ended here when the interpreter finalises.
    parking_on_thread_exit([this] { PyEval_RestoreThread(std::exchange(detached, nullptr)); });
}
#endif

bool Watch::poll(void* context) noexcept {
    auto& watch = *static_cast<Watch*>(context);
    watch.attach();
    // Signal handlers, and from 3.12 a scheduled garbage collection's
    // finalisers, run here, inside a kernel that may not throw.
    int raised = 0;
    parking_on_thread_exit([&] { raised = PyErr_CheckSignals(); });
    if (raised != 0) {
        watch.stop = Stop::raised;
        return true;
    }
    if (!watch.view.still_of(watch.time)) {
        watch.stop = Stop::changed;
        return true;
    }
#ifdef Py_GIL_DISABLED
    watch.detached = PyEval_SaveThread();
#endif
    return false;
}

void kept_changing() {
    panic("the time array changed while it was being read, " + std::to_string(kMaxReads) +
          " times in a row");
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
