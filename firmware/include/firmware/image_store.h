// The image store: the "images" folder beside the program with one subfolder per kind of
// module, holding firmware and boot-loader image files. Default names carry no version; a file
// named stem_major_minor_build.ext carries its version in its name, and the newest such file
// is the store's choice. Names are matched without regard to case (see paths.h).
#pragma once

#include "firmware/version.h"

#include <cstdint>
#include <string>

namespace firmware {

struct ImageNames {
    std::string folder;         // the module's subfolder, ending with '/'
    std::string firmwareName;   // default firmware file name, e.g. "q2lcm100.bin"
    std::string bootLoaderName; // default boot-loader file name, e.g. "boot100.bin"
    std::string imagesRoot;     // program folder + "images/", ending with '/'
};

// The images root below a program folder ("images/"). Where a folder of that name exists in
// another case ("Images/") that one is returned.
std::string ImagesRoot(const std::string& programFolder);

// The folder and default file names for a module, from its family code, platform code (the
// drive type for the drive family) and generation flag (1 = second generation). True when the
// family has images; otherwise folder and imagesRoot hold the images root and the names are
// empty. An existing folder is returned in the case it has on disk.
bool GetImageNames(uint8_t family, uint8_t platform, uint8_t generation, ImageNames& names);
// The same below the given program folder rather than GetProgramFolder().
bool GetImageNames(const std::string& programFolder, uint8_t family, uint8_t platform,
                   uint8_t generation, ImageNames& names);

// The version a store file name carries: major between the first and the second underscore,
// minor after the second, build after the third, each from its leading decimal digits; 0.0.0
// without a second underscore. False when a number does not fit its field (such a name is
// not taken for a version at all).
bool VersionFromFileName(const std::string& fileName, VersionTriple& version);

// Looks in folder for versioned files matching the default name (its stem cut to 7 characters
// followed by '*', with its extension) and picks the newest, the first in name order among
// equals. True when one with a version above 0.0.0 was found: name is replaced by it and
// *version (when given) set. False leaves both untouched.
bool FindNewestImage(const std::string& folder, std::string& name,
                     VersionTriple* version = nullptr);

} // namespace firmware
