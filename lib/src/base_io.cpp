// Base definition and I/O data requests of a base controller.
//
// The base definition travels as an opaque byte stream (data from answer offset 9); the I/O
// image as status word + data (offset 11). Every length taken from an answer is bounded by the
// bytes actually received and every copy by the caller's capacity.
#include "request.h"

namespace nli {
namespace {

constexpr uint16_t kBaseDefRoom = 1000;
constexpr uint16_t kInitRoom = 600;
constexpr uint16_t kWriteBaseDefRoom = 600;
constexpr uint16_t kIORoom = 1200;
constexpr uint16_t kSecondAnswerExtraMs = 30000; // the module writes its flash meanwhile

constexpr uint8_t kFnWriteIO = 0x06;
constexpr uint8_t kFnReadIO = 0x07;
constexpr uint8_t kFnReadBaseDef = 0x08;
constexpr uint8_t kFnWriteBaseDef = 0x0F;
constexpr uint8_t kFnRescanBase = 0x18;
constexpr uint8_t kFnWriteIONoRead = 0x30;


// A device that can carry a request: the header must fit before the payload.
bool usable(const NLIDevice* device) {
    return device && device->headerLength <= NLI_ADDRESSED_HEADER_LENGTH;
}

// The marker is looked for only in a buffer that has room for a byte.
bool extendedRequested(const void* buffer, const uint16_t* size) {
    return buffer && size && *size != 0 &&
           *static_cast<const uint8_t*>(buffer) == NLI_EXTENDED_FORM;
}

// A read needs somewhere to put its size, and a buffer whenever the size promises room.
bool readArgsValid(const void* buffer, const uint16_t* size) {
    return size && (buffer || *size == 0);
}

// The copy rule. A null buffer or size counts as capacity 0. Returns true when data was cut.
bool copyOut(const uint8_t* data, size_t length, void* buffer, uint16_t* size) {
    size_t capacity = (buffer && size) ? *size : 0;
    bool cut = length > capacity;
    size_t n = cut ? capacity : length;
    if (n) std::memcpy(buffer, data, n);
    if (size) *size = static_cast<uint16_t>(n);
    return cut;
}

void clearSize(uint16_t* size) {
    if (size) *size = 0;
}

// Base definition reads: data shape, wait, no retry reporting.
int32_t readStream(NLIDevice* device, const uint8_t* payload, size_t payloadLength, uint16_t room,
                   void* buffer, uint16_t* size) {
    if (!usable(device)) return NLIE_INVALID_DEVICE;
    if (!readArgsValid(buffer, size)) return NLIE_INVALID_REQUEST;
    uint8_t request[NLI_ADDRESSED_HEADER_LENGTH + 8];
    std::memcpy(request + device->headerLength, payload, payloadLength);
    uint8_t response[kBaseDefRoom];
    uint16_t received = room;
    int32_t rc =
        _SendPacket(device, request, static_cast<uint32_t>(device->headerLength + payloadLength),
                    response, &received, 1, 0);
    if (!answered(rc)) return rc;
    if (received > room) received = room;
    if (received == 0) {
        clearSize(size);
        return NLIE_ZERO_BYTES_RECEIVED;
    }
    if (received < kDataOffset) { // not even a whole header
        clearSize(size);
        return NLIE_INVALID_RESPONSE;
    }
    if (copyOut(response + kDataOffset, received - kDataOffset, buffer, size))
        return NLIE_BUFFER_TOO_SMALL;
    return rc;
}

// I/O data exchange: status shape, retry reporting on, waits only while noWaitIO is 0.
// copy: whether the answer's data goes to buffer/size; a given size is cleared on an empty answer.
int32_t exchangeIO(NLIDevice* device, uint8_t function, const uint8_t* extra, size_t extraLength,
                   bool copy, void* buffer, uint16_t* size) {
    if (!usable(device)) return NLIE_INVALID_DEVICE;
    size_t total = device->headerLength + 1 + extraLength;
    if (total > kIORoom) return NLIE_DATA_TOO_LARGE;
    if (!extra && extraLength) return NLIE_INVALID_REQUEST;
    uint8_t request[kIORoom];
    request[device->headerLength] = function;
    if (extraLength) std::memcpy(request + device->headerLength + 1, extra, extraLength);
    uint8_t response[kIORoom];
    uint16_t received = kIORoom;
    int32_t rc = _SendPacket(device, request, static_cast<uint32_t>(total), response, &received,
                             device->noWaitIO == 0 ? 1 : 0, 1);
    if (!answered(rc)) return rc;
    if (received > kIORoom) received = kIORoom;
    if (received < kStatusDataOffset) { // empty, or no complete status word
        clearSize(size);
        return received == 0 ? NLIE_ZERO_BYTES_RECEIVED : NLIE_INVALID_RESPONSE;
    }
    bool cut = false;
    if (copy)
        cut = copyOut(response + kStatusDataOffset, received - kStatusDataOffset, buffer, size);
    uint16_t status = getU16(response + 9);
    if (status != 0) return statusResult(status) | 0x8000;
    return cut ? NLIE_BUFFER_TOO_SMALL : rc;
}

} // namespace
} // namespace nli

