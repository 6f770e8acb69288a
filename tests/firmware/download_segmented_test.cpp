// labels: integration
// Whole downloads into simulated segment-addressed modules: each image kind, QuickBoot, the
// chunk retry limit, and the checks that refuse a download before the module is changed.
#include "flash_test_util.h"

#include "firmware/version_stamp.h"

#include <gtest/gtest.h>

using namespace flashtest;
using firmware::DownloadBinFile;
using firmware::ImageChunk;
using firmware::VersionTriple;

namespace {

constexpr const char* kMac = "00:E0:62:11:22:33";
constexpr uint16_t kChunk = firmware::kChunkSegmented;

class SegmentedDownload : public FlashFixture {};

// The OSDef record of an IMAGE_OS_BLOCK block, as the module's flash holds it.
void expectBlockOsDef(const Bytes& def, const Expected& e, uint32_t loadedLength) {
    ASSERT_EQ(def.size(), 32u);
    EXPECT_EQ(u32At(def, 0), e.imageAddress);
    EXPECT_EQ(u32At(def, 4), e.imageAddress + loadedLength - 1);
    EXPECT_EQ(u32At(def, 8), e.runAddress);
    EXPECT_EQ(u16At(def, 12), e.crc);
    EXPECT_NE(u16At(def, 14), 0xFFFF) << "the new OS did not set BootSignature";
    EXPECT_EQ(u16At(def, 16), 0xAAAA) << "confirmMark";
    for (size_t i = 18; i < 32; ++i)
        EXPECT_EQ(def[i], 0xFF) << i;
}

TEST_F(SegmentedDownload, OsBlockAtF000FromSegmentRecords) {
    startModules({segmentedModule(kMac)});
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    std::string path =
        writeImage(dir_, "os.bin", fields(firmware::IMAGE_OS_BLOCK, 0, 2, 1, {4, 2, 3}),
                   {ImageChunk{0xF0000, codeBytes(0x5000, 1)}});
    Expected e = loadExpected(path);
    ASSERT_EQ(e.imageAddress, 0xF0000000u);
    const NLITransport before = transport();

    PhaseRecorder phases;
    ASSERT_EQ(DownloadBinFile(dev, path, &phases), 0);

    Bytes flash = flashAt(0, 0xF0000000, 0x8000);
    ASSERT_EQ(flash.size(), 0x8000u);
    EXPECT_EQ(firstDifference(flash, e.buffer.data(), e.imageLength), -1);
    for (size_t i = e.imageLength; i < 0x8000 - 32; ++i)
        ASSERT_EQ(flash[i], 0xFF) << "padding at 0x" << std::hex << i;
    expectBlockOsDef(Bytes(flash.end() - 32, flash.end()), e, e.imageLength);

    EXPECT_EQ(osVersion(0).text(), "4.2.3");
    EXPECT_TRUE(osRunning(0));
    onBoot(0, [](nlisim::BootLoader& b, nlisim::Module&) {
        // The block's sector at once, then the erase range: sector 1 both times.
        EXPECT_EQ(b.eraseLog, (std::vector<int>{1, 1}));
        EXPECT_EQ(b.quickBoots, 0u);
        EXPECT_GE(b.catches, 1u);
        return 0;
    });
    EXPECT_EQ(std::memcmp(&before, &transport(), sizeof before), 0)
        << "the transport record (scrambling) was not restored";
    using P = firmware::DownloadPhase;
    EXPECT_EQ(phases.phases.front(), P::EnteringBootLoader);
    EXPECT_EQ(phases.phases.back(), P::Confirming);
    EXPECT_EQ(phases.lastVerified, phases.verifyTotal);
}

TEST_F(SegmentedDownload, OldBootLoaderTakesQuickBootIntoAnE000Block) {
    startModules({segmentedModule(kMac, "2.5.0", "3.9.1")});
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    std::string path =
        writeImage(dir_, "os.bin", fields(firmware::IMAGE_OS_BLOCK, 0, 2, 1, {4, 0, 0}),
                   {ImageChunk{0xE0000, codeBytes(0x9000, 2)}});
    Expected e = loadExpected(path);
    ASSERT_EQ(e.imageAddress, 0xE0000000u);

    ASSERT_EQ(DownloadBinFile(dev, path), 0);

    Bytes flash = flashAt(0, 0xE0000000, 0x10000);
    EXPECT_EQ(firstDifference(flash, e.buffer.data(), e.imageLength), -1);
    expectBlockOsDef(Bytes(flash.end() - 32, flash.end()), e, e.imageLength);
    onBoot(0, [](nlisim::BootLoader& b, nlisim::Module&) {
        EXPECT_EQ(b.quickBoots, 1u);
        EXPECT_EQ(b.catches, 0u) << "a 2.5.0 boot loader cannot be caught";
        EXPECT_EQ(b.eraseLog, (std::vector<int>{0})) << "QuickBoot skips the sector erase";
        return 0;
    });
    EXPECT_EQ(osVersion(0).text(), "4.0.0");
}

TEST_F(SegmentedDownload, OsImageErasesTheOsAreaAndStoresItsOsDef) {
    startModules({segmentedModule(kMac)});
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    // 0x10001 bytes in all: the OSDef carries the CRC of the first byte only.
    Bytes code = codeBytes(0x10001 - firmware::kVersionStampSize, 3);
    std::string path = writeImage(dir_, "os.bin", fields(firmware::IMAGE_OS, 0, 2, 1, {4, 3, 0}),
                                  {ImageChunk{0x80000, code}});
    Expected e = loadExpected(path);
    ASSERT_EQ(e.imageAddress, 0x80000000u);
    ASSERT_EQ(e.imageLength, 0x10001u);

    ASSERT_EQ(DownloadBinFile(dev, path), 0);

    Bytes flash = flashAt(0, 0x80000000, 0x10002);
    EXPECT_EQ(firstDifference(flash, e.buffer.data(), 0x10002), -1);
    Bytes def = setupItem(0, DT_BOOT_OS);
    ASSERT_EQ(def.size(), 32u);
    EXPECT_EQ(u32At(def, 0), 0x80000000u);
    EXPECT_EQ(u32At(def, 4), 0x90000000u) << "end normalised: 8000:FFFF + 1 is 9000:0000";
    EXPECT_EQ(u16At(def, 12), fwtest::referenceCrc(e.buffer.data(), 1));
    EXPECT_NE(u16At(def, 14), 0xFFFF);
    EXPECT_EQ(u16At(def, 16), 0xAAAA);
    EXPECT_EQ(osVersion(0).text(), "4.3.0");
    onBoot(0, [](nlisim::BootLoader& b, nlisim::Module&) {
        // The OS area of a 512 KiB module, 8000:0000 to F000:7FFF, in table order.
        EXPECT_EQ(b.eraseLog, (std::vector<int>{0, 1, 5, 6, 7, 8, 9, 10}));
        return 0;
    });
}

TEST_F(SegmentedDownload, OddImageIsWrittenInEvenChunks) {
    startModules({segmentedModule(kMac)});
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    firmware::ImageSpec s = fields(firmware::IMAGE_OS, 0, 2, 1, {4, 3, 1});
    s.stamp = false;
    std::string path = writeImage(dir_, "odd.bin", s, {ImageChunk{0x80000, codeBytes(0x101, 4)}});
    Expected e = loadExpected(path);
    ASSERT_EQ(e.imageLength, 0x101u);

    ASSERT_EQ(DownloadBinFile(dev, path), 0);

    EXPECT_EQ(firstDifference(flashAt(0, 0x80000000, 0x102), e.buffer.data(), 0x102), -1);
    // Two 128-byte chunks and a final 2-byte one.
    EXPECT_EQ(onBoot(0, [](nlisim::BootLoader& b, nlisim::Module&) { return b.flashWrites; }), 3u);
}

TEST_F(SegmentedDownload, BootLoaderImageKeepsTheModuleIdentityAndAddress) {
    Json module = segmentedModule(kMac);
    module["bootloader"]["identity"] = "02 01 5A 5A";
    startModules({module});
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    // A boot-loader image is never refused for the boot-loader version it names.
    firmware::ImageSpec s = fields(firmware::IMAGE_BOOT_LOADER, 1, 2, 1, {3, 2, 0});
    s.requiredBootVersion = {9, 9, 9};
    std::string path =
        writeImage(dir_, "boot.bin", s, {ImageChunk{0xFC000000, codeBytes(0x3000, 5)}});
    Expected e = loadExpected(path);

    ASSERT_EQ(DownloadBinFile(dev, path), 0);

    Bytes area = flashAt(0, 0xFC000000, 0x4000);
    ASSERT_EQ(area.size(), 0x4000u);
    EXPECT_EQ(firstDifference(area, e.buffer.data(), e.imageLength), -1);
    // Staged RAM is not erased flash: the image's 0xFF bytes must arrive too.
    for (size_t i = e.imageLength; i < 0x3FCC; ++i)
        ASSERT_EQ(area[i], 0xFF) << i;
    EXPECT_EQ(Bytes(area.begin() + 0x3FCC, area.begin() + 0x3FD0), (Bytes{2, 1, 0x5A, 0x5A}));
    EXPECT_EQ(Bytes(area.begin() + 0x3FFA, area.end()),
              (Bytes{0x00, 0xE0, 0x62, 0x11, 0x22, 0x33}));
    EXPECT_EQ(bootVersion(0).text(), "3.2.0");
    onBoot(0, [](nlisim::BootLoader& b, nlisim::Module&) {
        EXPECT_EQ(b.bootCopies, 1u);
        EXPECT_FALSE(b.ramLocked);
        EXPECT_EQ(b.eraseLog, (std::vector<int>{4})) << "the module erases its boot area itself";
        return 0;
    });
}

// A chunk whose read-back is wrong nine times is accepted on the tenth attempt; ten wrong
// read-backs end the download with 216.
TEST_F(SegmentedDownload, ChunkRetryLimit) {
    struct Case {
        uint32_t corruptReads;
        int32_t result;
    };
    for (Case c : {Case{9, 0}, Case{10, firmware::kVerifyFailed}}) {
        SCOPED_TRACE(c.corruptReads);
        startModules({segmentedModule(kMac)});
        NLIDevice* dev = openDevice(0);
        ASSERT_NE(dev, nullptr);
        std::string path =
            writeImage(dir_, "os.bin", fields(firmware::IMAGE_OS_BLOCK, 0, 2, 1, {4, 2, 4}),
                       {ImageChunk{0xF0000, codeBytes(0x400, 6)}});
        Expected e = loadExpected(path);
        onBoot(0, [&](nlisim::BootLoader& b, nlisim::Module&) {
            b.corruptAddress = 0xF0000100; // in the third chunk
            b.corruptReads = c.corruptReads;
            return 0;
        });

        EXPECT_EQ(DownloadBinFile(dev, path), c.result);

        onBoot(0, [](nlisim::BootLoader& b, nlisim::Module&) {
            EXPECT_EQ(b.corruptReads, 0u);
            return 0;
        });
        // The flash holds what was written: all of it, or up to the chunk that failed.
        const size_t written = c.result == 0 ? 0x400 : 0x180;
        Bytes flash = flashAt(0, 0xF0000000, 0x400);
        EXPECT_EQ(firstDifference(flash, e.buffer.data(), written), -1);
        for (size_t i = written; i < 0x400; ++i)
            ASSERT_EQ(flash[i], 0xFF) << i;
        stopPlant();
    }
}

TEST_F(SegmentedDownload, IdentityIsComparedAndProgrammedWhenBlank) {
    struct Case {
        const char* identity;
        uint16_t platform;
        uint16_t family;
        int32_t result;
        Bytes after;
    };
    const Case cases[] = {
        {"FF FF", 2, 1, 0, {2, 1}},    // never programmed: written
        {"80 01", 7, 1, 0, {0x80, 1}}, // stored family 0x80 takes any
        {"02 01", 2, 0x41, 0, {2, 1}}, // type bit 0x40 ignored
        {"03 01", 2, 1, firmware::kFamilyTypeMismatch, {3, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.identity);
        Json module = segmentedModule(kMac);
        module["bootloader"]["identity"] = c.identity;
        startModules({module});
        NLIDevice* dev = openDevice(0);
        ASSERT_NE(dev, nullptr);
        std::string path = writeImage(
            dir_, "os.bin", fields(firmware::IMAGE_OS_BLOCK, 0, c.platform, c.family, {4, 2, 5}),
            {ImageChunk{0xF0000, codeBytes(0x200, 7)}});

        EXPECT_EQ(DownloadBinFile(dev, path), c.result);

        EXPECT_TRUE(osRunning(0)) << "the new OS runs whatever the identity says";
        EXPECT_EQ(flashAt(0, 0xFC003FCC, 2), c.after);
        stopPlant();
    }
}

// Refused before anything in the module changes.
TEST_F(SegmentedDownload, RefusalsLeaveTheFlashAlone) {
    struct Case {
        const char* name;
        uint16_t kind;
        const char* requiredBoot;
        Json bootloader;
        int32_t result;
    };
    const Case cases[] = {
        {"unknown image kind", 3, "0.0.0", Json::object(), firmware::kInvalidFileFormat},
        {"boot loader too old", firmware::IMAGE_OS_BLOCK, "3.1.0", Json::object(),
         firmware::kInvalidBooterVersion},
        {"identity area above the read buffer", firmware::IMAGE_OS_BLOCK, "0.0.0",
         Json{{"flashLayout", "full"}, {"layout", {{"identityAreaSize", 601}}}},
         NLIE_INVALID_RESPONSE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Json module = segmentedModule(kMac, "3.0.9");
        module["bootloader"] = c.bootloader;
        startModules({module});
        NLIDevice* dev = openDevice(0);
        ASSERT_NE(dev, nullptr);
        firmware::ImageSpec s = fields(c.kind, 0, 2, 1, {4, 2, 6});
        VersionTriple required{};
        nlisim::VersionTriple parsed;
        ASSERT_TRUE(nlisim::VersionTriple::parse(c.requiredBoot, parsed));
        required.major = parsed.major;
        required.minor = parsed.minor;
        required.build = parsed.build;
        s.requiredBootVersion = required;
        std::string path = writeImage(dir_, "x.bin", s, {ImageChunk{0xF0000, codeBytes(0x200, 8)}});
        uint32_t before = requestsReceived(0);
        Bytes flashBefore = flashAt(0, 0xE0000000, 0x10000);

        EXPECT_EQ(DownloadBinFile(dev, path), c.result);

        if (c.kind == 3) {
            EXPECT_EQ(requestsReceived(0), before) << "nothing may be sent";
        }
        onBoot(0, [](nlisim::BootLoader& b, nlisim::Module&) {
            EXPECT_TRUE(b.eraseLog.empty());
            EXPECT_EQ(b.flashWrites, 0u);
            return 0;
        });
        EXPECT_EQ(flashAt(0, 0xE0000000, 0x10000), flashBefore);
        stopPlant();
    }
}

TEST_F(SegmentedDownload, SilentModuleGets207AfterThreeProbes) {
    startModules({segmentedModule(kMac)});
    NLIDevice* dev = openDevice(0, 20, 0);
    ASSERT_NE(dev, nullptr);
    nlisim::Faults silent;
    silent.silent = true;
    sim().setFaults(0, silent);
    std::string path =
        writeImage(dir_, "os.bin", fields(firmware::IMAGE_OS_BLOCK, 0, 2, 1, {4, 2, 7}),
                   {ImageChunk{0xF0000, codeBytes(0x200, 9)}});
    uint32_t before = requestsReceived(0);

    EXPECT_EQ(DownloadBinFile(dev, path), firmware::kDeviceNotResponding);
    EXPECT_EQ(requestsReceived(0) - before, 3u) << "a scrambled probe and two plain ones";
}

TEST_F(SegmentedDownload, PlainOnlyModuleIsProgrammedWithoutScrambling) {
    Json module = segmentedModule(kMac);
    module["acceptScrambled"] = false;
    startModules({module});
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    std::string path =
        writeImage(dir_, "os.bin", fields(firmware::IMAGE_OS_BLOCK, 1, 2, 1, {4, 2, 8}),
                   {ImageChunk{0xF0000000, codeBytes(0x1000, 10)}});
    Expected e = loadExpected(path);

    ASSERT_EQ(DownloadBinFile(dev, path), 0);
    EXPECT_EQ(
        firstDifference(flashAt(0, 0xF0000000, e.imageLength), e.buffer.data(), e.imageLength), -1);
    EXPECT_EQ(transport().scramble.mode, 0u) << "restored as it was before the download";
    EXPECT_GT(sim().counters().scrambledIgnored, 0u);
}

// The sector erased at once is the block's own: for a block outside E000 and F000 that is not
// F000's sector 1, which may hold the running operating system.
TEST_F(SegmentedDownload, BlockElsewhereErasesItsOwnSector) {
    startModules({segmentedModule(kMac)});
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    const uint8_t mark[2] = {0x12, 0x34};
    ASSERT_EQ(firmware::WriteFlashSeg(dev, 0xF0000000, mark, 2), 0);
    std::string path =
        writeImage(dir_, "os.bin", fields(firmware::IMAGE_OS_BLOCK, 0, 2, 1, {4, 2, 9}),
                   {ImageChunk{0xD0000, codeBytes(0x800, 15)}});
    Expected e = loadExpected(path);
    ASSERT_EQ(e.imageAddress, 0xD0000000u);

    // The simulated loader starts an OS from the E000 and F000 blocks only.
    EXPECT_EQ(DownloadBinFile(dev, path), firmware::kOsNotRunning);

    EXPECT_EQ(
        firstDifference(flashAt(0, 0xD0000000, e.imageLength), e.buffer.data(), e.imageLength), -1);
    EXPECT_EQ(flashAt(0, 0xF0000000, 2), (Bytes{0x12, 0x34}));
    onBoot(0, [](nlisim::BootLoader& b, nlisim::Module&) {
        EXPECT_EQ(b.eraseLog, (std::vector<int>{5, 5}));
        return 0;
    });
}

// Requests go out as broadcasts carrying the module's Ethernet address: the other modules of
// the plant see them and must not act on them.
TEST_F(SegmentedDownload, OnlyTheAddressedModuleIsProgrammed) {
    startModules({segmentedModule("00:E0:62:11:22:30"), segmentedModule(kMac)});
    NLIDevice* dev = openDevice(1);
    ASSERT_NE(dev, nullptr);
    Bytes untouched = flashAt(0, 0xE0000000, 0x20000);
    std::string path =
        writeImage(dir_, "os.bin", fields(firmware::IMAGE_OS_BLOCK, 0, 2, 1, {4, 2, 10}),
                   {ImageChunk{0xF0000, codeBytes(0x1000, 16)}});
    Expected e = loadExpected(path);

    ASSERT_EQ(DownloadBinFile(dev, path), 0);

    EXPECT_EQ(
        firstDifference(flashAt(1, 0xF0000000, e.imageLength), e.buffer.data(), e.imageLength), -1);
    EXPECT_EQ(flashAt(0, 0xE0000000, 0x20000), untouched);
    EXPECT_EQ(onBoot(0, [](nlisim::BootLoader& b, nlisim::Module&) { return b.restarts; }), 0u);
    EXPECT_EQ(osVersion(0).text(), "4.1.7");
    EXPECT_EQ(osVersion(1).text(), "4.2.10");
}

// An OS image outside the OS area lands on flash the download did not erase: programming
// cannot set bits again, the read-back differs and the download ends with 216, not success.
TEST_F(SegmentedDownload, WritingOverUnerasedFlashFailsTheVerify) {
    startModules({segmentedModule(kMac)});
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    Bytes zeros(kChunk, 0x00);
    ASSERT_EQ(firmware::WriteFlashSeg(dev, 0xF0008000, zeros.data(), kChunk), 0);
    std::string path = writeImage(dir_, "os.bin", fields(firmware::IMAGE_OS, 0, 2, 1, {4, 2, 11}),
                                  {ImageChunk{0xF8000, codeBytes(0x400, 17)}});

    EXPECT_EQ(DownloadBinFile(dev, path), firmware::kVerifyFailed);

    EXPECT_EQ(flashAt(0, 0xF0008000, kChunk), zeros);
    onBoot(0, [](nlisim::BootLoader& b, nlisim::Module&) {
        EXPECT_EQ(b.flashWrites, 1u + 10u) << "the chunk was tried ten times";
        return 0;
    });
}

} // namespace
