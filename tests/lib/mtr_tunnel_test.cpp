// labels: integration
// The request tunnel: a device with tunnel 1 sends its requests through a simulated remote
// master, which hands them to the plant module it fronts and returns that module's answer.
#include "sim_fixture.h"

#include "../../sim/src/mailbox.h"
#include "../../sim/src/setup_store.h"

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
    { "mac": "00:E0:62:00:50:01", "family": 0, "name": "Host",
      "memory": { "areas": [], "sharedRam": [
        { "base": 0, "slot": 1, "remoteMaster": { "fronts": "00:E0:62:00:50:02" } },
        { "base": 0, "slot": 2, "remoteMaster": {} },
        { "base": 0, "slot": 3, "remoteMaster": { "stuck": true, "fronts": "00:E0:62:00:50:02" } }
      ] } },
    { "mac": "00:E0:62:00:50:02", "family": 1, "platform": 2, "name": "Behind",
      "versions": { "boot": "2.1.9", "os": "4.5.6" },
      "memory": { "areas": [ { "type": 1, "size": 512, "fill": 49 } ] } }
  ]
})";

enum class Form { Addressed, Direct };

class Tunnel : public testsupport::SimFixture, public testing::WithParamInterface<Form> {
  protected:
    void SetUp() override {
        startJson(kPlant);
        dev = GetParam() == Form::Addressed ? openDevice(0) : openDirect(0);
        ASSERT_NE(dev, nullptr);
        dev->tunnel = 1;
        dev->tunnelBase = 0;
        dev->tunnelSlot = 1;
        dev->tunnelParam = 5;
    }
    template <class F> auto withMaster(uint16_t slot, F&& fn) {
        return sim().withModule(0, [&](Module& m) { return fn(*RemoteMaster::at(m, 0, slot)); });
    }
    std::vector<MailboxOperation> operations(uint16_t slot = 1) {
        return withMaster(slot, [](RemoteMaster& r) { return r.operations; });
    }
    // Sends a raw request payload through the tunnel; returns the result, fills response.
    int32_t send(const Bytes& payload, uint8_t* response, uint16_t* length) {
        std::vector<uint8_t> request(dev->headerLength, 0);
        request.insert(request.end(), payload.begin(), payload.end());
        return _SendPacket(dev, request.data(), static_cast<uint32_t>(request.size()), response,
                           length, 1, 0);
    }
    NLIDevice* dev = nullptr;
};

TEST_P(Tunnel, VersionRequestReachesTheFrontedModule) {
    uint8_t through[50];
    std::memset(through, 0, sizeof through);
    EXPECT_EQ(NLIReadVersionInfo(dev, through, sizeof through), 0);
    EXPECT_EQ(dev->tunnel, 1) << "the flag is back on";

    // The same request straight to the fronted module answers the same.
    NLIDevice* behind = openDirect(1);
    ASSERT_NE(behind, nullptr);
    uint8_t direct[50];
    std::memset(direct, 0, sizeof direct);
    EXPECT_EQ(NLIReadVersionInfo(behind, direct, sizeof direct), 0);
    EXPECT_EQ(Bytes(through, through + 50), Bytes(direct, direct + 50));
    EXPECT_EQ(through[5], 4);
    EXPECT_EQ(through[6], 5);

    // The payload byte 0x01 went to area 4, then command 3 with tunnelParam 5 and length 1.
    auto ops = operations();
    ASSERT_GE(ops.size(), 3u);
    EXPECT_EQ(ops[0].start, 8);
    EXPECT_EQ(ops[0].area, 4);
    EXPECT_EQ(ops[0].offset, 0);
    EXPECT_EQ(ops[0].data, (Bytes{0x01}));
    EXPECT_EQ(ops[1].start, 6);
    EXPECT_EQ(ops[1].command, 3);
    EXPECT_EQ(ops[1].parameters, (Bytes{0x05, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x08}));
    // Then the status and length, then the answer from offset 4.
    EXPECT_EQ(ops[2].start, 7);
    EXPECT_EQ(ops[2].offset, 0);
    EXPECT_EQ(ops[2].length, 4);
    EXPECT_EQ(ops.back().offset, 4);
    EXPECT_EQ(withMaster(1, [](RemoteMaster& r) { return r.lastTunnelRequest; }), (Bytes{0x01}));
}

