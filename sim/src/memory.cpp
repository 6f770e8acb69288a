// Memory areas and shared RAM, as a module answers for them.
//
// 0x24 0x00 type u16, length u16, address u32, data   write memory: status
// 0x25 0x00 type u16, length u16, address u32         read memory: status, data
// 0x26                                                enumerate: status, count u16, descriptors
// 0x27 0x00 count u16, records                        access memory: status, count u16, one
//                                                     entry (9-byte header, data) per read record
// 0x28 flag, base u16, slot u16, address u16, length u16          read shared RAM: status, data
// 0x29 flag, base u16, slot u16, address u16, length u16, data    write shared RAM: status
//
// Shared-RAM addresses are 16 bits: the flag byte is bit 15, the address field bits 14 to 0.
// Reads that run past an area's end answer the bytes up to it with status 134; writes that would,
// status 133 and nothing written. An unknown type is 111, an address outside every area of the
// type 140, a read-only area 126, a missing base/slot 118, a length that disagrees with the data
// 109. An access request is carried out record by record and stops at the first failing one
// (writes before it stay done; the answer then has no entries).
//
// Plant-file keys, in the module's object:
//   "memory": {
//     "areas": [ { "type": 1, "name": "RAM", "address": 0, "size": 4096, "writable": true,
//                  "fill": 0, "contents": { "16": "01 02 03" } }, ... ],
//     "sharedRam": [ { "base": 0, "slot": 1, "size": 65536, "contents": { ... },
//                      "remoteMaster": { ... see mailbox.cpp ... } }, ... ],
//     "faults": { "announceExtraAreas": 0, "corruptAccessEntry": false, "shortReadBy": 0 }
//   }
// "contents" holds runs of bytes by decimal offset within the area (as saved). Without a
// "memory" key a module has a RAM area (type 1, 4096 bytes at 0) and a read-only ROM area
// (type 2, 256 bytes at 0x10000, byte i = i), and a base controller (family 0) also has the
// shared RAM of a remote master at base 0, slot 1.
#include "memory.h"

#include <cstdio>
#include <map>
#include <stdexcept>

namespace nlisim {

namespace {

std::map<std::string, SlotDeviceFactory>& slotDeviceKinds() {
    static std::map<std::string, SlotDeviceFactory> kinds;
    return kinds;
}

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

bool flag(const Json& object, const char* key, bool fallback, const std::string& what) {
    auto it = object.find(key);
    if (it == object.end()) return fallback;
    if (!it->is_boolean()) refuse(what + ": key \"" + key + "\": expected true or false");
    return it->get<bool>();
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Bytes hexBytes(const std::string& text, const std::string& what) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == ':') {
            if (high >= 0) refuse(what + ": odd number of hex digits");
            continue;
        }
        int v = hexValue(c);
        if (v < 0) refuse(what + ": not a hex digit: '" + std::string(1, c) + "'");
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) refuse(what + ": odd number of hex digits");
    return out;
}

