#include "frame/borrow.hpp"

#include <iterator>
#include <map>
#include <new>
#include <string>

#include "frame/abort.hpp"
#include "frame/numpy_api.hpp"

namespace vuvirida::frame {

namespace {

// This module's own registry. Calls arrive under the interpreter lock. Empty
// ranges overlap nothing and are not stored, so their acquires always succeed
// and their releases change nothing. Every query and update costs a
// logarithm of the number of borrows held, plus, for a shared borrow, the
// number of shared borrows it overlaps: unrelated borrows cost nothing more.
struct Registry {
    using Address = std::uintptr_t;

    // Writeable borrows, by begin to end. They never overlap each other or a
    // shared borrow.
    std::map<Address, Address> writeable;

    // Shared borrows, by range, each with the number of times it is held.
    std::map<std::pair<Address, Address>, std::size_t> shared;

    // Every address where a shared borrow begins or ends, with the number of
    // shared borrows that cover the bytes from it up to the next such address
    // and the number of borrow ends it stands for. Coverage changes only at
    // these addresses, and since each of them is the beginning or end of a
    // borrow held, the step after an uncovered one is always covered.
    struct Step {
        std::size_t covering;
        std::size_t ends;
    };
    std::map<Address, Step> steps;

    bool overlaps_writeable(Address begin, Address end) const {
        // The last writeable borrow beginning before `end` reaches furthest
        // of all that do, as they never overlap each other.
        auto after = writeable.lower_bound(end);
        return after != writeable.begin() && std::prev(after)->second > begin;
    }

    bool overlaps_shared(Address begin, Address end) const {
        auto next = steps.upper_bound(begin);
        if (next != steps.begin() && std::prev(next)->second.covering > 0) return true;
        // `begin` is uncovered, so the next step starts a borrow.
        return next != steps.end() && next->first < end;
    }

    // The step at `at`, made when missing with the coverage of the step
    // before it. May throw std::bad_alloc.
    std::map<Address, Step>::iterator step_at(Address at) {
        auto next = steps.lower_bound(at);
        if (next != steps.end() && next->first == at) return next;
        const std::size_t covering = next == steps.begin() ? 0 : std::prev(next)->second.covering;
        return steps.emplace_hint(next, at, Step{covering, 0});
    }

    // Drops a step that no borrow ends at: the coverage is the same on both
    // sides of it.
    void drop_if_unused(std::map<Address, Step>::iterator step) {
        if (step != steps.end() && step->second.ends == 0) steps.erase(step);
    }

    int acquire_shared(Address begin, Address end) {
        if (begin >= end) return 0;
        if (overlaps_writeable(begin, end)) return -1;
        auto first = steps.end();
        auto last = steps.end();
        try {
            first = step_at(begin);
            last = step_at(end);
            ++shared.try_emplace({begin, end}, 0).first->second;
        } catch (const std::bad_alloc&) {
            drop_if_unused(last);
            drop_if_unused(first);
            return -2;
        }
        ++first->second.ends;
        ++last->second.ends;
        for (auto step = first; step != last; ++step) ++step->second.covering;
        return 0;
    }

    int acquire_writeable(Address begin, Address end) {
        if (begin >= end) return 0;
        if (overlaps_writeable(begin, end) || overlaps_shared(begin, end)) return -1;
        try {
            writeable.emplace(begin, end);
        } catch (const std::bad_alloc&) {
            return -2;
        }
        return 0;
    }

    // A release that names no borrow held changes nothing.
    void release_shared(Address begin, Address end) {
        auto held = shared.find({begin, end});
        if (held == shared.end()) return;
        if (--held->second == 0) shared.erase(held);
        auto first = steps.find(begin);
        auto last = steps.find(end);
        for (auto step = first; step != last; ++step) --step->second.covering;
        --first->second.ends;
        --last->second.ends;
        drop_if_unused(last);
        drop_if_unused(first);
    }

    void release_writeable(Address begin, Address end) {
        auto held = writeable.find(begin);
        if (held != writeable.end() && held->second == end) writeable.erase(held);
    }
};

Registry own_registry;

int acquire_shared(void* state, std::uintptr_t begin, std::uintptr_t end) {
    return static_cast<Registry*>(state)->acquire_shared(begin, end);
}
int acquire_writeable(void* state, std::uintptr_t begin, std::uintptr_t end) {
    return static_cast<Registry*>(state)->acquire_writeable(begin, end);
}
void release_shared(void* state, std::uintptr_t begin, std::uintptr_t end) {
    static_cast<Registry*>(state)->release_shared(begin, end);
}
void release_writeable(void* state, std::uintptr_t begin, std::uintptr_t end) {
    static_cast<Registry*>(state)->release_writeable(begin, end);
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
    const VuviridaBorrowTable* table;
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

// The attribute holds another object than the last borrow used (or nothing):
// adopt the table it publishes, or install this module's own.
[[gnu::cold, gnu::noinline]] Outcome<Source> adopt(PyObject* found) {
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

// Reads the attribute from the namespace itself, so that no module
// `__getattr__` runs (NumPy 2's compatibility module warns from its own).
Outcome<Source> current_source() {
    if (registry_namespace == nullptr) [[unlikely]] {
        Outcome<Done> prepared = prepare_lookup();
        if (!prepared.ok()) return std::move(prepared.error());
    }
    PyObject* found = PyDict_GetItemWithError(registry_namespace, attribute_name);
    if (found == adopted_capsule && found != nullptr) [[likely]]
        return Source{OwnedRef::adding(found), adopted_table};
    return adopt(found);
}

[[noreturn, gnu::cold, gnu::noinline]] void borrow_refused(
    int code, std::source_location where = std::source_location::current()) {
    if (code == -1) panic("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed", where);
    panic("Unexpected return code " + std::to_string(code) + " from borrow checking API", where);
}

}  // namespace

Outcome<SharedBorrow> SharedBorrow::acquiring(std::uintptr_t begin, std::uintptr_t end) {
    Outcome<Source> source = current_source();
    if (!source.ok()) [[unlikely]]
        return std::move(source.error());
    const VuviridaBorrowTable& table = *source.value().table;
    check_usable(table);
    // Read before the call, which may run code that changes the table.
    const Release release = table.release_shared;
    void* const state = table.state;
    const int code = table.acquire_shared(state, begin, end);
    if (code != 0) [[unlikely]]
        borrow_refused(code);
    return SharedBorrow(std::move(source.value().capsule), release, state, begin, end);
}

}  // namespace vuvirida::frame
