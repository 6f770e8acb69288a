// labels: integration
// Module information against the simulated module: device definition, versions, support
// information, Ethernet statistics, module status, configuration data, keep-alive, reboot and
// OS selection; their copy rule and error paths; and, against a scripted loopback peer, the
// exact request bytes and the answers too short for their own fields.
#include "raw_peer.h"
#include "sim_fixture.h"

#include "../../sim/src/info.h"

#include <gtest/gtest.h>

#include <netinet/in.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using libtest::answerPayloads;
using libtest::ScriptedModule;
using nlisim::Bytes;
using nlisim::DeviceInfo;
using nlisim::Module;
using nlisim::Versions;

namespace {

const char* kPlant = R"({
  "modules": [
    { "mac": "00:E0:62:00:20:01", "family": 1, "platform": 3, "name": "LCM",
      "versions": { "boot": "3.1.20", "os": "4.2.300" },
      "info": {
        "deviceDef": { "fiber": 1, "dipSwitches": 129, "flashKiB": 1024,
                       "patch": { "30": 90 } },
        "supportInfo": "AA BB CC",
        "config": { "data": "01 02 03" },
        "ethernetStats": { "missedFrames": 1000, "txCollisions": 2000, "lostPackets": 3000,
                           "badPackets": 4000, "unknown": 5000, "txErrors": 6000 },
        "restartMs": 5000 } },
    { "mac": "00:E0:62:00:20:02", "family": 0, "platform": 10, "generation": 1,
      "info": { "deviceDef": { "terminalSwitches": 10 } } },
    { "mac": "00:E0:62:00:20:03", "family": 3, "platform": 2 },
    { "mac": "00:E0:62:00:20:04", "family": 2, "platform": 4,
      "info": { "config": { "status": 119 } } }
  ]
})";

uint16_t u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t u32(const uint8_t* p) {
    return u16(p) | (static_cast<uint32_t>(u16(p + 2)) << 16);
}

class ModuleInfo : public testsupport::SimFixture {
  protected:
    void SetUp() override { startJson(kPlant); }
    template <class F> auto info(size_t i, F&& fn) {
        return sim().withModule(i, [&](Module& m) { return fn(m.feature<DeviceInfo>(), m); });
    }
};

// ---------------------------------------------------------------------------------------------
// Device definition, versions, support information

