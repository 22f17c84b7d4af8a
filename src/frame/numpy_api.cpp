#include "frame/numpy_api.hpp"

#include "frame/abort.hpp"
#include "frame/refs.hpp"

namespace vuvirida::frame {

namespace {

NumpyApi api{};
bool api_ready = false;
PyObject* float64 = nullptr;

// NumPy 2 keeps the table under numpy._core; numpy.core still re-exports it.
// The newer name is tried only when the older one cannot be imported.
OwnedRef import_multiarray() {
    OwnedRef module = OwnedRef::taking(PyImport_ImportModule("numpy.core.multiarray"));
    if (!module) {
        PyErr_Clear();
        module = OwnedRef::taking(PyImport_ImportModule("numpy._core.multiarray"));
    }
    return module;
}

[[gnu::cold, gnu::noinline]] const NumpyApi& acquire() {
    OwnedRef module = import_multiarray();
    if (!module) {
        PyErr_Clear();
        panic("Failed to import NumPy module");
    }
    OwnedRef capsule = OwnedRef::taking(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    void* const* table = nullptr;
    if (capsule) table = static_cast<void* const*>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) {
        PyErr_Clear();
        panic("Failed to get NumPy API capsule");
    }
    api.array_type = static_cast<PyTypeObject*>(table[kSlotArrayType]);
    api.descr_from_type =
        reinterpret_cast<decltype(api.descr_from_type)>(table[kSlotDescrFromType]);
    api.new_from_descr = reinterpret_cast<decltype(api.new_from_descr)>(table[kSlotNewFromDescr]);
    api.equiv_types = reinterpret_cast<decltype(api.equiv_types)>(table[kSlotEquivTypes]);
    // The module and the capsule stay alive for the rest of the process.
    api.module = module.give_up();
    (void)capsule.give_up();
    api_ready = true;
    return api;
}

[[gnu::cold, gnu::noinline]] PyObject* fetch_float64_descr() {
    PyObject* descr = numpy_api().descr_from_type(kNpyDouble);
    if (descr == nullptr) panic_api_call_failed();
    float64 = descr;
    return float64;
}

}  // namespace

const NumpyApi& numpy_api() {
    if (api_ready) [[likely]]
        return api;
    return acquire();
}

PyObject* float64_descr() {
    if (float64 != nullptr) [[likely]]
        return float64;
    return fetch_float64_descr();
}

}  // namespace vuvirida::frame
