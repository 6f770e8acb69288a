// Serial pass-through (function 0x23): write to and read from a module's serial ports, query and
// flush their queues, read and change their setup. The plain sub-functions (0x01..0x08) use the
// module's default port; the Ex forms (bit 0x80) carry the port, counted from 1, as port - 1.
//
// Answers carry a status word at offset 9; counts at offset 11 are bounded by the bytes the
// module actually sent and by the caller's buffer.
#include "request.h"

namespace nli {
namespace {

constexpr uint8_t kFnComm = 0x23;
constexpr uint8_t kWrite = 0x01;
constexpr uint8_t kRead = 0x02;
constexpr uint8_t kRXAvailable = 0x03;
constexpr uint8_t kFlushRX = 0x04;
constexpr uint8_t kSetup = 0x05;
constexpr uint8_t kTXLeft = 0x06;
constexpr uint8_t kReadSetup = 0x07;
constexpr uint8_t kAccess = 0x08;
constexpr uint8_t kFlushTX = 0x09;
constexpr uint8_t kEx = 0x80;

constexpr uint16_t kRoom = 200;
constexpr uint16_t kAccessRoom = 1500;
constexpr uint16_t kStoreExtraMs = 30000; // the module writes its flash meanwhile
constexpr uint16_t kStoreTimeoutBonusMs = 10;

constexpr size_t kCountOffset = 11;
constexpr size_t kBytesOffset = 13;

// Request prefix: 0x23, sub-function and, for the Ex forms, the port byte.
struct Prefix {
    uint8_t bytes[3];
    size_t length;
};

// port 0 means the default port (plain sub-function); 1..255 the Ex form for that port.
Prefix prefix(uint8_t sub, int port) {
    Prefix p{{kFnComm, sub, 0}, 2};
    if (port > 0) {
        p.bytes[1] = static_cast<uint8_t>(sub | kEx);
        p.bytes[2] = static_cast<uint8_t>(port - 1);
        p.length = 3;
    }
    return p;
}

// The caller's Ex port number: counted from 1, so 0 names no port.
constexpr int kNoPort = -1;
int exPort(uint8_t port) {
    return port == 0 ? kNoPort : port;
}

// One request/answer: prefix, then tail bytes, then data. received: answer length.
int32_t send(NLIDevice* device, const Prefix& pre, const uint8_t* tail, size_t tailLength,
             const void* data, size_t dataLength, uint8_t* response, uint16_t room,
             uint16_t& received) {
    if (!device || device->headerLength > NLI_ADDRESSED_HEADER_LENGTH) return NLIE_INVALID_DEVICE;
    uint8_t request[kAccessRoom];
    size_t total = device->headerLength + pre.length + tailLength + dataLength;
    if (total > sizeof request) return NLIE_DATA_TOO_LARGE;
    uint8_t* p = request + device->headerLength;
    std::memcpy(p, pre.bytes, pre.length);
    p += pre.length;
    if (tailLength) std::memcpy(p, tail, tailLength);
    p += tailLength;
    if (dataLength) std::memcpy(p, data, dataLength);
    received = room;
    int32_t rc =
        _SendPacket(device, request, static_cast<uint32_t>(total), response, &received, 1, 0);
    if (received > room) received = room;
    return rc;
}

// The answer's status word, or the error for an answer that has none.
int32_t statusOf(int32_t rc, const uint8_t* response, uint16_t received) {
    if (!answered(rc)) return rc;
    if (received == 0) return NLIE_ZERO_BYTES_RECEIVED;
    if (received < kCountOffset) return NLIE_INVALID_RESPONSE;
    return statusResult(getU16(response + kStatusOffset));
}

int32_t simple(NLIDevice* device, int port, uint8_t sub) {
    if (port == kNoPort) return NLIE_INVALID_REQUEST;
    uint8_t response[kRoom];
    uint16_t received = 0;
    int32_t rc = send(device, prefix(sub, port), nullptr, 0, nullptr, 0, response, kRoom, received);
    return statusOf(rc, response, received);
}

int32_t writeComm(NLIDevice* device, int port, uint16_t length, const void* data) {
    if (port == kNoPort) return NLIE_INVALID_REQUEST;
    if (!device || device->headerLength > NLI_ADDRESSED_HEADER_LENGTH) return NLIE_INVALID_DEVICE;
    Prefix pre = prefix(kWrite, port);
    if (device->headerLength + pre.length + 2u + length > kRoom) return NLIE_DATA_TOO_LARGE;
    if (!data && length) return NLIE_INVALID_REQUEST;
    uint8_t tail[2];
    putU16(tail, length);
    uint8_t response[kRoom];
    uint16_t received = 0;
    int32_t rc = send(device, pre, tail, 2, data, length, response, kRoom, received);
    return statusOf(rc, response, received);
}

int32_t readComm(NLIDevice* device, int port, uint16_t* size, void* buffer) {
    if (port == kNoPort || !size || (!buffer && *size)) return NLIE_INVALID_REQUEST;
    uint16_t wanted = *size;
    uint8_t tail[2];
    putU16(tail, wanted);
    uint8_t response[kRoom];
    uint16_t received = 0;
    int32_t rc = send(device, prefix(kRead, port), tail, 2, nullptr, 0, response, kRoom, received);
    int32_t status = statusOf(rc, response, received);
    if (!answered(rc)) return rc;
    if (received < kCountOffset) {
        *size = 0;
        return status;
    }
    size_t count = 0;
    if (received >= kBytesOffset) {
        count = getU16(response + kCountOffset);
        if (count > wanted) count = wanted;
        if (count > received - kBytesOffset) count = received - kBytesOffset;
    } else if (status == 0) {
        status = NLIE_INVALID_RESPONSE; // a good answer without its count
    }
    if (count) std::memcpy(buffer, response + kBytesOffset, count);
    *size = static_cast<uint16_t>(count);
    return status != 0 ? status : rc;
}

// Answers whose one field is a u16 at offset 11 (bytes waiting, transmit space).
int32_t queryWord(NLIDevice* device, int port, uint8_t sub, uint16_t* value) {
    if (port == kNoPort) return NLIE_INVALID_REQUEST;
    uint8_t response[kRoom];
    uint16_t received = 0;
    int32_t rc = send(device, prefix(sub, port), nullptr, 0, nullptr, 0, response, kRoom, received);
    int32_t status = statusOf(rc, response, received);
    if (!answered(rc) || received < kCountOffset) return status;
    if (received < kBytesOffset) return status != 0 ? status : NLIE_INVALID_RESPONSE;
    if (value) *value = getU16(response + kCountOffset);
    return status;
}

int32_t setupPort(NLIDevice* device, int port, const void* setup, uint8_t store) {
    if (port == kNoPort || !setup) return NLIE_INVALID_REQUEST;
    if (!device || device->headerLength > NLI_ADDRESSED_HEADER_LENGTH) return NLIE_INVALID_DEVICE;
    Prefix pre = prefix(kSetup, port);
    uint8_t request[NLI_ADDRESSED_HEADER_LENGTH + 3 + 2 + NLI_SERIAL_SETUP_SIZE];
    uint8_t* p = request + device->headerLength;
    std::memcpy(p, pre.bytes, pre.length);
    p += pre.length;
    *p++ = store;
    *p++ = 0x00;
    std::memcpy(p, setup, NLI_SERIAL_SETUP_SIZE);
    p += NLI_SERIAL_SETUP_SIZE;
    uint32_t total = static_cast<uint32_t>(p - request);
    uint8_t response[kRoom];
    uint16_t received = kRoom;
    int32_t rc;
    if (store) {
        // Storing writes the module's flash: the completion comes later, and each attempt gets
        // a little longer. The time-out is put back as it was, whatever happens.
        ExtraTimeout longer(device, kStoreTimeoutBonusMs);
        rc = SendPacketTwoResponses(device, request, total, response, &received, 1, 0, 0, nullptr,
                                    kStoreExtraMs, 1, 1);
    } else {
        rc = _SendPacket(device, request, total, response, &received, 1, 0);
    }
    if (received > kRoom) received = kRoom;
    return statusOf(rc, response, received);
}

int32_t readSetup(NLIDevice* device, int port, void* setup) {
    if (port == kNoPort || !setup) return NLIE_INVALID_REQUEST;
    const uint8_t tail[2] = {0x00, 0x00};
    uint8_t response[kRoom];
    uint16_t received = 0;
    int32_t rc =
        send(device, prefix(kReadSetup, port), tail, 2, nullptr, 0, response, kRoom, received);
    if (!answered(rc)) return rc;
    if (received == 0) return NLIE_ZERO_BYTES_RECEIVED;
    // The record comes without a status word; an answer that does not hold all of it (an error
    // answer, for one) leaves the caller's record as it was.
    if (received < 9 + NLI_SERIAL_SETUP_SIZE) return NLIE_INVALID_RESPONSE;
    std::memcpy(setup, response + 9, NLI_SERIAL_SETUP_SIZE);
    return 0;
}

} // namespace
} // namespace nli

