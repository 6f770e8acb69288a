// The boot loader of a simulated module and its flash memory: the flash command set (erase,
// program, RAM staging and locking, read-back, RAM-to-flash copy, the two information
// requests), restarts with the moment in which the boot loader can be caught, QuickBoot, and
// the start of an operating system from a valid OSDef. Plant-file keys: see bootloader.cpp.
#pragma once

#include "nlisim/sim.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace nlisim {

// The module's flash layout, as ReadFlashLayout reports it (the same values the download
// assumes when the module does not answer).
struct BootLayout {
    uint32_t bootAreaBase = 0;
    uint32_t bootAreaSize = 0;
    uint32_t ramBuffer = 0;
    uint32_t osAreaBase = 0;
    uint32_t osAreaSize = 0;
    uint32_t identityArea = 0;
    uint32_t identityAreaSize = 0;
    uint32_t restartAddress = 0;
    uint32_t alignMask = 0;
    uint32_t addressMask = 0;
    uint32_t addressBits = 0;
    uint32_t addressArea = 0;
    Bytes record() const; // the 512-byte answer
};

// How a module answers one of the information requests.
enum class InfoAnswer { Full, Short, None };

class BootLoader : public FeatureState {
  public:
    explicit BootLoader(Module& module);
    void save(Json& moduleDoc) const override;

    // Addressing: segmented modules take packed segment:offset addresses in a 1 MiB space
    // (flash at its top, RAM below), linear modules plain 32-bit addresses.
    bool linear = false;
    InfoAnswer loaderInfo = InfoAnswer::Full;
    InfoAnswer flashLayout = InfoAnswer::None;
    BootLayout layout;

    uint32_t catchWindowMs = 100; // after a restart, NLISetOSLoad(0) keeps it in the boot loader
    uint32_t eraseMs = 2;         // completion delays
    uint32_t writeMs = 0;
    uint32_t copyMs = 20;
    // The operating system the module shipped with runs until its area is erased or written.
    bool factoryOs = true;

    // Faults: the next corruptReads read-backs covering corruptAddress return that byte
    // inverted (counted down).
    uint32_t corruptAddress = 0;
    uint32_t corruptReads = 0;

    // Memory, by linear address (segmented: segment * 16 + offset, modulo 1 MiB).
    uint32_t flashBase = 0;
    Bytes flash;
    uint32_t ramBase = 0;
    Bytes ram;
    bool ramLocked = false;

    // Runtime (not saved).
    std::chrono::steady_clock::time_point windowEnd{};
    std::vector<int> eraseLog; // sector numbers erased (segmented), -1 per range (linear)
    uint32_t rangeErases = 0;
    uint32_t flashWrites = 0; // write-flash requests carried out
    uint32_t ramWrites = 0;
    uint32_t reads = 0;
    uint32_t restarts = 0;
    uint32_t catches = 0;    // NLISetOSLoad(0) answered in the boot loader
    uint32_t quickBoots = 0; // restarts that stayed in the boot loader for QuickBoot
    uint32_t osStarts = 0;   // restarts that started an operating system from an OSDef
    uint32_t bootCopies = 0; // boot-loader images copied from RAM into flash

    // Module address (packed or plain, as the requests carry it) to linear address.
    uint32_t toLinear(uint32_t address) const;
    // The bytes at a module address, when they all lie in flash or all in RAM.
    std::optional<Bytes> read(uint32_t address, size_t length) const;
    // Flash contents at a module address (tests); empty when not all in flash.
    Bytes flashAt(uint32_t address, size_t length) const {
        return read(address, length).value_or(Bytes{});
    }

    // Flash operations on linear ranges; false when the range is not all flash.
    bool eraseLinear(uint32_t first, uint32_t lastInclusive, Module& module);
    bool programLinear(uint32_t at, const uint8_t* data, size_t length, Module& module);

    // A restart: silent for the device's restart time, then the catch window; the operating
    // system starts unless QuickBoot asked to stay or there is no valid one.
    void restart(Module& module);
    bool inCatchWindow() const;

    bool inFlash(uint32_t linearAddress, size_t length) const;
    bool inRam(uint32_t linearAddress, size_t length) const;

  private:
    bool configured_ = false;   // the plant file had a "bootloader" object
    bool flashChanged_ = false; // erased or programmed since it was loaded
    bool startOs(Module& module);
    void touchOsArea(uint32_t first, uint32_t lastInclusive, Module& module);
};

} // namespace nlisim
