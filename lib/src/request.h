// Shared by the module requests: building a request at the device's header length, reading the
// status word of an answer, lengthening the time-out for one call, and the copy rule.
#pragma once

#include "internal.h"

namespace nli {

inline constexpr uint16_t kDataOffset = 9;        // data shape: data from here
inline constexpr uint16_t kStatusOffset = 9;      // status shape: status word here
inline constexpr uint16_t kStatusDataOffset = 11; // ... and data from here
inline constexpr uint16_t kSetupExtraTimeoutMs = 10;
inline constexpr uint16_t kCompletionExtraMs = 30000;
inline constexpr uint8_t kExtendedMarker = 0xB1;

// A module status word as a result: sign-extended from 16 bits.
inline int32_t statusResult(uint16_t status) {
    return static_cast<int32_t>(static_cast<int16_t>(status));
}

// Only success and the retry warning come with an answer in the response buffer.
inline bool answered(int32_t rc) { return rc == NLIE_SUCCESS || rc == NLIE_RETRIES_OCCURRED; }

// A request buffer with the payload placed at the device's header length; it starts zeroed.
// Callers check their limits before putting, so overflow only guards against a mistake.
template <size_t Room> struct RequestBuffer {
    uint8_t bytes[Room];
    uint16_t length = 0; // header + payload
    bool overflow = false;

    explicit RequestBuffer(const NLIDevice* device) : length(device->headerLength) {
        std::memset(bytes, 0, sizeof bytes);
        if (length > Room) overflow = true;
    }
    void put(uint8_t b) {
        if (overflow || length >= Room) {
            overflow = true;
            return;
        }
        bytes[length++] = b;
    }
    void put16(uint16_t v) {
        put(static_cast<uint8_t>(v));
        put(static_cast<uint8_t>(v >> 8));
    }
    void put32(uint32_t v) {
        put16(static_cast<uint16_t>(v));
        put16(static_cast<uint16_t>(v >> 16));
    }
    void append(const void* data, uint16_t n) {
        if (n == 0) return;
        if (overflow || n > Room - length) {
            overflow = true;
            return;
        }
        std::memcpy(bytes + length, data, n);
        length = static_cast<uint16_t>(length + n);
    }
};

// Lengthens the device's time-out for the life of the object and puts back exactly the value it
// found (saturating instead of wrapping a time-out close to 65535 ms).
class ExtraTimeout {
  public:
    ExtraTimeout(NLIDevice* device, uint16_t extraMs) : device_(device), saved_(device->timeoutMs) {
        uint32_t t = static_cast<uint32_t>(saved_) + extraMs;
        device_->timeoutMs = static_cast<uint16_t>(t > 0xFFFF ? 0xFFFF : t);
    }
    ~ExtraTimeout() { device_->timeoutMs = saved_; }
    ExtraTimeout(const ExtraTimeout&) = delete;
    ExtraTimeout& operator=(const ExtraTimeout&) = delete;

  private:
    NLIDevice* device_;
    uint16_t saved_;
};

// Received length, never more than the room the engine was given.
inline uint16_t boundedLength(uint16_t received, uint16_t room) {
    return received > room ? room : received;
}

// Copy rule: copies answer bytes [offset, received) into buffer, at most capacity of them, and
// stores the number copied in *copied (when given). Returns true when the data was cut.
inline bool copyOut(const uint8_t* answer, uint16_t received, uint16_t offset, void* buffer,
                    uint16_t capacity, uint16_t* copied) {
    uint16_t available = received > offset ? static_cast<uint16_t>(received - offset) : 0;
    uint16_t n = available > capacity ? capacity : available;
    if (n != 0) std::memcpy(buffer, answer + offset, n);
    if (copied) *copied = n;
    return available > capacity;
}

} // namespace nli
