// The PLC requests a communication module forwards to its CPU.
//
// Requests answered (two responses: 0x20 + function code at once, then 0x22 + function code,
// status word and data after "completionDelayMs"):
//   0x19 0x00 0x01 op count addrLo addrHi type [data]   CCM request; op 0x1E reads count bytes
//        (count 0 = 256) of the data type from the address on, op 0x20 writes them and the
//        final answer echoes the bytes written. Data type 54, address 15 holds the CPU code.
//   0x1A 0x00 count 0x00 bytes                          K-sequence request; the CPU echoes the
//        bytes (or answers "kseqReply").
// A module without a CPU refuses: its only answer is 0x21 + function code and the status word
// 113. A request whose count disagrees with the data it carries completes with status 109.
//
// Plant-file keys of a module:
//   "plc": { "present": true, "cpu": 90, "memory": [ { "type": 49, "address": 0,
//            "bytes": "hex" } ], "completionDelayMs": 2, "status": 0, "refuse": 0,
//            "replyAdjust": 0, "completionCode": 34, "kseqReply": "hex" }
//       "present" defaults to true for communication modules (family 1) and false otherwise;
//       "cpu" is the CPU code (default 90). "status" makes every request complete with that
//       status; "refuse" makes the module refuse every request with that status; "replyAdjust"
//       adds bytes to (or removes them from) the data of CCM reads; "completionCode" replaces the
//       0x22 of the final answer. The last four model misbehaving modules.
#include "plc.h"

#include "base.h"

#include <stdexcept>

