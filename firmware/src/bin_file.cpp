#include "firmware/bin_file.h"

#include "crc16.h"
#include "firmware/paths.h"
#include "firmware/trace.h"

#include <bit>
#include <cstring>
#include <sys/stat.h>

static_assert(std::endian::native == std::endian::little,
              "BinFileHeader is read byte for byte and needs a little-endian host");

namespace firmware {

namespace {

uint32_t getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Reads a file from its start, never past the size it had when the load began, so that no
// length or offset stated inside the file can make the loader read (or copy) what is not there.
class Reader {
  public:
    explicit Reader(std::FILE* file) : file_(file) {}

    // Rewinds and learns the size; false when the file cannot be positioned.
    bool start() {
        // Bytes the caller wrote through this stream and not yet flushed count as the file's.
        if (std::fflush(file_) != 0) return false;
        struct stat st {};
        if (fstat(fileno(file_), &st) != 0 || !S_ISREG(st.st_mode)) return false;
        size_ = static_cast<uint64_t>(st.st_size);
        pos_ = 0;
        return std::fseek(file_, 0, SEEK_SET) == 0;
    }

    uint64_t size() const { return size_; }
    uint64_t position() const { return pos_; }
    uint64_t remaining() const { return size_ - pos_; }
    bool atEnd() const { return pos_ >= size_; }

    // Reads exactly n bytes, or nothing when fewer remain; a read error ends the load too.
    bool read(void* destination, uint64_t n) {
        if (n > remaining()) return false;
        size_t got = std::fread(destination, 1, static_cast<size_t>(n), file_);
        pos_ += got;
        if (got != n) {
            failed_ = true;
            return false;
        }
        return true;
    }

    bool skip(uint64_t n) {
        if (n > remaining()) return false;
        if (std::fseek(file_, static_cast<long>(pos_ + n), SEEK_SET) != 0) {
            failed_ = true;
            return false;
        }
        pos_ += n;
        return true;
    }

    // The result for a read that did not deliver: a real read error, or a file that ends
    // before what it announced.
    int32_t shortfall(const char* what, uint64_t wanted) const {
        if (failed_) {
            FirmwareTrace("\nRead error in the firmware file at offset %llu.",
                          static_cast<unsigned long long>(pos_));
            return kOpenFileError;
        }
        FirmwareTrace("\nFile truncated: %s needs %llu bytes at offset %llu, %llu remain.", what,
                      static_cast<unsigned long long>(wanted),
                      static_cast<unsigned long long>(pos_),
                      static_cast<unsigned long long>(remaining()));
        return kInvalidFileFormat;
    }

