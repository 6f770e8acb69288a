// What a module tells about itself, and the keep-alive, reboot and OS-selection requests.
//
// 0x01                 version information: the 50-byte record (boot loader at 1-4, firmware
//                      at 5-8, each u8 major, u8 minor, u16 build)
// 0x02                 support information (opaque bytes)
// 0x04                 device definition: 42 bytes, platform at 0 (drive type for drives),
//                      family at 2, Ethernet address at 4-9, flash KiB (u16) at 12, DIP switches
//                      at 14, fiber at 15, terminal switches at 23, generation at 25, "IP setup
//                      at initialisation" at 28
// 0x0E 0x00 clear      Ethernet statistics: u16 26, six u32 counters; clear 1 answers the
//                      counts and then clears them
// 0x14 0x00            keep-alive: status 0
// 0x17 ext selector    module status: status 0 and a block of counters (longer when ext is 1);
//                      a selector above "maxSelector" gets status 119
// 0x61 data            write configuration data: status 0 and the new length (u16); data
//                      longer than "maxLength" gets status 109
// 0x62 [0xB1]          read configuration data: status 0 and the data (extended form: u16
//                      length first)
// 0xF9 0x06 selector   select the OS to load: status 0 (unless the boot loader's hook takes it)
// 0xFA 0x05            reboot: status 0, then silent for "restartMs" (unless the hook takes it)
// A wrong complement byte gets status 113, a request cut short status 109.
//
// Plant-file keys (all optional):
//   "versions": { "boot": "3.0.4", "os": "4.1.7", "osRunning": true, "length": 50,
//                 "extra": bytes }            defaults by family and generation
//   "info": {
//     "deviceDef": { "length": 42, "flashKiB": 512, "dipSwitches": 0, "fiber": 0,
//                    "terminalSwitches": 0, "initWritesIpSetup": <generation>,
//                    "patch": { "<offset>": byte, ... } },
//     "supportInfo": bytes,
//     "moduleStatus": { "maxSelector": 3, "data": bytes },
//     "config": { "data": bytes, "maxLength": 1024, "status": 0 },
//     "ethernetStats": { "missedFrames": 0, "txCollisions": 0, "lostPackets": 0,
//                        "badPackets": 0, "unknown": 0, "txErrors": 0 },
//     "restartMs": 50 }
// bytes: "01 02 0A", "01020a" or [1, 2, 10].
#include "info.h"

#include "setup_store.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace nlisim {

namespace {

constexpr uint16_t kStatusInvalidData = 119;
constexpr size_t kMaxConfigAnswer = 1200 - 9 - 2 - 2;

[[noreturn]] void refuse(const std::string& what) {
    throw std::runtime_error(what);
}

std::string where(const Module& m, const char* key) {
    return "module " + std::to_string(m.index) + ": " + key;
}

uint64_t unsignedKey(const Json& object, const char* key, uint64_t max, uint64_t fallback,
                     const std::string& w) {
    auto it = object.find(key);
    if (it == object.end()) return fallback;
    if (!it->is_number_unsigned() || it->get<uint64_t>() > max)
        refuse(w + ": key \"" + key + "\": expected an integer 0.." + std::to_string(max) +
               ", got " + it->dump());
    return it->get<uint64_t>();
}

void checkKeys(const Json& object, std::initializer_list<const char*> known, const std::string& w) {
    if (!object.is_object()) refuse(w + ": expected an object, got " + object.dump());
    for (auto it = object.begin(); it != object.end(); ++it)
        if (std::none_of(known.begin(), known.end(), [&](const char* k) { return it.key() == k; }))
            refuse(w + ": unknown key \"" + it.key() + "\"");
}

const Json* sub(const Json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

OsCommandHook& hookSlot() {
    static OsCommandHook hook;
    return hook;
}

} // namespace

void setOsCommandHook(OsCommandHook hook) {
    hookSlot() = std::move(hook);
}
const OsCommandHook& osCommandHook() {
    return hookSlot();
}

// ---------------------------------------------------------------------------------------------
// Versions

std::string VersionTriple::text() const {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build);
}

