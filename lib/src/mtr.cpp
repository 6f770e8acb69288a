// Remote-master mailbox: data transfers and commands through the module's shared RAM.
#include "internal.h"

#include <ctime>

namespace {

using namespace nli;

constexpr uint16_t kCommandBlock = 0x8030;
constexpr uint16_t kDataWindow = 0x803C;
constexpr uint16_t kStatusLength = 4;

constexpr uint8_t kStartCommand = 6;
constexpr uint8_t kStartRead = 7;
constexpr uint8_t kStartWrite = 8;

constexpr uint8_t kStateDone = 2;
constexpr uint8_t kStateFailed = 3;

// A busy mailbox is asked again after this pause rather than flooded with reads.
constexpr long kBusyPauseNs = 1000000;

enum class Poll {
    Data,     // a failed status read is returned at once; one-byte error code
    Command,  // time-out checked before every read, failed reads repeated; one-byte code
    Extended, // failed reads repeated; two-byte code
};

uint32_t elapsedSince(uint32_t start) { return static_cast<uint32_t>(clockMs() - start); }

void pauseWithin(uint32_t start, uint16_t timeoutMs) {
    uint32_t elapsed = elapsedSince(start);
    if (elapsed >= timeoutMs) return;
    long remainingNs = static_cast<long>(timeoutMs - elapsed) * 1000000L;
    timespec pause{0, remainingNs < kBusyPauseNs ? remainingNs : kBusyPauseNs};
    nanosleep(&pause, nullptr);
}

// The mailbox's own verdict; a failure without an error code must not read as success.
int32_t failureCode(uint16_t code) { return code != 0 ? code : NLIE_INVALID_RESPONSE; }

int32_t waitForMailbox(NLIDevice* device, uint16_t base, uint16_t slot, Poll mode) {
    uint32_t start = clockMs();
    for (;;) {
        if (mode == Poll::Command && elapsedSince(start) >= device->timeoutMs) return NLIE_TIMEOUT;
        uint8_t status[kStatusLength] = {};
        int32_t result =
            NLIReadSharedRAM(device, base, slot, kCommandBlock, kStatusLength, status);
        if (failed(result)) {
            if (mode == Poll::Data) return result;
        } else if (status[1] == kStateDone) {
            return 0;
        } else if (status[1] == kStateFailed) {
            if (mode == Poll::Extended) return failureCode(getU16(status + 2));
            return failureCode(status[2]);
        }
        if (mode != Poll::Command && elapsedSince(start) >= device->timeoutMs) return NLIE_TIMEOUT;
        pauseWithin(start, device->timeoutMs);
    }
}

int32_t writeTransferBlock(NLIDevice* device, uint16_t base, uint16_t slot, uint8_t area,
                           uint16_t offset, uint16_t length) {
    uint8_t block[12] = {};
    putU16(block + 4, area);
    putU16(block + 6, offset);
    putU16(block + 8, length);
    return NLIWriteSharedRAM(device, base, slot, kCommandBlock, sizeof block, block);
}

// The block's offset word is 16 bits: a transfer must not wrap to the start of the area.
bool fitsArea(uint16_t offset, uint16_t length) {
    return static_cast<uint32_t>(offset) + length <= 0x10000u;
}

int32_t command(NLIDevice* device, uint16_t base, uint16_t slot, uint16_t code,
                const void* parameters, uint16_t parameterLength, Poll mode) {
    uint8_t block[6 + NLI_MTR_MAX_PARAMETERS] = {};
    putU16(block + 4, code);
    if (parameterLength != 0) std::memcpy(block + 6, parameters, parameterLength);
    int32_t result = NLIWriteSharedRAM(device, base, slot, kCommandBlock,
                                       static_cast<uint16_t>(6 + parameterLength), block);
    if (failed(result)) return result;
    const uint8_t start[2] = {kStartCommand, 0};
    result = NLIWriteSharedRAM(device, base, slot, kCommandBlock, sizeof start, start);
    if (failed(result)) return result;
    return waitForMailbox(device, base, slot, mode);
}

} // namespace

