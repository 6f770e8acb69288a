// The version stamp: 8 bytes that tessan3-mkimage appends to an image's data so that a
// simulated module can report the version of the image it was last programmed with.
//
//   offset 0  4 bytes  "TSVS" (0x54 0x53 0x56 0x53)
//   offset 4  u8       major
//   offset 5  u8       minor
//   offset 6  u16      build, little-endian (a VersionTriple, as in the file header)
//
// It is placed directly after the highest data byte of the image, so it never changes a byte
// the image itself defines, and it is covered by the image length, the image CRC and the
// download like any other data. Its position therefore depends on the image: a reader scans the
// programmed range and takes the LAST stamp in it (FindVersionStamp), which is the one of the
// image that ends there. The stamp stays clear of an IMAGE_OS_BLOCK's OSDef record (the tool
// refuses data reaching into the block's last 32 bytes); in a boot-loader image that reaches
// the module's identity area the download may overwrite it, and then no stamp is found.
//
// Header-only and free of the firmware library so that the simulator can include it alone.
#pragma once

#include "firmware/version.h"

#include <cstddef>
#include <cstdint>

namespace firmware {

inline constexpr uint8_t kVersionStampMagic[4] = {'T', 'S', 'V', 'S'};
inline constexpr size_t kVersionStampSize = 8;

inline void PutVersionStamp(uint8_t* at, VersionTriple version) {
    for (size_t i = 0; i < 4; ++i)
        at[i] = kVersionStampMagic[i];
    at[4] = version.major;
    at[5] = version.minor;
    at[6] = static_cast<uint8_t>(version.build & 0xFF);
    at[7] = static_cast<uint8_t>(version.build >> 8);
}

// Reads the stamp at `at` (kVersionStampSize bytes); false when the magic is not there.
inline bool ReadVersionStamp(const uint8_t* at, VersionTriple& version) {
    for (size_t i = 0; i < 4; ++i)
        if (at[i] != kVersionStampMagic[i]) return false;
    version.major = at[4];
    version.minor = at[5];
    version.build = static_cast<uint16_t>(at[6] | at[7] << 8);
    return true;
}

// The last stamp in data[0 .. length-1]; false when there is none.
inline bool FindVersionStamp(const uint8_t* data, size_t length, VersionTriple& version) {
    if (length < kVersionStampSize) return false;
    for (size_t i = length - kVersionStampSize + 1; i-- > 0;)
        if (ReadVersionStamp(data + i, version)) return true;
    return false;
}

} // namespace firmware
