// CRC-16/XMODEM (poly 0x1021, init 0, MSB first, no reflection, no final XOR), the checksum of
// every packet. Header-only so that the simulator computes it from the same definition.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nli {

struct Crc16Table {
    uint16_t v[256];
    constexpr Crc16Table() : v{} {
        for (int i = 0; i < 256; ++i) {
            uint16_t c = static_cast<uint16_t>(i << 8);
            for (int b = 0; b < 8; ++b)
                c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : (c << 1));
            v[i] = c;
        }
    }
};
inline constexpr Crc16Table kCrc16Table{};

constexpr uint16_t crc16(const uint8_t* data, size_t length, uint16_t crc = 0) {
    for (size_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kCrc16Table.v[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

} // namespace nli
