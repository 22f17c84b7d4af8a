// The array exchange around every generator: the time array checked as it is
// at that moment, a shared borrow of its samples, the result array, and the
// generator writing straight into the result's memory.
//
// Python code can run in the middle of a call: an argument's __float__ or
// __index__ while the scalars are converted, a registry peer's callback while
// the borrow is taken, a signal handler while the generator polls for Ctrl-C.
// Any of it may change the time array in place (its shape, its dtype, its
// memory). So the exchange relies on nothing it has not read itself after the
// last such code ran: it reads the view, takes the borrow and makes the result,
// then reads the array again and goes round once more if anything moved; and
// it reads it again after every poll that may have run a signal handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "frame/borrow.hpp"
#include "frame/error.hpp"
#include "frame/numpy_api.hpp"
#include "lib/generators.hpp"

namespace vuvirida::frame {

// The samples of a time array as read at one moment.
struct ContiguousView {
    const char* data = nullptr;
    std::size_t n = 0;
    PyObject* descr = nullptr;

    lib::Samples samples() const noexcept { return {reinterpret_cast<const std::byte*>(data)}; }
    // The bytes the samples occupy, [begin, end).
    std::uintptr_t begin() const noexcept { return reinterpret_cast<std::uintptr_t>(data); }
    std::uintptr_t end() const noexcept { return begin() + n * sizeof(double); }
};

// Contiguous samples with a data pointer, whose byte range [data, data + 8 n)
// does not wrap around the address space.
inline bool contiguous(const ArrayFields* fields) noexcept {
    const auto n = static_cast<std::size_t>(fields->dimensions[0]);
    const auto data = reinterpret_cast<std::uintptr_t>(fields->data);
    return (fields->flags & (kNpyArrayCContiguous | kNpyArrayFContiguous)) != 0 && data != 0 &&
           n <= (std::numeric_limits<std::uintptr_t>::max() - data) / sizeof(double);
}

// The time array's view as read now, whatever the reason it fails: a
// TypeError, as its conversion gives, when it no longer has one dimension and
// a float64 dtype; an abort with NotContiguousError when its samples are not
// contiguous in memory or do not fit in the address space.
[[gnu::cold, gnu::noinline]] Outcome<ContiguousView> checked_view(PyObject* time);

// Reads the time array's view as it is now into `view`, when the array is
// the usual one: one dimension, NumPy's own float64 descriptor, contiguous.
// Any other array goes through checked_view.
inline bool usual_view(PyObject* time, ContiguousView& view) noexcept {
    const ArrayFields* fields = array_fields(time);
    if (fields->nd != 1 || fields->descr != float64_descr() || !contiguous(fields)) [[unlikely]]
        return false;
    view = {fields->data, static_cast<std::size_t>(fields->dimensions[0]), fields->descr};
    return true;
}

// Whether the array still has exactly the view that was read.
inline bool unchanged(PyObject* time, const ContiguousView& view) noexcept {
    const ArrayFields* fields = array_fields(time);
    return fields->nd == 1 && fields->descr == view.descr && contiguous(fields) &&
           fields->data == view.data && static_cast<std::size_t>(fields->dimensions[0]) == view.n;
}

// A new float64 array of n samples that owns its memory. NumPy's MemoryError
// is returned as an error; any other failure is printed and aborts.
Outcome<OwnedRef> new_result_array(std::size_t n);

inline double* result_data(PyObject* result) noexcept {
    return reinterpret_cast<double*>(array_fields(result)->data);
}

// The generator's poll: runs pending signal handlers, and stops the generator
// when one raised or when the time array changed under it.
struct Watch {
    enum class Stop { none, raised, changed };
    PyObject* time;
    ContiguousView view;
    Stop stop = Stop::none;

    static bool poll(void* watch) noexcept;
    lib::Interruption interruption() noexcept { return {&Watch::poll, this}; }
};

// A time array that changed this many times in one call aborts the call.
inline constexpr int kMaxReads = 8;
[[noreturn, gnu::cold, gnu::noinline]] void kept_changing();

// Runs `kernel(samples, n, out, interruption)` over the time array and
// returns the result array. The borrow is held until the result is complete
// and released on every way out, after the result array (if any) stopped
// being touched; a result that was not completed is never returned.
template <class Kernel>
Outcome<OwnedRef> exchange(PyObject* time, Kernel&& kernel) {
    for (int read = 0; read < kMaxReads; ++read) {
        ContiguousView v;
        if (!usual_view(time, v)) [[unlikely]] {
            Outcome<ContiguousView> checked = checked_view(time);
            if (!checked.ok()) return std::move(checked.error());
            v = checked.value();
        }
        const SharedBorrow borrow = SharedBorrow::acquiring(v.begin(), v.end());
        Outcome<OwnedRef> result = new_result_array(v.n);
        if (!result.ok()) [[unlikely]]
            return result;
        if (!unchanged(time, v)) [[unlikely]]
            continue;
        Watch watch{time, v};
        if (kernel(v.samples(), v.n, result_data(result.value().get()), watch.interruption()))
            [[likely]]
            return result;
        if (watch.stop == Watch::Stop::raised) return Error::fetch();
    }
    kept_changing();
}

}  // namespace vuvirida::frame
