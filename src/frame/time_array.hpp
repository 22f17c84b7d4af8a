// The rule every time array meets, in one place: one dimension, a dtype
// equivalent to float64, and samples contiguous in memory. Conversion checks
// the first two with their TypeErrors; the array exchange reads the samples
// through a view that holds to the whole rule, and reads it again after any
// Python code may have changed the array in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "frame/error.hpp"
#include "frame/numpy_api.hpp"
#include "lib/generators.hpp"

namespace vuvirida::frame {

// One dimension and the descriptor `descr`, whose equivalence to float64 is
// already known; samples contiguous with a data pointer, whose byte range
// [data, data + 8 n) does not wrap around the address space.
inline bool holds_to_rule(const ArrayFields* fields, PyObject* descr) noexcept {
    if (fields->nd != 1 || fields->descr != descr) return false;
    const auto n = static_cast<std::size_t>(fields->dimensions[0]);
    const auto data = reinterpret_cast<std::uintptr_t>(fields->data);
    return (fields->flags & (kNpyArrayCContiguous | kNpyArrayFContiguous)) != 0 && data != 0 &&
           n <= (std::numeric_limits<std::uintptr_t>::max() - data) / sizeof(double);
}

// For conversion, an array known to be a NumPy array: one dimension and a
// dtype equivalent to float64, else the TypeError that names the difference.
Outcome<Done> check_time_array(PyObject* array);

// The samples of a time array as read at one moment. The view holds a
// reference to the array's descriptor, so that no other descriptor can be
// made at its address while Python code runs: an array that still has that
// very descriptor still has the dtype that was checked.
class TimeView {
  public:
    // The view of `time` as it is now: at once when it has NumPy's own float64
    // descriptor; otherwise the whole rule is checked, and a time array that
    // breaks it gives its conversion's TypeError, or aborts with
    // NotContiguousError when its samples are not contiguous in memory.
    static Outcome<TimeView> reading(PyObject* time) {
        const ArrayFields* fields = array_fields(time);
        if (holds_to_rule(fields, float64_descr())) [[likely]]
            return TimeView(fields);
        return reading_checked(time);
    }

    // Whether `time` still has exactly this view.
    bool still_of(PyObject* time) const noexcept {
        const ArrayFields* fields = array_fields(time);
        return holds_to_rule(fields, descr_.get()) && fields->data == data_ &&
               static_cast<std::size_t>(fields->dimensions[0]) == n_;
    }

    std::size_t size() const noexcept { return n_; }
    lib::Samples samples() const noexcept { return {reinterpret_cast<const std::byte*>(data_)}; }
    // The bytes the samples occupy, [begin, end).
    std::uintptr_t begin() const noexcept { return reinterpret_cast<std::uintptr_t>(data_); }
    std::uintptr_t end() const noexcept { return begin() + n_ * sizeof(double); }

  private:
    explicit TimeView(const ArrayFields* fields) noexcept
        : data_(fields->data),
          n_(static_cast<std::size_t>(fields->dimensions[0])),
          descr_(OwnedRef::adding(fields->descr)) {}
    [[gnu::cold, gnu::noinline]] static Outcome<TimeView> reading_checked(PyObject* time);

    const char* data_;
    std::size_t n_;
    OwnedRef descr_;
};

}  // namespace vuvirida::frame
