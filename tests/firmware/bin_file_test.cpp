// labels: unit
// Image files read from real files written byte by byte here: the header fields at their
// offsets, the fit checks, both data formats, the refusals (also of files that state more than
// they hold) and the trace lines.
#include "firmware/bin_file.h"
#include "firmware/trace.h"

#include "fw_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace firmware;
using fwtest::Bytes;

namespace {

struct HeaderFields {
    uint16_t word0 = 0;
    uint16_t platform = 0x80;
    uint16_t family = 0x80;
    uint16_t kind = IMAGE_OS;
    std::string description = "test image";
    uint8_t version[4] = {1, 2, 3, 0};
    uint32_t platformMask = 0;
    uint8_t bootVersion[4] = {0, 0, 0, 0};
    uint16_t formatMajor = 4;
    uint16_t formatMinor = 4;
    uint32_t extraHeaderLength = 0;
    uint8_t dataFormat = FORMAT_BLOCKS;
    uint8_t byte5E = 0;
};

// The header laid out at the documented offsets, independently of BinFileHeader.
Bytes makeHeader(const HeaderFields& f) {
    Bytes h(128, 0);
    fwtest::putU16(h, 0x00, f.word0);
    fwtest::putU16(h, 0x02, f.platform);
    fwtest::putU16(h, 0x04, f.family);
    fwtest::putU16(h, 0x06, f.kind);
    std::memcpy(h.data() + 0x08, f.description.data(), std::min<size_t>(f.description.size(), 65));
    std::memcpy(h.data() + 0x49, f.version, 4);
    fwtest::putU32(h, 0x4D, f.platformMask);
    std::memcpy(h.data() + 0x51, f.bootVersion, 4);
    fwtest::putU16(h, 0x55, f.formatMajor);
    fwtest::putU16(h, 0x57, f.formatMinor);
    fwtest::putU32(h, 0x59, f.extraHeaderLength);
    h[0x5D] = f.dataFormat;
    h[0x5E] = f.byte5E;
    return h;
}

// A format-0 record: count, offset (high byte first), type, data, checksum.
Bytes rec(uint8_t type, uint16_t offset, const Bytes& data = {}) {
    Bytes r{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
            static_cast<uint8_t>(offset), type};
    r.insert(r.end(), data.begin(), data.end());
    r.push_back(0x5A); // checksums are not verified
    return r;
}
Bytes segRec(uint16_t segment) {
    return rec(2, 0, {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)});
}
Bytes startRec(uint16_t cs, uint16_t ip) {
    return rec(3, 0,
               {static_cast<uint8_t>(cs >> 8), static_cast<uint8_t>(cs),
                static_cast<uint8_t>(ip >> 8), static_cast<uint8_t>(ip)});
}

Bytes blocksStart(uint32_t imageAddress, uint32_t imageLength) {
    Bytes b{0x42, 0x30, 0x30, 0x30, 0x46, 0x46, 0x0A};
    fwtest::appendU32(b, imageAddress);
    fwtest::appendU32(b, imageLength);
    return b;
}
Bytes block(uint32_t addr, const Bytes& data, uint32_t cc = 0x1234) {
    Bytes b;
    fwtest::appendU32(b, addr);
    fwtest::appendU32(b, static_cast<uint32_t>(data.size()));
    fwtest::appendU32(b, cc);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}