TEST_F(ModuleInfo, DeviceDefinitionDescribesEachModule) {
    struct Case {
        size_t module;
        uint8_t platform, family, generation;
    } cases[] = {{0, 3, 1, 0}, {1, 10, 0, 1}, {2, 2, 3, 0}, {3, 4, 2, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE("module " + std::to_string(c.module));
        NLIDevice* dev = openDevice(c.module);
        ASSERT_NE(dev, nullptr);
        uint8_t def[100];
        std::memset(def, 0xEE, sizeof def);
        EXPECT_EQ(NLIReadDeviceDef(dev, def, sizeof def), 0);
        EXPECT_EQ(def[0], c.platform);
        EXPECT_EQ(def[2], c.family);
        EXPECT_EQ(def[25], c.generation);
        nlisim::Mac mac = moduleMac(c.module);
        EXPECT_EQ(0, std::memcmp(def + 4, mac.data(), 6));
        EXPECT_EQ(def[42], 0xEE) << "the module sends 42 bytes";
        EXPECT_EQ(def[41], c.module == 0 ? 0 : def[41]);
    }
    NLIDevice* lcm = openDevice(0);
    uint8_t def[42];
    ASSERT_EQ(NLIReadDeviceDef(lcm, def, 42), 0);
    EXPECT_EQ(u16(def + 12), 1024);
    EXPECT_EQ(def[14], 0x81);
    EXPECT_EQ(def[15], 1);
    EXPECT_EQ(def[30], 90);
    NLIDevice* nbx = openDevice(1);
    ASSERT_EQ(NLIReadDeviceDef(nbx, def, 42), 0);
    EXPECT_EQ(def[23], 0x0A);
    EXPECT_EQ(def[28], 1) << "second generation writes the IP setup record";
}

TEST_F(ModuleInfo, ByValueCapacityCutsTheRecordAndSaysSo) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t buf[64];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(NLIReadDeviceDef(dev, buf, 10), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(buf[2], 1);
    EXPECT_EQ(buf[10], 0xEE) << "no copy past the capacity";
    EXPECT_EQ(NLIReadVersionInfo(dev, buf, 49), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(NLIReadVersionInfo(dev, buf, 50), 0);
    EXPECT_EQ(NLIReadSupportInfo(dev, nullptr, 0), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(NLIReadSupportInfo(dev, nullptr, 3), NLIE_INVALID_REQUEST);
}

TEST_F(ModuleInfo, VersionInformationFollowsTheModulesState) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t v[52];
    std::memset(v, 0xEE, sizeof v);
    ASSERT_EQ(NLIReadVersionInfo(dev, v, 52), 0);
    EXPECT_EQ(v[1], 3);
    EXPECT_EQ(v[2], 1);
    EXPECT_EQ(u16(v + 3), 20);
    EXPECT_EQ(v[5], 4);
    EXPECT_EQ(v[6], 2);
    EXPECT_EQ(u16(v + 7), 300);
    EXPECT_EQ(v[50], 0xEE) << "a 50-byte record";

    // In its boot loader the module reports firmware 0.0.0; a download changes the version.
    sim().withModule(0, [](Module& m) { m.feature<Versions>().osRunning = false; });
    ASSERT_EQ(NLIReadVersionInfo(dev, v, 50), 0);
    EXPECT_EQ(v[1], 3);
    EXPECT_EQ(v[5] | v[6] | v[7] | v[8], 0);
    sim().withModule(0, [](Module& m) {
        m.feature<Versions>().osRunning = true;
        m.feature<Versions>().os = {4, 3, 1};
    });
    ASSERT_EQ(NLIReadVersionInfo(dev, v, 50), 0);
    EXPECT_EQ(v[5], 4);
    EXPECT_EQ(v[6], 3);
    EXPECT_EQ(u16(v + 7), 1);
}

TEST_F(ModuleInfo, SupportInformationIsPassedThrough) {
    NLIDevice* dev = openDirect(0);
    ASSERT_NE(dev, nullptr);
    uint8_t buf[200] = {};
    EXPECT_EQ(NLIReadSupportInfo(dev, buf, sizeof buf), 0);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0xAA, 0xBB, 0xCC, 0}));
    EXPECT_EQ(NLIReadSupportInfo(dev, buf, 2), NLIE_BUFFER_TOO_SMALL);
}

// ---------------------------------------------------------------------------------------------
// Ethernet statistics

TEST_F(ModuleInfo, EthernetStatisticsWithTheSizeInTheRecordsFirstWord) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t stats[26];
    uint16_t* size = reinterpret_cast<uint16_t*>(stats); // as the application passes it
    *size = 26;
    ASSERT_EQ(NLIReadEthernetStats(dev, stats, size, 0), 0);
    EXPECT_EQ(*size, 26);
    EXPECT_EQ(u32(stats + 2), 1000u);
    EXPECT_GE(u32(stats + 6), 2000u);
    EXPECT_EQ(u32(stats + 10), 3000u);
    EXPECT_EQ(u32(stats + 14), 4000u);
    EXPECT_EQ(u32(stats + 18), 5000u);
    EXPECT_EQ(u32(stats + 22), 6000u);
    EXPECT_EQ(info(0, [](DeviceInfo& i, Module&) { return i.statsClears; }), 0u);

    uint8_t small[26];
    uint16_t n = 10;
    EXPECT_EQ(NLIReadEthernetStats(dev, small, &n, 0), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 10);
}

