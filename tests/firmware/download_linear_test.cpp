// labels: integration
// Whole downloads into simulated linear-addressed modules: operating system and boot loader,
// with and without the module's flash layout, under dropped packets, and the refusals.
#include "flash_test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

using namespace flashtest;
using firmware::DownloadBinFile;
using firmware::ImageChunk;

namespace {

constexpr const char* kMac = "00:E0:62:44:55:66";

class LinearDownload : public FlashFixture {};

void expectOsImage(FlashFixture& f, const Expected& e, const Bytes& flash, const Bytes& def) {
    (void)f;
    EXPECT_EQ(firstDifference(flash, e.buffer.data(), e.imageLength), -1);
    ASSERT_EQ(def.size(), 32u);
    EXPECT_EQ(u32At(def, 0), e.imageAddress);
    EXPECT_EQ(u32At(def, 4), e.imageAddress + e.imageLength - 1);
    EXPECT_EQ(u32At(def, 8), e.runAddress);
    EXPECT_EQ(u16At(def, 12), e.crc);
    EXPECT_NE(u16At(def, 14), 0xFFFF);
    EXPECT_EQ(u16At(def, 16), 0xAAAA);
}

// The module's own layout, one cut short, and none at all (the built-in values apply).
TEST_F(LinearDownload, OsImageWithEveryKindOfLayoutAnswer) {
    for (const char* layout : {"full", "short", "none"}) {
        SCOPED_TRACE(layout);
        Json module = linearModule(kMac);
        module["bootloader"]["flashLayout"] = layout;
        startModules({module});
        NLIDevice* dev = openDevice(0);
        ASSERT_NE(dev, nullptr);
        std::string path = writeImage(dir_, "os.bin", fields(firmware::IMAGE_OS, 1, 3, 2, {2, 9, 1}),
                                      {ImageChunk{0xA0008000, codeBytes(0x10000, 11)}});
        Expected e = loadExpected(path);
        Bytes bootArea = flashAt(0, 0xA0000000, 0x8000);

        PhaseRecorder phases;
        ASSERT_EQ(DownloadBinFile(dev, path, &phases), 0);

        expectOsImage(*this, e, flashAt(0, e.imageAddress, e.imageLength),
                      setupItem(0, DT_BOOT_OS));
        EXPECT_EQ(osVersion(0).text(), "2.9.1");
        EXPECT_TRUE(osRunning(0));
        // One range erase of exactly the OS area; the boot area is untouched.
        onBoot(0, [](nlisim::BootLoader& b, nlisim::Module&) {
            EXPECT_EQ(b.rangeErases, 1u);
            return 0;
        });
        Bytes rest = flashAt(0, e.imageAddress + e.imageLength, 0x1000);
        EXPECT_EQ(rest, Bytes(0x1000, 0xFF));
        EXPECT_EQ(flashAt(0, 0xA0407FFF, 1), Bytes{0xFF});
        EXPECT_EQ(flashAt(0, 0xA0000000, 0x8000), bootArea);
        EXPECT_EQ(phases.verifyTotal, e.imageLength);
        stopPlant();
    }
}

TEST_F(LinearDownload, BootLoaderImageIsStagedInRamAndCopiedByTheModule) {
    startModules({linearModule(kMac)});
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    std::string path =
        writeImage(dir_, "boot.bin", fields(firmware::IMAGE_BOOT_LOADER, 1, 3, 2, {3, 3, 0}),
                   {ImageChunk{0xA0000000, codeBytes(0x6000, 12)}});
    Expected e = loadExpected(path);
    Bytes identity = flashAt(0, 0xA0007FCC, 32);

    ASSERT_EQ(DownloadBinFile(dev, path), 0);

    Bytes area = flashAt(0, 0xA0000000, 0x8000);
    EXPECT_EQ(firstDifference(area, e.buffer.data(), e.imageLength), -1);
    for (size_t i = e.imageLength; i < 0x7FCC; ++i)
        ASSERT_EQ(area[i], 0xFF) << i;
    EXPECT_EQ(Bytes(area.begin() + 0x7FCC, area.begin() + 0x7FEC), identity);
    EXPECT_EQ(Bytes(area.begin() + 0x7FFA, area.end()),
              (Bytes{0x00, 0xE0, 0x62, 0x44, 0x55, 0x66}));
    EXPECT_EQ(bootVersion(0).text(), "3.3.0");
    onBoot(0, [](nlisim::BootLoader& b, nlisim::Module&) {
        EXPECT_EQ(b.bootCopies, 1u);
        EXPECT_FALSE(b.ramLocked);
        EXPECT_EQ(b.flashWrites, 0u) << "a boot loader goes through RAM only";
        return 0;
    });
}

TEST_F(LinearDownload, RefusedBeforeTheFlashChanges) {
    struct Case {
        const char* name;
        uint16_t kind;
        uint32_t address;
        size_t length;
        int32_t result;
    };
    const Case cases[] = {
        // Its OSDef, QuickBoot and confirmation exist only in the segmented commands.
        {"block image", firmware::IMAGE_OS_BLOCK, 0xA0008000, 0x1000, firmware::kInvalidFileFormat},
        // Larger than the RAM the module stages it in.
        {"boot loader too large", firmware::IMAGE_BOOT_LOADER, 0xA0000000, 0x9000,
         firmware::kAddressOutOfRange},
        // Past the end of the OS area, into flash nobody erased.
        {"OS past its area", firmware::IMAGE_OS, 0xA0400000, 0x10000, firmware::kAddressOutOfRange},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startModules({linearModule(kMac)});
        NLIDevice* dev = openDevice(0);
        ASSERT_NE(dev, nullptr);
        std::string path = writeImage(dir_, "x.bin", fields(c.kind, 1, 3, 2, {3, 0, 0}),
                                      {ImageChunk{c.address, codeBytes(c.length, 13)}});
        Bytes before = flashAt(0, 0xA0000000, 0x408000);

        EXPECT_EQ(DownloadBinFile(dev, path), c.result);

        EXPECT_EQ(flashAt(0, 0xA0000000, 0x408000), before);
        onBoot(0, [](nlisim::BootLoader& b, nlisim::Module&) {
            EXPECT_TRUE(b.eraseLog.empty());
            EXPECT_EQ(b.ramWrites, 0u);
            EXPECT_FALSE(b.ramLocked);
            return 0;
        });
        stopPlant();
    }
}

// With 5% of the requests dropped the download either completes with the image in flash or
// fails with a clear result; it never reports success over a flash that differs.
TEST_F(LinearDownload, DroppedRequestsNeverGiveAFalseSuccess) {
    int completed = 0;
    for (uint64_t seed : {11u, 12u}) {
        SCOPED_TRACE(seed);
        Json module = linearModule(kMac);
        module["faults"] = {{"dropShare", 0.05}};
        startModules({module}, seed);
        NLIDevice* dev = openDevice(0);
        ASSERT_NE(dev, nullptr);
        std::string path = writeImage(dir_, "os.bin", fields(firmware::IMAGE_OS, 1, 3, 2, {2, 9, 2}),
                                      {ImageChunk{0xA0008000, codeBytes(0x8000, 14)}});
        Expected e = loadExpected(path);

        int32_t rc = DownloadBinFile(dev, path);

        Bytes flash = flashAt(0, e.imageAddress, e.imageLength);
        bool same = firstDifference(flash, e.buffer.data(), e.imageLength) == -1;
        if (rc == 0) {
            EXPECT_TRUE(same) << "success reported over a flash that differs from the image";
            expectOsImage(*this, e, flash, setupItem(0, DT_BOOT_OS));
        } else {
            EXPECT_TRUE(NLI_FAILED(rc)) << "result " << rc << " reads as a success";
            std::printf("seed %llu: download failed with %d (%s)\n",
                        static_cast<unsigned long long>(seed), static_cast<int>(rc),
                        ResultCodeName(rc));
        }
        if (rc == 0) ++completed;
        EXPECT_GT(sim().counters().requestsDropped, 0u);
        stopPlant();
    }
    // Three re-sends per request make a failure at 5% rare; both failing means a fault.
    EXPECT_GE(completed, 1);
}

// A file that loads but holds no data would have the OS area erased and nothing written.
TEST_F(LinearDownload, EmptyImageIsRefusedBeforeAnythingIsSent) {
    startModules({linearModule(kMac)});
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    firmware::BinFileHeader h{};
    h.imageKind = firmware::IMAGE_OS;
    h.targetPlatform = 3;
    h.targetFamily = 2;
    h.formatVersionMajor = 4;
    h.formatVersionMinor = 4;
    h.dataFormat = firmware::FORMAT_BLOCKS;
    Bytes file(sizeof h);
    std::memcpy(file.data(), &h, sizeof h);
    for (char c : std::string("B000FF\n"))
        file.push_back(static_cast<uint8_t>(c));
    for (uint32_t v : {0xA0008000u, 0u, 0u, 0xA0008000u, 0u})
        fwtest::appendU32(file, v);
    std::string path = dir_ / "empty.bin";
    fwtest::writeFile(path, file);
    Expected e = loadExpected(path);
    ASSERT_EQ(e.imageLength, 0u);
    uint32_t before = requestsReceived(0);

    EXPECT_EQ(DownloadBinFile(dev, path), firmware::kInvalidFileFormat);
    EXPECT_EQ(requestsReceived(0), before);
}

} // namespace
