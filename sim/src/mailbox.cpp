// The remote master's mailbox, from the module's side.
//
// The PC writes a command block at 0x8030 with command word 0, then starts it by writing the
// command word: 8 writes the data window (0x803C) into an area, 7 reads an area into the window
// (block words: 0, area, offset, length, 0), 6 runs a command (words 0, code, then parameters).
// The mailbox shows busy (state byte 0x8031 = 1) for "busyPolls" status reads, then done (2) or
// failed (3, error code in the word at 0x8032). Rewriting the block with command word 0
// abandons an operation still busy.
//
// Command 3 is the tunnel: its parameters are five u16 (a value, 0, request length, 0, 0x0800);
// the request (from its function code) waits in area 4 at offset 0. The master hands it to the
// module it fronts, another module of the plant (key "fronts"), running that module's own handler
// as if the request had come over the network (header, sequence number and CRC do not apply; of
// an acknowledgement and a completion, the completion is kept), and leaves in area 4 a u16
// status, a u16 answer length and the answer from offset 4. Status 153: nothing fronted or not in
// the plant; 114: no answer (an empty request, a silent or restarting module); 109: the answer
// does not fit area 4. A function code the module does not know is answered with status 113, as
// on the module's own endpoint.
//
// Plant-file keys, in a "sharedRam" entry of "memory" (memory.cpp):
//   "remoteMaster": {
//     "areas": [ { "area": 1, "size": 1024, "contents": { "0": "01 02" } }, ... ],
//     "busyPolls": 0, "stuck": false, "failCode": 0, "failWithoutCode": false,
//     "commandErrors": { "17": 258 },
//     "fronts": "00:E0:62:00:00:02"
//   }
// Without "areas" the master has area 1 (1024 bytes); area 4 (2048 bytes) is always there.
#include "mailbox.h"

#include <stdexcept>

namespace nlisim {

namespace {

[[noreturn]] void refuse(const std::string& what) { throw std::runtime_error(what); }

uint64_t number(const Json& object, const char* key, uint64_t fallback, uint64_t max,
                const std::string& what) {
    auto it = object.find(key);
    if (it == object.end()) return fallback;
    bool ok = it->is_number_unsigned() || (it->is_number_integer() && it->get<int64_t>() >= 0);
    if (!ok || it->get<uint64_t>() > max)
        refuse(what + ": key \"" + key + "\": expected an integer 0.." + std::to_string(max) +
               ", got " + it->dump());
    return it->get<uint64_t>();
}

bool covers(uint32_t address, size_t length, uint32_t byte) {
    return address <= byte && byte < address + length;
}

// Keeps the answer a handler gives: the later (completion) answer wins over the first.
class CapturedReply final : public Reply {
  public:
    void send(const Bytes& payload) override {
        if (late_) return;
        answer = payload;
        answered = true;
    }
    void sendAfter(uint32_t, const Bytes& payload) override {
        answer = payload;
        answered = true;
        late_ = true;
    }
    Bytes answer;
    bool answered = false;

