// The flash download: writes the image of one firmware image file into one module's flash over
// an open library device. It makes sure the module answers, brings it into its boot loader,
// loads the file, erases the target area, writes the image in chunks and reads every chunk
// back, restarts the module and confirms that the new program runs with the right identity.
//
// Everything runs on the caller's thread and blocks it until the download ends. Results are
// library results (0 success; see firmware/results.h for 200 to 216).
#pragma once

#include "firmware/bin_file.h"
#include "firmware/flash_commands.h"

#include "nli.h"

#include <cstdint>
#include <string>

namespace firmware {

// The module's flash layout: the answer of ReadFlashLayout, or the built-in values.
struct FlashLayout {
    uint32_t bootAreaBase = 0;     // start of the boot-loader area
    uint32_t bootAreaSize = 0;     // its size; also the RAM staging size requested by LockRam
    uint32_t ramBuffer = 0;        // RAM address a boot-loader image is written to
    uint32_t osAreaBase = 0;       // start of the operating-system area
    uint32_t osAreaSize = 0;       // its size; an IMAGE_OS download erases all of it
    uint32_t identityArea = 0;     // flash address of the identity area (Family, Type, ...)
    uint32_t identityAreaSize = 0; // its size
    uint32_t restartAddress = 0;   // where the module jumps after a RAM-to-flash copy
    uint32_t alignMask = 0;        // bits that must be zero in the first device address
    uint32_t addressMask = 0;      // device address = (address AND addressMask) OR addressBits
    uint32_t addressBits = 0;
    uint32_t addressArea = 0; // 6 bytes filled from device-definition bytes 4 to 9

    // Field offsets in the 512-byte record.
    static FlashLayout fromRecord(const uint8_t record[kFlashLayoutSize]);
    void toRecord(uint8_t record[kFlashLayoutSize]) const; // other bytes left as they are
    friend bool operator==(const FlashLayout&, const FlashLayout&) = default;
};

// Device-definition bytes the built-in layout depends on: the family code at 2 and the flash
// size in KiB (u16) at 12.
inline constexpr uint16_t kDeviceDefSize = 42;
// The built-in layout: family 2 (the PC-based controller module) has its own; every other
// family's follows from its flash size n: OS area from segment 0x10000 - n * 64, n KiB - 32 KiB.
FlashLayout BuiltInFlashLayout(const uint8_t deviceDef[kDeviceDefSize]);

// The module's layout: ReadFlashLayout when it returns exactly 0, else the built-in values
// (NLIReadDeviceDef decides which; its failure is returned).
int32_t GetFlashLayout(NLIDevice* device, FlashLayout* layout);

// Where the module keeps the operating-system definition of an installed OS.
inline constexpr uint32_t kInstalledOSDefSeg = 0xEFFE0000; // EFFE:0000, segmented modules
inline constexpr uint16_t kBootSignatureUnset = 0xFFFF;
inline constexpr uint16_t kConfirmMark = 0xAAAA;
// The RAM word QuickBoot sets so that the restarted module stays in its boot loader.
inline constexpr uint32_t kQuickBootFlagAddress = 0x0000C192; // 0000:C192
inline constexpr uint32_t kQuickBootSource = 0x06000000;      // 0600:0000

// The operating-system definition record: in the last 32 bytes of an IMAGE_OS_BLOCK block, in
// setup item DT_BOOT_OS for an IMAGE_OS image.
struct [[gnu::packed]] OSDef {
    uint32_t start = 0;
    uint32_t end = 0; // last image address
    uint32_t runAddress = 0;
    uint16_t crc = 0;
    uint16_t bootSignature = kBootSignatureUnset; // the module sets it once its new OS started
    uint16_t confirmMark = 0xFFFF;                // kConfirmMark once the download saw it
    uint8_t reserved[14] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
};
static_assert(sizeof(OSDef) == 32);

// What the download reports while it works. Results never depend on it.
enum class DownloadPhase {
    EnteringBootLoader,
    Erasing,
    Writing,
    Verifying,
    Restarting,
    Confirming,
};
const char* DownloadPhaseName(DownloadPhase phase); // "entering the boot loader", ...

class DownloadObserver {
  public:
    virtual ~DownloadObserver() = default;
    // done and total are image bytes while writing and verifying, 0 otherwise.
    virtual void progress(DownloadPhase phase, uint32_t done, uint32_t total) = 0;
};

// Waits of the download (milliseconds); the defaults are the ones the modules need. Tests
// against a simulated module shorten the fixed pauses.
struct DownloadTimings {
    uint32_t bootLoaderCatchMs = 60000; // EnterBootLoader gives up after this
    uint32_t restartIntervalMs = 100;   // EnterBootLoader restarts the module this often
    uint32_t comeBackMs = 15000;        // a restarted module must answer within this
    uint32_t blockRebootPauseMs = 500;  // after the restart ending an IMAGE_OS_BLOCK download
    uint32_t blockRebootPauseSerialMs = 750;
    uint32_t osRebootPauseMs = 1500; // after the restart ending an IMAGE_OS download
    uint32_t osSettleMs = 1200;      // then before DT_BOOT_OS is read
    uint32_t osSettleSerialMs = 3000;
    uint32_t bootOsReadMs = 10000; // DT_BOOT_OS must be readable within this
};
DownloadTimings GetDownloadTimings();
void SetDownloadTimings(const DownloadTimings& timings);

// Brings the module into its boot loader: restarts it every 100 ms and catches the moment in
// which its boot loader answers NLISetOSLoad(0). 0 when caught, or at once when the boot loader
// is older than 3.0.0 (it cannot be caught); -2 after 60 s; or an error of IsLinearAddressing.
// The device's time-out and retries and the scheduling priority are restored on return.
int32_t EnterBootLoader(NLIDevice* device, DownloadObserver* observer = nullptr);

// The whole download of the image file at path. The file is loaded and checked before anything
// is sent to the module. The transport record is saved and written back on return.
int32_t DownloadBinFile(NLIDevice* device, const std::string& path,
                        DownloadObserver* observer = nullptr);

// A loaded image: the 4 MiB buffer (offset 0 = image address) and what LoadBinFile reported.
struct LoadedImage {
    uint8_t* buffer = nullptr;
    uint32_t capacity = 0;
    BinFileHeader header{};
    uint16_t crc = 0;
    uint32_t runAddress = kNoAddress;
    uint32_t imageAddress = kNoAddress;
    uint32_t imageLength = 0;
};

// Loads the file at path into image.buffer (capacity image.capacity) and fills the rest of
// image: 0 or the loader's error (206 when the file cannot be opened).
int32_t LoadImageFile(const std::string& path, LoadedImage& image);

// Loads the file (into a buffer of its own) and programs it: ProgramImage.
int32_t LoadAndProgram(NLIDevice* device, const std::string& path,
                       DownloadObserver* observer = nullptr);

// Programs a loaded image; image.buffer is changed (OSDef, identity and address areas).
int32_t ProgramImage(NLIDevice* device, LoadedImage& image, DownloadObserver* observer = nullptr);

// Compares the image's Family and Type (the low bytes of targetPlatform and targetFamily) with
// the module's stored ones and programs them into a module that never had any: 0, 215, or an
// error.
int32_t CheckFamilyAndType(NLIDevice* device, uint8_t family, uint8_t type, uint32_t address);

} // namespace firmware
