#include "firmware/image_builder.h"

#include "firmware/version_stamp.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace firmware {

namespace {

std::string lineError(size_t line, const char* format, ...) __attribute__((format(printf, 2, 3)));
std::string lineError(size_t line, const char* format, ...) {
    char text[200];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return "line " + std::to_string(line) + ": " + text;
}

std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

struct PendingChunk {
    uint64_t address; // 64-bit so that a chunk ending at 4 GiB can be told apart
    size_t line;
    std::vector<uint8_t> data;
};

// Sorts, refuses overlaps and merges adjacent chunks.
bool settle(std::vector<PendingChunk>& pending, ImageData& image, std::string& error) {
    std::stable_sort(
        pending.begin(), pending.end(),
        [](const PendingChunk& a, const PendingChunk& b) { return a.address < b.address; });
    image.chunks.clear();
    uint64_t end = 0;
    for (size_t i = 0; i < pending.size(); ++i) {
        PendingChunk& c = pending[i];
        if (i > 0 && c.address < end) {
            const PendingChunk& other = pending[i - 1];
            error =
                lineError(std::max(c.line, other.line), "data at %s overlaps the data of line %zu",
                          hex(c.address).c_str(), std::min(c.line, other.line));
            return false;
        }
        if (i > 0 && c.address == end) {
            auto& last = image.chunks.back().data;
            last.insert(last.end(), c.data.begin(), c.data.end());
        } else {
            image.chunks.push_back({static_cast<uint32_t>(c.address), std::move(c.data)});
        }
        end = image.chunks.back().address + image.chunks.back().data.size();
    }
    return true;
}

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A 4 KiB-aligned segment through which the linear address can be reached.
uint32_t segmentFor(uint32_t linear) {
    return linear < 0x100000 ? (linear >> 4) & 0xF000 : 0xFFFF;
}

uint32_t segmentedFromLinear(uint32_t linear) {
    const uint32_t segment = segmentFor(linear);
    return segment << 16 | (linear - segment * 16);
}

constexpr uint32_t kLastSegmentedLinear = 0xFFFF * 16 + 0xFFFF; // 0x10FFEF

void putRecord(std::vector<uint8_t>& out, uint8_t type, uint32_t offset, const uint8_t* data,
               size_t count) {
    const size_t start = out.size();
    out.push_back(static_cast<uint8_t>(count));
    out.push_back(static_cast<uint8_t>(offset >> 8));
    out.push_back(static_cast<uint8_t>(offset));
    out.push_back(type);
    out.insert(out.end(), data, data + count);
    uint8_t sum = 0;
    for (size_t i = start; i < out.size(); ++i)
        sum = static_cast<uint8_t>(sum + out[i]);
    out.push_back(static_cast<uint8_t>(-sum));
}

void putSegmentRecord(std::vector<uint8_t>& out, uint32_t segment) {
    const uint8_t data[2] = {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)};
    putRecord(out, 2, 0, data, 2);
}

void writeSegmentRecords(std::vector<uint8_t>& out, const std::vector<ImageChunk>& chunks,
                         uint32_t imageAddress, std::optional<uint32_t> run) {
    uint32_t segment = imageAddress >> 16;
    const uint32_t base = LinearFromSegmented(imageAddress);
    putSegmentRecord(out, segment);
    // The loader takes the image address from the first data record.
    if (chunks.empty() || chunks.front().address != base)
        putRecord(out, 0, imageAddress & 0xFFFF, nullptr, 0);
    for (const ImageChunk& chunk : chunks) {
        size_t pos = 0;
        while (pos < chunk.data.size()) {
            const uint32_t linear = chunk.address + static_cast<uint32_t>(pos);
            if (linear < segment * 16 || linear - segment * 16 > 0xFFFF) {
                segment = segmentFor(linear);
                putSegmentRecord(out, segment);
            }
            const uint32_t offset = linear - segment * 16;
            const size_t count = std::min<size_t>({chunk.data.size() - pos, 32, 0x10000 - offset});
            putRecord(out, 0, offset, chunk.data.data() + pos, count);
            pos += count;
        }
    }
    if (run) {
        const uint8_t data[4] = {static_cast<uint8_t>(*run >> 24), static_cast<uint8_t>(*run >> 16),
                                 static_cast<uint8_t>(*run >> 8), static_cast<uint8_t>(*run)};
        putRecord(out, 3, 0, data, 4);
    }
    putRecord(out, 1, 0, nullptr, 0);
}

