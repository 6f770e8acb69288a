// The boot loader of a simulated module: the flash command set, written from the module's side.
//
// Requests (function code, its complement, fields little-endian; module addresses are packed
// segment:offset values on segmented modules, plain 32-bit values on linear ones):
//   0xAA 0x55                       loader information: 32 bytes, boot version at 0-3, byte 12
//                                   bit 0 = linear addressing
//   0xFB 0x04                       flash layout: the 512-byte layout record
//   0xA7 0x58 sector                erase a sector (segmented)      ack, completion status
//   0xF7 0x08 0 0 first last        erase a range (linear)          ack, completion status
//   0xA6 0x59 seg off words 0 data  program flash (segmented)       ack, completion status
//   0xF6 0x09 addr count data       program flash (linear)          ack, completion status
//   0xA2 0x5D seg off count data    write RAM (segmented)           status
//   0xF2 0x0D addr count data       write RAM (linear)              status
//   0xA0 0x5F seg off count         read memory (segmented)         the bytes, nothing else
//   0xF0 0x0F addr count            read memory (linear)            the bytes, nothing else
//   0xA8 0x57 8 x u16               copy RAM to flash (segmented)   ack status, completion
//   0xF8 0x07 src dst len mode jump copy RAM to flash (linear)      ack status, completion
//   0xA1 0x5E size                  lock RAM: status, RAM address (u32; 0 when refused)
//   0xA4 0x5B addr                  unlock RAM: status
//   0xAD 0x52                       RAM lock status: status, locked (u8)
// The commands of the other addressing mode are refused with status 113 (reads: an empty
// answer). A read that does not lie wholly in flash or wholly in RAM gets an empty answer.
// Plain broadcasts (without the module's Ethernet address) are ignored.
//
// Flash: erasing sets bytes to 0xFF (a segmented sector, or exactly the range on a linear
// module); programming only clears bits (flash AND data), so programming over unerased flash
// leaves bytes that differ from the data, which a read-back shows. Segmented modules have a
// 1 MiB space (linear = segment * 16 + offset) with flashKiB of flash at its top and RAM below;
// linear modules have their flash from the boot area through the OS area and RAM around the
// staging buffer.
//
// Copy RAM to flash: length 0 is a jump (a restart); otherwise the module erases what the
// destination covers (its sectors, or the range), programs the RAM bytes, takes the boot
// version from the version stamp found in the copied range, unlocks the RAM and, in mode 1,
// restarts.
//
// Restarts (reboot request, a jump): silent for the device's restart time, then for
// "catchWindowMs" the boot loader answers NLISetOSLoad(0) and stays when it gets it (boot
// loaders older than 3.0.0 never answer it). Otherwise, when the restart was decided: the QuickBoot
// word 0000:C192 = AA AA (segmented RAM) keeps the module in its boot loader (the word is
// cleared); else an operating system starts from the first valid OSDef: setup item DT_BOOT_OS,
// then (segmented) the records at E000:FFE0 and F000:7FE0. Valid: run address set, range in
// flash, CRC-16 of its bytes (segmented: of the first length mod 65536 bytes) equal to the
// record's. The started OS sets BootSignature (to 0x5A5A) and reports the version of the last
// version stamp in its range. Else the factory OS runs if its area was never erased or written;
// else the module stays in its boot loader (firmware version 0.0.0). While the OS runs,
// NLISetOSLoad(0) gets no answer; an erase of the OS area stops it.
//
// Plant-file keys, all under "bootloader" (every key optional):
//   "linear": bool                  default: family 2 or second generation
//   "loaderInfo": "full" | "short" | "none"   default full (none for a segmented module whose
//                                   boot loader is older than 3.0.0)
//   "flashLayout": "full" | "short" | "none"  default: full on linear modules, none otherwise
//   "layout": { "bootAreaBase": n, ... every BootLayout field }   overrides of the defaults
//                                   (linear: the PC-based controller's, OS area flashKiB - 32 KiB
//                                   for other families; segmented: from flashKiB)
//   "catchWindowMs": 100, "eraseMs": 2, "writeMs": 0, "copyMs": 20
//   "factoryOs": true               the shipped OS is intact
//   "identity": bytes               the identity area's first bytes (default: platform, family)
//   "flash": { "<address>": hex bytes, ... }   non-erased flash by linear address (replaces the
//                                   initial contents: boot loader, identity, Ethernet address)
//   "corruptAddress": n, "corruptReads": n     fault: the next n reads covering the address
//                                   return that byte inverted
// Numbers may be written as integers or "0x..." text.
#include "bootloader.h"

