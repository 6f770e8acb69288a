// labels: integration
// The flash command set against simulated boot loaders: the availability probe and its
// scrambling fallback, the addressing-mode query, erase, program, read-back, RAM locking.
#include "flash_test_util.h"

#include "firmware/flash_commands.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace flashtest;
using namespace firmware;

namespace {

constexpr const char* kSegMac = "00:E0:62:00:00:01";
constexpr const char* kLinMac = "00:E0:62:00:00:02";

class FlashCommands : public FlashFixture {
  protected:
    void startBoth() { startModules({segmentedModule(kSegMac), linearModule(kLinMac)}); }
};

TEST_F(FlashCommands, ProbeFallsBackToPlainRequests) {
    struct Case {
        bool acceptScrambled;
        uint64_t scrambledIgnored;
        uint32_t modeAfter;
    };
    // The scrambled probe goes out retries + 1 = 4 times before the plain one.
    for (Case c : {Case{true, 0, 1}, Case{false, 4, 0}}) {
        SCOPED_TRACE(c.acceptScrambled);
        Json module = segmentedModule(kSegMac);
        module["acceptScrambled"] = c.acceptScrambled;
        startModules({module});
        NLIDevice* dev = openDevice(0);
        ASSERT_NE(dev, nullptr);

        EXPECT_TRUE(IsDeviceAvailable(dev, true));
        EXPECT_EQ(sim().counters().scrambledIgnored, c.scrambledIgnored);
        // Whichever attempt answered stays in force.
        EXPECT_EQ(transport().scramble.mode & 0xFF, c.modeAfter);
        EXPECT_EQ(std::memcmp(transport().scramble.key, ScrambleKeyRecord().key, 60), 0);
        uint8_t info[kLoaderInfoSize];
        EXPECT_EQ(ReadLoaderInfo(dev, info, sizeof info, nullptr), 0);
        EXPECT_EQ(sim().counters().scrambledIgnored, c.scrambledIgnored);

        // Without the flag one probe decides.
        transport().scramble = ScrambleKeyRecord();
        EXPECT_EQ(IsDeviceAvailable(dev, false), c.acceptScrambled);
        stopPlant();
    }
}

TEST_F(FlashCommands, ProbeOnASerialLinkIsOnePlainRequest) {
    nlisim::Options options;
    options.serial = true;
    Json module = segmentedModule(kSegMac);
    module["acceptScrambled"] = false;
    start(nlisim::Plant::fromJson(Json{{"modules", {module}}}), options);
    ASSERT_EQ(NLISetCommPortPath(4, sim().serialPath().c_str()), 0);
    NLITransport serial{};
    serial.kind = TRANSPORT_SERIAL;
    serial.protocol = PROTOCOL_SERIAL;
    ASSERT_EQ(NLIOpenTransport(&serial, NLI_INTERFACE_VERSION, nullptr), 0);
    NLIDevice d{};
    NLISerialAddress a{};
    a.port = 4;
    a.dataBits = 8;
    a.baudRate = 57600;
    a.handle = -1;
    std::memcpy(d.address, &a, sizeof a);
    ASSERT_EQ(NLIOpenDevice(&serial, &d, NLI_INTERFACE_VERSION, 250, 0, 0), 0);
    uint64_t before = sim().counters().packetsReceived;

    EXPECT_TRUE(IsDeviceAvailable(&d, true));
    EXPECT_EQ(sim().counters().packetsReceived - before, 1u);
    EXPECT_EQ(serial.scramble.mode, 0u);

    NLICloseDevice(&d);
    NLICloseTransport(&serial);
    NLISetCommPortPath(4, nullptr);
}

TEST_F(FlashCommands, AddressingMode) {
    struct Case {
        const char* name;
        Json module;
        int32_t result;
        bool linear;
    };
    Json silent = segmentedModule(kSegMac);
    silent["bootloader"]["loaderInfo"] = "none";
    Json cut = segmentedModule(kSegMac);
    cut["bootloader"]["loaderInfo"] = "short";
    const Case cases[] = {
        {"segmented", segmentedModule(kSegMac), 0, false},
        {"linear", linearModule(kSegMac), 0, true},
        {"not answered: segmented", silent, 0, false},
        {"answer too short", cut, NLIE_SIZE_ERROR, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startModules({c.module});
        NLIDevice* dev = openDevice(0, 20, 1);
        ASSERT_NE(dev, nullptr);
        bool linear = !c.linear;
        EXPECT_EQ(IsLinearAddressing(dev, &linear), c.result);
        if (c.result == 0) {
            EXPECT_EQ(linear, c.linear);
        }
        stopPlant();
    }
}

TEST_F(FlashCommands, SegmentedEraseTakesTheSectorsTheRangeTouches) {
    struct Case {
        uint32_t first, size;
        std::vector<int> sectors;
    };
    const Case cases[] = {
        {0xF0000000, 0x8000, {1}},
        {0xF0000000, 0x10000, {1, 2, 3, 4}},
        {0x80000000, 0x78000, {0, 1, 5, 6, 7, 8, 9, 10}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        startBoth();
        NLIDevice* dev = openDevice(0);
        ASSERT_NE(dev, nullptr);
        const uint8_t mark[2] = {0x12, 0x34};
        ASSERT_EQ(WriteFlashSeg(dev, 0xF0008000, mark, 2), 0); // sector 2

        EXPECT_EQ(EraseFlashRange(dev, c.first, c.size), 0);

        onBoot(0, [&](nlisim::BootLoader& b, nlisim::Module&) {
            EXPECT_EQ(b.eraseLog, c.sectors);
            return 0;
        });
        bool sector2 = std::find(c.sectors.begin(), c.sectors.end(), 2) != c.sectors.end();
        EXPECT_EQ(flashAt(0, 0xF0008000, 2), sector2 ? (Bytes{0xFF, 0xFF}) : (Bytes{0x12, 0x34}));
        stopPlant();
    }
}

TEST_F(FlashCommands, LinearEraseIsOneRange) {
    startBoth();
    NLIDevice* dev = openDevice(1);
    ASSERT_NE(dev, nullptr);
    const uint8_t zero[2] = {0, 0};
    for (uint32_t a : {0xA0007FFEu, 0xA0008000u, 0xA0407FFEu})
        ASSERT_EQ(WriteFlashLin(dev, a, zero, 2), 0) << std::hex << a;

    EXPECT_EQ(EraseFlashRange(dev, 0xA0008000, 0x400000), 0);

    EXPECT_EQ(flashAt(1, 0xA0007FFE, 2), (Bytes{0, 0})) << "below the range";
    EXPECT_EQ(flashAt(1, 0xA0008000, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(flashAt(1, 0xA0407FFE, 2), (Bytes{0xFF, 0xFF}));
    onBoot(1, [](nlisim::BootLoader& b, nlisim::Module&) {
        EXPECT_EQ(b.rangeErases, 1u);
        return 0;
    });
}

TEST_F(FlashCommands, ProgrammingOnlyClearsBits) {
    startBoth();
    NLIDevice* seg = openDevice(0);
    NLIDevice* lin = openDevice(1);
    ASSERT_NE(seg, nullptr);
    ASSERT_NE(lin, nullptr);
    Bytes chunk = codeBytes(kChunkSegmented, 21);
    // 128 bytes travel as 64 words; a wrong count would leave bytes unwritten.
    ASSERT_EQ(WriteFlashSeg(seg, 0xE0000000, chunk.data(), kChunkSegmented), 0);
    uint8_t read[kChunkSegmented] = {};
    ASSERT_EQ(ReadMemSeg(seg, 0xE0000000, read, kChunkSegmented), 0);
    EXPECT_EQ(Bytes(read, read + kChunkSegmented), chunk);

    const uint8_t first[2] = {0x0F, 0x3C}, second[2] = {0xF0, 0x3C};
    ASSERT_EQ(WriteFlashLin(lin, 0xA0010000, first, 2), 0);
    ASSERT_EQ(WriteFlashLin(lin, 0xA0010000, second, 2), 0);
    uint8_t back[2] = {};
    ASSERT_EQ(ReadMemLin(lin, 0xA0010000, back, 2), 0);
    EXPECT_EQ(back[0], 0x00) << "over unerased flash the read-back differs from the data";
    EXPECT_EQ(back[1], 0x3C);

    // A completion's status word is the result.
    EXPECT_EQ(WriteFlashLin(lin, 0x10000000, first, 2), NLIE_INVALID_LOCATION);
    // Refused without a request.
    uint32_t before = requestsReceived(0);
    EXPECT_EQ(WriteFlashSeg(seg, 0xE0000000, chunk.data(), 3), NLIE_INVALID_REQUEST);
    Bytes big(kMaxWriteData + 2, 0);
    EXPECT_EQ(WriteFlashLin(lin, 0xA0010000, big.data(), kMaxWriteData + 2), NLIE_DATA_TOO_LARGE);
    uint8_t huge[kMaxReadData + 1];
    EXPECT_EQ(ReadMemSeg(seg, 0xE0000000, huge, kMaxReadData + 1), NLIE_DATA_TOO_LARGE);
    EXPECT_EQ(requestsReceived(0), before);
}

// A read answered with fewer bytes than asked is an error and leaves the buffer alone, so
// that stale bytes can never pass a verify.
TEST_F(FlashCommands, ShortReadIsAnError) {
    startBoth();
    NLIDevice* seg = openDevice(0);
    NLIDevice* lin = openDevice(1);
    ASSERT_NE(seg, nullptr);
    ASSERT_NE(lin, nullptr);
    uint8_t buffer[16];
    std::memset(buffer, 0xAB, sizeof buffer);
    // F000:FFF8 + 16 runs past the top of the 1 MiB space: the module sends nothing.
    EXPECT_EQ(ReadMemSeg(seg, 0xF000FFF8, buffer, 16), NLIE_SIZE_ERROR);
    EXPECT_EQ(ReadMemLin(lin, 0x20000000, buffer, 16), NLIE_SIZE_ERROR);
    EXPECT_EQ(ReadMemLin(seg, 0xE0000000, buffer, 16), NLIE_SIZE_ERROR)
        << "a segmented loader does not know the linear read";
    for (uint8_t b : buffer)
        EXPECT_EQ(b, 0xAB);
    EXPECT_EQ(ReadMemSeg(seg, 0xF000FFF0, buffer, 16), 0);
}

TEST_F(FlashCommands, RamLocking) {
    startBoth();
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(RamLockStatus(dev), 0);
    uint32_t address = LockRam(dev, 0x4000);
    EXPECT_EQ(address, 0x06000000u);
    EXPECT_EQ(LockRam(dev, 0x4000), 0u) << "status 112 with the address field filled";
    EXPECT_EQ(UnlockRam(dev, address), 0);
    EXPECT_EQ(LockRam(dev, 0x4000), address);

    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(WriteRamSeg(dev, 0x06000010, data, 4), 0);
    uint8_t back[4] = {};
    EXPECT_EQ(ReadMemSeg(dev, 0x06000010, back, 4), 0);
    EXPECT_EQ(std::memcmp(back, data, 4), 0);
}

TEST_F(FlashCommands, RestartCommands) {
    startBoth();
    NLIDevice* seg = openDevice(0);
    NLIDevice* lin = openDevice(1);
    ASSERT_NE(seg, nullptr);
    ASSERT_NE(lin, nullptr);
    RebootModule(seg, false);
    RebootModule(lin, true);
    for (size_t i = 0; i < 2; ++i)
        EXPECT_EQ(onBoot(i, [](nlisim::BootLoader& b, nlisim::Module&) { return b.restarts; }), 1u)
            << i;
}

// Broadcast without a module's Ethernet address, a flash command would reach every module:
// the boot loaders leave it alone.
TEST_F(FlashCommands, PlainBroadcastsAreIgnored) {
    startModules({segmentedModule(kSegMac), segmentedModule("00:E0:62:00:00:03")});
    NLIDevice* dev = openDevice(0, 20, 0);
    ASSERT_NE(dev, nullptr);
    dev->addressedHeader = 0;
    dev->headerLength = NLI_HEADER_LENGTH;
    const uint8_t zero[2] = {0, 0};

    EXPECT_EQ(WriteFlashSeg(dev, 0xE0000000, zero, 2), NLIE_TIMEOUT);
    EXPECT_EQ(EraseSector(dev, 4), NLIE_TIMEOUT);

    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(flashAt(i, 0xE0000000, 2), (Bytes{0xFF, 0xFF})) << i;
        EXPECT_TRUE(onBoot(i, [](nlisim::BootLoader& b, nlisim::Module&) {
            return b.eraseLog.empty();
        })) << i;
    }
}

} // namespace