  private:
    std::FILE* file_;
    uint64_t size_ = 0;
    uint64_t pos_ = 0;
    bool failed_ = false;
};

// Whether [offset, offset + count) may be copied into the buffer: the end offset must stay
// below capacity - 1 (so the last buffer byte is never loaded).
bool fitsBuffer(uint64_t offset, uint64_t count, uint32_t capacity) {
    return static_cast<int64_t>(offset + count) <= static_cast<int64_t>(capacity) - 1;
}

int32_t parseSegmentRecords(Reader& in, uint8_t* buffer, uint32_t capacity, uint32_t& runAddress,
                            uint32_t& imageAddress, uint32_t& imageLength) {
    imageAddress = kNoAddress;
    imageLength = 0;
    uint32_t segment = 0;
    uint32_t base = 0;
    bool haveData = false;
    uint8_t record[4 + 255];

    while (!in.atEnd()) {
        uint8_t count = 0;
        if (!in.read(&count, 1)) return in.shortfall("record count", 1);
        if (!in.read(record, count + 4u)) return in.shortfall("record", count + 4u);
        const uint32_t offset = static_cast<uint32_t>(record[0]) << 8 | record[1];
        const uint8_t type = record[2];
        const uint8_t* data = record + 3;
        switch (type) {
        case 0: {
            const uint32_t linear = segment * 16 + offset;
            if (!haveData) {
                imageAddress = segment << 16 | offset;
                base = linear;
                haveData = true;
            }
            if (linear < base) {
                FirmwareTrace("\nRecord at 0x%X lies below the first data record (0x%X).", linear,
                              base);
                return kInvalidFileFormat;
            }
            const uint32_t at = linear - base;
            if (!fitsBuffer(at, count, capacity)) return kRamAllocateError;
            std::memcpy(buffer + at, data, count);
            if (at + count > imageLength) imageLength = at + count;
            break;
        }
        case 1:
            break;
        case 2:
            if (count < 2) {
                FirmwareTrace("\nSegment record with %u data bytes.", count);
                return kInvalidFileFormat;
            }
            segment = static_cast<uint32_t>(data[0]) << 8 | data[1];
            break;
        case 3:
            if (count < 4) {
                FirmwareTrace("\nStart address record with %u data bytes.", count);
                return kInvalidFileFormat;
            }
            runAddress = static_cast<uint32_t>(data[0]) << 24 |
                         static_cast<uint32_t>(data[1]) << 16 |
                         static_cast<uint32_t>(data[2]) << 8 | data[3];
            break;
        default:
            return kUnknownRecordType;
        }
    }
    return 0;
}

int32_t parseBlocks(Reader& in, uint8_t* buffer, uint32_t capacity, uint32_t& runAddress,
                    uint32_t& imageAddress, uint32_t& imageLength) {
    static const uint8_t kMagic[7] = {0x42, 0x30, 0x30, 0x30, 0x46, 0x46, 0x0A};
    uint8_t magic[7];
    if (!in.read(magic, sizeof magic)) return in.shortfall("block format line", sizeof magic);
    if (std::memcmp(magic, kMagic, sizeof magic) != 0) {
        FirmwareTrace("\nInvalid header for file :  %X %X %X %X %X %X %X", magic[0], magic[1],
                      magic[2], magic[3], magic[4], magic[5], magic[6]);
        return kInvalidFileFormat;
    }
    uint8_t words[12];
    if (!in.read(words, 8)) return in.shortfall("image address and length", 8);
    imageAddress = getU32(words);
    imageLength = getU32(words + 4);
    FirmwareTrace("\nImageAddress: 0x%X  ImageLength: %d (0x%X)", imageAddress,
                  static_cast<int>(imageLength), imageLength);
    // The image CRC and the download cover imageLength buffer bytes.
    if (imageLength > capacity) {
        FirmwareTrace("\nImage length 0x%X exceeds the image buffer (0x%X).", imageLength,
                      capacity);
        return kRamAllocateError;
    }

    while (!in.atEnd()) {
        if (!in.read(words, 12)) return in.shortfall("block header", 12);
        const uint32_t addr = getU32(words);
        const uint32_t len = getU32(words + 4);
        const uint32_t cc = getU32(words + 8);
        if (addr == 0 && cc == 0) {
            runAddress = len;
            FirmwareTrace("\nEnd record found.  Starting Address = 0x%X", runAddress);
            break;
        }
        FirmwareTrace("\nAddr 0x%X  Len: %d (0x%X)  CC: 0x%X ", addr, static_cast<int>(len), len,
                      cc);
        if (addr < imageAddress) {
            FirmwareTrace("\nBlock at 0x%X lies below the image address 0x%X.", addr, imageAddress);
            return kInvalidFileFormat;
        }
        const uint64_t at = addr - imageAddress;
        if (!fitsBuffer(at, len, capacity)) return kRamAllocateError;
        if (!in.read(buffer + at, len)) return in.shortfall("block data", len);
    }
    return 0;
}

} // namespace

std::string DescriptionText(const BinFileHeader& header) {
    const char* text = header.description;
    return std::string(text, strnlen(text, sizeof header.description));
}

uint16_t ImageCrc(const uint8_t* data, size_t length) {
    return nli::crc16(data, length);
}

int32_t ReadBinFileHeader(const std::string& path, BinFileInfo& info) {
    std::FILE* file = std::fopen(ResolvePath(path).c_str(), "rb");
    if (!file) return kOpenFileError;
    struct stat st {};
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(file);
        return kOpenFileError;
    }
    BinFileHeader header{};
    // A short file leaves the rest of the header zero.
    (void)std::fread(&header, 1, sizeof header, file);
    std::fclose(file);

