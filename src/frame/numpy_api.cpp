#include "frame/numpy_api.hpp"

#include <chrono>

#include "frame/abort.hpp"
#include "frame/locks.hpp"
#include "frame/published.hpp"
#include "frame/refs.hpp"

namespace vuvirida::frame {

namespace {

// Filled by the thread that has the acquisition's turn, then published.
NumpyApi storage{};
Published<const NumpyApi> api;
Published<PyObject> float64;

// The first acquisition may import NumPy's compatibility module (which
// `import numpy` does not import under NumPy 2), running Python code for a
// millisecond or so while the import system holds that module's lock. A
// fork from another thread meanwhile would leave the lock held in the child
// by a thread that does not exist there, and the child's own first call
// would wait for it for ever. So one thread at a time acquires the table, in
// the acquisition's turn, and os.fork waits for that turn first (a hook that
// the first acquisition registers with os.register_at_fork). Other threads'
// first calls wait for the turn too, and then find the table published.
struct AcquisitionTag {};
using AcquisitionTurn = Turn<AcquisitionTag>;
// How long a fork waits at most: an acquisition held up by something that
// the forking thread holds (a lock that an import hook takes, say) would
// otherwise hold up the fork for ever.
constexpr std::chrono::milliseconds kForkWaitsAtMost{5000};

PyObject* wait_for_acquisition(PyObject*, PyObject*) {
    if (api.get() == nullptr) AcquisitionTurn::wait_for_another(kForkWaitsAtMost);
    Py_RETURN_NONE;
}
PyMethodDef wait_definition{"vuvirida_waits_for_numpy", wait_for_acquisition, METH_NOARGS, nullptr};
bool fork_waits = false;  // changed in the acquisition's turn only

// Registers the hook once; a failure leaves forks as they were.
void register_fork_wait() {
    if (fork_waits) return;
    OwnedRef os = OwnedRef::taking(PyImport_ImportModule("os"));
    OwnedRef register_at_fork =
        OwnedRef::taking(os ? PyObject_GetAttrString(os.get(), "register_at_fork") : nullptr);
    OwnedRef hook =
        OwnedRef::taking(register_at_fork ? PyCFunction_New(&wait_definition, nullptr) : nullptr);
    OwnedRef arguments = OwnedRef::taking(hook ? PyTuple_New(0) : nullptr);
    OwnedRef keywords = OwnedRef::taking(arguments ? PyDict_New() : nullptr);
    if (keywords && PyDict_SetItemString(keywords.get(), "before", hook.get()) == 0) {
        OwnedRef done = OwnedRef::taking(
            PyObject_Call(register_at_fork.get(), arguments.get(), keywords.get()));
        fork_waits = static_cast<bool>(done);
    }
    PyErr_Clear();
}

// NumPy's compatibility module and its table as the process already has
// them, taken from sys.modules and the module's namespace themselves: the
// import system would first see whether some thread is still importing the
// module and wait for that thread's lock. A module that another thread is
// still importing, whose namespace holds no table yet, is left to the import.
struct Multiarray {
    OwnedRef module;
    OwnedRef capsule;
};

Published<PyObject> module_name;
Published<PyObject> capsule_name;

Multiarray from_sys_modules() {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* name = interned(module_name, "numpy.core.multiarray");
    PyObject* attribute = name ? interned(capsule_name, "_ARRAY_API") : nullptr;
    OwnedRef module =
        attribute && PyDict_Check(modules) ? OwnedRef::item_of(modules, name) : OwnedRef();
    OwnedRef capsule = module && PyModule_Check(module.get())
                           ? OwnedRef::item_of(PyModule_GetDict(module.get()), attribute)
                           : OwnedRef();
    PyErr_Clear();
    if (!capsule) return {};
    return {std::move(module), std::move(capsule)};
}

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
    const AcquisitionTurn turn;
    if (const NumpyApi* published = api.get()) return *published;
    register_fork_wait();
    Multiarray found = from_sys_modules();
    if (!found.module) {
        found.module = import_multiarray();
        if (!found.module) {
            PyErr_Clear();
            panic("Failed to import NumPy module");
        }
        found.capsule = OwnedRef::taking(PyObject_GetAttrString(found.module.get(), "_ARRAY_API"));
    }
    void* const* table = nullptr;
    if (found.capsule) {
        table = static_cast<void* const*>(PyCapsule_GetPointer(found.capsule.get(), nullptr));
    }
    if (table == nullptr) {
        PyErr_Clear();
        panic("Failed to get NumPy API capsule");
    }
    storage.array_type = static_cast<PyTypeObject*>(table[kSlotArrayType]);
    storage.descr_from_type =
        reinterpret_cast<decltype(storage.descr_from_type)>(table[kSlotDescrFromType]);
    storage.new_from_descr =
        reinterpret_cast<decltype(storage.new_from_descr)>(table[kSlotNewFromDescr]);
    storage.equiv_types = reinterpret_cast<decltype(storage.equiv_types)>(table[kSlotEquivTypes]);
    // The module and the capsule stay alive for the rest of the process.
    storage.module = found.module.give_up();
    (void)found.capsule.give_up();
    return *api.offer(&storage);
}

[[gnu::cold, gnu::noinline]] PyObject* fetch_float64_descr() {
    PyObject* descr = numpy_api().descr_from_type(kNpyDouble);
    if (descr == nullptr) panic_api_call_failed();
    return offer_new(float64, descr);
}

}  // namespace

const NumpyApi& numpy_api() {
    if (const NumpyApi* published = api.get()) [[likely]]
        return *published;
    return acquire();
}

PyObject* float64_descr() {
    if (PyObject* descr = float64.get()) [[likely]]
        return descr;
    return fetch_float64_descr();
}

}  // namespace vuvirida::frame