#include "info.h"
#include "setup_store.h"

#include "crc16.h"
#include "firmware/version_stamp.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace nlisim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kStatusSize = 109;
constexpr uint16_t kStatusRamLocked = 112;
constexpr uint16_t kStatusInvalid = 113;
constexpr uint16_t kStatusLocation = 117;
constexpr uint16_t kStatusData = 119;

constexpr uint32_t kSegmentedSpace = 0x100000;
constexpr uint32_t kQuickBootWord = 0xC192; // linear address of 0000:C192
constexpr uint16_t kBootSignature = 0x5A5A;
constexpr size_t kOsDefSize = 32;
constexpr size_t kMaxReadAnswer = 1600 - 9;

// The sectors of a segmented module, by linear address.
struct Sector {
    uint32_t first, last;
};
constexpr Sector kSectors[19] = {
    {0xE0000, 0xEFFFF}, {0xF0000, 0xF7FFF}, {0xF8000, 0xF9FFF}, {0xFA000, 0xFBFFF},
    {0xFC000, 0xFFFFF}, {0xD0000, 0xDFFFF}, {0xC0000, 0xCFFFF}, {0xB0000, 0xBFFFF},
    {0xA0000, 0xAFFFF}, {0x90000, 0x9FFFF}, {0x80000, 0x8FFFF}, {0x70000, 0x7FFFF},
    {0x60000, 0x6FFFF}, {0x50000, 0x5FFFF}, {0x40000, 0x4FFFF}, {0x30000, 0x3FFFF},
    {0x20000, 0x2FFFF}, {0x10000, 0x1FFFF}, {0x00000, 0x0FFFF},
};

[[noreturn]] void refuse(const std::string& what) {
    throw std::runtime_error(what);
}

uint32_t packed(uint16_t segment, uint16_t offset) {
    return static_cast<uint32_t>(segment) << 16 | offset;
}

uint32_t numberValue(const Json& v, const std::string& w, uint64_t max) {
    uint64_t n = 0;
    if (v.is_number_integer() && v.get<int64_t>() >= 0) {
        n = v.get<uint64_t>();
    } else if (v.is_string()) {
        const std::string t = v.get<std::string>();
        char* end = nullptr;
        n = std::strtoull(t.c_str(), &end, 0);
        if (t.empty() || *end != 0) refuse(w + ": expected a number, got " + v.dump());
    } else {
        refuse(w + ": expected a number, got " + v.dump());
    }
    if (n > max) refuse(w + ": " + std::to_string(n) + " is above " + std::to_string(max));
    return static_cast<uint32_t>(n);
}

InfoAnswer answerValue(const Json& v, const std::string& w) {
    if (v == "full") return InfoAnswer::Full;
    if (v == "short") return InfoAnswer::Short;
    if (v == "none") return InfoAnswer::None;
    refuse(w + ": expected \"full\", \"short\" or \"none\", got " + v.dump());
}

const char* answerText(InfoAnswer a) {
    switch (a) {
    case InfoAnswer::Full:
        return "full";
    case InfoAnswer::Short:
        return "short";
    case InfoAnswer::None:
        return "none";
    }
    return "full";
}

struct LayoutField {
    const char* name;
    uint32_t BootLayout::*field;
};
constexpr LayoutField kLayoutFields[] = {
    {"bootAreaBase", &BootLayout::bootAreaBase},
    {"bootAreaSize", &BootLayout::bootAreaSize},
    {"ramBuffer", &BootLayout::ramBuffer},
    {"osAreaBase", &BootLayout::osAreaBase},
    {"osAreaSize", &BootLayout::osAreaSize},
    {"identityArea", &BootLayout::identityArea},
    {"identityAreaSize", &BootLayout::identityAreaSize},
    {"restartAddress", &BootLayout::restartAddress},
    {"alignMask", &BootLayout::alignMask},
    {"addressMask", &BootLayout::addressMask},
    {"addressBits", &BootLayout::addressBits},
    {"addressArea", &BootLayout::addressArea},
};
constexpr uint32_t kLayoutOffsets[] = {0x20, 0x24,  0x30,  0x40,  0x44,  0x80,
                                       0x84, 0x140, 0x148, 0x14C, 0x154, 0x158};

std::string hexText(const uint8_t* p, size_t n) {
    std::string s;
    s.reserve(n * 2);
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        s += b;
    }
    return s;
}

std::string hexAddress(uint32_t a) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", a);
    return b;
}

} // namespace

// ---------------------------------------------------------------------------------------------

