// Base definition and I/O data of a simulated base controller.
//
// Requests answered:
//   0x08 [0xB1]          base definition read: the stream from offset 9 (data shape). With 0xB1
//                        the extended form (every module item with its counts); without it the
//                        plain form (a type-2 item, module ID only, per slot). A written
//                        definition is answered as it was written, in both forms.
//   0x18                 initialise: forgets a written definition and answers the scanned one.
//   0x18 selector(u32)   rescan: answers the scanned definition of the bases whose bit is set in
//                        the selector (bit n = base n; 0 = every base). Changes nothing.
//   0x0F 0x00 len stream base definition write, two responses: status 0 at once, then after
//                        "baseWriteDelayMs" status 0 and the stored stream (or status 109 when len
//                        disagrees with the bytes sent, 119 when the stream does not walk to its
//                        end command; nothing is stored then).
//   0x07 [0xB1]          I/O read: status word, input image (extended: input, then output image).
//   0x06 outputs         I/O write: stores the outputs, answers status word and input image.
//   0x30 outputs         I/O write without read: stores the outputs, answers the status word.
//                        More output bytes than the image holds: the first ones are stored and
//                        the status is 134.
//
// Plant-file keys of a module:
//   "bases": [ { "base": 0, "slots": [ { "slot": 0, "module": 191, "type": 1,
//                "bitInputs": 16, "bitOutputs": 0, "wordInputs": 0, "wordOutputs": 0,
//                "dwordInputs": 0, "dwordOutputs": 0, "pairs": [[3, 16]] }, null, ... ] } ]
//       The installed I/O modules. "base" defaults to the position in the list, "slot" to the
//       position in "slots" (null = empty slot). "module" is the module ID, a number or hex text
//       ("0xBF"). "type" is the item type (default 1): 1 carries bit and word counts, 3 bit and
//       double-word counts, 5 all six, 7 (kind, count) pairs ("pairs", else built from the counts:
//       kind 3/4 bits, 5/6 words, 8/9 double words), 2 and 255 none; any other type is sent with
//       no counts. The counts also size the I/O image.
//   "baseByteForm": true      build the stream in byte form (command 11 first); streams whose
//                             numbers do not fit 4 bits are built in byte form anyway.
//   "baseDefinition": "hex"   a definition written by the PC (saved back after a write).
//   "baseWriteDelayMs": 20    delay of a write's completion answer.
//   "io": { "inputs": "hex", "outputs": "hex", "status": 0 }
//       The I/O image (default: zeros, sized from the modules' counts) and the status word every
//       I/O answer carries (non-zero models a module reporting an I/O fault).
#include "base.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace nlisim {

// ---------------------------------------------------------------------------------------------
// Hex text

Bytes parseHex(const std::string& text, const std::string& what) {
    Bytes out;
    int high = -1;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == ' ' || c == ',' || c == ':' || c == '\t' || c == '\n') {
            if (high >= 0) throw std::runtime_error(what + ": odd number of hex digits");
            continue;
        }
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
            high < 0) {
            ++i;
            continue;
        }
        int v = -1;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        if (v < 0)
            throw std::runtime_error(what + ": expected hex bytes like \"01 B1 FF\", found '" +
                                     std::string(1, c) + "'");
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) throw std::runtime_error(what + ": odd number of hex digits");
    return out;
}

std::string hexText(const Bytes& bytes) {
    std::string s;
    char two[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(two, sizeof two, "%02X", bytes[i]);
        if (i) s += ' ';
        s += two;
    }
    return s;
}

// ---------------------------------------------------------------------------------------------
// Loading and saving