Bytes endBlock(uint32_t run) {
    Bytes b;
    fwtest::appendU32(b, 0);
    fwtest::appendU32(b, run);
    fwtest::appendU32(b, 0);
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes pattern(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

struct Loaded {
    int32_t result = -1;
    BinFileHeader header{};
    uint16_t crc = 0xBEEF;
    uint32_t run = 0, imageAddress = 0, imageLength = 0;
    std::unique_ptr<uint8_t[]> buffer;
    uint32_t capacity = 0;

    Bytes bytes(uint32_t offset, size_t n) const {
        return Bytes(buffer.get() + offset, buffer.get() + offset + n);
    }
};

// Loads the file from a real file, handed over positioned at its end (the loader rewinds).
Loaded load(const Bytes& file, uint32_t capacity = kImageBufferSize) {
    fwtest::TempDir dir;
    const std::string path = dir / "image.bin";
    fwtest::writeFile(path, file);
    Loaded l;
    l.capacity = capacity;
    l.buffer.reset(new uint8_t[capacity ? capacity : 1]);
    std::memset(l.buffer.get(), 0x11, capacity);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr);
    if (!f) return l;
    std::fseek(f, 0, SEEK_END);
    l.result = LoadBinFile(l.buffer.get(), capacity, f, l.header, l.crc, l.run, l.imageAddress,
                           l.imageLength);
    std::fclose(f);
    return l;
}

Bytes fmt0(const Bytes& records, HeaderFields f = {}) {
    f.dataFormat = FORMAT_SEGMENT_RECORDS;
    return cat({makeHeader(f), records});
}
Bytes fmt1(const Bytes& data, HeaderFields f = {}) {
    f.dataFormat = FORMAT_BLOCKS;
    return cat({makeHeader(f), data});
}

// Captures what the firmware trace writes to standard output while `body` runs.
template <class F> std::string traced(F body) {
    SetFirmwareTrace(true);
    testing::internal::CaptureStdout();
    body();
    std::string out = testing::internal::GetCapturedStdout();
    SetFirmwareTrace(false);
    return out;
}

// ---------------------------------------------------------------------------------------------
// ReadBinFileHeader

TEST(ReadBinFileHeader, FieldsComeFromTheirOffsets) {
    HeaderFields f;
    f.word0 = 0xA55A;
    f.platform = 0x40;
    f.family = 0xC1;
    f.kind = IMAGE_BOOT_LOADER;
    f.description = "Boot loader for the tests";
    f.version[0] = 4, f.version[1] = 1, f.version[2] = 0x34, f.version[3] = 0x12;
    f.platformMask = 0x0000041C;
    f.bootVersion[0] = 3, f.bootVersion[1] = 9, f.bootVersion[2] = 0xFF, f.bootVersion[3] = 0xFF;
    f.formatMajor = 0x0203; // only the low bytes reach the record
    f.formatMinor = 0x0501;
    f.byte5E = 0xE5;
    fwtest::TempDir dir;
    fwtest::writeFile(dir / "boot.bin", makeHeader(f));

    BinFileInfo info;
    std::memset(static_cast<void*>(&info), 0x77, sizeof info);
    ASSERT_EQ(ReadBinFileHeader(dir / "boot.bin", info), 0);
    EXPECT_EQ(info.headerWord0, 0xA55A);
    EXPECT_EQ(info.targetPlatform, 0x40);
    EXPECT_EQ(info.platformMask, 0x41Cu);
    EXPECT_EQ(info.targetFamily, 0xC1);
    EXPECT_EQ(info.imageKind, IMAGE_BOOT_LOADER);
    EXPECT_STREQ(info.description, "Boot loader for the tests");
    EXPECT_EQ(info.version, (VersionTriple{4, 1, 0x1234}));
    EXPECT_EQ(info.requiredBootVersion, (VersionTriple{3, 9, 0xFFFF}));
    EXPECT_EQ(info.fileFormatVersion, (VersionTriple{3, 1, 0}));
    EXPECT_EQ(info.supportedFormatVersion, (VersionTriple{4, 4, 0}));
    EXPECT_EQ(info.headerByte5E, 0xE5);
}

TEST(ReadBinFileHeader, ShortFileIsNoErrorAndLeavesTheRestZero) {
    fwtest::TempDir dir;
    Bytes head = makeHeader({});
    head.resize(0x0A); // word 0, platform, family, kind and two description bytes
    fwtest::writeFile(dir / "short.bin", head);
    BinFileInfo info;
    std::memset(static_cast<void*>(&info), 0x77, sizeof info);
    ASSERT_EQ(ReadBinFileHeader(dir / "short.bin", info), 0);
    EXPECT_EQ(info.targetPlatform, 0x80);
    EXPECT_EQ(info.imageKind, IMAGE_OS);
    EXPECT_STREQ(info.description, "te");
    EXPECT_EQ(info.version, (VersionTriple{}));
    EXPECT_EQ(info.platformMask, 0u);
    EXPECT_EQ(info.headerByte5E, 0);
    EXPECT_EQ(info.supportedFormatVersion, (VersionTriple{4, 4, 0}));
}

TEST(ReadBinFileHeader, UnterminatedDescriptionIsCutToTheField) {
    fwtest::TempDir dir;
    HeaderFields f;
    f.description = std::string(65, 'D'); // fills the field, no terminator
    Bytes head = makeHeader(f);
    head[0x49] = 'X'; // the byte after the field is not zero either
    fwtest::writeFile(dir / "d.bin", head);
    BinFileInfo info;
    ASSERT_EQ(ReadBinFileHeader(dir / "d.bin", info), 0);
    EXPECT_EQ(std::string(info.description), std::string(64, 'D'));

    BinFileHeader raw;
    std::memcpy(&raw, head.data(), sizeof raw);
    EXPECT_EQ(DescriptionText(raw), std::string(65, 'D'));
}

TEST(ReadBinFileHeader, UnopenableFileGives206AndLeavesTheRecord) {
    fwtest::TempDir dir;
    BinFileInfo info, before;
    std::memset(static_cast<void*>(&info), 0x77, sizeof info);
    before = info;
    EXPECT_EQ(ReadBinFileHeader(dir / "missing.bin", info), 206);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
    EXPECT_EQ(ReadBinFileHeader(dir.path(), info), 206); // a directory is no image file
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
}

TEST(ReadBinFileHeader, NamesMatchWithoutRegardToCase) {
    fwtest::TempDir dir;
    fwtest::writeFile(dir / "Images/Q2-LCM/Q2LCM_4_1_2.BIN", makeHeader({}));
    BinFileInfo info;
    EXPECT_EQ(ReadBinFileHeader(dir / "images/q2-lcm/q2lcm_4_1_2.bin", info), 0);
    EXPECT_STREQ(info.description, "test image");
}

// ---------------------------------------------------------------------------------------------
// IsBinFileForDevice

struct FitCase {
    const char* what;
    uint16_t kind, targetPlatform, targetFamily;
    uint32_t mask;
    uint8_t platform, family, generation;
    bool bootLoader;
    bool fits;
};

class IsBinFileForDeviceTable : public testing::TestWithParam<FitCase> {};

TEST_P(IsBinFileForDeviceTable, Decides) {
    const FitCase& c = GetParam();
    BinFileInfo info{};
    info.imageKind = c.kind;
    info.targetPlatform = c.targetPlatform;
    info.targetFamily = c.targetFamily;
    info.platformMask = c.mask;
    EXPECT_EQ(IsBinFileForDevice(info, c.platform, c.family, c.generation, c.bootLoader), c.fits)
        << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IsBinFileForDeviceTable,
    testing::Values(
        // kind against the command
        FitCase{"firmware for firmware", IMAGE_OS, 2, 1, 0, 2, 1, 0, false, true},
        FitCase{"block OS for firmware", IMAGE_OS_BLOCK, 2, 1, 0, 2, 1, 0, false, true},
        FitCase{"boot loader offered as firmware", IMAGE_BOOT_LOADER, 2, 1, 0, 2, 1, 0, false,
                false},
        FitCase{"firmware offered as boot loader", IMAGE_OS, 2, 1, 0, 2, 1, 0, true, false},
        FitCase{"boot loader for boot loader", IMAGE_BOOT_LOADER, 2, 1, 0, 2, 1, 0, true, true},
        FitCase{"unknown kind counts as firmware", 7, 2, 1, 0, 2, 1, 0, false, true},
        // platform
        FitCase{"other platform", IMAGE_OS, 3, 1, 0, 2, 1, 0, false, false},
        FitCase{"any platform", IMAGE_OS, 0x80, 1, 0, 10, 1, 0, false, true},
        FitCase{"mask, LCM on 10", IMAGE_OS, 0x40, 1, 0x41C, 10, 1, 0, false, true},
        FitCase{"mask, LCM on 2", IMAGE_OS, 0x40, 1, 0x41C, 2, 1, 0, false, true},
        FitCase{"mask, LCM on 0 (bit clear)", IMAGE_OS, 0x40, 1, 0x41C, 0, 1, 0, false, false},
        FitCase{"mask, DVX family refused", IMAGE_OS, 0x40, 3, 0x41C, 10, 3, 0, false, false},
        FitCase{"mask, XPLC family refused", IMAGE_OS, 0x40, 2, 0xFFFFFFFF, 2, 2, 0, false, false},
        FitCase{"mask, NBX", IMAGE_OS, 0x40, 0, 0x4, 2, 0, 0, false, true},
        FitCase{"mask, MTR", IMAGE_OS, 0x40, 4, 0x4, 2, 4, 0, false, true},
        FitCase{"mask, FBS", IMAGE_OS, 0x40, 7, 0x4, 2, 7, 0, false, true},
        FitCase{"mask, FBSC", IMAGE_OS, 0x40, 8, 0x4, 2, 8, 0, false, true},
        FitCase{"mask bit taken modulo 32", IMAGE_OS, 0x40, 1, 0x2, 33, 1, 0, false, true},
        FitCase{"drive type as platform", IMAGE_OS, 2, 3, 0, 2, 3, 0, false, true},
        // family
        FitCase{"0x80 first generation", IMAGE_OS, 0x80, 0x80, 0, 2, 4, 0, false, true},
        FitCase{"0x80 second generation", IMAGE_OS, 0x80, 0x80, 0, 2, 4, 1, false, false},
        FitCase{"0x80 family 0 second generation", IMAGE_OS, 0x80, 0x80, 0, 2, 0, 1, false, true},
        FitCase{"0xC0 second generation", IMAGE_OS, 0x80, 0xC0, 0, 2, 4, 1, false, true},
        FitCase{"0xC0 first generation", IMAGE_OS, 0x80, 0xC0, 0, 2, 4, 0, false, false},
        FitCase{"0xC0 family 0 first generation", IMAGE_OS, 0x80, 0xC0, 0, 2, 0, 0, false, true},
        FitCase{"low 6 bits decide", IMAGE_OS, 0x80, 0x41, 0, 2, 1, 1, false, true},
        FitCase{"low 6 bits, other family", IMAGE_OS, 0x80, 0x41, 0, 2, 4, 0, false, false},
        FitCase{"generation 2 is neither", IMAGE_OS, 0x80, 0xC0, 0, 2, 4, 2, false, false}));

// ---------------------------------------------------------------------------------------------
// LoadBinFile, format 0

TEST(LoadSegmentRecords, AddressesAreSegmentOffsetAndLandRelativeToTheFirstRecord) {
    const Bytes a = pattern(16, 1), b = pattern(8, 100);
    Loaded l = load(fmt0(
        cat({segRec(0xF000), rec(0, 0x0000, a), rec(0, 0x8000, b), startRec(0xF000, 0x0100)})));
    ASSERT_EQ(l.result, 0);
    EXPECT_EQ(l.imageAddress, 0xF0000000u);
    EXPECT_EQ(l.run, 0xF0000100u);
    EXPECT_EQ(l.imageLength, 0x8008u);
    EXPECT_EQ(l.bytes(0, 16), a);
    EXPECT_EQ(l.bytes(0x8000, 8), b);
    EXPECT_EQ(l.bytes(16, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF})); // undefined bytes read erased
    EXPECT_EQ(l.buffer[kImageBufferSize - 1], 0xFF);            // the whole buffer was erased
    EXPECT_EQ(l.crc, fwtest::referenceCrc(l.buffer.get(), 0x8008));
    EXPECT_EQ(l.header.dataFormat, FORMAT_SEGMENT_RECORDS);
}

