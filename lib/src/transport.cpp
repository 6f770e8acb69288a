// Opening and closing the library, transports and devices.
#include "link.h"

namespace nli {
namespace {

bool versionOk(uint16_t version) {
    return version == NLI_INTERFACE_VERSION;
}

} // namespace
} // namespace nli

extern "C" {

NLI_API int32_t NLIOpen(uint16_t version) {
    return nli::versionOk(version) ? NLIE_SUCCESS : NLIE_VERSION_NOT_CORRECT;
}

NLI_API int32_t NLIClose(void) {
    return NLIE_SUCCESS;
}

NLI_API int32_t NLIOpenTransport(NLITransport* transport, uint16_t version, void* bindAddress) {
    using namespace nli;
    if (!versionOk(version)) return NLIE_VERSION_NOT_CORRECT;
    if (!transport) return NLIE_NULL_TRANSPORT;
    transport->scramble.mode = 0;
    transport->bindAddress = bindAddress;
    if (transport->kind == TRANSPORT_WINSOCK) {
        if (transport->protocol != PROTOCOL_IPX && transport->protocol != PROTOCOL_UDPIP)
            return NLIE_UNSUPPORTED_PROTOCOL;
        // A broadcast destination that cannot be read must not turn into a broadcast to the
        // whole network: refuse the transport instead.
        if (!loadBroadcastFromEnvironment()) return NLIE_INVALID_REQUEST;
        socketLayerStart();
        return NLIE_SUCCESS;
    }
    if (transport->kind == TRANSPORT_SERIAL) return NLIE_SUCCESS;
    return NLIE_UNSUPPORTED_TRANSPORT;
}

NLI_API int32_t NLICloseTransport(NLITransport* transport) {
    using namespace nli;
    if (!transport) return NLIE_NULL_TRANSPORT;
    if (transport->kind == TRANSPORT_WINSOCK) {
        if (transport->protocol != PROTOCOL_IPX && transport->protocol != PROTOCOL_UDPIP)
            return NLIE_UNSUPPORTED_PROTOCOL;
        socketLayerStop();
        return NLIE_SUCCESS;
    }
    if (transport->kind == TRANSPORT_SERIAL) return NLIE_SUCCESS;
    return NLIE_UNSUPPORTED_TRANSPORT;
}

NLI_API int32_t NLIOpenDevice(NLITransport* transport, NLIDevice* device, uint16_t version,
                              uint16_t timeoutMs, uint16_t retries, uint32_t broadcast) {
    using namespace nli;
    if (!versionOk(version)) return NLIE_VERSION_NOT_CORRECT;
    if (!transport) return NLIE_NULL_TRANSPORT;
    if (!device) return NLIE_INVALID_DEVICE;

    // address, ipNotSet, ethernetAddress and lastSequence keep their values.
    device->timeoutMs = timeoutMs;
    device->retries = retries;
    device->addressedHeader = broadcast;
    device->broadcast = broadcast;
    device->socket = kNoSocket;
    device->captureBuffer = nullptr;
    device->captureSize = 0;
    device->reserved2 = 0;
    device->retryCount = 0;
    device->crcErrorCount = 0;
    device->unsolicitedCount = 0;
    device->noWaitIO = 0;
    device->tunnel = 0;
    device->tunnelBase = 0;
    device->tunnelSlot = 0;
    device->tunnelParam = 0;
    std::memset(device->reserved3, 0, sizeof device->reserved3);
    device->headerLength = broadcast ? NLI_ADDRESSED_HEADER_LENGTH : NLI_HEADER_LENGTH;
    device->transport = transport;
    return linkOpen(transport, device);
}

NLI_API int32_t NLICloseDevice(NLIDevice* device) {
    using namespace nli;
    if (!device) return NLIE_INVALID_DEVICE;
    if (!device->transport) return NLIE_SUCCESS;
    int32_t rc = linkClose(device);
    device->transport = nullptr;
    return rc;
}

} // extern "C"
