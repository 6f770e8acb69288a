// Memory areas of a module and the shared RAM of the intelligent modules behind it.
#include "request.h"

namespace {

using namespace nli;

constexpr uint16_t kReadRoom = 600;
constexpr uint16_t kWriteRoom = 200;
// An access-memory answer that meets the 600-byte limit still carries the 9-byte header.
constexpr uint16_t kAccessRoom = NLI_HEADER_LENGTH + NLI_MAX_ACCESS_MEMORY;
constexpr uint16_t kStatusAt = 9;
constexpr uint16_t kDataAt = 11;
constexpr uint16_t kListAt = 13; // after status and count
constexpr uint16_t kMaxRequestHeader = NLI_ADDRESSED_HEADER_LENGTH;

constexpr uint8_t kWriteMemory = 0x24;
constexpr uint8_t kReadMemory = 0x25;
constexpr uint8_t kEnumMemory = 0x26;
constexpr uint8_t kAccessMemory = 0x27;
constexpr uint8_t kReadSharedRam = 0x28;
constexpr uint8_t kWriteSharedRam = 0x29;
constexpr uint16_t kSharedRamHighBit = 0x8000;

// Reads deliver their data on a clean status and on the length warning.
bool deliversData(uint16_t status) {
    return (status & 0x0FFF) == 0 || status == NLIE_LENGTH_WARNING;
}

bool badDevice(const NLIDevice* device) {
    return device == nullptr || device->headerLength > kMaxRequestHeader;
}

// Sends and checks that the answer holds at least its status word. received: the bytes of the
// answer, never more than room.
template <size_t Room>
int32_t exchange(NLIDevice* device, RequestBuffer<Room>& request, uint8_t* response, uint16_t room,
                 uint16_t* received) {
    if (request.overflow) return NLIE_DATA_TOO_LARGE;
    *received = room;
    int32_t result = _SendPacket(device, request.bytes, request.length, response, received, 1, 0);
    if (failed(result)) return result;
    if (*received > room) *received = room;
    if (*received == 0) return NLIE_ZERO_BYTES_RECEIVED;
    if (*received < kDataAt) return NLIE_INVALID_RESPONSE;
    return 0;
}

// Sends a read and copies the data the status allows, never more than the module sent.
template <size_t Room>
int32_t readData(NLIDevice* device, RequestBuffer<Room>& request, uint16_t length, void* buffer) {
    uint8_t response[kReadRoom];
    uint16_t received = 0;
    int32_t result = exchange(device, request, response, sizeof response, &received);
    if (result != 0) return result;
    uint16_t status = getU16(response + kStatusAt);
    if (!deliversData(status)) return statusResult(status);
    uint16_t available = static_cast<uint16_t>(received - kDataAt);
    uint16_t n = available < length ? available : length;
    if (n != 0) std::memcpy(buffer, response + kDataAt, n);
    // A short answer that does not say so would leave stale bytes looking like data.
    if (n < length && status != NLIE_LENGTH_WARNING) return NLIE_INVALID_RESPONSE;
    return statusResult(status);
}

template <size_t Room> int32_t writeData(NLIDevice* device, RequestBuffer<Room>& request) {
    uint8_t response[kWriteRoom];
    uint16_t received = 0;
    int32_t result = exchange(device, request, response, sizeof response, &received);
    if (result != 0) return result;
    return statusResult(getU16(response + kStatusAt));
}

template <size_t Room>
void putSharedRamAddress(RequestBuffer<Room>& request, uint8_t code, uint16_t base, uint16_t slot,
                         uint16_t address, uint16_t length) {
    request.put(code);
    request.put((address & kSharedRamHighBit) != 0 ? 1 : 0);
    request.put16(base);
    request.put16(slot);
    request.put16(static_cast<uint16_t>(address & ~kSharedRamHighBit));
    request.put16(length);
}

} // namespace