extern "C" {

NLI_API int32_t NLIWriteMTRData(NLIDevice* device, uint16_t base, uint16_t slot, uint8_t area,
                                const void* data, uint16_t length, uint16_t offset) {
    if (device == nullptr) return NLIE_INVALID_DEVICE;
    if (length == 0) return 0;
    if (data == nullptr) return NLIE_INVALID_REQUEST;
    if (!fitsArea(offset, length)) return NLIE_DATA_TOO_LARGE;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (uint32_t done = 0; done < length;) {
        uint16_t chunk = static_cast<uint16_t>(length - done > NLI_MTR_CHUNK ? NLI_MTR_CHUNK
                                                                             : length - done);
        uint16_t at = static_cast<uint16_t>(offset + done);
        int32_t result = writeTransferBlock(device, base, slot, area, at, chunk);
        if (failed(result)) return result;
        result = NLIWriteSharedRAM(device, base, slot, kDataWindow, chunk, bytes + done);
        if (failed(result)) return result;
        const uint8_t start = kStartWrite;
        result = NLIWriteSharedRAM(device, base, slot, kCommandBlock, 1, &start);
        if (failed(result)) return result;
        result = waitForMailbox(device, base, slot, Poll::Data);
        if (result != 0) return result;
        done += chunk;
    }
    return 0;
}

NLI_API int32_t NLIReadMTRData(NLIDevice* device, uint16_t base, uint16_t slot, uint8_t area,
                               void* buffer, uint16_t length, uint16_t offset) {
    if (device == nullptr) return NLIE_INVALID_DEVICE;
    if (length == 0) return 0;
    if (buffer == nullptr) return NLIE_INVALID_REQUEST;
    if (!fitsArea(offset, length)) return NLIE_DATA_TOO_LARGE;
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    for (uint32_t done = 0; done < length;) {
        uint16_t chunk = static_cast<uint16_t>(length - done > NLI_MTR_CHUNK ? NLI_MTR_CHUNK
                                                                             : length - done);
        uint16_t at = static_cast<uint16_t>(offset + done);
        int32_t result = writeTransferBlock(device, base, slot, area, at, chunk);
        if (failed(result)) return result;
        const uint8_t start[2] = {kStartRead, 0};
        result = NLIWriteSharedRAM(device, base, slot, kCommandBlock, sizeof start, start);
        if (failed(result)) return result;
        result = waitForMailbox(device, base, slot, Poll::Data);
        if (result != 0) return result;
        result = NLIReadSharedRAM(device, base, slot, kDataWindow, chunk, bytes + done);
        if (failed(result)) return result;
        done += chunk;
    }
    return 0;
}

NLI_API int32_t NLIDoMTRCommand(NLIDevice* device, uint16_t base, uint16_t slot,
                                uint16_t code) {
    if (device == nullptr) return NLIE_INVALID_DEVICE;
    return command(device, base, slot, code, nullptr, 0, Poll::Command);
}

NLI_API int32_t NLIDoMTRCommandEx(NLIDevice* device, uint16_t base, uint16_t slot,
                                  uint16_t code, const void* parameters,
                                  uint16_t parameterLength) {
    if (device == nullptr) return NLIE_INVALID_DEVICE;
    if (parameterLength > NLI_MTR_MAX_PARAMETERS) return NLIE_DATA_TOO_LARGE;
    if (parameters == nullptr && parameterLength != 0) return NLIE_INVALID_REQUEST;
    return command(device, base, slot, code, parameters, parameterLength, Poll::Extended);
}

NLI_API int32_t XPLCWriteMTRData(NLIDevice* device, uint16_t base, uint16_t slot, uint8_t area,
                                 const void* data, uint16_t length, uint16_t offset) {
    return NLIWriteMTRData(device, base, slot, area, data, length, offset);
}

NLI_API int32_t XPLCReadMTRData(NLIDevice* device, uint16_t base, uint16_t slot, uint8_t area,
                                void* buffer, uint16_t length, uint16_t offset) {
    return NLIReadMTRData(device, base, slot, area, buffer, length, offset);
}

NLI_API int32_t XPLCDoMTRCommand(NLIDevice* device, uint16_t base, uint16_t slot,
                                 uint16_t code) {
    return NLIDoMTRCommand(device, base, slot, code);
}

NLI_API int32_t XPLCDoMTRCommandEx(NLIDevice* device, uint16_t base, uint16_t slot,
                                   uint16_t code, const void* parameters,
                                   uint16_t parameterLength) {
    return NLIDoMTRCommandEx(device, base, slot, code, parameters, parameterLength);
}

} // extern "C"
