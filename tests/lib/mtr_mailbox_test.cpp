// labels: integration
// The remote-master mailbox against simulated masters in a base controller's slots: chunked data
// transfers, commands with and without parameters, busy, stuck and failing mailboxes, and the
// controller module's names for the same calls.
#include "sim_fixture.h"

#include "../../sim/src/mailbox.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using nlisim::Bytes;
using nlisim::MailboxOperation;
using nlisim::Module;
using nlisim::RemoteMaster;

namespace {

const char* kPlant = R"({
  "modules": [
    { "mac": "00:E0:62:00:40:01", "family": 0, "name": "Host",
      "memory": { "areas": [], "sharedRam": [
        { "base": 0, "slot": 1, "remoteMaster": {
            "areas": [ { "area": 1, "size": 1024 }, { "area": 2, "size": 700 } ],
            "commandErrors": { "17": 258 } } },
        { "base": 0, "slot": 2, "remoteMaster": { "busyPolls": 3 } },
        { "base": 0, "slot": 3, "remoteMaster": { "stuck": true } },
        { "base": 0, "slot": 4, "remoteMaster": { "failWithoutCode": true } } ] } }
  ]
})";

constexpr uint16_t kMaster = 1, kBusy = 2, kStuck = 3, kNoCode = 4;

class Mailbox : public testsupport::SimFixture {
  protected:
    void SetUp() override {
        startJson(kPlant);
        dev = openDevice(0, 100, 1);
        ASSERT_NE(dev, nullptr);
    }
    template <class F> auto withMaster(uint16_t slot, F&& fn) {
        return sim().withModule(0, [&](Module& m) { return fn(*RemoteMaster::at(m, 0, slot)); });
    }
    std::vector<MailboxOperation> operations(uint16_t slot) {
        return withMaster(slot, [](RemoteMaster& r) { return r.operations; });
    }
    Bytes area(uint16_t slot, uint16_t n) {
        return withMaster(slot, [&](RemoteMaster& r) { return r.areas.at(n); });
    }
    uint32_t requests() {
        return sim().withModule(0, [](Module& m) { return m.requestsReceived; });
    }
    static std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 13);
        return v;
    }
    NLIDevice* dev = nullptr;
};

TEST_F(Mailbox, WritesInChunksOf256) {
    auto data = pattern(600, 3);
    EXPECT_EQ(NLIWriteMTRData(dev, 0, kMaster, 2, data.data(), 600, 0), 0);
    auto ops = operations(kMaster);
    ASSERT_EQ(ops.size(), 3u);
    const uint16_t offsets[] = {0, 256, 512}, lengths[] = {256, 256, 88};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(ops[i].start, 8) << i;
        EXPECT_EQ(ops[i].area, 2) << i;
        EXPECT_EQ(ops[i].offset, offsets[i]) << i;
        EXPECT_EQ(ops[i].length, lengths[i]) << i;
        EXPECT_EQ(ops[i].error, 0) << i;
    }
    Bytes held = area(kMaster, 2);
    EXPECT_EQ(Bytes(held.begin(), held.begin() + 600), Bytes(data.begin(), data.end()));
    EXPECT_EQ(held[600], 0);
}

TEST_F(Mailbox, ReadsInChunksOf256) {
    auto data = pattern(600, 41);
    ASSERT_EQ(NLIWriteMTRData(dev, 0, kMaster, 1, data.data(), 600, 100), 0);
    std::vector<uint8_t> back(601, 0x7F);
    EXPECT_EQ(NLIReadMTRData(dev, 0, kMaster, 1, back.data(), 600, 100), 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    EXPECT_EQ(back[600], 0x7F);
    auto ops = operations(kMaster);
    ASSERT_EQ(ops.size(), 6u);
    const uint16_t offsets[] = {100, 356, 612}, lengths[] = {256, 256, 88};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(ops[3 + i].start, 7) << i;
        EXPECT_EQ(ops[3 + i].offset, offsets[i]) << i;
        EXPECT_EQ(ops[3 + i].length, lengths[i]) << i;
    }
}