TEST_F(ModuleInfo, ClearFlagAnswersTheCountsThenClearsThem) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t stats[26];
    uint16_t size = sizeof stats;
    ASSERT_EQ(NLIReadEthernetStats(dev, stats, &size, 7), 0); // any non-zero flag clears
    EXPECT_EQ(u32(stats + 2), 1000u);
    EXPECT_EQ(info(0, [](DeviceInfo& i, Module&) { return i.statsClears; }), 1u);

    size = sizeof stats;
    ASSERT_EQ(NLIReadEthernetStats(dev, stats, &size, 0), 0);
    for (size_t off = 2; off < 26; off += 4)
        EXPECT_LT(u32(stats + off), 1000u) << off;
    EXPECT_EQ(u32(stats + 22), 0u);

    // The counts grow with traffic: every 16 answers count one collision.
    for (int k = 0; k < 64; ++k)
        ASSERT_EQ(NLIPetDevice(dev), 0);
    size = sizeof stats;
    ASSERT_EQ(NLIReadEthernetStats(dev, stats, &size, 0), 0);
    EXPECT_GE(u32(stats + 6), 4u);
    EXPECT_EQ(info(0, [](DeviceInfo& i, Module&) { return i.statsClears; }), 1u);
}

// ---------------------------------------------------------------------------------------------
// Keep-alive, module status

TEST_F(ModuleInfo, KeepAliveIsAnswered) {
    NLIDevice* dev = openDevice(2);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(NLIPetDevice(dev), 0);
    EXPECT_EQ(NLIPetDevice(dev), 0);
    EXPECT_EQ(info(2, [](DeviceInfo& i, Module&) { return i.pets; }), 2u);
}

TEST_F(ModuleInfo, ModuleStatusPlainAndExtended) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t buf[64] = {};
    uint16_t size = sizeof buf;
    ASSERT_EQ(NLIReadModuleStatus(dev, buf, &size, 2), 0);
    EXPECT_EQ(size, 16);
    EXPECT_EQ(buf[0], 2) << "the selector the module got";
    EXPECT_EQ(buf[1], 0) << "plain form";

    buf[0] = 0xB1;
    size = sizeof buf;
    ASSERT_EQ(NLIReadModuleStatus(dev, buf, &size, 3), 0);
    EXPECT_EQ(size, 32);
    EXPECT_EQ(buf[0], 3);
    EXPECT_EQ(buf[1], 1) << "extended form";

    size = 5;
    EXPECT_EQ(NLIReadModuleStatus(dev, buf, &size, 1), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 5);

    size = sizeof buf;
    EXPECT_EQ(NLIReadModuleStatus(dev, buf, &size, 4), NLIE_INVALID_DATA);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(NLIReadModuleStatus(dev, buf, nullptr, 1), NLIE_INVALID_REQUEST);
}

// ---------------------------------------------------------------------------------------------
// Operating-system selection and reboot

TEST_F(ModuleInfo, OsSelectionIsAnsweredAndRecorded) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(NLISetOSLoad(dev, 0x01020304), 0);
    EXPECT_EQ(info(0, [](DeviceInfo& i, Module&) { return i.lastOsSelector; }), 0x01020304u);
    // (Selector 0 belongs to the boot loader: a running OS leaves it unanswered.)
    EXPECT_EQ(XPLCSetOSLoad(dev, 5), 0);
    EXPECT_EQ(info(0, [](DeviceInfo& i, Module&) { return i.lastOsSelector; }), 5u);
    EXPECT_EQ(info(0, [](DeviceInfo& i, Module&) { return i.osSelections; }), 2u);
}

TEST_F(ModuleInfo, RebootAnswersThenTheModuleIsAwayUntilItHasRestarted) {
    NLIDevice* dev = openDevice(0, 100, 0);
    ASSERT_NE(dev, nullptr);
    uint8_t stats[26];
    uint16_t size = sizeof stats;
    ASSERT_EQ(NLIReadEthernetStats(dev, stats, &size, 0), 0);
    ASSERT_EQ(u32(stats + 2), 1000u);

    EXPECT_EQ(NLIReboot(dev), 0);
    EXPECT_EQ(info(0, [](DeviceInfo& i, Module&) { return i.reboots; }), 1u);
    EXPECT_EQ(NLIPetDevice(dev), NLIE_TIMEOUT) << "restarting (5 s in this plant)";

    sim().withModule(0, [](Module& m) { m.offlineUntil = {}; }); // the restart is over
    EXPECT_EQ(NLIPetDevice(dev), 0);
    size = sizeof stats;
    ASSERT_EQ(NLIReadEthernetStats(dev, stats, &size, 0), 0);
    EXPECT_LT(u32(stats + 2), 1000u) << "a restart clears the counters";

    EXPECT_EQ(XPLCReboot(dev), 0);
    EXPECT_EQ(info(0, [](DeviceInfo& i, Module&) { return i.reboots; }), 2u);
}

