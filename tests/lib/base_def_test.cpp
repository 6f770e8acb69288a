// labels: integration
// Base definition requests (read, rescan, initialise, write) against a simulated base
// controller, in the addressed form (broadcast, as the application opens modules) and directly.
#include "sim_fixture.h"

#include "../../sim/src/base.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Base 0: a 16-point input (type 1) in slot 0 and an 8-point output in slot 1; base 1: a type-7
// module with 4 word outputs in slot 0; base 2: a type-5 module in slot 3.
const char* kPlant = R"({ "modules": [
  { "mac": "00:E0:62:20:00:01", "family": 0, "platform": 4, "generation": 1,
    "bases": [
      { "slots": [ { "module": 191, "bitInputs": 16 },
                   { "module": "0xFD", "bitOutputs": 8 } ] },
      { "slots": [ { "module": 201, "type": 7, "wordOutputs": 4 } ] },
      { "slots": [ null, null, null,
                   { "module": 80, "type": 5, "bitInputs": 1, "bitOutputs": 2, "wordInputs": 3,
                     "wordOutputs": 4, "dwordInputs": 5, "dwordOutputs": 6 } ] } ] },
  { "mac": "00:E0:62:20:00:02", "family": 0, "platform": 2, "baseByteForm": true,
    "bases": [ { "slots": [ { "module": 59, "wordInputs": 8 } ] } ] }
] })";

// The streams written out by hand from the layout: command << 4 | value, then further bytes.
const Bytes kExtended = {0x70,                                      // base 0
                         0x00, 0x14, 0x01, 0xBF, 16, 0, 0, 0,       // slot 0, type 1
                         0x01, 0x14, 0x01, 0xFD, 0,  8, 0, 0,       // slot 1, type 1
                         0x71,                                      // base 1
                         0x00, 0x13, 0x07, 0xC9, 1,  6, 4,          // slot 0, type 7: (6, 4)
                         0x72,                                      // base 2
                         0x03, 0x16, 0x05, 0x50, 1,  2, 3, 4, 5, 6, // slot 3, type 5
                         0xFF};
const Bytes kPlain = {0x70, 0x00, 0x10, 0x02, 0xBF, 0x01, 0x10, 0x02, 0xFD, 0x71,
                      0x00, 0x10, 0x02, 0xC9, 0x72, 0x03, 0x10, 0x02, 0x50, 0xFF};
// Rescan of bases 0 and 2 (selector 5).
const Bytes kBases0And2 = {0x70, 0x00, 0x14, 0x01, 0xBF, 16, 0, 0,    0,    0x01,
                           0x14, 0x01, 0xFD, 0,    8,    0,  0, 0x72, 0x03, 0x16,
                           0x05, 0x50, 1,    2,    3,    4,  5, 6,    0xFF};
// What the I/O base dialog writes for analog modules in base 1 slots 0 and 3.
const Bytes kWritten = {0x71, 0x00, 0x10, 0x01, 0x89, 0x03, 0x10, 0x01, 0xCA, 0xFF, 0xFF};

enum class Form { Addressed, Direct };

class BaseDefTest : public testsupport::SimFixture, public ::testing::WithParamInterface<Form> {
  protected:
    void SetUp() override { startJson(kPlant); }

    NLIDevice* open(size_t index, uint16_t timeoutMs = 100, uint16_t retries = 3) {
        return GetParam() == Form::Addressed ? openDevice(index, timeoutMs, retries)
                                             : openDirect(index, timeoutMs, retries);
    }

    nlisim::BaseState state(size_t index) {
        return sim().withModule(index,
                                [](nlisim::Module& m) { return m.feature<nlisim::BaseState>(); });
    }
    template <class F> void change(size_t index, F fn) {
        sim().withModule(index, [&](nlisim::Module& m) { fn(m.feature<nlisim::BaseState>()); });
    }
};

TEST_P(BaseDefTest, ExtendedMarkerSelectsTheExtendedStream) {
    NLIDevice* dev = open(0);
    ASSERT_NE(dev, nullptr);
    uint8_t buffer[1000] = {NLI_EXTENDED_FORM};
    uint16_t size = sizeof buffer;
    ASSERT_EQ(NLIReadBaseDef(dev, buffer, &size), 0);
    EXPECT_EQ(state(0).lastRequest, (Bytes{0x08, 0xB1}));
    EXPECT_EQ(Bytes(buffer, buffer + size), kExtended);

    std::memset(buffer, 0, sizeof buffer);
    size = sizeof buffer;
    ASSERT_EQ(NLIReadBaseDef(dev, buffer, &size), 0);
    EXPECT_EQ(state(0).lastRequest, (Bytes{0x08}));
    EXPECT_EQ(Bytes(buffer, buffer + size), kPlain);
}

