// labels: integration
// PLC requests (CCM and K-sequence) through a simulated communication module to its CPU.
#include "sim_fixture.h"

#include "../../sim/src/plc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Module 0: a communication module with a KP-450 CPU (code 90) and some CCM memory; module 1: a
// base controller, which has no CPU behind it.
const char* kPlant = R"({ "modules": [
  { "mac": "00:E0:62:40:00:01", "family": 1, "platform": 4,
    "plc": { "cpu": 90, "memory": [ { "type": 49, "address": 4660, "bytes": "DE AD BE EF" } ] } },
  { "mac": "00:E0:62:40:00:02", "family": 0, "platform": 4 }
] })";

class PlcTest : public testsupport::SimFixture {
  protected:
    void SetUp() override { startJson(kPlant); }

    nlisim::PlcState state(size_t index = 0) {
        return sim().withModule(index,
                                [](nlisim::Module& m) { return m.feature<nlisim::PlcState>(); });
    }
    template <class F> void change(F fn) {
        sim().withModule(0, [&](nlisim::Module& m) { fn(m.feature<nlisim::PlcState>()); });
    }
};

TEST_F(PlcTest, OneByteCpuCodeReadSendsExactlyItsBytes) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t code = 0;
    ASSERT_EQ(NLICCMRequest(dev, 0, 54, 15, 1, &code), 0);
    EXPECT_EQ(code, 90);
    EXPECT_EQ(state().lastRequest, (Bytes{0x19, 0x00, 0x01, 0x1E, 0x01, 0x0F, 0x00, 0x36}));

    // Another CPU, another code.
    change([](nlisim::PlcState& s) { s.cpuCode = 106; });
    ASSERT_EQ(NLICCMRequest(dev, 0, 54, 15, 1, &code), 0);
    EXPECT_EQ(code, 106);
}

// A one-byte read accepts only a final answer of 14 bytes: header, 0x22 0x19, status, one byte.
TEST_F(PlcTest, ReadAcceptsOnlyTheByteCountAskedFor) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    for (int adjust : {-1, +1, +5}) {
        change([&](nlisim::PlcState& s) { s.replyAdjust = adjust; });
        uint8_t buffer[8];
        std::memset(buffer, 0xEE, sizeof buffer);
        EXPECT_EQ(NLICCMRequest(dev, 0, 54, 15, 1, buffer), NLIE_INVALID_REQUEST)
            << "final answer of " << 14 + adjust << " bytes";
        EXPECT_EQ(buffer[0], 0xEE) << "nothing copied";
    }
}

TEST_F(PlcTest, WriteStoresAndEchoesTheBytes) {
    NLIDevice* dev = openDirect(0);
    ASSERT_NE(dev, nullptr);
    uint8_t data[4] = {1, 2, 3, 4};
    ASSERT_EQ(NLICCMRequest(dev, 1, 49, 0x0102, 4, data), 0);
    EXPECT_EQ(state().lastRequest,
              (Bytes{0x19, 0x00, 0x01, 0x20, 0x04, 0x02, 0x01, 0x31, 1, 2, 3, 4}));
    EXPECT_EQ(Bytes(data, data + 4), (Bytes{1, 2, 3, 4}));

    uint8_t back[4] = {};
    ASSERT_EQ(NLICCMRequest(dev, 0, 49, 0x0102, 4, back), 0);
    EXPECT_EQ(Bytes(back, back + 4), (Bytes{1, 2, 3, 4}));
    ASSERT_EQ(NLICCMRequest(dev, 0, 49, 4660, 4, back), 0);
    EXPECT_EQ(Bytes(back, back + 4), (Bytes{0xDE, 0xAD, 0xBE, 0xEF})) << "memory from the plant";
}

