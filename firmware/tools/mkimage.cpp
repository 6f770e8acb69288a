// tessan3-mkimage: builds firmware image files (.bin) from a raw binary or Intel HEX, and prints
// the header of an existing one. See usage() for the options.
#include "firmware/bin_file.h"
#include "firmware/image_builder.h"
#include "firmware/paths.h"
#include "firmware/version_stamp.h"

#include <nli.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using namespace firmware;

namespace {

constexpr int kExitFailure = 1; // the input could not be read or the output not written
constexpr int kExitUsage = 2;   // the command line is wrong

const char* const kUsage = R"(Usage: tessan3-mkimage [options] INPUT -o OUTPUT
       tessan3-mkimage --print FILE

Builds a firmware image file (.bin) from a raw binary or an Intel HEX file.

Input:
  INPUT                    the image data: a raw binary or Intel HEX text (record types 00
                           to 05, as objcopy -O ihex writes them)
  --input-format raw|ihex  how to read INPUT (default: ihex for .hex .ihx .ihex .h86 .a43,
                           otherwise raw)
  --address ADDR           image address; a raw binary's data starts there (default: 0 for a
                           raw binary, the lowest data address for Intel HEX)
  --run ADDR               run address (default: the Intel HEX start address, otherwise the
                           image address)
  --no-run                 write no run address (image loaders refuse such a file)

Output:
  -o, --output FILE        the image file to write
  --format 0|1             data format: 0 segment records, 1 blocks (default 1)
  --stamp, --no-stamp      append the 8-byte version stamp "TSVS" + version after the highest
                           data byte, so that a simulated module reports the version after a
                           download (default --stamp)

Header:
  --kind KIND              os-block (1), boot (2), os (4) or a number (default os)
  --platform P             target platform code, mask (0x40: see --platform-mask) or any
                           (0x80) (default any)
  --platform-mask MASK     platformMask: bit n = platform code n; implies --platform mask
                           unless --platform is given
  --family F               family code or nbx (0), lcm (1), xplc (2), dvx (3), mtr (4), zt (6),
                           fbs (7), fbsc (8), any1 (0x80: any, first generation), any2 (0xC0:
                           any, second generation) (default any1)
  --description TEXT       description, at most 64 characters
  --version X.Y.Z          image version (default 0.0.0)
  --boot-version X.Y.Z     lowest boot-loader version the image needs (default 0.0.0)
  --format-version M.N     file format version (default 4.4)
  --extra-header N         number of zero bytes between the header and the data
  --header-word N          header word 0 (carried, not interpreted)
  --header-byte N          header byte 0x5E (carried, not interpreted)

Other:
  --print FILE             print the header of an image file and what its data holds
  -h, --help               show this text

Numbers are decimal or 0x-prefixed hexadecimal. With --format 0 every address is a packed
segment:offset value (segment * 65536 + offset), also written SSSS:OOOO in hexadecimal.

Exit status: 0 done, 1 the input could not be read or the image not built or written (or, for
--print, the file is not a valid image), 2 wrong usage.
)";

struct UsageError {
    std::string message;
};

[[noreturn]] void usageError(const std::string& message) {
    throw UsageError{message};
}

bool parseNumber(std::string_view text, uint64_t max, uint64_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    std::string s(text);
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || end == s.c_str() || *end != '\0' || v > max) return false;
    value = v;
    return true;
}

uint64_t number(const std::string& option, std::string_view text, uint64_t max) {
    uint64_t value;
    if (!parseNumber(text, max, value))
        usageError(option + ": '" + std::string(text) + "' is not a number from 0 to " +
                   std::to_string(max));
    return value;
}

// X.Y.Z (or M.N with parts = 2); each part a decimal or hexadecimal number within its field.
std::vector<uint64_t> dotted(const std::string& option, std::string_view text,
                             const std::vector<uint64_t>& limits) {
    std::vector<uint64_t> parts;
    size_t pos = 0;
    for (size_t i = 0; i < limits.size(); ++i) {
        size_t dot = text.find('.', pos);
        if (i + 1 == limits.size()) dot = std::string_view::npos;
        std::string_view part =
            text.substr(pos, dot == std::string_view::npos ? text.npos : dot - pos);
        uint64_t v;
        if ((dot == std::string_view::npos) != (i + 1 == limits.size()) ||
            !parseNumber(part, limits[i], v)) {
            std::string shape = limits.size() == 3 ? "MAJOR.MINOR.BUILD" : "MAJOR.MINOR";
            usageError(option + ": '" + std::string(text) + "' is not " + shape + " (limits " +
                       std::to_string(limits[0]) + "." + std::to_string(limits[1]) +
                       (limits.size() == 3 ? "." + std::to_string(limits[2]) : "") + ")");
        }
        parts.push_back(v);
        pos = dot + 1;
    }
    return parts;
}

