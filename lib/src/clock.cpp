// Monotonic millisecond clock for every time-out of the library.
#include "internal.h"

#include <ctime>

namespace nli {

uint32_t clockMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

} // namespace nli