TEST_F(PlcTest, TwoHundredFiftySixBytesTravelAsCountZero) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    std::vector<uint8_t> data(256);
    std::iota(data.begin(), data.end(), uint8_t{0});
    ASSERT_EQ(NLICCMRequest(dev, 1, 50, 0, 256, data.data()), 0);
    Bytes seen = state().lastRequest;
    ASSERT_EQ(seen.size(), 8u + 256);
    EXPECT_EQ(seen[4], 0x00);

    std::vector<uint8_t> back(256, 0xEE);
    ASSERT_EQ(NLICCMRequest(dev, 0, 50, 0, 256, back.data()), 0);
    EXPECT_EQ(state().lastRequest[4], 0x00);
    EXPECT_EQ(back, data);

    std::vector<uint8_t> ks(256, 0x5A);
    uint16_t size = 256;
    ASSERT_EQ(NLIKSEQRequest(dev, 256, ks.data(), &size), 0);
    EXPECT_EQ(state().lastRequest[2], 0x00);
    EXPECT_EQ(size, 256);
}

// Counts the wire cannot carry are refused before anything is sent: above 256, and 0 (which
// would travel as the count byte of 256).
TEST_F(PlcTest, CountsOutsideOneToTwoHundredFiftySixAreRefused) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    std::vector<uint8_t> buffer(300);
    uint16_t size = 300;
    EXPECT_EQ(NLICCMRequest(dev, 0, 49, 0, 257, buffer.data()), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLICCMRequest(dev, 1, 49, 0, 0, buffer.data()), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLICCMRequest(dev, 0, 49, 0, 1, nullptr), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIKSEQRequest(dev, 257, buffer.data(), &size), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIKSEQRequest(dev, 0, buffer.data(), &size), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIKSEQRequest(dev, 4, buffer.data(), nullptr), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLICCMRequest(nullptr, 0, 54, 15, 1, buffer.data()), NLIE_INVALID_DEVICE);
    EXPECT_EQ(state().requests, 0u);
}

TEST_F(PlcTest, RefusalReturnsTheModulesStatus) {
    // No CPU behind a base controller: the module refuses with 113.
    NLIDevice* base = openDevice(1);
    ASSERT_NE(base, nullptr);
    uint8_t code = 0xEE;
    EXPECT_EQ(NLICCMRequest(base, 0, 54, 15, 1, &code), nlisim::kStatusPlcInvalidRequest);
    EXPECT_EQ(code, 0xEE);

    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    change([](nlisim::PlcState& s) { s.refuseStatus = NLIE_MODULE_BUSY; });
    EXPECT_EQ(NLICCMRequest(dev, 0, 54, 15, 1, &code), NLIE_MODULE_BUSY);
    uint8_t ks[3] = {1, 2, 3};
    uint16_t size = 3;
    EXPECT_EQ(NLIKSEQRequest(dev, 3, ks, &size), NLIE_MODULE_BUSY);
}

TEST_F(PlcTest, FinalAnswerStatusAndKindAreChecked) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t code = 0;
    change([](nlisim::PlcState& s) { s.completionStatus = NLIE_TIMEOUT_ERROR; });
    EXPECT_EQ(NLICCMRequest(dev, 0, 54, 15, 1, &code), NLIE_TIMEOUT_ERROR);

    change([](nlisim::PlcState& s) { s.completionStatus = 0x8123; });
    EXPECT_EQ(NLICCMRequest(dev, 0, 54, 15, 1, &code), static_cast<int32_t>(0xFFFF8123u))
        << "module status sign-extended";

    change([](nlisim::PlcState& s) {
        s.completionStatus = 0;
        s.completionCode = 0x23;
    });
    EXPECT_EQ(NLICCMRequest(dev, 0, 54, 15, 1, &code), NLIE_INVALID_RESPONSE);
    uint8_t ks[2] = {1, 2};
    uint16_t size = 2;
    EXPECT_EQ(NLIKSEQRequest(dev, 2, ks, &size), NLIE_INVALID_RESPONSE);
}