bool VersionTriple::parse(const std::string& text, VersionTriple& out) {
    unsigned a, b, c;
    char tail;
    if (std::sscanf(text.c_str(), "%u.%u.%u%c", &a, &b, &c, &tail) != 3) return false;
    if (a > 255 || b > 255 || c > 0xFFFF) return false;
    out = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint16_t>(c)};
    return true;
}

Versions::Versions(Module& module) {
    // Defaults: second-generation modules run newer firmware; the PC-based controller's boot
    // loader predates the 3.x boot command set.
    if (module.generation == 1) {
        boot = {3, 2, 1};
        os = {5, 0, 12};
    } else if (module.family == 2) {
        boot = {2, 5, 0};
        os = {2, 8, 3};
    } else {
        boot = {3, 0, 4};
        os = {4, 1, 7};
    }
    const Json* v = sub(module.doc, "versions");
    if (!v) return;
    const std::string w = where(module, "versions");
    checkKeys(*v, {"boot", "os", "osRunning", "length", "extra"}, w);
    for (auto [key, target] : {std::pair<const char*, VersionTriple*>{"boot", &boot},
                               std::pair<const char*, VersionTriple*>{"os", &os}}) {
        if (const Json* t = sub(*v, key))
            if (!t->is_string() || !VersionTriple::parse(t->get<std::string>(), *target))
                refuse(w + ": key \"" + key + "\": expected \"major.minor.build\", got " +
                       t->dump());
    }
    if (const Json* r = sub(*v, "osRunning")) {
        if (!r->is_boolean()) refuse(w + ": key \"osRunning\": expected true or false");
        osRunning = r->get<bool>();
    }
    length = static_cast<uint16_t>(unsignedKey(*v, "length", 191, 50, w));
    if (length < 9) refuse(w + ": key \"length\": the record holds at least 9 bytes");
    if (const Json* e = sub(*v, "extra")) extra = bytesFromJson(*e, w + ": extra");
}

void Versions::save(Json& moduleDoc) const {
    Json v{{"boot", boot.text()}, {"os", os.text()}, {"osRunning", osRunning}};
    if (length != 50) v["length"] = length;
    if (!extra.empty()) v["extra"] = bytesToHex(extra);
    moduleDoc["versions"] = std::move(v);
}

Bytes Versions::record() const {
    Bytes r(length, 0);
    VersionTriple firmware = osRunning ? os : VersionTriple{};
    r[1] = boot.major;
    r[2] = boot.minor;
    r[3] = static_cast<uint8_t>(boot.build);
    r[4] = static_cast<uint8_t>(boot.build >> 8);
    r[5] = firmware.major;
    r[6] = firmware.minor;
    r[7] = static_cast<uint8_t>(firmware.build);
    r[8] = static_cast<uint8_t>(firmware.build >> 8);
    for (size_t i = 0; i < extra.size() && 9 + i < r.size(); ++i)
        r[9 + i] = extra[i];
    return r;
}

// ---------------------------------------------------------------------------------------------
// Device information

