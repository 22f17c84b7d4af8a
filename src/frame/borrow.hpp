// The registry of array borrows, shared by every extension module in the
// process that knows its table.
//
// The registry is published as a capsule named "vuvirida.borrow_registry"
// under the attribute `_vuvirida_borrow_registry` of the NumPy module that
// provides `_ARRAY_API`. The first module to borrow installs its own registry
// there; later ones, and later copies of this module, find it and use it.
//
// Borrows are keyed by the memory they cover, as a half-open byte range.
// Shared borrows coexist with each other; a shared borrow is refused while a
// writeable borrow of overlapping memory is held, and a writeable borrow is
// refused while any borrow of overlapping memory is held. An empty range
// overlaps nothing.
#pragma once

#include <cstdint>

#include "frame/python.hpp"

extern "C" {

// Version 1 of the shared table. Acquire calls return 0 when the borrow is
// taken and -1 when it is refused; any other value is a failure of the
// registry itself. A release names the same range as its acquire.
struct VuviridaBorrowTable {
    std::uint64_t version;
    void* state;
    int (*acquire_shared)(void* state, std::uintptr_t begin, std::uintptr_t end);
    int (*acquire_writeable)(void* state, std::uintptr_t begin, std::uintptr_t end);
    void (*release_shared)(void* state, std::uintptr_t begin, std::uintptr_t end);
    void (*release_writeable)(void* state, std::uintptr_t begin, std::uintptr_t end);
};
}

namespace vuvirida::frame {

inline constexpr std::uint64_t kBorrowTableVersion = 1;
inline constexpr const char* kBorrowCapsuleName = "vuvirida.borrow_registry";
inline constexpr const char* kBorrowAttribute = "_vuvirida_borrow_registry";

// A shared borrow of a time array's memory, released when the owner goes.
class SharedBorrow {
  public:
    // Takes a shared borrow of the bytes [begin, end) or aborts:
    // AlreadyBorrowed when the registry refuses it, an internal registry error
    // when the registry cannot be used.
    static SharedBorrow acquiring(std::uintptr_t begin, std::uintptr_t end);

    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { table_->release_shared(table_->state, begin_, end_); }

  private:
    SharedBorrow(const VuviridaBorrowTable* table, std::uintptr_t begin,
                 std::uintptr_t end) noexcept
        : table_(table), begin_(begin), end_(end) {}
    const VuviridaBorrowTable* table_;
    std::uintptr_t begin_;
    std::uintptr_t end_;
};

}  // namespace vuvirida::frame