using namespace nli;

extern "C" {

NLI_API int32_t NLIWriteComm(NLIDevice* device, uint16_t length, const void* data) {
    return writeComm(device, 0, length, data);
}

NLI_API int32_t NLIReadComm(NLIDevice* device, uint16_t* size, void* buffer) {
    return readComm(device, 0, size, buffer);
}

NLI_API int32_t NLIGetRXAvailable(NLIDevice* device, uint16_t* available) {
    return queryWord(device, 0, kRXAvailable, available);
}

NLI_API int32_t NLIFlushRXQueue(NLIDevice* device) {
    return simple(device, 0, kFlushRX);
}

NLI_API int32_t NLISetupSerialPort(NLIDevice* device, const void* setup, uint8_t store) {
    return setupPort(device, 0, setup, store);
}

NLI_API int32_t NLIGetTXLeft(NLIDevice* device, uint16_t* space) {
    return queryWord(device, 0, kTXLeft, space);
}

NLI_API int32_t NLIReadSerialPortSetup(NLIDevice* device, void* setup) {
    return readSetup(device, 0, setup);
}

NLI_API int32_t NLIAccessComm(NLIDevice* device, uint16_t length, const void* data, uint16_t* size,
                              void* reply) {
    if (!device || device->headerLength > NLI_ADDRESSED_HEADER_LENGTH) return NLIE_INVALID_DEVICE;
    if (device->headerLength + 4u + length > kAccessRoom) return NLIE_DATA_TOO_LARGE;
    if (!data && length) return NLIE_INVALID_REQUEST;
    uint8_t tail[2];
    putU16(tail, length);
    uint8_t response[kAccessRoom];
    uint16_t received = 0;
    int32_t rc =
        send(device, prefix(kAccess, 0), tail, 2, data, length, response, kAccessRoom, received);
    int32_t status = statusOf(rc, response, received);
    if (!answered(rc) || received < kCountOffset) return status;
    int32_t result = status != 0 ? status : rc;
    if (!size || !reply) return result;
    if (received < kBytesOffset) {
        *size = 0;
        return status != 0 ? status : NLIE_INVALID_RESPONSE;
    }
    size_t count = getU16(response + kCountOffset);
    if (count > received - kBytesOffset) count = received - kBytesOffset; // what really came
    if (count > *size) {
        result = NLIE_BUFFER_TOO_SMALL; // size keeps the capacity, the buffer is filled
    } else {
        *size = static_cast<uint16_t>(count);
    }
    if (*size) std::memcpy(reply, response + kBytesOffset, *size);
    return result;
}

NLI_API int32_t NLIWriteCommEx(NLIDevice* device, uint8_t port, uint16_t length, const void* data) {
    return writeComm(device, exPort(port), length, data);
}

NLI_API int32_t NLIReadCommEx(NLIDevice* device, uint8_t port, uint16_t* size, void* buffer) {
    return readComm(device, exPort(port), size, buffer);
}

NLI_API int32_t NLIGetRXAvailableEx(NLIDevice* device, uint8_t port, uint16_t* available) {
    return queryWord(device, exPort(port), kRXAvailable, available);
}

NLI_API int32_t NLIFlushRXQueueEx(NLIDevice* device, uint8_t port) {
    return simple(device, exPort(port), kFlushRX);
}

NLI_API int32_t NLISetupSerialPortEx(NLIDevice* device, uint8_t port, const void* setup,
                                     uint8_t store) {
    return setupPort(device, exPort(port), setup, store);
}

NLI_API int32_t NLIGetTXLeftEx(NLIDevice* device, uint8_t port, uint16_t* space) {
    return queryWord(device, exPort(port), kTXLeft, space);
}

NLI_API int32_t NLIReadSerialPortSetupEx(NLIDevice* device, uint8_t port, void* setup) {
    return readSetup(device, exPort(port), setup);
}

NLI_API int32_t NLIFlushTXQueueEx(NLIDevice* device, uint8_t port) {
    return simple(device, exPort(port), kFlushTX);
}

} // extern "C"