// ---------------------------------------------------------------------------------------------
// Configuration data

TEST_F(ModuleInfo, ConfigurationDataWriteAndReadBack) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t buf[64] = {};
    uint16_t size = sizeof buf;
    ASSERT_EQ(NLIReadConfigData(dev, buf, &size), 0);
    EXPECT_EQ(size, 3);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{1, 2, 3}));

    const uint8_t data[5] = {9, 8, 7, 6, 5};
    uint8_t answer[8] = {};
    uint16_t answerSize = sizeof answer;
    ASSERT_EQ(NLIWriteConfigData(dev, data, 5, answer, &answerSize), 0);
    EXPECT_EQ(answerSize, 2);
    EXPECT_EQ(u16(answer), 5) << "the module's answer data is copied";

    answerSize = 77;
    EXPECT_EQ(NLIWriteConfigData(dev, data, 5, nullptr, &answerSize), 0);
    EXPECT_EQ(answerSize, 77) << "no copy without a response buffer";
    EXPECT_EQ(NLIWriteConfigData(dev, data, 5, answer, nullptr), 0);

    size = sizeof buf;
    ASSERT_EQ(NLIReadConfigData(dev, buf, &size), 0);
    EXPECT_EQ(Bytes(buf, buf + size), Bytes(data, data + 5));

    buf[0] = 0xB1; // extended form: the module puts the length first
    size = sizeof buf;
    ASSERT_EQ(NLIReadConfigData(dev, buf, &size), 0);
    EXPECT_EQ(size, 7);
    EXPECT_EQ(u16(buf), 5);

    size = 2;
    EXPECT_EQ(NLIReadConfigData(dev, buf, &size), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 2);
}

TEST_F(ModuleInfo, ConfigurationDataStatusComesBackWithBit15) {
    NLIDevice* dev = openDevice(3);
    ASSERT_NE(dev, nullptr);
    uint8_t buf[16];
    uint16_t size = sizeof buf;
    EXPECT_EQ(NLIReadConfigData(dev, buf, &size), 0x8000 | NLIE_INVALID_DATA);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(NLIWriteConfigData(dev, buf, 4, nullptr, nullptr), 0x8000 | NLIE_INVALID_DATA);
}

TEST_F(ModuleInfo, ConfigurationDataLimitAndTheModulesOwnLimit) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    const uint16_t limit = static_cast<uint16_t>(1200 - dev->headerLength - 1);
    std::vector<uint8_t> data(limit + 1, 0x33);
    uint32_t before = sim().withModule(0, [](Module& m) { return m.requestsReceived; });
    EXPECT_EQ(
        NLIWriteConfigData(dev, data.data(), static_cast<uint16_t>(limit + 1), nullptr, nullptr),
        NLIE_DATA_TOO_LARGE);
    EXPECT_EQ(sim().withModule(0, [](Module& m) { return m.requestsReceived; }), before)
        << "nothing is sent";
    // The module takes at most 1024 bytes and says so with status 109.
    EXPECT_EQ(NLIWriteConfigData(dev, data.data(), limit, nullptr, nullptr),
              0x8000 | NLIE_SIZE_ERROR);
    EXPECT_EQ(NLIWriteConfigData(dev, data.data(), 1024, nullptr, nullptr), 0);
}

