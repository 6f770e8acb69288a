// labels: integration
// Setup data against the simulated module: reading, writing, deleting and enumerating items,
// the size limits, the copy rule and the module's status codes, over both device forms (the
// addressed broadcast form the application uses, and the direct form on the module's endpoint).
#include "sim_fixture.h"

#include "../../sim/src/setup_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using nlisim::Bytes;
using nlisim::Module;
using nlisim::SetupStore;

namespace {

const char* kPlant = R"({
  "modules": [
    { "mac": "00:E0:62:00:10:01", "family": 1, "platform": 2, "name": "Line 1",
      "setup": { "items": {
          "22": { "text": "Line 1" },
          "32": { "u32": 305419896 },
          "38": { "text": "Packaging line", "size": 256 },
          "16": { "ip": "192.168.1.20" } },
        "missingData": "DE AD" } },
    { "mac": "00:E0:62:00:10:02", "family": 0, "platform": 4, "generation": 1,
      "name": "Press base" }
  ]
})";

enum class Form { Addressed, Direct };

class SetupData : public testsupport::SimFixture, public testing::WithParamInterface<Form> {
  protected:
    void SetUp() override {
        startJson(kPlant);
        dev = GetParam() == Form::Addressed ? openDevice(0) : openDirect(0);
        ASSERT_NE(dev, nullptr);
    }
    SetupStore& store(Module& m) { return m.feature<SetupStore>(); }
    Bytes held(uint16_t code) {
        return sim().withModule(0, [&](Module& m) {
            const Bytes* b = store(m).get(code);
            return b ? *b : Bytes{};
        });
    }
    bool holds(uint16_t code) {
        return sim().withModule(0, [&](Module& m) { return store(m).has(code); });
    }
    uint32_t writesSeen() {
        return sim().withModule(0, [&](Module& m) { return store(m).writes; });
    }

    NLIDevice* dev = nullptr;
};

TEST_P(SetupData, ReadsAnItemWhole) {
    char name[256];
    std::memset(name, 0x7F, sizeof name);
    uint16_t size = sizeof name;
    EXPECT_EQ(NLIReadSetupData(dev, DT_NODE_NAME, name, &size), 0);
    EXPECT_EQ(size, 7);
    EXPECT_STREQ(name, "Line 1");
    EXPECT_EQ(name[7], 0x7F) << "nothing written past the item";

    uint8_t ip[4];
    size = sizeof ip;
    EXPECT_EQ(NLIReadSetupData(dev, DT_IP_ADDRESS, ip, &size), 0);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(Bytes(ip, ip + 4), (Bytes{192, 168, 1, 20}));

    uint8_t description[256];
    size = sizeof description;
    EXPECT_EQ(NLIReadSetupData(dev, DT_DESCRIPTION, description, &size), 0);
    EXPECT_EQ(size, 256);
}

