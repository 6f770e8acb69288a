// labels: unit
// The simulator's setup-item store and device information from the module's side: plant-file
// forms and refusals, saving and loading back, factory items per family, and the handlers'
// answers to well-formed and malformed requests (through the handler registry, no sockets).
#include "../../sim/src/info.h"
#include "../../sim/src/setup_store.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace nlisim;

namespace {

Plant plantOf(const std::string& modulesJson) {
    return Plant::fromJson(Json::parse(R"({"modules": [)" + modulesJson + "]}"));
}

// Records what a handler answers.
struct RecordingReply : Reply {
    struct Sent {
        uint32_t delayMs;
        Bytes payload;
    };
    std::vector<Sent> sent;
    void send(const Bytes& payload) override { sent.push_back({0, payload}); }
    void sendAfter(uint32_t delayMs, const Bytes& payload) override {
        sent.push_back({delayMs, payload});
    }
};

std::vector<RecordingReply::Sent> call(Module& m, Bytes payload) {
    const Handler* h = findHandler(payload.at(0));
    EXPECT_NE(h, nullptr);
    Request req;
    req.payload = std::move(payload);
    RecordingReply reply;
    if (h) (*h)(m, req, reply);
    return reply.sent;
}

Bytes status(uint16_t s, Bytes data = {}) {
    Bytes b{static_cast<uint8_t>(s), static_cast<uint8_t>(s >> 8)};
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// ---------------------------------------------------------------------------------------------
// Plant-file forms

TEST(SetupStorePlant, ItemValueForms) {
    Plant p = plantOf(R"({ "mac": "00:E0:62:00:00:01", "setup": { "items": {
        "22": { "text": "Line 1" },
        "38": { "text": "Desc", "size": 8 },
        "32": { "u32": 305419896 },
        "0x8035": { "u16": 513 },
        "16": { "ip": "10.1.2.3" },
        "21": "01 02 0a",
        "39": "0102FF",
        "55": [1, 2, 255],
        "71": { "hex": "AA-BB" } } } })");
    SetupStore& s = p.modules[0].feature<SetupStore>();
    EXPECT_EQ(*s.get(22), (Bytes{'L', 'i', 'n', 'e', ' ', '1', 0}));
    EXPECT_EQ(*s.get(38), (Bytes{'D', 'e', 's', 'c', 0, 0, 0, 0}));
    EXPECT_EQ(*s.get(32), (Bytes{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(*s.get(0x8035), (Bytes{1, 2}));
    EXPECT_EQ(*s.get(16), (Bytes{10, 1, 2, 3}));
    EXPECT_EQ(*s.get(21), (Bytes{1, 2, 10}));
    EXPECT_EQ(*s.get(39), (Bytes{1, 2, 255}));
    EXPECT_EQ(*s.get(55), (Bytes{1, 2, 255}));
    EXPECT_EQ(*s.get(71), (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(s.size(), 9u) << "exactly the items listed, no factory items";
    EXPECT_EQ(s.codes(), (std::vector<uint16_t>{16, 21, 22, 32, 38, 39, 55, 71, 0x8035}));
}

TEST(SetupStorePlant, RefusesWhatItCannotHoldWithTheReason) {
    struct Case {
        const char* setup;
        const char* reason;
    } cases[] = {
        {R"({ "colour": 1 })", "unknown key \"colour\""},
        {R"({ "items": { "22": "0G" } })", "not hex bytes"},
        {R"({ "items": { "22": "012" } })", "odd number of hex digits"},
        {R"({ "items": { "22": { "text": "toolong", "size": 4 } } })", "do not fit"},
        {R"({ "items": { "abc": "00" } })", "not an item code"},
        {R"({ "items": { "70000": "00" } })", "not an item code"},
        {R"({ "items": { "22": [300] } })", "expected bytes 0..255"},
        {R"({ "items": { "16": { "ip": "1.2.3" } } })", "expected \"a.b.c.d\""},
        {R"({ "items": { "16": { "colour": 1 } } })", "expected bytes or an object"},
        {R"({ "completionDelayMs": -1 })", "completionDelayMs"},
        {R"({ "defaults": 1 })", "defaults"},
    };
    for (const Case& c : cases) {
        Plant p =
            plantOf(std::string(R"({ "mac": "00:E0:62:00:00:01", "setup": )") + c.setup + "}");
        try {
            p.modules[0].feature<SetupStore>();
            ADD_FAILURE() << c.setup << " was accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos)
                << c.setup << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find("module 0"), std::string::npos) << e.what();
        }
    }
    Plant big = plantOf(R"({ "mac": "00:E0:62:00:00:01", "setup": { "items": { "22": )" +
                        Json(std::vector<int>(590, 1)).dump() + "}}}");
    EXPECT_THROW(big.modules[0].feature<SetupStore>(), std::runtime_error);
}

TEST(SetupStorePlant, SavedPlantLoadsBackTheSameItemsAndSettings) {
    Plant p = plantOf(R"({ "mac": "00:E0:62:00:00:01", "family": 1, "generation": 1,
                           "setup": { "completionDelayMs": 9, "missingData": "01",
                                      "writeStatus": 115 } })");
    {
        SetupStore& s = p.modules[0].feature<SetupStore>();
        s.set(22, {'A', 0, 0, 0});      // padded text
        s.set(0x1234, {0, 1, 2, 0xFF}); // binary
        s.set(48, {255, 255, 0, 0});    // an address
        s.set(32, {7, 0});              // a 2-byte number
        s.erase(38);
    }
    Json saved = p.toJson();
    Plant back = Plant::fromJson(saved);
    SetupStore& a = p.modules[0].feature<SetupStore>();
    SetupStore& b = back.modules[0].feature<SetupStore>();
    ASSERT_EQ(a.codes(), b.codes());
    for (uint16_t code : a.codes())
        EXPECT_EQ(*a.get(code), *b.get(code)) << code;
    EXPECT_FALSE(b.has(38));
    EXPECT_EQ(b.completionDelayMs, 9u);
    EXPECT_EQ(b.missingData, Bytes{1});
    EXPECT_EQ(b.writeStatus, 115);
    EXPECT_EQ(saved["modules"][0]["setup"]["items"]["48"]["ip"], "255.255.0.0");
    EXPECT_EQ(saved["modules"][0]["setup"]["items"]["22"]["text"], "A");
}

TEST(SetupStorePlant, DefaultsFlagMergesItemsOverTheFactoryItems) {
    Plant p = plantOf(R"({ "mac": "00:E0:62:00:00:01", "family": 1, "name": "X",
                           "setup": { "defaults": true,
                                      "items": { "22": { "text": "Mine" }, "38": null,
                                                 "500": "01" } } })");
    SetupStore& s = p.modules[0].feature<SetupStore>();
    EXPECT_EQ(*s.get(22), (Bytes{'M', 'i', 'n', 'e', 0}));
    EXPECT_FALSE(s.has(38));
    EXPECT_TRUE(s.has(500));
    EXPECT_TRUE(s.has(32));
    EXPECT_TRUE(s.has(21));
}

// ---------------------------------------------------------------------------------------------
// Factory items

TEST(SetupStoreFactory, ItemsFollowFamilyAndGeneration) {
    Plant p = plantOf(R"(
        { "mac": "00:E0:62:00:00:01", "family": 1, "platform": 2, "generation": 1 },
        { "mac": "00:E0:62:00:00:02", "family": 0, "platform": 4 },
        { "mac": "00:E0:62:00:00:03", "family": 6, "name": "A panel adapter name, long" },
        { "mac": "00:E0:62:00:00:04", "family": 1, "platform": 10, "generation": 1,
          "ipNotSet": true, "info": { "deviceDef": { "fiber": 1 } } })");
    SetupStore& lcm2 = p.modules[0].feature<SetupStore>();
    EXPECT_EQ(lcm2.codes(), (std::vector<uint16_t>{16, 21, 22, 32, 38, 48, 54, 64, 183, 0x8035}));
    EXPECT_EQ(*lcm2.get(22), (Bytes{'2', '0', '5', 'L', 'C', 'M', 0}));
    std::string d(lcm2.get(38)->begin(), lcm2.get(38)->end() - 1);
    EXPECT_EQ(d, "205 Ethernet data communications module.");
    EXPECT_EQ(*lcm2.get(32), (Bytes{1, 0, 0, 0}));
    const Bytes& setup = *lcm2.get(54);
    ASSERT_EQ(setup.size(), 256u);
    EXPECT_EQ(Bytes(setup.begin() + 20, setup.begin() + 24), *lcm2.get(16));
    EXPECT_EQ(Bytes(setup.begin() + 84, setup.begin() + 88), *lcm2.get(16)) << "in use";
    EXPECT_EQ(Bytes(setup.begin() + 36, setup.begin() + 40), *lcm2.get(48));
    EXPECT_EQ(lcm2.get(21)->size(), 128u);
    EXPECT_EQ((*lcm2.get(21))[0], 128);
    EXPECT_EQ(lcm2.get(0x8035)->size(), 128u);

    SetupStore& nbx = p.modules[1].feature<SetupStore>();
    EXPECT_EQ(nbx.codes(), (std::vector<uint16_t>{16, 22, 32, 38}));
    EXPECT_EQ(*nbx.get(32), (Bytes{2, 0, 0, 0}));
    EXPECT_NE(*nbx.get(16), *lcm2.get(16)) << "no two generated modules share an address";

    // A panel adapter's node list reads 2 bytes of node number and 20 of name.
    SetupStore& zt = p.modules[2].feature<SetupStore>();
    EXPECT_EQ(zt.get(32)->size(), 2u);
    EXPECT_EQ(zt.get(22)->size(), 20u);
    EXPECT_EQ(zt.get(22)->back(), 0);

    SetupStore& fresh = p.modules[3].feature<SetupStore>();
    EXPECT_EQ(*fresh.get(16), (Bytes{255, 255, 255, 255}));
    EXPECT_EQ((*fresh.get(54))[0], 4) << "obtain an address automatically";
    EXPECT_EQ(*fresh.get(22), (Bytes{'T', 'E', 'R', 'M', 'F', 'L', 'C', 'M', 0}));
}

TEST(SetupStoreFactory, FactoryIdentityTable) {
    struct Case {
        uint8_t family, platform;
        bool fiber;
        const char *name, *description;
    } cases[] = {
        {0, 2, false, "205NBX", "205 Ethernet Base Controller."},
        {1, 10, true, "TERMFLCM", "TERM Fiber Ethernet data communications module."},
        {4, 4, false, "405MTR", "405 Ethernet remote master."},
        {4, 9, true, "???FMTR", "??? Fiber Ethernet remote master."},
        {3, 1, false, "SJ100DRV", "SJ100 Orvane Drive Controller."},
        {3, 2, true, "J300FDRV", "J300 Fiber Orvane Drive Controller."},
        {3, 4, false, "GSDVX", "GS GS Series Drive Controller."},
        {3, 7, false, "---DVX", "--- Ethernet Drive Controller."},
        {2, 2, false, "??????", "??? ???"},
        {6, 0, false, "??????", "??? ???"},
        {12, 0, false, "???ETH", "??? Ethernet device"},
    };
    for (const Case& c : cases) {
        FactoryIdentity id = factoryIdentity(c.family, c.platform, c.fiber);
        EXPECT_EQ(id.name(), c.name) << int(c.family) << "/" << int(c.platform);
        EXPECT_EQ(id.fullDescription(), c.description) << int(c.family);
    }
}

TEST(SetupStoreFactory, GeneratedPlantGivesEveryModuleIdentityItems) {
    Plant p = Plant::generate(20, 3);
    for (Module& m : p.modules) {
        SetupStore& s = m.feature<SetupStore>();
        for (int code : {22, 32, 38, 16})
            EXPECT_TRUE(s.has(static_cast<uint16_t>(code))) << m.index << "/" << code;
        EXPECT_EQ(s.has(54), m.generation == 1) << m.index;
        std::string name(s.get(22)->begin(), s.get(22)->end() - 1);
        EXPECT_EQ(name, m.name) << "the module's name is its node name";
    }
}

// ---------------------------------------------------------------------------------------------
// Handlers

TEST(SetupStoreHandlers, ReadWriteDeleteEnumerateAndMalformedRequests) {
    Plant p = plantOf(R"({ "mac": "00:E0:62:00:00:01",
                           "setup": { "items": { "22": "41 00" }, "completionDelayMs": 7 } })");
    Module& m = p.modules[0];
    auto sent = call(m, {0x0B, 0x00, 22, 0});
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].payload, status(0, {0x41, 0}));
    EXPECT_EQ(call(m, {0x0B, 0x00, 23, 0})[0].payload, status(110));
    EXPECT_EQ(call(m, {0x0B, 0x00, 22})[0].payload, status(109)) << "cut short";
    EXPECT_EQ(call(m, {0x0B, 0x01, 22, 0})[0].payload, status(113)) << "byte 1 not 0";

    sent = call(m, {0x0C, 0x00, 0x34, 0x12, 9, 8});
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].delayMs, 0u);
    EXPECT_EQ(sent[0].payload, status(0));
    EXPECT_EQ(sent[1].delayMs, 7u) << "completion after the configured delay";
    EXPECT_EQ(sent[1].payload, status(0));
    EXPECT_EQ(*m.feature<SetupStore>().get(0x1234), (Bytes{9, 8}));
    EXPECT_EQ(call(m, {0x0C, 0x00, 1})[1].payload, status(109));

    sent = call(m, {0x0A});
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].payload, status(0, {2, 0, 22, 0, 0x34, 0x12}));

    EXPECT_EQ(call(m, {0x0D, 0x00, 0x34, 0x12})[1].payload, status(0));
    EXPECT_EQ(call(m, {0x0D, 0x00, 0x34, 0x12})[1].payload, status(110));

    m.feature<SetupStore>().loseCompletions = 1;
    EXPECT_EQ(call(m, {0x0C, 0x00, 5, 0, 1}).size(), 1u) << "acknowledged only";
    EXPECT_TRUE(m.feature<SetupStore>().has(5));
    m.feature<SetupStore>().ignoreWrites = 1;
    EXPECT_TRUE(call(m, {0x0D, 0x00, 5, 0}).empty());
    EXPECT_TRUE(m.feature<SetupStore>().has(5));
}