extern "C" {

NLI_API int32_t NLIReadMemory(NLIDevice* device, uint16_t memoryType, uint32_t address,
                              uint16_t length, void* buffer) {
    if (badDevice(device)) return NLIE_INVALID_DEVICE;
    if (length > NLI_MAX_MEMORY_READ) return NLIE_DATA_TOO_LARGE;
    if (buffer == nullptr && length != 0) return NLIE_INVALID_REQUEST;
    RequestBuffer<kMaxRequestHeader + 10> request(device);
    request.put(kReadMemory);
    request.put(0);
    request.put16(memoryType);
    request.put16(length);
    request.put32(address);
    return readData(device, request, length, buffer);
}

NLI_API int32_t NLIWriteMemory(NLIDevice* device, uint16_t memoryType, uint32_t address,
                               uint16_t length, const void* data) {
    if (badDevice(device)) return NLIE_INVALID_DEVICE;
    if (length > NLI_MAX_MEMORY_WRITE) return NLIE_DATA_TOO_LARGE;
    if (data == nullptr && length != 0) return NLIE_INVALID_REQUEST;
    RequestBuffer<kMaxRequestHeader + 10 + NLI_MAX_MEMORY_WRITE> request(device);
    request.put(kWriteMemory);
    request.put(0);
    request.put16(memoryType);
    request.put16(length);
    request.put32(address);
    request.append(data, length);
    return writeData(device, request);
}

NLI_API int32_t NLIENumMemory(NLIDevice* device, uint16_t* count, void* buffer) {
    if (badDevice(device)) return NLIE_INVALID_DEVICE;
    if (count == nullptr || (buffer == nullptr && *count != 0)) return NLIE_INVALID_REQUEST;
    RequestBuffer<kMaxRequestHeader + 1> request(device);
    request.put(kEnumMemory);
    uint8_t response[kReadRoom];
    uint16_t received = 0;
    int32_t result = exchange(device, request, response, sizeof response, &received);
    if (result != 0) {
        if (result == NLIE_ZERO_BYTES_RECEIVED || result == NLIE_INVALID_RESPONSE) *count = 0;
        return result;
    }
    uint16_t status = getU16(response + kStatusAt);
    uint16_t announced = received >= kListAt ? getU16(response + kDataAt) : 0;
    if (received < kListAt && status == 0) result = NLIE_INVALID_RESPONSE;
    uint16_t n = announced;
    if (n > *count) {
        n = *count;
        result = NLIE_BUFFER_TOO_SMALL;
    }
    auto present = static_cast<uint16_t>(
        received > kListAt ? (received - kListAt) / NLI_MEMORY_DESCRIPTOR_SIZE : 0);
    if (n > present) {
        n = present;
        result = NLIE_INVALID_RESPONSE;
    }
    if (status != 0) result = statusResult(status);
    *count = n;
    if (n != 0)
        std::memcpy(buffer, response + kListAt, static_cast<size_t>(n) * NLI_MEMORY_DESCRIPTOR_SIZE);
    return result;
}

NLI_API int32_t NLIAccessMemory(NLIDevice* device, NLIMemoryAccess* records, uint16_t count) {
    if (badDevice(device)) return NLIE_INVALID_DEVICE;
    if (records == nullptr && count != 0) return NLIE_INVALID_REQUEST;
    RequestBuffer<NLI_MAX_ACCESS_MEMORY> request(device);
    request.put(kAccessMemory);
    request.put(0);
    request.put16(count);
    uint32_t requestLength = static_cast<uint32_t>(device->headerLength) + 4;
    uint32_t answerLength = 4;
    for (uint16_t i = 0; i < count; ++i) {
        const NLIMemoryAccess& r = records[i];
        if (r.direction != NLI_MEMORY_READ && r.direction != NLI_MEMORY_WRITE)
            return NLIE_INVALID_REQUEST;
        if (r.data == nullptr && r.length != 0) return NLIE_INVALID_REQUEST;
        requestLength += 9;
        if (r.direction == NLI_MEMORY_WRITE)
            requestLength += r.length;
        else
            answerLength += 9u + r.length;
        if (requestLength > NLI_MAX_ACCESS_MEMORY || answerLength > NLI_MAX_ACCESS_MEMORY)
            return NLIE_DATA_TOO_LARGE;
        request.put(r.direction);
        request.put16(r.memoryType);
        request.put32(r.address);
        request.put16(r.length);
        if (r.direction == NLI_MEMORY_WRITE) request.append(r.data, r.length);
    }

    uint8_t response[kAccessRoom];
    uint16_t received = 0;
    int32_t result = exchange(device, request, response, sizeof response, &received);
    if (result != 0) return result;
    uint16_t status = getU16(response + kStatusAt);
    if ((status & 0x0FFF) != 0 || received < kListAt) return statusResult(status);

    // Entries answer the read records in order; each must fit in what actually arrived.
    uint16_t entries = getU16(response + kDataAt);
    uint32_t at = kListAt;
    uint16_t walked = 0;
    for (uint16_t i = 0; i < count && walked < entries; ++i) {
        const NLIMemoryAccess& r = records[i];
        if (r.direction != NLI_MEMORY_READ) continue;
        if (at + 9 > received) return NLIE_INVALID_RESPONSE;
        const uint8_t* e = response + at;
        if (getU16(e + 1) != r.memoryType || getU32(e + 3) != r.address ||
            getU16(e + 7) != r.length)
            return NLIE_INVALID_RESPONSE;
        if (at + 9 + r.length > received) return NLIE_INVALID_RESPONSE;
        if (r.length != 0) std::memcpy(r.data, e + 9, r.length);
        at += 9u + r.length;
        ++walked;
    }
    // More entries than read records: the answer is not for this request.
    if (walked < entries) return NLIE_INVALID_RESPONSE;
    return statusResult(status);
}

NLI_API int32_t NLIReadSharedRAM(NLIDevice* device, uint16_t base, uint16_t slot,
                                 uint16_t address, uint16_t length, void* buffer) {
    if (badDevice(device)) return NLIE_INVALID_DEVICE;
    if (length > NLI_MAX_MEMORY_READ) return NLIE_DATA_TOO_LARGE;
    if (buffer == nullptr && length != 0) return NLIE_INVALID_REQUEST;
    RequestBuffer<kMaxRequestHeader + 10> request(device);
    putSharedRamAddress(request, kReadSharedRam, base, slot, address, length);
    return readData(device, request, length, buffer);
}

NLI_API int32_t NLIWriteSharedRAM(NLIDevice* device, uint16_t base, uint16_t slot,
                                  uint16_t address, uint16_t length, const void* data) {
    if (badDevice(device)) return NLIE_INVALID_DEVICE;
    if (length > NLI_MAX_SHARED_RAM_WRITE) return NLIE_DATA_TOO_LARGE;
    if (data == nullptr && length != 0) return NLIE_INVALID_REQUEST;
    RequestBuffer<kMaxRequestHeader + 10 + NLI_MAX_SHARED_RAM_WRITE> request(device);
    putSharedRamAddress(request, kWriteSharedRam, base, slot, address, length);
    request.append(data, length);
    return writeData(device, request);
}

} // extern "C"