TEST(LoadSegmentRecords, RecordsInAnyOrderAboveTheFirstAndAcrossSegments) {
    // The first data record is 1000:0010 (linear 0x10010); a record in segment 2000 lands
    // 0xFFF0 bytes further, a record of segment 1000 after it still fits.
    Loaded l =
        load(fmt0(cat({segRec(0x1000), rec(0, 0x0010, {1, 2}), segRec(0x2000), rec(0, 0x0000, {3}),
                       segRec(0x1000), rec(0, 0x0012, {4}), startRec(0x1000, 0x10)})));
    ASSERT_EQ(l.result, 0);
    EXPECT_EQ(l.imageAddress, 0x10000010u);
    EXPECT_EQ(l.bytes(0, 3), (Bytes{1, 2, 4}));
    EXPECT_EQ(l.buffer[0xFFF0], 3);
    EXPECT_EQ(l.imageLength, 0xFFF1u);
}

TEST(LoadSegmentRecords, EndRecordDoesNotEndTheData) {
    Loaded l =
        load(fmt0(cat({rec(0, 0x0000, {1, 2}), rec(1, 0), rec(0, 0x0002, {3}), startRec(0, 0)})));
    ASSERT_EQ(l.result, 0);
    EXPECT_EQ(l.bytes(0, 3), (Bytes{1, 2, 3}));
    EXPECT_EQ(l.imageLength, 3u);
}