TEST_F(ModuleInfo, ConfigurationDataWithoutWaitingReturnsNoResponse) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    dev->noWaitIO = 1;
    const uint8_t data[2] = {0x44, 0x55};
    EXPECT_EQ(NLIWriteConfigData(dev, data, 2, nullptr, nullptr), NLIE_NO_RESPONSE);
    uint8_t buf[8];
    uint16_t size = sizeof buf;
    EXPECT_EQ(NLIReadConfigData(dev, buf, &size), NLIE_NO_RESPONSE);
    // The write still reaches the module.
    Bytes held;
    for (int k = 0; k < 200 && held.size() != 2; ++k) {
        held = info(0, [](DeviceInfo& i, Module&) { return i.configData; });
        if (held.size() != 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(held, (Bytes{0x44, 0x55}));
    dev->noWaitIO = 0;
}

TEST_F(ModuleInfo, ConfigurationDataReportsRetries) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    // Away for the first attempt only: one of the re-sends gets the answer.
    sim().withModule(0, [](Module& m) {
        m.offlineUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(150);
    });
    uint8_t buf[8];
    uint16_t size = sizeof buf;
    EXPECT_EQ(NLIReadConfigData(dev, buf, &size), NLIE_RETRIES_OCCURRED);
    EXPECT_EQ(size, 3);
}

// ---------------------------------------------------------------------------------------------
// Error paths shared by every call

struct Call {
    const char* name;
    std::function<int32_t(NLIDevice*)> run;
};

std::vector<Call> everyCall() {
    static uint8_t buf[600];
    static uint16_t size;
    static uint16_t codes[50];
    static uint16_t count;
    return {
        {"NLIReadVersionInfo", [](NLIDevice* d) { return NLIReadVersionInfo(d, buf, 50); }},
        {"NLIReadSupportInfo", [](NLIDevice* d) { return NLIReadSupportInfo(d, buf, 200); }},
        {"NLIReadDeviceDef", [](NLIDevice* d) { return NLIReadDeviceDef(d, buf, 42); }},
        {"NLIReadEthernetStats",
         [](NLIDevice* d) { return size = 26, NLIReadEthernetStats(d, buf, &size, 0); }},
        {"NLIPetDevice", [](NLIDevice* d) { return NLIPetDevice(d); }},
        {"NLIReadModuleStatus",
         [](NLIDevice* d) { return size = 64, NLIReadModuleStatus(d, buf, &size, 0); }},
        {"NLISetOSLoad", [](NLIDevice* d) { return NLISetOSLoad(d, 1); }},
        {"XPLCSetOSLoad", [](NLIDevice* d) { return XPLCSetOSLoad(d, 1); }},
        {"NLIReboot", [](NLIDevice* d) { return NLIReboot(d); }},
        {"XPLCReboot", [](NLIDevice* d) { return XPLCReboot(d); }},
        {"NLIReadConfigData",
         [](NLIDevice* d) { return size = 64, NLIReadConfigData(d, buf, &size); }},
        {"NLIWriteConfigData",
         [](NLIDevice* d) { return NLIWriteConfigData(d, buf, 4, nullptr, nullptr); }},
        {"NLIEnumSetupData",
         [](NLIDevice* d) { return count = 50, NLIEnumSetupData(d, codes, &count); }},
        {"NLIReadSetupData",
         [](NLIDevice* d) { return size = 256, NLIReadSetupData(d, DT_NODE_NAME, buf, &size); }},
        {"NLIWriteSetupData",
         [](NLIDevice* d) { return NLIWriteSetupData(d, DT_NODE_NAME, "A", 2); }},
        {"NLIDeleteSetupData", [](NLIDevice* d) { return NLIDeleteSetupData(d, DT_GATEWAY); }},
    };
}

TEST_F(ModuleInfo, EveryCallReportsASilentModuleAsATimeout) {
    NLIDevice* dev = openDirect(2, 20, 1);
    ASSERT_NE(dev, nullptr);
    nlisim::Faults silent;
    silent.silent = true;
    sim().setFaults(2, silent);
    for (const Call& c : everyCall()) {
        uint16_t retries = dev->retryCount;
        EXPECT_EQ(c.run(dev), NLIE_TIMEOUT) << c.name;
        EXPECT_EQ(dev->retryCount, retries + 1) << c.name;
        EXPECT_EQ(dev->timeoutMs, 20) << c.name;
    }
}

