// The serial ports of a simulated module as the pass-through requests (function 0x23) see them:
// receive and transmit queues and the 8-byte setup record. Plant-file keys: see comm.cpp.
#pragma once

#include "nlisim/sim.h"

#include <array>
#include <optional>
#include <vector>

namespace nlisim {

// Module status codes of the pass-through requests.
inline constexpr uint16_t kStatusCommSizeError = 109;    // length field disagrees with the data
inline constexpr uint16_t kStatusCommUnknown = 113;      // unknown sub-function
inline constexpr uint16_t kStatusCommBusy = 120;         // transmit queue has no room
inline constexpr uint16_t kStatusNoSuchPort = 133;       // port number beyond the module's ports
inline constexpr uint16_t kStatusSerialSetupError = 143; // setup record the port cannot take

using SerialSetup = std::array<uint8_t, 8>; // u32 baud, flags, RTS pre, RTS post, unused

struct SerialPort {
    SerialSetup setup{};  // in effect
    SerialSetup stored{}; // kept across restarts (written with the store flag)
    Bytes rx;             // arrived on the line, waiting to be read
    Bytes tx;             // written by the PC, waiting to go out (when txDrain is off)
    Bytes sent;           // everything that went out of the port
    size_t txCapacity = 256;
    bool txDrain = true;              // written bytes leave at once (else they wait in tx)
    bool loopback = false;            // bytes that leave come back into rx
    std::optional<Bytes> accessReply; // what the attached device answers an access (else echo)
    // Faults.
    bool ignoreWanted = false; // a read answers everything waiting, however little was asked
    int32_t countSkew = 0;     // added to the counts that read and access answers report
};

class CommState : public FeatureState {
  public:
    explicit CommState(Module& module);
    void save(Json& moduleDoc) const override;

    std::vector<SerialPort> ports;
    size_t defaultPort = 0;     // index into ports of the plain sub-functions
    uint32_t storeDelayMs = 20; // completion of a stored setup follows the ack this late

    // What the module saw (runtime, not saved).
    Bytes lastRequest;
    uint32_t requests = 0;
};

} // namespace nlisim
