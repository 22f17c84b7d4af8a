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

#include "frame/borrow.hpp"
#include "frame/error.hpp"
#include "frame/numpy_api.hpp"
#include "frame/time_array.hpp"
#include "lib/generators.hpp"

namespace vuvirida::frame {

// A new float64 array of n samples that owns its memory. NumPy's MemoryError
// is returned as an error; any other failure is printed and aborts.
Outcome<OwnedRef> new_result_array(std::size_t n);

inline double* result_data(PyObject* result) noexcept {
    return reinterpret_cast<double*>(array_fields(result)->data);
}

// The generator's poll: runs pending signal handlers, and stops the generator
// when one raised or when the time array changed under it.
//
// On a free-threaded build the generator also runs without its thread state
// from its first poll on, taking it back for each poll: the interpreter
// stops every thread now and then (for a garbage collection, a fork, the GIL
// switched back on by an import), and a thread counts as stopped only while
// it has no thread state or runs Python code. So a long call holds those up
// for one poll's interval at most, not for the rest of the call.
struct Watch {
    enum class Stop { none, raised, changed };
    PyObject* time;
    const TimeView& view;
    Stop stop = Stop::none;
#ifdef Py_GIL_DISABLED
    PyThreadState* detached = nullptr;
    // Takes the thread state back, if the poll let it go.
    void attach() noexcept;
#else
    void attach() noexcept {}
#endif

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
        Outcome<TimeView> read_now = TimeView::reading(time);
        if (!read_now.ok()) [[unlikely]]
            return std::move(read_now.error());
        const TimeView& v = read_now.value();
        Outcome<SharedBorrow> borrow = SharedBorrow::acquiring(v.begin(), v.end());
        if (!borrow.ok()) [[unlikely]]
            return std::move(borrow.error());
        Outcome<OwnedRef> result = new_result_array(v.size());
        if (!result.ok()) [[unlikely]]
            return result;
        if (!v.still_of(time)) [[unlikely]]
            continue;
        Watch watch{time, v};
        const bool done =
            kernel(v.samples(), v.size(), result_data(result.value().get()), watch.interruption());
        watch.attach();
        if (done) [[likely]]
            return result;
        if (watch.stop == Watch::Stop::raised) return Error::fetch();
    }
    kept_changing();
}

}  // namespace vuvirida::frame
