// labels: integration
// I/O data requests (read, write, write without read) against a simulated base controller.
#include "sim_fixture.h"

#include "../../sim/src/base.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A 16-point input module and an 8-point output module: 2 input bytes and 1 output byte, with
// the input image preset.
const char* kPlant = R"({ "modules": [
  { "mac": "00:E0:62:30:00:01", "family": 0, "platform": 2,
    "bases": [ { "slots": [ { "module": 191, "bitInputs": 16 },
                            { "module": 253, "bitOutputs": 8 },
                            { "module": 62, "wordInputs": 1, "wordOutputs": 1 } ] } ],
    "io": { "inputs": "11 22 33 44" } }
] })";

class BaseIOTest : public testsupport::SimFixture {
  protected:
    void SetUp() override { startJson(kPlant); }

    nlisim::BaseState state() {
        return sim().withModule(0,
                                [](nlisim::Module& m) { return m.feature<nlisim::BaseState>(); });
    }
    template <class F> void change(F fn) {
        sim().withModule(0, [&](nlisim::Module& m) { fn(m.feature<nlisim::BaseState>()); });
    }
    // Waits (bounded) until the module has seen `count` I/O requests.
    bool waitForRequests(uint32_t count) {
        for (int i = 0; i < 200; ++i) {
            if (state().ioRequests >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
};

TEST_F(BaseIOTest, ImageIsSizedFromTheInstalledModules) {
    nlisim::BaseState s = state();
    EXPECT_EQ(s.inputs, (Bytes{0x11, 0x22, 0x33, 0x44})); // preset by the plant
    EXPECT_EQ(s.outputs.size(), 3u) << "one byte of bit outputs and one word output";
}

TEST_F(BaseIOTest, ReadAnswersTheInputsAndWithTheMarkerTheOutputsToo) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    change([](nlisim::BaseState& s) { s.outputs = {0xA1, 0xA2, 0xA3}; });
    uint8_t buffer[64] = {};
    uint16_t size = sizeof buffer;
    ASSERT_EQ(NLIReadIO(dev, buffer, &size), 0);
    EXPECT_EQ(state().lastRequest, (Bytes{0x07}));
    EXPECT_EQ(Bytes(buffer, buffer + size), (Bytes{0x11, 0x22, 0x33, 0x44}));

    buffer[0] = NLI_EXTENDED_FORM;
    size = sizeof buffer;
    ASSERT_EQ(NLIReadIO(dev, buffer, &size), 0);
    EXPECT_EQ(state().lastRequest, (Bytes{0x07, 0xB1}));
    EXPECT_EQ(Bytes(buffer, buffer + size), (Bytes{0x11, 0x22, 0x33, 0x44, 0xA1, 0xA2, 0xA3}));
}

TEST_F(BaseIOTest, ReadIntoASmallBufferIsCut) {
    NLIDevice* dev = openDirect(0);
    ASSERT_NE(dev, nullptr);
    uint8_t buffer[4] = {0, 0xEE, 0xEE, 0xEE};
    uint16_t size = 1;
    EXPECT_EQ(NLIReadIO(dev, buffer, &size), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 1);
    EXPECT_EQ(buffer[0], 0x11);
    EXPECT_EQ(buffer[1], 0xEE);
    EXPECT_EQ(NLIReadIO(dev, buffer, nullptr), NLIE_INVALID_REQUEST);
}

// A module status s reads as s | 0x8000 (sign-extended), and the data is still delivered: a
// status 6 therefore reads 0x8006, like the engine's time-out, and the size tells them apart.
TEST_F(BaseIOTest, ModuleStatusGetsBit15AndTheDataStillArrives) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    struct Case {
        uint16_t status;
        int32_t result;
    } cases[] = {
        {0x0006, 0x8006},
        {0x0085, 0x8085},
        {0x9000, static_cast<int32_t>(0xFFFF9000u)},
    };
    for (const Case& c : cases) {
        change([&](nlisim::BaseState& s) { s.ioStatus = c.status; });
        uint8_t buffer[16] = {};
        uint16_t size = sizeof buffer;
        EXPECT_EQ(NLIReadIO(dev, buffer, &size), c.result) << "status " << c.status;
        EXPECT_EQ(size, 4) << "status " << c.status;
        EXPECT_EQ(buffer[0], 0x11);
        uint8_t out[3] = {1, 2, 3};
        size = sizeof buffer;
        EXPECT_EQ(NLIWriteIO(dev, out, 3, buffer, &size), c.result);
        EXPECT_EQ(NLIWriteIONoRead(dev, out, 3), c.result);
    }
}

TEST_F(BaseIOTest, WriteStoresTheOutputsAndReturnsTheInputs) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    const uint8_t out[3] = {0x5A, 0x01, 0x02};
    uint8_t input[16] = {};
    uint16_t size = sizeof input;
    ASSERT_EQ(NLIWriteIO(dev, out, 3, input, &size), 0);
    EXPECT_EQ(state().lastRequest, (Bytes{0x06, 0x5A, 0x01, 0x02}));
    EXPECT_EQ(state().outputs, (Bytes{0x5A, 0x01, 0x02}));
    EXPECT_EQ(Bytes(input, input + size), (Bytes{0x11, 0x22, 0x33, 0x44}));

    // Without an input buffer (or without a size) nothing is copied and size is left alone.
    std::memset(input, 0xEE, sizeof input);
    size = 7;
    const uint8_t out2[1] = {0x0F};
    EXPECT_EQ(NLIWriteIO(dev, out2, 1, nullptr, &size), 0);
    EXPECT_EQ(size, 7);
    EXPECT_EQ(NLIWriteIO(dev, out2, 1, input, nullptr), 0);
    EXPECT_EQ(input[0], 0xEE);
    EXPECT_EQ(state().outputs[0], 0x0F);

