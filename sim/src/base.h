// The bases behind a simulated base controller: the I/O modules in their slots, the base
// definition stream built from them (or written by the PC), and the I/O data image.
// Plant-file keys: see the comment at the top of base.cpp.
#pragma once

#include "nlisim/sim.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nlisim {

// Hex text ("01 B1 ff", "01B1FF", "0x01,0xB1") to bytes and back ("01 B1 FF"). parseHex throws
// std::runtime_error naming `what` for anything else.
Bytes parseHex(const std::string& text, const std::string& what);
std::string hexText(const Bytes& bytes);
// A whole number of zero or more, however the JSON holds it.
inline bool isNonNegative(const Json& v) {
    return v.is_number_integer() && v.get<int64_t>() >= 0;
}

// Module status codes the base and I/O features answer with.
inline constexpr uint16_t kStatusBaseSizeError = 109; // length field disagrees with the data
inline constexpr uint16_t kStatusInvalidData = 119;   // a base definition that does not parse
inline constexpr uint16_t kStatusLengthWarning = 134; // more output data than the image holds

// One I/O module in a slot, as the base definition stream describes it.
struct IOModule {
    uint8_t slot = 0;
    uint8_t id = 0;   // module ID
    uint8_t type = 1; // item type: 1, 2, 3, 5, 7, 255 (others are carried as they are)
    uint8_t bitInputs = 0, bitOutputs = 0;
    uint8_t wordInputs = 0, wordOutputs = 0;
    uint8_t dwordInputs = 0, dwordOutputs = 0;
    // Type 7 only: (kind, count) pairs as they go on the wire; empty = built from the counts.
    std::vector<std::pair<uint8_t, uint8_t>> pairs;

    size_t inputBytes() const;  // its share of the input image
    size_t outputBytes() const; // its share of the output image
};

struct IOBase {
    uint8_t number = 0;
    std::vector<IOModule> modules; // in slot order
};

class BaseState : public FeatureState {
  public:
    explicit BaseState(Module& module);
    void save(Json& moduleDoc) const override;

    // The stream the racks produce: every base whose bit is set in mask (bit n = base n; 0 means
    // all), extended (full counts) or plain (module IDs only, type-2 items).
    Bytes scannedStream(uint32_t mask = 0, bool extended = true) const;
    // What a read of the base definition answers: the written definition, if any, else the scan.
    Bytes definition(bool extended) const;
    // True when the stream walks to its end command (15) within its length.
    static bool parses(const Bytes& stream);

    // Bases and modules as installed (plant key "bases").
    std::vector<IOBase> bases;
    bool byteForm = false;        // build the stream in byte form (after command 11)
    std::optional<Bytes> written; // definition written by the PC ("baseDefinition")
    uint32_t writeDelayMs = 20;   // completion of a write follows the ack this late

    // I/O image ("io": "inputs", "outputs", "status").
    Bytes inputs;
    Bytes outputs;
    uint16_t ioStatus = 0; // status word of every I/O answer

    // What the module saw (runtime, not saved).
    Bytes lastRequest; // payload of the last base or I/O request
    uint32_t rescans = 0;
    uint32_t initialisations = 0;
    uint32_t ioRequests = 0;
    uint32_t lastRescanSelector = 0;
};

} // namespace nlisim
