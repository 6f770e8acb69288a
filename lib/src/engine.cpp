// Packet engine: header, checksum, scrambling, sequence numbers, retries, response matching and
// the two-response pattern. Waiting is a poll() on the link for the time that remains, so an
// answer is taken the moment it arrives and no processor spins while nothing comes.
#include "crc16.h"
#include "link.h"

namespace nli {
namespace {

uint16_t sequenceCounter = 1;
uint32_t crcMode = 1;
NLIAsyncHandler asyncHandler = nullptr;

constexpr uint16_t kProbeRoom = 200;
constexpr size_t kSequenceEnd = 5; // a packet shorter than this carries no sequence number

// Next sequence number: 1 to 0xFFFF, never 0 (0 on a device means "accept any answer").
uint16_t takeSequence() {
    uint16_t value = sequenceCounter;
    sequenceCounter = value == 0xFFFF ? 1 : static_cast<uint16_t>(value + 1);
    return value;
}

size_t keyLength(const NLIKeyRecord& key) {
    size_t n = 0;
    while (n < sizeof key.key - 1 && key.key[n] != 0)
        ++n;
    return n;
}

// XORs packet bytes 5 to the end with the key, cyclically; applying it twice restores the bytes.
void applyKey(uint8_t* packet, uint32_t length, const NLIKeyRecord& key) {
    size_t n = keyLength(key);
    if (n == 0) return;
    for (uint32_t i = 5, k = 0; i < length; ++i) {
        packet[i] ^= key.key[k];
        if (++k == n) k = 0;
    }
}

// While alive, the caller's request buffer holds the scrambled packet; afterwards it holds the
// plain one again, so that the same buffer can be sent once more (the two-response passes do).
class ScrambledScope {
  public:
    ScrambledScope(uint8_t* packet, uint32_t length, const NLITransport* transport)
        : packet_(packet), length_(length) {
        if ((transport->scramble.mode & 0xFF) == 1) {
            key_ = transport->scramble;
            active_ = true;
            applyKey(packet_, length_, key_);
        }
    }
    ~ScrambledScope() {
        if (active_) applyKey(packet_, length_, key_);
    }
    ScrambledScope(const ScrambledScope&) = delete;
    ScrambledScope& operator=(const ScrambledScope&) = delete;

  private:
    uint8_t* packet_;
    uint32_t length_;
    NLIKeyRecord key_{};
    bool active_ = false;
};

bool crcAccepts(const uint8_t* packet, uint16_t length) {
    if (length < NLI_HEADER_LENGTH) return false;
    uint16_t field = getU16(packet + 5);
    return field == 0 || field == crc16(packet + NLI_HEADER_LENGTH, length - NLI_HEADER_LENGTH);
}

} // namespace

int32_t probe(NLIDevice* device) {
    if (!device) return NLIE_INVALID_DEVICE;
    uint8_t request[NLI_ADDRESSED_HEADER_LENGTH + 1] = {};
    uint16_t headerLength = device->headerLength;
    if (headerLength < NLI_HEADER_LENGTH || headerLength > NLI_ADDRESSED_HEADER_LENGTH)
        return NLIE_INVALID_REQUEST;
    request[headerLength] = 0x00;
    uint8_t response[kProbeRoom];
    uint16_t length = sizeof response;
    return _SendPacket(device, request, headerLength + 1u, response, &length, 1, 0);
}

} // namespace nli

