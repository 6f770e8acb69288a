// Link layer: dispatch on the transport's kind, the WinSock error numbering, and the wait for a
// link to become readable.
#include "link.h"

#include <poll.h>

#include <cerrno>
#include <climits>

namespace nli {
namespace {

int32_t socketLayerCount = 0;

bool isSocketProtocol(uint16_t protocol) {
    return protocol == PROTOCOL_IPX || protocol == PROTOCOL_UDPIP;
}

// Kind and protocol check shared by every link operation; 0 when the device's link is usable.
int32_t checkLink(const NLIDevice* device) {
    if (!device || !device->transport) return NLIE_INVALID_DEVICE;
    const NLITransport* t = device->transport;
    if (t->kind == TRANSPORT_WINSOCK)
        return isSocketProtocol(t->protocol) ? 0 : NLIE_UNSUPPORTED_PROTOCOL;
    if (t->kind == TRANSPORT_SERIAL) return 0;
    return NLIE_UNSUPPORTED_TRANSPORT;
}

} // namespace

int32_t socketError(int err) {
    switch (err) {
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
    case EPERM:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
    case ENFILE:
        return 10024;
    case EAGAIN:
        return 10035; // EWOULDBLOCK is the same value on Linux
    case EINPROGRESS:
        return 10036;
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    case ECONNRESET:
        return 10054;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case ESHUTDOWN:
    case EPIPE:
        return 10058;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    case ENOTEMPTY:
        return 10066;
    case EUSERS:
        return 10068;
    case EDQUOT:
        return 10069;
    case ESTALE:
        return 10070;
    case EREMOTE:
        return 10071;
    default:
        return err;
    }
}

int32_t socketLayerUsers() {
    return socketLayerCount;
}
void socketLayerStart() {
    ++socketLayerCount;
}
void socketLayerStop() {
    if (socketLayerCount > 0) --socketLayerCount;
}

int32_t linkOpen(NLITransport* transport, NLIDevice* device) {
    if (transport->kind == TRANSPORT_WINSOCK) {
        if (!isSocketProtocol(transport->protocol)) return NLIE_UNSUPPORTED_PROTOCOL;
        return socketOpen(transport, device);
    }
    if (transport->kind == TRANSPORT_SERIAL) return serialOpen(device);
    return NLIE_UNSUPPORTED_TRANSPORT;
}

int32_t linkClose(NLIDevice* device) {
    int32_t rc = checkLink(device);
    if (rc != 0) return rc;
    return device->transport->kind == TRANSPORT_WINSOCK ? socketClose(device) : serialClose(device);
}

int32_t linkSend(NLIDevice* device, const uint8_t* bytes, uint16_t length) {
    int32_t rc = checkLink(device);
    if (rc != 0) return rc;
    return device->transport->kind == TRANSPORT_WINSOCK ? socketSend(device, bytes, length)
                                                        : serialSend(device, bytes, length);
}

int32_t linkReceive(NLIDevice* device, uint8_t* buffer, uint16_t* length) {
    int32_t rc = checkLink(device);
    if (rc != 0) return rc;
    return device->transport->kind == TRANSPORT_WINSOCK ? socketReceive(device, buffer, length)
                                                        : serialReceive(device, buffer, length);
}

int linkDescriptor(const NLIDevice* device) {
    if (checkLink(device) != 0) return -1;
    if (device->transport->kind == TRANSPORT_SERIAL) return serialHandle(device);
    return device->socket == kNoSocket ? -1 : static_cast<int>(device->socket);
}

void linkWaitReadable(NLIDevice* device, uint32_t timeoutMs) {
    if (timeoutMs == 0) return;
    int ms = timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs);
    pollfd p{};
    p.fd = linkDescriptor(device);
    p.events = POLLIN;
    // Without a descriptor this is a plain sleep, so a caller's loop never spins. A signal ends
    // the wait early; the caller measures its deadline on the clock and comes back.
    if (p.fd < 0)
        poll(nullptr, 0, ms);
    else
        poll(&p, 1, ms);
}

} // namespace nli