TEST_F(PlcTest, KSequenceReplyReplacesTheRequestBytes) {
    NLIDevice* dev = openDirect(0);
    ASSERT_NE(dev, nullptr);
    uint8_t buffer[16] = {0x4E, 0x21, 0x05, 0x33, 0x44};
    uint16_t size = sizeof buffer;
    ASSERT_EQ(NLIKSEQRequest(dev, 5, buffer, &size), 0);
    EXPECT_EQ(state().lastRequest, (Bytes{0x1A, 0x00, 0x05, 0x00, 0x4E, 0x21, 0x05, 0x33, 0x44}));
    EXPECT_EQ(size, 5);
    EXPECT_EQ(Bytes(buffer, buffer + 5), (Bytes{0x4E, 0x21, 0x05, 0x33, 0x44}));

    change([](nlisim::PlcState& s) { s.kseqReply = Bytes{0x06, 0x10, 0x20, 0x30, 0x40, 0x50}; });
    std::memset(buffer, 0, sizeof buffer);
    buffer[0] = 0x4E;
    size = sizeof buffer;
    ASSERT_EQ(NLIKSEQRequest(dev, 1, buffer, &size), 0);
    EXPECT_EQ(size, 6) << "the reply may be longer than the request";
    EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{0x06, 0x10, 0x20, 0x30, 0x40, 0x50}));

    // A reply larger than the capacity is cut to it.
    std::memset(buffer, 0xEE, sizeof buffer);
    buffer[0] = 0x4E;
    size = 3;
    EXPECT_EQ(NLIKSEQRequest(dev, 1, buffer, &size), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 3);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{0x06, 0x10, 0x20, 0xEE}));

    // An empty reply is a reply of length 0.
    change([](nlisim::PlcState& s) { s.kseqReply = Bytes{}; });
    size = sizeof buffer;
    ASSERT_EQ(NLIKSEQRequest(dev, 1, buffer, &size), 0);
    EXPECT_EQ(size, 0);
}

TEST_F(PlcTest, NoWaitIOSendsAndReturnsAtOnce) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    dev->noWaitIO = 1;
    uint8_t data[2] = {7, 8};
    EXPECT_EQ(NLICCMRequest(dev, 1, 49, 0x40, 2, data), NLIE_NO_RESPONSE);
    bool seen = false;
    for (int i = 0; i < 200 && !seen; ++i) {
        seen = state().requests == 1;
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(seen);
    EXPECT_EQ(state().read(49, 0x40), 7);
    EXPECT_EQ(state().read(49, 0x41), 8);

    dev->noWaitIO = 0;
    uint8_t back[2] = {};
    ASSERT_EQ(NLICCMRequest(dev, 0, 49, 0x40, 2, back), 0);
    EXPECT_EQ(Bytes(back, back + 2), (Bytes{7, 8}));
}

// The final answer must come within the device time-out: the PLC requests get no extra time.
TEST_F(PlcTest, SlowCpuTimesOut) {
    NLIDevice* dev = openDirect(0, 40, 0);
    ASSERT_NE(dev, nullptr);
    change([](nlisim::PlcState& s) { s.completionDelayMs = 200; });
    uint8_t code = 0;
    EXPECT_EQ(NLICCMRequest(dev, 0, 54, 15, 1, &code), NLIE_TIMEOUT);
}

TEST(PlcPlantFile, MemoryAndSettingsSurviveASave) {
    nlisim::Plant plant = nlisim::Plant::fromJson(nlisim::Json::parse(kPlant));
    nlisim::PlcState& s = plant.modules[0].feature<nlisim::PlcState>();
    s.write(49, 4664, 0x01);
    s.write(52, 7, 0x02);
    nlisim::Plant again = nlisim::Plant::fromJson(plant.toJson());
    nlisim::PlcState& t = again.modules[0].feature<nlisim::PlcState>();
    EXPECT_TRUE(t.present);
    EXPECT_EQ(t.cpuCode, 90);
    EXPECT_EQ(t.read(49, 4660), 0xDE);
    EXPECT_EQ(t.read(49, 4663), 0xEF);
    EXPECT_EQ(t.read(49, 4664), 0x01);
    EXPECT_EQ(t.read(52, 7), 0x02);
    EXPECT_EQ(t.memory, s.memory);
    EXPECT_FALSE(again.modules[1].feature<nlisim::PlcState>().present);
}

} // namespace
