#include "frame/range_registry.hpp"

#include <algorithm>
#include <iterator>

namespace vuvirida::frame {

SharedRanges::Address SharedRanges::reach(const Node* node) noexcept {
    return node == nullptr ? 0 : node->reach;
}

void SharedRanges::update(Node* node) noexcept {
    node->reach = std::max({node->end, reach(node->left), reach(node->right)});
}

bool SharedRanges::before(Address begin, Address end, const Node* node) noexcept {
    return begin < node->begin || (begin == node->begin && end < node->end);
}

bool SharedRanges::overlaps(Address begin, Address end) const noexcept {
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

// One more hold on the node of [begin, end), made when there is none, the
// subtree kept a heap by priority (the root's the highest). Nothing changes
// before the new node exists.
SharedRanges::Node* SharedRanges::hold(Node* root, Address begin, Address end) {
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

SharedRanges::Node* SharedRanges::release(Node* root, Address begin, Address end) noexcept {
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
SharedRanges::Node* SharedRanges::join(Node* left, Node* right) noexcept {
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

// A rotation: the child on `side` of `node` takes its place, with `node` as
// its child on the `other` side.
SharedRanges::Node* SharedRanges::lift(Node* node, Node* Node::*side, Node* Node::*other) noexcept {
    Node* up = node->*side;
    node->*side = up->*other;
    up->*other = node;
    update(node);
    return up;
}

// xorshift64: priorities independent of the ranges, so that no order of
// borrows makes the tree deep.
std::uint64_t SharedRanges::next_priority() noexcept {
    seed_ ^= seed_ << 13;
    seed_ ^= seed_ >> 7;
    seed_ ^= seed_ << 17;
    return seed_;
}

bool RangeRegistry::overlaps_writeable(Address begin, Address end) const {
    // The last writeable borrow beginning before `end` reaches furthest of
    // all that do, as they never overlap each other.
    auto after = writeable_.lower_bound(end);
    return after != writeable_.begin() && std::prev(after)->second > begin;
}

int RangeRegistry::acquire_shared(Address begin, Address end) {
    if (begin >= end) return 0;
    if (overlaps_writeable(begin, end)) return -1;
    try {
        shared_.hold(begin, end);
    } catch (const std::bad_alloc&) {
        return -2;
    }
    return 0;
}

int RangeRegistry::acquire_writeable(Address begin, Address end) {
    if (begin >= end) return 0;
    if (overlaps_writeable(begin, end) || shared_.overlaps(begin, end)) return -1;
    try {
        writeable_.emplace(begin, end);
    } catch (const std::bad_alloc&) {
        return -2;
    }
    return 0;
}

void RangeRegistry::release_writeable(Address begin, Address end) {
    auto held = writeable_.find(begin);
    if (held != writeable_.end() && held->second == end) writeable_.erase(held);
}

}  // namespace vuvirida::frame
