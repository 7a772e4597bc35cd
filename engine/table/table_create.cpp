#include "engine/table/table_create.h"

#include "engine/base/tv6_disk.h"
#include "engine/base/byte_order.h"
#include "engine/base/tv6_eror.h"
#include "platform/file_names.h"
#include "platform/format_settings.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace tarnis {

namespace {


bool HasMemoFile(uint8_t version) {
    return version == 0x83 || version == 0x8B || version == 0xF5 || version == 0x30;
}

// The extension in the letter case of the table's own extension, so that both files
// of a table look alike on a case-sensitive file system.
std::string MemoExtensionFor(const std::string& tableName, uint8_t version) {
    std::string ext = version == 0xF5 || version == 0x30 ? ".FPT" : ".DBT";
    const std::string tableExt = ExtractFileExt(tableName);
    if (tableExt.size() > 1 && tableExt[1] >= 'a' && tableExt[1] <= 'z')
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](char c) { return static_cast<char>(c | 0x20); });
    return ext;
}

void WriteNewFile(const std::string& name, const uint8_t* bytes, size_t count) {
    TVO_DiskFile file(name, true, false);
    file.CreateEmpty();
    file.WriteAt(0, bytes, static_cast<int32_t>(count));
    file.Flush();
}

} // namespace

void CreateMemoFileFor(const std::string& TableFileName, uint8_t Version, int32_t BlockSize) {
    const bool fox = Version == 0xF5 || Version == 0x30;
    if (BlockSize <= 0) BlockSize = fox ? 64 : 512;
    if (BlockSize > 0xFFFF || (Version == 0x83 && BlockSize != 512))
        throw ETarnisError("Invalid memo block size " + std::to_string(BlockSize));
    const std::string name = ChangeFileExt(TableFileName, MemoExtensionFor(TableFileName, Version));
    if (fox) {
        // The header takes the first 512 bytes whatever the block size.
        const uint32_t headerBlocks =
            (512 + static_cast<uint32_t>(BlockSize) - 1) / static_cast<uint32_t>(BlockSize);
        std::vector<uint8_t> header(headerBlocks * static_cast<size_t>(BlockSize), 0);
        PutBE32(header.data(), headerBlocks);
        header[6] = static_cast<uint8_t>(BlockSize >> 8);
        header[7] = static_cast<uint8_t>(BlockSize);
        WriteNewFile(name, header.data(), header.size());
    } else {
        std::vector<uint8_t> header(static_cast<size_t>(BlockSize), 0);
        PutLE32(header.data(), 1); // dBase III: next free block; dBase IV: free chain = end of file
        if (Version == 0x8B) PutLE32(header.data() + 20, static_cast<uint32_t>(BlockSize));
        WriteNewFile(name, header.data(), header.size());
    }
}

void CreateTableFile(const std::string& FileName, uint8_t Version,
                     const std::vector<TFieldSpec>& Fields, int32_t MemoBlockSize) {
    if (Version != 0x03 && Version != 0x30 && Version != 0x83 && Version != 0x8B && Version != 0xF5)
        throw ETarnisError("Unknown table version byte " + std::to_string(Version));
    if (Fields.empty() || Fields.size() > 2046)
        throw ETarnisError("A table needs 1 to 2046 fields");

    const size_t extra = Version == 0x30 ? 263 : 0;
    const size_t headerLength = 32 + 32 * Fields.size() + 1 + extra;
    std::vector<uint8_t> bytes(headerLength + 1, 0);
    size_t recordLength = 1;
    bool hasMemoField = false;
    for (size_t i = 0; i < Fields.size(); ++i) {
        const TFieldSpec& f = Fields[i];
        const bool longChar = f.Type == 'C';
        if (f.Name.empty() || f.Name.size() > 10 || f.Length < 1 ||
            f.Length > (longChar ? 65535 : 255) || f.Decimals < 0 || f.Decimals > 255)
            throw ETarnisError("Invalid field " + f.Name);
        uint8_t* d = &bytes[32 + 32 * i];
        std::memcpy(d, f.Name.data(), f.Name.size());
        d[11] = static_cast<uint8_t>(f.Type);
        PutLE32(d + 12, static_cast<uint32_t>(recordLength)); // offset, as Visual FoxPro writes it
        d[16] = static_cast<uint8_t>(f.Length);
        d[17] = static_cast<uint8_t>(longChar ? f.Length >> 8 : f.Decimals);
        recordLength += static_cast<size_t>(f.Length);
        hasMemoField =
            hasMemoField || f.Type == 'M' || f.Type == 'G' || (f.Type == 'B' && Version != 0x30);
    }
    if (recordLength > 65535) throw ETarnisError("Record longer than 65535 bytes");

    const TLocalTime now = LocalNow();
    bytes[0] = Version;
    bytes[1] = static_cast<uint8_t>(now.Year % 100);
    bytes[2] = static_cast<uint8_t>(now.Month);
    bytes[3] = static_cast<uint8_t>(now.Day);
    PutLE16(&bytes[8], static_cast<uint32_t>(headerLength));
    PutLE16(&bytes[10], static_cast<uint32_t>(recordLength));
    if (Version == 0x30 && hasMemoField) bytes[28] = 0x02;
    bytes[32 + 32 * Fields.size()] = 0x0D;
    bytes[headerLength] = 0x1A;
    WriteNewFile(FileName, bytes.data(), bytes.size());

    if (HasMemoFile(Version) && (Version != 0x30 || hasMemoField))
        CreateMemoFileFor(FileName, Version, MemoBlockSize);
}

} // namespace tarnis