Bytes BootLayout::record() const {
    Bytes r(512, 0);
    for (size_t i = 0; i < std::size(kLayoutFields); ++i) {
        uint32_t v = this->*kLayoutFields[i].field;
        for (int k = 0; k < 4; ++k)
            r[kLayoutOffsets[i] + k] = static_cast<uint8_t>(v >> (8 * k));
    }
    return r;
}

BootLoader::BootLoader(Module& module) {
    DeviceInfo& info = module.feature<DeviceInfo>();
    Versions& versions = module.feature<Versions>();
    const std::string w = "module " + std::to_string(module.index) + ": bootloader";
    const Json* doc = nullptr;
    if (auto it = module.doc.find("bootloader"); it != module.doc.end()) {
        doc = &*it;
        configured_ = true;
        if (!doc->is_object()) refuse(w + ": expected an object");
        static const char* known[] = {
            "linear",  "loaderInfo",     "flashLayout", "layout",    "catchWindowMs",
            "eraseMs", "writeMs",        "copyMs",      "factoryOs", "identity",
            "flash",   "corruptAddress", "corruptReads"};
        for (auto it2 = doc->begin(); it2 != doc->end(); ++it2)
            if (std::none_of(std::begin(known), std::end(known),
                             [&](const char* k) { return it2.key() == k; }))
                refuse(w + ": unknown key \"" + it2.key() + "\"");
    }
    auto key = [&](const char* name) -> const Json* {
        if (!doc) return nullptr;
        auto it = doc->find(name);
        return it == doc->end() ? nullptr : &*it;
    };

    linear = module.family == 2 || module.generation == 1;
    if (const Json* v = key("linear")) {
        if (!v->is_boolean()) refuse(w + ": key \"linear\": expected true or false");
        linear = v->get<bool>();
    }
    loaderInfo = (!linear && versions.boot.major < 3) ? InfoAnswer::None : InfoAnswer::Full;
    flashLayout = linear ? InfoAnswer::Full : InfoAnswer::None;
    if (const Json* v = key("loaderInfo")) loaderInfo = answerValue(*v, w + ": loaderInfo");
    if (const Json* v = key("flashLayout")) flashLayout = answerValue(*v, w + ": flashLayout");

    if (linear) {
        layout.bootAreaBase = 0xA0000000;
        layout.bootAreaSize = 0x8000;
        layout.ramBuffer = 0xAC003000;
        layout.osAreaBase = 0xA0008000;
        layout.osAreaSize =
            module.family == 2 ? 0x400000 : std::max<uint32_t>(info.flashKiB, 64) * 1024 - 0x8000;
        layout.identityArea = 0xA0007FCC;
        layout.identityAreaSize = 32;
        layout.restartAddress = 0xA0000000;
        layout.alignMask = 3;
        layout.addressMask = 0x0FFFFFFF;
        layout.addressBits = 0xA0000000;
        layout.addressArea = 0xA0007FFA;
    } else {
        uint32_t n = std::clamp<uint32_t>(info.flashKiB, 64, 960);
        layout.bootAreaBase = 0xFC000000;
        layout.bootAreaSize = 0x4000;
        layout.ramBuffer = 0x06000000;
        layout.osAreaBase = ((0x10000u - n * 64u) & 0xFFFF) << 16;
        layout.osAreaSize = n * 1024u - 0x8000u;
        layout.identityArea = 0xFC003FCC;
        layout.identityAreaSize = 32;
        layout.restartAddress = 0xFC003FF0;
        layout.alignMask = 1;
        layout.addressMask = 0xFFFFFFFF;
        layout.addressBits = 0;
        layout.addressArea = 0xFC003FFA;
    }
    if (const Json* l = key("layout")) {
        if (!l->is_object()) refuse(w + ": key \"layout\": expected an object");
        for (auto it = l->begin(); it != l->end(); ++it) {
            auto f = std::find_if(std::begin(kLayoutFields), std::end(kLayoutFields),
                                  [&](const LayoutField& lf) { return it.key() == lf.name; });
            if (f == std::end(kLayoutFields))
                refuse(w + ": layout: unknown key \"" + it.key() + "\"");
            layout.*(f->field) = numberValue(*it, w + ": layout: " + it.key(), 0xFFFFFFFF);
        }
    }
    if (const Json* v = key("catchWindowMs")) catchWindowMs = numberValue(*v, w, 600000);
    if (const Json* v = key("eraseMs")) eraseMs = numberValue(*v, w, 600000);
    if (const Json* v = key("writeMs")) writeMs = numberValue(*v, w, 600000);
    if (const Json* v = key("copyMs")) copyMs = numberValue(*v, w, 600000);
    if (const Json* v = key("factoryOs")) {
        if (!v->is_boolean()) refuse(w + ": key \"factoryOs\": expected true or false");
        factoryOs = v->get<bool>();
    }
    if (const Json* v = key("corruptAddress")) corruptAddress = numberValue(*v, w, 0xFFFFFFFF);
    if (const Json* v = key("corruptReads")) corruptReads = numberValue(*v, w, 0xFFFFFFFF);

    // Memory.
    if (linear) {
        flashBase = layout.bootAreaBase;
        uint64_t end =
            std::max<uint64_t>(static_cast<uint64_t>(layout.bootAreaBase) + layout.bootAreaSize,
                               static_cast<uint64_t>(layout.osAreaBase) + layout.osAreaSize);
        if (end - flashBase > 64u * 1024 * 1024) refuse(w + ": flash above 64 MiB");
        flash.assign(static_cast<size_t>(end - flashBase), 0xFF);
        ramBase = layout.ramBuffer & 0xFFFF0000;
        ram.assign((layout.ramBuffer - ramBase) + std::max<uint32_t>(layout.bootAreaSize, 0x1000) +
                       0x1000,
                   0);
    } else {
        uint32_t n = std::clamp<uint32_t>(info.flashKiB, 64, 960);
        flashBase = kSegmentedSpace - n * 1024;
        flash.assign(n * 1024, 0xFF);
        ramBase = 0;
        ram.assign(flashBase, 0);
    }

    if (const Json* f = key("flash")) {
        if (!f->is_object()) refuse(w + ": key \"flash\": expected an object");
        for (auto it = f->begin(); it != f->end(); ++it) {
            uint32_t at = numberValue(Json(it.key()), w + ": flash", 0xFFFFFFFF);
            Bytes data = bytesFromJson(*it, w + ": flash: " + it.key());
            if (!inFlash(at, data.size())) refuse(w + ": flash: " + it.key() + " lies outside");
            std::copy(data.begin(), data.end(), flash.begin() + (at - flashBase));
        }
    } else {
        // A boot loader in its area, stamped with its version; the identity; the address.
        uint32_t boot = toLinear(layout.bootAreaBase);
        if (inFlash(boot, 256)) {
            for (size_t i = 0; i < 64; ++i)
                flash[boot - flashBase + i] = static_cast<uint8_t>(i);
            firmware::VersionTriple v;
            v.major = versions.boot.major;
            v.minor = versions.boot.minor;
            v.build = versions.boot.build;
            firmware::PutVersionStamp(&flash[boot - flashBase + 64], v);
        }
        Bytes identity{module.platform, module.family};
        if (const Json* v = key("identity")) identity = bytesFromJson(*v, w + ": identity");
        uint32_t id = toLinear(layout.identityArea);
        if (inFlash(id, identity.size()))
            std::copy(identity.begin(), identity.end(), flash.begin() + (id - flashBase));
        uint32_t address = toLinear(layout.addressArea);
        if (inFlash(address, 6))
            std::copy(module.mac.begin(), module.mac.end(), flash.begin() + (address - flashBase));
    }
}

