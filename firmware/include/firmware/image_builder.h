// Building image files: what tessan3-mkimage does, available to tests and tools in-process.
//
// The image data is first gathered as chunks at linear addresses (from a raw binary or an
// Intel HEX file), then written in either data format:
//   FORMAT_BLOCKS: the image address is a plain 32-bit address (default: the lowest data
//     address); one block per contiguous run of data (at most 64 KiB each). A block's check
//     value CC is 0xCC000000 | the CRC-16 of its data: never zero, so that a block at address 0
//     is never taken for the end block. The end block carries the run address.
//   FORMAT_SEGMENT_RECORDS: addresses are packed segment:offset values (segment * 65536 +
//     offset) for linear addresses up to 0x10FFEF. The image address (default: the lowest
//     data address as a 4 KiB-aligned segment with an offset) is the first data record's; an
//     image address below the data is marked with an empty data record. Records carry 32 data
//     bytes and proper Intel HEX checksums; a start-address record (type 3) and an end record
//     (type 1) close the data.
// With `stamp` set, the version stamp (version_stamp.h) is appended after the highest data byte.
#pragma once

#include "firmware/bin_file.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace firmware {

struct ImageChunk {
    uint32_t address = 0; // linear address of data[0]
    std::vector<uint8_t> data;
};

struct ImageData {
    std::vector<ImageChunk> chunks; // sorted, not overlapping, adjacent chunks merged
    // Start addresses given by an Intel HEX file.
    std::optional<uint32_t> startSegmentAddress; // type 03: CS << 16 | IP
    std::optional<uint32_t> startLinearAddress;  // type 05: EIP
};

// Parses Intel HEX text (record types 00 to 05; checksums verified; an end-of-file record is
// required and nothing may follow it; overlapping data is refused). On failure `error` names
// the line: "line 7: checksum 0x3C, expected 0x3D".
bool ParseIntelHex(std::string_view text, ImageData& image, std::string& error);

struct ImageSpec {
    uint16_t headerWord0 = 0;
    uint16_t targetPlatform = kPlatformAny;
    uint32_t platformMask = 0;
    uint16_t targetFamily = kFamilyAnyFirstGeneration;
    uint16_t imageKind = IMAGE_OS;
    std::string description; // at most 64 characters
    VersionTriple version{};
    VersionTriple requiredBootVersion{};
    uint16_t formatVersionMajor = kSupportedFormatMajor;
    uint16_t formatVersionMinor = kSupportedFormatMinor;
    uint32_t extraHeaderLength = 0; // written as zero bytes
    uint8_t dataFormat = FORMAT_BLOCKS;
    uint8_t headerByte5E = 0;
    // In the data format's own form (packed segment:offset for FORMAT_SEGMENT_RECORDS).
    std::optional<uint32_t> imageAddress;
    std::optional<uint32_t> runAddress; // default: from the HEX file, else the image address
    bool noRunAddress = false;          // write no run address (the loader will refuse it)
    bool stamp = true;
};

// Linear address of a packed segment:offset value.
constexpr uint32_t LinearFromSegmented(uint32_t packed) {
    return (packed >> 16) * 16 + (packed & 0xFFFF);
}

// Builds the whole file. False with `error` set when the image cannot be written as asked
// (data below the image address, beyond the image buffer or the segmented address range, into
// an IMAGE_OS_BLOCK's OSDef record, a description too long, ...).
bool BuildBinFile(const ImageSpec& fields, const ImageData& image, std::vector<uint8_t>& file,
                  std::string& error);

} // namespace firmware