void writeBlocks(std::vector<uint8_t>& out, const std::vector<ImageChunk>& chunks,
                 uint32_t imageAddress, uint32_t imageLength, std::optional<uint32_t> run) {
    static const uint8_t kMagic[7] = {0x42, 0x30, 0x30, 0x30, 0x46, 0x46, 0x0A};
    out.insert(out.end(), kMagic, kMagic + sizeof kMagic);
    putU32(out, imageAddress);
    putU32(out, imageLength);
    for (const ImageChunk& chunk : chunks) {
        for (size_t pos = 0; pos < chunk.data.size(); pos += 0x10000) {
            const size_t len = std::min<size_t>(chunk.data.size() - pos, 0x10000);
            const uint8_t* data = chunk.data.data() + pos;
            putU32(out, chunk.address + static_cast<uint32_t>(pos));
            putU32(out, static_cast<uint32_t>(len));
            putU32(out, 0xCC000000u | ImageCrc(data, len));
            out.insert(out.end(), data, data + len);
        }
    }
    if (run) {
        putU32(out, 0);
        putU32(out, *run);
        putU32(out, 0);
    }
}

} // namespace

bool ParseIntelHex(std::string_view text, ImageData& image, std::string& error) {
    image = ImageData{};
    std::vector<PendingChunk> pending;
    uint32_t base = 0; // from a type 02 (segment * 16) or type 04 (upper 16 bits) record
    bool endSeen = false;
    size_t line = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view record = text.substr(pos, end - pos);
        ++line;
        // One line break: "\r\n", "\n" or "\r".
        pos = end;
        if (pos < text.size() && text[pos] == '\r') ++pos;
        if (pos < text.size() && text[pos] == '\n') ++pos;

        while (!record.empty() && (record.back() == ' ' || record.back() == '\t'))
            record.remove_suffix(1);
        if (record.empty()) continue;
        if (endSeen) {
            error = lineError(line, "record after the end-of-file record");
            return false;
        }
        if (record[0] != ':') {
            error = lineError(line, "a record must start with ':'");
            return false;
        }
        record.remove_prefix(1);
        if (record.size() % 2 != 0) {
            error = lineError(line, "odd number of hexadecimal digits");
            return false;
        }
        std::vector<uint8_t> bytes(record.size() / 2);
        for (size_t i = 0; i < bytes.size(); ++i) {
            const int hi = hexDigit(record[2 * i]), lo = hexDigit(record[2 * i + 1]);
            if (hi < 0 || lo < 0) {
                error = lineError(line, "'%c' is not a hexadecimal digit",
                                  hi < 0 ? record[2 * i] : record[2 * i + 1]);
                return false;
            }
            bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
        }
        if (bytes.size() < 5 || bytes.size() != bytes[0] + 5u) {
            error = lineError(line, "record of %zu bytes, its count says %zu", bytes.size(),
                              bytes.empty() ? size_t{0} : size_t{bytes[0]} + 5);
            return false;
        }
        uint8_t sum = 0;
        for (size_t i = 0; i + 1 < bytes.size(); ++i)
            sum = static_cast<uint8_t>(sum + bytes[i]);
        const uint8_t expected = static_cast<uint8_t>(-sum);
        if (bytes.back() != expected) {
            error = lineError(line, "checksum 0x%02X, expected 0x%02X", bytes.back(), expected);
            return false;
        }
        const uint8_t count = bytes[0];
        const uint32_t offset = static_cast<uint32_t>(bytes[1]) << 8 | bytes[2];
        const uint8_t type = bytes[3];
        const uint8_t* data = bytes.data() + 4;
        auto needCount = [&](uint8_t n, const char* what) {
            if (count == n) return true;
            error = lineError(line, "%s record with %u data bytes (needs %u)", what, count, n);
            return false;
        };
        switch (type) {
        case 0x00: {
            // Data wraps within its 64 KiB window, as the format defines.
            const size_t first = std::min<size_t>(count, 0x10000 - offset);
            pending.push_back(
                {uint64_t{base} + offset, line, std::vector<uint8_t>(data, data + first)});
            if (first < count)
                pending.push_back({base, line, std::vector<uint8_t>(data + first, data + count)});
            break;
        }
        case 0x01:
            if (!needCount(0, "end-of-file")) return false;
            endSeen = true;
            break;
        case 0x02:
            if (!needCount(2, "extended segment address")) return false;
            base = (static_cast<uint32_t>(data[0]) << 8 | data[1]) * 16;
            break;
        case 0x03:
            if (!needCount(4, "start segment address")) return false;
            image.startSegmentAddress = static_cast<uint32_t>(data[0]) << 24 |
                                        static_cast<uint32_t>(data[1]) << 16 |
                                        static_cast<uint32_t>(data[2]) << 8 | data[3];
            break;
        case 0x04:
            if (!needCount(2, "extended linear address")) return false;
            base = (static_cast<uint32_t>(data[0]) << 8 | data[1]) << 16;
            break;
        case 0x05:
            if (!needCount(4, "start linear address")) return false;
            image.startLinearAddress = static_cast<uint32_t>(data[0]) << 24 |
                                       static_cast<uint32_t>(data[1]) << 16 |
                                       static_cast<uint32_t>(data[2]) << 8 | data[3];
            break;
        default:
            error = lineError(line, "unknown record type 0x%02X", type);
            return false;
        }
    }
    if (!endSeen) {
        error = "no end-of-file record (type 01): the file is incomplete";
        return false;
    }
    // Empty data records mark nothing.
    pending.erase(std::remove_if(pending.begin(), pending.end(),
                                 [](const PendingChunk& c) { return c.data.empty(); }),
                  pending.end());
    for (const PendingChunk& c : pending) {
        if (c.address + c.data.size() > 0x100000000ull) {
            error = lineError(c.line, "data runs past the 32-bit address range");
            return false;
        }
    }
    return settle(pending, image, error);
}