void BootLoader::save(Json& moduleDoc) const {
    // A module that was only restarted keeps its plant file as it was.
    if (!configured_ && !flashChanged_ && corruptReads == 0) return;
    Json b{{"linear", linear},
           {"loaderInfo", answerText(loaderInfo)},
           {"flashLayout", answerText(flashLayout)},
           {"catchWindowMs", catchWindowMs},
           {"eraseMs", eraseMs},
           {"writeMs", writeMs},
           {"copyMs", copyMs},
           {"factoryOs", factoryOs}};
    Json l = Json::object();
    for (const LayoutField& f : kLayoutFields)
        l[f.name] = hexAddress(layout.*f.field);
    b["layout"] = l;
    if (corruptReads != 0) {
        b["corruptAddress"] = hexAddress(corruptAddress);
        b["corruptReads"] = corruptReads;
    }
    // Runs of programmed bytes; short erased gaps stay inside a run.
    Json runs = Json::object();
    constexpr size_t kGap = 16;
    size_t i = 0;
    while (i < flash.size()) {
        if (flash[i] == 0xFF) {
            ++i;
            continue;
        }
        size_t end = i + 1, gap = 0;
        for (size_t j = i + 1; j < flash.size() && gap < kGap; ++j) {
            if (flash[j] == 0xFF) {
                ++gap;
            } else {
                gap = 0;
                end = j + 1;
            }
        }
        runs[hexAddress(flashBase + static_cast<uint32_t>(i))] = hexText(&flash[i], end - i);
        i = end;
    }
    b["flash"] = runs;
    moduleDoc["bootloader"] = std::move(b);
}