TEST_F(ModuleInfo, EveryCallReportsABadChecksumAsACrcMismatch) {
    NLIDevice* dev = openDevice(2);
    ASSERT_NE(dev, nullptr);
    nlisim::Faults bad;
    bad.badChecksum = true;
    sim().setFaults(2, bad);
    for (const Call& c : everyCall())
        EXPECT_EQ(c.run(dev), NLIE_CRC_MISMATCH) << c.name;
}

TEST_F(ModuleInfo, EveryCallRefusesANullDevice) {
    for (const Call& c : everyCall())
        EXPECT_EQ(c.run(nullptr), NLIE_INVALID_DEVICE) << c.name;
}

// ---------------------------------------------------------------------------------------------
// A scripted far end: sees the exact request bytes and answers with any bytes at all.

class ScriptedPeer : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(NLIOpen(NLI_INTERFACE_VERSION), 0);
        std::memset(&transport_, 0, sizeof transport_);
        transport_.kind = TRANSPORT_WINSOCK;
        transport_.protocol = PROTOCOL_UDPIP;
        ASSERT_EQ(NLIOpenTransport(&transport_, NLI_INTERFACE_VERSION, nullptr), 0);
    }
    void TearDown() override {
        NLICloseDevice(&device_);
        NLICloseTransport(&transport_);
        NLIClose();
    }
    NLIDevice* open(const ScriptedModule& peer) {
        std::memset(&device_, 0, sizeof device_);
        sockaddr_in a = peer.address();
        std::memcpy(device_.address, &a, sizeof a);
        EXPECT_EQ(NLIOpenDevice(&transport_, &device_, NLI_INTERFACE_VERSION, 100, 0, 0), 0);
        return &device_;
    }
    NLITransport transport_{};
    NLIDevice device_{};
};

TEST_F(ScriptedPeer, EachCallSendsItsRequestBytes) {
    ScriptedModule peer(answerPayloads([](const Bytes& p) -> std::vector<Bytes> {
        if (p.size() >= 2 && (p[0] == 0x0C || p[0] == 0x0D)) return {{0, 0}, {0, 0}};
        return {{0, 0, 0, 0}};
    }));
    NLIDevice* dev = open(peer);
    uint8_t buf[64] = {};
    uint16_t size;
    struct Case {
        std::function<void()> call;
        Bytes payload;
    } cases[] = {
        {[&] { NLIReadVersionInfo(dev, buf, 50); }, {0x01}},
        {[&] { NLIReadSupportInfo(dev, buf, 50); }, {0x02}},
        {[&] { NLIReadDeviceDef(dev, buf, 42); }, {0x04}},
        {[&] { NLIEnumSetupData(dev, reinterpret_cast<uint16_t*>(buf), &(size = 8)); }, {0x0A}},
        {[&] { NLIReadSetupData(dev, DT_HW_REVISIONS, buf, &(size = 64)); },
         {0x0B, 0x00, 0x35, 0x80}},
        {[&] { NLIWriteSetupData(dev, DT_NODE_NUMBER, "\x07\0\0\0", 4); },
         {0x0C, 0x00, 0x20, 0x00, 0x07, 0, 0, 0}},
        {[&] { NLIDeleteSetupData(dev, DT_EMAIL_CONFIG); }, {0x0D, 0x00, 0xB7, 0x00}},
        {[&] { NLIReadEthernetStats(dev, buf, &(size = 26), 0); }, {0x0E, 0x00, 0x00}},
        {[&] { NLIReadEthernetStats(dev, buf, &(size = 26), 0x100); }, {0x0E, 0x00, 0x01}},
        {[&] { NLIPetDevice(dev); }, {0x14, 0x00}},
        {[&] { buf[0] = 0xB1, NLIReadModuleStatus(dev, buf, &(size = 64), 9); },
         {0x17, 0x01, 0x09}},
        {[&] { buf[0] = 0x00, NLIReadModuleStatus(dev, buf, &(size = 64), 9); },
         {0x17, 0x00, 0x09}},
        {[&] { NLISetOSLoad(dev, 0xA1B2C3D4); }, {0xF9, 0x06, 0xD4, 0xC3, 0xB2, 0xA1}},
        {[&] { XPLCSetOSLoad(dev, 0); }, {0xF9, 0x06, 0, 0, 0, 0}},
        {[&] { NLIReboot(dev); }, {0xFA, 0x05}},
        {[&] { XPLCReboot(dev); }, {0xFA, 0x05}},
        {[&] { buf[0] = 0xB1, NLIReadConfigData(dev, buf, &(size = 64)); }, {0x62, 0xB1}},
        {[&] { buf[0] = 0x00, NLIReadConfigData(dev, buf, &(size = 64)); }, {0x62}},
        {[&] { NLIWriteConfigData(dev, "\x05\x06", 2, nullptr, nullptr); }, {0x61, 0x05, 0x06}},
    };
    size_t k = 0;
    for (const Case& c : cases) {
        c.call();
        std::vector<Bytes> seen = peer.payloads();
        ASSERT_EQ(seen.size(), k + 1) << "case " << k;
        EXPECT_EQ(seen[k], c.payload) << "case " << k;
        ++k;
    }
}