TEST_F(Mailbox, NothingToMove) {
    uint32_t before = requests();
    uint8_t b = 0;
    EXPECT_EQ(NLIReadMTRData(dev, 0, kMaster, 1, &b, 0, 0), 0);
    EXPECT_EQ(NLIWriteMTRData(dev, 0, kMaster, 1, &b, 0, 0), 0);
    EXPECT_EQ(NLIReadMTRData(dev, 0, kMaster, 1, nullptr, 0, 0), 0);
    EXPECT_EQ(requests(), before) << "the mailbox is not touched";
}

TEST_F(Mailbox, RefusedWithoutTouchingTheMailbox) {
    uint32_t before = requests();
    std::vector<uint8_t> params(NLI_MTR_MAX_PARAMETERS + 1, 1);
    EXPECT_EQ(NLIDoMTRCommandEx(dev, 0, kMaster, 5, params.data(), NLI_MTR_MAX_PARAMETERS + 1),
              NLIE_DATA_TOO_LARGE);
    EXPECT_EQ(NLIDoMTRCommandEx(dev, 0, kMaster, 5, nullptr, 4), NLIE_INVALID_REQUEST);
    // An offset word of 16 bits: the transfer would wrap to the area's start.
    EXPECT_EQ(NLIWriteMTRData(dev, 0, kMaster, 1, params.data(), 200, 0xFF80), NLIE_DATA_TOO_LARGE);
    EXPECT_EQ(NLIReadMTRData(dev, 0, kMaster, 1, params.data(), 257, 0xFF00), NLIE_DATA_TOO_LARGE);
    EXPECT_EQ(NLIWriteMTRData(dev, 0, kMaster, 1, nullptr, 4, 0), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIReadMTRData(dev, 0, kMaster, 1, nullptr, 4, 0), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIDoMTRCommand(nullptr, 0, kMaster, 5), NLIE_INVALID_DEVICE);
    EXPECT_EQ(requests(), before);
}