namespace {

constexpr uint8_t kKindBitIn = 3, kKindBitOut = 4, kKindWordIn = 5, kKindWordOut = 6;
constexpr uint8_t kKindDwordIn = 8, kKindDwordOut = 9;

[[noreturn]] void refuse(const std::string& what) {
    throw std::runtime_error(what);
}

uint8_t byteValue(const Json& v, const std::string& what) {
    if (v.is_number_integer() && v.get<int64_t>() >= 0 && v.get<int64_t>() <= 255)
        return static_cast<uint8_t>(v.get<int64_t>());
    if (v.is_string()) {
        Bytes b = parseHex(v.get<std::string>(), what);
        if (b.size() == 1) return b[0];
    }
    refuse(what + ": expected a number 0..255 or one hex byte like \"0xBF\", got " + v.dump());
}

uint8_t byteKey(const Json& o, const char* key, uint8_t fallback, const std::string& what) {
    auto it = o.find(key);
    if (it == o.end()) return fallback;
    return byteValue(*it, what + ": key \"" + key + "\"");
}

IOModule loadIOModule(const Json& j, uint8_t slot, const std::string& what) {
    if (!j.is_object()) refuse(what + ": expected an object or null, got " + j.dump());
    IOModule m;
    m.slot = byteKey(j, "slot", slot, what);
    if (!j.contains("module")) refuse(what + ": key \"module\" (the module ID) is missing");
    m.id = byteKey(j, "module", 0, what);
    m.type = byteKey(j, "type", 1, what);
    m.bitInputs = byteKey(j, "bitInputs", 0, what);
    m.bitOutputs = byteKey(j, "bitOutputs", 0, what);
    m.wordInputs = byteKey(j, "wordInputs", 0, what);
    m.wordOutputs = byteKey(j, "wordOutputs", 0, what);
    m.dwordInputs = byteKey(j, "dwordInputs", 0, what);
    m.dwordOutputs = byteKey(j, "dwordOutputs", 0, what);
    if (auto it = j.find("pairs"); it != j.end()) {
        if (!it->is_array()) refuse(what + ": key \"pairs\": expected [[kind, count], ...]");
        for (const Json& p : *it) {
            if (!p.is_array() || p.size() != 2)
                refuse(what + ": key \"pairs\": expected [[kind, count], ...], got " + p.dump());
            m.pairs.emplace_back(byteValue(p[0], what + ": pair kind"),
                                 byteValue(p[1], what + ": pair count"));
        }
    }
    return m;
}

Json saveIOModule(const IOModule& m) {
    Json j = Json::object();
    j["slot"] = m.slot;
    j["module"] = m.id;
    j["type"] = m.type;
    auto put = [&](const char* key, uint8_t v) {
        if (v) j[key] = v;
    };
    put("bitInputs", m.bitInputs);
    put("bitOutputs", m.bitOutputs);
    put("wordInputs", m.wordInputs);
    put("wordOutputs", m.wordOutputs);
    put("dwordInputs", m.dwordInputs);
    put("dwordOutputs", m.dwordOutputs);
    if (!m.pairs.empty()) {
        Json pairs = Json::array();
        for (auto [kind, count] : m.pairs)
            pairs.push_back(Json::array({kind, count}));
        j["pairs"] = pairs;
    }
    return j;
}

// The (kind, count) pairs of a type-7 item.
std::vector<std::pair<uint8_t, uint8_t>> pairsOf(const IOModule& m) {
    if (!m.pairs.empty()) return m.pairs;
    std::vector<std::pair<uint8_t, uint8_t>> out;
    auto add = [&](uint8_t kind, uint8_t n) {
        if (n) out.emplace_back(kind, n);
    };
    add(kKindBitIn, m.bitInputs);
    add(kKindBitOut, m.bitOutputs);
    add(kKindWordIn, m.wordInputs);
    add(kKindWordOut, m.wordOutputs);
    add(kKindDwordIn, m.dwordInputs);
    add(kKindDwordOut, m.dwordOutputs);
    return out;
}

// The bytes of a module item after its command: type, ID, then the counts of its type.
Bytes itemBytes(const IOModule& m, bool extended) {
    if (!extended) return {2, m.id};
    Bytes b{m.type, m.id};
    switch (m.type) {
    case 1:
        b.insert(b.end(), {m.bitInputs, m.bitOutputs, m.wordInputs, m.wordOutputs});
        break;
    case 3:
        b.insert(b.end(), {m.bitInputs, m.bitOutputs, m.dwordInputs, m.dwordOutputs});
        break;
    case 5:
        b.insert(b.end(), {m.bitInputs, m.bitOutputs, m.wordInputs, m.wordOutputs, m.dwordInputs,
                           m.dwordOutputs});
        break;
    case 7: {
        auto pairs = pairsOf(m);
        b.push_back(static_cast<uint8_t>(pairs.size()));
        for (auto [kind, count] : pairs)
            b.insert(b.end(), {kind, count});
        break;
    }
    default:
        break;
    }
    return b;
}

} // namespace

size_t IOModule::inputBytes() const {
    size_t bits = bitInputs, words = wordInputs, dwords = dwordInputs;
    if (type == 7 && !pairs.empty()) {
        bits = words = dwords = 0;
        for (auto [kind, count] : pairs) {
            if (kind == kKindBitIn) bits += count;
            if (kind == kKindWordIn) words += count;
            if (kind == kKindDwordIn) dwords += count;
        }
    }
    return (bits + 7) / 8 + 2 * words + 4 * dwords;
}

size_t IOModule::outputBytes() const {
    size_t bits = bitOutputs, words = wordOutputs, dwords = dwordOutputs;
    if (type == 7 && !pairs.empty()) {
        bits = words = dwords = 0;
        for (auto [kind, count] : pairs) {
            if (kind == kKindBitOut) bits += count;
            if (kind == kKindWordOut) words += count;
            if (kind == kKindDwordOut) dwords += count;
        }
    }
    return (bits + 7) / 8 + 2 * words + 4 * dwords;
}

