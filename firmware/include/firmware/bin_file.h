// Firmware image files (.bin): a 128-byte header saying which modules the image is for, its
// version and the boot-loader version it needs, then (after extraHeaderLength ignored bytes) the
// image data in one of two formats:
//   FORMAT_SEGMENT_RECORDS (0): Intel HEX records stored as raw bytes (count, big-endian offset,
//     type, data, checksum); types 0 data, 1 end (ignored), 2 segment, 3 start CS:IP.
//     Addresses are packed segment:offset values, segment * 65536 + offset.
//   FORMAT_BLOCKS (1): "B000FF\n", u32 ImageAddress, u32 ImageLength, then blocks of
//     u32 Addr, u32 Len, u32 CC and Len data bytes, up to an end block (Addr 0, CC 0, whose Len
//     is the run address). Addresses are plain 32-bit values.
// All numbers are little-endian except the record offsets of format 0.
#pragma once

#include "firmware/results.h"
#include "firmware/version.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>

namespace firmware {

// imageKind
constexpr uint16_t IMAGE_OS_BLOCK = 1;    // OS in one 32 KiB / 64 KiB block, OSDef at its end
constexpr uint16_t IMAGE_BOOT_LOADER = 2; // staged in module RAM, copied into flash by the module
constexpr uint16_t IMAGE_OS = 4;          // OS whose OSDef lives in setup item DT_BOOT_OS

// dataFormat
constexpr uint8_t FORMAT_SEGMENT_RECORDS = 0;
constexpr uint8_t FORMAT_BLOCKS = 1;

// targetPlatform values that are not a platform code
constexpr uint16_t kPlatformByMask = 0x40; // every platform whose bit is set in platformMask
constexpr uint16_t kPlatformAny = 0x80;
// targetFamily values that are not a family code
constexpr uint16_t kFamilyAnyFirstGeneration = 0x80;
constexpr uint16_t kFamilyAnySecondGeneration = 0xC0;

// The newest file format this reader accepts.
constexpr uint16_t kSupportedFormatMajor = 4;
constexpr uint16_t kSupportedFormatMinor = 4;

// The image buffer LoadBinFile fills: buffer offset 0 is the image address.
constexpr uint32_t kImageBufferSize = 0x400000;
constexpr uint32_t kNoAddress = 0xFFFFFFFF; // run / image address not (yet) known

constexpr size_t kBinFileHeaderSize = 128;
constexpr size_t kDescriptionSize = 65;

// The file header, byte for byte (packed, little-endian host).
struct [[gnu::packed]] BinFileHeader {
    uint16_t headerWord0;               // 0x00 carried, not interpreted
    uint16_t targetPlatform;            // 0x02
    uint16_t targetFamily;              // 0x04 family code in the low 6 bits
    uint16_t imageKind;                 // 0x06
    char description[kDescriptionSize]; // 0x08 zero-terminated (not guaranteed by the file)
    VersionTriple version;              // 0x49
    uint32_t platformMask;              // 0x4D bit n = platform code n (targetPlatform 0x40)
    VersionTriple requiredBootVersion;  // 0x51
    uint16_t formatVersionMajor;        // 0x55
    uint16_t formatVersionMinor;        // 0x57
    uint32_t extraHeaderLength;         // 0x59 bytes between the header and the data
    uint8_t dataFormat;                 // 0x5D
    uint8_t headerByte5E;               // 0x5E carried, not interpreted
    uint8_t reserved[33];               // 0x5F not interpreted
};
static_assert(sizeof(BinFileHeader) == kBinFileHeaderSize);
static_assert(std::is_trivially_copyable_v<BinFileHeader>);
static_assert(offsetof(BinFileHeader, description) == 0x08 &&
              offsetof(BinFileHeader, version) == 0x49 &&
              offsetof(BinFileHeader, platformMask) == 0x4D &&
              offsetof(BinFileHeader, requiredBootVersion) == 0x51 &&
              offsetof(BinFileHeader, formatVersionMajor) == 0x55 &&
              offsetof(BinFileHeader, extraHeaderLength) == 0x59 &&
              offsetof(BinFileHeader, dataFormat) == 0x5D &&
              offsetof(BinFileHeader, reserved) == 0x5F);

// What ReadBinFileHeader reports about a file.
struct BinFileInfo {
    uint16_t headerWord0;
    uint16_t targetPlatform;
    uint32_t platformMask;
    uint16_t targetFamily;
    uint16_t imageKind;
    char description[kDescriptionSize]; // always zero-terminated here
    VersionTriple version;
    VersionTriple requiredBootVersion;
    VersionTriple fileFormatVersion;      // low bytes of the header's format version, build 0
    VersionTriple supportedFormatVersion; // always 4.4.0
    uint16_t headerByte5E;
};

// The description as text, never reading past the 65-byte field.
std::string DescriptionText(const BinFileHeader& header);

// Reads the header of the file at path (names are matched without regard to case where the
// exact name does not exist). 0, or kOpenFileError with info left untouched. A file shorter
// than 128 bytes is not an error: the missing fields are zero.
int32_t ReadBinFileHeader(const std::string& path, BinFileInfo& info);

// Whether the image fits a module with the given platform code, family code and generation
// flag (0 first, 1 second generation); bootLoader selects the boot-loader check (imageKind 2)
// rather than the firmware check (any other kind).
bool IsBinFileForDevice(const BinFileInfo& info, uint8_t platform, uint8_t family,
                        uint8_t generation, bool bootLoader);

// Parses the whole file (positioned anywhere; it is rewound) into buffer, which is first filled
// with 0xFF. Outputs: the header, the CRC-16 of buffer[0 .. imageLength-1], the run address, the
// image address and the image length. 0, or kRamAllocateError, kUnknownRecordType,
// kToolOutOfDate, kInvalidFileFormat (also for any length or offset that runs past the end of
// the file). The file stays open; a failed load leaves the buffer partly filled.
int32_t LoadBinFile(uint8_t* buffer, uint32_t capacity, std::FILE* file, BinFileHeader& header,
                    uint16_t& crc, uint32_t& runAddress, uint32_t& imageAddress,
                    uint32_t& imageLength);

// CRC-16 (polynomial 0x1021, initial 0, MSB first, no final XOR) of an image.
uint16_t ImageCrc(const uint8_t* data, size_t length);

} // namespace firmware