extern "C" {

NLI_API int32_t GetResponse(NLIDevice* device, void* buffer, uint16_t* length,
                            uint16_t extraTimeoutMs, uint32_t wait, uint32_t match) {
    using namespace nli;
    if (!device || !device->transport) return NLIE_INVALID_DEVICE;
    if (!buffer || !length) return NLIE_INVALID_REQUEST;
    uint8_t* packet = static_cast<uint8_t*>(buffer);
    const uint32_t start = clockMs();
    const uint32_t limit = static_cast<uint32_t>(device->timeoutMs) + extraTimeoutMs;
    const uint16_t expected = device->lastSequence;
    const uint16_t capacity = *length;

    for (;;) {
        uint16_t received = capacity;
        int32_t rc = linkReceive(device, packet, &received);
        if (rc != NLIE_SUCCESS && rc != NLIE_NO_RESPONSE) {
            if (rc == NLIE_BUFFER_TOO_SMALL) *length = received;
            return rc;
        }
        if (rc == NLIE_SUCCESS && received > 0) {
            const bool hasSequence = received >= kSequenceEnd;
            const uint16_t sequence = hasSequence ? getU16(packet + 3) : 0;
            const bool matches = expected == 0 || (hasSequence && sequence == expected);
            if (!matches && match) {
                if (asyncHandler) asyncHandler(device, packet, received);
                ++device->unsolicitedCount;
                // A stream of strangers must not hold a waiting request past its time-out.
                if (wait && clockMs() - start >= limit) {
                    *length = 0;
                    return NLIE_TIMEOUT;
                }
                continue;
            }
            if (!match && hasSequence) device->lastSequence = sequence;
            *length = received;
            if (crcMode && !crcAccepts(packet, received)) {
                ++device->crcErrorCount;
                return NLIE_CRC_MISMATCH;
            }
            return NLIE_SUCCESS;
        }
        if (!wait) return NLIE_NO_RESPONSE;
        const uint32_t elapsed = clockMs() - start;
        if (elapsed >= limit) {
            *length = 0;
            return NLIE_TIMEOUT;
        }
        linkWaitReadable(device, limit - elapsed);
    }
}

NLI_API int32_t NLIGetResponse(NLIDevice* device, void* buffer, uint16_t* length, uint32_t match) {
    return GetResponse(device, buffer, length, 0, 0, match);
}

NLI_API int32_t _SendPacket(NLIDevice* device, void* request, uint32_t requestLength,
                            void* response, uint16_t* responseLength, uint32_t wait,
                            uint32_t reportRetries) {
    using namespace nli;
    if (!device) return NLIE_INVALID_DEVICE;
    if (device->tunnel == 1)
        return tunnelSendPacket(device, static_cast<uint8_t*>(request), requestLength,
                                static_cast<uint8_t*>(response), responseLength, wait,
                                reportRetries);
    if (!device->transport) return NLIE_INVALID_DEVICE;
    const uint32_t headerEnd =
        device->addressedHeader ? NLI_ADDRESSED_HEADER_LENGTH : NLI_HEADER_LENGTH;
    if (!request || requestLength < headerEnd || requestLength > 0xFFFF)
        return NLIE_INVALID_REQUEST;
    if (wait && (!response || !responseLength)) return NLIE_INVALID_REQUEST;

    uint8_t* packet = static_cast<uint8_t*>(request);
    packet[0] = 0x4B;
    packet[1] = 0x56;
    packet[2] = 0x52;
    if (device->addressedHeader) {
        packet[9] = 0x15;
        std::memcpy(packet + 10, device->ethernetAddress, 6);
    }
    const uint16_t dataLength = static_cast<uint16_t>(requestLength - NLI_HEADER_LENGTH);
    putU16(packet + 5, crcMode ? crc16(packet + NLI_HEADER_LENGTH, dataLength) : 0);
    putU16(packet + 7, dataLength);
    ScrambledScope scrambled(packet, requestLength, device->transport);

    const uint16_t capacity = wait ? *responseLength : 0;
    for (uint32_t attempt = 0; attempt <= device->retries; ++attempt) {
        const uint16_t sequence = takeSequence();
        device->lastSequence = sequence;
        putU16(packet + 3, sequence);
        if (attempt > 0) ++device->retryCount;

        int32_t rc = linkSend(device, packet, static_cast<uint16_t>(requestLength));
        if (rc != NLIE_SUCCESS) {
            if (responseLength) *responseLength = 0;
            return rc;
        }
        if (!wait) {
            if (responseLength) *responseLength = 0;
            return NLIE_NO_RESPONSE;
        }
        uint16_t received = capacity;
        rc = GetResponse(device, response, &received, 0, 1, 1);
        if (rc == NLIE_SUCCESS) {
            *responseLength = received;
            return attempt > 0 && reportRetries ? NLIE_RETRIES_OCCURRED : NLIE_SUCCESS;
        }
        if (rc != NLIE_TIMEOUT) return rc;
    }
    *responseLength = 0;
    return NLIE_TIMEOUT;
}

NLI_API int32_t SendPacketTwoResponses(NLIDevice* device, void* request, uint32_t requestLength,
                                       void* response, uint16_t* responseLength, uint32_t wait,
                                       uint32_t reportRetries, uint16_t ackLength,
                                       const void* expectedAck, uint16_t secondExtraTimeoutMs,
                                       uint32_t secondWait, uint32_t secondMatch) {
    using namespace nli;
    if (!device) return NLIE_INVALID_DEVICE;
    if (device->tunnel == 1)
        return tunnelSendPacket(device, static_cast<uint8_t*>(request), requestLength,
                                static_cast<uint8_t*>(response), responseLength, wait,
                                reportRetries);
    if (!responseLength || !response) return NLIE_INVALID_REQUEST;
    if (ackLength > 0 && !expectedAck) return NLIE_INVALID_REQUEST;

    const uint16_t retryCountBefore = device->retryCount;
    const uint16_t retries = device->retries;
    const uint16_t capacity = *responseLength;
    int32_t result = NLIE_SUCCESS;
    for (bool firstPass = true;; firstPass = false) {
        *responseLength = capacity;
        result = _SendPacket(device, request, requestLength, response, responseLength, wait,
                             reportRetries);
        if (failed(result)) break;
        if (firstPass && ackLength > 0) {
            // Only bytes that arrived are compared: a short acknowledgement is a wrong one.
            const uint8_t* payload = static_cast<const uint8_t*>(response) + NLI_HEADER_LENGTH;
            if (*responseLength < NLI_HEADER_LENGTH + ackLength ||
                std::memcmp(payload, expectedAck, ackLength) != 0) {
                result = NLIE_INVALID_RESPONSE;
                break;
            }
        }
        *responseLength = capacity;
        result = GetResponse(device, response, responseLength, secondExtraTimeoutMs, secondWait,
                             secondMatch);
        if (result != NLIE_TIMEOUT) {
            if (result == NLIE_SUCCESS && device->retryCount != retryCountBefore)
                result = NLIE_RETRIES_OCCURRED;
            break;
        }
        ++device->retryCount;
        const uint16_t used = static_cast<uint16_t>(device->retryCount - retryCountBefore);
        if (used >= retries) break; // result stays NLIE_TIMEOUT
        // Re-sends of the whole request share one budget with the engine's own re-sends.
        device->retries = static_cast<uint16_t>(retries - used);
    }
    device->retries = retries;
    return result;
}

NLI_API uint32_t SetCRCMode(uint32_t mode) {
    uint32_t previous = nli::crcMode;
    nli::crcMode = mode;
    return previous;
}

NLI_API int32_t NLISetAsyncHandler(NLIAsyncHandler handler) {
    nli::asyncHandler = handler;
    return NLIE_SUCCESS;
}

NLI_API int32_t NLIGetAsyncHandler(NLIAsyncHandler* handler) {
    if (!handler) return NLIE_INVALID_REQUEST;
    *handler = nli::asyncHandler;
    return NLIE_SUCCESS;
}

} // extern "C"
