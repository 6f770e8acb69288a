// Setup data: the module's keyed store of settings, one item of bytes per u16 code.
//
// 0x0A                 enumerate: status 0, count (u16), the codes (u16 each, ascending; at most
//                      293 fit one answer)
// 0x0B 0x00 code       read: status 0 and the item's bytes, or status 110 (and "missingData")
// 0x0C 0x00 code data  write: acknowledgement (status 0) at once, completion (status 0) after
//                      "completionDelayMs"; the item holds exactly the data sent
// 0x0D 0x00 code       delete: as a write; completion status 110 when there was no such item
// Malformed requests (short, byte 1 not 0) are answered with status 109 or 113. The store also
// answers the discovery query with a data item: a module answers when it holds the item with
// exactly the bytes asked for.
//
// Plant-file keys, all under "setup" (every key optional):
//   "items": { "<code>": <value>, ... }  the items; <code> decimal or "0x..." hex. Without
//            "items" the module gets the factory items of its family (below). <value> is bytes
//            ("01 02 0A", "01020a" or [1, 2, 10]) or an object: {"text": "Line 1", "size": 256}
//            (text, a zero, zeros up to size), {"u32": 7}, {"u16": 7}, {"ip": "192.168.1.10"},
//            {"hex": "..."}.
//   "defaults": true           start from the factory items and apply "items" over them (an
//                              item value null removes a factory item)
//   "completionDelayMs": 5     delay of the completion answer of writes and deletes
//   "missingData": bytes       what follows status 110 when a read names a missing item
//   "writeStatus": n           writes complete with status n and store nothing (0 = normal)
//   "deleteStatus": n          deletes complete with status n and keep the item (0 = normal)
//   "ignoreWrites": n          the next n writes or deletes get no answer (counted down)
//   "loseCompletions": n       the next n writes or deletes get only their acknowledgement
//                              (the item is stored; counted down)
//   "enumCountExtra": n        an enumeration states n codes more than it carries
//
// Factory items: 22 node name (the module's "name", else the factory name of its family and
// platform, e.g. "205LCM"), 38 description ("205 Ethernet data communications module."), 32
// node number (index + 1; u16 for panel adapters, whose name is at most 19 characters), 16 IP
// address (192.168.x.y from the index; FF FF FF FF with "ipNotSet"). Second generation: 48
// subnet mask, 64 gateway, 54 IP setup record, 0x8035 hardware revisions. Communication modules:
// 21 protocol settings; second generation also 183 e-mail configuration.
#include "setup_store.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace nlisim {

namespace {

constexpr uint8_t kFnEnum = 0x0A;
constexpr uint8_t kFnRead = 0x0B;
constexpr uint8_t kFnWrite = 0x0C;
constexpr uint8_t kFnDelete = 0x0D;

[[noreturn]] void refuse(const std::string& what) {
    throw std::runtime_error(what);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Bytes hexBytes(const std::string& text, const std::string& where) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-' || c == ',') {
            if (high >= 0) refuse(where + ": odd number of hex digits in \"" + text + "\"");
            continue;
        }
        int v = hexValue(c);
        if (v < 0) refuse(where + ": \"" + text + "\" is not hex bytes");
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) refuse(where + ": odd number of hex digits in \"" + text + "\"");
    return out;
}

bool parseIp(const std::string& text, Bytes& out) {
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4) return false;
    if (a > 255 || b > 255 || c > 255 || d > 255) return false;
    out = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c),
           static_cast<uint8_t>(d)};
    return true;
}

uint64_t unsignedKey(const Json& object, const char* key, uint64_t max, uint64_t fallback,
                     const std::string& where) {
    auto it = object.find(key);
    if (it == object.end()) return fallback;
    if (!it->is_number_unsigned() || it->get<uint64_t>() > max)
        refuse(where + ": key \"" + key + "\": expected an integer 0.." + std::to_string(max) +
               ", got " + it->dump());
    return it->get<uint64_t>();
}