TEST(LoadSegmentRecords, WithoutStartRecordAllDataIsCopiedThen214) {
    Loaded l;
    std::string out = traced([&] { l = load(fmt0(cat({segRec(0xF000), rec(0, 0, {9, 8, 7})}))); });
    EXPECT_EQ(l.result, 214);
    EXPECT_EQ(l.bytes(0, 3), (Bytes{9, 8, 7}));
    EXPECT_EQ(out, "\nNo run address found.");
}

struct RefusalCase {
    const char* what;
    Bytes records;
    int32_t result;
};

class SegmentRecordRefusals : public testing::TestWithParam<RefusalCase> {};

TEST_P(SegmentRecordRefusals, Refused) {
    Loaded l = load(fmt0(GetParam().records));
    EXPECT_EQ(l.result, GetParam().result) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SegmentRecordRefusals,
    testing::Values(
        RefusalCase{"record below the first data record",
                    cat({rec(0, 0x0100, {1}), rec(0, 0x00FF, {2}), startRec(0, 0)}), 214},
        RefusalCase{"record in a lower segment",
                    cat({segRec(0x2000), rec(0, 0, {1}), segRec(0x1FFF), rec(0, 0x000F, {2}),
                         startRec(0, 0)}),
                    214},
        RefusalCase{"record type 4", cat({rec(0, 0, {1}), rec(4, 0, {0, 0}), startRec(0, 0)}), 203},
        RefusalCase{"record type 5", cat({rec(5, 0, {0, 0, 0, 0}), startRec(0, 0)}), 203},
        // Records that state more than they hold.
        RefusalCase{"record cut short by the end of the file",
                    [] {
                        Bytes r = cat({rec(0, 0, pattern(32)), startRec(0, 0)});
                        r.resize(r.size() - 3);
                        return r;
                    }(),
                    214},
        RefusalCase{"count byte alone at the end",
                    cat({rec(0, 0, {1}), startRec(0, 0), Bytes{0x10}}), 214},
        RefusalCase{"segment record without its two bytes",
                    cat({rec(2, 0, {0x10}), rec(0, 0, {1}), startRec(0, 0)}), 214},
        RefusalCase{"start record without its four bytes",
                    cat({rec(0, 0, {1}), rec(3, 0, {1, 2, 3})}), 214}));

