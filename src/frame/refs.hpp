// Owners of interpreter references. The name of every constructor says how
// ownership arrives, and `give_up` says where it leaves, so that each
// reference is released exactly once, on every path, in reverse order of
// taking (C++ destroys locals in reverse order of construction).
#pragma once

#include <utility>

#include "frame/python.hpp"
#include "frame/thread_exit.hpp"

namespace vuvirida::frame {

class OwnedRef {
  public:
    OwnedRef() noexcept = default;

    // Takes over a new reference, as returned by most interpreter calls. A
    // null pointer is allowed and gives an empty owner.
    static OwnedRef taking(PyObject* new_reference) noexcept { return OwnedRef(new_reference); }

    // Adds a reference of our own to an object borrowed from someone else.
    static OwnedRef adding(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return OwnedRef(borrowed);
    }

    // A new reference to the item of `dict` under `key`, taken as the dict
    // holds it, so that another thread that replaces the item meanwhile
    // cannot free it first. Empty when there is none, and then with the
    // interpreter's failure pending if the lookup failed (a key's __eq__).
    static OwnedRef item_of(PyObject* dict, PyObject* key) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
        PyObject* item = nullptr;
        (void)PyDict_GetItemRef(dict, key, &item);
        return OwnedRef(item);
#else
        return adding(PyDict_GetItemWithError(dict, key));
#endif
    }

    OwnedRef(OwnedRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        OwnedRef dropped(std::move(*this));
        ptr_ = std::exchange(other.ptr_, nullptr);
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() {
        if (ptr_ != nullptr) release(ptr_);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    // Hands the reference to the caller, who becomes responsible for it.
    [[nodiscard]] PyObject* give_up() noexcept { return std::exchange(ptr_, nullptr); }

  private:
    explicit OwnedRef(PyObject* ptr) noexcept : ptr_(ptr) {}

    // Releasing the last reference frees the object, which may run Python
    // code (a finaliser) that lets the interpreter lock go: the thread may be
    // ended there (thread_exit.hpp), and a destructor may not throw.
    static void release(PyObject* object) noexcept {
        if (Py_REFCNT(object) > 1) [[likely]] {
            Py_DECREF(object);
            return;
        }
        parking_on_thread_exit([object] { Py_DECREF(object); });
    }

    PyObject* ptr_ = nullptr;
};

}  // namespace vuvirida::frame