TEST_F(ScriptedPeer, AnswersTooShortForTheirStatusWordAreInvalid) {
    // One payload byte: the status word is cut in half.
    ScriptedModule peer(answerPayloads([](const Bytes& p) -> std::vector<Bytes> {
        if (p[0] == 0x0C || p[0] == 0x0D) return {{0}, {0}};
        return {{0}};
    }));
    NLIDevice* dev = open(peer);
    uint8_t buf[64];
    uint16_t size = sizeof buf;
    EXPECT_EQ(NLIReadSetupData(dev, DT_NODE_NAME, buf, &size), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(size, 0);
    size = sizeof buf;
    EXPECT_EQ(NLIReadModuleStatus(dev, buf, &size, 0), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(size, 0);
    size = sizeof buf;
    EXPECT_EQ(NLIReadConfigData(dev, buf, &size), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(size, 0);
    uint16_t codes[4];
    uint16_t count = 4;
    EXPECT_EQ(NLIEnumSetupData(dev, codes, &count), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(NLIWriteSetupData(dev, DT_NODE_NAME, "A", 2), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(NLIDeleteSetupData(dev, DT_NODE_NAME), NLIE_INVALID_RESPONSE);
}

TEST_F(ScriptedPeer, EnumerationCountBoundByTheCodesReceived) {
    // States 4 codes, carries 2 and a stray byte.
    ScriptedModule peer(answerPayloads([](const Bytes&) -> std::vector<Bytes> {
        return {{0, 0, 4, 0, 0x10, 0x00, 0x16, 0x00, 0x20}};
    }));
    NLIDevice* dev = open(peer);
    uint16_t codes[8] = {0, 0, 0xBEEF, 0xBEEF};
    uint16_t count = 8;
    EXPECT_EQ(NLIEnumSetupData(dev, codes, &count), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(codes[0], 16);
    EXPECT_EQ(codes[1], 22);
    EXPECT_EQ(codes[2], 0xBEEF);
}

TEST_F(ScriptedPeer, AnswerShorterThanAHeaderIsInvalid) {
    // Five bytes, magic and sequence only: the engine takes it with the checksum test off.
    ScriptedModule peer(answerPayloads([](const Bytes&) -> std::vector<Bytes> { return {{}}; }, 5));
    NLIDevice* dev = open(peer);
    uint8_t buf[64];
    EXPECT_EQ(NLIReadDeviceDef(dev, buf, sizeof buf), NLIE_CRC_MISMATCH);
    uint32_t previous = SetCRCMode(0);
    EXPECT_EQ(NLIReadDeviceDef(dev, buf, sizeof buf), NLIE_INVALID_RESPONSE);
    uint16_t size = sizeof buf;
    EXPECT_EQ(NLIReadEthernetStats(dev, buf, &size, 0), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(size, 0);
    SetCRCMode(previous);
}

} // namespace