uint32_t BootLoader::toLinear(uint32_t address) const {
    if (linear) return address;
    return ((address >> 16) * 16 + (address & 0xFFFF)) & (kSegmentedSpace - 1);
}

bool BootLoader::inFlash(uint32_t a, size_t n) const {
    return a >= flashBase && static_cast<uint64_t>(a) + n <= flashBase + flash.size();
}

bool BootLoader::inRam(uint32_t a, size_t n) const {
    return a >= ramBase && static_cast<uint64_t>(a) + n <= ramBase + ram.size();
}

std::optional<Bytes> BootLoader::read(uint32_t address, size_t length) const {
    uint32_t a = toLinear(address);
    if (inFlash(a, length))
        return Bytes(flash.begin() + (a - flashBase), flash.begin() + (a - flashBase + length));
    if (inRam(a, length))
        return Bytes(ram.begin() + (a - ramBase), ram.begin() + (a - ramBase + length));
    return std::nullopt;
}

void BootLoader::touchOsArea(uint32_t first, uint32_t last, Module& module) {
    uint32_t os = toLinear(layout.osAreaBase);
    if (layout.osAreaSize == 0 || first > static_cast<uint64_t>(os) + layout.osAreaSize - 1 ||
        last < os)
        return;
    factoryOs = false;
    (void)module;
}

bool BootLoader::eraseLinear(uint32_t first, uint32_t last, Module& module) {
    if (last < first || !inFlash(first, static_cast<size_t>(last - first) + 1)) return false;
    std::fill(flash.begin() + (first - flashBase), flash.begin() + (last - flashBase) + 1, 0xFF);
    flashChanged_ = true;
    touchOsArea(first, last, module);
    uint32_t os = toLinear(layout.osAreaBase);
    // Erasing the running operating system stops it: the module falls back to its boot loader.
    if (first <= static_cast<uint64_t>(os) + layout.osAreaSize - 1 && last >= os)
        module.feature<Versions>().osRunning = false;
    return true;
}

bool BootLoader::programLinear(uint32_t at, const uint8_t* data, size_t length, Module& module) {
    if (!inFlash(at, length)) return false;
    for (size_t i = 0; i < length; ++i)
        flash[at - flashBase + i] &= data[i];
    flashChanged_ = flashChanged_ || length > 0;
    if (length > 0) touchOsArea(at, static_cast<uint32_t>(at + length - 1), module);
    return true;
}

bool BootLoader::inCatchWindow() const {
    return Clock::now() < windowEnd;
}

bool BootLoader::startOs(Module& module) {
    Versions& versions = module.feature<Versions>();
    if (!linear && inRam(kQuickBootWord, 2) && ram[kQuickBootWord - ramBase] == 0xAA &&
        ram[kQuickBootWord - ramBase + 1] == 0xAA) {
        ram[kQuickBootWord - ramBase] = 0;
        ram[kQuickBootWord - ramBase + 1] = 0;
        ++quickBoots;
        return false;
    }
    // The range of a valid record, as linear start and length.
    auto valid = [&](const uint8_t* d, uint32_t& start, uint32_t& length) {
        uint32_t s = getU32(d), e = getU32(d + 4), run = getU32(d + 8);
        if (run == 0xFFFFFFFF) return false;
        start = toLinear(s);
        uint32_t last = toLinear(e);
        if (last < start) return false;
        length = last - start + 1;
        if (!inFlash(start, length)) return false;
        size_t crcLength = linear ? length : (length & 0xFFFF);
        return nli::crc16(&flash[start - flashBase], crcLength) == getU16(d + 12);
    };
    auto report = [&](uint32_t start, uint32_t length) {
        firmware::VersionTriple v;
        if (firmware::FindVersionStamp(&flash[start - flashBase], length, v))
            versions.os = {v.major, v.minor, v.build};
        ++osStarts;
    };
    uint32_t start = 0, length = 0;
    SetupStore& store = module.feature<SetupStore>();
    if (const Bytes* item = store.get(item::kBootOs); item && item->size() >= kOsDefSize) {
        Bytes def = *item;
        if (valid(def.data(), start, length)) {
            if (getU16(&def[14]) == 0xFFFF) {
                def[14] = static_cast<uint8_t>(kBootSignature);
                def[15] = static_cast<uint8_t>(kBootSignature >> 8);
                store.set(item::kBootOs, def);
            }
            report(start, length);
            return true;
        }
    }
    if (!linear) {
        for (uint32_t at : {0xEFFE0u, 0xF7FE0u}) {
            if (!inFlash(at, kOsDefSize)) continue;
            const uint8_t* def = &flash[at - flashBase];
            if (!valid(def, start, length)) continue;
            const uint8_t signature[2] = {static_cast<uint8_t>(kBootSignature),
                                          static_cast<uint8_t>(kBootSignature >> 8)};
            programLinear(at + 14, signature, 2, module);
            report(start, length);
            return true;
        }
    }
    return factoryOs;
}