TEST_P(BaseDefTest, ByteFormStreamIsCarriedAsItComes) {
    NLIDevice* dev = open(1);
    ASSERT_NE(dev, nullptr);
    uint8_t buffer[1000] = {NLI_EXTENDED_FORM};
    uint16_t size = sizeof buffer;
    ASSERT_EQ(NLIReadBaseDef(dev, buffer, &size), 0);
    EXPECT_EQ(Bytes(buffer, buffer + size),
              (Bytes{0xB0, 7, 0, 0, 0, 1, 4, 1, 59, 0, 0, 8, 0, 0x0F, 0x00}));
}

TEST_P(BaseDefTest, SmallBufferIsFilledToCapacityAndReportsTooSmall) {
    NLIDevice* dev = open(0);
    ASSERT_NE(dev, nullptr);
    uint8_t buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    buffer[0] = NLI_EXTENDED_FORM;
    uint16_t size = 5;
    EXPECT_EQ(NLIReadBaseDef(dev, buffer, &size), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 5);
    EXPECT_EQ(Bytes(buffer, buffer + 5), Bytes(kExtended.begin(), kExtended.begin() + 5));
    EXPECT_EQ(buffer[5], 0xEE) << "nothing written past the capacity";

    // Exactly the stream's length fits.
    std::vector<uint8_t> fit(kExtended.size() + 1, 0xEE);
    fit[0] = NLI_EXTENDED_FORM;
    size = static_cast<uint16_t>(kExtended.size());
    EXPECT_EQ(NLIReadBaseDef(dev, fit.data(), &size), 0);
    EXPECT_EQ(size, kExtended.size());
    EXPECT_EQ(fit.back(), 0xEE);
}

