#include "platform/file_names.h"

#include "platform/code_page.h"

#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tarnis {

namespace {

std::vector<std::string> SplitComponents(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (slash > start) parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

bool EntryExists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

// The one entry of `directory` equal to `name` ignoring letter case, or "" when there
// is none, several, or the directory cannot be read.
std::string FindEntryIgnoringCase(const std::string& directory, const std::string& name) {
    DIR* dir = opendir(directory.empty() ? "/" : directory.c_str());
    if (dir == nullptr) return {};
    const std::string wanted = AnsiUpperCase(name);
    std::string match;
    int matches = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view entryName(entry->d_name);
        if (entryName == "." || entryName == "..") continue;
        if (entryName.size() != wanted.size() || AnsiUpperCase(entryName) != wanted) continue;
        if (++matches > 1) break;
        match = entryName;
    }
    closedir(dir);
    return matches == 1 ? match : std::string();
}

} // namespace

std::string CurrentDirectory() {
    std::vector<char> buffer(256);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
        if (errno != ERANGE) break;
        buffer.resize(buffer.size() * 2);
    }
    // The working directory is gone (or unreadable): relative names then resolve
    // below the root, where opening them reports "not found".
    return "/";
}

std::string ExpandFileName(const std::string& name) {
    if (name.empty()) return {};
    const std::string full = name.front() == '/' ? name : CurrentDirectory() + "/" + name;
    std::vector<std::string> kept;
    for (std::string& part : SplitComponents(full)) {
        if (part == ".") continue;
        if (part == "..") {
            if (!kept.empty()) kept.pop_back();
            continue;
        }
        kept.push_back(std::move(part));
    }
    std::string result;
    for (const std::string& part : kept)
        result += "/" + part;
    if (result.empty()) return "/";
    // A name given as a directory ("dir/") stays one.
    if (name.back() == '/') result += '/';
    return result;
}

std::string ResolveNameCase(const std::string& fullPath) {
    if (fullPath.empty() || EntryExists(fullPath)) return fullPath;
    const std::vector<std::string> parts = SplitComponents(fullPath);
    const bool absolute = fullPath.front() == '/';
    std::string result;
    bool resolving = true;
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string directory = result;
        if (i > 0 || absolute) result += '/';
        const std::string candidate = result + parts[i];
        if (resolving && !EntryExists(candidate)) {
            const std::string match =
                FindEntryIgnoringCase(directory.empty() && !absolute ? "." : directory, parts[i]);
            if (match.empty()) {
                // Nothing below a missing component can exist: keep the rest as given.
                resolving = false;
            } else {
                result += match;
                continue;
            }
        }
        result = candidate;
    }
    if (fullPath.back() == '/' && result.back() != '/') result += '/';
    return result;
}

std::string NormalizeFileName(const std::string& name) {
    return ResolveNameCase(ExpandFileName(name));
}

std::string ExtractFilePath(const std::string& name) {
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string& name) {
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

namespace {

// Position of the extension's dot in the last component, or npos.
size_t ExtensionDot(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return dot;
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos && slash > dot) return std::string::npos;
    return dot;
}

} // namespace

std::string ExtractFileExt(const std::string& name) {
    const size_t dot = ExtensionDot(name);
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

std::string ChangeFileExt(const std::string& name, const std::string& ext) {
    const size_t dot = ExtensionDot(name);
    return (dot == std::string::npos ? name : name.substr(0, dot)) + ext;
}

} // namespace tarnis