TEST_P(SetupData, NodeNumberIntoTwoBytesGivesTheLowBytesAndBufferTooSmall) {
    uint8_t buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    uint16_t size = 2;
    EXPECT_EQ(NLIReadSetupData(dev, DT_NODE_NUMBER, buf, &size), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(buf[0], 0x78);
    EXPECT_EQ(buf[1], 0x56);
    EXPECT_EQ(buf[2], 0xEE) << "no copy past the capacity";

    size = 4;
    EXPECT_EQ(NLIReadSetupData(dev, DT_NODE_NUMBER, buf, &size), 0);
    EXPECT_EQ(size, 4);
    uint32_t id;
    std::memcpy(&id, buf, 4);
    EXPECT_EQ(id, 0x12345678u);

    size = 0;
    EXPECT_EQ(NLIReadSetupData(dev, DT_NODE_NUMBER, nullptr, &size), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 0);
}

TEST_P(SetupData, MissingItemGivesNotFoundWithWhateverDataFollowed) {
    uint8_t buf[8] = {};
    uint16_t size = sizeof buf;
    EXPECT_EQ(NLIReadSetupData(dev, DT_EMAIL_CONFIG, buf, &size), NLIE_NOT_FOUND);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(buf[0], 0xDE);
    EXPECT_EQ(buf[1], 0xAD);

    // The status still wins when the trailing data does not fit.
    size = 1;
    EXPECT_EQ(NLIReadSetupData(dev, DT_EMAIL_CONFIG, buf, &size), NLIE_NOT_FOUND);
    EXPECT_EQ(size, 1);

    sim().withModule(0, [&](Module& m) { store(m).missingData.clear(); });
    size = sizeof buf;
    EXPECT_EQ(NLIReadSetupData(dev, DT_EMAIL_CONFIG, buf, &size), NLIE_NOT_FOUND);
    EXPECT_EQ(size, 0);
}

TEST_P(SetupData, WriteStoresExactlyTheBytesSentAndReadsBack) {
    const char text[] = "Cell 7";
    EXPECT_EQ(NLIWriteSetupData(dev, DT_NODE_NAME, text, sizeof text), 0);
    EXPECT_EQ(held(DT_NODE_NAME), Bytes(text, text + sizeof text));

    char back[256];
    uint16_t size = sizeof back;
    EXPECT_EQ(NLIReadSetupData(dev, DT_NODE_NAME, back, &size), 0);
    EXPECT_EQ(size, sizeof text);
    EXPECT_STREQ(back, text);

    // A new item, and an empty one.
    const uint8_t mask[4] = {255, 255, 0, 0};
    EXPECT_EQ(NLIWriteSetupData(dev, DT_SUBNET_MASK, mask, 4), 0);
    EXPECT_EQ(held(DT_SUBNET_MASK), Bytes(mask, mask + 4));
    EXPECT_EQ(NLIWriteSetupData(dev, DT_MODEL_NAME, nullptr, 0), 0);
    EXPECT_TRUE(holds(DT_MODEL_NAME));
    EXPECT_TRUE(held(DT_MODEL_NAME).empty());

    EXPECT_EQ(NLIWriteSetupData(dev, DT_MODEL_NAME, nullptr, 3), NLIE_INVALID_REQUEST);
}

TEST_P(SetupData, WriteLimitIsSixHundredLessHeaderAndFour) {
    const uint16_t limit = static_cast<uint16_t>(600 - dev->headerLength - 4);
    EXPECT_EQ(limit, GetParam() == Form::Addressed ? 580 : 587);
    EXPECT_EQ(NLI_MAX_SETUP_WRITE(dev->headerLength), limit);
    std::vector<uint8_t> data(limit + 1);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);

    uint32_t before = writesSeen();
    EXPECT_EQ(
        NLIWriteSetupData(dev, DT_RXWX_NODE_ADDR_1, data.data(), static_cast<uint16_t>(limit + 1)),
        NLIE_DATA_TOO_LARGE);
    EXPECT_EQ(writesSeen(), before) << "nothing is sent";
    EXPECT_FALSE(holds(DT_RXWX_NODE_ADDR_1));

    EXPECT_EQ(NLIWriteSetupData(dev, DT_RXWX_NODE_ADDR_1, data.data(), limit), 0);
    EXPECT_EQ(held(DT_RXWX_NODE_ADDR_1), Bytes(data.begin(), data.begin() + limit));

    // The whole item comes back in one read (at most 589 bytes fit an answer).
    std::vector<uint8_t> back(600);
    uint16_t size = static_cast<uint16_t>(back.size());
    EXPECT_EQ(NLIReadSetupData(dev, DT_RXWX_NODE_ADDR_1, back.data(), &size), 0);
    EXPECT_EQ(size, limit);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + limit, back.begin()));

    EXPECT_EQ(NLIWriteSetupData(dev, DT_RXWX_NODE_ADDR_1, data.data(), 0xFFFF),
              NLIE_DATA_TOO_LARGE);
}

