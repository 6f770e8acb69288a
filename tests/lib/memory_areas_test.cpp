// labels: integration
// Typed memory areas against the simulated module: reading, writing, enumerating and the
// combined access request, their limits, the status rule for delivered data, and answers that
// say more than they carry.
#include "sim_fixture.h"

#include "../../sim/src/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using nlisim::Bytes;
using nlisim::MemoryState;
using nlisim::Module;

namespace {

const char* kPlant = R"({
  "modules": [
    { "mac": "00:E0:62:00:20:01", "family": 0, "name": "Base",
      "memory": { "areas": [
        { "type": 1, "name": "RAM", "address": 0, "size": 1024,
          "contents": { "0": "11 22 33 44", "1000": "A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF B0 B1 B2 B3 B4 B5 B6 B7 B8" } },
        { "type": 2, "name": "ROM", "address": 4096, "size": 64, "writable": false, "fill": 165 },
        { "type": 3, "name": "Timers", "address": 0, "size": 32 },
        { "type": 4, "name": "Counters", "address": 0, "size": 32 },
        { "type": 5, "name": "Flags", "address": 0, "size": 16 },
        { "type": 6, "name": "Log", "address": 65536, "size": 600 } ] } },
    { "mac": "00:E0:62:00:20:02", "family": 1, "name": "Liar",
      "memory": { "areas": [ { "type": 1, "address": 0, "size": 256, "fill": 90 } ],
                  "faults": { "shortReadBy": 3, "announceExtraAreas": 2,
                              "corruptAccessEntry": true } } }
  ]
})";

enum class Form { Addressed, Direct };

class MemoryTest : public testsupport::SimFixture {
  protected:
    void SetUp() override { startJson(kPlant); }
    Bytes area(size_t module, uint16_t type) {
        return sim().withModule(module, [&](Module& m) {
            return m.feature<MemoryState>().findArea(type, 0)->bytes;
        });
    }
    Bytes areaAt(size_t module, uint16_t type, uint32_t address) {
        return sim().withModule(module, [&](Module& m) {
            return m.feature<MemoryState>().findArea(type, address)->bytes;
        });
    }
    uint32_t requests(size_t module) {
        return sim().withModule(module, [](Module& m) { return m.requestsReceived; });
    }
    Bytes lastRequest(size_t module) {
        return sim().withModule(module,
                                [](Module& m) { return m.feature<MemoryState>().lastRequest; });
    }
};

class MemoryForms : public MemoryTest, public testing::WithParamInterface<Form> {
  protected:
    void SetUp() override {
        MemoryTest::SetUp();
        dev = GetParam() == Form::Addressed ? openDevice(0) : openDirect(0);
        ASSERT_NE(dev, nullptr);
    }
    NLIDevice* dev = nullptr;
};

TEST_P(MemoryForms, ReadsWhatTheAreaHolds) {
    uint8_t buf[8];
    std::memset(buf, 0x7F, sizeof buf);
    EXPECT_EQ(NLIReadMemory(dev, 1, 0, 4, buf), 0);
    EXPECT_EQ(Bytes(buf, buf + 5), (Bytes{0x11, 0x22, 0x33, 0x44, 0x7F}));
    // The request as the module received it: 0x25 0x00, type, length, address.
    EXPECT_EQ(lastRequest(0), (Bytes{0x25, 0x00, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00}));

    uint8_t rom[64];
    EXPECT_EQ(NLIReadMemory(dev, 2, 4096, sizeof rom, rom), 0);
    EXPECT_EQ(Bytes(rom, rom + sizeof rom), Bytes(64, 0xA5));
}

