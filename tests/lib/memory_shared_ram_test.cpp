// labels: integration
// Shared RAM of the intelligent modules behind a simulated base controller: how the 16-bit
// address travels, the write limit, and the module's errors.
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
    { "mac": "00:E0:62:00:30:01", "family": 0, "name": "Base",
      "memory": { "areas": [],
                  "sharedRam": [ { "base": 0, "slot": 2 },
                                 { "base": 1, "slot": 3, "size": 4096,
                                   "contents": { "16": "C0 FF EE" } } ] } }
  ]
})";

enum class Form { Addressed, Direct };

class SharedRamTest : public testsupport::SimFixture, public testing::WithParamInterface<Form> {
  protected:
    void SetUp() override {
        startJson(kPlant);
        dev = GetParam() == Form::Addressed ? openDevice(0) : openDirect(0);
        ASSERT_NE(dev, nullptr);
    }
    Bytes ram(uint16_t base, uint16_t slot, uint32_t at, size_t n) {
        return sim().withModule(0, [&](Module& m) {
            const Bytes& b = m.feature<MemoryState>().findSharedRam(base, slot)->bytes;
            return Bytes(b.begin() + at, b.begin() + static_cast<long>(at + n));
        });
    }
    Bytes lastRequest() {
        return sim().withModule(0, [](Module& m) { return m.feature<MemoryState>().lastRequest; });
    }
    uint32_t requests() {
        return sim().withModule(0, [](Module& m) { return m.requestsReceived; });
    }
    NLIDevice* dev = nullptr;
};

TEST_P(SharedRamTest, AddressBit15TravelsAsItsOwnByte) {
    struct Case {
        uint16_t address;
        uint8_t flag;
        uint16_t field;
    } cases[] = {{0x8030, 1, 0x0030}, {0x0030, 0, 0x0030}, {0xFFFE, 1, 0x7FFE}, {0x7FFE, 0, 0x7FFE}};
    for (const Case& c : cases) {
        const uint8_t v[2] = {static_cast<uint8_t>(c.address), static_cast<uint8_t>(c.flag + 0x40)};
        EXPECT_EQ(NLIWriteSharedRAM(dev, 0, 2, c.address, 2, v), 0);
        Bytes sent = lastRequest();
        ASSERT_EQ(sent.size(), 12u);
        EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 10),
                  (Bytes{0x29, c.flag, 0, 0, 2, 0, static_cast<uint8_t>(c.field),
                         static_cast<uint8_t>(c.field >> 8), 2, 0}))
            << std::hex << c.address;
        EXPECT_EQ(ram(0, 2, c.address, 2), Bytes(v, v + 2));

        uint8_t back[2] = {};
        EXPECT_EQ(NLIReadSharedRAM(dev, 0, 2, c.address, 2, back), 0);
        EXPECT_EQ(lastRequest(), (Bytes{0x28, c.flag, 0, 0, 2, 0, static_cast<uint8_t>(c.field),
                                        static_cast<uint8_t>(c.field >> 8), 2, 0}));
        EXPECT_EQ(Bytes(back, back + 2), Bytes(v, v + 2));
    }
    // 0x8030 and 0x0030 are different bytes of the shared RAM.
    EXPECT_NE(ram(0, 2, 0x8030, 2), ram(0, 2, 0x0030, 2));
}

TEST_P(SharedRamTest, ReadsTheSlotsOwnMemory) {
    uint8_t buf[4] = {0x7F, 0x7F, 0x7F, 0x7F};
    EXPECT_EQ(NLIReadSharedRAM(dev, 1, 3, 16, 3, buf), 0);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0xC0, 0xFF, 0xEE, 0x7F}));
}

TEST_P(SharedRamTest, WriteLimit) {
    std::vector<uint8_t> data(NLI_MAX_SHARED_RAM_WRITE + 1, 0x5A);
    EXPECT_EQ(NLIWriteSharedRAM(dev, 0, 2, 0x100, NLI_MAX_SHARED_RAM_WRITE, data.data()), 0);
    EXPECT_EQ(ram(0, 2, 0x100, 256), Bytes(256, 0x5A));
    uint32_t before = requests();
    data.assign(data.size(), 0xA5);
    EXPECT_EQ(NLIWriteSharedRAM(dev, 0, 2, 0x100, NLI_MAX_SHARED_RAM_WRITE + 1, data.data()),
              NLIE_DATA_TOO_LARGE);
    EXPECT_EQ(NLIReadSharedRAM(dev, 0, 2, 0x100, NLI_MAX_MEMORY_READ + 1, data.data()),
              NLIE_DATA_TOO_LARGE);
    EXPECT_EQ(NLIWriteSharedRAM(dev, 0, 2, 0x100, 4, nullptr), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIReadSharedRAM(dev, 0, 2, 0x100, 4, nullptr), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIWriteSharedRAM(nullptr, 0, 2, 0x100, 4, data.data()), NLIE_INVALID_DEVICE);
    EXPECT_EQ(requests(), before) << "nothing sent";
    EXPECT_EQ(ram(0, 2, 0x100, 256), Bytes(256, 0x5A));
}

TEST_P(SharedRamTest, ModuleErrors) {
    uint8_t buf[4] = {0x7F, 0x7F, 0x7F, 0x7F};
    EXPECT_EQ(NLIReadSharedRAM(dev, 0, 9, 0, 4, buf), 118) << "no intelligent module there";
    EXPECT_EQ(NLIWriteSharedRAM(dev, 2, 2, 0, 4, buf), 118);
    EXPECT_EQ(NLIReadSharedRAM(dev, 1, 3, 4094, 4, buf), 140) << "past its 4096 bytes";
    EXPECT_EQ(Bytes(buf, buf + 4), Bytes(4, 0x7F));
}

INSTANTIATE_TEST_SUITE_P(BothForms, SharedRamTest, testing::Values(Form::Addressed, Form::Direct),
                         [](const auto& p) {
                             return p.param == Form::Addressed ? "Addressed" : "Direct";
                         });

} // namespace
