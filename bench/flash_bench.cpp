// Flash download figures, measured in one run on loopback:
//  (a) a 1 MiB operating-system image downloaded into a simulated linear module: the whole
//      download, and its write-and-verify part as throughput and as a ratio to the protocol's
//      floor, which is measured in the same run as the cost of one chunk exchange on its own
//      (a 512-byte flash write with its completion, then its 512-byte read-back);
//  (b) packets per KiB during the download against that floor (per 512-byte chunk: a write
//      request, its acknowledgement and completion, a read request and its answer);
//  (c) the time to load a 4 MiB image file of each data format, next to reading its bytes.
// Usage: flash_bench [chunk exchanges for the floor, default 1000]
#include "firmware/bin_file.h"
#include "firmware/download.h"
#include "firmware/image_builder.h"
#include "firmware/version_stamp.h"
#include "nli.h"
#include "nlisim/sim.h"

#include "../sim/src/bootloader.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

[[noreturn]] void fail(const char* what, long detail = 0) {
    std::fprintf(stderr, "flash_bench: %s (%ld)\n", what, detail);
    std::exit(1);
}

std::vector<uint8_t> code(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng() % 0xFF);
    return b;
}

std::string writeTemp(const char* name, const std::vector<uint8_t>& bytes) {
    char dir[] = "/tmp/flash-bench-XXXXXX";
    static std::string base;
    if (base.empty()) {
        if (!mkdtemp(dir)) fail("mkdtemp");
        base = dir;
    }
    std::string path = base + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) fail("write file");
    std::fclose(f);
    return path;
}

// Times the write phase of a download (first written chunk to the last verified one).
class PhaseClock : public firmware::DownloadObserver {
  public:
    void progress(firmware::DownloadPhase phase, uint32_t, uint32_t) override {
        if (phase == firmware::DownloadPhase::Writing && writeStart == 0) writeStart = now();
        if (phase == firmware::DownloadPhase::Verifying) writeEnd = now();
    }
    double writeStart = 0, writeEnd = 0;
};

// A format-0 file of about `size` bytes: 32-byte data records cycling through 1 MiB of
// segmented addresses (later records overwrite earlier ones), then a start record.
std::vector<uint8_t> segmentRecordFile(size_t size) {
    firmware::BinFileHeader h{};
    h.imageKind = firmware::IMAGE_OS;
    h.formatVersionMajor = 4;
    h.formatVersionMinor = 4;
    h.dataFormat = firmware::FORMAT_SEGMENT_RECORDS;
    std::vector<uint8_t> f(sizeof h);
    std::memcpy(f.data(), &h, sizeof h);
    std::vector<uint8_t> data = code(32, 5);
    uint32_t linear = 0;
    uint16_t segment = 0xFFFF;
    while (f.size() < size) {
        uint16_t wantSegment = static_cast<uint16_t>((linear >> 16) << 12);
        if (wantSegment != segment) {
            segment = wantSegment;
            uint8_t rec[7] = {
                2, 0, 0, 2, static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment), 0};
            f.insert(f.end(), rec, rec + 7);
        }
        uint16_t offset = static_cast<uint16_t>(linear & 0xFFFF);
        uint8_t head[4] = {32, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), 0};
        f.insert(f.end(), head, head + 4);
        f.insert(f.end(), data.begin(), data.end());
        f.push_back(0);
        linear = (linear + 32) % 0x100000;
    }
    uint8_t start[9] = {4, 0, 0, 3, 0, 0, 0, 0, 0};
    f.insert(f.end(), start, start + 9);
    return f;
}

struct LoadTimes {
    double load = 1e9, read = 1e9;
};