TEST(SetupStoreHandlers, EnumerationCarriesAtMostOneAnswersWorth) {
    Plant p = plantOf(R"({ "mac": "00:E0:62:00:00:01", "setup": { "items": {} } })");
    Module& m = p.modules[0];
    for (uint16_t k = 0; k < 400; ++k)
        m.feature<SetupStore>().set(k, {1});
    auto sent = call(m, {0x0A});
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].payload.size(), 2 + 2 + 2 * kMaxEnumCodes);
    EXPECT_LE(9 + sent[0].payload.size(), 600u);
    EXPECT_EQ(getU16(&sent[0].payload[2]), kMaxEnumCodes);
}

TEST(SetupStoreHandlers, DiscoveryLookupFindsHeldItems) {
    Plant p = plantOf(R"({ "mac": "00:E0:62:00:00:01", "setup": { "items": { "22": "41 00" } } })");
    const ItemLookup& lookup = itemLookup();
    ASSERT_TRUE(lookup) << "the store registers the discovery lookup";
    Bytes data;
    EXPECT_TRUE(lookup(p.modules[0], 22, data));
    EXPECT_EQ(data, (Bytes{0x41, 0}));
    EXPECT_FALSE(lookup(p.modules[0], 23, data));
}

// ---------------------------------------------------------------------------------------------
// Device information