TEST_F(Mailbox, CommandsAndTheirParameters) {
    EXPECT_EQ(NLIDoMTRCommand(dev, 0, kMaster, 0x21), 0);
    const uint8_t p[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(NLIDoMTRCommandEx(dev, 0, kMaster, 0x22, p, sizeof p), 0);
    auto longest = pattern(NLI_MTR_MAX_PARAMETERS, 9); // runs on into the data window
    EXPECT_EQ(NLIDoMTRCommandEx(dev, 0, kMaster, 0x23, longest.data(), NLI_MTR_MAX_PARAMETERS), 0);
    auto ops = operations(kMaster);
    ASSERT_EQ(ops.size(), 3u);
    EXPECT_EQ(ops[0].start, 6);
    EXPECT_EQ(ops[0].command, 0x21);
    EXPECT_TRUE(ops[0].parameters.empty());
    EXPECT_EQ(ops[1].command, 0x22);
    EXPECT_EQ(ops[1].parameters, Bytes(p, p + 5));
    EXPECT_EQ(ops[2].parameters, Bytes(longest.begin(), longest.end()));
}

TEST_F(Mailbox, FailedMailboxGivesItsErrorCode) {
    uint8_t buf[100] = {};
    EXPECT_EQ(NLIWriteMTRData(dev, 0, kMaster, 9, buf, 10, 0), nlisim::mailbox::kErrorUnknownArea);
    EXPECT_EQ(NLIReadMTRData(dev, 0, kMaster, 1, buf, 100, 1000), nlisim::mailbox::kErrorRange);
    // Error 0x0102: one byte for the plain command, both for the parameterised one.
    EXPECT_EQ(NLIDoMTRCommand(dev, 0, kMaster, 17), 0x02);
    EXPECT_EQ(NLIDoMTRCommandEx(dev, 0, kMaster, 17, buf, 3), 0x0102);
}

TEST_F(Mailbox, FailureWithoutCodeIsNoSuccess) {
    uint8_t buf[8] = {};
    EXPECT_EQ(NLIWriteMTRData(dev, 0, kNoCode, 1, buf, 8, 0), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(NLIReadMTRData(dev, 0, kNoCode, 1, buf, 8, 0), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(NLIDoMTRCommand(dev, 0, kNoCode, 1), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(NLIDoMTRCommandEx(dev, 0, kNoCode, 1, buf, 2), NLIE_INVALID_RESPONSE);
}

TEST_F(Mailbox, BusyForAWhileThenDone) {
    auto data = pattern(300, 77);
    EXPECT_EQ(NLIWriteMTRData(dev, 0, kBusy, 1, data.data(), 300, 0), 0);
    EXPECT_EQ(withMaster(kBusy, [](RemoteMaster& r) { return r.statusReads; }), 2u * (3 + 1))
        << "each chunk polled through three busy answers";
    std::vector<uint8_t> back(300);
    EXPECT_EQ(NLIReadMTRData(dev, 0, kBusy, 1, back.data(), 300, 0), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(NLIDoMTRCommand(dev, 0, kBusy, 1), 0);
    EXPECT_EQ(NLIDoMTRCommandEx(dev, 0, kBusy, 1, data.data(), 4), 0);
}

TEST_F(Mailbox, BusyMailboxTimesOut) {
    dev->timeoutMs = 30;
    uint8_t buf[16] = {};
    EXPECT_EQ(NLIWriteMTRData(dev, 0, kStuck, 1, buf, 16, 0), NLIE_TIMEOUT);
    EXPECT_EQ(NLIReadMTRData(dev, 0, kStuck, 1, buf, 16, 0), NLIE_TIMEOUT);
    EXPECT_EQ(NLIDoMTRCommand(dev, 0, kStuck, 1), NLIE_TIMEOUT);
    EXPECT_EQ(NLIDoMTRCommandEx(dev, 0, kStuck, 1, buf, 4), NLIE_TIMEOUT);
    uint32_t polls = withMaster(kStuck, [](RemoteMaster& r) { return r.statusReads; });
    EXPECT_GE(polls, 4u) << "each call asked at least once";
    EXPECT_EQ(operations(kStuck).size(), 4u);
}

TEST_F(Mailbox, SharedRamFailuresComeThrough) {
    uint8_t buf[8] = {};
    // Nothing at base 5, slot 5: the shared-RAM requests themselves fail with 118.
    EXPECT_EQ(NLIWriteMTRData(dev, 5, 5, 1, buf, 8, 0), 118);
    EXPECT_EQ(NLIReadMTRData(dev, 5, 5, 1, buf, 8, 0), 118);
    EXPECT_EQ(NLIDoMTRCommand(dev, 5, 5, 1), 118);
    EXPECT_EQ(NLIDoMTRCommandEx(dev, 5, 5, 1, buf, 2), 118);
}

TEST_F(Mailbox, SilentModuleTimesOut) {
    dev->timeoutMs = 20;
    dev->retries = 0;
    sim().setFaults(0, nlisim::Faults{.silent = true});
    uint8_t buf[8] = {};
    EXPECT_EQ(NLIWriteMTRData(dev, 0, kMaster, 1, buf, 8, 0), NLIE_TIMEOUT);
    EXPECT_EQ(NLIReadMTRData(dev, 0, kMaster, 1, buf, 8, 0), NLIE_TIMEOUT);
    EXPECT_EQ(NLIDoMTRCommand(dev, 0, kMaster, 1), NLIE_TIMEOUT);
    EXPECT_EQ(NLIDoMTRCommandEx(dev, 0, kMaster, 1, buf, 2), NLIE_TIMEOUT);
}

TEST_F(Mailbox, ControllerNamesAreTheSameCalls) {
    auto data = pattern(300, 5);
    EXPECT_EQ(XPLCWriteMTRData(dev, 0, kMaster, 2, data.data(), 300, 10), 0);
    std::vector<uint8_t> back(300);
    EXPECT_EQ(XPLCReadMTRData(dev, 0, kMaster, 2, back.data(), 300, 10), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(XPLCDoMTRCommand(dev, 0, kMaster, 17), 0x02);
    EXPECT_EQ(XPLCDoMTRCommandEx(dev, 0, kMaster, 17, data.data(), 2), 0x0102);
    EXPECT_EQ(XPLCDoMTRCommandEx(dev, 0, kMaster, 0x30, data.data(), 3), 0);
    auto ops = operations(kMaster);
    ASSERT_EQ(ops.size(), 2u + 2u + 3u);
    EXPECT_EQ(ops.back().command, 0x30);
    EXPECT_EQ(ops.back().parameters, Bytes(data.begin(), data.begin() + 3));
    dev->timeoutMs = 20;
    EXPECT_EQ(XPLCDoMTRCommand(dev, 0, kStuck, 1), NLIE_TIMEOUT);
}

} // namespace