Bytes itemFromJson(const Json& v, const std::string& where) {
    if (!v.is_object()) return bytesFromJson(v, where);
    if (v.size() == 0) refuse(where + ": empty object");
    if (auto it = v.find("text"); it != v.end()) {
        if (!it->is_string()) refuse(where + ": \"text\" must be a text");
        const std::string text = it->get<std::string>();
        Bytes b(text.begin(), text.end());
        b.push_back(0);
        size_t size = unsignedKey(v, "size", kMaxItemSize, 0, where);
        if (size != 0 && b.size() > size)
            refuse(where + ": the text and its zero do not fit \"size\" " + std::to_string(size));
        if (b.size() < size) b.resize(size, 0);
        return b;
    }
    if (v.contains("u32")) {
        uint32_t n = static_cast<uint32_t>(unsignedKey(v, "u32", 0xFFFFFFFFu, 0, where));
        Bytes b;
        putU32(b, n);
        return b;
    }
    if (v.contains("u16")) {
        uint16_t n = static_cast<uint16_t>(unsignedKey(v, "u16", 0xFFFF, 0, where));
        Bytes b;
        putU16(b, n);
        return b;
    }
    if (auto it = v.find("ip"); it != v.end()) {
        Bytes b;
        if (!it->is_string() || !parseIp(it->get<std::string>(), b))
            refuse(where + ": \"ip\": expected \"a.b.c.d\", got " + it->dump());
        return b;
    }
    if (auto it = v.find("hex"); it != v.end()) return bytesFromJson(*it, where);
    refuse(where + ": expected bytes or an object with \"text\", \"u32\", \"u16\", \"ip\" or "
                   "\"hex\"");
}

// The most readable form that reads back as the same bytes.
Json itemToJson(uint16_t code, const Bytes& b) {
    if (b.size() == 4 &&
        (code == item::kIpAddress || code == item::kSubnetMask || code == item::kGateway)) {
        char text[16];
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
        return Json{{"ip", text}};
    }
    if (b.size() == 4 && code == item::kNodeNumber) return Json{{"u32", getU32(b.data())}};
    if (b.size() == 2 && code == item::kNodeNumber) return Json{{"u16", getU16(b.data())}};
    auto zero = std::find(b.begin(), b.end(), uint8_t{0});
    bool text = zero != b.end() && zero != b.begin() &&
                std::all_of(b.begin(), zero, [](uint8_t c) { return c >= 0x20 && c < 0x7F; }) &&
                std::all_of(zero, b.end(), [](uint8_t c) { return c == 0; });
    if (text) {
        Json j{{"text", std::string(b.begin(), zero)}};
        if (static_cast<size_t>(zero - b.begin()) + 1 != b.size()) j["size"] = b.size();
        return j;
    }
    return bytesToHex(b);
}

