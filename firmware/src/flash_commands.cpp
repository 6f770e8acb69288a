// The flash command set. Each request is built at the device's headerLength offset of a request
// buffer (the engine writes the header in front of it) and sent with _SendPacket, waiting,
// without retry reporting. A slow request (erase, flash write, and a copy when asked) answers
// twice: an acknowledgement at once and, when the flash work is done, a completion whose status
// word is the result.
#include "firmware/flash_commands.h"

#include "firmware/trace.h"

#include <cstring>

namespace firmware {

namespace {

// The addressed header, the longest command's fields, the data and some slack.
constexpr size_t kRequestRoom = NLI_ADDRESSED_HEADER_LENGTH + 24 + kMaxWriteData;
constexpr uint16_t kAnswerRoom = 200;
constexpr uint16_t kInfoAnswerRoom = 1000;
constexpr uint16_t kReadAnswerRoom = 1600;

void putU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void putU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t getU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t segmentOf(uint32_t packed) {
    return static_cast<uint16_t>(packed >> 16);
}
uint16_t offsetOf(uint32_t packed) {
    return static_cast<uint16_t>(packed & 0xFFFF);
}

bool failed(int32_t result) {
    return NLI_FAILED(result);
}

// One request under construction: the payload is appended after the device's header room.
class Request {
  public:
    explicit Request(const NLIDevice* device) : length_(device->headerLength) {
        std::memset(bytes_, 0, sizeof bytes_);
    }
    Request& u8(uint8_t v) {
        bytes_[length_++] = v;
        return *this;
    }
    Request& u16(uint16_t v) {
        putU16(bytes_ + length_, v);
        length_ += 2;
        return *this;
    }
    Request& u32(uint32_t v) {
        putU32(bytes_ + length_, v);
        length_ += 4;
        return *this;
    }
    Request& data(const uint8_t* p, uint16_t n) {
        if (n > 0) std::memcpy(bytes_ + length_, p, n);
        length_ += n;
        return *this;
    }
    uint8_t* bytes() { return bytes_; }
    uint32_t length() const { return static_cast<uint32_t>(length_); }

