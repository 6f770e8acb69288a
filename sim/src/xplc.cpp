// Starting a program on a PC-based controller module, from the module's side.
//
// 0x34 0xCB, program name (64 bytes, zero-padded), argument text (zero-terminated)
//   answer: status word. 0 = started; 110 = a program the module does not have (only when
//   "programs" lists them); 109 = arguments without their terminating zero or a request too
//   short for the name field; 113 = second byte not 0xCB, or a module that is not a PC-based
//   controller (family 2) and has no "xplc" key.
//
// Plant-file keys, in the module's object:
//   "xplc": { "programs": ["prog.exe", ...], "status": 0,
//             "lastRun": { "program": "prog.exe", "arguments": "-a -b" } }
// "lastRun" is the last program started, kept when the plant is saved.
#include "xplc.h"

#include <algorithm>
#include <stdexcept>

namespace nlisim {

namespace {

constexpr uint16_t kStatusSizeError = 109;
constexpr uint16_t kStatusNotFound = 110;
constexpr size_t kNameAt = 2;
constexpr size_t kNameLength = 64;
constexpr size_t kArgumentsAt = kNameAt + kNameLength;
constexpr uint8_t kPcController = 2;

[[noreturn]] void refuse(const std::string& what) { throw std::runtime_error(what); }

std::string text(const Json& j, const char* key, const std::string& what) {
    auto it = j.find(key);
    if (it == j.end()) return {};
    if (!it->is_string()) refuse(what + ": key \"" + key + "\": expected a text");
    return it->get<std::string>();
}

void runProgram(Module& m, const Request& req, Reply& reply) {
    if (m.family != kPcController && !m.doc.contains("xplc"))
        return reply.status(kStatusInvalidRequest);
    const Bytes& p = req.payload;
    if (p.size() < 2 || p[1] != 0xCB) return reply.status(kStatusInvalidRequest);
    if (p.size() < kArgumentsAt + 1) return reply.status(kStatusSizeError);
    auto nameEnd = std::find(p.begin() + kNameAt, p.begin() + kArgumentsAt, 0);
    auto argsEnd = std::find(p.begin() + kArgumentsAt, p.end(), 0);
    if (argsEnd == p.end()) return reply.status(kStatusSizeError);

    XplcState& s = m.feature<XplcState>();
    XplcState::Run run{std::string(p.begin() + kNameAt, nameEnd),
                       std::string(p.begin() + kArgumentsAt, argsEnd), p.size()};
    s.runs.push_back(run);
    if (s.status != 0) return reply.status(s.status);
    if (s.restricted &&
        std::find(s.programs.begin(), s.programs.end(), run.program) == s.programs.end())
        return reply.status(kStatusNotFound);
    s.lastRun = run;
    reply.status(0);
}

} // namespace

XplcState::XplcState(Module& module) {
    auto doc = module.doc.find("xplc");
    if (doc == module.doc.end()) return;
    const std::string what = "xplc";
    if (!doc->is_object()) refuse(what + ": expected an object");
    if (auto it = doc->find("programs"); it != doc->end()) {
        if (!it->is_array()) refuse(what + ": key \"programs\": expected an array of names");
        restricted = true;
        for (const Json& name : *it) {
            if (!name.is_string()) refuse(what + ": key \"programs\": expected names");
            programs.push_back(name.get<std::string>());
        }
    }
    if (auto it = doc->find("status"); it != doc->end()) {
        if (!it->is_number_integer() || it->get<int64_t>() < 0 || it->get<int64_t>() > 0xFFFF)
            refuse(what + ": key \"status\": expected an integer 0..65535");
        status = static_cast<uint16_t>(it->get<int64_t>());
    }
    if (auto it = doc->find("lastRun"); it != doc->end()) {
        if (!it->is_object()) refuse(what + ": key \"lastRun\": expected an object");
        lastRun.program = text(*it, "program", what + ": lastRun");
        lastRun.arguments = text(*it, "arguments", what + ": lastRun");
    }
}

void XplcState::save(Json& moduleDoc) const {
    Json j = Json::object();
    if (restricted) j["programs"] = programs;
    if (status != 0) j["status"] = status;
    if (!lastRun.program.empty())
        j["lastRun"] = {{"program", lastRun.program}, {"arguments", lastRun.arguments}};
    if (!j.empty() || moduleDoc.contains("xplc")) moduleDoc["xplc"] = j;
}

NLISIM_REGISTER_HANDLERS { registerHandler(0x34, runProgram); }

} // namespace nlisim
