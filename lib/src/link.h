// Link layer internals shared by link.cpp, link_socket.cpp, link_serial.cpp, destination.cpp and
// transport.cpp. Nothing here is exported.
#pragma once

#include "internal.h"

#include <netinet/in.h>

namespace nli {

// The "no socket" value of NLIDevice.socket. Descriptor 0 is a valid socket on Linux, so a
// cleared record must not be mistaken for an open one.
inline constexpr uint32_t kNoSocket = 0xFFFFFFFFu;
// The "no port" value of NLISerialAddress.handle.
inline constexpr intptr_t kNoHandle = -1;

// WinSock numbers used by the library itself.
inline constexpr int32_t kWsaMessageTooLong = 10040;
inline constexpr int32_t kWsaNotInitialised = 10093;

// Maps a socket errno onto the WinSock error number; errno values without a WinSock
// counterpart pass through unchanged.
int32_t socketError(int err);

// Open socket transports, process-wide; a socket device opens only while it is above 0.
int32_t socketLayerUsers();
void socketLayerStart();
void socketLayerStop();

// Socket links (UDP/IP and IPX).
int32_t socketOpen(NLITransport* transport, NLIDevice* device);
int32_t socketClose(NLIDevice* device);
int32_t socketSend(NLIDevice* device, const uint8_t* bytes, uint16_t length);
int32_t socketReceive(NLIDevice* device, uint8_t* buffer, uint16_t* length);

// Serial links.
int32_t serialOpen(NLIDevice* device);
int32_t serialClose(NLIDevice* device);
int32_t serialSend(NLIDevice* device, const uint8_t* bytes, uint16_t length);
int32_t serialReceive(NLIDevice* device, uint8_t* buffer, uint16_t* length);
int serialHandle(const NLIDevice* device);
void setSerialHandle(NLIDevice* device, intptr_t handle);

// The descriptor a device waits on, -1 when none.
int linkDescriptor(const NLIDevice* device);

// Broadcast destination of UDP/IP devices. Read from NLI_BROADCAST_ADDRESS when a socket
// transport opens; text that is not an address keeps the previous value and returns false,
// unless NLISetBroadcastAddress has set the destination.
bool loadBroadcastFromEnvironment();
sockaddr_in broadcastDestination();
// "a.b.c.d" or "a.b.c.d:port" (decimal port 1..65535); false for anything else.
bool parseBroadcastAddress(const char* text, sockaddr_in* out);

// Device path of COM port 1..8: NLISetCommPortPath, else NLI_COMn, else /dev/ttyS(n-1).
// Returns null for a port outside 1..8.
const char* commPortPath(uint8_t port, char* scratch, size_t scratchSize);

} // namespace nli
