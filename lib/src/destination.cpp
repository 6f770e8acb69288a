// Where broadcasts go and which device file a COM port opens: process-wide settings replaced from
// the environment or by the two setters.
#include "link.h"

#include <arpa/inet.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace nli {
namespace {

struct Destination {
    bool set = false;
    sockaddr_in address{};
};

Destination fromEnvironment; // NLI_BROADCAST_ADDRESS as read at the last socket transport open
Destination fromSetter;      // NLISetBroadcastAddress; wins over the environment

constexpr int kCommPorts = 8;
char commPaths[kCommPorts][PATH_MAX]; // NLISetCommPortPath; "" = not mapped

} // namespace

bool parseBroadcastAddress(const char* text, sockaddr_in* out) {
    if (!text) return false;
    char host[INET_ADDRSTRLEN];
    const char* colon = std::strchr(text, ':');
    size_t hostLength = colon ? static_cast<size_t>(colon - text) : std::strlen(text);
    if (hostLength == 0 || hostLength >= sizeof host) return false;
    std::memcpy(host, text, hostLength);
    host[hostLength] = '\0';

    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(MODULE_PORT);
    if (inet_pton(AF_INET, host, &a.sin_addr) != 1) return false;
    if (colon) {
        const char* digits = colon + 1;
        if (*digits < '0' || *digits > '9') return false;
        uint32_t port = 0;
        for (const char* p = digits; *p; ++p) {
            if (*p < '0' || *p > '9') return false;
            port = port * 10 + static_cast<uint32_t>(*p - '0');
            if (port > 65535) return false;
        }
        if (port == 0) return false;
        a.sin_port = htons(static_cast<uint16_t>(port));
    }
    *out = a;
    return true;
}

bool loadBroadcastFromEnvironment() {
    const char* text = std::getenv("NLI_BROADCAST_ADDRESS");
    if (!text || !*text) {
        fromEnvironment.set = false;
        return true;
    }
    sockaddr_in a{};
    // Unreadable text matters only while the setter does not decide the destination anyway.
    if (!parseBroadcastAddress(text, &a)) return fromSetter.set;
    fromEnvironment.set = true;
    fromEnvironment.address = a;
    return true;
}

sockaddr_in broadcastDestination() {
    if (fromSetter.set) return fromSetter.address;
    if (fromEnvironment.set) return fromEnvironment.address;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(MODULE_PORT);
    a.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    return a;
}

const char* commPortPath(uint8_t port, char* scratch, size_t scratchSize) {
    if (port < 1 || port > kCommPorts) return nullptr;
    if (commPaths[port - 1][0]) return commPaths[port - 1];
    char name[] = "NLI_COM0";
    name[7] = static_cast<char>('0' + port);
    const char* env = std::getenv(name);
    if (env && *env) return env;
    std::snprintf(scratch, scratchSize, "/dev/ttyS%d", port - 1);
    return scratch;
}

} // namespace nli

extern "C" {

NLI_API int32_t NLISetBroadcastAddress(const char* address) {
    using namespace nli;
    if (!address || !*address) {
        // Back to the environment as it reads now; text that is not an address keeps the value
        // taken when the transport was opened.
        fromSetter.set = false;
        loadBroadcastFromEnvironment();
        return NLIE_SUCCESS;
    }
    sockaddr_in a{};
    if (!parseBroadcastAddress(address, &a)) return NLIE_INVALID_REQUEST;
    fromSetter.set = true;
    fromSetter.address = a;
    return NLIE_SUCCESS;
}

NLI_API int32_t NLISetCommPortPath(uint8_t port, const char* path) {
    using namespace nli;
    if (port < 1 || port > kCommPorts) return NLIE_INVALID_REQUEST;
    char* slot = commPaths[port - 1];
    if (!path || !*path) {
        slot[0] = '\0';
        return NLIE_SUCCESS;
    }
    size_t length = std::strlen(path);
    if (length >= PATH_MAX) return NLIE_INVALID_REQUEST;
    std::memcpy(slot, path, length + 1);
    return NLIE_SUCCESS;
}

} // extern "C"
