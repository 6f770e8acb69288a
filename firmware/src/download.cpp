// The flash download. Every step that fails returns at once with its result; nothing already
// written is undone (the module is left in its boot loader). The firmware trace lines are the
// only report of which step failed.
#include "firmware/download.h"

#include "firmware/trace.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

namespace firmware {

namespace {

// The read-back buffer of a chunk and of the identity area.
constexpr uint16_t kReadBufferSize = 600;
static_assert(kChunkLinear <= kReadBufferSize && kChunkSegmented <= kReadBufferSize);

constexpr int kChunkAttempts = 10; // failures of one chunk before the download gives up
constexpr uint16_t kVersionInfoRoom = 52;
constexpr uint16_t kCatchVersionRoom = 50;
constexpr uint16_t kCatchTimeoutSerialMs = 100; // per request while catching the boot loader
constexpr uint16_t kCatchTimeoutNetworkMs = 5;
constexpr uint32_t kProbePauseMs = 10;      // between availability probes of a returning module
constexpr uint32_t kBootOsReadPauseMs = 20; // between reads of DT_BOOT_OS
constexpr int kRaisedNice = -10;            // the priority the boot-loader catch runs at

DownloadTimings gTimings;

uint16_t getU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void putU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool failed(int32_t result) {
    return NLI_FAILED(result);
}

uint32_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

// True once now has reached deadline (wrap-around safe).
bool reached(uint32_t deadline) {
    return static_cast<int32_t>(nowMs() - deadline) >= 0;
}

void sleepMs(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool onSerialLink(const NLIDevice* device) {
    return device->transport != nullptr && device->transport->protocol == PROTOCOL_SERIAL;
}

void report(DownloadObserver* observer, DownloadPhase phase, uint32_t done = 0,
            uint32_t total = 0) {
    if (observer) observer->progress(phase, done, total);
}

VersionTriple versionAt(const uint8_t* p) {
    VersionTriple v;
    v.major = p[0];
    v.minor = p[1];
    v.build = getU16(p + 2);
    return v;
}

// Raises the scheduling priority of the calling thread for the boot-loader catch, best effort
// (an unprivileged process may not raise it), and always puts it back.
class PriorityBoost {
  public:
    PriorityBoost() {
        errno = 0;
        int current = getpriority(PRIO_PROCESS, 0);
        if (errno != 0 || current <= kRaisedNice) return;
        saved_ = current;
        raised_ = setpriority(PRIO_PROCESS, 0, kRaisedNice) == 0;
    }
    ~PriorityBoost() {
        if (raised_) setpriority(PRIO_PROCESS, 0, saved_);
    }
    PriorityBoost(const PriorityBoost&) = delete;
    PriorityBoost& operator=(const PriorityBoost&) = delete;

  private:
    int saved_ = 0;
    bool raised_ = false;
};

// Restores the device's time-out and retries.
class DeviceSettings {
  public:
    explicit DeviceSettings(NLIDevice* device)
        : device_(device), timeoutMs_(device->timeoutMs), retries_(device->retries) {}
    ~DeviceSettings() {
        device_->timeoutMs = timeoutMs_;
        device_->retries = retries_;
    }
    DeviceSettings(const DeviceSettings&) = delete;
    DeviceSettings& operator=(const DeviceSettings&) = delete;

  private:
    NLIDevice* device_;
    uint16_t timeoutMs_;
    uint16_t retries_;
};

// Writes the saved transport record back, so that the scrambling the probes chose does not
// outlive the download.
class TransportRestore {
  public:
    explicit TransportRestore(NLITransport* transport)
        : transport_(transport), saved_(*transport) {}
    ~TransportRestore() { *transport_ = saved_; }
    TransportRestore(const TransportRestore&) = delete;
    TransportRestore& operator=(const TransportRestore&) = delete;

  private:
    NLITransport* transport_;
    NLITransport saved_;
};

// Probes a restarting module until it answers or limitMs pass.
bool waitAvailable(NLIDevice* device, bool tryScrambled, uint32_t limitMs) {
    uint32_t deadline = nowMs() + limitMs;
    for (;;) {
        if (IsDeviceAvailable(device, tryScrambled)) return true;
        if (reached(deadline)) return false;
        sleepMs(kProbePauseMs);
    }
}

struct ImageBuffer {
    std::unique_ptr<uint8_t[]> bytes{new (std::nothrow) uint8_t[kImageBufferSize]};
};

bool overlaps(uint64_t aFirst, uint64_t aLast, uint64_t bFirst, uint64_t bLast) {
    return aFirst <= bLast && bFirst <= aLast;
}

// State of one ProgramImage run.
struct Job {
    NLIDevice* device;
    LoadedImage& image;
    DownloadObserver* observer;
    bool linear = false;
    bool runsOS = false;
    FlashLayout layout{};
    uint32_t eraseStart = 0;
    uint32_t eraseSize = 0;
    bool ramMode = false;
    uint32_t lockedAddress = 0;
    uint32_t blockSize = 0;
};

uint16_t kindOf(const LoadedImage& image) {
    return image.header.imageKind;
}

int32_t quickBoot(Job& job) {
    NLIDevice* device = job.device;
    const uint8_t flag[2] = {0xAA, 0xAA};
    int32_t rc = WriteRamSeg(device, kQuickBootFlagAddress, flag, 2);
    if (failed(rc)) {
        FirmwareTrace("- Error %d (0x%X) Writing Ram for QuickBoot", static_cast<int>(rc),
                      static_cast<unsigned>(rc));
        return rc;
    }
    uint8_t record[sizeof(OSDef)];
    rc = ReadMemSeg(device, kInstalledOSDefSeg, record, sizeof record);
    if (failed(rc)) {
        FirmwareTrace("- Error %d (0x%X) reading OSDef", static_cast<int>(rc),
                      static_cast<unsigned>(rc));
        return rc;
    }
    uint32_t destination = getU32(record + 8) == 0xFFFFFFFF ? 0xF0000000 : 0xE0000000;
    report(job.observer, DownloadPhase::EnteringBootLoader);
    CopyRamToFlashSeg(device, kQuickBootSource, destination, 0, 1, job.layout.restartAddress,
                      false);
    if (!waitAvailable(device, false, gTimings.comeBackMs)) return kBooterDidNotBoot;
    return 0;
}

// Sets the erase range, RAM mode and (boot loader) the locked RAM; may erase or QuickBoot.
int32_t prepare(Job& job) {
    LoadedImage& image = job.image;
    NLIDevice* device = job.device;
    switch (kindOf(image)) {
    case IMAGE_OS_BLOCK: {
        OSDef def;
        def.start = image.imageAddress;
        def.end = image.imageAddress + image.imageLength - 1;
        def.runAddress = image.runAddress;
        def.crc = image.crc;
        std::memcpy(image.buffer + job.blockSize - sizeof(OSDef), &def, sizeof def);
        image.imageLength = job.blockSize;
        job.eraseStart = image.imageAddress;
        job.eraseSize = job.blockSize;
        if (job.runsOS) return quickBoot(job);
        // The sector holding the block: 0 for E000:0000, 1 for F000:0000, and for a block
        // elsewhere its own sector rather than F000's.
        uint8_t sector = 1;
        uint8_t found[kSectorCount];
        if (SectorsForRange(image.imageAddress, 1, found) > 0) sector = found[0];
        report(job.observer, DownloadPhase::Erasing);
        int32_t rc = EraseSector(device, sector);
        if (failed(rc)) {
            FirmwareTrace("- Error %d (0x%X) erasing flash.", static_cast<int>(rc),
                          static_cast<unsigned>(rc));
            return rc;
        }
        return 0;
    }
    case IMAGE_BOOT_LOADER: {
        job.ramMode = true;
        job.eraseStart = job.layout.bootAreaBase;
        job.eraseSize = job.layout.bootAreaSize;
        // The answer of the status request is not examined: which part of it would say that
        // the RAM is already locked is not known.
        RamLockStatus(device);
        job.lockedAddress = LockRam(device, static_cast<uint16_t>(job.layout.bootAreaSize));
        if (job.lockedAddress == 0) {
            RamLockStatus(device);
            FirmwareTrace(" - Error locking ram.");
            return NLIE_RAM_ALREADY_LOCKED;
        }
        return 0;
    }
    default: // IMAGE_OS
        job.eraseStart = job.layout.osAreaBase;
        job.eraseSize = job.layout.osAreaSize;
        return 0;
    }
}

// The erase range a kind will use, known before anything is sent (for the checks).
void plannedRange(const Job& job, uint32_t& start, uint32_t& size) {
    switch (kindOf(job.image)) {
    case IMAGE_OS_BLOCK:
        start = job.image.imageAddress;
        size = job.blockSize;
        break;
    case IMAGE_BOOT_LOADER:
        start = job.layout.bootAreaBase;
        size = job.layout.bootAreaSize;
        break;
    default:
        start = job.layout.osAreaBase;
        size = job.layout.osAreaSize;
        break;
    }
}

// Whether [imageAddress, imageAddress + eraseSize - 1] overlaps [area, area + size - 1].
bool touchesArea(uint32_t imageAddress, uint32_t eraseSize, uint32_t area, uint32_t size) {
    if (eraseSize == 0 || size == 0) return false;
    return overlaps(imageAddress, static_cast<uint64_t>(imageAddress) + eraseSize - 1, area,
                    static_cast<uint64_t>(area) + size - 1);
}

// Refuses, before anything is sent that changes the module, what would overrun the image
// buffer, the module's RAM staging area or the one-byte-word fields of the requests.
int32_t checkPlan(Job& job) {
    const LoadedImage& image = job.image;
    const FlashLayout& layout = job.layout;
    if (layout.identityAreaSize > kReadBufferSize) {
        FirmwareTrace("\nIdentity area of %u bytes does not fit the read buffer.",
                      static_cast<unsigned>(layout.identityAreaSize));
        return NLIE_INVALID_RESPONSE;
    }
    uint32_t start = 0, size = 0;
    plannedRange(job, start, size);
    uint64_t length = kindOf(image) == IMAGE_OS_BLOCK ? job.blockSize : image.imageLength;
    if (touchesArea(image.imageAddress, size, layout.identityArea, layout.identityAreaSize)) {
        if (layout.identityArea < image.imageAddress) return kAddressOutOfRange;
        length = std::max<uint64_t>(length, static_cast<uint64_t>(layout.identityArea) -
                                                image.imageAddress + layout.identityAreaSize);
    }
    if (touchesArea(image.imageAddress, size, layout.addressArea, 6)) {
        if (layout.addressArea < image.imageAddress) return kAddressOutOfRange;
        length = std::max<uint64_t>(length, static_cast<uint64_t>(layout.addressArea) -
                                                image.imageAddress + 6);
    }
    if (length > image.capacity) return kAddressOutOfRange;
    if (kindOf(image) == IMAGE_BOOT_LOADER) {
        // Staged in the locked RAM and copied with a 16-bit length.
        if (layout.bootAreaSize > 0xFFFF || length > layout.bootAreaSize) {
            FirmwareTrace("\nBoot loader image of %lu bytes does not fit the RAM buffer (%u).",
                          static_cast<unsigned long>(length),
                          static_cast<unsigned>(layout.bootAreaSize));
            return kAddressOutOfRange;
        }
    }
    if (kindOf(image) == IMAGE_OS && job.linear) {
        uint64_t areaEnd = static_cast<uint64_t>(layout.osAreaBase) + layout.osAreaSize;
        if (image.imageAddress < layout.osAreaBase || image.imageAddress + length > areaEnd) {
            FirmwareTrace("\nImage 0x%lX + 0x%lX lies outside the OS area 0x%lX + 0x%lX.",
                          static_cast<unsigned long>(image.imageAddress),
                          static_cast<unsigned long>(length),
                          static_cast<unsigned long>(layout.osAreaBase),
                          static_cast<unsigned long>(layout.osAreaSize));
            return kAddressOutOfRange;
        }
    }
    return 0;
}

// Keeps the module's identity and Ethernet address areas where the image would overwrite them.
int32_t keepModuleAreas(Job& job) {
    LoadedImage& image = job.image;
    const FlashLayout& layout = job.layout;
    if (touchesArea(image.imageAddress, job.eraseSize, layout.identityArea,
                    layout.identityAreaSize)) {
        uint8_t read[kReadBufferSize] = {};
        int32_t rc = ReadMemory(job.device, job.linear, layout.identityArea, read,
                                static_cast<uint16_t>(layout.identityAreaSize));
        if (failed(rc)) return rc;
        uint32_t offset = layout.identityArea - image.imageAddress;
        std::memcpy(image.buffer + offset, read, layout.identityAreaSize);
        image.imageLength = std::max(image.imageLength, offset + layout.identityAreaSize);
    }
    if (touchesArea(image.imageAddress, job.eraseSize, layout.addressArea, 6)) {
        uint32_t offset = layout.addressArea - image.imageAddress;
        if (!onSerialLink(job.device)) {
            // Seeded with the image's bytes so that an answer too short to carry bytes 4 to 9
            // leaves them as they were, like a failed read.
            uint8_t def[kDeviceDefSize] = {};
            std::memcpy(def + 4, image.buffer + offset, 6);
            if (!failed(NLIReadDeviceDef(job.device, def, kDeviceDefSize)))
                std::memcpy(image.buffer + offset, def + 4, 6);
        }
        image.imageLength = std::max(image.imageLength, offset + 6);
    }
    return 0;
}

bool allErased(const uint8_t* p, uint16_t n) {
    for (uint16_t i = 0; i < n; ++i)
        if (p[i] != 0xFF) return false;
    return true;
}

int32_t writeAndVerify(Job& job, uint32_t writeAddress) {
    LoadedImage& image = job.image;
    NLIDevice* device = job.device;
    const FlashLayout& layout = job.layout;
    const uint16_t chunkSize = job.linear ? kChunkLinear : kChunkSegmented;
    uint32_t remaining = image.imageLength;
    uint32_t source = 0;
    uint32_t address = writeAddress;
    int attempts = 0;
    const uint32_t total = image.imageLength;
    while (remaining != 0) {
        uint16_t chunk = static_cast<uint16_t>(std::min<uint32_t>(chunkSize, remaining));
        if (chunk % 2 != 0) ++chunk; // the byte after the image is in the (even) buffer
        const uint8_t* data = image.buffer + source;
        bool ok = true;
        // Erased flash already holds 0xFF, RAM does not: staged images are sent whole.
        if (job.ramMode || !allErased(data, chunk)) {
            uint32_t deviceAddress = (address & layout.addressMask) | layout.addressBits;
            report(job.observer, DownloadPhase::Writing, source, total);
            int32_t rc = job.ramMode ? WriteRam(device, job.linear, deviceAddress, data, chunk)
                                     : WriteFlash(device, job.linear, deviceAddress, data, chunk);
            if (failed(rc)) {
                FirmwareTrace("\nError %d (0x%X) from WriteMemory  Addr: %lX  Num2Do: %d",
                              static_cast<int>(rc), static_cast<unsigned>(rc),
                              static_cast<unsigned long>(deviceAddress), chunk);
                ok = false;
            } else {
                uint8_t read[kReadBufferSize] = {};
                rc = ReadMemory(device, job.linear, deviceAddress, read, chunk);
                if (failed(rc)) {
                    FirmwareTrace(
                        "\nError %d (0x%X) from ReadMemory on verify  Addr: %lX Num2Do: %d",
                        static_cast<int>(rc), static_cast<unsigned>(rc),
                        static_cast<unsigned long>(deviceAddress), chunk);
                    ok = false;
                } else {
                    for (uint16_t i = 0; i < chunk; ++i) {
                        if (read[i] == data[i]) continue;
                        FirmwareTrace("\nMismatch at address %lX  Supposed to be %d, but read %d",
                                      static_cast<unsigned long>(address + i), data[i], read[i]);
                        ok = false;
                        break;
                    }
                }
            }
            if (ok) report(job.observer, DownloadPhase::Verifying, source + chunk, total);
        }
        if (!ok) {
            if (++attempts >= kChunkAttempts) return kVerifyFailed;
            continue;
        }
        attempts = 0;
        address += chunk;
        if (!job.linear && (address & 0x10000) != 0) address += 0x0FFF0000;
        source += chunk;
        remaining = chunk > remaining ? 0 : remaining - chunk;
    }
    report(job.observer, DownloadPhase::Verifying, total, total);
    return 0;
}

int32_t finishBlock(Job& job) {
    NLIDevice* device = job.device;
    LoadedImage& image = job.image;
    report(job.observer, DownloadPhase::Restarting);
    RebootModule(device, job.linear);
    sleepMs(onSerialLink(device) ? gTimings.blockRebootPauseSerialMs : gTimings.blockRebootPauseMs);
    if (!waitAvailable(device, true, gTimings.comeBackMs)) {
        FirmwareTrace("- Error updating the OS Signature");
        return kOsDidNotBoot;
    }
    report(job.observer, DownloadPhase::Confirming);
    uint32_t defAddress =
        (image.imageAddress & 0xFFFF0000) + job.blockSize - static_cast<uint32_t>(sizeof(OSDef));
    uint8_t record[sizeof(OSDef)];
    int32_t rc = ReadMemSeg(device, defAddress, record, sizeof record);
    if (failed(rc)) {
        FirmwareTrace("- Error %d (0x%X) reading OSDef", static_cast<int>(rc),
                      static_cast<unsigned>(rc));
        return rc;
    }
    OSDef def;
    std::memcpy(&def, record, sizeof def);
    if (def.bootSignature == kBootSignatureUnset) {
        FirmwareTrace("-  Error: OS not running.");
        return kOsNotRunning;
    }
    const uint8_t mark[2] = {0xAA, 0xAA};
    rc = WriteFlashSeg(device, defAddress + 16, mark, 2);
    if (failed(rc)) {
        FirmwareTrace("- Error %d (0x%X) writing to flash", static_cast<int>(rc),
                      static_cast<unsigned>(rc));
        return rc;
    }
    return CheckFamilyAndType(device, static_cast<uint8_t>(image.header.targetPlatform),
                              static_cast<uint8_t>(image.header.targetFamily),
                              job.layout.identityArea);
}

int32_t finishBootLoader(Job& job) {
    LoadedImage& image = job.image;
    report(job.observer, DownloadPhase::Restarting);
    int32_t rc = CopyRamToFlash(job.device, job.linear, job.layout.ramBuffer, image.imageAddress,
                                static_cast<uint16_t>(image.imageLength), 1,
                                job.layout.restartAddress, false);
    if (failed(rc)) {
        FirmwareTrace("- Error %d (0x%X) [%s] Copying ram to flash ram.", static_cast<int>(rc),
                      static_cast<unsigned>(rc), ResultCodeName(rc));
        return rc;
    }
    job.lockedAddress = 0; // the module unlocks its RAM when the copy is done
    return 0;
}

int32_t finishOS(Job& job) {
    NLIDevice* device = job.device;
    LoadedImage& image = job.image;
    OSDef def;
    def.start = image.imageAddress;
    def.end = image.imageAddress + image.imageLength - 1;
    def.runAddress = image.runAddress;
    if (job.linear) {
        def.crc = image.crc;
    } else {
        def.end = NormalizeSegAddress(def.end);
        def.crc = ImageCrc(image.buffer, image.imageLength % 65536);
    }
    // A write that needed a re-send is done (0x2000): it must not end the download early with a
    // result that reads as success.
    int32_t rc = NLIWriteSetupData(device, DT_BOOT_OS, &def, sizeof def);
    if (failed(rc)) {
        FirmwareTrace("- Error %d (0x%X) [%s] NLIWriteSetupData (DT_BOOT_OS).",
                      static_cast<int>(rc), static_cast<unsigned>(rc), ResultCodeName(rc));
        return rc;
    }
    report(job.observer, DownloadPhase::Restarting);
    RebootModule(device, job.linear);
    sleepMs(gTimings.osRebootPauseMs);
    if (!waitAvailable(device, true, gTimings.comeBackMs)) {
        FirmwareTrace("- Error updating the OS Signature");
        return kOsDidNotBoot;
    }
    sleepMs(onSerialLink(device) ? gTimings.osSettleSerialMs : gTimings.osSettleMs);
    report(job.observer, DownloadPhase::Confirming);
    uint32_t deadline = nowMs() + gTimings.bootOsReadMs;
    for (;;) {
        uint16_t size = sizeof def;
        OSDef read;
        rc = NLIReadSetupData(device, DT_BOOT_OS, &read, &size);
        if (!failed(rc) && size == sizeof read) {
            def = read;
            break;
        }
        if (!failed(rc)) rc = NLIE_INVALID_RESPONSE; // a record too short to be the OSDef
        if (reached(deadline)) {
            FirmwareTrace("- Error %d (0x%X) [%s] NLIReadSetupData (DT_BOOT_OS).",
                          static_cast<int>(rc), static_cast<unsigned>(rc), ResultCodeName(rc));
            return rc;
        }
        sleepMs(kBootOsReadPauseMs);
    }
    if (def.bootSignature == kBootSignatureUnset) {
        FirmwareTrace("-  Error: OS not running  BootSignature: 0x%X.",
                      static_cast<unsigned>(def.bootSignature));
        return kOsNotRunning;
    }
    def.confirmMark = kConfirmMark;
    rc = NLIWriteSetupData(device, DT_BOOT_OS, &def, sizeof def);
    if (failed(rc)) {
        FirmwareTrace("- Error %d (0x%X) [%s] NLIWriteSetupData2 (DT_BOOT_OS).",
                      static_cast<int>(rc), static_cast<unsigned>(rc), ResultCodeName(rc));
        return rc;
    }
    return CheckFamilyAndType(device, static_cast<uint8_t>(image.header.targetPlatform),
                              static_cast<uint8_t>(image.header.targetFamily),
                              job.layout.identityArea);
}

int32_t programLocked(Job& job) {
    LoadedImage& image = job.image;
    NLIDevice* device = job.device;

    int32_t rc = prepare(job);
    if (failed(rc)) return rc;
    rc = keepModuleAreas(job);
    if (failed(rc)) return rc;

    uint32_t writeAddress = image.imageAddress;
    if (job.ramMode) {
        writeAddress = job.layout.ramBuffer;
    } else {
        FirmwareTrace("\nErasing flash TotalBegin: 0x%X  TotalSize: 0x%X",
                      static_cast<unsigned>(job.eraseStart), static_cast<unsigned>(job.eraseSize));
        report(job.observer, DownloadPhase::Erasing);
        rc = EraseFlashRange(device, job.eraseStart, job.eraseSize);
        if (failed(rc)) return rc;
    }
    if ((((writeAddress & job.layout.addressMask) | job.layout.addressBits) &
         job.layout.alignMask) != 0) {
        FirmwareTrace("\nAlignment error. Address: %lX.", static_cast<unsigned long>(writeAddress));
        return kInvalidFileFormat;
    }
    if (image.imageLength != 0) {
        rc = writeAndVerify(job, writeAddress);
        if (rc != 0) return rc;
    }
    switch (kindOf(image)) {
    case IMAGE_OS_BLOCK:
        return finishBlock(job);
    case IMAGE_BOOT_LOADER:
        return finishBootLoader(job);
    default:
        return finishOS(job);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------

FlashLayout FlashLayout::fromRecord(const uint8_t r[kFlashLayoutSize]) {
    FlashLayout l;
    l.bootAreaBase = getU32(r + 0x20);
    l.bootAreaSize = getU32(r + 0x24);
    l.ramBuffer = getU32(r + 0x30);
    l.osAreaBase = getU32(r + 0x40);
    l.osAreaSize = getU32(r + 0x44);
    l.identityArea = getU32(r + 0x80);
    l.identityAreaSize = getU32(r + 0x84);
    l.restartAddress = getU32(r + 0x140);
    l.alignMask = getU32(r + 0x148);
    l.addressMask = getU32(r + 0x14C);
    l.addressBits = getU32(r + 0x154);
    l.addressArea = getU32(r + 0x158);
    return l;
}

void FlashLayout::toRecord(uint8_t r[kFlashLayoutSize]) const {
    putU32(r + 0x20, bootAreaBase);
    putU32(r + 0x24, bootAreaSize);
    putU32(r + 0x30, ramBuffer);
    putU32(r + 0x40, osAreaBase);
    putU32(r + 0x44, osAreaSize);
    putU32(r + 0x80, identityArea);
    putU32(r + 0x84, identityAreaSize);
    putU32(r + 0x140, restartAddress);
    putU32(r + 0x148, alignMask);
    putU32(r + 0x14C, addressMask);
    putU32(r + 0x154, addressBits);
    putU32(r + 0x158, addressArea);
}

FlashLayout BuiltInFlashLayout(const uint8_t deviceDef[kDeviceDefSize]) {
    FlashLayout l;
    if (deviceDef[2] == 2) {
        l.bootAreaBase = 0xA0000000;
        l.bootAreaSize = 0x8000;
        l.ramBuffer = 0xAC003000;
        l.osAreaBase = 0xA0008000;
        l.osAreaSize = 0x400000;
        l.identityArea = 0xA0007FCC;
        l.identityAreaSize = 32;
        l.restartAddress = 0xA0000000;
        l.alignMask = 3;
        l.addressMask = 0x0FFFFFFF;
        l.addressBits = 0xA0000000;
        l.addressArea = 0xA0007FFA;
        return l;
    }
    uint32_t n = getU16(deviceDef + 12);
    l.bootAreaBase = 0xFC000000;
    l.bootAreaSize = 0x4000;
    l.ramBuffer = 0x06000000;
    l.osAreaBase = ((0x10000u - n * 64u) & 0xFFFF) << 16;
    l.osAreaSize = n * 1024u - 0x8000u;
    l.identityArea = 0xFC003FCC;
    l.identityAreaSize = 32;
    l.restartAddress = 0xFC003FF0;
    l.alignMask = 1;
    l.addressMask = 0xFFFFFFFF;
    l.addressBits = 0;
    l.addressArea = 0xFC003FFA;
    return l;
}

int32_t GetFlashLayout(NLIDevice* device, FlashLayout* layout) {
    uint8_t record[kFlashLayoutSize];
    if (ReadFlashLayout(device, record) == 0) {
        *layout = FlashLayout::fromRecord(record);
        return 0;
    }
    uint8_t def[kDeviceDefSize] = {};
    int32_t rc = NLIReadDeviceDef(device, def, kDeviceDefSize);
    if (failed(rc)) return rc;
    *layout = BuiltInFlashLayout(def);
    return 0;
}

const char* DownloadPhaseName(DownloadPhase phase) {
    switch (phase) {
    case DownloadPhase::EnteringBootLoader:
        return "entering the boot loader";
    case DownloadPhase::Erasing:
        return "erasing";
    case DownloadPhase::Writing:
        return "writing";
    case DownloadPhase::Verifying:
        return "verifying";
    case DownloadPhase::Restarting:
        return "restarting";
    case DownloadPhase::Confirming:
        return "confirming";
    }
    return "?";
}

DownloadTimings GetDownloadTimings() {
    return gTimings;
}
void SetDownloadTimings(const DownloadTimings& timings) {
    gTimings = timings;
}

int32_t EnterBootLoader(NLIDevice* device, DownloadObserver* observer) {
    if (device == nullptr || device->transport == nullptr) return NLIE_NULL_TRANSPORT;
    report(observer, DownloadPhase::EnteringBootLoader);
    const uint32_t deadline = nowMs() + gTimings.bootLoaderCatchMs;
    DeviceSettings restoreSettings(device);
    PriorityBoost boost;
    uint32_t nextRestart = nowMs();
    device->retries = 0;
    device->timeoutMs = onSerialLink(device) ? kCatchTimeoutSerialMs : kCatchTimeoutNetworkMs;
    while (!reached(deadline)) {
        if (NLISetOSLoad(device, 0) == 0) return 0;
        uint8_t version[kCatchVersionRoom] = {};
        if (NLIReadVersionInfo(device, version, sizeof version) != 0) {
            sleepMs(1);
            continue;
        }
        if (NLISetOSLoad(device, 0) == 0) return 0;
        if (version[1] < 3) return 0; // older boot loaders cannot be caught this way
        bool linear = false;
        int32_t rc = IsLinearAddressing(device, &linear);
        if (failed(rc)) return rc;
        if (reached(nextRestart)) {
            RebootModule(device, linear);
            nextRestart = nowMs() + gTimings.restartIntervalMs;
        }
        sleepMs(1);
    }
    return -2;
}

int32_t LoadImageFile(const std::string& path, LoadedImage& image) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        FirmwareTrace("\nUnable to open input file %s for reading.", path.c_str());
        return kOpenFileError;
    }
    FirmwareTrace("\nLoading firmware file.");
    int32_t rc = LoadBinFile(image.buffer, image.capacity, file, image.header, image.crc,
                             image.runAddress, image.imageAddress, image.imageLength);
    std::fclose(file);
    if (failed(rc)) {
        FirmwareTrace("\n  Error %d (0x%X) [%s] loading file %s.", static_cast<int>(rc),
                      static_cast<unsigned>(rc), ResultCodeName(rc), path.c_str());
        return rc;
    }
    FirmwareTrace("\nLoaded: %s", DescriptionText(image.header).c_str());
    return 0;
}

int32_t LoadAndProgram(NLIDevice* device, const std::string& path, DownloadObserver* observer) {
    ImageBuffer buffer;
    if (!buffer.bytes) return kRamAllocateError;
    LoadedImage image;
    image.buffer = buffer.bytes.get();
    image.capacity = kImageBufferSize;
    int32_t rc = LoadImageFile(path, image);
    if (failed(rc)) return rc;
    return ProgramImage(device, image, observer);
}

namespace {

// What is refused before anything is sent: a kind without an erase range, an image without
// data (its area would be erased and nothing written in its place), a length that would run
// past the buffer.
int32_t checkImage(const LoadedImage& image) {
    uint16_t kind = image.header.imageKind;
    if (kind != IMAGE_OS_BLOCK && kind != IMAGE_BOOT_LOADER && kind != IMAGE_OS) {
        FirmwareTrace("\nUnknown image kind: %u.", static_cast<unsigned>(kind));
        return kInvalidFileFormat;
    }
    if (image.imageLength == 0 || image.imageAddress == kNoAddress) {
        FirmwareTrace("\nThe image holds no data.");
        return kInvalidFileFormat;
    }
    if (image.buffer == nullptr || image.imageLength > image.capacity || image.capacity % 2 != 0 ||
        image.capacity < 0x10000)
        return kRamAllocateError;
    return 0;
}

} // namespace

int32_t ProgramImage(NLIDevice* device, LoadedImage& image, DownloadObserver* observer) {
    if (device == nullptr || device->transport == nullptr) return NLIE_NULL_TRANSPORT;
    int32_t rc = checkImage(image);
    if (rc != 0) return rc;
    uint16_t kind = image.header.imageKind;

    if (!IsDeviceAvailable(device, true)) {
        FirmwareTrace("\nDevice is not available");
        return kDeviceNotResponding;
    }
    Job job{device, image, observer};
    rc = IsLinearAddressing(device, &job.linear);
    if (failed(rc)) return rc;
    if (kind == IMAGE_OS_BLOCK) {
        if (job.linear) {
            // Its OSDef, QuickBoot and confirmation use segmented requests only.
            FirmwareTrace("\nA block image is for segment-addressed modules only.");
            return kInvalidFileFormat;
        }
        job.blockSize = image.imageAddress == 0xF0000000 ? 0x8000 : 0x10000;
        if (image.imageLength > job.blockSize) {
            FirmwareTrace("\nImage of %lu bytes does not fit its %lu-byte block.",
                          static_cast<unsigned long>(image.imageLength),
                          static_cast<unsigned long>(job.blockSize));
            return kAddressOutOfRange;
        }
    }

    uint8_t version[kVersionInfoRoom] = {};
    rc = NLIReadVersionInfo(device, version, sizeof version);
    if (failed(rc)) {
        FirmwareTrace("\n  Error %d (0x%X) [%s] from NLIReadVersionInfo.", static_cast<int>(rc),
                      static_cast<unsigned>(rc), ResultCodeName(rc));
        return rc;
    }
    VersionTriple boot = versionAt(version + 1);
    VersionTriple os = versionAt(version + 5);
    if (kind != IMAGE_BOOT_LOADER && CompareVersions(boot, image.header.requiredBootVersion) < 0) {
        const VersionTriple& need = image.header.requiredBootVersion;
        FirmwareTrace("- Error: This OS requires booter version %d.%d.%d or greater.", need.major,
                      need.minor, need.build);
        return kInvalidBooterVersion;
    }
    job.runsOS = !(os == VersionTriple{});
    if (job.runsOS && EnterBootLoader(device, observer) != 0) {
        FirmwareTrace("\nThis OS requires booter version 3.0.0 or greater.");
        return kInvalidBooterVersion;
    }

    rc = GetFlashLayout(device, &job.layout);
    if (failed(rc)) return rc;
    rc = checkPlan(job);
    if (rc != 0) return rc;

    rc = programLocked(job);
    if (job.lockedAddress != 0) UnlockRam(device, job.lockedAddress);
    return rc;
}

int32_t DownloadBinFile(NLIDevice* device, const std::string& path, DownloadObserver* observer) {
    if (device == nullptr || device->transport == nullptr) return NLIE_NULL_TRANSPORT;
    TransportRestore restore(device->transport);

    // The file is loaded and checked first: a file that cannot be programmed is refused before
    // the module is taken out of its operating system.
    ImageBuffer buffer;
    if (!buffer.bytes) return kRamAllocateError;
    LoadedImage image;
    image.buffer = buffer.bytes.get();
    image.capacity = kImageBufferSize;
    int32_t rc = LoadImageFile(path, image);
    if (failed(rc)) return rc;
    rc = checkImage(image);
    if (rc != 0) return rc;

    if (!IsDeviceAvailable(device, true)) return kDeviceNotResponding;
    uint8_t version[kVersionInfoRoom] = {};
    rc = NLIReadVersionInfo(device, version, sizeof version);
    if (failed(rc)) return rc;
    if (version[1] >= 3 && EnterBootLoader(device, observer) != 0) return kInvalidBooterVersion;
    return ProgramImage(device, image, observer);
}

int32_t CheckFamilyAndType(NLIDevice* device, uint8_t family, uint8_t type, uint32_t address) {
    bool linear = false;
    int32_t rc = IsLinearAddressing(device, &linear);
    if (failed(rc)) return rc;
    uint8_t storedFamily = 0, storedType = 0;
    if (linear) {
        uint8_t def[kDeviceDefSize] = {};
        rc = NLIReadDeviceDef(device, def, kDeviceDefSize);
        if (failed(rc)) return rc;
        storedFamily = def[0];
        storedType = def[2];
    } else {
        uint8_t stored[2] = {};
        rc = ReadMemory(device, false, address, stored, 2);
        if (failed(rc)) return rc;
        storedFamily = stored[0];
        storedType = stored[1];
    }
    type = static_cast<uint8_t>(type & ~0x40);
    auto wildcard = [](uint8_t f) { return f == 0x40 || f == 0x80; };
    if ((family == storedFamily || wildcard(family) || wildcard(storedFamily)) &&
        type == storedType)
        return 0;
    if (storedFamily == 0xFF && storedType == 0xFF) {
        const uint8_t identity[2] = {family, type};
        return WriteFlash(device, linear, address, identity, 2);
    }
    FirmwareTrace("- ERROR: Family (0x%X) and Type (0x%X) already programmed as (0x%X 0x%X)",
                  family, type, storedFamily, storedType);
    return kFamilyTypeMismatch;
}

} // namespace firmware