void BootLoader::restart(Module& module) {
    ++restarts;
    module.feature<DeviceInfo>().restart(module);
    ramLocked = false;
    module.feature<Versions>().osRunning = startOs(module);
    windowEnd = module.offlineUntil + std::chrono::milliseconds(catchWindowMs);
}

// ---------------------------------------------------------------------------------------------
// Handlers

namespace {

// The function code's complement and the minimum payload; false (and answered) when wrong.
bool wellFormed(const Request& req, Reply& reply, size_t minimum) {
    // A boot loader acts only on requests meant for it: a plain broadcast would otherwise
    // program every module of the plant at once.
    if (req.broadcast && !req.addressed) return false;
    const Bytes& p = req.payload;
    if (p.size() >= 2 && p[1] != static_cast<uint8_t>(0xFF - p[0])) {
        reply.status(kStatusInvalid);
        return false;
    }
    if (p.size() < minimum) {
        reply.status(kStatusSize);
        return false;
    }
    return true;
}

// Commands of the other addressing mode are not implemented by this module's loader.
bool rightMode(BootLoader& b, bool linearCommand, Reply& reply, bool isRead = false) {
    if (b.linear == linearCommand) return true;
    if (isRead)
        reply.send({});
    else
        reply.status(kStatusInvalid);
    return false;
}

void completion(Reply& reply, uint32_t delayMs, uint16_t status) {
    Bytes done;
    putU16(done, status);
    reply.twoResponses(Bytes{0, 0}, delayMs, done);
}

void programFlash(Module& m, Reply& reply, uint32_t address, const Bytes& p, size_t dataAt,
                  size_t count) {
    BootLoader& b = m.feature<BootLoader>();
    if (p.size() < dataAt + count) return reply.status(kStatusSize);
    ++b.flashWrites;
    bool ok = b.programLinear(b.toLinear(address), &p[dataAt], count, m);
    completion(reply, b.writeMs, ok ? 0 : kStatusLocation);
}

void writeRam(Module& m, Reply& reply, uint32_t address, const Bytes& p, size_t dataAt,
              size_t count) {
    BootLoader& b = m.feature<BootLoader>();
    if (p.size() < dataAt + count) return reply.status(kStatusSize);
    uint32_t a = b.toLinear(address);
    if (a < b.ramBase || static_cast<uint64_t>(a) + count > b.ramBase + b.ram.size())
        return reply.status(kStatusLocation);
    std::copy(p.begin() + static_cast<long>(dataAt), p.begin() + static_cast<long>(dataAt + count),
              b.ram.begin() + (a - b.ramBase));
    ++b.ramWrites;
    reply.status(0);
}

void readMemory(Module& m, Reply& reply, uint32_t address, size_t count) {
    BootLoader& b = m.feature<BootLoader>();
    ++b.reads;
    count = std::min(count, kMaxReadAnswer);
    std::optional<Bytes> bytes = b.read(address, count);
    if (!bytes) return reply.send({});
    if (b.corruptReads > 0) {
        uint32_t first = b.toLinear(address), want = b.toLinear(b.corruptAddress);
        if (want >= first && want < first + count) {
            --b.corruptReads;
            (*bytes)[want - first] = static_cast<uint8_t>(~(*bytes)[want - first]);
        }
    }
    reply.send(*bytes);
}

void copyRamToFlash(Module& m, Reply& reply, uint32_t source, uint32_t destination, uint16_t length,
                    uint16_t mode) {
    BootLoader& b = m.feature<BootLoader>();
    if (length == 0) {
        // A jump: the restart (and the QuickBoot jump into the boot loader).
        reply.status(0);
        b.restart(m);
        return;
    }
    uint32_t src = b.toLinear(source), dst = b.toLinear(destination);
    std::optional<Bytes> staged;
    if (src >= b.ramBase && static_cast<uint64_t>(src) + length <= b.ramBase + b.ram.size())
        staged =
            Bytes(b.ram.begin() + (src - b.ramBase), b.ram.begin() + (src - b.ramBase + length));
    if (!staged || !b.inFlash(dst, length)) return reply.status(kStatusLocation);
    if (b.linear) {
        b.eraseLinear(dst, dst + length - 1, m);
        b.eraseLog.push_back(-1);
    } else {
        for (size_t i = 0; i < std::size(kSectors); ++i) {
            const Sector& s = kSectors[i];
            if (dst <= s.last && dst + length - 1 >= s.first &&
                b.eraseLinear(std::max(s.first, b.flashBase), s.last, m))
                b.eraseLog.push_back(static_cast<int>(i));
        }
    }
    b.programLinear(dst, staged->data(), staged->size(), m);
    ++b.bootCopies;
    firmware::VersionTriple v;
    if (firmware::FindVersionStamp(&b.flash[dst - b.flashBase], length, v))
        m.feature<Versions>().boot = {v.major, v.minor, v.build};
    b.ramLocked = false;
    Bytes done;
    putU16(done, 0);
    reply.twoResponses(Bytes{0, 0}, b.copyMs, done);
    if (mode == 1) b.restart(m);
}

} // namespace

