// Image files as read from disk: the header reader and the loader of both data formats.
#include "firmware/bin_file.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// One file per fuzzing process, rewritten for every input: both calls read real files.
const std::string& scratchPath() {
    static const std::string path =
        "/tmp/tessan-bin-file-fuzz-" + std::to_string(getpid()) + ".bin";
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> buffer(firmware::kImageBufferSize);
    const std::string& path = scratchPath();
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return 0;
    if (size > 0) std::fwrite(data, 1, size, out);
    std::fclose(out);

    firmware::BinFileInfo info{};
    if (firmware::ReadBinFileHeader(path, info) == 0) {
        for (uint8_t generation = 0; generation < 2; ++generation) {
            firmware::IsBinFileForDevice(info, 2, 1, generation, false);
            firmware::IsBinFileForDevice(info, 4, 0, generation, true);
        }
    }

    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) return 0;
    firmware::BinFileHeader header{};
    uint16_t crc = 0;
    uint32_t runAddress = 0, imageAddress = 0, imageLength = 0;
    const int32_t rc = firmware::LoadBinFile(buffer.data(), firmware::kImageBufferSize, in, header,
                                             crc, runAddress, imageAddress, imageLength);
    std::fclose(in);
    (void)firmware::DescriptionText(header);
    if (rc == 0 && imageLength > firmware::kImageBufferSize) {
        std::fprintf(stderr, "image length 0x%X reported beyond the buffer\n", imageLength);
        __builtin_trap();
    }
    return 0;
}
