// Creating new, empty tables. The engine's table layer only opens existing files;
// the sample-data generator and the tests make their tables here.
//
// A new table is the header (record count 0, today's date), the descriptors, the
// 0x0D terminator (for version 0x30 followed by 263 zero bytes) and the end-of-file
// byte 0x1A. A version with a memo file also gets an empty memo file beside it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnis {

struct TFieldSpec {
    std::string Name; // at most 10 characters
    char Type;        // 'C', 'N', 'F', 'D', 'L', 'M', ...
    int32_t Length;   // 'C' up to 65535; 'D' 8, 'L' 1, 'M' 10 (4 in version 0x30)
    int32_t Decimals = 0;
};

// Writes the table file (replacing an existing one) and, for versions with a memo
// file, an empty memo file with the given block size (0 = the format's usual size:
// 512 for .DBT, 64 for .FPT). Throws ETarnisError on a file error or an invalid
// field list.
void CreateTableFile(const std::string& FileName, uint8_t Version,
                     const std::vector<TFieldSpec>& Fields, int32_t MemoBlockSize = 0);

// Writes an empty memo file of the format for the version byte (header with next
// free block 1, or an empty free chain for dBase IV).
void CreateMemoFileFor(const std::string& TableFileName, uint8_t Version, int32_t BlockSize);

} // namespace tarnis