TEST(LoadSegmentRecords, LastBufferByteIsNeverLoaded) {
    // With a 256-byte buffer, data may end at offset 255 but not at 256.
    Loaded ok = load(fmt0(cat({rec(0, 0, {1}), rec(0, 0xF0, pattern(15)), startRec(0, 0)})), 256);
    EXPECT_EQ(ok.result, 0);
    EXPECT_EQ(ok.imageLength, 255u);
    Loaded full = load(fmt0(cat({rec(0, 0, {1}), rec(0, 0xF0, pattern(16)), startRec(0, 0)})), 256);
    EXPECT_EQ(full.result, 202);
}

// ---------------------------------------------------------------------------------------------
// LoadBinFile, format 1

TEST(LoadBlocks, BlocksLandRelativeToTheImageAddressAndTheDeclaredLengthCounts) {
    const Bytes a = pattern(0x20, 3), b = pattern(0x10, 50);
    Loaded l = load(fmt1(cat({blocksStart(0x80000000, 0x100), block(0x80000000, a),
                              block(0x800000F0, b), endBlock(0x80000040)})));
    ASSERT_EQ(l.result, 0);
    EXPECT_EQ(l.imageAddress, 0x80000000u);
    EXPECT_EQ(l.imageLength, 0x100u); // the declared length, blocks are not counted
    EXPECT_EQ(l.run, 0x80000040u);
    EXPECT_EQ(l.bytes(0, 0x20), a);
    EXPECT_EQ(l.bytes(0xF0, 0x10), b);
    for (uint32_t i = 0x20; i < 0xF0; ++i)
        ASSERT_EQ(l.buffer[i], 0xFF) << i;
    // The uncovered bytes are part of the CRC.
    EXPECT_EQ(l.crc, fwtest::referenceCrc(l.buffer.get(), 0x100));
}

