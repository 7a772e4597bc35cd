// The project's test fixtures (tests/data) and small file helpers.
#pragma once

#include <string>

namespace tarnis::test {

// Full path of a file below tests/data, e.g. DataFile("cdx-fpt/test_cdx.dbf").
std::string DataFile(const std::string& relative);
// Copies a fixture into `dir` (keeping its name) and returns the copy's path, so a
// test may change it.
std::string CopyDataFile(const std::string& relative, const std::string& dir);
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

} // namespace tarnis::test