TEST_P(SetupData, WriteThatNeededAResendGivesRetriesOccurred) {
    sim().withModule(0, [&](Module& m) { store(m).ignoreWrites = 1; });
    uint16_t retriesBefore = dev->retryCount;
    const uint8_t id[4] = {9, 0, 0, 0};
    int32_t rc = NLIWriteSetupData(dev, DT_NODE_NUMBER, id, 4);
    EXPECT_EQ(rc, NLIE_RETRIES_OCCURRED);
    EXPECT_FALSE(NLI_FAILED(rc));
    EXPECT_EQ(dev->retryCount, retriesBefore + 1);
    EXPECT_EQ(held(DT_NODE_NUMBER), Bytes(id, id + 4));

    sim().withModule(0, [&](Module& m) { store(m).ignoreWrites = 1; });
    EXPECT_EQ(NLIDeleteSetupData(dev, DT_NODE_NUMBER), NLIE_RETRIES_OCCURRED);
    EXPECT_FALSE(holds(DT_NODE_NUMBER));
}

TEST_P(SetupData, WriteNobodyAnswersTimesOutAfterEveryAttempt) {
    sim().withModule(0, [&](Module& m) { store(m).ignoreWrites = 100; });
    const uint16_t timeout = dev->timeoutMs;
    const uint16_t retriesBefore = dev->retryCount;
    EXPECT_EQ(NLIWriteSetupData(dev, DT_NODE_NAME, "x", 2), NLIE_TIMEOUT);
    EXPECT_EQ(dev->retryCount, retriesBefore + 3);
    EXPECT_EQ(dev->timeoutMs, timeout) << "the 10 ms are given back";
    EXPECT_EQ(dev->retries, 3);
}

TEST_P(SetupData, ModuleStatusOfAWriteOrDeleteIsTheResult) {
    sim().withModule(0, [&](Module& m) { store(m).writeStatus = NLIE_FLASH_PROGRAM_ERROR; });
    EXPECT_EQ(NLIWriteSetupData(dev, DT_NODE_NAME, "New", 4), NLIE_FLASH_PROGRAM_ERROR);
    EXPECT_EQ(held(DT_NODE_NAME), Bytes({'L', 'i', 'n', 'e', ' ', '1', 0}));

    // A status with flag bits comes back sign-extended, as the module's whole 16-bit word.
    sim().withModule(0, [&](Module& m) { store(m).writeStatus = 0xF073; });
    EXPECT_EQ(NLIWriteSetupData(dev, DT_NODE_NAME, "New", 4),
              static_cast<int32_t>(static_cast<int16_t>(0xF073)));

    sim().withModule(0, [&](Module& m) { store(m).deleteStatus = NLIE_MODULE_BUSY; });
    EXPECT_EQ(NLIDeleteSetupData(dev, DT_NODE_NAME), NLIE_MODULE_BUSY);
    EXPECT_TRUE(holds(DT_NODE_NAME));
}

TEST_P(SetupData, DeleteRemovesTheItem) {
    EXPECT_EQ(NLIDeleteSetupData(dev, DT_DESCRIPTION), 0);
    EXPECT_FALSE(holds(DT_DESCRIPTION));
    uint8_t buf[256];
    uint16_t size = sizeof buf;
    EXPECT_EQ(NLIReadSetupData(dev, DT_DESCRIPTION, buf, &size), NLIE_NOT_FOUND);
    EXPECT_EQ(NLIDeleteSetupData(dev, DT_DESCRIPTION), NLIE_NOT_FOUND);
}

TEST_P(SetupData, EnumerationCutToTheCallersRoom) {
    sim().withModule(0, [&](Module& m) {
        store(m).clear();
        for (uint16_t k = 0; k < 120; ++k)
            store(m).set(static_cast<uint16_t>(1000 + 3 * k), {1});
    });
    std::vector<uint16_t> codes(200, 0xBEEF);
    uint16_t count = 100;
    EXPECT_EQ(NLIEnumSetupData(dev, codes.data(), &count), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 100);
    for (uint16_t k = 0; k < 100; ++k)
        EXPECT_EQ(codes[k], 1000 + 3 * k) << k;
    EXPECT_EQ(codes[100], 0xBEEF) << "no copy past the room";

    count = 200;
    EXPECT_EQ(NLIEnumSetupData(dev, codes.data(), &count), 0);
    EXPECT_EQ(count, 120);
    EXPECT_EQ(codes[119], 1000 + 3 * 119);

    count = 0;
    EXPECT_EQ(NLIEnumSetupData(dev, nullptr, &count), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 0);

    sim().withModule(0, [&](Module& m) { store(m).clear(); });
    count = 200;
    EXPECT_EQ(NLIEnumSetupData(dev, codes.data(), &count), 0);
    EXPECT_EQ(count, 0);
}