VersionTriple versionOption(const std::string& option, std::string_view text) {
    auto p = dotted(option, text, {0xFF, 0xFF, 0xFFFF});
    return {static_cast<uint8_t>(p[0]), static_cast<uint8_t>(p[1]), static_cast<uint16_t>(p[2])};
}

// An address as written on the command line; SSSS:OOOO only for segmented images.
uint32_t addressOption(const std::string& option, std::string_view text, bool segmented) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return static_cast<uint32_t>(number(option, text, 0xFFFFFFFF));
    if (!segmented) usageError(option + ": segment:offset addresses are for --format 0 only");
    uint64_t segment, offset;
    const std::string seg = "0x" + std::string(text.substr(0, colon));
    const std::string off = "0x" + std::string(text.substr(colon + 1));
    if (colon == 0 || colon + 1 == text.size() || !parseNumber(seg, 0xFFFF, segment) ||
        !parseNumber(off, 0xFFFF, offset))
        usageError(option + ": '" + std::string(text) +
                   "' is not SSSS:OOOO (hexadecimal segment and offset)");
    return static_cast<uint32_t>(segment << 16 | offset);
}

uint16_t kindOption(std::string_view text) {
    if (text == "os-block") return IMAGE_OS_BLOCK;
    if (text == "boot") return IMAGE_BOOT_LOADER;
    if (text == "os") return IMAGE_OS;
    uint64_t v;
    if (!parseNumber(text, 0xFFFF, v))
        usageError("--kind: '" + std::string(text) + "' is not os-block, boot, os or a number");
    return static_cast<uint16_t>(v);
}

uint16_t familyOption(std::string_view text) {
    static const struct {
        const char* name;
        uint16_t code;
    } names[] = {{"nbx", 0},
                 {"lcm", 1},
                 {"xplc", 2},
                 {"dvx", 3},
                 {"mtr", 4},
                 {"zt", 6},
                 {"fbs", 7},
                 {"fbsc", 8},
                 {"any1", kFamilyAnyFirstGeneration},
                 {"any2", kFamilyAnySecondGeneration}};
    for (const auto& n : names)
        if (text == n.name) return n.code;
    uint64_t v;
    if (!parseNumber(text, 0xFFFF, v))
        usageError("--family: '" + std::string(text) + "' is not a family name or number");
    return static_cast<uint16_t>(v);
}

uint16_t platformOption(std::string_view text) {
    if (text == "any") return kPlatformAny;
    if (text == "mask") return kPlatformByMask;
    uint64_t v;
    if (!parseNumber(text, 0xFFFF, v))
        usageError("--platform: '" + std::string(text) + "' is not a number, mask or any");
    return static_cast<uint16_t>(v);
}

bool endsWithNoCase(const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        char a = s[s.size() - n + i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (a != suffix[i]) return false;
    }
    return true;
}

bool readFile(const std::string& path, std::vector<uint8_t>& data, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    data.clear();
    uint8_t block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0)
        data.insert(data.end(), block, block + n);
    const bool failed = std::ferror(f) != 0;
    const int readErrno = errno;
    std::fclose(f);
    if (failed) {
        error = "cannot read " + path + ": " + std::strerror(readErrno);
        return false;
    }
    return true;
}

