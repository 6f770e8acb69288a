// The memory of a simulated module: its typed memory areas, and the shared RAM of the
// intelligent modules in its bases (one block per base and slot). A slot may hold a device that
// watches its shared RAM (the remote master's mailbox). Plant-file keys: see memory.cpp.
#pragma once

#include "nlisim/sim.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nlisim {

namespace mem {
// Module status codes the memory requests answer with.
inline constexpr uint16_t kSizeError = 109;      // length field disagrees with the data
inline constexpr uint16_t kInvalidType = 111;    // no area of that memory type
inline constexpr uint16_t kInvalidSlot = 118;    // no shared RAM at that base and slot
inline constexpr uint16_t kProtection = 126;     // write to a read-only area
inline constexpr uint16_t kRange = 133;          // a write or an access runs past the area's end
inline constexpr uint16_t kLengthWarning = 134;  // a read ran past the end: the bytes up to it
inline constexpr uint16_t kInvalidAddress = 140; // address outside the area or the shared RAM

inline constexpr size_t kMaxAnswerPayload = 600; // status, data: what one answer carries
inline constexpr size_t kMaxReadData = 589;      // data of one read
inline constexpr size_t kDescriptorSize = 22;
inline constexpr size_t kSharedRamSize = 0x10000; // default: the whole 16-bit address space
} // namespace mem

// Bytes as hex text and back, with the offset runs used by the plant file.
Json contentsJson(const Bytes& bytes);                                 // {"16": "01 02", ...}
void loadContents(const Json& contents, Bytes& bytes, const std::string& what); // throws

struct MemoryArea {
    uint16_t type = 1;
    std::string name;     // up to 10 characters in the descriptor
    uint32_t address = 0; // first address
    bool writable = true;
    Bytes bytes;

    uint64_t end() const { return static_cast<uint64_t>(address) + bytes.size(); }
    bool contains(uint32_t a) const { return a >= address && a < end(); }
    // Area descriptor: type u16, flags u16 (bit 0 writable), address u32, size u32, name (10).
    Bytes descriptor() const;
};

struct SharedRam;

// Something in a slot that reacts to the shared RAM being written or read.
class SlotDevice {
  public:
    virtual ~SlotDevice() = default;
    virtual void afterWrite(Module& host, const Request& request, SharedRam& ram,
                            uint32_t address, size_t length) = 0;
    virtual void beforeRead(Module& host, const Request& request, SharedRam& ram,
                            uint32_t address, size_t length) = 0;
    // Writes the device's own key into the slot's plant-file object.
    virtual void save(Json& slotDoc) const = 0;
};

struct SharedRam {
    uint16_t base = 0;
    uint16_t slot = 0;
    Bytes bytes;
    std::shared_ptr<SlotDevice> device; // null: plain memory
};

// A kind of slot device, built from its key in the slot's plant-file object; what names that
// key for error messages.
using SlotDeviceFactory = std::function<std::shared_ptr<SlotDevice>(
    const Json& config, SharedRam& ram, const std::string& what)>;
void registerSlotDevice(const std::string& key, SlotDeviceFactory factory);

class MemoryState : public FeatureState {
  public:
    explicit MemoryState(Module& module);
    void save(Json& moduleDoc) const override;

    // The area of that type holding address (first of that type when none holds it).
    MemoryArea* findArea(uint16_t type, uint32_t address);
    SharedRam* findSharedRam(uint16_t base, uint16_t slot);

    std::vector<MemoryArea> areas;
    std::vector<SharedRam> sharedRam;

    // Faults (plant key "faults" inside "memory"), for the library's checks of answers.
    uint16_t announceExtraAreas = 0; // the enumeration announces this many areas it does not send
    bool corruptAccessEntry = false; // the first access-memory entry carries a wrong address
    uint16_t shortReadBy = 0;        // reads answer this many bytes fewer, with status 0

    // What the module saw (runtime, not saved).
    Bytes lastRequest;               // payload of the last memory or shared-RAM request
    uint32_t requests = 0;
};

} // namespace nlisim
