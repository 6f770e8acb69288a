// labels: integration
// tessan3-mkimage as it is used: the built tool is run on real files, its images are read back
// with the loader, and Intel HEX written by objcopy is read so that a file no one here wrote
// goes through it.
#include "firmware/bin_file.h"
#include "firmware/version_stamp.h"

#include "fw_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

using namespace firmware;
using fwtest::Bytes;

namespace {

struct ToolRun {
    int exitCode = -1;
    std::string out, err;
};

ToolRun runProgram(const std::string& program, const std::vector<std::string>& args,
                   const fwtest::TempDir& dir) {
    const std::string outPath = dir / ".stdout", errPath = dir / ".stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    ToolRun run;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot run " << program << ": " << std::strerror(spawned);
        return run;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    Bytes out = fwtest::readFile(outPath), err = fwtest::readFile(errPath);
    run.out.assign(out.begin(), out.end());
    run.err.assign(err.begin(), err.end());
    return run;
}

ToolRun mkimage(const std::vector<std::string>& args, const fwtest::TempDir& dir) {
    return runProgram(TESSAN3_MKIMAGE, args, dir);
}

void objcopy(const std::vector<std::string>& args, const fwtest::TempDir& dir) {
    ToolRun r = runProgram(TESSAN_OBJCOPY, args, dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
}

struct Image {
    int32_t result = -1;
    BinFileHeader header{};
    BinFileInfo info{};
    uint16_t crc = 0;
    uint32_t run = 0, imageAddress = 0, imageLength = 0;
    std::unique_ptr<uint8_t[]> buffer{new uint8_t[kImageBufferSize]};

    Bytes bytes(uint32_t offset, size_t n) const {
        return Bytes(buffer.get() + offset, buffer.get() + offset + n);
    }
};

std::unique_ptr<Image> loadImage(const std::string& path) {
    auto image = std::make_unique<Image>();
    EXPECT_EQ(ReadBinFileHeader(path, image->info), 0) << path;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr) << path;
    if (!f) return image;
    image->result = LoadBinFile(image->buffer.get(), kImageBufferSize, f, image->header, image->crc,
                                image->run, image->imageAddress, image->imageLength);
    std::fclose(f);
    return image;
}

Bytes pattern(size_t n, uint32_t seed = 12345) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245 + 12345;
        b[i] = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

Bytes stampBytes(VersionTriple v) {
    Bytes b(kVersionStampSize);
    PutVersionStamp(b.data(), v);
    return b;
}

// ---------------------------------------------------------------------------------------------
// Raw binaries in both data formats, every header field set

struct RoundTripCase {
    const char* what;
    const char* format;
    const char* kind;
    uint16_t kindValue;
    size_t size;
    const char* address;
    const char* run;
    uint32_t imageAddress; // as the loader reports it
    uint32_t runAddress;
};

class RawRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(RawRoundTrip, LoaderReadsBackWhatTheToolWrote) {
    const RoundTripCase& c = GetParam();
    fwtest::TempDir dir;
    const Bytes data = pattern(c.size);
    fwtest::writeFile(dir / "in.bin", data);
    ToolRun r = mkimage({"--format",
                         c.format,
                         "--kind",
                         c.kind,
                         "--address",
                         c.address,
                         "--run",
                         c.run,
                         "--platform",
                         "2",
                         "--family",
                         "lcm",
                         "--description",
                         "LCM firmware, tests",
                         "--version",
                         "4.1.1234",
                         "--boot-version",
                         "3.0.5",
                         "--format-version",
                         "4.3",
                         "--header-word",
                         "0x1234",
                         "--header-byte",
                         "0x5E",
                         "--extra-header",
                         "7",
                         dir / "in.bin",
                         "-o",
                         dir / "out.bin"},
                        dir);
    ASSERT_EQ(r.exitCode, 0) << c.what << ": " << r.err;
    EXPECT_EQ(r.out, "");