  private:
    bool late_ = false;
};

int tunnelDepth = 0; // a fronted module may be a master itself; loops stop here
constexpr int kMaxTunnelDepth = 4;

} // namespace

RemoteMaster::RemoteMaster(const Json& config, const std::string& what) {
    if (!config.is_object()) refuse(what + ": expected an object");
    if (auto it = config.find("areas"); it != config.end()) {
        if (!it->is_array()) refuse(what + ": key \"areas\": expected an array");
        for (size_t i = 0; i < it->size(); ++i) {
            const Json& a = (*it)[i];
            std::string w = what + ": area " + std::to_string(i);
            if (!a.is_object()) refuse(w + ": expected an object");
            auto area = static_cast<uint16_t>(number(a, "area", 1, 255, w));
            Bytes bytes(number(a, "size", 1024, 0x10000, w), 0);
            if (auto c = a.find("contents"); c != a.end()) loadContents(*c, bytes, w + ": contents");
            if (areas.count(area)) refuse(w + ": area " + std::to_string(area) + " again");
            areas[area] = std::move(bytes);
        }
    } else {
        areas[1] = Bytes(1024, 0);
    }
    if (!areas.count(mailbox::kTunnelArea))
        areas[mailbox::kTunnelArea] = Bytes(mailbox::kTunnelAreaSize, 0);
    busyPolls = static_cast<uint32_t>(number(config, "busyPolls", 0, 0xFFFFFFFF, what));
    if (auto it = config.find("stuck"); it != config.end()) {
        if (!it->is_boolean()) refuse(what + ": key \"stuck\": expected true or false");
        stuck = it->get<bool>();
    }
    failCode = static_cast<uint16_t>(number(config, "failCode", 0, 0xFFFF, what));
    if (auto it = config.find("failWithoutCode"); it != config.end()) {
        if (!it->is_boolean()) refuse(what + ": key \"failWithoutCode\": expected true or false");
        failWithoutCode = it->get<bool>();
    }
    if (auto it = config.find("commandErrors"); it != config.end()) {
        if (!it->is_object()) refuse(what + ": key \"commandErrors\": expected an object");
        for (auto e = it->begin(); e != it->end(); ++e) {
            unsigned long code = 0;
            try {
                size_t used = 0;
                code = std::stoul(e.key(), &used, 0);
                if (used != e.key().size() || code > 0xFFFF) throw std::out_of_range("code");
            } catch (const std::exception&) {
                refuse(what + ": commandErrors: \"" + e.key() + "\" is not a command code");
            }
            if (!e->is_number_integer() || e->get<int64_t>() < 1 || e->get<int64_t>() > 0xFFFF)
                refuse(what + ": commandErrors: \"" + e.key() + "\": expected an error 1..65535");
            commandErrors[static_cast<uint16_t>(code)] = static_cast<uint16_t>(e->get<int64_t>());
        }
    }
    if (auto it = config.find("fronts"); it != config.end()) {
        Mac mac{};
        if (!it->is_string() || !parseMac(it->get<std::string>(), mac))
            refuse(what + ": key \"fronts\": expected an Ethernet address");
        fronts = mac;
    }
}

void RemoteMaster::save(Json& slotDoc) const {
    Json a = Json::array();
    for (const auto& [area, bytes] : areas) {
        Json entry = {{"area", area}, {"size", bytes.size()}};
        Json contents = contentsJson(bytes);
        if (!contents.empty()) entry["contents"] = contents;
        a.push_back(entry);
    }
    Json c = {{"areas", a}};
    if (busyPolls) c["busyPolls"] = busyPolls;
    if (stuck) c["stuck"] = true;
    if (failCode) c["failCode"] = failCode;
    if (failWithoutCode) c["failWithoutCode"] = true;
    if (!commandErrors.empty()) {
        Json e = Json::object();
        for (const auto& [code, error] : commandErrors) e[std::to_string(code)] = error;
        c["commandErrors"] = e;
    }
    if (fronts) c["fronts"] = macToString(*fronts);
    slotDoc["remoteMaster"] = c;
}

RemoteMaster* RemoteMaster::at(Module& host, uint16_t base, uint16_t slot) {
    SharedRam* ram = host.feature<MemoryState>().findSharedRam(base, slot);
    return ram ? dynamic_cast<RemoteMaster*>(ram->device.get()) : nullptr;
}

void RemoteMaster::afterWrite(Module& host, const Request& request, SharedRam& ram,
                              uint32_t address, size_t length) {
    if (ram.bytes.size() < mailbox::kDataWindow + mailbox::kWindowSize) return;
    if (address == mailbox::kCommandBlock && length > 2) blockLength_ = length;
    if (!covers(address, length, mailbox::kCommandBlock)) return;
    uint8_t word = ram.bytes[mailbox::kCommandBlock];
    if (word == mailbox::kStartCommand || word == mailbox::kStartRead ||
        word == mailbox::kStartWrite)
        start(host, request, ram);
    else
        pending_ = false; // a new block is being written
}

void RemoteMaster::beforeRead(Module&, const Request&, SharedRam& ram, uint32_t address,
                              size_t length) {
    if (!covers(address, length, mailbox::kStateByte)) return;
    ++statusReads;
    if (!pending_) return;
    if (stuck) return;
    if (pollsLeft_ > 0) {
        --pollsLeft_;
        return;
    }
    bool failedOp = outcome_ != 0 || failWithoutCode;
    ram.bytes[mailbox::kStateByte] = failedOp ? mailbox::kStateFailed : mailbox::kStateDone;
    ram.bytes[mailbox::kErrorWord] = static_cast<uint8_t>(outcome_);
    ram.bytes[mailbox::kErrorWord + 1] = static_cast<uint8_t>(outcome_ >> 8);
    pending_ = false;
}

void RemoteMaster::start(Module& host, const Request& request, SharedRam& ram) {
    const Bytes& b = ram.bytes;
    MailboxOperation op;
    op.start = b[mailbox::kCommandBlock];
    ram.bytes[mailbox::kStateByte] = mailbox::kStateBusy;
    pending_ = true;
    pollsLeft_ = busyPolls;
    if (op.start == mailbox::kStartCommand) {
        op.command = getU16(&b[mailbox::kCommandBlock + 4]);
        size_t end = mailbox::kCommandBlock + std::max<size_t>(blockLength_, 6);
        op.parameters.assign(b.begin() + mailbox::kCommandBlock + 6,
                             b.begin() + static_cast<long>(std::min(end, b.size())));
    } else {
        op.area = getU16(&b[mailbox::kCommandBlock + 4]);
        op.offset = getU16(&b[mailbox::kCommandBlock + 6]);
        op.length = getU16(&b[mailbox::kCommandBlock + 8]);
    }
    if (stuck) {
        operations.push_back(op);
        return;
    }
    if (op.start != mailbox::kStartCommand)
        op.error = transfer(ram, op);
    else if (auto e = commandErrors.find(op.command); e != commandErrors.end())
        op.error = e->second;
    else if (failCode != 0)
        op.error = failCode;
    else if (op.command == mailbox::kTunnelCommand)
        op.error = tunnel(host, request, op.parameters);
    outcome_ = op.error;
    operations.push_back(op);
}

uint16_t RemoteMaster::transfer(SharedRam& ram, MailboxOperation& op) {
    if (failCode != 0) return failCode;
    auto it = areas.find(op.area);
    if (it == areas.end()) return mailbox::kErrorUnknownArea;
    if (op.length > mailbox::kWindowSize) return mailbox::kErrorLength;
    Bytes& area = it->second;
    if (static_cast<size_t>(op.offset) + op.length > area.size()) return mailbox::kErrorRange;
    auto window = ram.bytes.begin() + mailbox::kDataWindow;
    auto at = area.begin() + op.offset;
    if (op.start == mailbox::kStartWrite)
        std::copy(window, window + op.length, at);
    else
        std::copy(at, at + op.length, window);
    op.data.assign(at, at + op.length);
    return 0;
}

uint16_t RemoteMaster::tunnel(Module& host, const Request& request, const Bytes& parameters) {
    if (parameters.size() < 10) return mailbox::kErrorParameters;
    Bytes& area = areas[mailbox::kTunnelArea];
    uint16_t length = getU16(&parameters[4]);
    if (length > area.size()) return mailbox::kErrorRange;
    lastTunnelRequest.assign(area.begin(), area.begin() + length);

    uint16_t status = 0;
    CapturedReply reply;
    Module* target = fronts && request.plant ? request.plant->find(*fronts) : nullptr;
    if (!target || target == &host || tunnelDepth >= kMaxTunnelDepth) {
        status = mailbox::kTunnelNoModule;
    } else if (target->faults.silent || std::chrono::steady_clock::now() < target->offlineUntil) {
        status = mailbox::kTunnelNoAnswer;
    } else {
        Request inner;
        inner.payload = lastTunnelRequest;
        inner.plant = request.plant;
        ++target->requestsReceived;
        const Handler* handler = findHandler(inner.functionCode());
        if (!handler && !inner.payload.empty()) {
            reply.status(kStatusInvalidRequest); // as the module answers on its own endpoint
        } else if (handler) {
            ++tunnelDepth;
            try {
                (*handler)(*target, inner, reply);
            } catch (const std::exception&) {
                reply.answered = false;
            }
            --tunnelDepth;
        }
        if (!reply.answered) status = mailbox::kTunnelNoAnswer;
    }
    if (status == 0 && reply.answer.size() + 4 > area.size()) status = mailbox::kTunnelTooLong;
    lastTunnelAnswer = status == 0 ? reply.answer : Bytes{};
    Bytes head;
    putU16(head, status);
    putU16(head, static_cast<uint16_t>(lastTunnelAnswer.size()));
    std::copy(head.begin(), head.end(), area.begin());
    std::copy(lastTunnelAnswer.begin(), lastTunnelAnswer.end(), area.begin() + 4);
    return 0;
}

NLISIM_REGISTER_HANDLERS {
    registerSlotDevice("remoteMaster",
                       [](const Json& config, SharedRam& ram, const std::string& what) {
                           if (ram.bytes.size() < mailbox::kDataWindow + mailbox::kWindowSize)
                               refuse(what + ": the mailbox needs a shared RAM of at least " +
                                      std::to_string(mailbox::kDataWindow + mailbox::kWindowSize) +
                                      " bytes");
                           return std::make_shared<RemoteMaster>(config, what);
                       });
}

} // namespace nlisim
