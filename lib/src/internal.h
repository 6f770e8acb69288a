// Internal interfaces shared by the library's source files. Nothing here is exported.
#pragma once

#include "nli.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nli {

// Little-endian field access on wire buffers.
inline uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void putU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void putU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline bool failed(int32_t result) { return NLI_FAILED(result); }

// Link layer (one file per link kind, dispatched on the transport's kind).
int32_t linkOpen(NLITransport* transport, NLIDevice* device);
int32_t linkClose(NLIDevice* device);
int32_t linkSend(NLIDevice* device, const uint8_t* bytes, uint16_t length);
// At most one packet; sockets never wait. length: in capacity, out received (0 = nothing).
int32_t linkReceive(NLIDevice* device, uint8_t* buffer, uint16_t* length);
// Blocks until the device's link has something to read or timeoutMs passes (no spinning).
void linkWaitReadable(NLIDevice* device, uint32_t timeoutMs);

// Monotonic millisecond clock; callers compare low-32-bit differences.
uint32_t clockMs();

// Engine: the probe request (payload 0x00), as the flash commands use it.
int32_t probe(NLIDevice* device);

// Remote-master tunnel: carries a whole request through the device's remote master (tunnel 1).
int32_t tunnelSendPacket(NLIDevice* device, uint8_t* request, uint32_t requestLength,
                         uint8_t* response, uint16_t* responseLength, uint32_t wait,
                         uint32_t reportRetries);

} // namespace nli
