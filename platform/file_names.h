// File names as the engine sees them.
//
// Names are full paths with "/" between directories. Relative names are expanded
// against the current directory; "." and ".." components are resolved textually.
// A name keeps its real letter case for the operating system, but names that come
// from DOS-era files (a memo or index name derived from a table name, a name typed
// in upper case) may differ in case from the entries on disk: when a path component
// does not exist as given, the one entry of that directory whose name matches it
// ignoring ASCII and ANSI letter case is used instead. When no entry or more than one
// entry matches, the component stays as given (and opening it reports "not found").
#pragma once

#include <string>

namespace tarnis {

std::string CurrentDirectory();
// Absolute, with "." and ".." resolved and repeated "/" collapsed; no file-system
// access. A trailing "/" is kept; an empty name stays empty.
std::string ExpandFileName(const std::string& name);
// Applies the case-insensitive fallback to each component of a full path.
std::string ResolveNameCase(const std::string& fullPath);
// ExpandFileName, then ResolveNameCase: the form stored in the open-file registry.
std::string NormalizeFileName(const std::string& name);

// The directory part (with its trailing "/"), the last component, and its extension
// (with the dot; empty when the last component has none).
std::string ExtractFilePath(const std::string& name);
std::string ExtractFileName(const std::string& name);
std::string ExtractFileExt(const std::string& name);
// Replaces (or adds) the extension of the last component; `ext` includes its dot.
std::string ChangeFileExt(const std::string& name, const std::string& ext);

} // namespace tarnis
