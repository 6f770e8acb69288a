// Discovery: one broadcast query, then every answer that arrives within the query time-out fills
// one device record, ready for NLIOpenDevice.
#include "link.h"

namespace nli {
namespace {

uint32_t queryTimeoutMs = 600;

constexpr uint16_t kAnswerRoom = 600;
constexpr uint16_t kWaitMs = 20;
constexpr uint16_t kMaxItemData = 512;
constexpr uint32_t kCaptureSize = 20;
// Magic, sequence, CRC, length, 0x55 0xAA and the Ethernet address; byte 17 (no IP address
// yet) is read only when the answer carries it.
constexpr uint16_t kShortestAnswer = 17;
constexpr uint16_t kIpNotSetOffset = 17;

bool isAnswer(const uint8_t* p, uint16_t length) {
    return length >= kShortestAnswer && p[0] == 0x4B && p[1] == 0x56 &&
           (p[2] == 0x52 || p[2] == 0x41) && p[9] == 0x55 && p[10] == 0xAA;
}

void fill(NLIDevice* record, const uint8_t* sender, const uint8_t* answer, uint16_t length,
          bool udp) {
    // address[19] and ipNotSet form the one 20-byte address area.
    static_assert(offsetof(NLIDevice, ipNotSet) == sizeof(NLIDevice::address),
                  "ipNotSet follows the address");
    std::memcpy(reinterpret_cast<uint8_t*>(record), sender, kCaptureSize);
    if (udp) record->ipNotSet = length > kIpNotSetOffset && answer[kIpNotSetOffset] == 1 ? 1 : 0;
    std::memcpy(record->ethernetAddress, answer + 11, 6);
}

int32_t query(NLITransport* transport, NLIDevice* devices, uint16_t* count, uint16_t version,
              uint8_t* request, uint32_t requestLength) {
    if (!transport) return NLIE_NULL_TRANSPORT;
    if (!count) return NLIE_INVALID_REQUEST;
    const uint16_t capacity = *count;
    if (capacity > 0 && !devices) return NLIE_INVALID_REQUEST;

    NLIDevice probeDevice;
    std::memset(&probeDevice, 0, sizeof probeDevice);
    int32_t rc = NLIOpenDevice(transport, &probeDevice, version, kWaitMs, 0, 1);
    if (rc != NLIE_SUCCESS) {
        NLICloseDevice(&probeDevice); // releases whatever the failed open left behind
        return rc;
    }
    probeDevice.addressedHeader = 0;
    probeDevice.headerLength = NLI_HEADER_LENGTH;
    probeDevice.reserved0 = 0;

    uint8_t sender[kCaptureSize] = {};
    probeDevice.captureBuffer = sender;
    probeDevice.captureSize = kCaptureSize;
    const bool udp = transport->protocol == PROTOCOL_UDPIP;

    uint8_t answer[kAnswerRoom];
    uint16_t length = sizeof answer;
    rc = _SendPacket(&probeDevice, request, requestLength, answer, &length, 1, 0);
    const uint32_t start = clockMs();
    uint32_t found = 0;
    int32_t result = NLIE_SUCCESS;
    int32_t stoppedBy = NLIE_SUCCESS;
    for (;;) {
        if (rc == NLIE_SUCCESS) {
            if (isAnswer(answer, length)) {
                if (found < capacity)
                    fill(&devices[found], sender, answer, length, udp);
                else
                    result = NLIE_BUFFER_TOO_SMALL;
                if (found < 0xFFFF) ++found;
            }
        } else if (rc != NLIE_TIMEOUT && rc != NLIE_RETRIES_OCCURRED) {
            stoppedBy = rc;
            break;
        }
        if (clockMs() - start >= queryTimeoutMs) break;
        std::memset(sender, 0, sizeof sender);
        length = sizeof answer;
        rc = GetResponse(&probeDevice, answer, &length, 0, 1, 1);
    }
    probeDevice.captureBuffer = nullptr;
    probeDevice.captureSize = 0;
    NLICloseDevice(&probeDevice);
    if (stoppedBy != NLIE_SUCCESS) return stoppedBy; // the count is not written
    *count = static_cast<uint16_t>(found);
    return result;
}

} // namespace
} // namespace nli

extern "C" {

NLI_API int32_t NLIQueryDevices(NLITransport* transport, NLIDevice* devices, uint16_t* count,
                                uint16_t version) {
    using namespace nli;
    if (!transport) return NLIE_NULL_TRANSPORT;
    if (transport->protocol == PROTOCOL_SERIAL) {
        // A serial link has exactly one module, which the caller opens directly.
        if (!count) return NLIE_INVALID_REQUEST;
        *count = 0;
        return NLIE_SUCCESS;
    }
    uint8_t request[NLI_HEADER_LENGTH + 1] = {};
    request[NLI_HEADER_LENGTH] = 0x05;
    return query(transport, devices, count, version, request, sizeof request);
}

NLI_API int32_t NLIQueryDeviceData(NLITransport* transport, NLIDevice* devices, uint16_t* count,
                                   uint16_t version, uint16_t item, const void* data,
                                   uint16_t length) {
    using namespace nli;
    if (length > kMaxItemData) length = kMaxItemData;
    if (length > 0 && !data) return NLIE_INVALID_REQUEST;
    uint8_t request[NLI_HEADER_LENGTH + 6 + kMaxItemData] = {};
    uint8_t* payload = request + NLI_HEADER_LENGTH;
    payload[0] = 0x09;
    payload[1] = 0x00;
    putU16(payload + 2, item);
    putU16(payload + 4, length);
    if (length > 0) std::memcpy(payload + 6, data, length);
    return query(transport, devices, count, version, request, NLI_HEADER_LENGTH + 6u + length);
}

NLI_API uint32_t NLISetQueryTimeout(uint32_t timeoutMs) {
    uint32_t previous = nli::queryTimeoutMs;
    nli::queryTimeoutMs = timeoutMs;
    return previous;
}

NLI_API uint32_t NLIGetQueryTimeout(void) {
    return nli::queryTimeoutMs;
}

} // extern "C"
