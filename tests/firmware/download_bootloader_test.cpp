// labels: integration
// Catching a module's boot loader, and what a simulated module keeps of a download: the
// version it reports and, through a saved plant and a restart, the programmed OS.
#include "flash_test_util.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

using namespace flashtest;
using firmware::EnterBootLoader;

namespace {

constexpr const char* kMac = "00:E0:62:33:00:01";

class CatchBootLoader : public FlashFixture {};

TEST_F(CatchBootLoader, EnterBootLoader) {
    struct Case {
        const char* name;
        Json module;
        int32_t result;
        bool restarted;
        bool osRunningAfter;
    };
    Json waiting = segmentedModule(kMac);
    waiting["versions"]["osRunning"] = false;
    // Taken for segmented (no loader information), it never takes the segmented restart.
    Json uncatchable = linearModule(kMac);
    uncatchable["bootloader"]["loaderInfo"] = "none";
    const Case cases[] = {
        {"running OS, boot loader 3.0.4", segmentedModule(kMac), 0, true, false},
        {"running OS, boot loader 2.5.0", segmentedModule(kMac, "2.5.0"), 0, false, true},
        {"already in its boot loader", waiting, 0, false, false},
        {"never caught", uncatchable, -2, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        firmware::DownloadTimings t = firmware::GetDownloadTimings();
        t.bootLoaderCatchMs = 400;
        firmware::SetDownloadTimings(t);
        startModules({c.module});
        NLIDevice* dev = openDevice(0);
        ASSERT_NE(dev, nullptr);
        errno = 0;
        int niceBefore = getpriority(PRIO_PROCESS, 0);

        EXPECT_EQ(EnterBootLoader(dev), c.result);

        EXPECT_EQ(dev->timeoutMs, 100);
        EXPECT_EQ(dev->retries, 3);
        EXPECT_EQ(getpriority(PRIO_PROCESS, 0), niceBefore);
        onBoot(0, [&](nlisim::BootLoader& b, nlisim::Module&) {
            EXPECT_EQ(b.restarts > 0, c.restarted);
            if (c.result == 0 && c.restarted) {
                EXPECT_GE(b.catches, 1u);
            }
            return 0;
        });
        EXPECT_EQ(osRunning(0), c.osRunningAfter);
        stopPlant();
    }
}

// The version record reports the version stamped into the image; a plant saved afterwards
// keeps the flash, so that the module restarts into the new OS.
TEST_F(CatchBootLoader, ProgrammedOsSurvivesASavedPlantAndARestart) {
    startModules({segmentedModule(kMac)});
    NLIDevice* dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    std::string path =
        writeImage(dir_, "os.bin", fields(firmware::IMAGE_OS_BLOCK, 0, 2, 1, {4, 7, 11}),
                   {firmware::ImageChunk{0xF0000, codeBytes(0x2000, 41)}});
    Expected e = loadExpected(path);
    ASSERT_EQ(firmware::DownloadBinFile(dev, path), 0);
    uint8_t version[50] = {};
    ASSERT_EQ(NLIReadVersionInfo(dev, version, sizeof version), 0);
    EXPECT_EQ(version[5], 4);
    EXPECT_EQ(version[6], 7);
    EXPECT_EQ(version[7] | version[8] << 8, 11);

    Json saved = sim().plantJson();
    stopPlant();
    start(nlisim::Plant::fromJson(saved));
    dev = openDevice(0);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(
        firstDifference(flashAt(0, 0xF0000000, e.imageLength), e.buffer.data(), e.imageLength), -1);
    ASSERT_EQ(NLIReboot(dev), 0);
    onBoot(0, [](nlisim::BootLoader& b, nlisim::Module&) {
        EXPECT_FALSE(b.factoryOs);
        EXPECT_EQ(b.osStarts, 1u) << "started from the OSDef in flash";
        return 0;
    });
    EXPECT_TRUE(osRunning(0));
    EXPECT_EQ(osVersion(0).text(), "4.7.11");
}

} // namespace