std::string hexString(const uint8_t* p, size_t n) {
    std::string s;
    s.reserve(n * 3);
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

MemoryArea loadArea(const Json& a, const std::string& what) {
    if (!a.is_object()) refuse(what + ": expected an object");
    MemoryArea area;
    area.type = static_cast<uint16_t>(number(a, "type", 1, 0xFFFF, what));
    if (auto it = a.find("name"); it != a.end()) {
        if (!it->is_string()) refuse(what + ": key \"name\": expected a text");
        area.name = it->get<std::string>();
    }
    area.address = static_cast<uint32_t>(number(a, "address", 0, 0xFFFFFFFF, what));
    uint64_t size = number(a, "size", 256, 0x1000000, what);
    if (area.address + size > 0x100000000ull) refuse(what + ": the area runs past address 2^32");
    area.writable = flag(a, "writable", true, what);
    area.bytes.assign(size, static_cast<uint8_t>(number(a, "fill", 0, 255, what)));
    if (auto it = a.find("contents"); it != a.end())
        loadContents(*it, area.bytes, what + ": contents");
    return area;
}

Json saveArea(const MemoryArea& area) {
    Json a = {{"type", area.type},
              {"address", area.address},
              {"size", area.bytes.size()},
              {"writable", area.writable}};
    if (!area.name.empty()) a["name"] = area.name;
    Json contents = contentsJson(area.bytes);
    if (!contents.empty()) a["contents"] = contents;
    return a;
}

SharedRam loadSharedRam(const Json& s, const std::string& what) {
    if (!s.is_object()) refuse(what + ": expected an object");
    SharedRam ram;
    ram.base = static_cast<uint16_t>(number(s, "base", 0, 0xFFFF, what));
    ram.slot = static_cast<uint16_t>(number(s, "slot", 0, 0xFFFF, what));
    ram.bytes.assign(number(s, "size", mem::kSharedRamSize, mem::kSharedRamSize, what), 0);
    if (auto it = s.find("contents"); it != s.end())
        loadContents(*it, ram.bytes, what + ": contents");
    for (const auto& [key, factory] : slotDeviceKinds())
        if (auto it = s.find(key); it != s.end()) ram.device = factory(*it, ram, what + ": " + key);
    return ram;
}

// Little-endian reads from a payload whose size the caller has checked.
uint16_t u16(const Bytes& p, size_t at) { return getU16(&p[at]); }
uint32_t u32(const Bytes& p, size_t at) { return getU32(&p[at]); }

// Where a request's bytes fall in an area: 0 when they fit, or the status to answer.
enum class Fit { Inside, PastEnd, Outside };
Fit fit(const MemoryArea& area, uint32_t address, size_t length) {
    if (!area.contains(address) && !(length == 0 && address == area.end())) return Fit::Outside;
    return address + static_cast<uint64_t>(length) <= area.end() ? Fit::Inside : Fit::PastEnd;
}

MemoryState& state(Module& m, const Request& req) {
    MemoryState& s = m.feature<MemoryState>();
    s.lastRequest = req.payload;
    ++s.requests;
    return s;
}

void readMemory(Module& m, const Request& req, Reply& reply) {
    MemoryState& s = state(m, req);
    const Bytes& p = req.payload;
    if (p.size() < 10) return reply.status(mem::kSizeError);
    uint16_t type = u16(p, 2), length = u16(p, 4);
    uint32_t address = u32(p, 6);
    if (length > mem::kMaxReadData) return reply.status(mem::kSizeError);
    MemoryArea* area = s.findArea(type, address);
    if (!area) return reply.status(mem::kInvalidType);
    Fit f = fit(*area, address, length);
    if (f == Fit::Outside) return reply.status(mem::kInvalidAddress);
    size_t offset = address - area->address;
    size_t n = f == Fit::Inside ? length : area->bytes.size() - offset;
    uint16_t status = f == Fit::Inside ? 0 : mem::kLengthWarning;
    if (status == 0 && s.shortReadBy != 0) n = n > s.shortReadBy ? n - s.shortReadBy : 0;
    auto from = area->bytes.begin() + static_cast<long>(offset);
    reply.status(status, Bytes(from, from + static_cast<long>(n)));
}

void writeMemory(Module& m, const Request& req, Reply& reply) {
    MemoryState& s = state(m, req);
    const Bytes& p = req.payload;
    if (p.size() < 10) return reply.status(mem::kSizeError);
    uint16_t type = u16(p, 2), length = u16(p, 4);
    uint32_t address = u32(p, 6);
    if (p.size() - 10 != length) return reply.status(mem::kSizeError);
    MemoryArea* area = s.findArea(type, address);
    if (!area) return reply.status(mem::kInvalidType);
    Fit f = fit(*area, address, length);
    if (f == Fit::Outside) return reply.status(mem::kInvalidAddress);
    if (!area->writable) return reply.status(mem::kProtection);
    if (f == Fit::PastEnd) return reply.status(mem::kRange);
    std::copy(p.begin() + 10, p.end(), area->bytes.begin() + (address - area->address));
    reply.status(0);
}

void enumMemory(Module& m, const Request& req, Reply& reply) {
    MemoryState& s = state(m, req);
    const size_t room = (mem::kMaxAnswerPayload - 4) / mem::kDescriptorSize;
    size_t n = std::min(s.areas.size(), room);
    Bytes data;
    putU16(data, static_cast<uint16_t>(n + s.announceExtraAreas));
    for (size_t i = 0; i < n; ++i) {
        Bytes d = s.areas[i].descriptor();
        data.insert(data.end(), d.begin(), d.end());
    }
    reply.status(n < s.areas.size() ? mem::kLengthWarning : 0, data);
}

void accessMemory(Module& m, const Request& req, Reply& reply) {
    MemoryState& s = state(m, req);
    const Bytes& p = req.payload;
    if (p.size() < 4) return reply.status(mem::kSizeError);
    uint16_t count = u16(p, 2);
    size_t at = 4;
    uint16_t entries = 0;
    Bytes answer;
    for (uint16_t i = 0; i < count; ++i) {
        if (p.size() - at < 9) return reply.status(mem::kSizeError);
        uint8_t direction = p[at];
        uint16_t type = u16(p, at + 1), length = u16(p, at + 7);
        uint32_t address = u32(p, at + 3);
        Bytes header(p.begin() + static_cast<long>(at), p.begin() + static_cast<long>(at + 9));
        at += 9;
        if (direction > 1) return reply.status(mem::kSizeError);
        if (direction == 1 && p.size() - at < length) return reply.status(mem::kSizeError);
        MemoryArea* area = s.findArea(type, address);
        if (!area) return reply.status(mem::kInvalidType);
        Fit f = fit(*area, address, length);
        if (f == Fit::Outside) return reply.status(mem::kInvalidAddress);
        if (f == Fit::PastEnd) return reply.status(mem::kRange);
        auto where = area->bytes.begin() + (address - area->address);
        if (direction == 1) {
            if (!area->writable) return reply.status(mem::kProtection);
            std::copy(p.begin() + static_cast<long>(at),
                      p.begin() + static_cast<long>(at + length), where);
            at += length;
            continue;
        }
        if (s.corruptAccessEntry && entries == 0) header[3] = static_cast<uint8_t>(header[3] + 1);
        answer.insert(answer.end(), header.begin(), header.end());
        answer.insert(answer.end(), where, where + length);
        ++entries;
        if (answer.size() + 4 > mem::kMaxAnswerPayload) return reply.status(mem::kSizeError);
    }
    Bytes data;
    putU16(data, entries);
    data.insert(data.end(), answer.begin(), answer.end());
    reply.status(0, data);
}

// Shared RAM: flag, base, slot, address, length from payload offset 1.
struct SharedRamRequest {
    uint16_t base, slot, length;
    uint32_t address;
};
SharedRamRequest sharedRamRequest(const Bytes& p) {
    return {u16(p, 2), u16(p, 4), u16(p, 8),
            (p[1] != 0 ? 0x8000u : 0u) | (u16(p, 6) & 0x7FFFu)};
}

void readSharedRam(Module& m, const Request& req, Reply& reply) {
    MemoryState& s = state(m, req);
    const Bytes& p = req.payload;
    if (p.size() < 10) return reply.status(mem::kSizeError);
    SharedRamRequest r = sharedRamRequest(p);
    if (r.length > mem::kMaxReadData) return reply.status(mem::kSizeError);
    SharedRam* ram = s.findSharedRam(r.base, r.slot);
    if (!ram) return reply.status(mem::kInvalidSlot);
    if (r.address + r.length > ram->bytes.size()) return reply.status(mem::kInvalidAddress);
    if (ram->device) ram->device->beforeRead(m, req, *ram, r.address, r.length);
    auto from = ram->bytes.begin() + r.address;
    reply.status(0, Bytes(from, from + r.length));
}

void writeSharedRam(Module& m, const Request& req, Reply& reply) {
    MemoryState& s = state(m, req);
    const Bytes& p = req.payload;
    if (p.size() < 10) return reply.status(mem::kSizeError);
    SharedRamRequest r = sharedRamRequest(p);
    if (p.size() - 10 != r.length) return reply.status(mem::kSizeError);
    SharedRam* ram = s.findSharedRam(r.base, r.slot);
    if (!ram) return reply.status(mem::kInvalidSlot);
    if (r.address + r.length > ram->bytes.size()) return reply.status(mem::kInvalidAddress);
    std::copy(p.begin() + 10, p.end(), ram->bytes.begin() + r.address);
    // The device sees the write before the answer leaves, as the module's firmware would.
    if (ram->device) ram->device->afterWrite(m, req, *ram, r.address, r.length);
    reply.status(0);
}

} // namespace