DeviceInfo::DeviceInfo(Module& module) : module_(module) {
    flashKiB = module.generation == 1 ? 2048 : 512;
    initWritesIpSetup = module.generation == 1 ? 1 : 0;
    supportInfo = Bytes(32, 0);
    supportInfo[0] = 32;
    supportInfo[2] = module.family;
    supportInfo[3] = module.platform;
    std::copy(module.mac.begin(), module.mac.end(), supportInfo.begin() + 4);
    const char text[] = "SIMULATED MODULE";
    std::copy(text, text + sizeof text - 1, supportInfo.begin() + 12);

    droppedAtClear_ = module.requestsDropped;
    answersAtClear_ = module.answersSent;
    badCrcAtClear_ = module.badCrcIgnored;

    const Json* info = sub(module.doc, "info");
    if (!info) return;
    const std::string w = where(module, "info");
    checkKeys(*info,
              {"deviceDef", "supportInfo", "moduleStatus", "config", "ethernetStats", "restartMs"},
              w);
    if (const Json* d = sub(*info, "deviceDef")) {
        const std::string dw = w + ": deviceDef";
        checkKeys(*d,
                  {"length", "flashKiB", "dipSwitches", "fiber", "terminalSwitches",
                   "initWritesIpSetup", "patch"},
                  dw);
        deviceDefLength = static_cast<uint16_t>(unsignedKey(*d, "length", 191, 42, dw));
        if (deviceDefLength < 29) refuse(dw + ": key \"length\": at least 29 bytes");
        flashKiB = static_cast<uint16_t>(unsignedKey(*d, "flashKiB", 0xFFFF, flashKiB, dw));
        dipSwitches = static_cast<uint8_t>(unsignedKey(*d, "dipSwitches", 255, 0, dw));
        fiber = static_cast<uint8_t>(unsignedKey(*d, "fiber", 255, 0, dw));
        terminalSwitches = static_cast<uint8_t>(unsignedKey(*d, "terminalSwitches", 15, 0, dw));
        initWritesIpSetup =
            static_cast<uint8_t>(unsignedKey(*d, "initWritesIpSetup", 255, initWritesIpSetup, dw));
        if (const Json* p = sub(*d, "patch")) {
            if (!p->is_object()) refuse(dw + ": key \"patch\": expected an object");
            for (auto it = p->begin(); it != p->end(); ++it) {
                unsigned long offset = 0;
                size_t used = 0;
                try {
                    offset = std::stoul(it.key(), &used, 0);
                } catch (const std::exception&) {
                    used = 0;
                }
                if (used == 0 || used != it.key().size() || offset >= 191)
                    refuse(dw + ": patch: \"" + it.key() + "\" is not an offset 0..190");
                if (!it->is_number_unsigned() || it->get<uint64_t>() > 255)
                    refuse(dw + ": patch: expected a byte 0..255 at \"" + it.key() + "\"");
                deviceDefPatch[static_cast<uint16_t>(offset)] =
                    static_cast<uint8_t>(it->get<uint64_t>());
            }
        }
    }
    if (const Json* s = sub(*info, "supportInfo")) {
        supportInfo = bytesFromJson(*s, w + ": supportInfo");
        if (supportInfo.size() > 191) refuse(w + ": supportInfo: at most 191 bytes");
    }
    if (const Json* s = sub(*info, "moduleStatus")) {
        const std::string sw = w + ": moduleStatus";
        checkKeys(*s, {"maxSelector", "data"}, sw);
        maxStatusSelector = static_cast<uint8_t>(unsignedKey(*s, "maxSelector", 255, 3, sw));
        if (const Json* d = sub(*s, "data")) moduleStatusData = bytesFromJson(*d, sw + ": data");
        if (moduleStatusData.size() > 589) refuse(sw + ": data: at most 589 bytes");
    }
    if (const Json* c = sub(*info, "config")) {
        const std::string cw = w + ": config";
        checkKeys(*c, {"data", "maxLength", "status"}, cw);
        configMaxLength =
            static_cast<uint16_t>(unsignedKey(*c, "maxLength", kMaxConfigAnswer, 1024, cw));
        configStatus = static_cast<uint16_t>(unsignedKey(*c, "status", 0xFFFF, 0, cw));
        if (const Json* d = sub(*c, "data")) configData = bytesFromJson(*d, cw + ": data");
        if (configData.size() > configMaxLength) refuse(cw + ": data longer than maxLength");
    }
    if (const Json* e = sub(*info, "ethernetStats")) {
        const std::string ew = w + ": ethernetStats";
        checkKeys(
            *e,
            {"missedFrames", "txCollisions", "lostPackets", "badPackets", "unknown", "txErrors"},
            ew);
        auto u32 = [&](const char* key) {
            return static_cast<uint32_t>(unsignedKey(*e, key, 0xFFFFFFFFu, 0, ew));
        };
        base_ = {u32("missedFrames"), u32("txCollisions"), u32("lostPackets"),
                 u32("badPackets"),   u32("unknown"),      u32("txErrors")};
    }
    restartMs = static_cast<uint32_t>(unsignedKey(*info, "restartMs", 600000, 50, w));
}

