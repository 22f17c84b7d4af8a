// The registry of array borrows, shared by every extension module in the
// process that knows its table.
//
// The registry is published as a capsule named "vuvirida.borrow_registry"
// under the attribute `_vuvirida_borrow_registry` of the NumPy module that
// provides `_ARRAY_API`. Every borrow reads that attribute from the module's
// namespace: the first module to borrow installs its own registry there, and
// later ones, and later copies of this module, find it and use it. A table
// installed in its place later is adopted at the next borrow; when the
// attribute is gone, this module installs its own again.
//
// Borrows are keyed by the memory they cover, as a half-open byte range.
// Shared borrows coexist with each other; a shared borrow is refused while a
// writeable borrow of overlapping memory is held, and a writeable borrow is
// refused while any borrow of overlapping memory is held. An empty range
// overlaps nothing.
#pragma once

#include <cstdint>
#include <utility>

#include "frame/error.hpp"
#include "frame/python.hpp"
#include "frame/refs.hpp"
#include "frame/thread_exit.hpp"

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

// A shared borrow of a time array's memory, released when the owner goes,
// through the very table it was taken from: the owner keeps that table's
// capsule alive, whatever happens to the attribute in between.
class SharedBorrow {
  public:
    // Takes a shared borrow of the bytes [begin, end). An exception that is
    // not an ordinary Exception (KeyboardInterrupt, SystemExit), raised by
    // Python code while the registry is looked up, is returned as an error.
    // Aborts with AlreadyBorrowed when the registry refuses the borrow, and
    // with an internal registry error when the registry cannot be used.
    static Outcome<SharedBorrow> acquiring(std::uintptr_t begin, std::uintptr_t end);

    SharedBorrow(SharedBorrow&& other) noexcept
        : capsule_(std::move(other.capsule_)),
          release_(std::exchange(other.release_, nullptr)),
          state_(other.state_),
          begin_(other.begin_),
          end_(other.end_) {}
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    // A peer's release may run Python code (thread_exit.hpp).
    ~SharedBorrow() {
        if (release_ != nullptr) parking_on_thread_exit([this] { release_(state_, begin_, end_); });
    }

  private:
    using Release = void (*)(void* state, std::uintptr_t begin, std::uintptr_t end);
    SharedBorrow(OwnedRef capsule, Release release, void* state, std::uintptr_t begin,
                 std::uintptr_t end) noexcept
        : capsule_(std::move(capsule)),
          release_(release),
          state_(state),
          begin_(begin),
          end_(end) {}
    // The release entry and state as the table had them when the borrow was
    // taken; the capsule, which owns the table, is let go after the release.
    OwnedRef capsule_;
    Release release_;
    void* state_;
    std::uintptr_t begin_;
    std::uintptr_t end_;
};

}  // namespace vuvirida::frame
