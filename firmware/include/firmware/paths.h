// Path helpers for the image store: the program folder, splitting and rebuilding paths, and
// looking names up without regard to case.
//
// Paths are split the way the system has always split them (drive, directory, file name,
// extension). On Linux there is no drive part and the separator is '/': a directory part is
// empty or ends with '/'. Names in the image store (the "images" / "Images" folder, its
// subfolders and files) are matched without regard to ASCII case, as on the system the store
// was designed for: ResolvePath turns a path into the name that exists on disk.
#pragma once

#include <string>
#include <string_view>

namespace firmware {

constexpr char kPathSeparator = '/';

struct PathParts {
    std::string drive;     // without its colon; always empty on Linux
    std::string directory; // with its trailing separator, empty when there is none
    std::string fileName;  // without the extension
    std::string extension; // without its dot
    bool dot = false;      // the name had a dot before the extension (also "name.")
};

// The directory of the running executable (from /proc/self/exe), ending with '/'; empty when
// it cannot be read.
std::string GetProgramFolder();

PathParts SplitPath(std::string_view path);
std::string JoinPath(const PathParts& parts);

// File name, dot and extension.
std::string FileNamePart(std::string_view path);

// The path's drive and directory followed by name (which carries its own extension).
std::string SetFileName(std::string_view path, std::string_view name);

// text cut to 8 characters, the file name cut to 8 - that length, then text appended to it;
// AppendToStem("a/q2lcm100.bin", "*") is "a/q2lcm10*.bin".
std::string AppendToStem(std::string_view path, std::string_view text);

// Appends the subfolder name to the path's directory (with a separator after it unless name
// ends with one), keeping the file name and extension. A path without a directory gets name as
// its directory, relative as the path was.
std::string AppendSubfolder(std::string_view path, std::string_view name);

// The existing path that equals path without regard to case, component by component (an exact
// match is preferred, then the first match in name order). Where a component has no match the
// rest is kept as given, so a path that does not exist comes back with its existing part
// resolved. A trailing separator is kept.
std::string ResolvePath(std::string_view path);

// True when the path exists (without regard to case) and may be read and written.
bool PathExists(std::string_view path);

// ASCII case-insensitive equality and wildcard match ('*' any run, '?' any one character).
bool EqualNoCase(std::string_view a, std::string_view b);
bool WildcardMatchNoCase(std::string_view pattern, std::string_view name);

} // namespace firmware
