// Process-wide values made on first need and kept until the process ends: the
// NumPy table, the float64 descriptor, the abort exception type, interned
// names, the registry's own capsule.
//
// Several threads can meet the first need at once. With the GIL, making the
// value may run Python code that lets the lock go (an import, a finaliser
// run by an allocation); on a free-threaded build the threads simply run
// side by side. So each thread that finds nothing published makes a value of
// its own and offers it: the first offer is kept, every later one is given
// the kept value instead and drops its own. The pointer is read with acquire
// order and offered with release order, so a thread that reads it also sees
// whatever was written before it was published.
#pragma once

#include <atomic>

#include "frame/python.hpp"
#include "frame/refs.hpp"

namespace vuvirida::frame {

template <class T>
class Published {
  public:
    constexpr Published() noexcept = default;
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    // What is published, or null.
    T* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // Publishes `made` when nothing is published yet and returns what is
    // published afterwards: `made`, or the value another thread published
    // first, in which case `made` is still the caller's.
    T* offer(T* made) noexcept {
        T* kept = nullptr;
        if (value_.compare_exchange_strong(kept, made, std::memory_order_acq_rel,
                                           std::memory_order_acquire))
            return made;
        return kept;
    }

  private:
    std::atomic<T*> value_{nullptr};
};

// Offers a new reference (nothing when `made` is null, which then stays
// pending as the interpreter's failure): the published object is kept with
// that reference for the rest of the process, and a losing one is released.
inline PyObject* offer_new(Published<PyObject>& slot, PyObject* made) noexcept {
    if (made == nullptr) return nullptr;
    OwnedRef offered = OwnedRef::taking(made);
    PyObject* kept = slot.offer(made);
    if (kept == made) (void)offered.give_up();
    return kept;
}

// The interned str of `text`, made on first need; null with the failure
// pending when it cannot be made, and then tried again next time.
inline PyObject* interned(Published<PyObject>& slot, const char* text) noexcept {
    if (PyObject* name = slot.get()) [[likely]]
        return name;
    return offer_new(slot, PyUnicode_InternFromString(text));
}

}  // namespace vuvirida::frame