BaseState::BaseState(Module& module) {
    const Json& doc = module.doc;
    const std::string w = "module " + std::to_string(module.index);
    size_t inputSize = 0, outputSize = 0;
    if (auto it = doc.find("bases"); it != doc.end()) {
        if (!it->is_array()) refuse(w + ": key \"bases\": expected a list of bases");
        for (size_t b = 0; b < it->size(); ++b) {
            const Json& jb = (*it)[b];
            std::string wb = w + ": base " + std::to_string(b);
            if (!jb.is_object()) refuse(wb + ": expected an object with \"slots\"");
            IOBase base;
            base.number = byteKey(jb, "base", static_cast<uint8_t>(b), wb);
            if (auto s = jb.find("slots"); s != jb.end()) {
                if (!s->is_array()) refuse(wb + ": key \"slots\": expected a list");
                for (size_t k = 0; k < s->size(); ++k) {
                    if ((*s)[k].is_null()) continue;
                    std::string ws = wb + ", slot " + std::to_string(k);
                    base.modules.push_back(loadIOModule((*s)[k], static_cast<uint8_t>(k), ws));
                    inputSize += base.modules.back().inputBytes();
                    outputSize += base.modules.back().outputBytes();
                }
            }
            bases.push_back(std::move(base));
        }
    }
    if (auto it = doc.find("baseByteForm"); it != doc.end()) {
        if (!it->is_boolean()) refuse(w + ": key \"baseByteForm\": expected true or false");
        byteForm = it->get<bool>();
    }
    if (auto it = doc.find("baseDefinition"); it != doc.end()) {
        if (!it->is_string()) refuse(w + ": key \"baseDefinition\": expected hex text");
        written = parseHex(it->get<std::string>(), w + ": key \"baseDefinition\"");
    }
    if (auto it = doc.find("baseWriteDelayMs"); it != doc.end()) {
        if (!isNonNegative(*it) || it->get<uint64_t>() > 600000)
            refuse(w + ": key \"baseWriteDelayMs\": expected milliseconds 0..600000");
        writeDelayMs = static_cast<uint32_t>(it->get<uint64_t>());
    }
    inputs.assign(inputSize, 0);
    outputs.assign(outputSize, 0);
    if (auto it = doc.find("io"); it != doc.end()) {
        if (!it->is_object()) refuse(w + ": key \"io\": expected an object");
        if (auto v = it->find("inputs"); v != it->end()) {
            if (!v->is_string()) refuse(w + ": io: key \"inputs\": expected hex text");
            inputs = parseHex(v->get<std::string>(), w + ": io: key \"inputs\"");
        }
        if (auto v = it->find("outputs"); v != it->end()) {
            if (!v->is_string()) refuse(w + ": io: key \"outputs\": expected hex text");
            outputs = parseHex(v->get<std::string>(), w + ": io: key \"outputs\"");
        }
        if (auto v = it->find("status"); v != it->end()) {
            if (!isNonNegative(*v) || v->get<uint64_t>() > 0xFFFF)
                refuse(w + ": io: key \"status\": expected a status word 0..65535");
            ioStatus = static_cast<uint16_t>(v->get<uint64_t>());
        }
    }
}

void BaseState::save(Json& doc) const {
    if (!bases.empty()) {
        Json list = Json::array();
        for (const IOBase& b : bases) {
            Json slots = Json::array();
            for (const IOModule& m : b.modules)
                slots.push_back(saveIOModule(m));
            list.push_back(Json{{"base", b.number}, {"slots", slots}});
        }
        doc["bases"] = list;
    } else {
        doc.erase("bases");
    }
    if (byteForm)
        doc["baseByteForm"] = true;
    else
        doc.erase("baseByteForm");
    if (written)
        doc["baseDefinition"] = hexText(*written);
    else
        doc.erase("baseDefinition");
    doc["baseWriteDelayMs"] = writeDelayMs;
    Json io = Json::object();
    io["inputs"] = hexText(inputs);
    io["outputs"] = hexText(outputs);
    if (ioStatus) io["status"] = ioStatus;
    doc["io"] = io;
}

// ---------------------------------------------------------------------------------------------
// The stream

Bytes BaseState::scannedStream(uint32_t mask, bool extended) const {
    struct Item {
        uint8_t command, value;
        Bytes further;
    };
    std::vector<Item> items;
    bool wide = byteForm;
    for (const IOBase& b : bases) {
        if (mask != 0 && (b.number >= 32 || !(mask & (uint32_t{1} << b.number)))) continue;
        items.push_back({7, b.number, {}});
        for (const IOModule& m : b.modules) {
            items.push_back({0, m.slot, {}});
            Bytes further = itemBytes(m, extended);
            items.push_back({1, static_cast<uint8_t>(further.size() - 2), further});
        }
    }
    for (const Item& i : items)
        if (i.value > 15) wide = true;

    Bytes out;
    if (wide) out.push_back(0xB0); // command 11, nothing to skip: byte form from here on
    for (const Item& i : items) {
        if (wide) {
            out.push_back(i.command);
            out.push_back(i.value);
        } else {
            out.push_back(static_cast<uint8_t>(i.command << 4 | i.value));
        }
        out.insert(out.end(), i.further.begin(), i.further.end());
    }
    if (wide)
        out.insert(out.end(), {0x0F, 0x00});
    else
        out.push_back(0xFF);
    return out;
}