using namespace nli;

extern "C" {

NLI_API int32_t NLIReadBaseDef(NLIDevice* device, void* buffer, uint16_t* size) {
    uint8_t payload[2] = {kFnReadBaseDef, NLI_EXTENDED_FORM};
    return readStream(device, payload, extendedRequested(buffer, size) ? 2 : 1, kBaseDefRoom,
                      buffer, size);
}

NLI_API int32_t NLIRescanBase(NLIDevice* device, uint32_t selector, void* buffer, uint16_t* size) {
    uint8_t payload[5] = {kFnRescanBase};
    putU32(payload + 1, selector);
    return readStream(device, payload, sizeof payload, kBaseDefRoom, buffer, size);
}

NLI_API int32_t NLIInitBaseDef(NLIDevice* device, void* buffer, uint16_t* size) {
    uint8_t payload[1] = {kFnRescanBase};
    return readStream(device, payload, sizeof payload, kInitRoom, buffer, size);
}

NLI_API int32_t NLIWriteBaseDef(NLIDevice* device, const void* stream, uint16_t length,
                                void* response, uint16_t* size) {
    if (!usable(device)) return NLIE_INVALID_DEVICE;
    size_t total = device->headerLength + 4u + length;
    if (total > kWriteBaseDefRoom) return NLIE_DATA_TOO_LARGE;
    if (!stream && length) return NLIE_INVALID_REQUEST;
    uint8_t request[kWriteBaseDefRoom];
    uint8_t* p = request + device->headerLength;
    p[0] = kFnWriteBaseDef;
    p[1] = 0x00;
    putU16(p + 2, length);
    if (length) std::memcpy(p + 4, stream, length);
    uint8_t answer[kWriteBaseDefRoom];
    uint16_t received = kWriteBaseDefRoom;
    int32_t rc = SendPacketTwoResponses(device, request, static_cast<uint32_t>(total), answer,
                                        &received, 1, 0, 0, nullptr, kSecondAnswerExtraMs, 1, 1);
    if (!answered(rc)) return rc;
    if (received > kWriteBaseDefRoom) received = kWriteBaseDefRoom;
    bool copy = response && size;
    if (received == 0) {
        if (copy) *size = 0;
        return NLIE_ZERO_BYTES_RECEIVED;
    }
    if (received < kStatusDataOffset) {
        if (copy) *size = 0;
        return NLIE_INVALID_RESPONSE;
    }
    uint16_t status = getU16(answer + 9);
    if (status != 0) return statusResult(status);
    if (!copy) return rc;
    if (copyOut(answer + kStatusDataOffset, received - kStatusDataOffset, response, size))
        return NLIE_BUFFER_TOO_SMALL;
    return rc;
}

NLI_API int32_t NLIReadIO(NLIDevice* device, void* buffer, uint16_t* size) {
    if (!device) return NLIE_INVALID_DEVICE;
    if (!readArgsValid(buffer, size)) return NLIE_INVALID_REQUEST;
    uint8_t marker = NLI_EXTENDED_FORM;
    bool extended = extendedRequested(buffer, size);
    return exchangeIO(device, kFnReadIO, &marker, extended ? 1 : 0, true, buffer, size);
}

NLI_API int32_t NLIWriteIO(NLIDevice* device, const void* outputs, uint16_t length, void* input,
                           uint16_t* size) {
    return exchangeIO(device, kFnWriteIO, static_cast<const uint8_t*>(outputs), length,
                      input && size, input, size);
}

NLI_API int32_t NLIWriteIONoRead(NLIDevice* device, const void* outputs, uint16_t length) {
    return exchangeIO(device, kFnWriteIONoRead, static_cast<const uint8_t*>(outputs), length, false,
                      nullptr, nullptr);
}

} // extern "C"