TEST(LoadBlocks, BytesWrittenThroughTheSameStreamAndNotFlushedAreLoaded) {
    const Bytes a = pattern(0x20, 7);
    const Bytes file = fmt1(cat({blocksStart(0x100, 0x20), block(0x100, a), endBlock(0x100)}));
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(file.data(), 1, file.size(), f), file.size()); // still buffered
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kImageBufferSize]);
    BinFileHeader header{};
    uint16_t crc = 0;
    uint32_t run = 0, imageAddress = 0, imageLength = 0;
    EXPECT_EQ(LoadBinFile(buffer.get(), kImageBufferSize, f, header, crc, run, imageAddress,
                          imageLength),
              0);
    std::fclose(f);
    EXPECT_EQ(imageLength, 0x20u);
    EXPECT_EQ(Bytes(buffer.get(), buffer.get() + 0x20), a);
}

TEST(LoadBlocks, EndBlockEndsParsing) {
    // Whatever follows the end block is not read, even if it is not a block.
    Loaded l = load(
        fmt1(cat({blocksStart(0x100, 2), block(0x100, {5, 6}), endBlock(0x100), Bytes{1, 2, 3}})));
    ASSERT_EQ(l.result, 0);
    EXPECT_EQ(l.bytes(0, 2), (Bytes{5, 6}));
}

TEST(LoadBlocks, BlockEndingAtTheLastBufferByteIsRejected) {
    const uint32_t ia = 0x10000000;
    Loaded rejected =
        load(fmt1(cat({blocksStart(ia, 0x10), block(ia + 0x3FFFF0, pattern(0x10)), endBlock(ia)})));
    EXPECT_EQ(rejected.result, 202);
    Loaded accepted =
        load(fmt1(cat({blocksStart(ia, 0x10), block(ia + 0x3FFFF0, pattern(0xF)), endBlock(ia)})));
    EXPECT_EQ(accepted.result, 0);
    EXPECT_EQ(accepted.bytes(0x3FFFF0, 0xF), pattern(0xF));
    EXPECT_EQ(accepted.buffer[0x3FFFFF], 0xFF);
}

struct BlockRefusal {
    const char* what;
    Bytes data;
    int32_t result;
};

class BlockRefusals : public testing::TestWithParam<BlockRefusal> {};

