// Setup data: the module's keyed store of settings, one item per u16 code. Reads answer with a
// status word and the item's bytes; writes and deletes acknowledge at once and complete when the
// module has written its flash (two responses).
#include "request.h"

using namespace nli;

namespace {

constexpr uint16_t kStatusRoom = 600; // also the largest request: header + 4 + item data
constexpr uint16_t kWriteRoom = 200;
constexpr uint16_t kSmallRequest = NLI_ADDRESSED_HEADER_LENGTH + 8;
constexpr uint16_t kEnumCountOffset = 11;
constexpr uint16_t kEnumCodesOffset = 13;

// Write shape: only the status word of the completion matters.
template <size_t Room> int32_t sendTwoResponses(NLIDevice* device, RequestBuffer<Room>& request) {
    uint8_t answer[kWriteRoom];
    uint16_t received = sizeof answer;
    int32_t rc;
    {
        ExtraTimeout extra(device, kSetupExtraTimeoutMs);
        rc = SendPacketTwoResponses(device, request.bytes, request.length, answer, &received, 1, 0,
                                    0, nullptr, kCompletionExtraMs, 1, 1);
    }
    if (failed(rc)) return rc;
    received = boundedLength(received, sizeof answer);
    if (received == 0) return NLIE_ZERO_BYTES_RECEIVED;
    if (received < kStatusDataOffset) return NLIE_INVALID_RESPONSE;
    uint16_t status = getU16(answer + kStatusOffset);
    return status != 0 ? statusResult(status) : rc;
}

// Read shape: sends the request and checks that the answer holds at least its status word.
// Returns the engine's result, or 0x8005 / 0x8012 for an empty or too short answer.
template <size_t Room>
int32_t sendForStatusAnswer(NLIDevice* device, RequestBuffer<Room>& request, uint8_t* answer,
                            uint16_t room, uint16_t& received) {
    received = room;
    int32_t rc;
    {
        ExtraTimeout extra(device, kSetupExtraTimeoutMs);
        rc = _SendPacket(device, request.bytes, request.length, answer, &received, 1, 0);
    }
    if (failed(rc)) return rc;
    received = boundedLength(received, room);
    if (received == 0) return NLIE_ZERO_BYTES_RECEIVED;
    if (received < kStatusDataOffset) return NLIE_INVALID_RESPONSE;
    return rc;
}

// The answer-shape failures empty the caller's size; the engine's leave it as it was.
bool answerShapeFailure(int32_t rc) {
    return rc == NLIE_ZERO_BYTES_RECEIVED || rc == NLIE_INVALID_RESPONSE;
}

} // namespace

extern "C" {

NLI_API int32_t NLIReadSetupData(NLIDevice* device, uint16_t item, void* buffer, uint16_t* size) {
    if (!device) return NLIE_INVALID_DEVICE;
    if (!size || (!buffer && *size != 0)) return NLIE_INVALID_REQUEST;
    RequestBuffer<kSmallRequest> request(device);
    request.put(0x0B);
    request.put(0x00);
    request.put16(item);
    if (request.overflow) return NLIE_DATA_TOO_LARGE;

    uint8_t answer[kStatusRoom];
    uint16_t received = 0;
    int32_t rc = sendForStatusAnswer(device, request, answer, sizeof answer, received);
    if (failed(rc)) {
        if (answerShapeFailure(rc)) *size = 0;
        return rc;
    }
    uint16_t status = getU16(answer + kStatusOffset);
    bool cut = copyOut(answer, received, kStatusDataOffset, buffer, *size, size);
    if (status != 0) return statusResult(status);
    return cut ? NLIE_BUFFER_TOO_SMALL : rc;
}

NLI_API int32_t NLIWriteSetupData(NLIDevice* device, uint16_t item, const void* data,
                                  uint16_t length) {
    if (!device) return NLIE_INVALID_DEVICE;
    if (!data && length != 0) return NLIE_INVALID_REQUEST;
    if (static_cast<uint32_t>(device->headerLength) + length + 4 > kStatusRoom)
        return NLIE_DATA_TOO_LARGE;
    RequestBuffer<kStatusRoom> request(device);
    request.put(0x0C);
    request.put(0x00);
    request.put16(item);
    request.append(data, length);
    if (request.overflow) return NLIE_DATA_TOO_LARGE;
    return sendTwoResponses(device, request);
}

NLI_API int32_t NLIDeleteSetupData(NLIDevice* device, uint16_t item) {
    if (!device) return NLIE_INVALID_DEVICE;
    RequestBuffer<kSmallRequest> request(device);
    request.put(0x0D);
    request.put(0x00);
    request.put16(item);
    if (request.overflow) return NLIE_DATA_TOO_LARGE;
    return sendTwoResponses(device, request);
}

NLI_API int32_t NLIEnumSetupData(NLIDevice* device, uint16_t* items, uint16_t* count) {
    if (!device) return NLIE_INVALID_DEVICE;
    if (!count || (!items && *count != 0)) return NLIE_INVALID_REQUEST;
    RequestBuffer<kSmallRequest> request(device);
    request.put(0x0A);
    if (request.overflow) return NLIE_DATA_TOO_LARGE;

    uint8_t answer[kStatusRoom];
    uint16_t received = 0;
    int32_t rc = sendForStatusAnswer(device, request, answer, sizeof answer, received);
    if (failed(rc)) {
        if (answerShapeFailure(rc)) *count = 0;
        return rc;
    }
    uint16_t status = getU16(answer + kStatusOffset);
    // The count the module states, bounded by the codes it actually sent.
    uint16_t stated = 0;
    uint16_t sent = 0;
    if (received >= kEnumCodesOffset) {
        stated = getU16(answer + kEnumCountOffset);
        sent = static_cast<uint16_t>((received - kEnumCodesOffset) / 2);
    }
    bool shortAnswer = stated > sent;
    uint16_t n = shortAnswer ? sent : stated;
    bool cut = n > *count;
    if (cut) n = *count;
    for (uint16_t k = 0; k < n; ++k)
        items[k] = getU16(answer + kEnumCodesOffset + 2 * k);
    *count = n;
    if (status != 0) return statusResult(status);
    if (shortAnswer) return NLIE_INVALID_RESPONSE;
    return cut ? NLIE_BUFFER_TOO_SMALL : rc;
}

} // extern "C"
