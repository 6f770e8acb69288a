// PC-based controller module: starting a program.
#include "internal.h"

namespace {

using namespace nli;

constexpr uint16_t kRequestArea = 500; // payload room, zeroed before use
constexpr uint16_t kNameAt = 2;
constexpr uint16_t kArgumentsAt = 66;
constexpr uint16_t kResponseRoom = 200;
constexpr uint16_t kStatusAt = 9;

static_assert(kArgumentsAt + XPLC_MAX_PROGRAM_ARGUMENTS + 1 == kRequestArea,
              "arguments and their terminator fill the request area");
static_assert(kNameAt + XPLC_MAX_PROGRAM_NAME == kArgumentsAt, "name field is 64 bytes");

bool isBreak(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

} // namespace

extern "C" {

NLI_API int32_t XPLCRunProgram(NLIDevice* device, const char* commandLine) {
    if (commandLine == nullptr) return -1;
    const char* p = commandLine;
    while (*p == ' ') ++p;
    if (*p == '\0') return -1; // empty or only spaces: there is no program to run
    if (device == nullptr || device->headerLength > NLI_ADDRESSED_HEADER_LENGTH)
        return NLIE_INVALID_DEVICE;

    const char* name = p;
    while (*p != '\0' && *p != ' ') ++p;
    size_t nameLength = static_cast<size_t>(p - name);
    while (isBreak(*p)) ++p;
    const char* arguments = p;
    size_t argumentsLength = std::strlen(arguments);
    // Cutting either would start a different program or pass different arguments.
    if (nameLength > XPLC_MAX_PROGRAM_NAME || argumentsLength > XPLC_MAX_PROGRAM_ARGUMENTS)
        return NLIE_DATA_TOO_LARGE;

    uint8_t request[NLI_ADDRESSED_HEADER_LENGTH + kRequestArea] = {};
    uint8_t* payload = request + device->headerLength;
    payload[0] = 0x34;
    payload[1] = 0xCB;
    std::memcpy(payload + kNameAt, name, nameLength);
    std::memcpy(payload + kArgumentsAt, arguments, argumentsLength + 1);
    auto length = static_cast<uint32_t>(device->headerLength + kArgumentsAt + 1 + argumentsLength);

    uint8_t response[kResponseRoom];
    uint16_t received = kResponseRoom;
    int32_t result = _SendPacket(device, request, length, response, &received, 1, 0);
    if (failed(result)) return result;
    if (received == 0) return NLIE_ZERO_BYTES_RECEIVED;
    if (received < kStatusAt + 2 || received > kResponseRoom) return NLIE_INVALID_RESPONSE;
    return static_cast<int32_t>(static_cast<int16_t>(getU16(response + kStatusAt)));
}

} // extern "C"