TEST_P(BlockRefusals, Refused) {
    Loaded l = load(fmt1(GetParam().data));
    EXPECT_EQ(l.result, GetParam().result) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BlockRefusals,
    testing::Values(
        BlockRefusal{"no end block", cat({blocksStart(0, 4), block(1, {1, 2, 3})}), 214},
        BlockRefusal{"end block with run address 0xFFFFFFFF",
                     cat({blocksStart(0, 4), block(1, {1}), endBlock(0xFFFFFFFF)}), 214},
        BlockRefusal{
            "magic not there",
            cat({Bytes{0x42, 0x30, 0x30, 0x30, 0x46, 0x46, 0x0D}, Bytes(8, 0), endBlock(0)}), 214},
        BlockRefusal{"block below the image address",
                     cat({blocksStart(0x1000, 0x10), block(0x0FF8, pattern(16)), endBlock(0)}),
                     214},
        BlockRefusal{"block stating more data than the file holds",
                     [] {
                         Bytes b = cat({blocksStart(0, 0x100), block(0, pattern(0x40), 1)});
                         fwtest::putU32(b, 15 + 4, 0x80); // Len 0x80, 0x40 bytes follow
                         return b;
                     }(),
                     214},
        BlockRefusal{"block length that wraps 32-bit arithmetic",
                     [] {
                         Bytes b = cat({blocksStart(0x100, 0x10), block(0x110, pattern(4), 1)});
                         fwtest::putU32(b, 15 + 4, 0xFFFFFFF8);
                         return b;
                     }(),
                     202},
        BlockRefusal{"declared image length beyond the buffer",
                     cat({blocksStart(0, kImageBufferSize + 1), block(0, {1}, 1), endBlock(0)}),
                     202},
        BlockRefusal{"block header cut short",
                     cat({blocksStart(0, 4), block(0, {1}, 1), Bytes{0, 0, 0, 0, 1}}), 214},
        BlockRefusal{"image address and length cut short",
                     Bytes{0x42, 0x30, 0x30, 0x30, 0x46, 0x46, 0x0A, 0, 0, 0}, 214},
        BlockRefusal{"no data at all", Bytes{}, 214}));

// ---------------------------------------------------------------------------------------------
// Header checks common to both formats

struct FormatVersionCase {
    uint16_t major, minor;
    int32_t result;
};

class FormatVersionLimits : public testing::TestWithParam<FormatVersionCase> {};

TEST_P(FormatVersionLimits, NewerThan44IsRefused) {
    HeaderFields f;
    f.formatMajor = GetParam().major;
    f.formatMinor = GetParam().minor;
    Loaded l = load(fmt1(cat({blocksStart(0, 1), block(0, {1}, 1), endBlock(0)}), f));
    EXPECT_EQ(l.result, GetParam().result) << GetParam().major << "." << GetParam().minor;
}

INSTANTIATE_TEST_SUITE_P(Cases, FormatVersionLimits,
                         testing::Values(FormatVersionCase{4, 4, 0}, FormatVersionCase{4, 5, 211},
                                         FormatVersionCase{3, 9, 0}, FormatVersionCase{5, 0, 211},
                                         FormatVersionCase{0, 0, 0}, FormatVersionCase{4, 0, 0},
                                         FormatVersionCase{3, 0xFFFF, 0},
                                         // the whole 16-bit fields count, not their low bytes
                                         FormatVersionCase{0x0104, 0, 211},
                                         FormatVersionCase{4, 0x0104, 211}));

TEST(LoadBinFile, ExtraHeaderBytesAreSkipped) {
    HeaderFields f;
    f.extraHeaderLength = 5;
    Loaded l = load(
        fmt1(cat({Bytes{9, 9, 9, 9, 9}, blocksStart(0, 1), block(0, {7}, 1), endBlock(0)}), f));
    ASSERT_EQ(l.result, 0);
    EXPECT_EQ(l.buffer[0], 7);
}

TEST(LoadBinFile, ExtraHeaderLongerThanTheFileIsRefused) {
    HeaderFields f;
    f.extraHeaderLength = 0xFFFFFF00;
    Loaded l = load(fmt1(cat({blocksStart(0, 1), block(0, {7}, 1), endBlock(0)}), f));
    EXPECT_EQ(l.result, 214);
}

TEST(LoadBinFile, FileShorterThanItsHeaderIsRefused) {
    Bytes head = makeHeader({});
    head.resize(100);
    EXPECT_EQ(load(head).result, 214);
}