TEST(DeviceInformation, DeviceDefinitionVersionsAndStatistics) {
    Plant p = plantOf(R"({ "mac": "00:E0:62:AA:BB:CC", "family": 4, "platform": 3,
                           "generation": 1,
                           "versions": { "boot": "3.4.5", "os": "6.7.890", "length": 52,
                                         "extra": "EE" },
                           "info": { "deviceDef": { "dipSwitches": 5, "patch": { "0x29": 7 } },
                                     "ethernetStats": { "txErrors": 12 } } })");
    Module& m = p.modules[0];
    Bytes def = call(m, {0x04})[0].payload;
    ASSERT_EQ(def.size(), 42u);
    EXPECT_EQ(def[0], 3);
    EXPECT_EQ(def[2], 4);
    EXPECT_EQ(def[25], 1);
    EXPECT_EQ(Bytes(def.begin() + 4, def.begin() + 10), (Bytes{0, 0xE0, 0x62, 0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(def[14], 5);
    EXPECT_EQ(def[41], 7);
    EXPECT_EQ(getU16(&def[12]), 2048) << "second generation default";

    Bytes v = call(m, {0x01})[0].payload;
    ASSERT_EQ(v.size(), 52u);
    EXPECT_EQ((Bytes{v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]}),
              (Bytes{3, 4, 5, 0, 6, 7, 890 & 0xFF, 890 >> 8, 0xEE}));

    Bytes s = call(m, {0x0E, 0x00, 1})[0].payload;
    ASSERT_EQ(s.size(), 26u);
    EXPECT_EQ(getU16(&s[0]), 26);
    EXPECT_EQ(getU32(&s[22]), 12u);
    s = call(m, {0x0E, 0x00, 0})[0].payload;
    EXPECT_EQ(getU32(&s[22]), 0u) << "cleared by the previous request";
    EXPECT_EQ(call(m, {0x0E, 0x00})[0].payload, status(109));

    EXPECT_EQ(call(m, {0xFA, 0x04})[0].payload, status(113)) << "wrong complement";
    EXPECT_EQ(call(m, {0xF9, 0x06, 1})[0].payload, status(109));
    EXPECT_EQ(call(m, {0x17, 0x00, 200})[0].payload, status(119));
}

TEST(DeviceInformation, StateSurvivesSavingAndLoading) {
    Plant p = plantOf(R"({ "mac": "00:E0:62:00:00:01", "family": 1,
                           "info": { "ethernetStats": { "unknown": 3 }, "restartMs": 9,
                                     "config": { "data": "01 02" } } })");
    Module& m = p.modules[0];
    m.feature<Versions>().os = {9, 8, 7};
    m.feature<DeviceInfo>().configData = {5, 5, 5};
    Plant back = Plant::fromJson(p.toJson());
    Module& b = back.modules[0];
    EXPECT_EQ(b.feature<Versions>().os.text(), "9.8.7");
    EXPECT_EQ(b.feature<DeviceInfo>().configData, (Bytes{5, 5, 5}));
    EXPECT_EQ(b.feature<DeviceInfo>().restartMs, 9u);
    EXPECT_EQ(b.feature<DeviceInfo>().ethernetCounters(b).unknown, 3u);
    EXPECT_EQ(b.feature<DeviceInfo>().deviceDefinition(b),
              m.feature<DeviceInfo>().deviceDefinition(m));
}

