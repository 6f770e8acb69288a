// labels: integration
// Panel adapters against the simulator: the program-space write, ZTSendPacket's data offset, and
// the node list (over UDP/IP through NLI_ZT_PROTOCOL, and failing cleanly where the kernel has
// no IPX).
#include "sim_fixture.h"

#include "../../sim/src/zt.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

using nlisim::Bytes;
using nlisim::Module;
using nlisim::PanelState;

namespace {

const char* kPlant = R"({
  "modules": [
    { "mac": "00:E0:62:00:70:01", "family": 6, "name": "Panel A",
      "setup": { "items": { "22": { "text": "Panel A" }, "32": { "u32": 74565 } } } },
    { "mac": "00:E0:62:00:70:02", "family": 1, "name": "Comm" },
    { "mac": "00:E0:62:00:70:03", "family": 6,
      "setup": { "items": { "22": { "text": "A rather long panel name" }, "32": { "u16": 7 } } } },
    { "mac": "00:E0:62:00:70:04", "family": 6, "name": "Refuses",
      "setup": { "items": { "22": { "text": "Refuses" }, "32": { "u16": 9 } } },
      "panel": { "writeStatus": 119 } }
  ]
})";

const char* kNoPanels = R"({
  "modules": [ { "mac": "00:E0:62:00:71:01", "family": 1 }, { "mac": "00:E0:62:00:71:02", "family": 0 } ]
})";

size_t openFiles() {
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

class Panel : public testsupport::SimFixture {
  protected:
    void TearDown() override {
        // A list that succeeded keeps its devices open; a failing IPX call releases them.
        unsetenv("NLI_ZT_PROTOCOL");
        uint16_t count = 1;
        ZTGetNodeList(&count);
        SimFixture::TearDown();
    }
    std::vector<Bytes> writes(size_t module) {
        return sim().withModule(module, [](Module& m) { return m.feature<PanelState>().writes; });
    }
    Bytes programSpace(size_t module) {
        return sim().withModule(module,
                                [](Module& m) { return m.feature<PanelState>().programSpace; });
    }
};

TEST_F(Panel, WritesProgramSpace) {
    startJson(kPlant);
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    std::vector<uint8_t> data(ZT_MAX_PGM_SPACE_WRITE);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ 0x5A);
    EXPECT_EQ(NLIWriteZTethernetPgmSpace(dev, data.data(), ZT_MAX_PGM_SPACE_WRITE), 0);
    EXPECT_EQ(dev->timeoutMs, 100) << "the extra 10 ms are given back";
    EXPECT_EQ(programSpace(0), Bytes(data.begin(), data.end()));

    data.push_back(0);
    EXPECT_EQ(NLIWriteZTethernetPgmSpace(dev, data.data(), ZT_MAX_PGM_SPACE_WRITE + 1),
              NLIE_DATA_TOO_LARGE);
    EXPECT_EQ(NLIWriteZTethernetPgmSpace(dev, nullptr, 4), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIWriteZTethernetPgmSpace(nullptr, data.data(), 4), NLIE_INVALID_DEVICE);
    EXPECT_EQ(writes(0).size(), 1u) << "the refused writes were not sent";
}

TEST_F(Panel, CompletionStatusIsTheResult) {
    startJson(kPlant);
    NLIDevice* dev = openDirect(3);
    ASSERT_NE(dev, nullptr);
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(NLIWriteZTethernetPgmSpace(dev, data, 3), 119);
    EXPECT_TRUE(programSpace(3).empty());
}

TEST_F(Panel, EngineFailureComesThrough) {
    startJson(kPlant);
    NLIDevice* dev = openDirect(0, 20, 0);
    ASSERT_NE(dev, nullptr);
    sim().setFaults(0, nlisim::Faults{.silent = true});
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(NLIWriteZTethernetPgmSpace(dev, data, 3), NLIE_TIMEOUT);
    EXPECT_EQ(dev->timeoutMs, 20);
}

