// The setup-item store of a simulated module: its settings, one item of bytes per u16 code.
// Plant-file keys: see the comment at the top of setup_store.cpp.
#pragma once

#include "nlisim/sim.h"

#include <map>
#include <string>
#include <vector>

namespace nlisim {

// Item codes the store fills for a module without a "setup" object.
namespace item {
inline constexpr uint16_t kIpAddress = 16;
inline constexpr uint16_t kRxwxSettings = 21;
inline constexpr uint16_t kNodeName = 22;
inline constexpr uint16_t kNodeNumber = 32;
inline constexpr uint16_t kBootOs = 35;
inline constexpr uint16_t kDescription = 38;
inline constexpr uint16_t kNodeMap1 = 39;
inline constexpr uint16_t kSubnetMask = 48;
inline constexpr uint16_t kModelName = 51;
inline constexpr uint16_t kIpSetup = 54;
inline constexpr uint16_t kNodeMap2 = 55;
inline constexpr uint16_t kGateway = 64;
inline constexpr uint16_t kNodeMap3 = 71;
inline constexpr uint16_t kEmailConfig = 183;
inline constexpr uint16_t kHwRevisions = 0x8035;
} // namespace item

// Module status codes the store answers with.
inline constexpr uint16_t kStatusSizeError = 109;
inline constexpr uint16_t kStatusNotFound = 110;

// Largest item the store holds: a read answer (status word + data) fits 600 - 9 bytes.
inline constexpr size_t kMaxItemSize = 589;
// Most codes one enumeration answer carries: (600 - 9 - 2 - 2) / 2.
inline constexpr size_t kMaxEnumCodes = 293;

class SetupStore : public FeatureState {
  public:
    explicit SetupStore(Module& module);
    void save(Json& moduleDoc) const override;

    bool has(uint16_t code) const { return items_.count(code) != 0; }
    const Bytes* get(uint16_t code) const; // null when the module does not hold the item
    void set(uint16_t code, Bytes data);   // throws std::length_error above kMaxItemSize
    bool erase(uint16_t code);             // false when there was no such item
    void clear() { items_.clear(); }
    std::vector<uint16_t> codes() const; // ascending
    size_t size() const { return items_.size(); }

    // Behaviour (plant keys of the same names).
    uint32_t completionDelayMs = 5; // completion of a write or delete follows the ack this late
    Bytes missingData;              // bytes after status 110 when an item is missing
    uint16_t writeStatus = 0;       // non-zero: writes complete with this status, store nothing
    uint16_t deleteStatus = 0;      // non-zero: deletes complete with this status, keep the item
    // Faults, counted down as they strike.
    uint32_t ignoreWrites = 0;    // the next n write or delete requests get no answer at all
    uint32_t loseCompletions = 0; // the next n writes or deletes are acknowledged only
    uint16_t enumCountExtra = 0;  // enumeration states this many codes more than it sends

    // Runtime (not saved): what reached the store.
    uint32_t writes = 0;    // write requests carried out (re-sends count again)
    uint32_t deletes = 0;   // delete requests carried out
    Bytes lastWritePayload; // the last write request's payload from the function code on

  private:
    std::map<uint16_t, Bytes> items_;
};

// Byte values in plant files: "01 02 0A", "01020a" or an array of integers 0..255.
Bytes bytesFromJson(const Json& value, const std::string& where); // throws std::runtime_error
std::string bytesToHex(const Bytes& bytes);

// Node-name prefix, suffix and description a module gets from the factory, from its family,
// platform (drive type for drives) and fiber flag.
struct FactoryIdentity {
    std::string prefix, suffix, description;
    std::string name() const { return prefix + suffix; }
    std::string fullDescription() const { return prefix + " " + description; }
};
FactoryIdentity factoryIdentity(uint8_t family, uint8_t platform, bool fiber);

} // namespace nlisim