uint16_t codeFromKey(const std::string& key, const std::string& where) {
    unsigned long v = 0;
    size_t used = 0;
    try {
        v = std::stoul(key, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != key.size() || v > 0xFFFF)
        refuse(where + ": \"" + key + "\" is not an item code (0..65535, decimal or 0x hex)");
    return static_cast<uint16_t>(v);
}

void put4(Bytes& b, size_t at, const uint8_t (&v)[4]) {
    std::copy(v, v + 4, b.begin() + at);
}

std::map<uint16_t, Bytes> factoryItems(const Module& m) {
    std::map<uint16_t, Bytes> items;
    const bool zt = m.family == 6;
    const bool second = m.generation == 1;
    auto text = [](std::string s, size_t max) {
        if (s.size() > max) s.resize(max);
        Bytes b(s.begin(), s.end());
        b.push_back(0);
        return b;
    };
    // Fiber variants come from the device definition's plant key; the factory name follows it.
    bool fiber = false;
    if (auto info = m.doc.find("info"); info != m.doc.end() && info->is_object())
        if (auto def = info->find("deviceDef"); def != info->end() && def->is_object())
            if (auto f = def->find("fiber"); f != def->end() && f->is_number_unsigned())
                fiber = f->get<uint64_t>() == 1;
    FactoryIdentity id = factoryIdentity(m.family, m.platform, fiber);
    items[item::kNodeName] = text(m.name.empty() ? id.name() : m.name, zt ? 19 : 255);
    items[item::kDescription] = text(id.fullDescription(), 255);

    Bytes number;
    if (zt)
        putU16(number, static_cast<uint16_t>(m.index + 1));
    else
        putU32(number, static_cast<uint32_t>(m.index + 1));
    items[item::kNodeNumber] = number;

    const uint8_t net = static_cast<uint8_t>(1 + (m.index / 200) % 254);
    const uint8_t ip[4] = {192, 168, net, static_cast<uint8_t>(10 + m.index % 200)};
    const uint8_t unset[4] = {255, 255, 255, 255};
    const uint8_t mask[4] = {255, 255, 255, 0};
    const uint8_t gateway[4] = {192, 168, net, 1};
    items[item::kIpAddress] = m.ipNotSet ? Bytes(unset, unset + 4) : Bytes(ip, ip + 4);

    if (second) {
        items[item::kSubnetMask] = Bytes(mask, mask + 4);
        items[item::kGateway] = Bytes(gateway, gateway + 4);
        Bytes setup(256, 0);
        if (m.ipNotSet) {
            setup[0] = 4; // obtain the address automatically; nothing in use yet
        } else {
            put4(setup, 4, gateway);
            put4(setup, 20, ip);
            put4(setup, 36, mask);
            put4(setup, 84, ip);
            put4(setup, 100, gateway);
            put4(setup, 116, mask);
        }
        items[item::kIpSetup] = setup;
        Bytes hw(128, 0);
        const uint16_t words[7] = {1, 2, 3, 2, 1, 1, 0}; // CPU 1.2.3, PWB 2B, PLD 1A
        for (size_t k = 0; k < 7; ++k) {
            hw[2 * k] = static_cast<uint8_t>(words[k]);
            hw[2 * k + 1] = static_cast<uint8_t>(words[k] >> 8);
        }
        items[item::kHwRevisions] = hw;
    }
    if (m.family == 1) {
        Bytes rxwx(128, 0);
        auto at16 = [&rxwx](size_t off, uint16_t v) {
            rxwx[off] = static_cast<uint8_t>(v);
            rxwx[off + 1] = static_cast<uint8_t>(v >> 8);
        };
        at16(0, 128); // record length
        at16(6, 10);  // ACK time-out, ms
        at16(8, 250); // response time-out, ms
        at16(10, 1);  // retries
        at16(41, 2);  // K-sequence retries
        items[item::kRxwxSettings] = rxwx;
        if (second) {
            Bytes mail(512, 0);
            mail[0] = 25; // SMTP port
            mail[4] = 60; // time-out, s
            items[item::kEmailConfig] = mail;
        }
    }
    return items;
}

} // namespace

// ---------------------------------------------------------------------------------------------

Bytes bytesFromJson(const Json& value, const std::string& where) {
    if (value.is_string()) return hexBytes(value.get<std::string>(), where);
    if (value.is_array()) {
        Bytes out;
        for (const Json& e : value) {
            if (!e.is_number_unsigned() || e.get<uint64_t>() > 255)
                refuse(where + ": expected bytes 0..255, got " + e.dump());
            out.push_back(static_cast<uint8_t>(e.get<uint64_t>()));
        }
        return out;
    }
    refuse(where + ": expected hex bytes (\"01 02 0A\") or an array of bytes, got " + value.dump());
}

