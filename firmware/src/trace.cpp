#include "firmware/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace firmware {

namespace {
std::atomic<bool> traceOn{false};
}

void SetFirmwareTrace(bool on) {
    traceOn.store(on, std::memory_order_relaxed);
}

bool FirmwareTraceOn() {
    return traceOn.load(std::memory_order_relaxed);
}

void FirmwareTrace(const char* format, ...) {
    if (!FirmwareTraceOn()) return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    // The lines start rather than end with their line break; flush so each shows at once.
    std::fflush(stdout);
}

} // namespace firmware