Json contentsJson(const Bytes& bytes) {
    // Runs of non-zero bytes; short gaps of zeros stay inside a run.
    constexpr size_t kGap = 8;
    Json out = Json::object();
    size_t i = 0;
    while (i < bytes.size()) {
        if (bytes[i] == 0) {
            ++i;
            continue;
        }
        size_t end = i, zeros = 0;
        for (size_t j = i; j < bytes.size() && zeros < kGap; ++j) {
            if (bytes[j] == 0) {
                ++zeros;
            } else {
                zeros = 0;
                end = j + 1;
            }
        }
        out[std::to_string(i)] = hexString(&bytes[i], end - i);
        i = end;
    }
    return out;
}

void loadContents(const Json& contents, Bytes& bytes, const std::string& what) {
    if (!contents.is_object()) refuse(what + ": expected an object of offset: hex text");
    for (auto it = contents.begin(); it != contents.end(); ++it) {
        size_t offset = 0;
        try {
            size_t used = 0;
            offset = std::stoul(it.key(), &used, 0);
            if (used != it.key().size()) throw std::invalid_argument("trailing text");
        } catch (const std::exception&) {
            refuse(what + ": key \"" + it.key() + "\": expected an offset");
        }
        if (!it->is_string()) refuse(what + ": \"" + it.key() + "\": expected hex text");
        Bytes run = hexBytes(it->get<std::string>(), what + ": \"" + it.key() + "\"");
        if (offset > bytes.size() || run.size() > bytes.size() - offset)
            refuse(what + ": \"" + it.key() + "\": runs past the end");
        std::copy(run.begin(), run.end(), bytes.begin() + static_cast<long>(offset));
    }
}