TEST_P(BaseDefTest, BadArgumentsAreRefusedBeforeSending) {
    NLIDevice* dev = open(0);
    ASSERT_NE(dev, nullptr);
    size_t before = state(0).lastRequest.size();
    uint8_t buffer[8] = {};
    uint16_t size = 8;
    EXPECT_EQ(NLIReadBaseDef(dev, buffer, nullptr), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIReadBaseDef(dev, nullptr, &size), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIRescanBase(dev, 1, nullptr, &size), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIInitBaseDef(dev, buffer, nullptr), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIReadBaseDef(nullptr, buffer, &size), NLIE_INVALID_DEVICE);
    EXPECT_EQ(state(0).lastRequest.size(), before) << "the module saw no request";

    // A null buffer with room 0 is a plain request whose whole answer counts as cut.
    size = 0;
    EXPECT_EQ(NLIReadBaseDef(dev, nullptr, &size), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(state(0).lastRequest, (Bytes{0x08}));
}

TEST_P(BaseDefTest, RescanSendsTheSelectorAndAnswersTheSelectedBases) {
    NLIDevice* dev = open(0);
    ASSERT_NE(dev, nullptr);
    uint8_t buffer[1000];
    uint16_t size = sizeof buffer;
    ASSERT_EQ(NLIRescanBase(dev, 5, buffer, &size), 0);
    EXPECT_EQ(state(0).lastRequest, (Bytes{0x18, 0x05, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Bytes(buffer, buffer + size), kBases0And2);

    size = sizeof buffer;
    ASSERT_EQ(NLIRescanBase(dev, 0x12345678, buffer, &size), 0);
    EXPECT_EQ(state(0).lastRequest, (Bytes{0x18, 0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(Bytes(buffer, buffer + size), (Bytes{0xFF})) << "bases 3 to 6 are not installed";
}

TEST_P(BaseDefTest, WriteStoresTheStreamAndTheModuleAnswersWithIt) {
    NLIDevice* dev = open(0);
    ASSERT_NE(dev, nullptr);
    uint8_t echo[64];
    uint16_t size = sizeof echo;
    ASSERT_EQ(
        NLIWriteBaseDef(dev, kWritten.data(), static_cast<uint16_t>(kWritten.size()), echo, &size),
        0);
    Bytes expected{0x0F, 0x00, static_cast<uint8_t>(kWritten.size()), 0x00};
    expected.insert(expected.end(), kWritten.begin(), kWritten.end());
    EXPECT_EQ(state(0).lastRequest, expected);
    EXPECT_EQ(Bytes(echo, echo + size), kWritten);

    // Later reads answer the written definition, in both forms; a rescan still the racks.
    uint8_t buffer[1000] = {NLI_EXTENDED_FORM};
    size = sizeof buffer;
    ASSERT_EQ(NLIReadBaseDef(dev, buffer, &size), 0);
    EXPECT_EQ(Bytes(buffer, buffer + size), kWritten);
    size = sizeof buffer;
    ASSERT_EQ(NLIRescanBase(dev, 0, buffer, &size), 0);
    EXPECT_EQ(Bytes(buffer, buffer + size), kExtended);

    // Without a response buffer only the result comes back; a short one is cut.
    EXPECT_EQ(NLIWriteBaseDef(dev, kWritten.data(), static_cast<uint16_t>(kWritten.size()), nullptr,
                              nullptr),
              0);
    size = 4;
    std::memset(echo, 0xEE, sizeof echo);
    EXPECT_EQ(
        NLIWriteBaseDef(dev, kWritten.data(), static_cast<uint16_t>(kWritten.size()), echo, &size),
        NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(Bytes(echo, echo + 4), Bytes(kWritten.begin(), kWritten.begin() + 4));
    EXPECT_EQ(echo[4], 0xEE);
}

TEST_P(BaseDefTest, InitialiseForgetsTheWrittenDefinition) {
    NLIDevice* dev = open(0);
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(NLIWriteBaseDef(dev, kWritten.data(), static_cast<uint16_t>(kWritten.size()), nullptr,
                              nullptr),
              0);
    uint8_t buffer[600];
    uint16_t size = sizeof buffer;
    ASSERT_EQ(NLIInitBaseDef(dev, buffer, &size), 0);
    EXPECT_EQ(state(0).lastRequest, (Bytes{0x18}));
    EXPECT_EQ(Bytes(buffer, buffer + size), kExtended);
    EXPECT_EQ(state(0).initialisations, 1u);

    uint8_t read[1000] = {NLI_EXTENDED_FORM};
    size = sizeof read;
    ASSERT_EQ(NLIReadBaseDef(dev, read, &size), 0);
    EXPECT_EQ(Bytes(read, read + size), kExtended);
}

TEST_P(BaseDefTest, WriteSizeLimitDependsOnTheHeader) {
    NLIDevice* dev = open(0);
    ASSERT_NE(dev, nullptr);
    const uint16_t limit = static_cast<uint16_t>(NLI_MAX_BASEDEF_WRITE(dev->headerLength));
    EXPECT_EQ(limit, GetParam() == Form::Direct ? 587 : 580);
    // A stream of slot commands closed by the end command: valid at any length.
    Bytes stream(limit + 1, 0x00);
    stream[limit - 1] = 0xFF;
    stream[limit] = 0xFF;

    size_t before = state(0).lastRequest.size();
    EXPECT_EQ(
        NLIWriteBaseDef(dev, stream.data(), static_cast<uint16_t>(limit + 1), nullptr, nullptr),
        NLIE_DATA_TOO_LARGE);
    EXPECT_EQ(state(0).lastRequest.size(), before) << "nothing was sent";

    EXPECT_EQ(NLIWriteBaseDef(dev, stream.data(), limit, nullptr, nullptr), 0);
    EXPECT_EQ(state(0).lastRequest.size(), size_t{limit} + 4);
    ASSERT_TRUE(state(0).written.has_value());
    EXPECT_EQ(state(0).written->size(), limit);
}

TEST_P(BaseDefTest, ModuleRefusalIsReturnedAndKeepsTheDefinition) {
    NLIDevice* dev = open(0);
    ASSERT_NE(dev, nullptr);
    const Bytes unterminated = {0x70, 0x00, 0x10, 0x01};
    EXPECT_EQ(NLIWriteBaseDef(dev, unterminated.data(), 4, nullptr, nullptr),
              nlisim::kStatusInvalidData);
    EXPECT_FALSE(state(0).written.has_value());
    EXPECT_EQ(NLIWriteBaseDef(dev, nullptr, 3, nullptr, nullptr), NLIE_INVALID_REQUEST);
}

TEST_P(BaseDefTest, WriteWaitsForASlowCompletionBeyondTheDeviceTimeout) {
    change(0, [](nlisim::BaseState& s) { s.writeDelayMs = 300; });
    NLIDevice* dev = open(0, 100, 0);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(NLIWriteBaseDef(dev, kWritten.data(), static_cast<uint16_t>(kWritten.size()), nullptr,
                              nullptr),
              0);
    EXPECT_EQ(dev->timeoutMs, 100) << "the device time-out is not raised for the write";
}

TEST_P(BaseDefTest, SilentModuleTimesOut) {
    NLIDevice* dev = open(0, 30, 1);
    ASSERT_NE(dev, nullptr);
    nlisim::Faults f;
    f.silent = true;
    sim().setFaults(0, f);
    uint8_t buffer[100] = {};
    uint16_t size = sizeof buffer;
    EXPECT_EQ(NLIReadBaseDef(dev, buffer, &size), NLIE_TIMEOUT);
    EXPECT_EQ(NLIWriteBaseDef(dev, kWritten.data(), static_cast<uint16_t>(kWritten.size()), nullptr,
                              nullptr),
              NLIE_TIMEOUT);
}

INSTANTIATE_TEST_SUITE_P(Forms, BaseDefTest, ::testing::Values(Form::Addressed, Form::Direct),
                         [](const auto& param) {
                             return param.param == Form::Addressed ? "Addressed" : "Direct";
                         });

// The module's own check of a written stream, walking the grammar the application reads.
TEST(BaseStreamGrammar, WalksToTheEndCommand) {
    struct Case {
        Bytes stream;
        bool parses;
    } cases[] = {
        {{0xFF}, true},
        {{0xF0}, true},
        {{}, false},
        {{0x00}, false},                              // no end command
        {{0x10, 0x02, 0xBF, 0xFF}, true},             // item with two further bytes
        {{0x11, 0x02, 0xBF, 0xFF}, false},            // the item swallows the end command
        {{0x52, 1, 2, 3, 4, 0xFF}, true},             // command 5: value x 2 in nibble form
        {{0x81, 1, 2, 3, 4, 0xFF}, true},             // command 8: value x 4
        {{0xB3, 1, 2, 3, 0x0F}, true},                // byte form after three skipped bytes
        {{0xB0, 0x05, 0x02, 1, 2, 0x0F, 0x00}, true}, // byte form: command 5 skips value
        {{0xB0, 0x20, 0x00, 0x0F}, true},             // byte form: command above 15 ignored
        {{0xB0, 0x01, 0x00, 0x01, 0x0F}, false},      // item of 2 further bytes eats it all
    };
    for (const Case& c : cases)
        EXPECT_EQ(nlisim::BaseState::parses(c.stream), c.parses)
            << "stream of " << c.stream.size() << " bytes starting "
            << (c.stream.empty() ? -1 : c.stream[0]);
}

// A written definition and the I/O image survive saving the plant and loading it again.
TEST(BasePlantFile, WrittenDefinitionSurvivesASave) {
    nlisim::Plant plant = nlisim::Plant::fromJson(nlisim::Json::parse(kPlant));
    plant.modules[0].feature<nlisim::BaseState>().written = kWritten;
    plant.modules[0].feature<nlisim::BaseState>().outputs = {0xAA, 0x55};
    nlisim::Json saved = plant.toJson();
    EXPECT_EQ(saved["modules"][0]["baseDefinition"], "71 00 10 01 89 03 10 01 CA FF FF");

    nlisim::Plant again = nlisim::Plant::fromJson(saved);
    nlisim::BaseState& s = again.modules[0].feature<nlisim::BaseState>();
    ASSERT_TRUE(s.written.has_value());
    EXPECT_EQ(*s.written, kWritten);
    EXPECT_EQ(s.outputs, (Bytes{0xAA, 0x55}));
    EXPECT_EQ(s.scannedStream(), kExtended);
}

TEST(BasePlantFile, BadKeysAreNamed) {
    const char* bad[] = {
        R"({"modules":[{"mac":"00:E0:62:00:00:01","bases":[{"slots":[{"type":1}]}]}]})",
        R"({"modules":[{"mac":"00:E0:62:00:00:01","bases":[{"slots":[{"module":300}]}]}]})",
        R"({"modules":[{"mac":"00:E0:62:00:00:01","baseDefinition":"F"}]})",
        R"({"modules":[{"mac":"00:E0:62:00:00:01","io":{"inputs":"zz"}}]})",
    };
    for (const char* text : bad) {
        nlisim::Plant plant = nlisim::Plant::fromJson(nlisim::Json::parse(text));
        EXPECT_THROW(plant.modules[0].feature<nlisim::BaseState>(), std::runtime_error) << text;
    }
}

} // namespace
