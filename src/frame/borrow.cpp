#include "frame/borrow.hpp"

#include <atomic>
#include <string>
#include <utility>

#include "frame/abort.hpp"
#include "frame/numpy_api.hpp"
#include "frame/published.hpp"
#include "frame/range_registry.hpp"

namespace vuvirida::frame {

namespace {

// This module's own registry, published through its own table.
//
// The registry's trees are changed by every acquire and release, and they
// stay whole only if no two calls run at once. The table's own entries make
// sure of it, whoever calls them: this module, a later copy of it, or
// another extension that found the table, including builds that know nothing
// of locks (the table's layout and its callers' duties are as they always
// were). With the GIL, every caller holds the GIL for the whole call (the
// registry never lets it go), so the calls run one after another. On a free-
// threaded build each entry holds the registry's lock for the whole call
// instead; a caller that waits for it is parked without its thread state, so
// that the interpreter can still stop every thread meanwhile. An extension
// built without declaring that it can run without the GIL turns the GIL
// back on when it is imported, so it never calls the entries side by side
// with another thread, even where it does not know of the lock.
RangeRegistry own_registry;

#ifdef Py_GIL_DISABLED
PyMutex registry_lock{};
class OneAtATime {
  public:
    OneAtATime() noexcept { PyMutex_Lock(&registry_lock); }
    OneAtATime(const OneAtATime&) = delete;
    OneAtATime& operator=(const OneAtATime&) = delete;
    ~OneAtATime() { PyMutex_Unlock(&registry_lock); }
};
#else
struct OneAtATime {};
#endif

int acquire_shared(void* state, std::uintptr_t begin, std::uintptr_t end) {
    [[maybe_unused]] const OneAtATime serialised;
    return static_cast<RangeRegistry*>(state)->acquire_shared(begin, end);
}
int acquire_writeable(void* state, std::uintptr_t begin, std::uintptr_t end) {
    [[maybe_unused]] const OneAtATime serialised;
    return static_cast<RangeRegistry*>(state)->acquire_writeable(begin, end);
}
void release_shared(void* state, std::uintptr_t begin, std::uintptr_t end) {
    [[maybe_unused]] const OneAtATime serialised;
    static_cast<RangeRegistry*>(state)->release_shared(begin, end);
}
void release_writeable(void* state, std::uintptr_t begin, std::uintptr_t end) {
    [[maybe_unused]] const OneAtATime serialised;
    static_cast<RangeRegistry*>(state)->release_writeable(begin, end);
}

VuviridaBorrowTable own_table{kBorrowTableVersion, &own_registry,   &acquire_shared,
                              &acquire_writeable,  &release_shared, &release_writeable};

// Process-wide, each holding a reference of its own that is kept until the
// process ends: the namespace of the NumPy module that carries the registry
// (the module is kept for the process too), the attribute's interned name
// and the capsule of this module's own table once made.
Published<PyObject> registry_namespace;
Published<PyObject> attribute_name;
Published<PyObject> own_capsule;
// The capsule whose table the last borrow used, with a reference of its own,
// kept until a borrow uses another. With the GIL the next borrow knows it by
// identity alone and reuses its table; a free-threaded build reads the
// capsule anew at every borrow, since the table kept beside it could belong
// to another capsule by then, and only keeps it alive.
#ifdef Py_GIL_DISABLED
std::atomic<PyObject*> adopted_capsule{nullptr};
#else
PyObject* adopted_capsule = nullptr;
const VuviridaBorrowTable* adopted_table = nullptr;
#endif

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

// The namespace where the attribute is read, found on the first borrow.
[[gnu::cold, gnu::noinline]] Outcome<PyObject*> prepare_lookup() {
    PyObject* module = numpy_api().module;
    if (!PyModule_Check(module)) registry_failed("the NumPy module has no namespace");
    if (interned(attribute_name, kBorrowAttribute) == nullptr)
        return lookup_failed("the registry attribute cannot be read");
    return offer_new(registry_namespace, Py_NewRef(PyModule_GetDict(module)));
}

// The capsule of this module's own table, made once.
Outcome<PyObject*> own() {
    if (PyObject* capsule = own_capsule.get()) return capsule;
    PyObject* capsule =
        offer_new(own_capsule, PyCapsule_New(&own_table, kBorrowCapsuleName, nullptr));
    if (capsule == nullptr) return lookup_failed("the registry cannot be installed");
    return capsule;
}

// The table that the object found at the attribute publishes.
Source checked(OwnedRef found) {
    if (!PyCapsule_IsValid(found.get(), kBorrowCapsuleName))
        registry_failed("the registry attribute is not a borrow registry capsule");
    const auto* table = static_cast<const VuviridaBorrowTable*>(
        PyCapsule_GetPointer(found.get(), kBorrowCapsuleName));
    return Source{std::move(found), table};
}

#ifdef Py_GIL_DISABLED

// The table to borrow from: the attribute as it is now, taken as a new
// reference that the borrow keeps; this module's own table is installed
// where none is, unless another thread installs a table there first.
Outcome<Source> current_source() {
    PyObject* namespace_ = registry_namespace.get();
    if (namespace_ == nullptr) {
        Outcome<PyObject*> prepared = prepare_lookup();
        if (!prepared.ok()) return std::move(prepared.error());
        namespace_ = prepared.value();
    }
    PyObject* const name = attribute_name.get();
    PyObject* found = nullptr;
    int got = PyDict_GetItemRef(namespace_, name, &found);
    if (got == 0) {
        Outcome<PyObject*> mine = own();
        if (!mine.ok()) return std::move(mine.error());
        if (PyDict_SetDefaultRef(namespace_, name, mine.value(), &found) < 0)
            return lookup_failed("the registry cannot be installed");
        got = 1;
    }
    if (got < 0) return lookup_failed("the registry attribute cannot be read");
    Source source = checked(OwnedRef::taking(found));
    // Another thread may keep another capsule at once; whichever is kept last
    // stays. The one let go goes last, as its destructor may run any code.
    if (adopted_capsule.load() != found) [[unlikely]] {
        const OwnedRef previous = OwnedRef::taking(adopted_capsule.exchange(Py_NewRef(found)));
    }
    return source;
}

#else

// Installs this module's own table where none is.
[[gnu::cold, gnu::noinline]] Outcome<PyObject*> install_own(PyObject* namespace_) {
    Outcome<PyObject*> mine = own();
    if (!mine.ok()) return mine;
    if (PyDict_SetItem(namespace_, attribute_name.get(), mine.value()) != 0)
        return lookup_failed("the registry cannot be installed");
    return mine;
}

// The attribute, as read by the caller from the namespace, holds another
// object than the last borrow used, or nothing, or has not been read yet:
// adopt the table it publishes, or install this module's own.
[[gnu::cold, gnu::noinline]] Outcome<Source> adopt(PyObject* found) {
    PyObject* namespace_ = registry_namespace.get();
    if (namespace_ == nullptr) {
        Outcome<PyObject*> prepared = prepare_lookup();
        if (!prepared.ok()) return std::move(prepared.error());
        namespace_ = prepared.value();
        found = PyDict_GetItemWithError(namespace_, attribute_name.get());
    }
    if (found == nullptr) {
        if (PyErr_Occurred() != nullptr)
            return lookup_failed("the registry attribute cannot be read");
        Outcome<PyObject*> installed = install_own(namespace_);
        if (!installed.ok()) return std::move(installed.error());
        found = installed.value();
    }
    // No Python code has run since `found` was read from the namespace.
    Source source = checked(OwnedRef::adding(found));
    // The previous capsule is let go last, as its destructor may run any code;
    // borrows taken from its table keep it alive until they are released.
    OwnedRef previous =
        OwnedRef::taking(std::exchange(adopted_capsule, OwnedRef::adding(found).give_up()));
    adopted_table = source.table;
    return source;
}

#endif

[[noreturn, gnu::cold, gnu::noinline]] void borrow_refused(
    int code, std::source_location where = std::source_location::current()) {
    if (code == -1) panic("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed", where);
    panic("Unexpected return code " + std::to_string(code) + " from borrow checking API", where);
}

}  // namespace

Outcome<SharedBorrow> SharedBorrow::acquiring(std::uintptr_t begin, std::uintptr_t end) {
    Source source;
#ifdef Py_GIL_DISABLED
    Outcome<Source> current = current_source();
    if (!current.ok()) [[unlikely]]
        return std::move(current.error());
    source = std::move(current.value());
#else
    // The attribute is read from the namespace itself, so that no module
    // `__getattr__` runs (NumPy 2's compatibility module warns from its own).
    PyObject* namespace_ = registry_namespace.get();
    PyObject* found =
        namespace_ == nullptr ? nullptr : PyDict_GetItemWithError(namespace_, attribute_name.get());
    if (found == adopted_capsule && found != nullptr) [[likely]] {
        source = Source{OwnedRef::adding(found), adopted_table};
    } else {
        Outcome<Source> adopted = adopt(found);
        if (!adopted.ok()) return std::move(adopted.error());
        source = std::move(adopted.value());
    }
#endif
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
