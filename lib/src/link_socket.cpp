// Datagram links: UDP/IPv4 and IPX sockets, non-blocking, one packet per datagram.
//
// The address area of an IPX device holds the platform's own struct sockaddr_ipx (family AF_IPX,
// port, network, node), as the socket layer reports a sender; so does the transport's bind
// address. Kernels without IPX refuse the socket, and opening the device returns that error.
#include "link.h"

#include <netipx/ipx.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace nli {
namespace {

// Room for many simultaneous discovery answers: a plant of hundreds of modules answers one
// broadcast within a few milliseconds. The kernel caps the value at its configured maximum.
constexpr int kBroadcastReceiveBuffer = 1 << 20;

bool isIpx(const NLIDevice* device) {
    return device->transport->protocol == PROTOCOL_IPX;
}

sockaddr_ipx ipxBroadcast(const NLITransport* transport) {
    sockaddr_ipx a{};
    a.sipx_family = AF_IPX;
    a.sipx_port = htons(MODULE_PORT);
    if (transport->bindAddress) {
        sockaddr_ipx bound{};
        std::memcpy(&bound, transport->bindAddress, sizeof bound);
        a.sipx_network = bound.sipx_network;
    }
    std::memset(a.sipx_node, 0xFF, sizeof a.sipx_node);
    return a;
}

int32_t failAndClose(int fd) {
    int err = errno;
    close(fd);
    return socketError(err);
}

} // namespace

int32_t socketOpen(NLITransport* transport, NLIDevice* device) {
    const bool broadcast = device->broadcast != 0;
    sockaddr_storage destination{};
    sockaddr_storage local{};
    socklen_t addressLength = 0;
    int family = 0;

    if (transport->protocol == PROTOCOL_UDPIP) {
        if (!broadcast && device->ipNotSet == 1) return NLIE_IP_ADDR_NOT_INITIALIZED;
        sockaddr_in to{};
        std::memcpy(&to, device->address, sizeof to);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        if (transport->bindAddress) {
            sockaddr_in bound{};
            std::memcpy(&bound, transport->bindAddress, sizeof bound);
            from.sin_family = bound.sin_family;
            from.sin_port = bound.sin_port;
            from.sin_addr = bound.sin_addr;
        }
        std::memcpy(&destination, &to, sizeof to);
        std::memcpy(&local, &from, sizeof from);
        addressLength = sizeof(sockaddr_in);
        family = AF_INET;
    } else {
        sockaddr_ipx to{};
        std::memcpy(&to, device->address, sizeof to);
        sockaddr_ipx from{};
        from.sipx_family = AF_IPX;
        if (transport->bindAddress) {
            sockaddr_ipx bound{};
            std::memcpy(&bound, transport->bindAddress, sizeof bound);
            from.sipx_family = bound.sipx_family;
            from.sipx_network = bound.sipx_network;
            std::memcpy(from.sipx_node, bound.sipx_node, sizeof from.sipx_node);
            from.sipx_port = bound.sipx_port;
        }
        std::memcpy(&destination, &to, sizeof to);
        std::memcpy(&local, &from, sizeof from);
        addressLength = sizeof(sockaddr_ipx);
        family = AF_IPX;
    }

    // The socket layer is up only while a socket transport is open.
    if (socketLayerUsers() == 0) return kWsaNotInitialised;

    int fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return socketError(errno);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), addressLength) != 0) return failAndClose(fd);
    if (broadcast) {
        int on = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return failAndClose(fd);
        int room = kBroadcastReceiveBuffer;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room); // best effort
    } else if (connect(fd, reinterpret_cast<sockaddr*>(&destination), addressLength) != 0) {
        return failAndClose(fd);
    }
    device->socket = static_cast<uint32_t>(fd);
    return NLIE_SUCCESS;
}

int32_t socketClose(NLIDevice* device) {
    if (device->socket == kNoSocket) return NLIE_SUCCESS;
    int fd = static_cast<int>(device->socket);
    device->socket = kNoSocket;
    return close(fd) == 0 ? NLIE_SUCCESS : socketError(errno);
}

int32_t socketSend(NLIDevice* device, const uint8_t* bytes, uint16_t length) {
    if (device->socket == kNoSocket) return socketError(ENOTSOCK);
    int fd = static_cast<int>(device->socket);
    ssize_t n = -1;
    if (device->broadcast) {
        if (isIpx(device)) {
            sockaddr_ipx to = ipxBroadcast(device->transport);
            do {
                n = sendto(fd, bytes, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            } while (n < 0 && errno == EINTR);
        } else {
            sockaddr_in to = broadcastDestination();
            do {
                n = sendto(fd, bytes, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            } while (n < 0 && errno == EINTR);
        }
    } else {
        // A connected socket reports a port-unreachable bounce of an earlier datagram on the next
        // call; that error belongs to the earlier datagram, so this one is sent again once.
        for (int attempt = 0; attempt < 2; ++attempt) {
            do {
                n = send(fd, bytes, length, 0);
            } while (n < 0 && errno == EINTR);
            if (n >= 0 || errno != ECONNREFUSED) break;
        }
    }
    return n < 0 ? socketError(errno) : NLIE_SUCCESS;
}

int32_t socketReceive(NLIDevice* device, uint8_t* buffer, uint16_t* length) {
    if (device->socket == kNoSocket) {
        *length = 0;
        return socketError(ENOTSOCK);
    }
    int fd = static_cast<int>(device->socket);
    const uint16_t capacity = *length;
    sockaddr_storage sender{};
    socklen_t senderLength = sizeof sender;
    ssize_t n;
    // MSG_TRUNC reports the datagram's real length, so one that does not fit is recognised.
    do {
        if (device->broadcast)
            n = recvfrom(fd, buffer, capacity, MSG_TRUNC | MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&sender), &senderLength);
        else
            n = recv(fd, buffer, capacity, MSG_TRUNC | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);

    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return NLIE_NO_RESPONSE;
        // The bounce of an earlier datagram (nobody listening there then) is not this answer:
        // report nothing, so that a waiting request runs to its own time-out.
        if (errno == ECONNREFUSED && !device->broadcast) return NLIE_NO_RESPONSE;
        *length = 0;
        return socketError(errno);
    }
    if (static_cast<size_t>(n) > capacity) {
        *length = 0; // only the first `capacity` bytes were stored; the datagram is gone
        return kWsaMessageTooLong;
    }
    *length = static_cast<uint16_t>(n);
    if (device->broadcast && device->captureBuffer) {
        size_t copy = senderLength < device->captureSize ? senderLength : device->captureSize;
        std::memcpy(device->captureBuffer, &sender, copy);
        if (senderLength > device->captureSize) return NLIE_BUFFER_TOO_SMALL;
    }
    return NLIE_SUCCESS;
}

} // namespace nli
