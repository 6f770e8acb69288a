// Panel adapters: the node list of the adapters on the network and the program-space write.
//
// The node list lives in the library's own static storage (a transport, 200 device records and
// 200 entries), so the caller gets a pointer without anything being allocated. A successful
// list keeps its transport and adapter devices open for ZTSendPacket; the next call closes them
// before it rebuilds the list, and a failed call leaves nothing open.
#include "internal.h"

#include <cstdlib>

namespace {

using namespace nli;

constexpr uint16_t kQueryRoom = ZT_MAX_NODES;
constexpr uint16_t kMostExamined = 101;
constexpr uint16_t kAdapterTimeoutMs = 100;
constexpr uint16_t kAdapterRetries = 2;
constexpr uint16_t kDefinitionLength = 42;
constexpr uint8_t kPanelAdapterFamily = 6;

constexpr uint16_t kWriteRoom = 200;
constexpr uint16_t kStatusAt = 9;
constexpr uint16_t kExtraTimeoutMs = 10;
constexpr uint16_t kCompletionExtraMs = 30000;
constexpr uint16_t kMaxPacket = 600;

NLITransport gTransport;
bool gTransportOpen = false;
NLIDevice gDevices[kQueryRoom];
ZTNodeListEntry gList[ZT_MAX_NODES];

void releaseAll() {
    for (NLIDevice& d : gDevices)
        if (d.transport != nullptr) NLICloseDevice(&d);
    if (gTransportOpen) NLICloseTransport(&gTransport);
    gTransportOpen = false;
}

ZTNodeListEntry* fail() {
    releaseAll();
    return nullptr;
}

// The entry fields are shorter than the items may be (a u32 node number, a name of up to 256
// bytes): cutting them to the field is the point, so "buffer too small" counts as read.
bool readOk(int32_t result) { return !failed(result) || result == NLIE_BUFFER_TOO_SMALL; }

bool readAdapter(NLIDevice* device, ZTNodeListEntry& entry) {
    std::memset(&entry, 0, sizeof entry);
    uint8_t number[4] = {};
    uint16_t size = sizeof number;
    if (!readOk(NLIReadSetupData(device, DT_NODE_NUMBER, number, &size))) return false;
    entry.nodeNumber = getU16(number);
    size = sizeof entry.name;
    if (!readOk(NLIReadSetupData(device, DT_NODE_NAME, entry.name, &size))) return false;
    entry.device = device;
    return true;
}

// Saturates rather than wrapping a time-out close to 65535 ms, and always puts it back.
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

// IPX unless NLI_ZT_PROTOCOL says udp: Linux kernels rarely carry IPX any more.
uint16_t nodeListProtocol() {
    const char* choice = std::getenv("NLI_ZT_PROTOCOL");
    if (choice != nullptr && (std::strcmp(choice, "udp") == 0 || std::strcmp(choice, "UDP") == 0))
        return PROTOCOL_UDPIP;
    return PROTOCOL_IPX;
}

} // namespace

extern "C" {

NLI_API ZTNodeListEntry* ZTGetNodeList(uint16_t* count) {
    if (count != nullptr) *count = 0;
    // The previous list's devices would otherwise be opened over and their sockets lost.
    releaseAll();
    std::memset(gDevices, 0, sizeof gDevices);
    std::memset(gList, 0, sizeof gList);
    std::memset(&gTransport, 0, sizeof gTransport);
    gTransport.kind = TRANSPORT_WINSOCK;
    gTransport.protocol = nodeListProtocol();
    if (NLIOpenTransport(&gTransport, NLI_INTERFACE_VERSION, nullptr) != 0) return nullptr;
    gTransportOpen = true;

    uint16_t answers = kQueryRoom;
    if (NLIQueryDevices(&gTransport, gDevices, &answers, NLI_INTERFACE_VERSION) != 0) return fail();

    uint16_t found = 0;
    for (uint16_t i = 0; i < answers && i < kMostExamined; ++i) {
        NLIDevice* device = &gDevices[i];
        if (NLIOpenDevice(&gTransport, device, NLI_INTERFACE_VERSION, kAdapterTimeoutMs,
                          kAdapterRetries, 0) != 0)
            return fail();
        uint8_t definition[kDefinitionLength] = {};
        if (!readOk(NLIReadDeviceDef(device, definition, sizeof definition))) return fail();
        if (definition[2] != kPanelAdapterFamily) {
            NLICloseDevice(device);
            continue;
        }
        if (found == ZT_MAX_NODES || !readAdapter(device, gList[found])) return fail();
        ++found;
    }
    if (found == 0) return fail();
    if (count != nullptr) *count = found;
    return gList;
}

NLI_API int32_t NLIWriteZTethernetPgmSpace(NLIDevice* device, const void* data,
                                           uint16_t length) {
    if (device == nullptr || device->headerLength > NLI_ADDRESSED_HEADER_LENGTH)
        return NLIE_INVALID_DEVICE;
    if (device->headerLength + length + 4u > kMaxPacket || length > ZT_MAX_PGM_SPACE_WRITE)
        return NLIE_DATA_TOO_LARGE;
    if (data == nullptr && length != 0) return NLIE_INVALID_REQUEST;

    uint8_t request[NLI_ADDRESSED_HEADER_LENGTH + 4 + ZT_MAX_PGM_SPACE_WRITE] = {};
    uint8_t* payload = request + device->headerLength;
    payload[0] = 0x60;
    payload[1] = 0x00;
    if (length != 0) std::memcpy(payload + 4, data, length);
    uint32_t requestLength = device->headerLength + 4u + length;

    uint8_t response[kWriteRoom];
    uint16_t received = kWriteRoom;
    int32_t result;
    {
        ExtraTimeout extra(device, kExtraTimeoutMs);
        result = SendPacketTwoResponses(device, request, requestLength, response, &received, 1, 0,
                                        0, nullptr, kCompletionExtraMs, 1, 1);
    }
    if (failed(result)) return result;
    if (received == 0) return NLIE_ZERO_BYTES_RECEIVED;
    if (received < kStatusAt + 2 || received > kWriteRoom) return NLIE_INVALID_RESPONSE;
    uint16_t status = getU16(response + kStatusAt);
    if (status != 0) return static_cast<int32_t>(static_cast<int16_t>(status));
    return result;
}

NLI_API int32_t ZTSendPacket(NLIDevice* device, const void* packet, uint8_t* reply,
                             uint16_t length) {
    if (packet == nullptr) return 0;
    const uint8_t* data = static_cast<const uint8_t*>(packet) + ZT_PACKET_DATA_OFFSET;
    if (NLIWriteZTethernetPgmSpace(device, data, length) != 0) return 0;
    if (reply != nullptr) *reply = 0;
    return 1;
}

} // extern "C"
