#include "frame/borrow.hpp"

#include <string>
#include <utility>

#include "frame/abort.hpp"
#include "frame/numpy_api.hpp"
#include "frame/range_registry.hpp"

namespace vuvirida::frame {

namespace {

// This module's own registry, published through its own table.
RangeRegistry own_registry;

int acquire_shared(void* state, std::uintptr_t begin, std::uintptr_t end) {
    return static_cast<RangeRegistry*>(state)->acquire_shared(begin, end);
}
int acquire_writeable(void* state, std::uintptr_t begin, std::uintptr_t end) {
    return static_cast<RangeRegistry*>(state)->acquire_writeable(begin, end);
}
void release_shared(void* state, std::uintptr_t begin, std::uintptr_t end) {
    static_cast<RangeRegistry*>(state)->release_shared(begin, end);
}
void release_writeable(void* state, std::uintptr_t begin, std::uintptr_t end) {
    static_cast<RangeRegistry*>(state)->release_writeable(begin, end);
}

VuviridaBorrowTable own_table{kBorrowTableVersion, &own_registry,   &acquire_shared,
                              &acquire_writeable,  &release_shared, &release_writeable};

// Process-wide, each holding a reference of its own that is kept until the
// process ends: the namespace of the NumPy module that carries the registry
// (the module is kept for the process too), the attribute's interned name,
// the capsule of this module's own table once made, and the capsule whose
// table the last borrow used.
PyObject* registry_namespace = nullptr;
PyObject* attribute_name = nullptr;
PyObject* own_capsule = nullptr;
PyObject* adopted_capsule = nullptr;
const VuviridaBorrowTable* adopted_table = nullptr;

[[noreturn, gnu::cold, gnu::noinline]] void registry_failed(
    const std::string& what, std::source_location where = std::source_location::current()) {
    PyErr_Clear();
    panic("Interal borrow checking API error: " + what, where);
}

// A failed interpreter call while the registry is looked up or installed.
// An exception that is not an ordinary Exception (KeyboardInterrupt,
// SystemExit) raised by Python code on the way belongs to the caller and
// passes on unchanged; anything else means the registry cannot be used.
[[gnu::cold, gnu::noinline]] Error lookup_failed(const char* what) {
    if (PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception))
        return Error::fetch();
    registry_failed(what);
}

[[noreturn, gnu::cold, gnu::noinline]] void table_unusable(const VuviridaBorrowTable& table) {
    if (table.version != kBorrowTableVersion) {
        registry_failed("the registry has version " + std::to_string(table.version) +
                        ", this module uses version " + std::to_string(kBorrowTableVersion));
    }
    registry_failed(std::string("the registry's ") +
                    (table.acquire_shared == nullptr ? "acquire_shared" : "release_shared") +
                    " entry is null");
}

// The entries this module calls must be there; checked at every borrow, as a
// peer may change its table in place.
void check_usable(const VuviridaBorrowTable& table) {
    if (table.version != kBorrowTableVersion || table.acquire_shared == nullptr ||
        table.release_shared == nullptr) [[unlikely]]
        table_unusable(table);
}

// A table to borrow from, with a reference to the capsule that owns it.
struct Source {
    OwnedRef capsule;
    const VuviridaBorrowTable* table = nullptr;
};

[[gnu::cold, gnu::noinline]] Outcome<Done> prepare_lookup() {
    PyObject* module = numpy_api().module;
    if (!PyModule_Check(module)) registry_failed("the NumPy module has no namespace");
    attribute_name = PyUnicode_InternFromString(kBorrowAttribute);
    if (attribute_name == nullptr) return lookup_failed("the registry attribute cannot be read");
    registry_namespace = OwnedRef::adding(PyModule_GetDict(module)).give_up();
    return Done{};
}

// Installs this module's own table where none is.
[[gnu::cold, gnu::noinline]] Outcome<PyObject*> install_own() {
    if (own_capsule == nullptr) {
        own_capsule = PyCapsule_New(&own_table, kBorrowCapsuleName, nullptr);
        if (own_capsule == nullptr) return lookup_failed("the registry cannot be installed");
    }
    if (PyDict_SetItem(registry_namespace, attribute_name, own_capsule) != 0)
        return lookup_failed("the registry cannot be installed");
    return own_capsule;
}

// The attribute, as read by the caller from the namespace, holds another
// object than the last borrow used, or nothing, or has not been read yet:
// adopt the table it publishes, or install this module's own.
[[gnu::cold, gnu::noinline]] Outcome<Source> adopt(PyObject* found) {
    if (registry_namespace == nullptr) {
        Outcome<Done> prepared = prepare_lookup();
        if (!prepared.ok()) return std::move(prepared.error());
        found = PyDict_GetItemWithError(registry_namespace, attribute_name);
    }
    if (found == nullptr) {
        if (PyErr_Occurred() != nullptr)
            return lookup_failed("the registry attribute cannot be read");
        Outcome<PyObject*> installed = install_own();
        if (!installed.ok()) return std::move(installed.error());
        found = installed.value();
    }
    // No Python code has run since `found` was read from the namespace.
    OwnedRef capsule = OwnedRef::adding(found);
    if (!PyCapsule_IsValid(found, kBorrowCapsuleName))
        registry_failed("the registry attribute is not a borrow registry capsule");
    const auto* table =
        static_cast<const VuviridaBorrowTable*>(PyCapsule_GetPointer(found, kBorrowCapsuleName));
    // The previous capsule is let go last, as its destructor may run any code;
    // borrows taken from its table keep it alive until they are released.
    OwnedRef previous =
        OwnedRef::taking(std::exchange(adopted_capsule, OwnedRef::adding(found).give_up()));
    adopted_table = table;
    return Source{std::move(capsule), table};
}

[[noreturn, gnu::cold, gnu::noinline]] void borrow_refused(
    int code, std::source_location where = std::source_location::current()) {
    if (code == -1) panic("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed", where);
    panic("Unexpected return code " + std::to_string(code) + " from borrow checking API", where);
}

}  // namespace

Outcome<SharedBorrow> SharedBorrow::acquiring(std::uintptr_t begin, std::uintptr_t end) {
    // The attribute is read from the namespace itself, so that no module
    // `__getattr__` runs (NumPy 2's compatibility module warns from its own).
    PyObject* found = registry_namespace == nullptr
                          ? nullptr
                          : PyDict_GetItemWithError(registry_namespace, attribute_name);
    Source source;
    if (found == adopted_capsule && found != nullptr) [[likely]] {
        source = Source{OwnedRef::adding(found), adopted_table};
    } else {
        Outcome<Source> adopted = adopt(found);
        if (!adopted.ok()) return std::move(adopted.error());
        source = std::move(adopted.value());
    }
    const VuviridaBorrowTable& table = *source.table;
    check_usable(table);
    // Read before the call, which may run code that changes the table.
    const Release release = table.release_shared;
    void* const state = table.state;
    const int code = table.acquire_shared(state, begin, end);
    if (code != 0) [[unlikely]]
        borrow_refused(code);
    return SharedBorrow(std::move(source.capsule), release, state, begin, end);
}

}  // namespace vuvirida::frame