TEST_F(Panel, SendPacketTakesItsDataFromOffset60) {
    startJson(kPlant);
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t packet[200];
    std::memset(packet, 0xEE, sizeof packet);
    for (int i = 0; i < 40; ++i) packet[ZT_PACKET_DATA_OFFSET + i] = static_cast<uint8_t>(i);
    uint8_t reply = 0x55;
    EXPECT_EQ(ZTSendPacket(dev, packet, &reply, 40), 1);
    EXPECT_EQ(reply, 0);
    ASSERT_EQ(writes(0).size(), 1u);
    EXPECT_EQ(writes(0)[0], Bytes(packet + 60, packet + 100)) << "exactly the given length";

    NLIDevice* refusing = openDevice(3);
    ASSERT_NE(refusing, nullptr);
    reply = 0x55;
    EXPECT_EQ(ZTSendPacket(refusing, packet, &reply, 40), 0);
    EXPECT_EQ(reply, 0x55) << "left alone on failure";
    EXPECT_EQ(ZTSendPacket(dev, nullptr, &reply, 40), 0);
    EXPECT_EQ(ZTSendPacket(dev, packet, &reply, ZT_MAX_PGM_SPACE_WRITE + 1), 0);
    EXPECT_EQ(writes(0).size(), 1u);
}

TEST_F(Panel, NodeListWithoutIpxFailsCleanly) {
    startJson(kPlant);
    unsetenv("NLI_ZT_PROTOCOL");
    const size_t before = openFiles();
    for (int i = 0; i < 3; ++i) {
        uint16_t count = 99;
        // IPX sockets cannot be created on this kernel; a kernel with IPX would find nothing
        // either, since the simulator serves UDP only.
        EXPECT_EQ(ZTGetNodeList(&count), nullptr);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(openFiles(), before) << "nothing left open";
    }
}

TEST_F(Panel, NodeListOverUdpFindsTheAdapters) {
    startJson(kPlant);
    setenv("NLI_ZT_PROTOCOL", "udp", 1);
    const size_t before = openFiles();
    uint16_t count = 0;
    ZTNodeListEntry* list = ZTGetNodeList(&count);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(openFiles(), before + 3) << "one open device per adapter";

    std::map<uint16_t, const ZTNodeListEntry*> byNumber;
    for (uint16_t i = 0; i < count; ++i) byNumber[list[i].nodeNumber] = &list[i];
    ASSERT_EQ(byNumber.size(), 3u);
    ASSERT_TRUE(byNumber.count(0x2345)) << "low 16 bits of the 32-bit node number 0x12345";
    EXPECT_STREQ(byNumber[0x2345]->name, "Panel A");
    ASSERT_TRUE(byNumber.count(7));
    EXPECT_EQ(std::string(byNumber[7]->name, 20), "A rather long panel ") << "cut to the field";
    ASSERT_TRUE(byNumber.count(9));

    // The entries' devices are open and reach their adapters.
    uint8_t packet[80] = {};
    packet[60] = 0xAB;
    packet[61] = 0xCD;
    uint8_t reply = 1;
    EXPECT_EQ(ZTSendPacket(byNumber[0x2345]->device, packet, &reply, 2), 1);
    EXPECT_EQ(reply, 0);
    EXPECT_EQ(programSpace(0), (Bytes{0xAB, 0xCD}));
    EXPECT_EQ(ZTSendPacket(byNumber[9]->device, packet, &reply, 2), 0);

    // The next call closes the previous adapters before it opens them again.
    list = ZTGetNodeList(&count);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(openFiles(), before + 3);
}

TEST_F(Panel, NodeListWithoutAdaptersIsEmpty) {
    startJson(kNoPanels);
    setenv("NLI_ZT_PROTOCOL", "udp", 1);
    const size_t before = openFiles();
    uint16_t count = 5;
    EXPECT_EQ(ZTGetNodeList(&count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(openFiles(), before) << "the modules that were not adapters are closed again";
}

TEST_F(Panel, NodeListFailsWhenAnAdapterCannotBeRead) {
    // The second adapter has no node name: its read answers 110 and the whole list fails.
    startJson(R"({ "modules": [
      { "mac": "00:E0:62:00:72:01", "family": 6, "name": "Good" },
      { "mac": "00:E0:62:00:72:02", "family": 6, "setup": { "items": { "32": { "u16": 5 } } } },
      { "mac": "00:E0:62:00:72:03", "family": 6, "name": "Also good" } ] })");
    ASSERT_EQ(foundCount(), 3) << "all three answer the query";
    setenv("NLI_ZT_PROTOCOL", "udp", 1);
    const size_t before = openFiles();
    uint16_t count = 5;
    EXPECT_EQ(ZTGetNodeList(&count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(openFiles(), before) << "the adapters opened before the failure are closed too";
}

} // namespace