TEST_P(SetupData, EnumerationClaimingMoreCodesThanItCarriesIsRefused) {
    sim().withModule(0, [&](Module& m) {
        store(m).clear();
        for (uint16_t code : {uint16_t{16}, uint16_t{22}, uint16_t{32}})
            store(m).set(code, {0});
        store(m).enumCountExtra = 50; // states 53 codes, carries 3
    });
    std::vector<uint16_t> codes(100, 0xBEEF);
    uint16_t count = 100;
    EXPECT_EQ(NLIEnumSetupData(dev, codes.data(), &count), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(count, 3) << "only the codes that arrived";
    EXPECT_EQ(codes[0], 16);
    EXPECT_EQ(codes[2], 32);
    EXPECT_EQ(codes[3], 0xBEEF) << "nothing invented past the answer";
}

TEST_P(SetupData, TimeoutIsGivenBackByEveryCallEvenOnFailure) {
    const uint16_t timeout = dev->timeoutMs;
    uint8_t buf[16];
    uint16_t size = sizeof buf;
    NLIReadSetupData(dev, DT_NODE_NAME, buf, &size);
    EXPECT_EQ(dev->timeoutMs, timeout);
    NLIWriteSetupData(dev, DT_GATEWAY, "\1\2\3\4", 4);
    EXPECT_EQ(dev->timeoutMs, timeout);
    NLIDeleteSetupData(dev, DT_GATEWAY);
    EXPECT_EQ(dev->timeoutMs, timeout);
    uint16_t codes[8];
    uint16_t count = 8;
    NLIEnumSetupData(dev, codes, &count);
    EXPECT_EQ(dev->timeoutMs, timeout);

    // A silent module: every call times out and the time-out is still given back.
    nlisim::Faults silent;
    silent.silent = true;
    sim().setFaults(0, silent);
    dev->retries = 0;
    size = sizeof buf;
    EXPECT_EQ(NLIReadSetupData(dev, DT_NODE_NAME, buf, &size), NLIE_TIMEOUT);
    EXPECT_EQ(dev->timeoutMs, timeout);
    count = 8;
    EXPECT_EQ(NLIEnumSetupData(dev, codes, &count), NLIE_TIMEOUT);
    EXPECT_EQ(dev->timeoutMs, timeout);
    EXPECT_EQ(NLIDeleteSetupData(dev, DT_NODE_NAME), NLIE_TIMEOUT);
    EXPECT_EQ(dev->timeoutMs, timeout);
}

TEST_P(SetupData, BadChecksumAnswerIsACrcMismatch) {
    nlisim::Faults bad;
    bad.badChecksum = true;
    sim().setFaults(0, bad);
    uint8_t buf[16];
    uint16_t size = sizeof buf;
    uint16_t crcErrors = dev->crcErrorCount;
    EXPECT_EQ(NLIReadSetupData(dev, DT_NODE_NAME, buf, &size), NLIE_CRC_MISMATCH);
    EXPECT_EQ(size, sizeof buf) << "size untouched on an engine failure";
    EXPECT_EQ(dev->crcErrorCount, crcErrors + 1);
    EXPECT_EQ(NLIWriteSetupData(dev, DT_NODE_NAME, "x", 2), NLIE_CRC_MISMATCH);
}

TEST_P(SetupData, ArgumentsRefusedWithoutSending) {
    uint8_t buf[4];
    uint16_t size = 4;
    EXPECT_EQ(NLIReadSetupData(nullptr, DT_NODE_NAME, buf, &size), NLIE_INVALID_DEVICE);
    EXPECT_EQ(NLIReadSetupData(dev, DT_NODE_NAME, buf, nullptr), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIReadSetupData(dev, DT_NODE_NAME, nullptr, &size), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIWriteSetupData(nullptr, DT_NODE_NAME, buf, 4), NLIE_INVALID_DEVICE);
    EXPECT_EQ(NLIDeleteSetupData(nullptr, DT_NODE_NAME), NLIE_INVALID_DEVICE);
    uint16_t count = 4;
    EXPECT_EQ(NLIEnumSetupData(nullptr, nullptr, &count), NLIE_INVALID_DEVICE);
    EXPECT_EQ(NLIEnumSetupData(dev, nullptr, nullptr), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIEnumSetupData(dev, nullptr, &count), NLIE_INVALID_REQUEST);
    EXPECT_EQ(writesSeen(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Forms, SetupData, testing::Values(Form::Addressed, Form::Direct),
                         [](const testing::TestParamInfo<Form>& p) {
                             return p.param == Form::Addressed ? "Addressed" : "Direct";
                         });

// -------------------------------------------------------------------------------------------

class SetupDiscovery : public testsupport::SimFixture {};

TEST_F(SetupDiscovery, QueryWithAnItemFindsTheModuleHoldingThoseBytes) {
    startJson(kPlant);
    ASSERT_EQ(foundCount(), 2);
    NLIDevice found[4] = {};
    uint16_t count = 4;
    const char name[] = "Line 1";
    EXPECT_EQ(NLIQueryDeviceData(&transport(), found, &count, NLI_INTERFACE_VERSION, DT_NODE_NAME,
                                 name, sizeof name),
              0);
    ASSERT_EQ(count, 1);
    nlisim::Mac mac = moduleMac(0);
    EXPECT_EQ(0, std::memcmp(found[0].ethernetAddress, mac.data(), 6));

    // Rename the other module through the library; the query then finds it instead.
    NLIDevice* other = openDevice(1);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(NLIWriteSetupData(other, DT_NODE_NAME, name, sizeof name), 0);
    NLIDevice* first = openDevice(0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(NLIWriteSetupData(first, DT_NODE_NAME, "Line 2", 7), 0);
    count = 4;
    EXPECT_EQ(NLIQueryDeviceData(&transport(), found, &count, NLI_INTERFACE_VERSION, DT_NODE_NAME,
                                 name, sizeof name),
              0);
    ASSERT_EQ(count, 1);
    mac = moduleMac(1);
    EXPECT_EQ(0, std::memcmp(found[0].ethernetAddress, mac.data(), 6));

    // Bytes that nobody holds: nobody answers.
    count = 4;
    EXPECT_EQ(NLIQueryDeviceData(&transport(), found, &count, NLI_INTERFACE_VERSION, DT_NODE_NAME,
                                 "Line", 4),
              0);
    EXPECT_EQ(count, 0);
}

// What the application does on a factory restore: enumerate with room for 100, delete all but
// the identity items, write the identity again.
TEST_F(SetupDiscovery, FactoryRestoreSequenceOnAGeneratedModule) {
    startGenerated(2);
    NLIDevice* dev = openDevice(0); // a second-generation-capable communication module
    ASSERT_NE(dev, nullptr);
    uint16_t codes[100];
    uint16_t count = 100;
    ASSERT_EQ(NLIEnumSetupData(dev, codes, &count), 0);
    ASSERT_GT(count, 4);
    const uint16_t keep[] = {DT_IP_ADDRESS, DT_NODE_NAME, DT_NODE_NUMBER, DT_DESCRIPTION,
                             DT_IP_SETUP};
    for (uint16_t k = 0; k < count; ++k) {
        if (std::find(std::begin(keep), std::end(keep), codes[k]) == std::end(keep)) {
            EXPECT_EQ(NLIDeleteSetupData(dev, codes[k]), 0) << codes[k];
        }
    }
    const uint8_t unset[4] = {255, 255, 255, 255};
    EXPECT_EQ(NLIWriteSetupData(dev, DT_IP_ADDRESS, unset, 4), 0);
    uint16_t after[100];
    uint16_t n = 100;
    ASSERT_EQ(NLIEnumSetupData(dev, after, &n), 0);
    for (uint16_t k = 0; k < n; ++k)
        EXPECT_NE(std::find(std::begin(keep), std::end(keep), after[k]), std::end(keep))
            << after[k];
}

} // namespace
