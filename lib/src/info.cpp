// Module information: version, support information, device definition, Ethernet statistics,
// module status, configuration data, and the requests whose answer is not interpreted
// (keep-alive, operating-system selection, reboot).
#include "request.h"

using namespace nli;

namespace {

constexpr uint16_t kDataRoom = 200;
constexpr uint16_t kStatusRoom = 600;
constexpr uint16_t kConfigRoom = 1200;
constexpr uint16_t kSmallRequest = NLI_ADDRESSED_HEADER_LENGTH + 8;

// A data-shape read: the answer's bytes from offset 9 by the copy rule.
int32_t readData(NLIDevice* device, const uint8_t* payload, uint16_t payloadLength, void* buffer,
                 uint16_t capacity, uint16_t* copied) {
    if (!device) return NLIE_INVALID_DEVICE;
    if (!buffer && capacity != 0) return NLIE_INVALID_REQUEST;
    RequestBuffer<kSmallRequest> request(device);
    request.append(payload, payloadLength);
    if (request.overflow) return NLIE_DATA_TOO_LARGE;

    uint8_t answer[kDataRoom];
    uint16_t received = sizeof answer;
    int32_t rc = _SendPacket(device, request.bytes, request.length, answer, &received, 1, 0);
    if (failed(rc)) return rc;
    received = boundedLength(received, sizeof answer);
    if (received == 0) {
        if (copied) *copied = 0;
        return NLIE_ZERO_BYTES_RECEIVED;
    }
    if (received < kDataOffset) { // shorter than a header: nothing in it is data
        if (copied) *copied = 0;
        return NLIE_INVALID_RESPONSE;
    }
    bool cut = copyOut(answer, received, kDataOffset, buffer, capacity, copied);
    return cut ? NLIE_BUFFER_TOO_SMALL : rc;
}

// A request whose answer is not looked at: the engine's result as it comes.
int32_t sendUninterpreted(NLIDevice* device, const uint8_t* payload, uint16_t payloadLength) {
    if (!device) return NLIE_INVALID_DEVICE;
    RequestBuffer<kSmallRequest> request(device);
    request.append(payload, payloadLength);
    if (request.overflow) return NLIE_DATA_TOO_LARGE;
    uint8_t answer[kDataRoom];
    uint16_t received = sizeof answer;
    return _SendPacket(device, request.bytes, request.length, answer, &received, 1, 0);
}

bool startsExtended(const void* buffer, const uint16_t* size) {
    return buffer && size && *size != 0 && *static_cast<const uint8_t*>(buffer) == kExtendedMarker;
}

// Configuration data shares the I/O-data rules: the wait only while noWaitIO is 0, retries
// reported, a module status s returned as s | 0x8000.
int32_t configExchange(NLIDevice* device, uint8_t* request, uint16_t requestLength, void* buffer,
                       uint16_t* size) {
    uint8_t answer[kConfigRoom];
    uint16_t received = sizeof answer;
    uint32_t wait = device->noWaitIO == 0 ? 1 : 0;
    int32_t rc = _SendPacket(device, request, requestLength, answer, &received, wait, 1);
    if (failed(rc)) return rc;
    received = boundedLength(received, sizeof answer);
    bool copying = buffer && size;
    if (received == 0) {
        if (size) *size = 0;
        return NLIE_ZERO_BYTES_RECEIVED;
    }
    if (received < kStatusDataOffset) {
        if (size) *size = 0;
        return NLIE_INVALID_RESPONSE;
    }
    uint16_t status = getU16(answer + kStatusOffset);
    bool cut = false;
    if (copying) cut = copyOut(answer, received, kStatusDataOffset, buffer, *size, size);
    if (status != 0) return statusResult(status) | 0x8000;
    return cut ? NLIE_BUFFER_TOO_SMALL : rc;
}

} // namespace