bool BuildBinFile(const ImageSpec& fields, const ImageData& image, std::vector<uint8_t>& file,
                  std::string& error) {
    const bool segmented = fields.dataFormat == FORMAT_SEGMENT_RECORDS;
    if (!segmented && fields.dataFormat != FORMAT_BLOCKS) {
        error = "data format " + std::to_string(fields.dataFormat) + " cannot be written";
        return false;
    }
    if (fields.description.size() >= kDescriptionSize) {
        error = "the description has " + std::to_string(fields.description.size()) +
                " characters; at most " + std::to_string(kDescriptionSize - 1) + " fit";
        return false;
    }

    std::vector<ImageChunk> chunks = image.chunks;
    const uint64_t dataLow = chunks.empty() ? 0 : chunks.front().address;
    uint64_t dataEnd = chunks.empty() ? 0 : chunks.back().address + chunks.back().data.size();

    // Image address, in the format's form and as a linear base.
    uint32_t imageAddress;
    if (fields.imageAddress)
        imageAddress = *fields.imageAddress;
    else
        imageAddress = segmented ? segmentedFromLinear(static_cast<uint32_t>(dataLow))
                                 : static_cast<uint32_t>(dataLow);
    const uint32_t base = segmented ? LinearFromSegmented(imageAddress) : imageAddress;
    if (!chunks.empty() && dataLow < base) {
        error = "data at " + hex(dataLow) + " lies below the image address " + hex(imageAddress);
        return false;
    }
    if (chunks.empty()) dataEnd = base;

    if (fields.stamp) {
        ImageChunk stamp{static_cast<uint32_t>(dataEnd), std::vector<uint8_t>(kVersionStampSize)};
        PutVersionStamp(stamp.data.data(), fields.version);
        if (!chunks.empty() && chunks.back().address + chunks.back().data.size() == dataEnd)
            chunks.back().data.insert(chunks.back().data.end(), stamp.data.begin(),
                                      stamp.data.end());
        else
            chunks.push_back(std::move(stamp));
        dataEnd += kVersionStampSize;
    }

    if (!segmented && dataEnd > 0x100000000ull) {
        error = "the image runs past the 32-bit address range";
        return false;
    }
    if (segmented && dataEnd > kLastSegmentedLinear + 1ull) {
        error = "data up to linear " + hex(dataEnd - 1) +
                " cannot be addressed as segment:offset (the last address is 0x10FFEF)";
        return false;
    }
    const uint64_t extent = dataEnd - base;
    if (extent > kImageBufferSize - 1) {
        error = "the image spans " + hex(extent) +
                " bytes; a loader's image buffer takes at most " + hex(kImageBufferSize - 1);
        return false;
    }
    if (fields.imageKind == IMAGE_OS_BLOCK) {
        const uint32_t block = imageAddress == 0xF0000000 ? 0x8000 : 0x10000;
        if (extent > block - 32) {
            error = "an IMAGE_OS_BLOCK image at " + hex(imageAddress) + " holds at most " +
                    hex(block - 32) +
                    " bytes (its block's last 32 bytes take the OSDef record); "
                    "this one spans " +
                    hex(extent) + (fields.stamp ? " with its version stamp" : "");
            return false;
        }
    }

    std::optional<uint32_t> run;
    if (!fields.noRunAddress) {
        if (fields.runAddress)
            run = *fields.runAddress;
        else if (segmented && image.startSegmentAddress)
            run = *image.startSegmentAddress;
        else if (segmented && image.startLinearAddress)
            run = segmentedFromLinear(*image.startLinearAddress);
        else if (!segmented && image.startLinearAddress)
            run = *image.startLinearAddress;
        else if (!segmented && image.startSegmentAddress)
            run = LinearFromSegmented(*image.startSegmentAddress);
        else
            run = imageAddress;
    }

    BinFileHeader header{};
    std::memset(header.reserved, 0, sizeof header.reserved);
    header.headerWord0 = fields.headerWord0;
    header.targetPlatform = fields.targetPlatform;
    header.targetFamily = fields.targetFamily;
    header.imageKind = fields.imageKind;
    std::memset(header.description, 0, sizeof header.description);
    std::memcpy(header.description, fields.description.data(), fields.description.size());
    header.version = fields.version;
    header.platformMask = fields.platformMask;
    header.requiredBootVersion = fields.requiredBootVersion;
    header.formatVersionMajor = fields.formatVersionMajor;
    header.formatVersionMinor = fields.formatVersionMinor;
    header.extraHeaderLength = fields.extraHeaderLength;
    header.dataFormat = fields.dataFormat;
    header.headerByte5E = fields.headerByte5E;

    file.clear();
    const auto* raw = reinterpret_cast<const uint8_t*>(&header);
    file.insert(file.end(), raw, raw + sizeof header);
    file.resize(file.size() + fields.extraHeaderLength, 0);
    if (segmented)
        writeSegmentRecords(file, chunks, imageAddress, run);
    else
        writeBlocks(file, chunks, imageAddress, static_cast<uint32_t>(extent), run);
    return true;
}

} // namespace firmware