void DeviceInfo::save(Json& moduleDoc) const {
    Json def{{"length", deviceDefLength},
             {"flashKiB", flashKiB},
             {"dipSwitches", dipSwitches},
             {"fiber", fiber},
             {"terminalSwitches", terminalSwitches},
             {"initWritesIpSetup", initWritesIpSetup}};
    if (!deviceDefPatch.empty()) {
        Json patch = Json::object();
        for (auto [offset, value] : deviceDefPatch)
            patch[std::to_string(offset)] = value;
        def["patch"] = std::move(patch);
    }
    Json status{{"maxSelector", maxStatusSelector}};
    if (!moduleStatusData.empty()) status["data"] = bytesToHex(moduleStatusData);
    Json config{{"data", bytesToHex(configData)}, {"maxLength", configMaxLength}};
    if (configStatus != 0) config["status"] = configStatus;
    // The counters as they stand, so that they survive a restart of the simulator.
    EthernetCounters c = ethernetCounters(module_);
    Json stats{{"missedFrames", c.missedFrames}, {"txCollisions", c.txCollisions},
               {"lostPackets", c.lostPackets},   {"badPackets", c.badPackets},
               {"unknown", c.unknown},           {"txErrors", c.txErrors}};
    moduleDoc["info"] =
        Json{{"deviceDef", std::move(def)},       {"supportInfo", bytesToHex(supportInfo)},
             {"moduleStatus", std::move(status)}, {"config", std::move(config)},
             {"ethernetStats", std::move(stats)}, {"restartMs", restartMs}};
}

Bytes DeviceInfo::deviceDefinition(const Module& m) const {
    Bytes d(deviceDefLength, 0);
    d[0] = m.platform;
    d[2] = m.family;
    std::copy(m.mac.begin(), m.mac.end(), d.begin() + 4);
    d[12] = static_cast<uint8_t>(flashKiB);
    d[13] = static_cast<uint8_t>(flashKiB >> 8);
    d[14] = dipSwitches;
    d[15] = fiber;
    d[23] = terminalSwitches;
    d[25] = m.generation;
    d[28] = initWritesIpSetup;
    for (auto [offset, value] : deviceDefPatch)
        if (offset < d.size()) d[offset] = value;
    return d;
}

Bytes DeviceInfo::moduleStatus(const Module& m, uint8_t selector, bool extended) const {
    if (!moduleStatusData.empty()) return moduleStatusData;
    auto uptime =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
            .count();
    Bytes b{selector, static_cast<uint8_t>(extended ? 1 : 0)};
    putU32(b, static_cast<uint32_t>(uptime));
    putU32(b, m.requestsReceived);
    putU32(b, m.answersSent);
    putU16(b, static_cast<uint16_t>(pets));
    if (extended) {
        putU32(b, reboots);
        putU32(b, osSelections);
        putU32(b, lastOsSelector);
        putU32(b, m.requestsDropped);
    }
    return b;
}

EthernetCounters DeviceInfo::ethernetCounters(const Module& m) const {
    EthernetCounters c = base_;
    uint32_t dropped = m.requestsDropped - droppedAtClear_;
    c.missedFrames += dropped;
    c.lostPackets += dropped;
    c.txCollisions += (m.answersSent - answersAtClear_) / 16;
    c.badPackets += m.badCrcIgnored - badCrcAtClear_;
    return c;
}

void DeviceInfo::clearEthernetStats(const Module& m) {
    base_ = {};
    droppedAtClear_ = m.requestsDropped;
    answersAtClear_ = m.answersSent;
    badCrcAtClear_ = m.badCrcIgnored;
    ++statsClears;
}

void DeviceInfo::restart(Module& m) {
    ++reboots;
    clearEthernetStats(m);
    started = std::chrono::steady_clock::now();
    m.offlineUntil = started + std::chrono::milliseconds(restartMs);
}

// ---------------------------------------------------------------------------------------------
// Handlers