    info = BinFileInfo{};
    info.headerWord0 = header.headerWord0;
    info.targetPlatform = header.targetPlatform;
    info.platformMask = header.platformMask;
    info.targetFamily = header.targetFamily;
    info.imageKind = header.imageKind;
    std::memcpy(info.description, header.description, sizeof info.description);
    info.description[sizeof info.description - 1] = '\0';
    info.version = header.version;
    info.requiredBootVersion = header.requiredBootVersion;
    info.fileFormatVersion = {static_cast<uint8_t>(header.formatVersionMajor & 0xFF),
                              static_cast<uint8_t>(header.formatVersionMinor & 0xFF), 0};
    info.supportedFormatVersion = {kSupportedFormatMajor, kSupportedFormatMinor, 0};
    info.headerByte5E = header.headerByte5E;
    return 0;
}

bool IsBinFileForDevice(const BinFileInfo& info, uint8_t platform, uint8_t family,
                        uint8_t generation, bool bootLoader) {
    if ((info.imageKind == IMAGE_BOOT_LOADER) != bootLoader) return false;

    switch (info.targetPlatform) {
    case kPlatformAny:
        break;
    case kPlatformByMask:
        if (family != 0 && family != 1 && family != 4 && family != 7 && family != 8) return false;
        if ((info.platformMask >> (platform % 32) & 1) == 0) return false;
        break;
    default:
        if (info.targetPlatform != platform) return false;
        break;
    }

    return (info.targetFamily == kFamilyAnyFirstGeneration && generation == 0) ||
           (info.targetFamily == kFamilyAnySecondGeneration && generation == 1) ||
           (info.targetFamily & 0x3F) == family;
}

int32_t LoadBinFile(uint8_t* buffer, uint32_t capacity, std::FILE* file, BinFileHeader& header,
                    uint16_t& crc, uint32_t& runAddress, uint32_t& imageAddress,
                    uint32_t& imageLength) {
    std::memset(buffer, 0xFF, capacity);
    Reader in(file);
    if (!in.start()) {
        FirmwareTrace("\nThe firmware file cannot be read from its start.");
        return kOpenFileError;
    }
    if (!in.read(&header, sizeof header)) return in.shortfall("file header", sizeof header);

    if (header.formatVersionMajor > kSupportedFormatMajor ||
        (header.formatVersionMajor == kSupportedFormatMajor &&
         header.formatVersionMinor > kSupportedFormatMinor))
        return kToolOutOfDate;

    if (!in.skip(header.extraHeaderLength))
        return in.shortfall("extra header", header.extraHeaderLength);

    runAddress = kNoAddress;
    int32_t result;
    switch (header.dataFormat) {
    case FORMAT_SEGMENT_RECORDS:
        result = parseSegmentRecords(in, buffer, capacity, runAddress, imageAddress, imageLength);
        break;
    case FORMAT_BLOCKS:
        result = parseBlocks(in, buffer, capacity, runAddress, imageAddress, imageLength);
        break;
    default:
        FirmwareTrace("\nUnknown file format: %d (0x%X)", header.dataFormat, header.dataFormat);
        return kInvalidFileFormat;
    }
    if (result != 0) return result;

    if (runAddress == kNoAddress) {
        FirmwareTrace("\nNo run address found.");
        return kInvalidFileFormat;
    }
    crc = ImageCrc(buffer, imageLength);
    return 0;
}

} // namespace firmware