TEST_P(MemoryForms, WritesAndReadsBack) {
    std::vector<uint8_t> data(NLI_MAX_MEMORY_WRITE);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    EXPECT_EQ(NLIWriteMemory(dev, 1, 100, static_cast<uint16_t>(data.size()), data.data()), 0);
    Bytes held = area(0, 1);
    EXPECT_EQ(Bytes(held.begin() + 100, held.begin() + 100 + 512), Bytes(data.begin(), data.end()));

    std::vector<uint8_t> back(NLI_MAX_MEMORY_READ, 0);
    EXPECT_EQ(NLIReadMemory(dev, 1, 100, 512, back.data()), 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
}

TEST_P(MemoryForms, StatusOfTheLengthWarningDeliversTheData) {
    // Eight bytes asked at 1016 of a 1024-byte area, plus eight more past its end.
    uint8_t buf[16];
    std::memset(buf, 0x7F, sizeof buf);
    EXPECT_EQ(NLIReadMemory(dev, 1, 1016, 16, buf), NLIE_LENGTH_WARNING);
    Bytes held = area(0, 1);
    EXPECT_EQ(Bytes(buf, buf + 8), Bytes(held.begin() + 1016, held.end()));
    EXPECT_EQ(Bytes(buf + 8, buf + 16), Bytes(8, 0x7F)) << "nothing the module did not send";
}

INSTANTIATE_TEST_SUITE_P(BothForms, MemoryForms, testing::Values(Form::Addressed, Form::Direct),
                         [](const auto& p) {
                             return p.param == Form::Addressed ? "Addressed" : "Direct";
                         });

TEST_F(MemoryTest, ModuleErrorsLeaveTheBufferAlone) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    struct Case {
        uint16_t type;
        uint32_t address;
        uint16_t length;
        int32_t expected;
    } cases[] = {
        {9, 0, 4, 111},        // no such memory type
        {1, 5000, 4, 140},     // outside the area
        {2, 4000, 4, 140},     // below the ROM
    };
    for (const Case& c : cases) {
        uint8_t buf[4] = {0x7F, 0x7F, 0x7F, 0x7F};
        EXPECT_EQ(NLIReadMemory(dev, c.type, c.address, c.length, buf), c.expected)
            << "type " << c.type << " address " << c.address;
        EXPECT_EQ(Bytes(buf, buf + 4), Bytes(4, 0x7F));
    }
    uint8_t four[4] = {1, 2, 3, 4};
    EXPECT_EQ(NLIWriteMemory(dev, 2, 4096, 4, four), 126) << "read-only";
    EXPECT_EQ(NLIWriteMemory(dev, 1, 1022, 4, four), 133) << "past the end";
    EXPECT_EQ(NLIWriteMemory(dev, 9, 0, 4, four), 111);
    Bytes held = area(0, 1);
    EXPECT_EQ(held[1022], 0xB7) << "a refused write writes nothing";
}

TEST_F(MemoryTest, ShortAnswerWithCleanStatusIsRefused) {
    NLIDevice* dev = openDevice(1);
    ASSERT_NE(dev, nullptr);
    uint8_t buf[10];
    std::memset(buf, 0x7F, sizeof buf);
    // The module answers status 0 with 3 bytes fewer than asked.
    EXPECT_EQ(NLIReadMemory(dev, 1, 0, 10, buf), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(Bytes(buf, buf + 7), Bytes(7, 90)) << "the bytes that came are delivered";
    EXPECT_EQ(Bytes(buf + 7, buf + 10), Bytes(3, 0x7F)) << "and no others";
}

TEST_F(MemoryTest, RefusedWithoutSending) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint32_t before = requests(0);
    std::vector<uint8_t> big(1024, 1);
    EXPECT_EQ(NLIWriteMemory(dev, 1, 0, NLI_MAX_MEMORY_WRITE + 1, big.data()), NLIE_DATA_TOO_LARGE);
    EXPECT_EQ(NLIReadMemory(dev, 1, 0, NLI_MAX_MEMORY_READ + 1, big.data()), NLIE_DATA_TOO_LARGE);
    EXPECT_EQ(NLIReadMemory(dev, 1, 0, 4, nullptr), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIWriteMemory(dev, 1, 0, 4, nullptr), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIReadMemory(nullptr, 1, 0, 4, big.data()), NLIE_INVALID_DEVICE);
    uint16_t count = 4;
    EXPECT_EQ(NLIENumMemory(dev, &count, nullptr), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIENumMemory(dev, nullptr, big.data()), NLIE_INVALID_REQUEST);
    EXPECT_EQ(requests(0), before);
    EXPECT_EQ(Bytes(big.begin(), big.begin() + 4), Bytes(4, 1));
}

TEST_F(MemoryTest, EngineFailuresComeThrough) {
    NLIDevice* dev = openDirect(0, 20, 1);
    ASSERT_NE(dev, nullptr);
    sim().setFaults(0, nlisim::Faults{.silent = true});
    uint8_t buf[4] = {0x7F, 0x7F, 0x7F, 0x7F};
    EXPECT_EQ(NLIReadMemory(dev, 1, 0, 4, buf), NLIE_TIMEOUT);
    EXPECT_EQ(NLIWriteMemory(dev, 1, 0, 4, buf), NLIE_TIMEOUT);
    uint16_t count = 1;
    uint8_t descriptor[22];
    EXPECT_EQ(NLIENumMemory(dev, &count, descriptor), NLIE_TIMEOUT);
    NLIMemoryAccess r{NLI_MEMORY_READ, 1, 0, 4, buf};
    EXPECT_EQ(NLIAccessMemory(dev, &r, 1), NLIE_TIMEOUT);
    EXPECT_EQ(Bytes(buf, buf + 4), Bytes(4, 0x7F));
}

