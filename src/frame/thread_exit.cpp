// Parking a thread that the interpreter ends inside a call.
#include "frame/thread_exit.hpp"

#include <chrono>
#include <thread>

namespace vuvirida::frame {

void park_for_exit() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace vuvirida::frame
