#include "frame/borrow.hpp"

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "frame/abort.hpp"
#include "frame/numpy_api.hpp"

namespace vuvirida::frame {

namespace {

// Keeps up to kKept freed nodes of the registry's trees for reuse, so that a
// call's borrow, taken and released, allocates nothing once the registry has
// been used, and a registry that held many borrows keeps little memory after
// they are released. Calls arrive under the interpreter lock.
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

    bool overlaps(Address begin, Address end) const noexcept {
        const Node* node = root_;
        while (node != nullptr) {
            if (node->begin < end && begin < node->end) return true;
            // When some range on the left ends after `begin` but none there
            // overlaps, that one begins at or after `end`, and so does every
            // range to the right of it.
            node = reach(node->left) > begin ? node->left : node->right;
        }
        return false;
    }

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

    static Address reach(const Node* node) noexcept { return node == nullptr ? 0 : node->reach; }
    static void update(Node* node) noexcept {
        node->reach = std::max({node->end, reach(node->left), reach(node->right)});
    }
    static bool before(Address begin, Address end, const Node* node) noexcept {
        return begin < node->begin || (begin == node->begin && end < node->end);
    }

    // One more hold on the node of [begin, end), made when there is none,
    // the subtree kept a heap by priority (the root's the highest). Nothing
    // changes before the new node exists.
    Node* hold(Node* root, Address begin, Address end) {
        if (root == nullptr) {
            return ::new (static_cast<void*>(std::allocator_traits<Nodes>::allocate(nodes_, 1)))
                Node{begin, end, 1, end, next_priority(), nullptr, nullptr};
        }
        if (root->begin == begin && root->end == end) {
            ++root->count;
            return root;
        }
        const bool left = before(begin, end, root);
        Node* Node::*const side = left ? &Node::left : &Node::right;
        root->*side = hold(root->*side, begin, end);
        if ((root->*side)->priority > root->priority)
            root = lift(root, side, left ? &Node::right : &Node::left);
        update(root);
        return root;
    }

    Node* release(Node* root, Address begin, Address end) noexcept {
        if (root == nullptr) return nullptr;
        if (root->begin == begin && root->end == end) {
            if (--root->count > 0) return root;
            Node* joined = join(root->left, root->right);
            std::allocator_traits<Nodes>::deallocate(nodes_, root, 1);
            return joined;
        }
        Node*& child = before(begin, end, root) ? root->left : root->right;
        child = release(child, begin, end);
        update(root);
        return root;
    }

    // Every range of `left` comes before every range of `right`.
    static Node* join(Node* left, Node* right) noexcept {
        if (left == nullptr) return right;
        if (right == nullptr) return left;
        if (left->priority > right->priority) {
            left->right = join(left->right, right);
            update(left);
            return left;
        }
        right->left = join(left, right->left);
        update(right);
        return right;
    }

    // A rotation: the child on `side` of `node` takes its place, with `node`
    // as its child on the `other` side.
    static Node* lift(Node* node, Node* Node::*side, Node* Node::*other) noexcept {
        Node* up = node->*side;
        node->*side = up->*other;
        up->*other = node;
        update(node);
        return up;
    }

    // xorshift64: priorities independent of the ranges, so that no order of
    // borrows makes the tree deep.
    std::uint64_t next_priority() noexcept {
        seed_ ^= seed_ << 13;
        seed_ ^= seed_ >> 7;
        seed_ ^= seed_ << 17;
        return seed_;
    }

    Node* root_ = nullptr;
    std::uint64_t seed_ = 0x9e3779b97f4a7c15;
    [[no_unique_address]] Nodes nodes_;
};

// This module's own registry. Calls arrive under the interpreter lock. Empty
// ranges overlap nothing and are not stored, so their acquires always succeed
// and their releases change nothing. Each call costs a logarithm of the
// number of borrows held, however many there are.
struct Registry {
    using Address = std::uintptr_t;

    // Writeable borrows, by begin to end. They never overlap each other or a
    // shared borrow.
    std::map<Address, Address, std::less<>, Recycling<std::pair<const Address, Address>>> writeable;
    SharedRanges shared;

    bool overlaps_writeable(Address begin, Address end) const {
        // The last writeable borrow beginning before `end` reaches furthest
        // of all that do, as they never overlap each other.
        auto after = writeable.lower_bound(end);
        return after != writeable.begin() && std::prev(after)->second > begin;
    }

    int acquire_shared(Address begin, Address end) {
        if (begin >= end) return 0;
        if (overlaps_writeable(begin, end)) return -1;
        try {
            shared.hold(begin, end);
        } catch (const std::bad_alloc&) {
            return -2;
        }
        return 0;
    }

    int acquire_writeable(Address begin, Address end) {
        if (begin >= end) return 0;
        if (overlaps_writeable(begin, end) || shared.overlaps(begin, end)) return -1;
        try {
            writeable.emplace(begin, end);
        } catch (const std::bad_alloc&) {
            return -2;
        }
        return 0;
    }

    void release_shared(Address begin, Address end) { shared.release(begin, end); }

    // A release that names no borrow held changes nothing.
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
