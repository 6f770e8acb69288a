// Panel adapters (family 6), from the module's side: the program-space write. Their node names
// and numbers are ordinary setup items, their family is in the device definition.
//
// 0x60 0x00, two reserved bytes, data
//   acknowledgement at once (status 0), then the completion: status 0 with the data appended to
//   the program space; 109 for a request too short for its reserved bytes; 133 when the program
//   space (64 KiB) is full; the "writeStatus" when set. A module that is not a panel adapter and
//   has no "panel" key answers once, status 113, as for any function it does not know.
//
// Plant-file keys, in the module's object:
//   "panel": { "writeStatus": 0, "completionDelayMs": 5, "noCompletion": false,
//              "programSpace": "01 02 ..." }
#include "zt.h"

#include <cstdio>
#include <stdexcept>

namespace nlisim {

namespace {

constexpr uint8_t kPanelAdapter = 6;
constexpr uint16_t kStatusSizeError = 109;
constexpr uint16_t kStatusRange = 133;

[[noreturn]] void refuse(const std::string& what) { throw std::runtime_error(what); }

uint64_t number(const Json& object, const char* key, uint64_t fallback, uint64_t max) {
    auto it = object.find(key);
    if (it == object.end()) return fallback;
    if (!it->is_number_integer() || it->get<int64_t>() < 0 ||
        static_cast<uint64_t>(it->get<int64_t>()) > max)
        refuse(std::string("panel: key \"") + key + "\": expected an integer 0.." +
               std::to_string(max));
    return static_cast<uint64_t>(it->get<int64_t>());
}

Bytes hex(const std::string& text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (c == ' ') continue;
        int v = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
        if (v < 0) refuse("panel: key \"programSpace\": not hex text");
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) refuse("panel: key \"programSpace\": odd number of hex digits");
    return out;
}

Bytes statusWord(uint16_t status) {
    Bytes b;
    putU16(b, status);
    return b;
}

void writeProgramSpace(Module& m, const Request& req, Reply& reply) {
    if (m.family != kPanelAdapter && !m.doc.contains("panel"))
        return reply.status(kStatusInvalidRequest);
    PanelState& s = m.feature<PanelState>();
    const Bytes& p = req.payload;
    uint16_t status = 0;
    if (p.size() < 4) {
        status = kStatusSizeError;
    } else {
        Bytes data(p.begin() + 4, p.end());
        s.writes.push_back(data);
        if (s.writeStatus != 0)
            status = s.writeStatus;
        else if (s.programSpace.size() + data.size() > PanelState::kProgramSpaceSize)
            status = kStatusRange;
        else
            s.programSpace.insert(s.programSpace.end(), data.begin(), data.end());
    }
    reply.send(statusWord(0));
    if (!s.noCompletion) reply.sendAfter(s.completionDelayMs, statusWord(status));
}

} // namespace

PanelState::PanelState(Module& module) {
    auto doc = module.doc.find("panel");
    if (doc == module.doc.end()) return;
    if (!doc->is_object()) refuse("panel: expected an object");
    writeStatus = static_cast<uint16_t>(number(*doc, "writeStatus", 0, 0xFFFF));
    completionDelayMs = static_cast<uint32_t>(number(*doc, "completionDelayMs", 5, 600000));
    if (auto it = doc->find("noCompletion"); it != doc->end()) {
        if (!it->is_boolean()) refuse("panel: key \"noCompletion\": expected true or false");
        noCompletion = it->get<bool>();
    }
    if (auto it = doc->find("programSpace"); it != doc->end()) {
        if (!it->is_string()) refuse("panel: key \"programSpace\": expected hex text");
        programSpace = hex(it->get<std::string>());
        if (programSpace.size() > kProgramSpaceSize) refuse("panel: programSpace over 64 KiB");
    }
}

void PanelState::save(Json& moduleDoc) const {
    Json j = Json::object();
    if (writeStatus) j["writeStatus"] = writeStatus;
    if (completionDelayMs != 5) j["completionDelayMs"] = completionDelayMs;
    if (noCompletion) j["noCompletion"] = true;
    if (!programSpace.empty()) {
        std::string text;
        text.reserve(programSpace.size() * 3);
        char b[4];
        for (size_t i = 0; i < programSpace.size(); ++i) {
            std::snprintf(b, sizeof b, i ? " %02X" : "%02X", programSpace[i]);
            text += b;
        }
        j["programSpace"] = text;
    }
    if (!j.empty() || moduleDoc.contains("panel")) moduleDoc["panel"] = j;
}

NLISIM_REGISTER_HANDLERS { registerHandler(0x60, writeProgramSpace); }

} // namespace nlisim
