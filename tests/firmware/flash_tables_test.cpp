// labels: unit
// The pure parts of the flash command set and the download: sector selection, segmented
// address normalisation, the image checksum, the layout record and its built-in values.
#include "firmware/download.h"
#include "firmware/flash_commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace firmware;

namespace {

TEST(FlashTables, SectorsForRange) {
    struct Case {
        uint32_t first, size;
        std::vector<uint8_t> sectors;
    };
    const Case cases[] = {
        {0xF0000000, 0x8000, {1}},
        {0xF0000000, 0x10000, {1, 2, 3, 4}},
        // The OS area of a 512 KiB module: ends at F000:7FFF once normalised.
        {0x80000000, 0x78000, {0, 1, 5, 6, 7, 8, 9, 10}},
        {0xE0000000, 0x10000, {0}},
        {0xF0008000, 1, {2}},
        {0xF0009FFF, 2, {2, 3}},
        {0x00000000, 0x10000, {18}},
        {0xF0000000, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.first << " + " << c.size);
        uint8_t out[kSectorCount];
        size_t n = SectorsForRange(c.first, c.size, out);
        EXPECT_EQ(std::vector<uint8_t>(out, out + n), c.sectors);
    }
}

TEST(FlashTables, NormalizeSegAddress) {
    struct Case {
        uint32_t in, out;
    };
    const Case cases[] = {
        {0x8002FFFF, 0xA000FFFF}, {0x80077FFF, 0xF0007FFF}, {0xF0007FFF, 0xF0007FFF},
        {0x80010000, 0x90000000}, {0x0000FFFF, 0x0000FFFF}, {0x000F0000, 0xF0000000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NormalizeSegAddress(c.in), c.out) << std::hex << c.in;
}

TEST(FlashTables, ImageChecksum) {
    struct Case {
        const char* text;
        uint16_t crc;
    };
    for (Case c : {Case{"abc", 0x9DD6}, Case{"123456789", 0x31C3}, Case{"", 0}}) {
        EXPECT_EQ(ImageCrc(reinterpret_cast<const uint8_t*>(c.text), std::strlen(c.text)), c.crc)
            << c.text;
    }
}

TEST(FlashTables, BuiltInLayouts) {
    uint8_t def[kDeviceDefSize] = {};
    def[2] = 2; // PC-based controller module: its own column whatever the flash size says
    def[12] = 0x00;
    def[13] = 0x02;
    FlashLayout x = BuiltInFlashLayout(def);
    EXPECT_EQ(x.bootAreaBase, 0xA0000000u);
    EXPECT_EQ(x.bootAreaSize, 0x8000u);
    EXPECT_EQ(x.ramBuffer, 0xAC003000u);
    EXPECT_EQ(x.osAreaBase, 0xA0008000u);
    EXPECT_EQ(x.osAreaSize, 0x400000u);
    EXPECT_EQ(x.identityArea, 0xA0007FCCu);
    EXPECT_EQ(x.restartAddress, 0xA0000000u);
    EXPECT_EQ(x.alignMask, 3u);
    EXPECT_EQ(x.addressMask, 0x0FFFFFFFu);
    EXPECT_EQ(x.addressBits, 0xA0000000u);
    EXPECT_EQ(x.addressArea, 0xA0007FFAu);

    struct Case {
        uint16_t kib;
        uint32_t osBase, osSize;
    };
    for (Case c : {Case{512, 0x80000000, 0x78000}, Case{256, 0xC0000000, 0x38000},
                   Case{128, 0xE0000000, 0x18000}}) {
        SCOPED_TRACE(c.kib);
        def[2] = 1;
        def[12] = static_cast<uint8_t>(c.kib);
        def[13] = static_cast<uint8_t>(c.kib >> 8);
        FlashLayout l = BuiltInFlashLayout(def);
        EXPECT_EQ(l.osAreaBase, c.osBase);
        EXPECT_EQ(l.osAreaSize, c.osSize);
        EXPECT_EQ(l.bootAreaBase, 0xFC000000u);
        EXPECT_EQ(l.bootAreaSize, 0x4000u);
        EXPECT_EQ(l.ramBuffer, 0x06000000u);
        EXPECT_EQ(l.identityArea, 0xFC003FCCu);
        EXPECT_EQ(l.identityAreaSize, 32u);
        EXPECT_EQ(l.restartAddress, 0xFC003FF0u);
        EXPECT_EQ(l.alignMask, 1u);
        EXPECT_EQ(l.addressMask, 0xFFFFFFFFu);
        EXPECT_EQ(l.addressBits, 0u);
        EXPECT_EQ(l.addressArea, 0xFC003FFAu);
    }
}

TEST(FlashTables, LayoutRecordOffsets) {
    uint8_t record[kFlashLayoutSize] = {};
    const std::pair<uint32_t, uint32_t> fields[] = {
        {0x20, 1}, {0x24, 2},  {0x30, 3},  {0x40, 4},   {0x44, 5},   {0x80, 6},
        {0x84, 7}, {0x140, 8}, {0x148, 9}, {0x14C, 10}, {0x154, 11}, {0x158, 12}};
    for (auto [offset, value] : fields)
        record[offset] = static_cast<uint8_t>(value);
    FlashLayout l = FlashLayout::fromRecord(record);
    const uint32_t got[] = {l.bootAreaBase, l.bootAreaSize, l.ramBuffer,        l.osAreaBase,
                            l.osAreaSize,   l.identityArea, l.identityAreaSize, l.restartAddress,
                            l.alignMask,    l.addressMask,  l.addressBits,      l.addressArea};
    for (size_t i = 0; i < std::size(got); ++i)
        EXPECT_EQ(got[i], i + 1) << i;
    uint8_t again[kFlashLayoutSize] = {};
    l.toRecord(again);
    EXPECT_EQ(std::memcmp(record, again, sizeof record), 0);
}

TEST(FlashTables, OsDefRecordLayout) {
    OSDef d;
    d.start = 0x04030201;
    d.end = 0x08070605;
    d.runAddress = 0x0C0B0A09;
    d.crc = 0x0E0D;
    uint8_t b[32];
    std::memcpy(b, &d, sizeof b);
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ(b[i], i + 1) << i;
    EXPECT_EQ(b[14], 0xFF); // BootSignature unset
    EXPECT_EQ(b[15], 0xFF);
    EXPECT_EQ(b[16], 0xFF); // confirmMark unset
    for (int i = 18; i < 32; ++i)
        EXPECT_EQ(b[i], 0xFF) << i;
}

TEST(FlashTables, ScrambleKeyRecord) {
    const NLIKeyRecord& k = ScrambleKeyRecord();
    EXPECT_EQ(k.mode, 1u);
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(k.key)), 59u);
    EXPECT_EQ(k.key[59], 0);
}

TEST(FlashTables, DeviceWithoutTransport) {
    NLIDevice closed{};
    EXPECT_EQ(DownloadBinFile(&closed, "/nonexistent.bin"), NLIE_NULL_TRANSPORT);
    EXPECT_EQ(EnterBootLoader(&closed), NLIE_NULL_TRANSPORT);
    EXPECT_FALSE(IsDeviceAvailable(&closed, true));
}

} // namespace
