// Shared by the fuzz targets: files in a private directory (on tmpfs when there is
// one) that the engine opens as a table, and the exceptions that count as a clean
// answer to bad input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnis::fuzz {

// The directory the targets write their files to; made once per process.
const std::string& WorkDirectory();
void WriteFile(const std::string& path, std::string_view bytes);

// Splits the input into up to `count` parts: each part but the last is preceded by a
// 2-byte little-endian length (clamped to what is left).
void SplitInput(const uint8_t* data, size_t size, std::string_view* parts, size_t count);

} // namespace tarnis::fuzz