    // A cut input copy reports it.
    size = 2;
    EXPECT_EQ(NLIWriteIO(dev, out, 3, input, &size), NLIE_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(Bytes(input, input + 3), (Bytes{0x11, 0x22, 0xEE}));
}

TEST_F(BaseIOTest, WriteWithoutReadStoresTheOutputs) {
    NLIDevice* dev = openDirect(0);
    ASSERT_NE(dev, nullptr);
    const uint8_t out[2] = {0xC3, 0x3C};
    ASSERT_EQ(NLIWriteIONoRead(dev, out, 2), 0);
    EXPECT_EQ(state().lastRequest, (Bytes{0x30, 0xC3, 0x3C}));
    EXPECT_EQ(state().outputs, (Bytes{0xC3, 0x3C, 0x00}));

    // More bytes than the image holds: the module keeps what fits and warns (status 134).
    const uint8_t many[5] = {9, 8, 7, 6, 5};
    EXPECT_EQ(NLIWriteIONoRead(dev, many, 5), 0x8000 | nlisim::kStatusLengthWarning);
    EXPECT_EQ(state().outputs, (Bytes{9, 8, 7}));
    EXPECT_EQ(NLIWriteIONoRead(dev, nullptr, 2), NLIE_INVALID_REQUEST);
    EXPECT_EQ(NLIWriteIONoRead(nullptr, out, 2), NLIE_INVALID_DEVICE);
}

TEST_F(BaseIOTest, WriteSizeLimitDependsOnTheHeader) {
    for (bool addressed : {false, true}) {
        NLIDevice* dev = addressed ? openDevice(0) : openDirect(0);
        ASSERT_NE(dev, nullptr);
        const uint16_t limit = static_cast<uint16_t>(NLI_MAX_IO_WRITE(dev->headerLength));
        EXPECT_EQ(limit, addressed ? 1183 : 1190);
        std::vector<uint8_t> out(limit + 1, 0x42);
        size_t seen = state().ioRequests;
        EXPECT_EQ(NLIWriteIO(dev, out.data(), static_cast<uint16_t>(limit + 1), nullptr, nullptr),
                  NLIE_DATA_TOO_LARGE);
        EXPECT_EQ(NLIWriteIONoRead(dev, out.data(), static_cast<uint16_t>(limit + 1)),
                  NLIE_DATA_TOO_LARGE);
        EXPECT_EQ(state().ioRequests, seen) << "nothing was sent";
        // The largest write goes out whole; the module warns that its image is smaller.
        EXPECT_EQ(NLIWriteIO(dev, out.data(), limit, nullptr, nullptr),
                  0x8000 | nlisim::kStatusLengthWarning);
        EXPECT_EQ(state().lastRequest.size(), size_t{limit} + 1);
    }
}

// With noWaitIO set the calls send and return at once; the module still gets the request.
TEST_F(BaseIOTest, NoWaitIOSendsWithoutWaiting) {
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    dev->noWaitIO = 1;
    const uint8_t out[3] = {0x77, 0x66, 0x55};
    EXPECT_EQ(NLIWriteIONoRead(dev, out, 3), NLIE_NO_RESPONSE);
    ASSERT_TRUE(waitForRequests(1));
    EXPECT_EQ(state().outputs, (Bytes{0x77, 0x66, 0x55}));

    uint8_t buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    uint16_t size = sizeof buffer;
    EXPECT_EQ(NLIReadIO(dev, buffer, &size), NLIE_NO_RESPONSE);
    EXPECT_EQ(buffer[0], 0xEE) << "no data without waiting";
    EXPECT_EQ(NLIWriteIO(dev, out, 3, buffer, &size), NLIE_NO_RESPONSE);
    ASSERT_TRUE(waitForRequests(3));

    // Back to waiting: the answers left over from the sends above do not satisfy the next read.
    dev->noWaitIO = 0;
    change([](nlisim::BaseState& s) { s.inputs = {0x01, 0x02}; });
    size = sizeof buffer;
    ASSERT_EQ(NLIReadIO(dev, buffer, &size), 0);
    EXPECT_EQ(Bytes(buffer, buffer + size), (Bytes{0x01, 0x02}));
}

// I/O requests report re-sends: a module that loses requests gives 0x2000 after a re-send,
// and the data of that answer.
TEST_F(BaseIOTest, ResendsAreReportedAsAWarning) {
    NLIDevice* dev = openDirect(0, 50, 15);
    ASSERT_NE(dev, nullptr);
    nlisim::Faults f;
    f.dropShare = 0.5;
    sim().setFaults(0, f);
    int warnings = 0;
    for (int i = 0; i < 12; ++i) {
        uint8_t buffer[16] = {};
        uint16_t size = sizeof buffer;
        int32_t rc = NLIReadIO(dev, buffer, &size);
        ASSERT_TRUE(rc == 0 || rc == NLIE_RETRIES_OCCURRED) << rc;
        EXPECT_EQ(size, 4);
        if (rc == NLIE_RETRIES_OCCURRED) ++warnings;
    }
    EXPECT_GT(warnings, 0);
}

TEST_F(BaseIOTest, SilentModuleTimesOut) {
    NLIDevice* dev = openDirect(0, 30, 2);
    ASSERT_NE(dev, nullptr);
    nlisim::Faults f;
    f.silent = true;
    sim().setFaults(0, f);
    uint8_t buffer[16] = {};
    uint16_t size = sizeof buffer;
    uint16_t retriesBefore = dev->retryCount;
    EXPECT_EQ(NLIReadIO(dev, buffer, &size), NLIE_TIMEOUT);
    EXPECT_EQ(dev->retryCount - retriesBefore, 2);
}

} // namespace
