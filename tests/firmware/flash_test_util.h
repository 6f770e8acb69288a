// Helpers for the flash command and download tests: plants of simulated modules with a boot
// loader, image files built by the image tool's own code, and access to a module's flash.
#pragma once

#include "firmware/download.h"
#include "firmware/image_builder.h"

#include "fw_test_util.h"
#include "sim_fixture.h"

#include "../../sim/src/bootloader.h"
#include "../../sim/src/info.h"
#include "../../sim/src/setup_store.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace flashtest {

using nlisim::Json;
using Bytes = std::vector<uint8_t>;

// A segmented communication module (platform 2, family 1, 512 KiB flash) with its OS running.
inline Json segmentedModule(const std::string& mac, const std::string& boot = "3.0.4",
                            const std::string& os = "4.1.7") {
    return Json{{"mac", mac},
                {"family", 1},
                {"platform", 2},
                {"versions", {{"boot", boot}, {"os", os}}},
                {"bootloader", Json::object()}};
}

// A linear PC-based controller module (platform 3, family 2) with its OS running.
inline Json linearModule(const std::string& mac, const std::string& boot = "3.1.0",
                         const std::string& os = "2.8.3") {
    return Json{{"mac", mac},
                {"family", 2},
                {"platform", 3},
                {"versions", {{"boot", boot}, {"os", os}}},
                {"bootloader", Json::object()}};
}

// Bytes that look like program code; none of the 0xFF-only chunks the download skips.
inline Bytes codeBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng() % 0xFF); // never 0xFF
    return b;
}

// The image as LoadBinFile gives it: what the module's flash must hold afterwards.
struct Expected {
    Bytes buffer;
    firmware::BinFileHeader header{};
    uint16_t crc = 0;
    uint32_t runAddress = 0;
    uint32_t imageAddress = 0;
    uint32_t imageLength = 0;
};

inline Expected loadExpected(const std::string& path) {
    Expected e;
    e.buffer.assign(firmware::kImageBufferSize, 0);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr) << path;
    if (!f) return e;
    int32_t rc = firmware::LoadBinFile(e.buffer.data(), firmware::kImageBufferSize, f, e.header,
                                       e.crc, e.runAddress, e.imageAddress, e.imageLength);
    std::fclose(f);
    EXPECT_EQ(rc, 0) << path;
    return e;
}

// Writes an image file built from chunks; returns its path.
inline std::string writeImage(const fwtest::TempDir& dir, const std::string& name,
                              const firmware::ImageSpec& fields,
                              const std::vector<firmware::ImageChunk>& chunks) {
    firmware::ImageData data;
    data.chunks = chunks;
    std::vector<uint8_t> file;
    std::string error;
    EXPECT_TRUE(firmware::BuildBinFile(fields, data, file, error)) << error;
    std::string path = dir / name;
    fwtest::writeFile(path, file);
    return path;
}

inline firmware::ImageSpec fields(uint16_t kind, uint8_t format, uint16_t platform, uint16_t family,
                                firmware::VersionTriple version) {
    firmware::ImageSpec s;
    s.imageKind = kind;
    s.dataFormat = format;
    s.targetPlatform = platform;
    s.targetFamily = family;
    s.version = version;
    s.description = "test image";
    return s;
}

// Counts the phases the download reports.
class PhaseRecorder : public firmware::DownloadObserver {
  public:
    void progress(firmware::DownloadPhase phase, uint32_t done, uint32_t total) override {
        if (phases.empty() || phases.back() != phase) phases.push_back(phase);
        if (phase == firmware::DownloadPhase::Verifying) {
            EXPECT_LE(done, total);
            EXPECT_GE(done, lastVerified);
            lastVerified = done;
            verifyTotal = total;
        }
    }
    std::vector<firmware::DownloadPhase> phases;
    uint32_t lastVerified = 0;
    uint32_t verifyTotal = 0;
};

// A simulated plant, the library aimed at it, and download waits shortened to what the
// simulated modules need.
class FlashFixture : public testsupport::SimFixture {
  protected:
    void SetUp() override {
        saved_ = firmware::GetDownloadTimings();
        firmware::DownloadTimings t = saved_;
        t.blockRebootPauseMs = t.blockRebootPauseSerialMs = 20;
        t.osRebootPauseMs = 20;
        t.osSettleMs = t.osSettleSerialMs = 20;
        firmware::SetDownloadTimings(t);
    }
    void TearDown() override {
        firmware::SetDownloadTimings(saved_);
        SimFixture::TearDown();
    }

    // Ends the plant (for tests that run several in turn); the shortened waits stay.
    void stopPlant() { SimFixture::TearDown(); }

    void startModules(const std::vector<Json>& modules, uint64_t seed = 7) {
        start(nlisim::Plant::fromJson(Json{{"seed", seed}, {"modules", modules}}));
    }

    template <class F> auto onBoot(size_t index, F&& fn) {
        return sim().withModule(
            index, [&](nlisim::Module& m) { return fn(m.feature<nlisim::BootLoader>(), m); });
    }
    Bytes flashAt(size_t index, uint32_t address, size_t length) {
        return onBoot(index, [&](nlisim::BootLoader& b, nlisim::Module&) {
            return b.flashAt(address, length);
        });
    }
    nlisim::VersionTriple osVersion(size_t index) {
        return sim().withModule(index,
                                [](nlisim::Module& m) { return m.feature<nlisim::Versions>().os; });
    }
    nlisim::VersionTriple bootVersion(size_t index) {
        return sim().withModule(
            index, [](nlisim::Module& m) { return m.feature<nlisim::Versions>().boot; });
    }
    bool osRunning(size_t index) {
        return sim().withModule(
            index, [](nlisim::Module& m) { return m.feature<nlisim::Versions>().osRunning; });
    }
    Bytes setupItem(size_t index, uint16_t code) {
        return sim().withModule(index, [&](nlisim::Module& m) {
            const Bytes* b = m.feature<nlisim::SetupStore>().get(code);
            return b ? *b : Bytes{};
        });
    }
    uint32_t requestsReceived(size_t index) {
        return sim().withModule(index, [](nlisim::Module& m) { return m.requestsReceived; });
    }

    fwtest::TempDir dir_;

  private:
    firmware::DownloadTimings saved_;
};

inline uint16_t u16At(const Bytes& b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
inline uint32_t u32At(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// The first offset where two byte ranges differ, or -1.
inline long firstDifference(const Bytes& a, const uint8_t* b, size_t n) {
    if (a.size() < n) return 0;
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return static_cast<long>(i);
    return -1;
}

} // namespace flashtest
