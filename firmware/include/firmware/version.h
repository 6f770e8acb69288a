// VersionTriple: the version of a module's firmware or boot loader, of an image file and of a
// versioned image file name. Header-only so that the simulator can share the definition.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace firmware {

// Four bytes as stored in files and in the modules' version records: u8 major, u8 minor,
// u16 build (little-endian).
struct [[gnu::packed]] VersionTriple {
    uint8_t major = 0;
    uint8_t minor = 0;
    uint16_t build = 0;

    friend constexpr bool operator==(const VersionTriple&, const VersionTriple&) = default;
};
static_assert(sizeof(VersionTriple) == 4);

// 1 when a > b, -1 when a < b, 0 when equal; major, then minor, then build, all unsigned.
constexpr int CompareVersions(VersionTriple a, VersionTriple b) {
    if (a.major != b.major) return a.major > b.major ? 1 : -1;
    if (a.minor != b.minor) return a.minor > b.minor ? 1 : -1;
    if (a.build != b.build) return a.build > b.build ? 1 : -1;
    return 0;
}

// "%d.%d.%d"
inline std::string VersionText(VersionTriple v) {
    char text[24];
    std::snprintf(text, sizeof text, "%d.%d.%d", v.major, v.minor, v.build);
    return text;
}

} // namespace firmware
