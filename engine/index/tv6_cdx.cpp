// The compound index file: keys, headers, opening. The node codec is in
// TVobjCDXTag.cpp.
#include "engine/index/tv6_cdx.h"

#include "engine/base/byte_order.h"
#include "engine/base/tv6_disk.h"
#include "engine/table/TVO_dBaseFld.h"
#include "platform/code_page.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

namespace tarnis {

namespace {

// ---------------------------------------------------------------------------
// The general collation: primary weight P, secondary weight S, expansions E.
// ---------------------------------------------------------------------------
// clang-format off
constexpr uint8_t Primary[256] = {
    0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x11, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
    0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
    0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20,
    0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26,
    0x27, 0x60, 0x61, 0x62, 0x64, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6F, 0x70, 0x72,
    0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x28, 0x29, 0x2A, 0x2B, 0x2C,
    0x2D, 0x60, 0x61, 0x62, 0x64, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6F, 0x70, 0x72,
    0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x2E, 0x2F, 0x30, 0x31, 0x10,
    0x10, 0x10, 0x18, 0x32, 0x13, 0x33, 0x34, 0x35, 0x36, 0x37, 0x76, 0x18, 0x00, 0x10, 0x10, 0x10,
    0x10, 0x18, 0x18, 0x13, 0x13, 0x38, 0x1E, 0x1E, 0x39, 0x3A, 0x76, 0x18, 0x00, 0x10, 0x10, 0x7D,
    0x20, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F, 0x40, 0x41, 0x42, 0x43, 0x44, 0x13, 0x45, 0x1E, 0x46, 0x47,
    0x48, 0x49, 0x58, 0x59, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x57, 0x4F, 0x13, 0x50, 0x51, 0x52, 0x53,
    0x60, 0x60, 0x60, 0x60, 0x60, 0x60, 0x06, 0x62, 0x66, 0x66, 0x66, 0x66, 0x6A, 0x6A, 0x6A, 0x6A,
    0x65, 0x70, 0x72, 0x72, 0x72, 0x72, 0x72, 0x54, 0x81, 0x78, 0x78, 0x78, 0x78, 0x7D, 0x12, 0x0C,
    0x60, 0x60, 0x60, 0x60, 0x60, 0x60, 0x06, 0x62, 0x66, 0x66, 0x66, 0x66, 0x6A, 0x6A, 0x6A, 0x6A,
    0x65, 0x70, 0x72, 0x72, 0x72, 0x72, 0x72, 0x55, 0x81, 0x78, 0x78, 0x78, 0x78, 0x7D, 0x12, 0x7D,
};

constexpr uint8_t Secondary[256] = {
    // 0x00 - 0x3F
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0x00, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x20, 0x20,
    0x00, 0x00, 0x00, 0x20, 0x00, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x20, 0x20,
    0x00, 0x00, 0x00, 0x20, 0x00, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x28, 0x00, 0x80, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x28, 0x00, 0x80, 0x00, 0x00, 0x24,
    0x21, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x22, 0x21, 0x23, 0x25, 0x24, 0x26, 0x80, 0x27, 0x22, 0x21, 0x23, 0x24, 0x22, 0x21, 0x23, 0x24,
    0x00, 0x25, 0x22, 0x21, 0x23, 0x25, 0x24, 0x00, 0x00, 0x22, 0x21, 0x23, 0x24, 0x21, 0x80, 0x80,
    0x22, 0x21, 0x23, 0x25, 0x24, 0x26, 0x80, 0x27, 0x22, 0x21, 0x23, 0x24, 0x22, 0x21, 0x23, 0x24,
    0x00, 0x25, 0x22, 0x21, 0x23, 0x25, 0x24, 0x00, 0x00, 0x22, 0x21, 0x23, 0x24, 0x21, 0x80, 0x24,
};

constexpr uint8_t Expansion[32] = {0x00, 0x02, 0x72, 0x20, 0x66, 0x20, 0x00, 0x02, 0x60, 0x20, 0x66,
                                   0x20, 0x00, 0x02, 0x76, 0x20, 0x76, 0x20, 0x00, 0x02, 0x77, 0x00,
                                   0x69, 0x00, 0,    0,    0,    0,    0,    0,    0,    0};
// clang-format on

// The form a general-collation key has after it was written into a node and read
// back (see the header): trailing secondary weights in their 0xF0 form, trailing
// blanks gone.
void NormaliseWeights(std::string& w) {
    auto* b = reinterpret_cast<uint8_t*>(w.data());
    const auto n = static_cast<int32_t>(w.size());
    for (int32_t i = n - 1; i >= 0 && b[i] >= 0xF0; --i)
        b[i] &= 0x0F;
    for (int32_t i = n - 1; i > 0 && b[i] < 0x10; --i)
        b[i] |= 0xF0;
    while (!w.empty() && w.back() == ' ')
        w.pop_back();
}

int32_t BitLength(uint32_t v) {
    return v == 0 ? 0 : 32 - std::countl_zero(v);
}

std::string TrimmedName(std::string name) {
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    return AnsiUpperCase(name);
}

} // namespace

TCDXLeafLayout CDXLeafLayout(int32_t KeyLength, uint32_t Highest) {
    TCDXLeafLayout layout;
    const int32_t b = std::min(BitLength(static_cast<uint32_t>(std::max(KeyLength, 0))), 8);
    layout.DuplicateBits = layout.TrailBits = static_cast<uint8_t>(b);
    layout.DuplicateMask = layout.TrailMask = static_cast<uint8_t>((1u << b) - 1);
    layout.EntryBytes = 3;
    layout.RecordBits = static_cast<uint8_t>(24 - 2 * b);
    uint64_t mask = (uint64_t{1} << layout.RecordBits) - 1;
    while (mask < Highest) {
        ++layout.EntryBytes;
        layout.RecordBits = static_cast<uint8_t>(layout.RecordBits + 8);
        mask = mask * 256 + 255;
        if (mask > 0x7FFFFFFF) {
            mask = 0x7FFFFFFF;
            layout.RecordBits = 31;
            break;
        }
    }
    layout.RecordMask = static_cast<uint32_t>(mask);
    return layout;
}

void CDXNumberKey(double Value, uint8_t Out[8]) {
    if (Value == 0) Value = 0; // -0 is 0
    uint64_t bits = std::bit_cast<uint64_t>(Value);
    bits = (bits >> 63) != 0 ? ~bits : bits | (uint64_t{1} << 63);
    for (int32_t i = 0; i < 8; ++i)
        Out[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
}

std::string CDXGeneralWeights(std::string_view Text) {
    std::string primary;
    std::string secondary;
    for (const char ch : Text) {
        const auto c = static_cast<uint8_t>(ch);
        const uint8_t p = Primary[c];
        const bool expands = (p == 0x00 || p == 0x06 || p == 0x12 || p == 0x18) && Expansion[p + 1];
        if (expands) {
            primary += static_cast<char>(Expansion[p + 2]);
            primary += static_cast<char>(Expansion[p + 4]);
        } else {
            primary += static_cast<char>(p);
        }
        const uint8_t s = Secondary[c];
        if (s == 0x80) {
            if (p + 5 < 32) {
                if (Expansion[p + 3]) secondary += static_cast<char>(Expansion[p + 3] | 0xF0);
                if (Expansion[p + 5]) secondary += static_cast<char>(Expansion[p + 5] | 0xF0);
            }
        } else if (s != 0) {
            secondary += static_cast<char>(s | 0xF0);
        }
    }
    while (!secondary.empty() && static_cast<uint8_t>(secondary.back()) == 0xF0)
        secondary.pop_back();
    return primary + secondary;
}

// ---------------------------------------------------------------------------
// TVobjCDXTag: construction, keys, headers
// ---------------------------------------------------------------------------

TVobjCDXTag::TVobjCDXTag(TVobjCDXFile* File, std::string Name, int32_t Header)
    : TVobjIndexTag(File, TrimmedName(std::move(Name)), Header) {
    IndexKind = "CDX";
    if (Header == -1) {
        HeaderPosition = File->AllocateNode();
        File->AllocateNode();
        HeaderChanged = true;
    } else if (!ReadHeader()) {
        File->HeaderDamaged = true;
        return;
    }
    Options = CdxOptionTag;
}

TVobjCDXTag::~TVobjCDXTag() {
    try {
        ReleaseNodes();
    } catch (...) {
        // A destructor cannot report; callers that need to see write errors release
        // the path themselves first.
    }
}

void TVobjCDXTag::ConvertKey(TVobjIndexKeyData& Key) {
    if (KeyType == 'C') {
        if (Key.Kind != vkText) Key.SetString(Key.AsString());
        Key.TrimRight();
        if (KeyLength > 0 && Key.Size > KeyLength) Key.Size = KeyLength;
        if (!Key.IsEmpty() && GeneralCollation()) {
            std::string weights = CDXGeneralWeights(Key.TextView());
            if (KeyLength > 0 && std::cmp_greater(weights.size(), KeyLength))
                weights.resize(static_cast<size_t>(KeyLength));
            NormaliseWeights(weights);
            Key.SetBytes(weights.data(), static_cast<int32_t>(weights.size()));
        }
        return;
    }
    const double value = KeyType == 'D' ? static_cast<double>(Key.AsDate()) : Key.AsNumber();
    uint8_t bytes[8];
    CDXNumberKey(value, bytes);
    const int32_t length = KeyLength > 0 ? std::min<int32_t>(KeyLength, 8) : 8;
    Key.SetBytes(bytes, length);
}

bool TVobjCDXTag::DefineTag(const std::string& Name, const std::string& KeyExpr,
                            const std::string& ForExpr, bool IsAscending, bool IsUnique) {
    const bool result = TVobjIndexTag::DefineTag(Name, KeyExpr, ForExpr, IsAscending, IsUnique);
    Descending = !Ascending;
    if (KeyExpr.empty()) {
        KeyType = 'C';
        KeyLength = 10;
    } else {
        TVobjIndexKeyData value(256);
        bool flag = false;
        if (!EvaluateKey(value, flag)) return result;
        switch (value.Kind) {
        case vkText:
        case vkLogical:
            KeyType = 'C';
            KeyLength = static_cast<int16_t>(value.Size * (Collation == 2 ? 2 : 1));
            break;
        case vkNumber:
            KeyType = 'N';
            KeyLength = 8;
            break;
        case vkDate:
            KeyType = 'D';
            KeyLength = 8;
            break;
        default:
            break;
        }
    }
    EntrySize = static_cast<uint16_t>(KeyLength + 8);
    MaxBranchKeys = static_cast<uint16_t>(CdxBranchArea / EntrySize);
    // Building a user tag from the table's records comes with the tag builder.
    if (!KeyExpr.empty()) return result;
    const uint8_t zero[CdxHeaderSize] = {};
    IndexFile->WriteBlock(HeaderPosition, zero, CdxHeaderSize);
    WriteEmptyRoot();
    HeaderChanged = true;
    WriteHeader();
    return true;
}

bool TVobjCDXTag::AddKey(const TVobjIndexKeyData& Key) {
    TVobjIndexKeyData key(Key);
    key.RecordNumber = key.Reference;
    return TVobjIndexTag::AddKey(key);
}

int32_t TVobjCDXTag::ReadRootPosition() {
    uint8_t header[CdxHeaderSize];
    if (!IndexFile->ReadBlock(HeaderPosition, header, CdxHeaderSize)) return 0;
    return static_cast<int32_t>(GetLE32(header));
}

bool TVobjCDXTag::ReadHeader() {
    uint8_t header[CdxHeaderSize];
    if (!IndexFile->ReadBlock(HeaderPosition, header, CdxHeaderSize)) return false;
    const uint32_t root = GetLE32(header);
    if (root == 0) return false;
    if (IndexFile->DiskFile) {
        const int64_t size = IndexFile->DiskFile->FileSize();
        if (root % CdxBlockSize != 0 || int64_t{root} + CdxBlockSize > size) return false;
    }
    const uint16_t keyLength = GetLE16(header + 12);
    if (keyLength == 0 || keyLength > CdxMaxKeyLength) return false;
    const uint8_t options = header[14];

    RootPosition = static_cast<int32_t>(root);
    KeyLength = static_cast<int16_t>(keyLength);
    EntrySize = static_cast<uint16_t>(KeyLength + 8);
    MaxBranchKeys = static_cast<uint16_t>(CdxBranchArea / EntrySize);
    Options = options;
    Version = GetLE32(header + 8);
    Unique = (options & CdxOptionUnique) != 0;
    HasFor = (options & CdxOptionFor) != 0;
    Ascending = GetLE16(header + 502) == 0;
    Descending = !Ascending;
    char name[9] = {};
    std::memcpy(name, header + 494, 8);
    if (AnsiCompareText(name, "GENERAL") == 0)
        Collation = 2;
    else if (AnsiCompareText(name, "MACHINE") == 0)
        Collation = 1;
    else
        Collation = 0;

    // Both texts end at their zero byte, or at the end of the header.
    const char* area = reinterpret_cast<const char*>(header + 512);
    const size_t keyText = strnlen(area, 512);
    if (options < CdxOptionDirectory && keyText == 0) return false;
    KeyExpression = std::string(area, keyText);
    CompileKeyExpression();
    ForExpression.reset();
    if (HasFor && keyText + 1 < 512) {
        ForExpression = std::string(area + keyText + 1, strnlen(area + keyText + 1, 511 - keyText));
        CompileForExpression();
    }
    TVobjIndexKeyData value(256);
    bool flag = false;
    if (EvaluateKey(value, flag)) {
        switch (value.Kind) {
        case vkText:
        case vkLogical:
            KeyType = 'C';
            break;
        case vkNumber:
            KeyType = 'N';
            break;
        case vkDate:
            KeyType = 'D';
            break;
        default:
            break;
        }
    }
    HeaderChanged = false;
    return true;
}

bool TVobjCDXTag::WriteHeader() {
    if (!HeaderChanged) return true;
    if (Unique) Options |= CdxOptionUnique;
    if (HasFor) Options |= CdxOptionFor;
    uint8_t header[CdxHeaderSize] = {};
    PutLE32(header, static_cast<uint32_t>(RootPosition));
    PutLE32(header + 8, Version);
    PutLE16(header + 12, static_cast<uint32_t>(KeyLength));
    header[14] = Options;
    header[15] = 1;
    if (!Ascending) PutLE16(header + 502, 1);
    if (!IsDirectory() && Collation == 2) {
        std::memcpy(header + 494, "GENERAL", 7);
        header[15] = 2;
    }
    // The key expression, its zero, the FOR expression, its zero: 512 bytes at most.
    const std::string key = KeyExpression.value_or("").substr(0, 510);
    const std::string condition =
        HasFor ? ForExpression.value_or("").substr(0, 510 - key.size()) : std::string();
    PutLE16(header + 504, static_cast<uint32_t>(key.size() + 1));
    PutLE16(header + 506, static_cast<uint32_t>(condition.size() + 1));
    PutLE16(header + 510, static_cast<uint32_t>(key.size() + 1));
    std::memcpy(header + 512, key.data(), key.size());
    std::memcpy(header + 512 + key.size() + 1, condition.data(), condition.size());
    IndexFile->WriteBlock(HeaderPosition, header, CdxHeaderSize);
    HeaderChanged = false;
    return true;
}

void TVobjCDXTag::WriteEmptyRoot() {
    RootPosition = IndexFile->AllocateNode();
    uint8_t image[CdxBlockSize] = {};
    PutLE16(image, 3);
    PutLE32(image + 4, 0xFFFFFFFF);
    PutLE32(image + 8, 0xFFFFFFFF);
    PutLE16(image + 12, CdxLeafArea);
    // Three-byte entries, whatever the record count.
    const TCDXLeafLayout layout = CDXLeafLayout(KeyLength, 0);
    PutLE32(image + 14, layout.RecordMask);
    image[18] = layout.DuplicateMask;
    image[19] = layout.TrailMask;
    image[20] = layout.RecordBits;
    image[21] = layout.DuplicateBits;
    image[22] = layout.TrailBits;
    image[23] = layout.EntryBytes;
    IndexFile->WriteBlock(RootPosition, image, CdxBlockSize);
}

// ---------------------------------------------------------------------------
// TVobjCDXFile
// ---------------------------------------------------------------------------

TVobjCDXFile::TVobjCDXFile(TVO_dBaseFld* ForTable, const std::string& FileName, bool ReadWrite,
                           bool Shared, bool Create, bool Overwrite)
    : TVobjIndexFile(ForTable) {
    DiskFile = OpenIndexFile(ForTable, FileName, ".CDX", ReadWrite, Shared, Create, Overwrite);
    if (!DiskFile) return;
    RecordOrdered = true;
    const std::string name = BareFileName(ShortName);

    if (DiskFile->Existed && DiskFile->FileSize() > CdxBlockSize) {
        StructuralTag = std::make_unique<TVobjCDXTag>(this, name, 0);
        if (!HeaderDamaged) {
            StructuralTag->Options = CdxOptionTag | CdxOptionDirectory;
            FindFileEnd();
            StructuralTag->ResetNodes(0);
            while (!StructuralTag->AtEof && !HeaderDamaged &&
                   StructuralTag->CurrentKey.Reference != 0) {
                TVobjIndexKeyData tagName(StructuralTag->CurrentKey);
                tagName.Translate(ForTable != nullptr ? ForTable->TranslationTable : nullptr);
                Tags.push_back(std::make_unique<TVobjCDXTag>(this, tagName.AsString(),
                                                             StructuralTag->CurrentKey.Reference));
                StructuralTag->Move(MoveNext);
            }
        }
    } else {
        NextFree = 0;
        StructuralTag = std::make_unique<TVobjCDXTag>(this, name, -1);
        StructuralTag->Options = CdxOptionTag | CdxOptionDirectory;
        StructuralTag->DefineTag(name, "", "", true, false);
        StructuralTag->ResetNodes(0);
    }

    if (!HeaderDamaged && ForTable != nullptr && !ForTable->HasProductionIndex) {
        // Same directory and base name: the table's production index.
        const std::string& mine = DiskFile->FileName;
        const size_t dot = mine.rfind('.');
        const std::string& table = ForTable->FileName;
        if (dot != std::string::npos && table.size() > dot && table[dot] == '.' &&
            AnsiCompareText(std::string_view(table).substr(0, dot),
                            std::string_view(mine).substr(0, dot)) == 0) {
            ForTable->HasProductionIndex = true;
            ForTable->HeaderDirty = true;
            ForTable->WriteHeader();
        }
    }
    Valid = !HeaderDamaged;
}

TVobjCDXFile::~TVobjCDXFile() {
    StructuralTag.reset();
    Tags.clear();
}

int32_t TVobjCDXFile::AllocateNode() {
    if (NextFree == -1) FindFileEnd();
    const int32_t position = NextFree;
    NextFree += CdxBlockSize;
    return position;
}

int32_t TVobjCDXFile::FindFileEnd() {
    const int32_t size = DiskFile ? DiskFile->FileSize() : 0;
    // A truncated file still gets its new nodes on block boundaries.
    NextFree = size <= 0 ? 0 : (size + CdxBlockSize - 1) / CdxBlockSize * CdxBlockSize;
    return NextFree;
}

bool TVobjCDXFile::UpdateRecordKeys(int32_t Record, bool Appended) {
    if (StructuralTag) {
        ++StructuralTag->Version;
        StructuralTag->HeaderChanged = true;
    }
    return TVobjIndexFile::UpdateRecordKeys(Record, Appended);
}

bool TVobjCDXFile::ChangedExternally() {
    if (!DiskFile || !DiskFile->Shared || !StructuralTag) return false;
    uint8_t block[CdxBlockSize];
    if (!ReadBlock(0, block, CdxBlockSize)) return false;
    return GetLE32(block + 8) != StructuralTag->Version;
}

} // namespace tarnis