TEST_F(MemoryTest, EnumeratesTheAreas) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t buf[10 * NLI_MEMORY_DESCRIPTOR_SIZE];
    uint16_t count = 10;
    EXPECT_EQ(NLIENumMemory(dev, &count, buf), 0);
    ASSERT_EQ(count, 6);
    // Descriptors are passed on as sent; this module's: type, flags, address, size, name.
    const uint8_t* rom = buf + NLI_MEMORY_DESCRIPTOR_SIZE;
    EXPECT_EQ(rom[0] | rom[1] << 8, 2);
    EXPECT_EQ(rom[2] & 1, 0) << "read-only";
    EXPECT_EQ(rom[4] | rom[5] << 8, 4096);
    EXPECT_EQ(rom[8] | rom[9] << 8, 64);
    EXPECT_STREQ(reinterpret_cast<const char*>(rom + 12), "ROM");
}

TEST_F(MemoryTest, EnumerationCutToTheCallersRoom) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t buf[6 * NLI_MEMORY_DESCRIPTOR_SIZE];
    std::memset(buf, 0x7F, sizeof buf);
    uint16_t count = 4;
    EXPECT_EQ(NLIENumMemory(dev, &count, buf), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 4);
    EXPECT_NE(buf[87], 0x7F);
    EXPECT_EQ(Bytes(buf + 88, buf + sizeof buf), Bytes(sizeof buf - 88, 0x7F)) << "88 bytes only";
}

TEST_F(MemoryTest, EnumerationAnnouncingMoreThanItCarries) {
    NLIDevice* dev = openDevice(1);
    ASSERT_NE(dev, nullptr);
    uint8_t buf[10 * NLI_MEMORY_DESCRIPTOR_SIZE];
    std::memset(buf, 0x7F, sizeof buf);
    uint16_t count = 10;
    // One descriptor sent, three announced.
    EXPECT_EQ(NLIENumMemory(dev, &count, buf), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(buf[NLI_MEMORY_DESCRIPTOR_SIZE], 0x7F) << "nothing copied past what arrived";
}

TEST_F(MemoryTest, AccessWritesAndReadsInOneRequest) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t out[100];
    for (size_t i = 0; i < sizeof out; ++i) out[i] = static_cast<uint8_t>(200 - i);
    uint8_t in[50];
    std::memset(in, 0, sizeof in);
    NLIMemoryAccess records[] = {
        {NLI_MEMORY_WRITE, 1, 200, sizeof out, out},
        {NLI_MEMORY_READ, 1, 970, sizeof in, in},
    };
    EXPECT_EQ(NLIAccessMemory(dev, records, 2), 0);
    Bytes sent = lastRequest(0);
    EXPECT_EQ(sent.size(), 4u + 109u + 9u) << "header and data of the write, header of the read";
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 4), (Bytes{0x27, 0x00, 0x02, 0x00}));
    // The record's first nine bytes are its wire header.
    EXPECT_EQ(Bytes(sent.begin() + 4, sent.begin() + 13),
              Bytes(reinterpret_cast<uint8_t*>(&records[0]),
                    reinterpret_cast<uint8_t*>(&records[0]) + 9));
    Bytes held = area(0, 1);
    EXPECT_EQ(Bytes(held.begin() + 200, held.begin() + 300), Bytes(out, out + 100));
    EXPECT_EQ(Bytes(in, in + 50), Bytes(held.begin() + 970, held.begin() + 1020));
    EXPECT_EQ(in[30], 0xA1) << "the run stored at 1000";
}