extern "C" {

NLI_API int32_t NLIReadVersionInfo(NLIDevice* device, void* buffer, uint16_t capacity) {
    const uint8_t payload[] = {0x01};
    return readData(device, payload, sizeof payload, buffer, capacity, nullptr);
}

NLI_API int32_t NLIReadSupportInfo(NLIDevice* device, void* buffer, uint16_t capacity) {
    const uint8_t payload[] = {0x02};
    return readData(device, payload, sizeof payload, buffer, capacity, nullptr);
}

NLI_API int32_t NLIReadDeviceDef(NLIDevice* device, void* buffer, uint16_t capacity) {
    const uint8_t payload[] = {0x04};
    return readData(device, payload, sizeof payload, buffer, capacity, nullptr);
}

NLI_API int32_t NLIReadEthernetStats(NLIDevice* device, void* buffer, uint16_t* size,
                                     uint32_t clear) {
    if (!device) return NLIE_INVALID_DEVICE;
    if (!size) return NLIE_INVALID_REQUEST;
    // size may lie inside buffer (the application passes the record's first word): take the
    // capacity before the copy overwrites it.
    uint16_t capacity = *size;
    const uint8_t payload[] = {0x0E, 0x00, static_cast<uint8_t>(clear != 0 ? 1 : 0)};
    return readData(device, payload, sizeof payload, buffer, capacity, size);
}

NLI_API int32_t NLIPetDevice(NLIDevice* device) {
    const uint8_t payload[] = {0x14, 0x00};
    return sendUninterpreted(device, payload, sizeof payload);
}

NLI_API int32_t NLISetOSLoad(NLIDevice* device, uint32_t selector) {
    const uint8_t payload[] = {0xF9,
                               0x06,
                               static_cast<uint8_t>(selector),
                               static_cast<uint8_t>(selector >> 8),
                               static_cast<uint8_t>(selector >> 16),
                               static_cast<uint8_t>(selector >> 24)};
    return sendUninterpreted(device, payload, sizeof payload);
}

NLI_API int32_t XPLCSetOSLoad(NLIDevice* device, uint32_t selector) {
    return NLISetOSLoad(device, selector);
}

NLI_API int32_t NLIReboot(NLIDevice* device) {
    const uint8_t payload[] = {0xFA, 0x05};
    return sendUninterpreted(device, payload, sizeof payload);
}

NLI_API int32_t XPLCReboot(NLIDevice* device) {
    return NLIReboot(device);
}

NLI_API int32_t NLIReadModuleStatus(NLIDevice* device, void* buffer, uint16_t* size,
                                    uint8_t selector) {
    if (!device) return NLIE_INVALID_DEVICE;
    if (!size || (!buffer && *size != 0)) return NLIE_INVALID_REQUEST;
    RequestBuffer<kSmallRequest> request(device);
    request.put(0x17);
    request.put(startsExtended(buffer, size) ? 1 : 0);
    request.put(selector);
    if (request.overflow) return NLIE_DATA_TOO_LARGE;

    uint8_t answer[kStatusRoom];
    uint16_t received = sizeof answer;
    int32_t rc = _SendPacket(device, request.bytes, request.length, answer, &received, 1, 0);
    if (failed(rc)) return rc;
    received = boundedLength(received, sizeof answer);
    if (received == 0) {
        *size = 0;
        return NLIE_ZERO_BYTES_RECEIVED;
    }
    if (received < kStatusDataOffset) {
        *size = 0;
        return NLIE_INVALID_RESPONSE;
    }
    uint16_t status = getU16(answer + kStatusOffset);
    bool cut = copyOut(answer, received, kStatusDataOffset, buffer, *size, size);
    if (status != 0) return statusResult(status);
    return cut ? NLIE_BUFFER_TOO_SMALL : rc;
}

NLI_API int32_t NLIReadConfigData(NLIDevice* device, void* buffer, uint16_t* size) {
    if (!device) return NLIE_INVALID_DEVICE;
    if (!size || (!buffer && *size != 0)) return NLIE_INVALID_REQUEST;
    RequestBuffer<kSmallRequest> request(device);
    request.put(0x62);
    if (startsExtended(buffer, size)) request.put(kExtendedMarker);
    if (request.overflow) return NLIE_DATA_TOO_LARGE;
    return configExchange(device, request.bytes, request.length, buffer, size);
}

NLI_API int32_t NLIWriteConfigData(NLIDevice* device, const void* data, uint16_t length,
                                   void* response, uint16_t* size) {
    if (!device) return NLIE_INVALID_DEVICE;
    if (!data && length != 0) return NLIE_INVALID_REQUEST;
    if (response && size == nullptr) response = nullptr; // copies only with both
    if (static_cast<uint32_t>(device->headerLength) + length + 1 > kConfigRoom)
        return NLIE_DATA_TOO_LARGE;
    RequestBuffer<kConfigRoom> request(device);
    request.put(0x61);
    request.append(data, length);
    if (request.overflow) return NLIE_DATA_TOO_LARGE;
    return configExchange(device, request.bytes, request.length, response, size);
}

} // extern "C"
