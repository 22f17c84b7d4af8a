// The module definition and its initialisation.
#include <array>
#include <atomic>
#include <exception>
#include <string>

#include "frame/abort.hpp"
#include "frame/convert.hpp"
#include "frame/error.hpp"
#include "frame/published.hpp"
#include "frame/text.hpp"
#include "lib/function_table.hpp"

namespace vuvirida::lib {

using frame::Done;
using frame::Error;
using frame::Outcome;
using frame::OwnedRef;

namespace {

PyModuleDef DEF = {
    PyModuleDef_HEAD_INIT,
    "vuvirida",
    "Python module definition",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Set by the first initialisation that created a module object; never reset.
// The module keeps process-wide state, so it may exist once per process.
std::atomic<bool> initialised{false};

// The method definitions the function objects refer to for the process's
// life, made from the records when the module file is loaded and never
// written again: a registration only points at them.
std::array<PyMethodDef, kFunctionCount> method_definitions() {
    std::array<PyMethodDef, kFunctionCount> made{};
    for (std::size_t i = 0; i < kFunctionCount; ++i) {
        const MethodRecord& record = kFunctionTable[i];
        made[i] = PyMethodDef{
            record.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record.entry)),
            record.flags, record.doc};
    }
    return made;
}
std::array<PyMethodDef, kFunctionCount> method_defs = method_definitions();

frame::Published<PyObject> all_name;
frame::Published<PyObject> name_name;

[[noreturn, gnu::cold, gnu::noinline]] void append_failed(
    std::source_location where = std::source_location::current()) {
    std::string message = "could not append __name__ to __all__";
    frame::FetchedException failure = frame::FetchedException::taking_pending();
    failure.normalize();
    OwnedRef text = OwnedRef::taking(failure.value() ? PyObject_Repr(failure.value()) : nullptr);
    const std::optional<std::string_view> utf8 = text ? frame::utf8_of(text.get()) : std::nullopt;
    if (utf8) {
        message += ": ";
        message += *utf8;
    }
    PyErr_Clear();
    frame::panic(std::move(message), where);
}

// Adds a function to the module under its own __name__ and lists it in __all__.
Outcome<Done> add_function(PyObject* module, PyObject* function) {
    PyObject* all_key = frame::interned(all_name, "__all__");
    PyObject* name_key = frame::interned(name_name, "__name__");
    if (all_key == nullptr || name_key == nullptr) return Error::fetch();
    OwnedRef name = OwnedRef::taking(PyObject_GetAttr(function, name_key));
    if (!name) return Error::fetch();
    if (!PyUnicode_Check(name.get())) {
        return frame::cannot_convert(name.get(), "PyString");
    }
    OwnedRef all = OwnedRef::taking(PyObject_GetAttr(module, all_key));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Error::fetch();
        PyErr_Clear();
        all = OwnedRef::taking(PyList_New(0));
        if (!all) frame::panic_api_call_failed();
        if (PyObject_SetAttr(module, all_key, all.get()) != 0) return Error::fetch();
    }
    if (!PyList_Check(all.get())) return frame::cannot_convert(all.get(), "PyList");
    if (PyList_Append(all.get(), name.get()) != 0) append_failed();
    if (PyObject_SetAttr(module, name.get(), function) != 0) return Error::fetch();
    return Done{};
}

}  // namespace

// The module body: registers the five functions in table order, stopping at
// the first failure.
Outcome<Done> vuvirida(PyObject* module) {
    for (std::size_t i = 0; i < kFunctionCount; ++i) {
        const char* module_name = PyModule_GetName(module);
        if (module_name == nullptr) return Error::fetch();
        OwnedRef module_name_text = OwnedRef::taking(PyUnicode_FromString(module_name));
        if (!module_name_text) return Error::fetch();
        OwnedRef function = OwnedRef::taking(
            PyCMethod_New(&method_defs[i], module, module_name_text.get(), nullptr));
        if (!function) return Error::fetch();
        Outcome<Done> added = add_function(module, function.get());
        if (!added.ok()) return added;
    }
    return Done{};
}

namespace {

[[gnu::cold, gnu::noinline]] PyObject* refuse_subinterpreter() {
    PyErr_SetString(PyExc_ImportError, "vuvirida can be imported in the main interpreter only");
    return nullptr;
}

// Who the import is for. The process-wide state (the once flag, NumPy's
// table, the borrow registry, the abort exception type) belongs to the main
// interpreter. From 3.13 CPython runs the init function of an import made in
// another interpreter in the main one, on a thread state made for it that has
// no Python frame (an import made in the main interpreter runs through the
// import system's Python code), keeps the init function and then refuses the
// other interpreter itself; an exception raised there would be passed on to
// the other interpreter, which CPython 3.13.0 cannot do safely.
enum class Importer { main, main_for_another, another };

Importer importer() {
    PyThreadState* state = PyThreadState_Get();
    if (PyThreadState_GetInterpreter(state) != PyInterpreterState_Main()) return Importer::another;
#if PY_VERSION_HEX >= 0x030D0000
    OwnedRef frame = OwnedRef::taking(reinterpret_cast<PyObject*>(PyThreadState_GetFrame(state)));
    if (!frame) return Importer::main_for_another;
#endif
    return Importer::main;
}

PyObject* initialise() {
    // Another interpreter is refused before anything is made, and the once
    // flag is left for the main interpreter's own import, which may come
    // afterwards.
    const Importer importing_for = importer();
    if (importing_for == Importer::another) return refuse_subinterpreter();
    OwnedRef module = OwnedRef::taking(PyModule_Create2(&DEF, 1013));
    if (!module) {
        std::move(Error::fetch()).restore();
        return nullptr;
    }
#ifdef Py_GIL_DISABLED
    // Every piece of the module's process-wide state is safe for threads
    // that run at once (frame/published.hpp, frame/borrow.cpp): a free-
    // threaded interpreter that imports it keeps running without the GIL.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) != 0) return nullptr;
#endif
    if (importing_for == Importer::main && initialised.exchange(true, std::memory_order_seq_cst)) {
        PyErr_SetString(PyExc_ImportError,
                        "PyO3 modules may only be initialized once per interpreter process");
        return nullptr;
    }
    Outcome<Done> body = vuvirida(module.get());
    if (!body.ok()) {
        std::move(body.error()).restore();
        return nullptr;
    }
    return module.give_up();
}

}  // namespace

}  // namespace vuvirida::lib

// The module file's only exported symbol. An abort during initialisation
// reaches the importer as the abort exception; a thread that the interpreter
// ends meanwhile (the only unwind that is no std::exception) is parked.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_vuvirida() {
    PyObject* module = nullptr;
    vuvirida::frame::parking_on_thread_exit([&] {
        try {
            module = vuvirida::lib::initialise();
        } catch (const vuvirida::frame::Abort& abort) {
            vuvirida::frame::raise_abort(abort);
        } catch (const std::exception&) {
            vuvirida::frame::raise_abort(
                vuvirida::frame::Abort("unexpected C++ exception in vuvirida"));
        }
    });
    return module;
}