NLISIM_REGISTER_HANDLERS {
    registerHandler(0x01, [](Module& m, const Request&, Reply& reply) {
        reply.send(m.feature<Versions>().record());
    });

    registerHandler(0x02, [](Module& m, const Request&, Reply& reply) {
        reply.send(m.feature<DeviceInfo>().supportInfo);
    });

    registerHandler(0x04, [](Module& m, const Request&, Reply& reply) {
        reply.send(m.feature<DeviceInfo>().deviceDefinition(m));
    });

    registerHandler(0x0E, [](Module& m, const Request& req, Reply& reply) {
        const Bytes& p = req.payload;
        if (p.size() < 3) return reply.status(kStatusSizeError);
        if (p[1] != 0) return reply.status(kStatusInvalidRequest);
        DeviceInfo& info = m.feature<DeviceInfo>();
        EthernetCounters c = info.ethernetCounters(m);
        Bytes r;
        putU16(r, 26);
        for (uint32_t v :
             {c.missedFrames, c.txCollisions, c.lostPackets, c.badPackets, c.unknown, c.txErrors})
            putU32(r, v);
        reply.send(r);
        if (p[2] != 0) info.clearEthernetStats(m);
    });

    registerHandler(0x14, [](Module& m, const Request& req, Reply& reply) {
        if (req.payload.size() >= 2 && req.payload[1] != 0)
            return reply.status(kStatusInvalidRequest);
        ++m.feature<DeviceInfo>().pets;
        reply.status(0);
    });

    registerHandler(0x17, [](Module& m, const Request& req, Reply& reply) {
        const Bytes& p = req.payload;
        if (p.size() < 3) return reply.status(kStatusSizeError);
        DeviceInfo& info = m.feature<DeviceInfo>();
        if (p[2] > info.maxStatusSelector) return reply.status(kStatusInvalidData);
        reply.status(0, info.moduleStatus(m, p[2], p[1] == 1));
    });

    registerHandler(0x61, [](Module& m, const Request& req, Reply& reply) {
        DeviceInfo& info = m.feature<DeviceInfo>();
        if (info.configStatus != 0) return reply.status(info.configStatus);
        size_t length = req.payload.size() - 1;
        if (length > info.configMaxLength) return reply.status(kStatusSizeError);
        info.configData.assign(req.payload.begin() + 1, req.payload.end());
        Bytes r;
        putU16(r, static_cast<uint16_t>(length));
        reply.status(0, r);
    });

    registerHandler(0x62, [](Module& m, const Request& req, Reply& reply) {
        DeviceInfo& info = m.feature<DeviceInfo>();
        if (info.configStatus != 0) return reply.status(info.configStatus);
        bool extended = req.payload.size() >= 2 && req.payload[1] == 0xB1;
        Bytes r;
        if (extended) putU16(r, static_cast<uint16_t>(info.configData.size()));
        r.insert(r.end(), info.configData.begin(), info.configData.end());
        reply.status(0, r);
    });

    registerHandler(0xF9, [](Module& m, const Request& req, Reply& reply) {
        const Bytes& p = req.payload;
        if (p.size() >= 2 && p[1] != 0x06) return reply.status(kStatusInvalidRequest);
        if (p.size() < 6) return reply.status(kStatusSizeError);
        uint32_t selector = getU32(&p[2]);
        if (const OsCommandHook& hook = osCommandHook();
            hook && hook(m, req, reply, OsCommand::SelectOs, selector))
            return;
        DeviceInfo& info = m.feature<DeviceInfo>();
        ++info.osSelections;
        info.lastOsSelector = selector;
        reply.status(0);
    });

    registerHandler(0xFA, [](Module& m, const Request& req, Reply& reply) {
        const Bytes& p = req.payload;
        if (p.size() < 2) return reply.status(kStatusSizeError);
        if (p[1] != 0x05) return reply.status(kStatusInvalidRequest);
        if (const OsCommandHook& hook = osCommandHook();
            hook && hook(m, req, reply, OsCommand::Reboot, 0))
            return;
        reply.status(0);
        m.feature<DeviceInfo>().restart(m);
    });
}

} // namespace nlisim
