// PLC requests that a communication module forwards to its PLC CPU: the CCM request (data type,
// address, byte count) and the K-sequence request (raw protocol bytes).
//
// Both use the two-response pattern: the module acknowledges with 0x20 + function code and
// completes with 0x22 + function code, a status word and the data from offset 13. A module that
// refuses the request answers something else first; its status word at offset 11 is the result.
#include "request.h"

namespace nli {
namespace {

constexpr uint8_t kFnCCM = 0x19;
constexpr uint8_t kFnKSequence = 0x1A;
constexpr uint8_t kAck = 0x20;
constexpr uint8_t kCompletion = 0x22;
constexpr uint8_t kCCMWrite = 0x20;
constexpr uint8_t kCCMRead = 0x1E;

constexpr uint16_t kRoom = 320;
constexpr size_t kPlcDataOffset = 13;
constexpr size_t kMaxPayload = 8 + NLI_MAX_PLC_BYTES;

// The wire carries the count in one byte; 256 travels as 0, so 0 itself cannot be asked for.
bool countValid(uint16_t count) {
    return count >= 1 && count <= NLI_MAX_PLC_BYTES;
}

// Sends payload (function code first) and checks the two answers. On success the final answer
// is in response with received bytes and its status word was 0.
int32_t exchange(NLIDevice* device, const uint8_t* payload, size_t payloadLength, uint8_t* response,
                 uint16_t& received) {
    if (!device || device->headerLength > NLI_ADDRESSED_HEADER_LENGTH) return NLIE_INVALID_DEVICE;
    uint8_t request[NLI_ADDRESSED_HEADER_LENGTH + kMaxPayload];
    std::memcpy(request + device->headerLength, payload, payloadLength);
    const uint8_t function = payload[0];
    const uint8_t ack[2] = {kAck, function};
    // Cleared so that a refusal is never read from bytes no answer wrote.
    std::memset(response, 0, kPlcDataOffset);
    received = kRoom;
    uint32_t wait = device->noWaitIO == 0 ? 1 : 0;
    int32_t rc = SendPacketTwoResponses(device, request,
                                        static_cast<uint32_t>(device->headerLength + payloadLength),
                                        response, &received, wait, 1, sizeof ack, ack, 0, 1, 1);
    if (received > kRoom) received = kRoom;
    if (rc == NLIE_INVALID_RESPONSE) {
        // The first answer was a refusal: its status word names the reason. A refusal without a
        // non-zero status word is still no success.
        if (received >= kPlcDataOffset) {
            uint16_t status = getU16(response + 11);
            if (status != 0) return statusResult(status);
        }
        return NLIE_INVALID_RESPONSE;
    }
    if (!answered(rc)) return rc;
    if (received < kPlcDataOffset || response[9] != kCompletion || response[10] != function)
        return NLIE_INVALID_RESPONSE;
    uint16_t status = getU16(response + 11);
    if (status != 0) return statusResult(status);
    return 0;
}

} // namespace
} // namespace nli

using namespace nli;

extern "C" {

NLI_API int32_t NLICCMRequest(NLIDevice* device, uint32_t write, uint8_t dataType, uint16_t address,
                              uint16_t count, void* buffer) {
    if (!countValid(count) || !buffer) return NLIE_INVALID_REQUEST;
    uint8_t payload[kMaxPayload];
    payload[0] = kFnCCM;
    payload[1] = 0x00;
    payload[2] = 0x01;
    payload[3] = write ? kCCMWrite : kCCMRead;
    payload[4] = static_cast<uint8_t>(count); // 256 travels as 0
    payload[5] = static_cast<uint8_t>(address);
    payload[6] = static_cast<uint8_t>(address >> 8);
    payload[7] = dataType;
    size_t length = 8;
    if (write) {
        std::memcpy(payload + 8, buffer, count);
        length += count;
    }
    uint8_t response[kRoom];
    uint16_t received = 0;
    int32_t rc = exchange(device, payload, length, response, received);
    if (rc != 0) return rc;
    size_t got = received - kPlcDataOffset;
    if (!write && got != count) return NLIE_INVALID_REQUEST;
    // A write's echo goes back into the caller's buffer, as far as the module sent it.
    std::memcpy(buffer, response + kPlcDataOffset, got < count ? got : count);
    return 0;
}

NLI_API int32_t NLIKSEQRequest(NLIDevice* device, uint16_t length, void* buffer, uint16_t* size) {
    if (!countValid(length) || !buffer || !size) return NLIE_INVALID_REQUEST;
    uint8_t payload[kMaxPayload];
    payload[0] = kFnKSequence;
    payload[1] = 0x00;
    payload[2] = static_cast<uint8_t>(length); // 256 travels as 0
    payload[3] = 0x00;
    std::memcpy(payload + 4, buffer, length);
    uint8_t response[kRoom];
    uint16_t received = 0;
    int32_t rc = exchange(device, payload, 4u + length, response, received);
    if (rc != 0) return rc;
    size_t reply = received - kPlcDataOffset;
    rc = 0;
    if (reply > *size) {
        reply = *size;
        rc = NLIE_BUFFER_TOO_SMALL;
    }
    if (reply) std::memcpy(buffer, response + kPlcDataOffset, reply);
    *size = static_cast<uint16_t>(reply);
    return rc;
}

} // extern "C"
