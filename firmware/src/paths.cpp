#include "firmware/paths.h"

#include <algorithm>
#include <climits>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace firmware {

namespace {

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// The entry of directory dir (empty: the current directory) whose name equals name without
// regard to case; empty when there is none.
std::string findNoCase(const std::string& dir, std::string_view name) {
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return {};
    std::vector<std::string> matches;
    while (dirent* e = readdir(d)) {
        if (EqualNoCase(e->d_name, name)) matches.emplace_back(e->d_name);
    }
    closedir(d);
    if (matches.empty()) return {};
    return *std::min_element(matches.begin(), matches.end());
}

} // namespace

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    return true;
}

bool WildcardMatchNoCase(std::string_view pattern, std::string_view name) {
    // Iterative match with one backtrack point: linear in practice, no recursion.
    size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() &&
            (pattern[p] == '?' ||
             (pattern[p] != '*' && lowerAscii(pattern[p]) == lowerAscii(name[n])))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::string GetProgramFolder() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    return SplitPath(std::string_view(path, static_cast<size_t>(n))).directory;
}

PathParts SplitPath(std::string_view path) {
    PathParts parts;
    size_t slash = path.rfind(kPathSeparator);
    size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    parts.directory = std::string(path.substr(0, nameStart));
    std::string_view name = path.substr(nameStart);
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) {
        parts.fileName = std::string(name);
    } else {
        parts.fileName = std::string(name.substr(0, dot));
        parts.extension = std::string(name.substr(dot + 1));
        parts.dot = true;
    }
    return parts;
}

std::string JoinPath(const PathParts& parts) {
    std::string path;
    if (!parts.drive.empty()) path += parts.drive + ":";
    path += parts.directory;
    path += parts.fileName;
    if (parts.dot || !parts.extension.empty()) path += "." + parts.extension;
    return path;
}

std::string FileNamePart(std::string_view path) {
    PathParts parts = SplitPath(path);
    parts.drive.clear();
    parts.directory.clear();
    return JoinPath(parts);
}

std::string SetFileName(std::string_view path, std::string_view name) {
    PathParts parts = SplitPath(path);
    std::string result;
    if (!parts.drive.empty()) result += parts.drive + ":";
    return result + parts.directory + std::string(name);
}

std::string AppendToStem(std::string_view path, std::string_view text) {
    PathParts parts = SplitPath(path);
    std::string_view cut = text.substr(0, 8);
    parts.fileName = parts.fileName.substr(0, 8 - cut.size()) + std::string(cut);
    return JoinPath(parts);
}

std::string AppendSubfolder(std::string_view path, std::string_view name) {
    PathParts parts = SplitPath(path);
    // A split directory is empty or ends with the separator, so appending keeps an absolute
    // directory absolute and a relative one relative.
    parts.directory += std::string(name);
    if (name.empty() || name.back() != kPathSeparator) parts.directory += kPathSeparator;
    return JoinPath(parts);
}

std::string ResolvePath(std::string_view path) {
    std::string resolved;
    size_t pos = 0;
    if (!path.empty() && path[0] == kPathSeparator) {
        resolved = "/";
        pos = 1;
    }
    while (pos < path.size()) {
        size_t end = path.find(kPathSeparator, pos);
        if (end == std::string_view::npos) end = path.size();
        std::string_view component = path.substr(pos, end - pos);
        const bool separatorFollows = end < path.size();
        pos = end + 1;
        if (component.empty()) continue; // doubled separator
        std::string candidate = resolved + std::string(component);
        if (component != "." && component != ".." && !exists(candidate)) {
            std::string match = findNoCase(resolved, component);
            if (match.empty()) {
                // Nothing further can exist: keep the rest as given.
                return resolved + std::string(path.substr(end - component.size()));
            }
            candidate = resolved + match;
        }
        resolved = candidate;
        if (separatorFollows) resolved += kPathSeparator;
    }
    return resolved;
}

bool PathExists(std::string_view path) {
    std::string resolved = ResolvePath(path);
    return !resolved.empty() && access(resolved.c_str(), R_OK | W_OK) == 0;
}

} // namespace firmware
