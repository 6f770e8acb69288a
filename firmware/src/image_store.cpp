#include "firmware/image_store.h"

#include "firmware/paths.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>
#include <vector>

namespace firmware {

namespace {

std::string format(const char* pattern, int number) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, number);
    return text;
}

// The subfolder (relative to the images root, ending with '/') and file names of a module, or
// false when its family has no images.
bool lookUp(uint8_t family, uint8_t platform, uint8_t generation, std::string& subfolder,
            std::string& firmwareName, std::string& bootLoaderName) {
    const bool second = generation == 1;
    const int p = platform;
    const char* boot = second ? "boot100.bin" : "boot.bin";
    switch (family) {
    case 0: // NBX
        if (platform == 10) {
            subfolder = second ? "r1q-nbx100/" : "r1q-nbx/";
            firmwareName = second ? "r1qnbx100.bin" : "r1qnbx.bin";
        } else {
            subfolder = format(second ? "q%d-nbx100/" : "q%d-nbx/", p);
            firmwareName = format(second ? "q%dnbx100.bin" : "q%dnbx.bin", p);
        }
        bootLoaderName = boot;
        return true;
    case 1: // LCM: platform 10 uses the numbered form as well
        subfolder = format(second ? "q%d-lcm100/" : "q%d-lcm/", p);
        firmwareName = format(second ? "q%dlcm100.bin" : "q%dlcm.bin", p);
        bootLoaderName = boot;
        return true;
    case 3: { // DVX, by drive type, either generation
        static const char* const folders[] = {"ha-dvx2/", "ha-dvx1/", "ha-dvx3/", "gs-dvx/"};
        static const char* const files[] = {"hadvx2.bin", "hadvx1.bin", "hadvx3.bin", "gsdvx.bin"};
        if (platform < 1 || platform > 4) return false;
        subfolder = folders[platform - 1];
        firmwareName = files[platform - 1];
        bootLoaderName = "boot.bin";
        return true;
    }
    case 4: // MTR
        subfolder = format(second ? "q%d-mtr100/" : "q%d-mtr/", p);
        firmwareName = format(second ? "q%dmtr100.bin" : "q%dmtr.bin", p);
        bootLoaderName = boot;
        return true;
    case 7: // FBS, either generation
    case 8: // FBSC
    {
        const char* word = family == 7 ? "fbs" : "fbsc";
        if (platform == 10) {
            subfolder = std::string("r1q-") + word + "/";
            firmwareName = std::string("r1q") + word + ".bin";
        } else {
            subfolder = format("q%d-", p) + word + "/";
            firmwareName = format("q%d", p) + word + ".bin";
        }
        bootLoaderName = "pbusboot.bin";
        return true;
    }
    default:
        return false;
    }
}

// Leading decimal digits of text from pos, 0 when there are none; saturates instead of
// overflowing.
unsigned long leadingNumber(const std::string& text, size_t pos) {
    unsigned long value = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        value = value * 10 + static_cast<unsigned long>(text[pos] - '0');
        if (value > 0xFFFFFFFFul) value = 0xFFFFFFFFul + 1;
    }
    return value;
}

} // namespace

std::string ImagesRoot(const std::string& programFolder) {
    return ResolvePath(programFolder + "images" + kPathSeparator);
}

bool GetImageNames(const std::string& programFolder, uint8_t family, uint8_t platform,
                   uint8_t generation, ImageNames& names) {
    names = ImageNames{};
    names.imagesRoot = ImagesRoot(programFolder);
    names.folder = names.imagesRoot;
    std::string subfolder, firmwareName, bootLoaderName;
    if (!lookUp(family, platform, generation, subfolder, firmwareName, bootLoaderName))
        return false;
    names.folder = ResolvePath(names.imagesRoot + subfolder);
    names.firmwareName = firmwareName;
    names.bootLoaderName = bootLoaderName;
    return true;
}

bool GetImageNames(uint8_t family, uint8_t platform, uint8_t generation, ImageNames& names) {
    return GetImageNames(GetProgramFolder(), family, platform, generation, names);
}

bool VersionFromFileName(const std::string& fileName, VersionTriple& version) {
    version = {};
    const size_t first = fileName.find('_');
    if (first == std::string::npos) return true;
    const size_t second = fileName.find('_', first + 1);
    if (second == std::string::npos) return true;
    const size_t third = fileName.find('_', second + 1);
    const unsigned long major = leadingNumber(fileName, first + 1);
    const unsigned long minor = leadingNumber(fileName, second + 1);
    const unsigned long build = third == std::string::npos ? 0 : leadingNumber(fileName, third + 1);
    if (major > 0xFF || minor > 0xFF || build > 0xFFFF) return false;
    version = {static_cast<uint8_t>(major), static_cast<uint8_t>(minor),
               static_cast<uint16_t>(build)};
    return true;
}

bool FindNewestImage(const std::string& folder, std::string& name, VersionTriple* version) {
    const std::string pattern = FileNamePart(AppendToStem(SetFileName(folder, name), "*"));
    const std::string directory = ResolvePath(SplitPath(folder).directory);
    if (directory.empty()) return false;

    std::vector<std::string> candidates;
    if (DIR* d = opendir(directory.c_str())) {
        while (dirent* e = readdir(d)) {
            if (WildcardMatchNoCase(pattern, e->d_name)) candidates.emplace_back(e->d_name);
        }
        closedir(d);
    }
    // A directory listing has no order of its own; name order makes the choice repeatable.
    std::sort(candidates.begin(), candidates.end());

    VersionTriple best{};
    std::string bestName;
    for (const std::string& candidate : candidates) {
        struct stat st {};
        if (stat((directory + candidate).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        VersionTriple v;
        if (!VersionFromFileName(FileNamePart(candidate), v)) continue;
        if (CompareVersions(v, best) > 0) {
            best = v;
            bestName = candidate;
        }
    }
    if (bestName.empty()) return false;
    if (version) *version = best;
    name = bestName;
    return true;
}

} // namespace firmware