namespace nlisim {

namespace {

constexpr uint8_t kFnCCM = 0x19;
constexpr uint8_t kFnKSequence = 0x1A;
constexpr uint8_t kCCMRead = 0x1E;
constexpr uint8_t kCCMWrite = 0x20;
constexpr uint8_t kDefaultCpuCode = 90;

[[noreturn]] void refuse(const std::string& what) {
    throw std::runtime_error(what);
}

uint32_t key(uint8_t dataType, uint32_t address) {
    return (uint32_t{dataType} << 16) | (address & 0xFFFF);
}

uint64_t unsignedKey(const Json& o, const char* name, uint64_t fallback, uint64_t max,
                     const std::string& w) {
    auto it = o.find(name);
    if (it == o.end()) return fallback;
    if (!isNonNegative(*it) || it->get<uint64_t>() > max)
        refuse(w + ": key \"" + name + "\": expected a number 0.." + std::to_string(max));
    return it->get<uint64_t>();
}

} // namespace

PlcState::PlcState(Module& module) {
    present = module.family == 1;
    cpuCode = kDefaultCpuCode;
    const std::string w = "module " + std::to_string(module.index) + ": plc";
    auto it = module.doc.find("plc");
    if (it == module.doc.end()) return;
    const Json& p = *it;
    if (!p.is_object()) refuse(w + ": expected an object");
    if (auto v = p.find("present"); v != p.end()) {
        if (!v->is_boolean()) refuse(w + ": key \"present\": expected true or false");
        present = v->get<bool>();
    }
    cpuCode = static_cast<uint8_t>(unsignedKey(p, "cpu", kDefaultCpuCode, 255, w));
    completionDelayMs = static_cast<uint32_t>(unsignedKey(p, "completionDelayMs", 2, 600000, w));
    completionStatus = static_cast<uint16_t>(unsignedKey(p, "status", 0, 0xFFFF, w));
    refuseStatus = static_cast<uint16_t>(unsignedKey(p, "refuse", 0, 0xFFFF, w));
    completionCode = static_cast<uint8_t>(unsignedKey(p, "completionCode", 0x22, 255, w));
    if (auto v = p.find("replyAdjust"); v != p.end()) {
        if (!v->is_number_integer() || v->get<int64_t>() < -256 || v->get<int64_t>() > 256)
            refuse(w + ": key \"replyAdjust\": expected a number -256..256");
        replyAdjust = static_cast<int32_t>(v->get<int64_t>());
    }
    if (auto v = p.find("kseqReply"); v != p.end()) {
        if (!v->is_string()) refuse(w + ": key \"kseqReply\": expected hex text");
        kseqReply = parseHex(v->get<std::string>(), w + ": key \"kseqReply\"");
    }
    if (auto v = p.find("memory"); v != p.end()) {
        if (!v->is_array()) refuse(w + ": key \"memory\": expected a list of blocks");
        for (const Json& block : *v) {
            if (!block.is_object() || !block.contains("bytes"))
                refuse(w + ": memory: expected { \"type\", \"address\", \"bytes\" }");
            uint8_t type = static_cast<uint8_t>(unsignedKey(block, "type", 0, 255, w));
            uint32_t address = static_cast<uint32_t>(unsignedKey(block, "address", 0, 0xFFFF, w));
            if (!block["bytes"].is_string()) refuse(w + ": memory: key \"bytes\": expected hex");
            Bytes bytes = parseHex(block["bytes"].get<std::string>(), w + ": memory");
            for (size_t i = 0; i < bytes.size(); ++i)
                write(type, static_cast<uint32_t>(address + i), bytes[i]);
        }
    }
}

void PlcState::save(Json& doc) const {
    Json p = Json::object();
    p["present"] = present;
    p["cpu"] = cpuCode;
    p["completionDelayMs"] = completionDelayMs;
    if (completionStatus) p["status"] = completionStatus;
    if (refuseStatus) p["refuse"] = refuseStatus;
    if (replyAdjust) p["replyAdjust"] = replyAdjust;
    if (completionCode != 0x22) p["completionCode"] = completionCode;
    if (kseqReply) p["kseqReply"] = hexText(*kseqReply);
    // Memory as runs of consecutive bytes of one data type.
    Json blocks = Json::array();
    Bytes run;
    uint32_t runStart = 0;
    auto flush = [&] {
        if (run.empty()) return;
        blocks.push_back(Json{
            {"type", runStart >> 16}, {"address", runStart & 0xFFFF}, {"bytes", hexText(run)}});
        run.clear();
    };
    for (auto [k, v] : memory) {
        if (run.empty() || k != runStart + run.size()) {
            flush();
            runStart = k;
        }
        run.push_back(v);
    }
    flush();
    if (!blocks.empty()) p["memory"] = blocks;
    doc["plc"] = p;
}

uint8_t PlcState::read(uint8_t dataType, uint32_t address) const {
    auto it = memory.find(key(dataType, address));
    if (it != memory.end()) return it->second;
    if (dataType == kCpuCodeDataType && (address & 0xFFFF) == kCpuCodeAddress) return cpuCode;
    return 0;
}

void PlcState::write(uint8_t dataType, uint32_t address, uint8_t value) {
    memory[key(dataType, address)] = value;
}

namespace {

// Answers one PLC request: refusal, or acknowledgement and the final answer built by `body`
// (which returns the status word and fills the data).
template <class Body> void answerPlc(Module& m, const Request& req, Reply& reply, Body body) {
    PlcState& s = m.feature<PlcState>();
    s.lastRequest = req.payload;
    ++s.requests;
    const uint8_t fn = req.payload[0];
    if (!s.present || s.refuseStatus) {
        Bytes refusal{0x21, fn};
        putU16(refusal, s.present ? s.refuseStatus : kStatusPlcInvalidRequest);
        reply.send(refusal);
        return;
    }
    Bytes data;
    uint16_t status = body(s, data);
    if (s.completionStatus) status = s.completionStatus;
    Bytes done{s.completionCode, fn};
    putU16(done, status);
    if (status == 0) done.insert(done.end(), data.begin(), data.end());
    reply.twoResponses(Bytes{0x20, fn}, s.completionDelayMs, done);
}

} // namespace

NLISIM_REGISTER_HANDLERS {
    registerHandler(kFnCCM, [](Module& m, const Request& req, Reply& reply) {
        answerPlc(m, req, reply, [&](PlcState& s, Bytes& data) -> uint16_t {
            const Bytes& p = req.payload;
            if (p.size() < 8 || p[1] != 0x00 || p[2] != 0x01) return kStatusPlcSizeError;
            const uint8_t op = p[3];
            const size_t count = p[4] == 0 ? 256 : p[4];
            const uint32_t address = p[5] | (uint32_t{p[6]} << 8);
            const uint8_t type = p[7];
            if (op == kCCMRead) {
                if (p.size() != 8) return kStatusPlcSizeError;
                long n = static_cast<long>(count) + s.replyAdjust;
                for (long i = 0; i < n; ++i)
                    data.push_back(s.read(type, static_cast<uint32_t>(address + i)));
                return 0;
            }
            if (op == kCCMWrite) {
                if (p.size() != 8 + count) return kStatusPlcSizeError;
                for (size_t i = 0; i < count; ++i) {
                    s.write(type, static_cast<uint32_t>(address + i), p[8 + i]);
                    data.push_back(p[8 + i]);
                }
                return 0;
            }
            return kStatusPlcSizeError;
        });
    });

    registerHandler(kFnKSequence, [](Module& m, const Request& req, Reply& reply) {
        answerPlc(m, req, reply, [&](PlcState& s, Bytes& data) -> uint16_t {
            const Bytes& p = req.payload;
            if (p.size() < 4) return kStatusPlcSizeError;
            const size_t count = p[2] == 0 ? 256 : p[2];
            if (p.size() != 4 + count) return kStatusPlcSizeError;
            if (s.kseqReply)
                data = *s.kseqReply;
            else
                data.assign(p.begin() + 4, p.end());
            return 0;
        });
    });
}

} // namespace nlisim