TEST(DeviceInformation, RefusesBadValues) {
    for (const char* bad : {
             R"("versions": { "boot": "3.1" })",
             R"("versions": { "os": "1.2.70000" })",
             R"("versions": { "length": 5 })",
             R"("info": { "deviceDef": { "length": 20 } })",
             R"("info": { "deviceDef": { "patch": { "300": 1 } } })",
             R"("info": { "config": { "data": "01 02", "maxLength": 1 } })",
             R"("info": { "speed": 1 })",
         }) {
        Plant p = plantOf(std::string(R"({ "mac": "00:E0:62:00:00:01", )") + bad + "}");
        EXPECT_THROW(
            {
                p.modules[0].feature<Versions>();
                p.modules[0].feature<DeviceInfo>();
            },
            std::runtime_error)
            << bad;
    }
}

TEST(DeviceInformation, HookTakesOverRebootAndOsSelection) {
    Plant p = plantOf(R"({ "mac": "00:E0:62:00:00:01" })");
    Module& m = p.modules[0];
    OsCommandHook previous = osCommandHook();
    std::vector<std::pair<OsCommand, uint32_t>> seen;
    setOsCommandHook([&](Module&, const Request&, Reply& reply, OsCommand c, uint32_t sel) {
        seen.push_back({c, sel});
        if (sel == 0 && c == OsCommand::SelectOs) return false; // leave it to the default
        reply.status(0x42);
        return true;
    });
    EXPECT_EQ(call(m, {0xF9, 0x06, 7, 0, 0, 0})[0].payload, status(0x42));
    EXPECT_EQ(call(m, {0xFA, 0x05})[0].payload, status(0x42));
    EXPECT_EQ(m.feature<DeviceInfo>().reboots, 0u) << "the hook answered instead";
    EXPECT_EQ(call(m, {0xF9, 0x06, 0, 0, 0, 0})[0].payload, status(0));
    EXPECT_EQ(m.feature<DeviceInfo>().osSelections, 1u);
    setOsCommandHook(previous);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], std::make_pair(OsCommand::SelectOs, 7u));
    EXPECT_EQ(seen[1].first, OsCommand::Reboot);

    // Without a hook a reboot answers and takes the module away for restartMs.
    setOsCommandHook(nullptr);
    EXPECT_EQ(call(m, {0xFA, 0x05})[0].payload, status(0));
    EXPECT_EQ(m.feature<DeviceInfo>().reboots, 1u);
    EXPECT_GT(m.offlineUntil, std::chrono::steady_clock::now());
    setOsCommandHook(previous);
}

} // namespace