Bytes MemoryArea::descriptor() const {
    Bytes d;
    putU16(d, type);
    putU16(d, writable ? 1 : 0);
    putU32(d, address);
    putU32(d, static_cast<uint32_t>(bytes.size()));
    for (size_t i = 0; i < 10; ++i) d.push_back(i < name.size() ? static_cast<uint8_t>(name[i]) : 0);
    return d;
}

void registerSlotDevice(const std::string& key, SlotDeviceFactory factory) {
    slotDeviceKinds()[key] = std::move(factory);
}

MemoryState::MemoryState(Module& module) {
    auto doc = module.doc.find("memory");
    if (doc == module.doc.end()) {
        MemoryArea ram;
        ram.type = 1;
        ram.name = "RAM";
        ram.bytes.assign(4096, 0);
        areas.push_back(ram);
        MemoryArea rom;
        rom.type = 2;
        rom.name = "ROM";
        rom.address = 0x10000;
        rom.writable = false;
        for (size_t i = 0; i < 256; ++i) rom.bytes.push_back(static_cast<uint8_t>(i));
        areas.push_back(rom);
        if (module.family == 0) sharedRam.push_back(loadSharedRam(
                                    Json{{"base", 0}, {"slot", 1}, {"remoteMaster", Json::object()}},
                                    "memory: default shared RAM"));
        return;
    }
    const std::string what = "memory";
    if (!doc->is_object()) refuse(what + ": expected an object");
    if (auto it = doc->find("areas"); it != doc->end()) {
        if (!it->is_array()) refuse(what + ": key \"areas\": expected an array");
        for (size_t i = 0; i < it->size(); ++i)
            areas.push_back(loadArea((*it)[i], what + ": area " + std::to_string(i)));
    }
    if (auto it = doc->find("sharedRam"); it != doc->end()) {
        if (!it->is_array()) refuse(what + ": key \"sharedRam\": expected an array");
        for (size_t i = 0; i < it->size(); ++i) {
            std::string w = what + ": sharedRam " + std::to_string(i);
            SharedRam ram = loadSharedRam((*it)[i], w);
            if (findSharedRam(ram.base, ram.slot)) refuse(w + ": that base and slot again");
            sharedRam.push_back(std::move(ram));
        }
    }
    if (auto it = doc->find("faults"); it != doc->end()) {
        const std::string w = what + ": faults";
        if (!it->is_object()) refuse(w + ": expected an object");
        announceExtraAreas =
            static_cast<uint16_t>(number(*it, "announceExtraAreas", 0, 0xFFFF, w));
        corruptAccessEntry = flag(*it, "corruptAccessEntry", false, w);
        shortReadBy = static_cast<uint16_t>(number(*it, "shortReadBy", 0, 0xFFFF, w));
    }
}

void MemoryState::save(Json& moduleDoc) const {
    Json doc = Json::object();
    Json a = Json::array();
    for (const MemoryArea& area : areas) a.push_back(saveArea(area));
    doc["areas"] = a;
    Json s = Json::array();
    for (const SharedRam& ram : sharedRam) {
        Json r = {{"base", ram.base}, {"slot", ram.slot}, {"size", ram.bytes.size()}};
        Json contents = contentsJson(ram.bytes);
        if (!contents.empty()) r["contents"] = contents;
        if (ram.device) ram.device->save(r);
        s.push_back(r);
    }
    doc["sharedRam"] = s;
    Json f = Json::object();
    if (announceExtraAreas) f["announceExtraAreas"] = announceExtraAreas;
    if (corruptAccessEntry) f["corruptAccessEntry"] = true;
    if (shortReadBy) f["shortReadBy"] = shortReadBy;
    if (!f.empty()) doc["faults"] = f;
    moduleDoc["memory"] = doc;
}

MemoryArea* MemoryState::findArea(uint16_t type, uint32_t address) {
    MemoryArea* first = nullptr;
    for (MemoryArea& a : areas) {
        if (a.type != type) continue;
        if (a.contains(address)) return &a;
        if (!first) first = &a;
    }
    return first;
}

SharedRam* MemoryState::findSharedRam(uint16_t base, uint16_t slot) {
    for (SharedRam& r : sharedRam)
        if (r.base == base && r.slot == slot) return &r;
    return nullptr;
}

NLISIM_REGISTER_HANDLERS {
    registerHandler(0x24, writeMemory);
    registerHandler(0x25, readMemory);
    registerHandler(0x26, enumMemory);
    registerHandler(0x27, accessMemory);
    registerHandler(0x28, readSharedRam);
    registerHandler(0x29, writeSharedRam);
}

} // namespace nlisim