TEST_F(MemoryTest, AccessReadsSeveralAreasInOrder) {
    NLIDevice* dev = openDirect(0);
    ASSERT_NE(dev, nullptr);
    uint8_t a[4] = {}, b[8] = {}, c[16] = {};
    uint8_t flags[3] = {9, 8, 7};
    NLIMemoryAccess records[] = {
        {NLI_MEMORY_READ, 1, 0, sizeof a, a},
        {NLI_MEMORY_WRITE, 5, 0, sizeof flags, flags},
        {NLI_MEMORY_READ, 2, 4100, sizeof b, b},
        {NLI_MEMORY_READ, 5, 0, sizeof c, c},
    };
    EXPECT_EQ(NLIAccessMemory(dev, records, 4), 0);
    EXPECT_EQ(Bytes(a, a + 4), (Bytes{0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(Bytes(b, b + 8), Bytes(8, 0xA5));
    EXPECT_EQ(Bytes(c, c + 3), (Bytes{9, 8, 7})) << "the write went first";
    EXPECT_EQ(Bytes(c + 3, c + 16), Bytes(13, 0));
}

TEST_F(MemoryTest, AccessLimits) {
    NLIDevice* dev = openDevice(0); // addressed: 16-byte header
    ASSERT_NE(dev, nullptr);
    static uint8_t big[600];
    struct Case {
        const char* what;
        std::vector<NLIMemoryAccess> records;
        int32_t expected;
    };
    const std::vector<Case> cases = {
        // expected answer 4 + 9 + 587 = 600: the largest single read
        {"read of 587", {{NLI_MEMORY_READ, 6, 65536, 587, big}}, 0},
        {"read of 588", {{NLI_MEMORY_READ, 6, 65536, 588, big}}, NLIE_DATA_TOO_LARGE},
        // request 16 + 4 + 9 + 571 = 600
        {"write of 571", {{NLI_MEMORY_WRITE, 6, 65536, 571, big}}, 0},
        {"write of 572", {{NLI_MEMORY_WRITE, 6, 65536, 572, big}}, NLIE_DATA_TOO_LARGE},
        // answers add up: 4 + 299 + 299 = 602
        {"two reads of 290",
         {{NLI_MEMORY_READ, 6, 65536, 290, big}, {NLI_MEMORY_READ, 6, 65536, 290, big}},
         NLIE_DATA_TOO_LARGE},
        {"bad direction first",
         {{2, 1, 0, 4, big}, {NLI_MEMORY_READ, 6, 65536, 590, big}},
         NLIE_INVALID_REQUEST},
        {"null data", {{NLI_MEMORY_READ, 1, 0, 4, nullptr}}, NLIE_INVALID_REQUEST},
    };
    for (const Case& c : cases) {
        uint32_t before = requests(0);
        auto records = c.records;
        EXPECT_EQ(NLIAccessMemory(dev, records.data(), static_cast<uint16_t>(records.size())),
                  c.expected)
            << c.what;
        EXPECT_EQ(requests(0) - before, c.expected == 0 ? 1u : 0u) << c.what;
    }
    EXPECT_EQ(NLIAccessMemory(dev, nullptr, 1), NLIE_INVALID_REQUEST);
}

TEST_F(MemoryTest, AccessModuleErrorLeavesReadsAlone) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t a[4] = {0x7F, 0x7F, 0x7F, 0x7F};
    NLIMemoryAccess records[] = {
        {NLI_MEMORY_READ, 1, 0, sizeof a, a},
        {NLI_MEMORY_READ, 1, 1022, 4, a}, // past the end of RAM
    };
    EXPECT_EQ(NLIAccessMemory(dev, records, 2), 133);
    EXPECT_EQ(Bytes(a, a + 4), Bytes(4, 0x7F));
}

TEST_F(MemoryTest, AccessEntryThatDoesNotMatchItsRecord) {
    NLIDevice* dev = openDevice(1);
    ASSERT_NE(dev, nullptr);
    uint8_t a[4] = {0x7F, 0x7F, 0x7F, 0x7F};
    NLIMemoryAccess records[] = {{NLI_MEMORY_READ, 1, 0, sizeof a, a}};
    EXPECT_EQ(NLIAccessMemory(dev, records, 1), NLIE_INVALID_RESPONSE);
    EXPECT_EQ(Bytes(a, a + 4), Bytes(4, 0x7F));
}

TEST_F(MemoryTest, AccessWithOnlyWritesHasNoEntries) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    uint8_t v[2] = {0xBE, 0xEF};
    NLIMemoryAccess records[] = {{NLI_MEMORY_WRITE, 3, 30, 2, v}, {NLI_MEMORY_WRITE, 4, 0, 0, nullptr}};
    EXPECT_EQ(NLIAccessMemory(dev, records, 2), 0);
    Bytes held = area(0, 3);
    EXPECT_EQ(Bytes(held.begin() + 30, held.end()), (Bytes{0xBE, 0xEF}));
}

} // namespace