// Writes next to the target and renames, so that a failed write never leaves half a file.
bool writeFile(const std::string& path, const std::vector<uint8_t>& data, std::string& error) {
    const std::string temporary = path + ".tmp";
    std::FILE* f = std::fopen(temporary.c_str(), "wb");
    if (!f) {
        error = "cannot create " + temporary + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    const int writeErrno = errno;
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        error = "cannot write " + temporary + ": " + std::strerror(written ? errno : writeErrno);
        std::remove(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

const char* kindName(uint16_t kind) {
    switch (kind) {
    case IMAGE_OS_BLOCK:
        return "IMAGE_OS_BLOCK";
    case IMAGE_BOOT_LOADER:
        return "IMAGE_BOOT_LOADER";
    case IMAGE_OS:
        return "IMAGE_OS";
    default:
        return "unknown kind";
    }
}

std::string platformText(uint16_t platform) {
    if (platform == kPlatformAny) return "any platform";
    if (platform == kPlatformByMask) return "platforms of the mask";
    return "platform " + std::to_string(platform);
}

std::string familyText(uint16_t family) {
    if (family == kFamilyAnyFirstGeneration) return "any family, first generation";
    if (family == kFamilyAnySecondGeneration) return "any family, second generation";
    static const char* const names[] = {"NBX",   "LCM", "XPLC", "DVX", "MTR",
                                        nullptr, "ZT",  "FBS",  "FBSC"};
    const unsigned code = family & 0x3F;
    std::string text = "family " + std::to_string(code);
    if (code < 9 && names[code]) text += std::string(" (") + names[code] + ")";
    return text;
}

std::string segmentedText(uint32_t address) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%08X (%04X:%04X)", address, address >> 16,
                  address & 0xFFFF);
    return text;
}

int printFile(const std::string& path) {
    BinFileInfo info;
    if (ReadBinFileHeader(path, info) != 0) {
        std::fprintf(stderr, "tessan3-mkimage: cannot open %s for reading\n", path.c_str());
        return kExitFailure;
    }
    std::FILE* file = std::fopen(ResolvePath(path).c_str(), "rb");
    if (!file) {
        std::fprintf(stderr, "tessan3-mkimage: cannot open %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return kExitFailure;
    }
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kImageBufferSize]);
    BinFileHeader header{};
    uint16_t crc = 0;
    uint32_t run = 0, imageAddress = 0, imageLength = 0;
    const int32_t result = LoadBinFile(buffer.get(), kImageBufferSize, file, header, crc, run,
                                       imageAddress, imageLength);
    std::fclose(file);

    std::printf("File:                  %s\n", path.c_str());
    std::printf("Description:           \"%s\"\n", info.description);
    std::printf("Image kind:            %u (%s)\n", info.imageKind, kindName(info.imageKind));
    std::printf("Version:               %s\n", VersionText(info.version).c_str());
    std::printf("Required boot version: %s\n", VersionText(info.requiredBootVersion).c_str());
    std::printf("Target platform:       0x%04X (%s)\n", info.targetPlatform,
                platformText(info.targetPlatform).c_str());
    std::printf("Platform mask:         0x%08X\n", info.platformMask);
    std::printf("Target family:         0x%04X (%s)\n", info.targetFamily,
                familyText(info.targetFamily).c_str());
    std::printf("Format version:        %u.%u\n", header.formatVersionMajor,
                header.formatVersionMinor);
    std::printf("Extra header length:   %u\n", header.extraHeaderLength);
    std::printf("Data format:           %u (%s)\n", header.dataFormat,
                header.dataFormat == FORMAT_SEGMENT_RECORDS ? "FORMAT_SEGMENT_RECORDS"
                : header.dataFormat == FORMAT_BLOCKS        ? "FORMAT_BLOCKS"
                                                            : "unknown");
    std::printf("Header word 0:         0x%04X\n", info.headerWord0);
    std::printf("Header byte 0x5E:      0x%02X\n", info.headerByte5E);
    if (result != 0) {
        std::printf("Load result:           %d (%s)\n", result, ResultCodeName(result));
        return kExitFailure;
    }
    const bool segmented = header.dataFormat == FORMAT_SEGMENT_RECORDS;
    if (segmented) {
        std::printf("Image address:         %s\n", segmentedText(imageAddress).c_str());
        std::printf("Run address:           %s\n", segmentedText(run).c_str());
    } else {
        std::printf("Image address:         0x%08X\n", imageAddress);
        std::printf("Run address:           0x%08X\n", run);
    }
    std::printf("Image length:          %u (0x%X)\n", imageLength, imageLength);
    std::printf("Image CRC:             0x%04X\n", crc);
    VersionTriple stamped;
    if (FindVersionStamp(buffer.get(), imageLength, stamped))
        std::printf("Version stamp:         %s\n", VersionText(stamped).c_str());
    else
        std::printf("Version stamp:         none\n");
    std::printf("Load result:           0\n");
    return 0;
}

struct Options {
    std::string input;
    std::string output;
    std::string inputFormat; // "", raw, ihex
    std::string addressText, runText;
    bool platformGiven = false;
    ImageSpec fields;
};