LoadTimes timeLoad(const std::string& path, uint8_t* buffer, int runs) {
    LoadTimes t;
    std::vector<uint8_t> raw(8 << 20);
    for (int k = 0; k < runs; ++k) {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) fail("open image file");
        double t0 = now();
        size_t n = std::fread(raw.data(), 1, raw.size(), f);
        double t1 = now();
        (void)n;
        firmware::BinFileHeader header;
        uint16_t crc;
        uint32_t run, address, length;
        double t2 = now();
        int32_t rc = firmware::LoadBinFile(buffer, firmware::kImageBufferSize, f, header, crc, run,
                                           address, length);
        double t3 = now();
        std::fclose(f);
        if (rc != 0) fail("LoadBinFile", rc);
        t.read = std::min(t.read, t1 - t0);
        t.load = std::min(t.load, t3 - t2);
    }
    return t;
}

} // namespace

int main(int argc, char** argv) {
    const int floorChunks = argc > 1 ? std::max(10, std::atoi(argv[1])) : 1000;
    constexpr uint32_t kImageSize = 1 << 20;
    constexpr uint32_t kImageAddress = 0xA0008000;
    constexpr uint32_t kScratch = 0xA0300000; // inside the OS area, beyond the 1 MiB image

    nlisim::Json plant = nlisim::Json::parse(R"({"modules": [{"mac": "00:E0:62:77:00:01",
        "family": 2, "platform": 3, "versions": {"boot": "3.1.0", "os": "2.8.3"}}]})");
    nlisim::Simulator sim(nlisim::Plant::fromJson(plant));
    sim.start();
    if (NLISetBroadcastAddress(sim.broadcastEndpoint().text().c_str()) != 0)
        fail("NLISetBroadcastAddress");
    NLIOpen(NLI_INTERFACE_VERSION);
    NLITransport transport{};
    transport.kind = TRANSPORT_WINSOCK;
    transport.protocol = PROTOCOL_UDPIP;
    if (int32_t rc = NLIOpenTransport(&transport, NLI_INTERFACE_VERSION, nullptr); rc != 0)
        fail("NLIOpenTransport", rc);
    NLISetQueryTimeout(100);
    NLIDevice found[4]{};
    uint16_t count = 4;
    if (NLIQueryDevices(&transport, found, &count, NLI_INTERFACE_VERSION) != 0 || count != 1)
        fail("discovery", count);
    NLIDevice device = found[0];
    if (int32_t rc = NLIOpenDevice(&transport, &device, NLI_INTERFACE_VERSION, 100, 3, 1); rc != 0)
        fail("NLIOpenDevice", rc);

    // The image.
    firmware::ImageSpec fields;
    fields.imageKind = firmware::IMAGE_OS;
    fields.dataFormat = firmware::FORMAT_BLOCKS;
    fields.targetPlatform = 3;
    fields.targetFamily = 2;
    fields.version = {2, 9, 9};
    fields.description = "1 MiB benchmark image";
    firmware::ImageData data;
    data.chunks.push_back({kImageAddress, code(kImageSize - firmware::kVersionStampSize, 1)});
    std::vector<uint8_t> file;
    std::string error;
    if (!firmware::BuildBinFile(fields, data, file, error)) fail(error.c_str());
    std::string imagePath = writeTemp("os.bin", file);

    // (a, b) The download.
    nlisim::Counters before = sim.counters();
    PhaseClock clock;
    double t0 = now();
    int32_t rc = firmware::DownloadBinFile(&device, imagePath, &clock);
    double t1 = now();
    nlisim::Counters after = sim.counters();
    if (rc != 0) fail("DownloadBinFile", rc);
    bool same = sim.withModule(0, [&](nlisim::Module& m) {
        std::vector<uint8_t> flash = m.feature<nlisim::BootLoader>().flashAt(kImageAddress, 4096);
        return flash.size() == 4096 &&
               std::equal(flash.begin(), flash.end(), data.chunks[0].data.begin());
    });
    if (!same) fail("the flash does not hold the image");

    // The floor, measured on the same module right after: one chunk exchange on its own.
    std::vector<uint8_t> chunk = code(firmware::kChunkLinear, 2), back(firmware::kChunkLinear);
    constexpr int kBatch = 50;
    auto measureFloor = [&]() {
        std::vector<double> batches;
        for (int done = 0; done < floorChunks; done += kBatch) {
            double f0 = now();
            for (int k = done; k < done + kBatch; ++k) {
                uint32_t at = kScratch + static_cast<uint32_t>(k % 1024) * firmware::kChunkLinear;
                if (firmware::WriteFlashLin(&device, at, chunk.data(), firmware::kChunkLinear) !=
                        0 ||
                    firmware::ReadMemLin(&device, at, back.data(), firmware::kChunkLinear) != 0)
                    fail("floor chunk", k);
            }
            batches.push_back((now() - f0) / kBatch);
        }
        // The median batch: a busy moment of the shared machine moves it little.
        std::sort(batches.begin(), batches.end());
        return batches[batches.size() / 2];
    };
    double plainFloor = measureFloor();
    // The download ran scrambled (the module accepted the scrambled probe): so does its floor.
    transport.scramble = firmware::ScrambleKeyRecord();
    double chunkFloor = measureFloor();
    transport.scramble.mode = 0;

    const double kib = kImageSize / 1024.0;
    const double chunks = kImageSize / static_cast<double>(firmware::kChunkLinear);
    double phase = clock.writeEnd - clock.writeStart;
    double requests = static_cast<double>(after.requestsReceived - before.requestsReceived);
    double answers = static_cast<double>(after.answersSent - before.answersSent);
    std::printf("1 MiB IMAGE_OS download into a linear module (loopback, 512-byte chunks)\n");
    std::printf("  whole download          %8.3f s (includes the fixed restart waits)\n", t1 - t0);
    std::printf("  write and verify        %8.3f s  %8.1f KiB/s\n", phase, kib / phase);
    std::printf("  floor: one chunk        %8.1f us scrambled, %.1f us plain (write + completion"
                " + read-back; median batch of %d in %d)\n",
                chunkFloor * 1e6, plainFloor * 1e6, kBatch, floorChunks);
    std::printf("  floor for 1 MiB         %8.3f s  %8.1f KiB/s\n", chunks * chunkFloor,
                kib / (chunks * chunkFloor));
    std::printf("  write phase / floor     %8.2f\n", phase / (chunks * chunkFloor));
    std::printf("  requests per KiB        %8.2f  (floor 4.00)\n", requests / kib);
    std::printf("  packets per KiB         %8.2f  (floor 10.00: 4 requests, 6 answers)\n",
                (requests + answers) / kib);

    NLICloseDevice(&device);
    NLICloseTransport(&transport);
    NLIClose();
    sim.stop();

    // (c) Loading 4 MiB files.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[firmware::kImageBufferSize]);
    std::string format0 = writeTemp("format0.bin", segmentRecordFile(4u << 20));
    firmware::ImageData big;
    big.chunks.push_back({0, code(firmware::kImageBufferSize - 0x100, 3)});
    firmware::ImageSpec bigSpec = fields;
    bigSpec.stamp = false;
    if (!firmware::BuildBinFile(bigSpec, big, file, error)) fail(error.c_str());
    std::string format1 = writeTemp("format1.bin", file);
    std::printf("Loading a 4 MiB image file (best of 5; reading the same bytes for comparison)\n");
    for (auto [name, path] : {std::pair<const char*, std::string>{"format 0", format0},
                              std::pair<const char*, std::string>{"format 1", format1}}) {
        LoadTimes t = timeLoad(path, buffer.get(), 5);
        std::printf("  %s  load %7.2f ms   read %6.2f ms   load / read %6.1f\n", name, t.load * 1e3,
                    t.read * 1e3, t.load / t.read);
        std::remove(path.c_str());
    }
    std::remove(imagePath.c_str());
    rmdir(imagePath.substr(0, imagePath.rfind('/')).c_str());
    return 0;
}