TEST(LoadBinFile, HeaderComesBackByteForByte) {
    HeaderFields f;
    f.word0 = 0x1234;
    f.kind = IMAGE_OS_BLOCK;
    f.platformMask = 0xCAFEBABE;
    f.byte5E = 0x5E;
    Bytes file = fmt1(cat({blocksStart(0, 1), block(0, {1}, 1), endBlock(0)}), f);
    file[0x70] = 0xAB; // reserved bytes are carried too
    Loaded l = load(file);
    ASSERT_EQ(l.result, 0);
    EXPECT_EQ(std::memcmp(&l.header, file.data(), 128), 0);
    EXPECT_EQ(l.header.imageKind, IMAGE_OS_BLOCK);
    EXPECT_EQ(l.header.platformMask, 0xCAFEBABEu);
    EXPECT_EQ(l.header.reserved[0x70 - 0x5F], 0xAB);
}

TEST(LoadBinFile, UnknownDataFormatIsRefusedWithItsTrace) {
    HeaderFields f;
    f.dataFormat = 2;
    Loaded l;
    std::string out = traced([&] { l = load(cat({makeHeader(f), endBlock(0)})); });
    EXPECT_EQ(l.result, 214);
    EXPECT_EQ(out, "\nUnknown file format: 2 (0x2)");
}

TEST(LoadBinFile, CrcOfAbc) {
    Loaded l = load(
        fmt1(cat({blocksStart(0x400, 3), block(0x400, {0x61, 0x62, 0x63}, 1), endBlock(0x400)})));
    ASSERT_EQ(l.result, 0);
    EXPECT_EQ(l.crc, 0x9DD6);
    EXPECT_EQ(ImageCrc(reinterpret_cast<const uint8_t*>("abc"), 3), 0x9DD6);
}

// ---------------------------------------------------------------------------------------------
// Trace

TEST(FirmwareTrace, BlockLoaderLinesExactly) {
    Loaded l;
    std::string out = traced([&] {
        l = load(fmt1(cat({blocksStart(0x80000000, 0x10), block(0x80000000, pattern(0x10), 0xABCD),
                           endBlock(0x80000100)})));
    });
    ASSERT_EQ(l.result, 0);
    EXPECT_EQ(out, "\nImageAddress: 0x80000000  ImageLength: 16 (0x10)"
                   "\nAddr 0x80000000  Len: 16 (0x10)  CC: 0xABCD "
                   "\nEnd record found.  Starting Address = 0x80000100");
}

TEST(FirmwareTrace, InvalidMagicLine) {
    Loaded l;
    std::string out = traced([&] {
        l = load(fmt1(cat({Bytes{0x42, 0x30, 0x30, 0x30, 0x46, 0x46, 0x0D}, Bytes(8, 0)})));
    });
    EXPECT_EQ(l.result, 214);
    EXPECT_EQ(out, "\nInvalid header for file :  42 30 30 30 46 46 D");
}

TEST(FirmwareTrace, NegativeLengthsShowAsTheyAlwaysHave) {
    // Lengths are printed with %d: a huge declared length shows negative.
    Loaded l;
    std::string out = traced([&] {
        l = load(fmt1(cat({blocksStart(0, 0xFFFFFFFF), endBlock(0)})));
    });
    EXPECT_EQ(l.result, 202);
    EXPECT_EQ(out.rfind("\nImageAddress: 0x0  ImageLength: -1 (0xFFFFFFFF)", 0), 0u) << out;
}

TEST(FirmwareTrace, OffByDefaultAndSilentWhenOff) {
    EXPECT_FALSE(FirmwareTraceOn());
    testing::internal::CaptureStdout();
    Loaded l = load(fmt1(cat({blocksStart(0, 1), block(0, {1}, 1)}))); // 214 with trace lines
    FirmwareTrace("\nnot shown %d", 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(l.result, 214);
    EXPECT_EQ(out, "");

    SetFirmwareTrace(true);
    EXPECT_TRUE(FirmwareTraceOn());
    testing::internal::CaptureStdout();
    FirmwareTrace("\n  Error %d (0x%X) [%s] loading file %s.", 214, 214, "invalid file format",
                  "a.bin");
    out = testing::internal::GetCapturedStdout();
    SetFirmwareTrace(false);
    EXPECT_EQ(out, "\n  Error 214 (0xD6) [invalid file format] loading file a.bin.");
}

} // namespace
