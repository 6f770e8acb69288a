// The remote master: a mailbox in the shared RAM of its slot (command block at 0x8030, data
// window at 0x803C) through which the PC moves data to and from its areas and runs commands;
// command 3 on area 4 carries a whole request to the module it fronts. Plant-file keys: see
// mailbox.cpp.
#pragma once

#include "memory.h"

#include <map>
#include <optional>
#include <vector>

namespace nlisim {

namespace mailbox {
inline constexpr uint32_t kCommandBlock = 0x8030;
inline constexpr uint32_t kStateByte = 0x8031;
inline constexpr uint32_t kErrorWord = 0x8032;
inline constexpr uint32_t kDataWindow = 0x803C;
inline constexpr size_t kWindowSize = 256;

inline constexpr uint8_t kStartCommand = 6;
inline constexpr uint8_t kStartRead = 7;
inline constexpr uint8_t kStartWrite = 8;

inline constexpr uint8_t kStateBusy = 1;
inline constexpr uint8_t kStateDone = 2;
inline constexpr uint8_t kStateFailed = 3;

inline constexpr uint16_t kTunnelCommand = 3;
inline constexpr uint16_t kTunnelArea = 4;
inline constexpr size_t kTunnelAreaSize = 2048;

// Error codes of a failed mailbox operation.
inline constexpr uint16_t kErrorUnknownArea = 1;
inline constexpr uint16_t kErrorRange = 2;      // offset + length past the area's end
inline constexpr uint16_t kErrorLength = 3;     // a chunk longer than the data window
inline constexpr uint16_t kErrorParameters = 4; // the tunnel command without its 10 bytes

// Status words of a tunnelled exchange (area 4, offset 0).
inline constexpr uint16_t kTunnelNoModule = 153;   // nothing fronted, or not in the plant
inline constexpr uint16_t kTunnelNoAnswer = 114;   // the module gave no answer
inline constexpr uint16_t kTunnelTooLong = 109;    // its answer does not fit area 4
} // namespace mailbox

// One operation the PC started, as the mailbox saw it.
struct MailboxOperation {
    uint8_t start = 0;   // 6 command, 7 read data, 8 write data
    uint16_t area = 0;   // data transfers
    uint16_t offset = 0;
    uint16_t length = 0;
    uint16_t command = 0; // commands
    Bytes parameters;     // commands: the block bytes after the command code
    Bytes data;           // data transfers: the bytes moved
    uint16_t error = 0;   // 0: done; else the error code it failed with
};

class RemoteMaster : public SlotDevice {
  public:
    RemoteMaster(const Json& config, const std::string& what);
    void afterWrite(Module& host, const Request& request, SharedRam& ram, uint32_t address,
                    size_t length) override;
    void beforeRead(Module& host, const Request& request, SharedRam& ram, uint32_t address,
                    size_t length) override;
    void save(Json& slotDoc) const override;

    // The remote master in host's shared RAM at base, slot; null when there is none.
    static RemoteMaster* at(Module& host, uint16_t base, uint16_t slot);

    // Behaviour (plant keys of the same names).
    std::map<uint16_t, Bytes> areas;            // area number: its bytes
    uint32_t busyPolls = 0;                     // status reads answered busy before the outcome
    bool stuck = false;                         // never leaves busy
    uint16_t failCode = 0;                      // non-zero: every operation fails with it
    bool failWithoutCode = false;               // every operation fails, error code 0
    std::map<uint16_t, uint16_t> commandErrors; // command code: the error it fails with
    std::optional<Mac> fronts;                  // the plant module behind the tunnel

    // What the mailbox saw (runtime, not saved).
    std::vector<MailboxOperation> operations;
    uint32_t statusReads = 0;
    Bytes lastTunnelRequest; // the request that went through, from its function code
    Bytes lastTunnelAnswer;  // the fronted module's answer, as left in area 4

  private:
    void start(Module& host, const Request& request, SharedRam& ram);
    uint16_t transfer(SharedRam& ram, MailboxOperation& op);
    uint16_t tunnel(Module& host, const Request& request, const Bytes& parameters);

    size_t blockLength_ = 0; // length of the last write that began at the command block
    bool pending_ = false;
    uint32_t pollsLeft_ = 0;
    uint16_t outcome_ = 0;
};

} // namespace nlisim