std::string bytesToHex(const Bytes& bytes) {
    std::string out;
    char two[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(two, sizeof two, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += two;
    }
    return out;
}

FactoryIdentity factoryIdentity(uint8_t family, uint8_t platform, bool fiber) {
    auto platformPrefix = [](uint8_t p) -> std::string {
        switch (p) {
        case 0:
            return "005";
        case 2:
            return "205";
        case 3:
            return "305";
        case 4:
            return "405";
        case 10:
            return "TERM";
        default:
            return "???";
        }
    };
    const std::string f = fiber ? "Fiber " : "";
    switch (family) {
    case 0:
        return {platformPrefix(platform), fiber ? "FNBX" : "NBX", f + "Ethernet Base Controller."};
    case 1:
        return {platformPrefix(platform), fiber ? "FLCM" : "LCM",
                f + "Ethernet data communications module."};
    case 4:
        return {platformPrefix(platform), fiber ? "FMTR" : "MTR", f + "Ethernet remote master."};
    case 3:
        switch (platform) {
        case 1:
            return {"SJ100", fiber ? "FDRV" : "DRV", f + "Orvane Drive Controller."};
        case 2:
            return {"J300", fiber ? "FDRV" : "DRV", f + "Orvane Drive Controller."};
        case 3:
            return {"SJ300", fiber ? "FDRV" : "DRV", f + "Orvane Drive Controller."};
        case 4:
            return {"GS", "DVX", "GS Series Drive Controller."};
        default:
            return {"---", "DVX", "Ethernet Drive Controller."};
        }
    case 2:
    case 5:
    case 6:
    case 7:
    case 8:
        return {"???", "???", "???"};
    default:
        return {"???", "ETH", "Ethernet device"};
    }
}

SetupStore::SetupStore(Module& module) {
    auto setup = module.doc.find("setup");
    if (setup == module.doc.end()) {
        items_ = factoryItems(module);
        return;
    }
    const std::string w = "module " + std::to_string(module.index) + ": setup";
    if (!setup->is_object()) refuse(w + ": expected an object, got " + setup->dump());
    static const char* const known[] = {"items",        "defaults",        "completionDelayMs",
                                        "missingData",  "writeStatus",     "deleteStatus",
                                        "ignoreWrites", "loseCompletions", "enumCountExtra"};
    for (auto it = setup->begin(); it != setup->end(); ++it)
        if (std::find_if(std::begin(known), std::end(known),
                         [&](const char* k) { return it.key() == k; }) == std::end(known))
            refuse(w + ": unknown key \"" + it.key() + "\"");

    bool defaults = false;
    if (auto it = setup->find("defaults"); it != setup->end()) {
        if (!it->is_boolean()) refuse(w + ": key \"defaults\": expected true or false");
        defaults = it->get<bool>();
    }
    auto items = setup->find("items");
    if (items == setup->end() || defaults) items_ = factoryItems(module);
    if (items != setup->end()) {
        if (!items->is_object()) refuse(w + ": key \"items\": expected an object");
        for (auto it = items->begin(); it != items->end(); ++it) {
            std::string iw = w + ": item \"" + it.key() + "\"";
            uint16_t code = codeFromKey(it.key(), iw);
            if (it->is_null()) {
                items_.erase(code);
                continue;
            }
            Bytes b = itemFromJson(*it, iw);
            if (b.size() > kMaxItemSize)
                refuse(iw + ": " + std::to_string(b.size()) + " bytes; an item holds at most " +
                       std::to_string(kMaxItemSize));
            items_[code] = std::move(b);
        }
    }
    completionDelayMs =
        static_cast<uint32_t>(unsignedKey(*setup, "completionDelayMs", 600000, 5, w));
    if (auto it = setup->find("missingData"); it != setup->end())
        missingData = bytesFromJson(*it, w + ": missingData");
    if (missingData.size() > kMaxItemSize) refuse(w + ": missingData is too long");
    writeStatus = static_cast<uint16_t>(unsignedKey(*setup, "writeStatus", 0xFFFF, 0, w));
    deleteStatus = static_cast<uint16_t>(unsignedKey(*setup, "deleteStatus", 0xFFFF, 0, w));
    ignoreWrites = static_cast<uint32_t>(unsignedKey(*setup, "ignoreWrites", 0xFFFFFFFFu, 0, w));
    loseCompletions =
        static_cast<uint32_t>(unsignedKey(*setup, "loseCompletions", 0xFFFFFFFFu, 0, w));
    enumCountExtra = static_cast<uint16_t>(unsignedKey(*setup, "enumCountExtra", 0xFFFF, 0, w));
}

void SetupStore::save(Json& moduleDoc) const {
    Json items = Json::object();
    for (const auto& [code, bytes] : items_)
        items[std::to_string(code)] = itemToJson(code, bytes);
    Json s{{"items", std::move(items)}};
    if (completionDelayMs != 5) s["completionDelayMs"] = completionDelayMs;
    if (!missingData.empty()) s["missingData"] = bytesToHex(missingData);
    if (writeStatus) s["writeStatus"] = writeStatus;
    if (deleteStatus) s["deleteStatus"] = deleteStatus;
    if (ignoreWrites) s["ignoreWrites"] = ignoreWrites;
    if (loseCompletions) s["loseCompletions"] = loseCompletions;
    if (enumCountExtra) s["enumCountExtra"] = enumCountExtra;
    moduleDoc["setup"] = std::move(s);
}

const Bytes* SetupStore::get(uint16_t code) const {
    auto it = items_.find(code);
    return it == items_.end() ? nullptr : &it->second;
}

void SetupStore::set(uint16_t code, Bytes data) {
    if (data.size() > kMaxItemSize) throw std::length_error("setup item larger than 589 bytes");
    items_[code] = std::move(data);
}

bool SetupStore::erase(uint16_t code) {
    return items_.erase(code) != 0;
}

std::vector<uint16_t> SetupStore::codes() const {
    std::vector<uint16_t> out;
    out.reserve(items_.size());
    for (const auto& entry : items_)
        out.push_back(entry.first);
    return out;
}

// ---------------------------------------------------------------------------------------------

namespace {

Bytes statusOnly(uint16_t status) {
    Bytes b;
    putU16(b, status);
    return b;
}

// Writes and deletes: the faults first, then the acknowledgement and the completion.
template <class Work> void twoResponseRequest(SetupStore& store, Reply& reply, Work work) {
    if (store.ignoreWrites > 0) {
        --store.ignoreWrites;
        return;
    }
    uint16_t status = work();
    if (store.loseCompletions > 0) {
        --store.loseCompletions;
        reply.send(statusOnly(0));
        return;
    }
    reply.twoResponses(statusOnly(0), store.completionDelayMs, statusOnly(status));
}

} // namespace

NLISIM_REGISTER_HANDLERS {
    registerHandler(kFnEnum, [](Module& m, const Request&, Reply& reply) {
        SetupStore& store = m.feature<SetupStore>();
        std::vector<uint16_t> codes = store.codes();
        if (codes.size() > kMaxEnumCodes) codes.resize(kMaxEnumCodes);
        Bytes data;
        putU16(data, static_cast<uint16_t>(codes.size() + store.enumCountExtra));
        for (uint16_t c : codes)
            putU16(data, c);
        reply.status(0, data);
    });

    registerHandler(kFnRead, [](Module& m, const Request& req, Reply& reply) {
        const Bytes& p = req.payload;
        if (p.size() < 4) return reply.status(kStatusSizeError);
        if (p[1] != 0) return reply.status(kStatusInvalidRequest);
        SetupStore& store = m.feature<SetupStore>();
        const Bytes* data = store.get(getU16(&p[2]));
        if (!data) return reply.status(kStatusNotFound, store.missingData);
        reply.status(0, *data);
    });

    registerHandler(kFnWrite, [](Module& m, const Request& req, Reply& reply) {
        const Bytes& p = req.payload;
        SetupStore& store = m.feature<SetupStore>();
        if (p.size() < 4 || p[1] != 0) {
            uint16_t status = p.size() < 4 ? kStatusSizeError : kStatusInvalidRequest;
            return reply.twoResponses(statusOnly(0), store.completionDelayMs, statusOnly(status));
        }
        store.lastWritePayload = p;
        twoResponseRequest(store, reply, [&]() -> uint16_t {
            ++store.writes;
            if (store.writeStatus != 0) return store.writeStatus;
            if (p.size() - 4 > kMaxItemSize) return kStatusSizeError;
            store.set(getU16(&p[2]), Bytes(p.begin() + 4, p.end()));
            return 0;
        });
    });

    registerHandler(kFnDelete, [](Module& m, const Request& req, Reply& reply) {
        const Bytes& p = req.payload;
        SetupStore& store = m.feature<SetupStore>();
        if (p.size() < 4 || p[1] != 0) {
            uint16_t status = p.size() < 4 ? kStatusSizeError : kStatusInvalidRequest;
            return reply.twoResponses(statusOnly(0), store.completionDelayMs, statusOnly(status));
        }
        twoResponseRequest(store, reply, [&]() -> uint16_t {
            ++store.deletes;
            if (store.deleteStatus != 0) return store.deleteStatus;
            return store.erase(getU16(&p[2])) ? 0 : kStatusNotFound;
        });
    });

    setItemLookup([](Module& m, uint16_t code, Bytes& data) {
        const Bytes* held = m.feature<SetupStore>().get(code);
        if (!held) return false;
        data = *held;
        return true;
    });
}

} // namespace nlisim
