// What a simulated module tells about itself: version information, device definition, support
// information, module status, configuration data, Ethernet statistics; and the keep-alive,
// reboot and operating-system selection requests. Plant-file keys: see info.cpp.
#pragma once

#include "nlisim/sim.h"

#include <chrono>
#include <functional>
#include <map>
#include <string>

namespace nlisim {

// A version as modules report it: u8 major, u8 minor, u16 build, shown "major.minor.build".
struct VersionTriple {
    uint8_t major = 0;
    uint8_t minor = 0;
    uint16_t build = 0;
    std::string text() const;
    static bool parse(const std::string& text, VersionTriple& out); // "3.1.20"
    bool isZero() const { return major == 0 && minor == 0 && build == 0; }
};

// Version information (function 0x01): record byte 1-4 boot loader, 5-8 firmware. The boot
// loader feature updates it: a finished download sets `os` (or `boot`), and while the module
// sits in its boot loader `osRunning` is false, so the record reports firmware 0.0.0.
class Versions : public FeatureState {
  public:
    explicit Versions(Module& module);
    void save(Json& moduleDoc) const override;

    VersionTriple boot;
    VersionTriple os;
    bool osRunning = true;
    uint16_t length = 50; // record length; callers ask for 50 or 52 bytes
    Bytes extra;          // record bytes from offset 9 on (zeros when shorter)

    Bytes record() const;
};

// Statistics counters of the Ethernet statistics record (function 0x0E), in record order.
struct EthernetCounters {
    uint32_t missedFrames = 0;
    uint32_t txCollisions = 0;
    uint32_t lostPackets = 0;
    uint32_t badPackets = 0;
    uint32_t unknown = 0;
    uint32_t txErrors = 0;
};

class DeviceInfo : public FeatureState {
  public:
    explicit DeviceInfo(Module& module);
    void save(Json& moduleDoc) const override;

    // Device definition: built from the module's identity (platform at 0, family at 2,
    // generation at 25, Ethernet address at 4..9) and these values.
    uint16_t deviceDefLength = 42;
    uint16_t flashKiB = 512;                    // offset 12
    uint8_t dipSwitches = 0;                    // offset 14
    uint8_t fiber = 0;                          // offset 15
    uint8_t terminalSwitches = 0;               // offset 23, low 4 bits
    uint8_t initWritesIpSetup = 0;              // offset 28
    std::map<uint16_t, uint8_t> deviceDefPatch; // any other bytes
    Bytes deviceDefinition(const Module& module) const;

    Bytes supportInfo;

    uint8_t maxStatusSelector = 3; // module status selectors above it: status 119
    Bytes moduleStatusData;        // fixed module status data; empty = built from the counters
    Bytes moduleStatus(const Module& module, uint8_t selector, bool extended) const;

    Bytes configData;
    uint16_t configMaxLength = 1024;
    uint16_t configStatus = 0; // non-zero: configuration requests answer with this status

    // Counters as the module reports them: the plant's values plus what traffic since the last
    // clear adds (dropped requests, answers sent, requests ignored for a bad checksum).
    EthernetCounters ethernetCounters(const Module& module) const;
    void clearEthernetStats(const Module& module);

    uint32_t restartMs = 50; // how long a reboot keeps the module silent

    // Runtime (not saved).
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    uint32_t pets = 0;
    uint32_t reboots = 0;
    uint32_t osSelections = 0;
    uint32_t lastOsSelector = 0;
    uint32_t statsClears = 0;

    // A restart: silent for restartMs, statistics cleared, counted.
    void restart(Module& module);

  private:
    const Module& module_; // the module this state belongs to (features stay with it)
    EthernetCounters base_;
    uint32_t droppedAtClear_ = 0;
    uint32_t answersAtClear_ = 0;
    uint32_t badCrcAtClear_ = 0;
};

// The boot-loader feature takes over reboot (0xFA 0x05) and operating-system selection (0xF9
// 0x06, selector) by registering a hook. The hook returns true when it has dealt with the
// request (answered it or chosen silence), false to leave the default: answer status 0, and for
// a reboot go silent for restartMs (DeviceInfo::restart).
enum class OsCommand { Reboot, SelectOs };
using OsCommandHook =
    std::function<bool(Module&, const Request&, Reply&, OsCommand command, uint32_t selector)>;
void setOsCommandHook(OsCommandHook hook);
const OsCommandHook& osCommandHook();

} // namespace nlisim