int build(const Options& o) {
    std::vector<uint8_t> input;
    std::string error;
    if (!readFile(o.input, input, error)) {
        std::fprintf(stderr, "tessan3-mkimage: %s\n", error.c_str());
        return kExitFailure;
    }
    ImageSpec fields = o.fields;
    const bool segmented = fields.dataFormat == FORMAT_SEGMENT_RECORDS;
    if (!o.addressText.empty())
        fields.imageAddress = addressOption("--address", o.addressText, segmented);
    if (!o.runText.empty()) fields.runAddress = addressOption("--run", o.runText, segmented);

    std::string format = o.inputFormat;
    if (format.empty()) {
        format = "raw";
        for (const char* ext : {".hex", ".ihx", ".ihex", ".h86", ".a43"})
            if (endsWithNoCase(o.input, ext)) format = "ihex";
    }

    ImageData image;
    if (format == "ihex") {
        std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
        if (!ParseIntelHex(text, image, error)) {
            std::fprintf(stderr, "tessan3-mkimage: %s: %s\n", o.input.c_str(), error.c_str());
            return kExitFailure;
        }
    } else {
        const uint32_t address = fields.imageAddress.value_or(0);
        fields.imageAddress = address;
        if (!input.empty())
            image.chunks.push_back(
                {segmented ? LinearFromSegmented(address) : address, std::move(input)});
    }

    std::vector<uint8_t> file;
    if (!BuildBinFile(fields, image, file, error)) {
        std::fprintf(stderr, "tessan3-mkimage: %s: %s\n", o.input.c_str(), error.c_str());
        return kExitFailure;
    }
    if (!writeFile(o.output, file, error)) {
        std::fprintf(stderr, "tessan3-mkimage: %s\n", error.c_str());
        return kExitFailure;
    }
    return 0;
}

int run(int argc, char** argv) {
    Options o;
    std::string printPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usageError(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--print") {
            printPath = value();
        } else if (arg == "-o" || arg == "--output") {
            o.output = value();
        } else if (arg == "--input-format") {
            o.inputFormat = value();
            if (o.inputFormat != "raw" && o.inputFormat != "ihex")
                usageError("--input-format: '" + o.inputFormat + "' is not raw or ihex");
        } else if (arg == "--address") {
            o.addressText = value();
        } else if (arg == "--run") {
            o.runText = value();
        } else if (arg == "--no-run") {
            o.fields.noRunAddress = true;
        } else if (arg == "--format") {
            const std::string v = value();
            if (v != "0" && v != "1") usageError("--format: '" + v + "' is not 0 or 1");
            o.fields.dataFormat = static_cast<uint8_t>(v[0] - '0');
        } else if (arg == "--stamp") {
            o.fields.stamp = true;
        } else if (arg == "--no-stamp") {
            o.fields.stamp = false;
        } else if (arg == "--kind") {
            o.fields.imageKind = kindOption(value());
        } else if (arg == "--platform") {
            o.fields.targetPlatform = platformOption(value());
            o.platformGiven = true;
        } else if (arg == "--platform-mask") {
            o.fields.platformMask = static_cast<uint32_t>(number(arg, value(), 0xFFFFFFFF));
            if (!o.platformGiven) o.fields.targetPlatform = kPlatformByMask;
        } else if (arg == "--family") {
            o.fields.targetFamily = familyOption(value());
        } else if (arg == "--description") {
            o.fields.description = value();
            if (o.fields.description.size() >= kDescriptionSize)
                usageError("--description: " + std::to_string(o.fields.description.size()) +
                           " characters; at most " + std::to_string(kDescriptionSize - 1) + " fit");
        } else if (arg == "--version") {
            o.fields.version = versionOption(arg, value());
        } else if (arg == "--boot-version") {
            o.fields.requiredBootVersion = versionOption(arg, value());
        } else if (arg == "--format-version") {
            auto p = dotted(arg, value(), {0xFFFF, 0xFFFF});
            o.fields.formatVersionMajor = static_cast<uint16_t>(p[0]);
            o.fields.formatVersionMinor = static_cast<uint16_t>(p[1]);
        } else if (arg == "--extra-header") {
            // Written into the file, so keep it to a size a file can sensibly hold.
            o.fields.extraHeaderLength = static_cast<uint32_t>(number(arg, value(), 0x1000000));
        } else if (arg == "--header-word") {
            o.fields.headerWord0 = static_cast<uint16_t>(number(arg, value(), 0xFFFF));
        } else if (arg == "--header-byte") {
            o.fields.headerByte5E = static_cast<uint8_t>(number(arg, value(), 0xFF));
        } else if (arg.size() > 1 && arg[0] == '-') {
            usageError("unknown option " + arg);
        } else if (o.input.empty()) {
            o.input = arg;
        } else {
            usageError("more than one input file (" + o.input + ", " + arg + ")");
        }
    }
    if (!printPath.empty()) {
        if (!o.input.empty() || !o.output.empty())
            usageError("--print takes no input or output file");
        return printFile(printPath);
    }
    if (o.input.empty()) usageError("no input file");
    if (o.output.empty()) usageError("no output file (-o FILE)");
    return build(o);
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "tessan3-mkimage: %s\nTry 'tessan3-mkimage --help'.\n",
                     e.message.c_str());
        return kExitUsage;
    }
}