Bytes BaseState::definition(bool extended) const {
    return written ? *written : scannedStream(0, extended);
}

bool BaseState::parses(const Bytes& s) {
    size_t pos = 0;
    bool wide = false;
    while (pos < s.size()) {
        unsigned command, value = 0;
        if (wide) {
            command = s[pos++];
            if (command == 15) return true;
            if (pos >= s.size()) return false;
            value = s[pos++];
        } else {
            command = s[pos] >> 4;
            value = s[pos] & 0x0F;
            ++pos;
        }
        size_t further = 0;
        switch (command) {
        case 0:
        case 7:
            break;
        case 1:
        case 14:
            further = value + 2;
            break;
        case 5:
        case 6:
            further = wide ? value : value * 2;
            break;
        case 8:
        case 9:
            further = wide ? value : value * 4;
            break;
        case 11:
            further = value;
            break;
        case 15:
            return true;
        default:
            further = command > 15 ? 0 : value;
            break;
        }
        pos += further;
        if (command == 11) wide = true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Handlers

namespace {

bool extendedForm(const Request& req) {
    return req.payload.size() >= 2 && req.payload[1] == 0xB1;
}

// Stores output data as far as the image reaches; the status the answer carries.
uint16_t storeOutputs(BaseState& s, const Request& req) {
    Bytes data(req.payload.begin() + 1, req.payload.end());
    size_t n = std::min(data.size(), s.outputs.size());
    std::copy(data.begin(), data.begin() + static_cast<long>(n), s.outputs.begin());
    return data.size() > s.outputs.size() ? kStatusLengthWarning : s.ioStatus;
}

} // namespace

NLISIM_REGISTER_HANDLERS {
    registerHandler(0x08, [](Module& m, const Request& req, Reply& reply) {
        BaseState& s = m.feature<BaseState>();
        s.lastRequest = req.payload;
        reply.send(s.definition(extendedForm(req)));
    });

    registerHandler(0x18, [](Module& m, const Request& req, Reply& reply) {
        BaseState& s = m.feature<BaseState>();
        s.lastRequest = req.payload;
        if (req.payload.size() == 1) {
            s.written.reset();
            ++s.initialisations;
            reply.send(s.scannedStream());
        } else if (req.payload.size() >= 5) {
            s.lastRescanSelector = getU32(&req.payload[1]);
            ++s.rescans;
            reply.send(s.scannedStream(s.lastRescanSelector));
        }
        // A selector cut short gets no answer.
    });

    registerHandler(0x0F, [](Module& m, const Request& req, Reply& reply) {
        BaseState& s = m.feature<BaseState>();
        s.lastRequest = req.payload;
        const Bytes& p = req.payload;
        Bytes ack;
        putU16(ack, 0);
        Bytes done;
        if (p.size() < 4 || getU16(&p[2]) != p.size() - 4) {
            putU16(done, kStatusBaseSizeError);
        } else {
            Bytes stream(p.begin() + 4, p.end());
            if (!BaseState::parses(stream)) {
                putU16(done, kStatusInvalidData);
            } else {
                s.written = stream;
                putU16(done, 0);
                done.insert(done.end(), stream.begin(), stream.end());
            }
        }
        reply.twoResponses(ack, s.writeDelayMs, done);
    });

    registerHandler(0x07, [](Module& m, const Request& req, Reply& reply) {
        BaseState& s = m.feature<BaseState>();
        s.lastRequest = req.payload;
        ++s.ioRequests;
        Bytes data = s.inputs;
        if (extendedForm(req)) data.insert(data.end(), s.outputs.begin(), s.outputs.end());
        reply.status(s.ioStatus, data);
    });

    registerHandler(0x06, [](Module& m, const Request& req, Reply& reply) {
        BaseState& s = m.feature<BaseState>();
        s.lastRequest = req.payload;
        ++s.ioRequests;
        reply.status(storeOutputs(s, req), s.inputs);
    });

    registerHandler(0x30, [](Module& m, const Request& req, Reply& reply) {
        BaseState& s = m.feature<BaseState>();
        s.lastRequest = req.payload;
        ++s.ioRequests;
        reply.status(storeOutputs(s, req));
    });
}

} // namespace nlisim
