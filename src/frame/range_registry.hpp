// The module's own registry of borrowed memory: which byte ranges are held
// by shared borrows and which by writeable ones, and whether a new borrow
// may be taken. It knows nothing of the interpreter, nor of threads: its
// callers make one call at a time. borrow.cpp publishes it to other
// extensions through the capsule table, whose entries see to that (under the
// GIL, or a lock of their own on a free-threaded build).
//
// Ranges are half-open, [begin, end). Shared borrows coexist with each
// other; a shared borrow is refused while a writeable borrow of overlapping
// memory is held, and a writeable borrow is refused while any borrow of
// overlapping memory is held. Empty ranges overlap nothing and are not
// stored, so their acquires always succeed and their releases change nothing.
// Each call costs a logarithm of the number of borrows held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <utility>

namespace vuvirida::frame {

// Keeps up to kKept freed nodes of the registry's trees for reuse, so that a
// call's borrow, taken and released, allocates nothing once the registry has
// been used, and a registry that held many borrows keeps little memory after
// they are released. Not safe for concurrent use: the registry's calls come
// one at a time, and the process has one registry.
template <class T>
class Recycling {
  public:
    using value_type = T;
    Recycling() noexcept = default;
    template <class U>
    Recycling(const Recycling<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n == 1 && kept != nullptr) {
            Free* node = std::exchange(kept, kept->next);
            --kept_count;
            node->~Free();
            return reinterpret_cast<T*>(node);
        }
        return std::allocator<T>{}.allocate(n);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (n == 1 && kept_count < kKept) {
            kept = ::new (static_cast<void*>(p)) Free{kept};
            ++kept_count;
            return;
        }
        std::allocator<T>{}.deallocate(p, n);
    }

    friend bool operator==(const Recycling&, const Recycling&) noexcept { return true; }

  private:
    struct Free {
        Free* next;
    };
    static_assert(sizeof(T) >= sizeof(Free) && alignof(T) >= alignof(Free));
    static constexpr std::size_t kKept = 64;
    static inline Free* kept = nullptr;
    static inline std::size_t kept_count = 0;
};

// Shared borrows held: a treap ordered by range, one node per range with the
// number of times it is held. Each node also knows the furthest end in its
// subtree, so that an overlap is found along one path from the root.
class SharedRanges {
  public:
    using Address = std::uintptr_t;

    bool overlaps(Address begin, Address end) const noexcept;

    // Holds [begin, end) once more. May throw std::bad_alloc, changing nothing.
    void hold(Address begin, Address end) { root_ = hold(root_, begin, end); }

    // A release of a range not held changes nothing.
    void release(Address begin, Address end) noexcept { root_ = release(root_, begin, end); }

  private:
    struct Node {
        Address begin;
        Address end;
        std::size_t count;
        Address reach;  // the furthest end in this subtree
        std::uint64_t priority;
        Node* left;
        Node* right;
    };
    using Nodes = Recycling<Node>;

    static Address reach(const Node* node) noexcept;
    static void update(Node* node) noexcept;
    static bool before(Address begin, Address end, const Node* node) noexcept;

    Node* hold(Node* root, Address begin, Address end);
    Node* release(Node* root, Address begin, Address end) noexcept;
    static Node* join(Node* left, Node* right) noexcept;
    static Node* lift(Node* node, Node* Node::*side, Node* Node::*other) noexcept;
    std::uint64_t next_priority() noexcept;

    Node* root_ = nullptr;
    std::uint64_t seed_ = 0x9e3779b97f4a7c15;
    [[no_unique_address]] Nodes nodes_;
};

class RangeRegistry {
  public:
    using Address = std::uintptr_t;

    // 0 when the borrow is taken, -1 when it is refused, -2 when memory for
    // it cannot be had.
    int acquire_shared(Address begin, Address end);
    int acquire_writeable(Address begin, Address end);

    // A release names the range of its acquire; one that names no borrow
    // held changes nothing.
    void release_shared(Address begin, Address end) noexcept { shared_.release(begin, end); }
    void release_writeable(Address begin, Address end);

  private:
    bool overlaps_writeable(Address begin, Address end) const;

    // Writeable borrows, by begin to end. They never overlap each other or a
    // shared borrow.
    std::map<Address, Address, std::less<>, Recycling<std::pair<const Address, Address>>>
        writeable_;
    SharedRanges shared_;
};

}  // namespace vuvirida::frame