TEST_P(Tunnel, TwoResponseRequestGetsItsCompletion) {
    const char text[] = "Through the master";
    EXPECT_EQ(NLIWriteSetupData(dev, DT_DESCRIPTION, text, sizeof text), 0);
    Bytes held = sim().withModule(1, [](Module& m) {
        const Bytes* b = m.feature<nlisim::SetupStore>().get(DT_DESCRIPTION);
        return b ? *b : Bytes{};
    });
    EXPECT_EQ(held, Bytes(text, text + sizeof text));
}

TEST_P(Tunnel, AnswerLongerThanTheBufferIsNotDelivered) {
    // A memory read of 100 bytes: the answer is a status word and 100 bytes.
    Bytes read{0x25, 0x00, 0x01, 0x00, 100, 0x00, 0x00, 0x00, 0x00, 0x00};
    uint8_t response[200];
    std::memset(response, 0x7F, sizeof response);
    uint16_t length = 9 + 101;
    EXPECT_EQ(send(read, response, &length), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(Bytes(response, response + sizeof response), Bytes(sizeof response, 0x7F));
    EXPECT_EQ(dev->tunnel, 1);

    length = 9 + 102; // exactly enough
    EXPECT_EQ(send(read, response, &length), 0);
    EXPECT_EQ(length, 9 + 102);
    EXPECT_EQ(response[9] | response[10] << 8, 0);
    EXPECT_EQ(Bytes(response + 11, response + 111), Bytes(100, 49));
    EXPECT_EQ(response[111], 0x7F);

    uint8_t tiny[8];
    length = sizeof tiny;
    EXPECT_EQ(send(Bytes{0x00}, tiny, &length), NLIE_BUFFER_TOO_SMALL);
}

TEST_P(Tunnel, UnknownFunctionIsAnsweredByTheModule) {
    uint8_t response[50];
    uint16_t length = sizeof response;
    EXPECT_EQ(send(Bytes{0x77, 0x00}, response, &length), 0);
    ASSERT_EQ(length, 11);
    EXPECT_EQ(response[9] | response[10] << 8, nlisim::kStatusInvalidRequest);
}

TEST_P(Tunnel, NonZeroTunnelStatusDeliversNothing) {
    dev->tunnelSlot = 2; // a master that fronts nothing
    uint8_t version[50];
    std::memset(version, 0x7F, sizeof version);
    EXPECT_EQ(NLIReadVersionInfo(dev, version, sizeof version), nlisim::mailbox::kTunnelNoModule);
    EXPECT_EQ(Bytes(version, version + 50), Bytes(50, 0x7F));
    uint8_t response[50];
    uint16_t length = sizeof response;
    EXPECT_EQ(send(Bytes{0x01}, response, &length), nlisim::mailbox::kTunnelNoModule);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(dev->tunnel, 1);
}

TEST_P(Tunnel, StuckMasterTimesOut) {
    dev->tunnelSlot = 3;
    dev->timeoutMs = 30;
    uint8_t version[50];
    EXPECT_EQ(NLIReadVersionInfo(dev, version, sizeof version), NLIE_TIMEOUT);
    EXPECT_EQ(dev->tunnel, 1);
}

TEST_P(Tunnel, MalformedRequestsAreRefused) {
    uint8_t response[50];
    uint16_t length = sizeof response;
    uint8_t request[NLI_ADDRESSED_HEADER_LENGTH] = {};
    EXPECT_EQ(_SendPacket(dev, request, dev->headerLength - 1u, response, &length, 1, 0),
              NLIE_INVALID_REQUEST);
    EXPECT_EQ(_SendPacket(dev, request, dev->headerLength, response, nullptr, 1, 0),
              NLIE_INVALID_REQUEST);
    EXPECT_TRUE(operations().empty()) << "nothing reached the mailbox";
}

INSTANTIATE_TEST_SUITE_P(BothForms, Tunnel, testing::Values(Form::Addressed, Form::Direct),
                         [](const auto& p) {
                             return p.param == Form::Addressed ? "Addressed" : "Direct";
                         });

} // namespace