  private:
    uint8_t bytes_[kRequestRoom];
    size_t length_;
};

// The function code and its one's complement.
Request command(const NLIDevice* device, uint8_t code) {
    Request r(device);
    r.u8(code).u8(static_cast<uint8_t>(0xFF - code));
    return r;
}

// Sends and waits for one answer; *length holds the room on entry, the received length after.
int32_t exchange(NLIDevice* device, Request& request, uint8_t* answer, uint16_t* length,
                 bool wait = true) {
    return _SendPacket(device, request.bytes(), request.length(), answer, length, wait ? 1 : 0, 0);
}

// The status word of an answer: 0x8005 when it carries no payload, 0x8012 when it is too short
// for a status word (a lone byte would otherwise be read together with stale buffer bytes).
int32_t statusOf(const uint8_t* answer, uint16_t length) {
    if (length <= NLI_HEADER_LENGTH) return NLIE_ZERO_BYTES_RECEIVED;
    if (length < NLI_HEADER_LENGTH + 2) return NLIE_INVALID_RESPONSE;
    return getU16(answer + NLI_HEADER_LENGTH);
}

// Request, acknowledgement, then the completion's status word.
int32_t withCompletion(NLIDevice* device, Request& request) {
    uint8_t answer[kAnswerRoom];
    uint16_t length = kAnswerRoom;
    int32_t rc = exchange(device, request, answer, &length);
    if (failed(rc)) return rc;
    length = kAnswerRoom;
    rc = GetResponse(device, answer, &length, kCompletionExtraMs, 1, 1);
    if (failed(rc)) return rc;
    return statusOf(answer, length);
}

// Request and one answer whose contents are not examined.
int32_t plain(NLIDevice* device, Request& request, bool wait = true) {
    uint8_t answer[kAnswerRoom];
    uint16_t length = kAnswerRoom;
    return exchange(device, request, answer, &length, wait);
}

int32_t readMemory(NLIDevice* device, Request& request, uint8_t* buffer, uint16_t count) {
    uint8_t answer[kReadAnswerRoom];
    uint16_t length = kReadAnswerRoom;
    int32_t rc = exchange(device, request, answer, &length);
    if (failed(rc)) return rc;
    // A short answer must not pass stale bytes off as the module's memory.
    if (length < NLI_HEADER_LENGTH || length - NLI_HEADER_LENGTH < count) return NLIE_SIZE_ERROR;
    std::memcpy(buffer, answer + NLI_HEADER_LENGTH, count);
    return 0;
}

int32_t copyRamToFlash(NLIDevice* device, Request& request, bool completion) {
    if (completion) return withCompletion(device, request);
    uint8_t answer[kAnswerRoom];
    uint16_t length = kAnswerRoom;
    int32_t rc = exchange(device, request, answer, &length);
    if (failed(rc)) return rc;
    return statusOf(answer, length);
}

const NLIKeyRecord kKeyRecord = [] {
    static const char kKey[] = "Veltrac NLI scramble key 3.0 - flash access for boot loader";
    static_assert(sizeof kKey == 60, "59 key bytes and the terminating zero");
    NLIKeyRecord record{};
    record.mode = 1;
    std::memcpy(record.key, kKey, sizeof kKey);
    return record;
}();

} // namespace

const NLIKeyRecord& ScrambleKeyRecord() {
    return kKeyRecord;
}

uint32_t NormalizeSegAddress(uint32_t address) {
    uint32_t carry = (address >> 16) & 0xF;
    if (carry == 0) return address;
    return (address & 0xFFF0FFFF) + (carry << 28);
}

const FlashSector kSectorTable[kSectorCount] = {
    {0, 0xE0000000, 0xE000FFFF, 0},  {1, 0xF0000000, 0xF0007FFF, 0},
    {2, 0xF0008000, 0xF0009FFF, 0},  {3, 0xF000A000, 0xF000BFFF, 0},
    {4, 0xF000C000, 0xF000FFFF, 0},  {5, 0xD0000000, 0xD000FFFF, 0},
    {6, 0xC0000000, 0xC000FFFF, 0},  {7, 0xB0000000, 0xB000FFFF, 0},
    {8, 0xA0000000, 0xA000FFFF, 0},  {9, 0x90000000, 0x9000FFFF, 0},
    {10, 0x80000000, 0x8000FFFF, 0}, {11, 0x70000000, 0x7000FFFF, 0},
    {12, 0x60000000, 0x6000FFFF, 0}, {13, 0x50000000, 0x5000FFFF, 0},
    {14, 0x40000000, 0x4000FFFF, 0}, {15, 0x30000000, 0x3000FFFF, 0},
    {16, 0x20000000, 0x2000FFFF, 0}, {17, 0x10000000, 0x1000FFFF, 0},
    {18, 0x00000000, 0x0000FFFF, 0},
};

size_t SectorsForRange(uint32_t first, uint32_t size, uint8_t sectors[kSectorCount]) {
    if (size == 0) return 0;
    uint32_t last = NormalizeSegAddress(first + size - 1);
    size_t n = 0;
    for (const FlashSector& s : kSectorTable)
        if (first <= s.last && last >= s.first) sectors[n++] = static_cast<uint8_t>(s.number);
    return n;
}

// ---------------------------------------------------------------------------------------------
// The requests

int32_t ReadLoaderInfo(NLIDevice* device, uint8_t* info, uint16_t capacity, uint16_t* received) {
    Request r = command(device, 0xAA);
    uint8_t answer[kInfoAnswerRoom];
    uint16_t length = kInfoAnswerRoom;
    int32_t rc = exchange(device, r, answer, &length);
    if (received) *received = 0;
    if (failed(rc)) return rc;
    uint16_t payload = length > NLI_HEADER_LENGTH ? length - NLI_HEADER_LENGTH : 0;
    if (received) *received = payload;
    if (payload < kLoaderInfoSize) return NLIE_SIZE_ERROR;
    if (info)
        std::memcpy(info, answer + NLI_HEADER_LENGTH, payload < capacity ? payload : capacity);
    return rc;
}

int32_t ReadFlashLayout(NLIDevice* device, uint8_t record[kFlashLayoutSize]) {
    Request r = command(device, 0xFB);
    uint8_t answer[kInfoAnswerRoom];
    uint16_t length = kInfoAnswerRoom;
    int32_t rc = exchange(device, r, answer, &length);
    if (failed(rc)) return rc;
    if (length < NLI_HEADER_LENGTH + kFlashLayoutSize) return NLIE_SIZE_ERROR;
    std::memcpy(record, answer + NLI_HEADER_LENGTH, kFlashLayoutSize);
    return rc;
}

int32_t EraseSector(NLIDevice* device, uint8_t sector) {
    Request r = command(device, 0xA7);
    r.u8(sector);
    return withCompletion(device, r);
}

int32_t EraseRange(NLIDevice* device, uint32_t first, uint32_t last) {
    Request r = command(device, 0xF7);
    r.u8(0).u8(0).u32(first).u32(last);
    return withCompletion(device, r);
}

int32_t WriteFlashSeg(NLIDevice* device, uint32_t address, const uint8_t* data, uint16_t count) {
    // The word count is one byte: at most 255 words.
    if (count > kMaxWriteData || count / 2 > 0xFF) return NLIE_DATA_TOO_LARGE;
    if (count % 2 != 0) return NLIE_INVALID_REQUEST;
    Request r = command(device, 0xA6);
    r.u16(segmentOf(address)).u16(offsetOf(address));
    r.u8(static_cast<uint8_t>(count / 2)).u8(0).data(data, count);
    return withCompletion(device, r);
}

int32_t WriteFlashLin(NLIDevice* device, uint32_t address, const uint8_t* data, uint16_t count) {
    if (count > kMaxWriteData) return NLIE_DATA_TOO_LARGE;
    Request r = command(device, 0xF6);
    r.u32(address).u16(count).data(data, count);
    return withCompletion(device, r);
}

int32_t WriteRamSeg(NLIDevice* device, uint32_t address, const uint8_t* data, uint16_t count) {
    if (count > kMaxWriteData) return NLIE_DATA_TOO_LARGE;
    Request r = command(device, 0xA2);
    r.u16(segmentOf(address)).u16(offsetOf(address)).u16(count).data(data, count);
    return plain(device, r);
}

int32_t WriteRamLin(NLIDevice* device, uint32_t address, const uint8_t* data, uint16_t count) {
    if (count > kMaxWriteData) return NLIE_DATA_TOO_LARGE;
    Request r = command(device, 0xF2);
    r.u32(address).u16(count).data(data, count);
    return plain(device, r, device->noWaitIO == 0);
}

int32_t ReadMemSeg(NLIDevice* device, uint32_t address, uint8_t* buffer, uint16_t count) {
    if (count > kMaxReadData) return NLIE_DATA_TOO_LARGE;
    Request r = command(device, 0xA0);
    r.u16(segmentOf(address)).u16(offsetOf(address)).u16(count);
    return readMemory(device, r, buffer, count);
}

int32_t ReadMemLin(NLIDevice* device, uint32_t address, uint8_t* buffer, uint16_t count) {
    if (count > kMaxReadData) return NLIE_DATA_TOO_LARGE;
    Request r = command(device, 0xF0);
    r.u32(address).u16(count);
    return readMemory(device, r, buffer, count);
}

int32_t CopyRamToFlashSeg(NLIDevice* device, uint32_t source, uint32_t destination, uint16_t length,
                          uint16_t mode, uint32_t jump, bool completion) {
    Request r = command(device, 0xA8);
    r.u16(segmentOf(source)).u16(offsetOf(source));
    r.u16(segmentOf(destination)).u16(offsetOf(destination));
    r.u16(length).u16(mode).u16(segmentOf(jump)).u16(offsetOf(jump));
    return copyRamToFlash(device, r, completion);
}

int32_t CopyRamToFlashLin(NLIDevice* device, uint32_t source, uint32_t destination, uint16_t length,
                          uint16_t mode, uint32_t jump, bool completion) {
    Request r = command(device, 0xF8);
    r.u32(source).u32(destination).u16(length).u16(mode).u32(jump);
    return copyRamToFlash(device, r, completion);
}

uint32_t LockRam(NLIDevice* device, uint16_t size) {
    Request r = command(device, 0xA1);
    r.u16(size);
    uint8_t answer[kAnswerRoom];
    uint16_t length = kAnswerRoom;
    int32_t rc = exchange(device, r, answer, &length);
    if (failed(rc) || length < NLI_HEADER_LENGTH + 6) return 0;
    if (getU16(answer + NLI_HEADER_LENGTH) != 0) return 0;
    return getU32(answer + NLI_HEADER_LENGTH + 2);
}

int32_t UnlockRam(NLIDevice* device, uint32_t address) {
    Request r = command(device, 0xA4);
    r.u32(address);
    int32_t rc = plain(device, r);
    return failed(rc) ? rc : 0;
}

int32_t RamLockStatus(NLIDevice* device) {
    Request r = command(device, 0xAD);
    int32_t rc = plain(device, r);
    return failed(rc) ? rc : 0;
}

int32_t ReadMemory(NLIDevice* device, bool linear, uint32_t address, uint8_t* buffer,
                   uint16_t count) {
    return linear ? ReadMemLin(device, address, buffer, count)
                  : ReadMemSeg(device, address, buffer, count);
}

int32_t WriteFlash(NLIDevice* device, bool linear, uint32_t address, const uint8_t* data,
                   uint16_t count) {
    return linear ? WriteFlashLin(device, address, data, count)
                  : WriteFlashSeg(device, address, data, count);
}

int32_t WriteRam(NLIDevice* device, bool linear, uint32_t address, const uint8_t* data,
                 uint16_t count) {
    return linear ? WriteRamLin(device, address, data, count)
                  : WriteRamSeg(device, address, data, count);
}

int32_t CopyRamToFlash(NLIDevice* device, bool linear, uint32_t source, uint32_t destination,
                       uint16_t length, uint16_t mode, uint32_t jump, bool completion) {
    return linear ? CopyRamToFlashLin(device, source, destination, length, mode, jump, completion)
                  : CopyRamToFlashSeg(device, source, destination, length, mode, jump, completion);
}

// ---------------------------------------------------------------------------------------------
// Operations

int32_t Probe(NLIDevice* device) {
    Request r(device);
    r.u8(0x00);
    return plain(device, r);
}

bool IsDeviceAvailable(NLIDevice* device, bool tryScrambled) {
    NLITransport* transport = device->transport;
    if (transport == nullptr) return false;
    if (transport->protocol == PROTOCOL_SERIAL) return !failed(Probe(device));

    if (tryScrambled) std::memcpy(&transport->scramble, &kKeyRecord, sizeof kKeyRecord);
    if (!failed(Probe(device))) return true;
    if (!tryScrambled) return false;

    // Modules that answer only plain requests: scrambling off, then two plain attempts.
    transport->scramble.mode &= ~static_cast<uint32_t>(0xFF);
    if (!failed(Probe(device))) return true;
    return !failed(Probe(device));
}

int32_t IsLinearAddressing(NLIDevice* device, bool* linear) {
    uint8_t info[kLoaderInfoSize];
    int32_t rc = ReadLoaderInfo(device, info, sizeof info, nullptr);
    if (rc != 0) {
        FirmwareTrace("- Error %d (0x%X) [%s] from NLIReadDeviceDef.", static_cast<int>(rc),
                      static_cast<unsigned>(rc), ResultCodeName(rc));
        if (rc == NLIE_TIMEOUT) {
            *linear = false;
            return 0;
        }
        if (failed(rc)) return rc;
    }
    *linear = (info[12] & 1) != 0;
    return rc;
}

int32_t EraseFlashRange(NLIDevice* device, uint32_t first, uint32_t size) {
    bool linear = false;
    int32_t rc = IsLinearAddressing(device, &linear);
    if (failed(rc)) return rc;
    if (size == 0) return 0;
    if (linear) return EraseRange(device, first, first + size - 1);
    uint8_t sectors[kSectorCount];
    size_t n = SectorsForRange(first, size, sectors);
    for (size_t i = 0; i < n; ++i) {
        rc = EraseSector(device, sectors[i]);
        if (failed(rc)) return rc;
    }
    return 0;
}

void RebootModule(NLIDevice* device, bool linearAddressing) {
    if (linearAddressing) {
        NLIReboot(device);
        return;
    }
    CopyRamToFlashSeg(device, 0, 0, 0, 0, 0xFFFF0000, false);
}

} // namespace firmware