NLISIM_REGISTER_HANDLERS {
    setOsCommandHook(
        [](Module& m, const Request& req, Reply& reply, OsCommand command, uint32_t selector) {
            if (req.broadcast && !req.addressed) return false; // every module: the default
            BootLoader& b = m.feature<BootLoader>();
            Versions& versions = m.feature<Versions>();
            if (command == OsCommand::Reboot) {
                reply.status(0);
                b.restart(m);
                return true;
            }
            if (selector != 0) return false;
            // Selector 0 is answered only by a boot loader (3.0.0 or newer) that is running or has
            // just been restarted; an answered request keeps the module in it.
            if (versions.boot.major >= 3 && (!versions.osRunning || b.inCatchWindow())) {
                versions.osRunning = false;
                ++b.catches;
                reply.status(0);
            }
            return true;
        });

    registerHandler(0xAA, [](Module& m, const Request& req, Reply& reply) {
        if (!wellFormed(req, reply, 2)) return;
        BootLoader& b = m.feature<BootLoader>();
        if (b.loaderInfo == InfoAnswer::None) return;
        const VersionTriple& boot = m.feature<Versions>().boot;
        Bytes info(b.loaderInfo == InfoAnswer::Full ? 32 : 12, 0);
        info[0] = boot.major;
        info[1] = boot.minor;
        info[2] = static_cast<uint8_t>(boot.build);
        info[3] = static_cast<uint8_t>(boot.build >> 8);
        if (info.size() > 12) info[12] = b.linear ? 1 : 0;
        reply.send(info);
    });

    registerHandler(0xFB, [](Module& m, const Request& req, Reply& reply) {
        if (!wellFormed(req, reply, 2)) return;
        BootLoader& b = m.feature<BootLoader>();
        if (b.flashLayout == InfoAnswer::None) return;
        Bytes record = b.layout.record();
        if (b.flashLayout == InfoAnswer::Short) record.resize(256);
        reply.send(record);
    });

    registerHandler(0xA7, [](Module& m, const Request& req, Reply& reply) {
        if (!wellFormed(req, reply, 3)) return;
        BootLoader& b = m.feature<BootLoader>();
        if (!rightMode(b, false, reply)) return;
        uint8_t sector = req.payload[2];
        if (sector >= std::size(kSectors)) return completion(reply, b.eraseMs, kStatusData);
        const Sector& s = kSectors[sector];
        uint32_t first = std::max(s.first, b.flashBase);
        bool ok = first <= s.last && b.eraseLinear(first, s.last, m);
        if (ok) b.eraseLog.push_back(sector);
        completion(reply, b.eraseMs, ok ? 0 : kStatusLocation);
    });

    registerHandler(0xF7, [](Module& m, const Request& req, Reply& reply) {
        if (!wellFormed(req, reply, 12)) return;
        BootLoader& b = m.feature<BootLoader>();
        if (!rightMode(b, true, reply)) return;
        uint32_t first = getU32(&req.payload[4]), last = getU32(&req.payload[8]);
        bool ok = b.eraseLinear(first, last, m);
        if (ok) {
            b.eraseLog.push_back(-1);
            ++b.rangeErases;
        }
        completion(reply, b.eraseMs, ok ? 0 : kStatusLocation);
    });

    registerHandler(0xA6, [](Module& m, const Request& req, Reply& reply) {
        if (!wellFormed(req, reply, 8)) return;
        BootLoader& b = m.feature<BootLoader>();
        if (!rightMode(b, false, reply)) return;
        const Bytes& p = req.payload;
        programFlash(m, reply, packed(getU16(&p[2]), getU16(&p[4])), p, 8, p[6] * 2u);
    });

    registerHandler(0xF6, [](Module& m, const Request& req, Reply& reply) {
        if (!wellFormed(req, reply, 8)) return;
        BootLoader& b = m.feature<BootLoader>();
        if (!rightMode(b, true, reply)) return;
        const Bytes& p = req.payload;
        programFlash(m, reply, getU32(&p[2]), p, 8, getU16(&p[6]));
    });

    registerHandler(0xA2, [](Module& m, const Request& req, Reply& reply) {
        if (!wellFormed(req, reply, 8)) return;
        if (!rightMode(m.feature<BootLoader>(), false, reply)) return;
        const Bytes& p = req.payload;
        writeRam(m, reply, packed(getU16(&p[2]), getU16(&p[4])), p, 8, getU16(&p[6]));
    });

    registerHandler(0xF2, [](Module& m, const Request& req, Reply& reply) {
        if (!wellFormed(req, reply, 8)) return;
        if (!rightMode(m.feature<BootLoader>(), true, reply)) return;
        const Bytes& p = req.payload;
        writeRam(m, reply, getU32(&p[2]), p, 8, getU16(&p[6]));
    });

    registerHandler(0xA0, [](Module& m, const Request& req, Reply& reply) {
        if (!wellFormed(req, reply, 8)) return;
        if (!rightMode(m.feature<BootLoader>(), false, reply, true)) return;
        const Bytes& p = req.payload;
        readMemory(m, reply, packed(getU16(&p[2]), getU16(&p[4])), getU16(&p[6]));
    });

    registerHandler(0xF0, [](Module& m, const Request& req, Reply& reply) {
        if (!wellFormed(req, reply, 8)) return;
        if (!rightMode(m.feature<BootLoader>(), true, reply, true)) return;
        const Bytes& p = req.payload;
        readMemory(m, reply, getU32(&p[2]), getU16(&p[6]));
    });

    registerHandler(0xA8, [](Module& m, const Request& req, Reply& reply) {
        if (!wellFormed(req, reply, 18)) return;
        if (!rightMode(m.feature<BootLoader>(), false, reply)) return;
        const Bytes& p = req.payload;
        copyRamToFlash(m, reply, packed(getU16(&p[2]), getU16(&p[4])),
                       packed(getU16(&p[6]), getU16(&p[8])), getU16(&p[10]), getU16(&p[12]));
    });

    registerHandler(0xF8, [](Module& m, const Request& req, Reply& reply) {
        if (!wellFormed(req, reply, 18)) return;
        if (!rightMode(m.feature<BootLoader>(), true, reply)) return;
        const Bytes& p = req.payload;
        copyRamToFlash(m, reply, getU32(&p[2]), getU32(&p[6]), getU16(&p[10]), getU16(&p[12]));
    });

    registerHandler(0xA1, [](Module& m, const Request& req, Reply& reply) {
        if (!wellFormed(req, reply, 4)) return;
        BootLoader& b = m.feature<BootLoader>();
        uint16_t size = getU16(&req.payload[2]);
        Bytes answer;
        uint32_t buffer = b.toLinear(b.layout.ramBuffer);
        if (b.ramLocked) {
            putU16(answer, kStatusRamLocked);
            putU32(answer, 0);
        } else if (buffer < b.ramBase ||
                   static_cast<uint64_t>(buffer) + size > b.ramBase + b.ram.size()) {
            putU16(answer, kStatusSize);
            putU32(answer, 0);
        } else {
            b.ramLocked = true;
            putU16(answer, 0);
            putU32(answer, b.layout.ramBuffer);
        }
        reply.send(answer);
    });

    registerHandler(0xA4, [](Module& m, const Request& req, Reply& reply) {
        if (!wellFormed(req, reply, 6)) return;
        BootLoader& b = m.feature<BootLoader>();
        if (getU32(&req.payload[2]) != b.layout.ramBuffer) return reply.status(kStatusLocation);
        b.ramLocked = false;
        reply.status(0);
    });

    registerHandler(0xAD, [](Module& m, const Request& req, Reply& reply) {
        if (!wellFormed(req, reply, 2)) return;
        reply.status(0, Bytes{static_cast<uint8_t>(m.feature<BootLoader>().ramLocked ? 1 : 0)});
    });
}

} // namespace nlisim
