#include "frame/borrow.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "frame/abort.hpp"
#include "frame/numpy_api.hpp"
#include "frame/refs.hpp"

namespace vuvirida::frame {

namespace {

struct Held {
    std::uintptr_t begin;
    std::uintptr_t end;
    bool writeable;
    std::size_t count;  // shared borrows of exactly this range
};

// This module's own registry. Calls arrive under the interpreter lock.
struct Registry {
    std::vector<Held> held;

    // Two ranges overlap when they share a byte; an empty range shares none.
    bool conflicts(std::uintptr_t begin, std::uintptr_t end, bool with_shared) const {
        if (begin >= end) return false;
        return std::any_of(held.begin(), held.end(), [&](const Held& h) {
            return (with_shared || h.writeable) && h.begin < h.end && h.begin < end &&
                   begin < h.end;
        });
    }
};

int acquire_shared(void* state, std::uintptr_t begin, std::uintptr_t end) {
    auto& registry = *static_cast<Registry*>(state);
    if (registry.conflicts(begin, end, false)) return -1;
    for (Held& h : registry.held) {
        if (!h.writeable && h.begin == begin && h.end == end) {
            ++h.count;
            return 0;
        }
    }
    try {
        registry.held.push_back({begin, end, false, 1});
    } catch (const std::bad_alloc&) {
        return -2;
    }
    return 0;
}

int acquire_writeable(void* state, std::uintptr_t begin, std::uintptr_t end) {
    auto& registry = *static_cast<Registry*>(state);
    if (registry.conflicts(begin, end, true)) return -1;
    try {
        registry.held.push_back({begin, end, true, 1});
    } catch (const std::bad_alloc&) {
        return -2;
    }
    return 0;
}

void release(Registry& registry, std::uintptr_t begin, std::uintptr_t end, bool writeable) {
    auto& held = registry.held;
    for (auto it = held.begin(); it != held.end(); ++it) {
        if (it->writeable == writeable && it->begin == begin && it->end == end) {
            if (--it->count == 0) {
                *it = held.back();
                held.pop_back();
            }
            return;
        }
    }
}

void release_shared(void* state, std::uintptr_t begin, std::uintptr_t end) {
    release(*static_cast<Registry*>(state), begin, end, false);
}

void release_writeable(void* state, std::uintptr_t begin, std::uintptr_t end) {
    release(*static_cast<Registry*>(state), begin, end, true);
}

Registry own_registry;
VuviridaBorrowTable own_table{kBorrowTableVersion, &own_registry,   &acquire_shared,
                              &acquire_writeable,  &release_shared, &release_writeable};

const VuviridaBorrowTable* registry_table = nullptr;

[[noreturn, gnu::cold, gnu::noinline]] void registry_failed(
    const std::string& what, std::source_location where = std::source_location::current()) {
    PyErr_Clear();
    panic("Interal borrow checking API error: " + what, where);
}

// Finds the process's registry on the NumPy module, or installs this module's
// own there. Only a usable registry is remembered.
[[gnu::cold, gnu::noinline]] const VuviridaBorrowTable* find_or_install() {
    PyObject* module = numpy_api().module;
    OwnedRef found = OwnedRef::taking(PyObject_GetAttrString(module, kBorrowAttribute));
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            registry_failed("the registry attribute cannot be read");
        }
        PyErr_Clear();
        own_registry.held.reserve(8);
        OwnedRef capsule = OwnedRef::taking(PyCapsule_New(&own_table, kBorrowCapsuleName, nullptr));
        if (!capsule || PyObject_SetAttrString(module, kBorrowAttribute, capsule.get()) != 0) {
            registry_failed("the registry cannot be installed");
        }
        registry_table = &own_table;
        return registry_table;
    }
    if (!PyCapsule_IsValid(found.get(), kBorrowCapsuleName)) {
        registry_failed("the registry attribute is not a borrow registry capsule");
    }
    auto* table = static_cast<const VuviridaBorrowTable*>(
        PyCapsule_GetPointer(found.get(), kBorrowCapsuleName));
    if (table->version != kBorrowTableVersion) {
        registry_failed("the registry has version " + std::to_string(table->version) +
                        ", this module uses version " + std::to_string(kBorrowTableVersion));
    }
    // The capsule stays on the NumPy module, which lives for the process.
    registry_table = table;
    return registry_table;
}

[[noreturn, gnu::cold, gnu::noinline]] void borrow_refused(
    int code, std::source_location where = std::source_location::current()) {
    if (code == -1) panic("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed", where);
    panic("Unexpected return code " + std::to_string(code) + " from borrow checking API", where);
}

}  // namespace

SharedBorrow SharedBorrow::acquiring(std::uintptr_t begin, std::uintptr_t end) {
    const VuviridaBorrowTable* table = registry_table ? registry_table : find_or_install();
    const int code = table->acquire_shared(table->state, begin, end);
    if (code != 0) [[unlikely]]
        borrow_refused(code);
    return SharedBorrow(table, begin, end);
}

}  // namespace vuvirida::frame
