// The PLC CPU next to a simulated communication module, as the PLC requests reach it: CCM memory
// by data type and address, and K-sequence messages. Plant-file keys: see plc.cpp.
#pragma once

#include "nlisim/sim.h"

#include <map>
#include <optional>

namespace nlisim {

// Module status codes of the PLC requests.
inline constexpr uint16_t kStatusPlcInvalidRequest = 113; // no CPU behind this module
inline constexpr uint16_t kStatusPlcSizeError = 109;      // count and data disagree

// The CCM location the application reads to identify the CPU: data type 54, address 15.
inline constexpr uint8_t kCpuCodeDataType = 54;
inline constexpr uint16_t kCpuCodeAddress = 15;

class PlcState : public FeatureState {
  public:
    explicit PlcState(Module& module);
    void save(Json& moduleDoc) const override;

    bool present = false; // a CPU answers behind the module
    uint8_t cpuCode = 0;  // CCM data type 54, address 15
    // CCM memory: (data type << 16 | address) -> byte; unset bytes read 0.
    std::map<uint32_t, uint8_t> memory;
    uint32_t completionDelayMs = 2; // the CPU's answer follows the acknowledgement this late
    uint16_t completionStatus = 0;  // non-zero: every request completes with this status
    uint16_t refuseStatus = 0;      // non-zero: every request is refused (no acknowledgement)
    int32_t replyAdjust = 0;        // bytes added to (or, negative, removed from) CCM read data
    uint8_t completionCode = 0x22;  // first byte of the final answer
    std::optional<Bytes> kseqReply; // fixed K-sequence reply (else the request is echoed)

    uint8_t read(uint8_t dataType, uint32_t address) const;
    void write(uint8_t dataType, uint32_t address, uint8_t value);

    // What the module saw (runtime, not saved).
    Bytes lastRequest;
    uint32_t requests = 0;
};

} // namespace nlisim