    auto image = loadImage(dir / "out.bin");
    ASSERT_EQ(image->result, 0) << c.what;
    const BinFileInfo& info = image->info;
    EXPECT_EQ(info.headerWord0, 0x1234);
    EXPECT_EQ(info.targetPlatform, 2);
    EXPECT_EQ(info.targetFamily, 1);
    EXPECT_EQ(info.imageKind, c.kindValue);
    EXPECT_STREQ(info.description, "LCM firmware, tests");
    EXPECT_EQ(info.version, (VersionTriple{4, 1, 1234}));
    EXPECT_EQ(info.requiredBootVersion, (VersionTriple{3, 0, 5}));
    EXPECT_EQ(info.fileFormatVersion, (VersionTriple{4, 3, 0}));
    EXPECT_EQ(info.headerByte5E, 0x5E);
    EXPECT_EQ(image->header.extraHeaderLength, 7u);
    EXPECT_EQ(image->header.dataFormat, c.format[0] - '0');

    EXPECT_EQ(image->imageAddress, c.imageAddress) << c.what;
    EXPECT_EQ(image->run, c.runAddress) << c.what;
    ASSERT_EQ(image->imageLength, c.size + kVersionStampSize) << c.what;
    EXPECT_EQ(image->bytes(0, c.size), data) << c.what;
    EXPECT_EQ(image->bytes(static_cast<uint32_t>(c.size), kVersionStampSize),
              stampBytes({4, 1, 1234}));
    EXPECT_EQ(image->crc, fwtest::referenceCrc(image->buffer.get(), image->imageLength));
    EXPECT_EQ(image->buffer[image->imageLength], 0xFF);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RawRoundTrip,
    testing::Values(RoundTripCase{"linear OS", "1", "os", IMAGE_OS, 5000, "0x80000000",
                                  "0x80000100", 0x80000000, 0x80000100},
                    RoundTripCase{"linear OS of 200 KiB", "1", "4", IMAGE_OS, 200 * 1024,
                                  "0xA0008000", "0xA0008000", 0xA0008000, 0xA0008000},
                    RoundTripCase{"linear boot loader", "1", "boot", IMAGE_BOOT_LOADER, 0x3000,
                                  "0xA0000000", "0xA0000000", 0xA0000000, 0xA0000000},
                    RoundTripCase{"block OS at address 0", "1", "os-block", IMAGE_OS_BLOCK, 0x100,
                                  "0", "0", 0, 0},
                    RoundTripCase{"segmented block OS at F000", "0", "os-block", IMAGE_OS_BLOCK,
                                  0x5000, "F000:0000", "F000:0100", 0xF0000000, 0xF0000100},
                    RoundTripCase{"segmented block OS at E000 by number", "0", "1", IMAGE_OS_BLOCK,
                                  0xFF00, "0xE0000000", "0xE0000000", 0xE0000000, 0xE0000000},
                    RoundTripCase{"segmented OS across segments", "0", "os", IMAGE_OS, 0x28000,
                                  "8000:0010", "8000:0010", 0x80000010, 0x80000010},
                    RoundTripCase{"segmented boot loader", "0", "boot", IMAGE_BOOT_LOADER, 0x3F00,
                                  "FC00:0000", "FC00:3FF0", 0xFC000000, 0xFC003FF0}));

TEST(Mkimage, NoStampLeavesTheDataAlone) {
    fwtest::TempDir dir;
    const Bytes data = pattern(1000);
    fwtest::writeFile(dir / "in.bin", data);
    for (const char* format : {"0", "1"}) {
        ToolRun r = mkimage({"--no-stamp", "--version", "2.0.0", "--format", format, dir / "in.bin",
                             "-o", dir / "out.bin"},
                            dir);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        auto image = loadImage(dir / "out.bin");
        ASSERT_EQ(image->result, 0);
        EXPECT_EQ(image->imageLength, 1000u) << format;
        EXPECT_EQ(image->bytes(0, 1000), data);
        VersionTriple v;
        EXPECT_FALSE(FindVersionStamp(image->buffer.get(), image->imageLength, v));
    }
}

TEST(Mkimage, DefaultsAndPlatformMask) {
    fwtest::TempDir dir;
    fwtest::writeFile(dir / "in.bin", pattern(64));
    ToolRun r = mkimage({"--platform-mask", "0x41C", dir / "in.bin", "-o", dir / "out.bin"}, dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto image = loadImage(dir / "out.bin");
    ASSERT_EQ(image->result, 0);
    EXPECT_EQ(image->info.targetPlatform, 0x40);
    EXPECT_EQ(image->info.platformMask, 0x41Cu);
    EXPECT_EQ(image->info.targetFamily, 0x80);
    EXPECT_EQ(image->info.imageKind, IMAGE_OS);
    EXPECT_EQ(image->info.fileFormatVersion, (VersionTriple{4, 4, 0}));
    EXPECT_EQ(image->header.dataFormat, FORMAT_BLOCKS);
    EXPECT_EQ(image->imageAddress, 0u);
    EXPECT_EQ(image->run, 0u);
    // A first-generation LCM on platform 10 takes it, one on platform 0 does not.
    EXPECT_TRUE(IsBinFileForDevice(image->info, 10, 1, 0, false));
    EXPECT_FALSE(IsBinFileForDevice(image->info, 0, 1, 0, false));
}

TEST(Mkimage, LargestImageTheLoaderTakes) {
    // The loader keeps the last buffer byte free: data and stamp may span 0x3FFFFF bytes.
    fwtest::TempDir dir;
    const size_t most = kImageBufferSize - 1 - kVersionStampSize;
    fwtest::writeFile(dir / "in.bin", pattern(most));
    ToolRun r = mkimage({dir / "in.bin", "-o", dir / "out.bin"}, dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto image = loadImage(dir / "out.bin");
    ASSERT_EQ(image->result, 0);
    EXPECT_EQ(image->imageLength, kImageBufferSize - 1);

    fwtest::writeFile(dir / "in.bin", pattern(most + 1));
    r = mkimage({dir / "in.bin", "-o", dir / "big.bin"}, dir);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("image buffer"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "big.bin"));
}

// ---------------------------------------------------------------------------------------------
// Intel HEX written by objcopy

struct ObjcopyCase {
    const char* what;
    std::vector<std::string> objcopyOptions;
    size_t size;
    const char* format;
    uint32_t imageAddress; // as the loader reports it
    uint32_t runAddress;
};

class ObjcopyHex : public testing::TestWithParam<ObjcopyCase> {};

TEST_P(ObjcopyHex, DataArrivesWhereObjcopyPutIt) {
    const ObjcopyCase& c = GetParam();
    fwtest::TempDir dir;
    const Bytes data = pattern(c.size, 99);
    fwtest::writeFile(dir / "fw.bin", data);
    std::vector<std::string> args{"-I", "binary", "-O", "ihex"};
    args.insert(args.end(), c.objcopyOptions.begin(), c.objcopyOptions.end());
    args.push_back(dir / "fw.bin");
    args.push_back(dir / "fw.hex");
    objcopy(args, dir);

    ToolRun r = mkimage(
        {"--format", c.format, "--version", "1.2.3", dir / "fw.hex", "-o", dir / "fw.img"}, dir);
    ASSERT_EQ(r.exitCode, 0) << c.what << ": " << r.err;
    auto image = loadImage(dir / "fw.img");
    ASSERT_EQ(image->result, 0) << c.what;
    EXPECT_EQ(image->imageAddress, c.imageAddress) << c.what;
    EXPECT_EQ(image->run, c.runAddress) << c.what;
    ASSERT_EQ(image->imageLength, c.size + kVersionStampSize) << c.what;
    EXPECT_EQ(image->bytes(0, c.size), data) << c.what;
    VersionTriple v;
    ASSERT_TRUE(FindVersionStamp(image->buffer.get(), image->imageLength, v));
    EXPECT_EQ(v, (VersionTriple{1, 2, 3}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ObjcopyHex,
    testing::Values(ObjcopyCase{"from address 0, blocks", {}, 70000, "1", 0, 0},
                    ObjcopyCase{"from address 0, segment records", {}, 70000, "0", 0, 0},
                    ObjcopyCase{"linear records and start (types 04, 05)",
                                {"--change-addresses", "0x80000000", "--set-start", "0x10"},
                                150000,
                                "1",
                                0x80000000,
                                0x80000010},
                    ObjcopyCase{"segment records and start (types 02, 03)",
                                {"--change-addresses", "0xF0000"},
                                0x7000,
                                "0",
                                0xF0000000,
                                0xF0000000},
                    ObjcopyCase{"segment start as a linear run address",
                                {"--change-addresses", "0xF0000", "--set-start", "0x100"},
                                0x7000,
                                "1",
                                0xF0000,
                                0xF0100},
                    ObjcopyCase{"segments into linear records past 1 MiB",
                                {"--change-addresses", "0xF8000"},
                                70000,
                                "0",
                                0xF0008000,
                                0xF0008000}));

TEST(Mkimage, HandWrittenHexWithGapsAndCrLf) {
    fwtest::TempDir dir;
    // Segment 1000, data at 1000:0000 and 1000:0020, start 1000:0004; CRLF line ends.
    fwtest::writeText(dir / "gaps.hex", ":020000021000EC\r\n"
                                        ":0400000001020304F2\r\n"
                                        ":02002000AABB79\r\n"
                                        ":0400000310000004E5\r\n"
                                        ":00000001FF\r\n");
    ToolRun r =
        mkimage({"--format", "0", "--no-stamp", dir / "gaps.hex", "-o", dir / "gaps.bin"}, dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto image = loadImage(dir / "gaps.bin");
    ASSERT_EQ(image->result, 0);
    EXPECT_EQ(image->imageAddress, 0x10000000u);
    EXPECT_EQ(image->run, 0x10000004u);
    EXPECT_EQ(image->imageLength, 0x22u);
    EXPECT_EQ(image->bytes(0, 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(image->bytes(4, 0x1C), Bytes(0x1C, 0xFF));
    EXPECT_EQ(image->bytes(0x20, 2), (Bytes{0xAA, 0xBB}));

    // The same as blocks, with an image address below the data.
    r = mkimage({"--address", "0xFF00", dir / "gaps.hex", "-o", dir / "gaps1.bin"}, dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    image = loadImage(dir / "gaps1.bin");
    ASSERT_EQ(image->result, 0);
    EXPECT_EQ(image->imageAddress, 0xFF00u);
    EXPECT_EQ(image->run, 0x10004u);
    EXPECT_EQ(image->bytes(0x100, 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(image->bytes(0x120, 2), (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(image->bytes(0x122, kVersionStampSize), stampBytes({0, 0, 0}));
}

struct BadHexCase {
    const char* what;
    const char* text;
    const char* message; // expected in the error output
};

class BadHex : public testing::TestWithParam<BadHexCase> {};

TEST_P(BadHex, RefusedWithTheLine) {
    const BadHexCase& c = GetParam();
    fwtest::TempDir dir;
    fwtest::writeText(dir / "bad.hex", c.text);
    ToolRun r = mkimage({dir / "bad.hex", "-o", dir / "bad.bin"}, dir);
    EXPECT_EQ(r.exitCode, 1) << c.what;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "bad.bin")) << c.what;
    EXPECT_FALSE(std::filesystem::exists(dir / "bad.bin.tmp")) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadHex,
    testing::Values(BadHexCase{"checksum", ":0400000001020304F2\n:02000000AABB9A\n:00000001FF\n",
                               "line 2: checksum 0x9A, expected 0x99"},
                    BadHexCase{"no colon", ":0400000001020304F2\n0400000001020304F2\n:00000001FF\n",
                               "line 2: a record must start with ':'"},
                    BadHexCase{"not hexadecimal", ":0400000001020G04F2\n:00000001FF\n",
                               "line 1: 'G' is not a hexadecimal digit"},
                    BadHexCase{"odd digits", ":0400000001020304F\n:00000001FF\n",
                               "line 1: odd number of hexadecimal digits"},
                    BadHexCase{"count disagrees", ":0500000001020304F1\n:00000001FF\n",
                               "line 1: record of 9 bytes, its count says 10"},
                    BadHexCase{"too short", ":0000\n:00000001FF\n", "line 1: record of 2 bytes"},
                    BadHexCase{"unknown type", "\n\n:00000006FA\n:00000001FF\n",
                               "line 3: unknown record type 0x06"},
                    BadHexCase{
                        "segment record size", ":0100000210ED\n:00000001FF\n",
                        "line 1: extended segment address record with 1 data bytes (needs 2)"},
                    BadHexCase{"no end record", ":0400000001020304F2\n", "no end-of-file record"},
                    BadHexCase{"after the end", ":00000001FF\n:0400000001020304F2\n",
                               "line 2: record after the end-of-file record"},
                    BadHexCase{"overlap", ":0400000001020304F2\n:02000200AABB97\n:00000001FF\n",
                               "line 2: data at 0x2 overlaps the data of line 1"}));

// ---------------------------------------------------------------------------------------------
// Refusals, usage, --print

TEST(Mkimage, BlockOsMustLeaveItsOsDefFree) {
    fwtest::TempDir dir;
    // At F000:0000 the block is 32 KiB: data and stamp may fill 0x8000 - 32 bytes.
    fwtest::writeFile(dir / "fits.bin", pattern(0x8000 - 32 - kVersionStampSize));
    fwtest::writeFile(dir / "over.bin", pattern(0x8000 - 32 - kVersionStampSize + 1));
    ToolRun r = mkimage({"--format", "0", "--kind", "os-block", "--address", "F000:0000",
                         dir / "fits.bin", "-o", dir / "fits.img"},
                        dir);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = mkimage({"--format", "0", "--kind", "os-block", "--address", "F000:0000", dir / "over.bin",
                 "-o", dir / "over.img"},
                dir);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("OSDef"), std::string::npos) << r.err;
    // Without the stamp the same data fits.
    r = mkimage({"--format", "0", "--kind", "os-block", "--address", "F000:0000", "--no-stamp",
                 dir / "over.bin", "-o", dir / "over.img"},
                dir);
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST(Mkimage, BuildRefusals) {
    fwtest::TempDir dir;
    fwtest::writeFile(dir / "in.bin", pattern(16));
    fwtest::writeText(dir / "in.hex", ":0400100001020304E2\n:00000001FF\n");
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--address", "0x20", dir / "in.hex", "-o", dir / "o.bin"}, "lies below the image"},
        {{"--format", "0", "--address", "0xFFFFFFF0", dir / "in.bin", "-o", dir / "o.bin"},
         "cannot be addressed as segment:offset"},
        {{"--address", "0xFFFFFFF8", dir / "in.bin", "-o", dir / "o.bin"}, "32-bit"},
        {{dir / "missing.bin", "-o", dir / "o.bin"}, "cannot open"},
        {{dir / "in.bin", "-o", dir / "no/such/dir/o.bin"}, "cannot create"},
    };
    for (const Case& c : cases) {
        ToolRun r = mkimage(c.args, dir);
        EXPECT_EQ(r.exitCode, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir / "o.bin"));
    }
}

TEST(Mkimage, UsageErrorsExitWith2) {
    fwtest::TempDir dir;
    fwtest::writeFile(dir / "in.bin", pattern(16));
    const std::string in = dir / "in.bin", out = dir / "o.bin";
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "no input file"},
        {{in}, "no output file"},
        {{"--bogus", in, "-o", out}, "unknown option --bogus"},
        {{in, in, "-o", out}, "more than one input file"},
        {{in, "-o"}, "-o needs a value"},
        {{"--version", "4.1", in, "-o", out}, "--version: '4.1' is not MAJOR.MINOR.BUILD"},
        {{"--version", "4.1.70000", in, "-o", out}, "is not MAJOR.MINOR.BUILD"},
        {{"--version", "256.0.0", in, "-o", out}, "is not MAJOR.MINOR.BUILD"},
        {{"--format-version", "4.4.0", in, "-o", out}, "is not MAJOR.MINOR"},
        {{"--format", "2", in, "-o", out}, "--format: '2' is not 0 or 1"},
        {{"--kind", "kernel", in, "-o", out}, "--kind: 'kernel'"},
        {{"--family", "plc", in, "-o", out}, "--family: 'plc'"},
        {{"--platform", "-1", in, "-o", out}, "--platform: '-1'"},
        {{"--header-byte", "256", in, "-o", out}, "--header-byte: '256' is not a number"},
        {{"--description", std::string(65, 'x'), in, "-o", out}, "at most 64"},
        {{"--address", "F000:0000", in, "-o", out}, "for --format 0 only"},
        {{"--format", "0", "--address", "F000:", in, "-o", out}, "is not SSSS:OOOO"},
        {{"--format", "0", "--run", "10000:0", in, "-o", out}, "is not SSSS:OOOO"},
        {{"--input-format", "srec", in, "-o", out}, "is not raw or ihex"},
        {{"--print", in, "-o", out}, "--print takes no input or output file"},
    };
    for (const Case& c : cases) {
        ToolRun r = mkimage(c.args, dir);
        EXPECT_EQ(r.exitCode, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.message << ": " << r.err;
        EXPECT_NE(r.err.find("Try 'tessan3-mkimage --help'."), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

TEST(Mkimage, HelpShowsUsage) {
    fwtest::TempDir dir;
    ToolRun r = mkimage({"--help"}, dir);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("Usage: tessan3-mkimage", 0), 0u) << r.out;
    for (const char* option : {"--format", "--kind", "--platform-mask", "--boot-version",
                               "--format-version", "--stamp", "--no-stamp", "--print"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
}

TEST(Mkimage, InputFormatOverridesTheExtension) {
    fwtest::TempDir dir;
    // Text that looks like HEX, taken as raw bytes; and HEX in a file named .dat.
    fwtest::writeText(dir / "text.hex", ":00000001FF\n");
    fwtest::writeText(dir / "data.dat", ":0100000042BD\n:00000001FF\n");
    ToolRun r = mkimage(
        {"--input-format", "raw", "--no-stamp", dir / "text.hex", "-o", dir / "a.bin"}, dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto image = loadImage(dir / "a.bin");
    ASSERT_EQ(image->result, 0);
    EXPECT_EQ(image->bytes(0, 12),
              Bytes({':', '0', '0', '0', '0', '0', '0', '0', '1', 'F', 'F', '\n'}));
    r = mkimage({"--input-format", "ihex", "--no-stamp", dir / "data.dat", "-o", dir / "b.bin"},
                dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    image = loadImage(dir / "b.bin");
    ASSERT_EQ(image->result, 0);
    EXPECT_EQ(image->imageLength, 1u);
    EXPECT_EQ(image->buffer[0], 0x42);
}

TEST(Mkimage, PrintShowsTheHeaderAndTheData) {
    fwtest::TempDir dir;
    fwtest::writeFile(dir / "in.bin", Bytes{0x61, 0x62, 0x63});
    ToolRun r = mkimage({"--no-stamp",
                         "--format",
                         "0",
                         "--kind",
                         "os-block",
                         "--address",
                         "F000:0000",
                         "--run",
                         "F000:0100",
                         "--platform",
                         "10",
                         "--family",
                         "0x41",
                         "--description",
                         "NBX block OS",
                         "--version",
                         "2.5.0",
                         "--boot-version",
                         "2.0.1",
                         dir / "in.bin",
                         "-o",
                         dir / "nbx.bin"},
                        dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = mkimage({"--print", dir / "nbx.bin"}, dir);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "File:                  " + (dir / "nbx.bin") +
                         "\n"
                         "Description:           \"NBX block OS\"\n"
                         "Image kind:            1 (IMAGE_OS_BLOCK)\n"
                         "Version:               2.5.0\n"
                         "Required boot version: 2.0.1\n"
                         "Target platform:       0x000A (platform 10)\n"
                         "Platform mask:         0x00000000\n"
                         "Target family:         0x0041 (family 1 (LCM))\n"
                         "Format version:        4.4\n"
                         "Extra header length:   0\n"
                         "Data format:           0 (FORMAT_SEGMENT_RECORDS)\n"
                         "Header word 0:         0x0000\n"
                         "Header byte 0x5E:      0x00\n"
                         "Image address:         0xF0000000 (F000:0000)\n"
                         "Run address:           0xF0000100 (F000:0100)\n"
                         "Image length:          3 (0x3)\n"
                         "Image CRC:             0x9DD6\n"
                         "Version stamp:         none\n"
                         "Load result:           0\n");
}

TEST(Mkimage, PrintOfAnInvalidFileSaysWhyAndFails) {
    fwtest::TempDir dir;
    fwtest::writeFile(dir / "in.bin", pattern(32));
    ToolRun r = mkimage({"--no-run", dir / "in.bin", "-o", dir / "norun.bin"}, dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = mkimage({"--print", dir / "norun.bin"}, dir);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("Load result:           214 (invalid file format)\n"), std::string::npos)
        << r.out;

    r = mkimage({"--format-version", "4.5", dir / "in.bin", "-o", dir / "new.bin"}, dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = mkimage({"--print", dir / "new.bin"}, dir);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("Format version:        4.5\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Load result:           211 (firmware tool out-of-date)\n"),
              std::string::npos)
        << r.out;

    r = mkimage({"--print", dir / "missing.bin"}, dir);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
}

} // namespace
