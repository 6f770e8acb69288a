// Intel HEX text as given to the image tool. What parses must also build into an image file
// that the loader takes back with the same data at the same addresses.
#include "firmware/bin_file.h"
#include "firmware/image_builder.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> buffer(firmware::kImageBufferSize);
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    firmware::ImageData image;
    std::string error;
    if (!firmware::ParseIntelHex(text, image, error)) return 0;

    firmware::ImageSpec fields;
    fields.dataFormat = firmware::FORMAT_BLOCKS;
    fields.stamp = false;
    std::vector<uint8_t> file;
    if (!firmware::BuildBinFile(fields, image, file, error)) return 0;

    // The loader reads regular files only (it takes their size from the file system).
    std::FILE* in = std::tmpfile();
    if (!in) return 0;
    std::fwrite(file.data(), 1, file.size(), in);
    std::fflush(in);
    firmware::BinFileHeader header{};
    uint16_t crc = 0;
    uint32_t runAddress = 0, imageAddress = 0, imageLength = 0;
    const int32_t rc = firmware::LoadBinFile(buffer.data(), firmware::kImageBufferSize, in, header,
                                             crc, runAddress, imageAddress, imageLength);
    std::fclose(in);
    if (rc != 0) {
        std::fprintf(stderr, "built image refused by the loader: %d\n", rc);
        __builtin_trap();
    }
    for (const firmware::ImageChunk& chunk : image.chunks) {
        for (size_t i = 0; i < chunk.data.size(); ++i) {
            const uint64_t at = uint64_t{chunk.address} + i - imageAddress;
            if (at >= imageLength || buffer[at] != chunk.data[i]) {
                std::fprintf(stderr, "byte at 0x%llX lost between parse and load\n",
                             static_cast<unsigned long long>(chunk.address + i));
                __builtin_trap();
            }
        }
    }
    return 0;
}
