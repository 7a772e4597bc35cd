// The compound index file: keys, headers, opening. The node codec is in
// TVobjCDXTag.cpp.
#include "engine/index/tv6_cdx.h"

#include "engine/base/byte_order.h"
#include "engine/base/tv6_disk.h"
#include "engine/base/tv6_eror.h"
#include "engine/table/TVO_dBaseFld.h"
#include "platform/code_page.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
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
    StoredForm(Key);
    CutToKeyLength(Key);
}

void TVobjCDXTag::StoredForm(TVobjIndexKeyData& Key) {
    if (KeyType == 'C') {
        if (Key.Kind != vkText) Key.SetString(Key.AsString());
        Key.TrimRight();
        if (!Key.IsEmpty() && GeneralCollation()) {
            std::string weights = CDXGeneralWeights(Key.TextView());
            NormaliseWeights(weights);
            Key.SetBytes(weights.data(), static_cast<int32_t>(weights.size()));
        }
        return;
    }
    const double value = KeyType == 'D' ? static_cast<double>(Key.AsDate()) : Key.AsNumber();
    uint8_t bytes[8];
    CDXNumberKey(value, bytes);
    Key.SetBytes(bytes, 8);
}

void TVobjCDXTag::CutToKeyLength(TVobjIndexKeyData& Key) {
    if (KeyLength <= 0 || Key.IsEmpty() || Key.Size <= KeyLength) return;
    if (KeyType != 'C') {
        Key.Size = KeyLength;
    } else if (Key.Kind == vkText) {
        // Blanks the cut brings to the end go, as from every stored 'C' key.
        Key.Size = KeyLength;
        Key.TrimRight();
    } else {
        std::string weights(reinterpret_cast<const char*>(Key.Data.get()),
                            static_cast<size_t>(KeyLength));
        NormaliseWeights(weights);
        Key.SetBytes(weights.data(), static_cast<int32_t>(weights.size()));
    }
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
        case vkLogical: {
            // No stored key holds a value this long; the sorter refuses the length.
            const int32_t length =
                std::min(value.Size * (Collation == 2 ? 2 : 1), CdxMaxKeyLength + 1);
            // An empty value gives no key length: a header of key length 0 is damaged.
            if (length == 0) return result;
            KeyType = 'C';
            KeyLength = static_cast<int16_t>(length);
            break;
        }
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
        if (KeyLength <= 0) return result;
    }
    EntrySize = static_cast<uint16_t>(KeyLength + 8);
    MaxBranchKeys = static_cast<uint16_t>(CdxBranchArea / EntrySize);
    const uint8_t zero[CdxHeaderSize] = {};
    IndexFile->WriteBlock(HeaderPosition, zero, CdxHeaderSize);
    BuildTag();
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

void TVobjCDXTag::DiscardPath() {
    for (TVobjIndexKey* node = RootNode.get(); node != nullptr; node = node->Child.get())
        node->Changed = false;
    RootNode.reset();
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

// ---------------------------------------------------------------------------
// Tags: create, delete, rebuild
// ---------------------------------------------------------------------------

TVobjIndexKeyData TVobjCDXFile::DirectoryKey(const std::string& Name) const {
    TVobjIndexKeyData key;
    const size_t first = Name.find_first_not_of(' ');
    if (first != std::string::npos)
        key.SetString(Name.substr(first, Name.find_last_not_of(' ') + 1 - first));
    key.Translate(Table != nullptr ? Table->TranslationTable : nullptr);
    if (StructuralTag && key.Size > StructuralTag->KeyLength) key.Size = StructuralTag->KeyLength;
    key.TrimRight();
    return key;
}

int32_t TVobjCDXFile::TagIndexFor(const TVobjIndexKeyData& Key) const {
    for (int32_t i = TagCount() - 1; i >= 0; --i)
        if (AnsiCompareText(Tags[static_cast<size_t>(i)]->TagName, Key.TextView()) == 0) return i;
    return -1;
}

bool TVobjCDXFile::CreateTag(const std::string& Name, const std::string& KeyExpr,
                             const std::string& ForExpr, bool IsAscending, bool IsUnique) {
    if (!DiskFile || !StructuralTag) return false;
    TVobjIndexKeyData entry = DirectoryKey(Name);
    if (entry.IsEmpty()) return false;
    const std::string name = entry.AsString();
    StructuralTag->ResetNodes(0);
    const int32_t replaced = TagIndexFor(entry);

    // The new tag is built before the directory changes, so that a definition that
    // fails leaves every tag as it was.
    auto tag = std::make_unique<TVobjCDXTag>(this, name, -1);
    tag->Collation = 1;
    bool result = false;
    try {
        result = tag->DefineTag(name, KeyExpr, ForExpr, IsAscending, IsUnique);
    } catch (...) {
        tag->DiscardPath();
        tag->HeaderChanged = false;
        NextFree = -1;
        throw;
    }
    if (!result) {
        tag->HeaderChanged = false;
        NextFree = -1;
        return false;
    }

    if (replaced >= 0) {
        entry.Reference = Tags[static_cast<size_t>(replaced)]->HeaderPosition;
        if (StructuralTag->Seek(entry) != 0 && StructuralTag->RootNode)
            StructuralTag->RootNode->DeleteEntry();
        Tags.erase(Tags.begin() + replaced);
    }
    entry.Reference = tag->HeaderPosition;
    Tags.push_back(std::move(tag));
    StructuralTag->AddKey(entry);
    if (StructuralTag->RootNode) StructuralTag->RootNode->Changed = true;
    StructuralTag->ReleaseNodes();
    return result;
}

bool TVobjCDXFile::DeleteTag(const std::string& Name) {
    if (Tags.empty() || !StructuralTag) return false;
    TVobjIndexKeyData entry = DirectoryKey(Name);
    const int32_t index = entry.IsEmpty() ? -1 : TagIndexFor(entry);
    if (index < 0) return false;
    StructuralTag->ResetNodes(0);
    entry.Reference = Tags[static_cast<size_t>(index)]->HeaderPosition;
    if (StructuralTag->Seek(entry) != 0 && StructuralTag->RootNode)
        StructuralTag->RootNode->DeleteEntry();
    Tags.erase(Tags.begin() + index);
    if (StructuralTag->RootNode) StructuralTag->RootNode->Changed = true;
    StructuralTag->ReleaseNodes();
    if (Tags.empty()) RebuildAll();
    return true;
}

void TVobjCDXFile::RebuildAll() {
    if (!DiskFile || !StructuralTag) return;
    // A key length the sorter refuses is refused before the file changes.
    for (const auto& tag : Tags)
        if (tag->KeyLength + 1 > TtvSort::MaxSortKeyLength)
            throw ETarnisError("Sort key length greater than 240 bytes");

    if (!DiskFile->LockWholeFile()) {
        ReportError(DiskFile->ErrorCode, sc::Truncate, DiskFile->FileName);
        return;
    }
    // The lock goes however the rebuild ends (an unshared file counts no lock).
    struct Unlocker {
        TVO_DiskFile& file;
        ~Unlocker() {
            if (file.Shared) file.Unlock();
        }
    } unlocker{*DiskFile};

    // Every directory entry goes: the old tree is dropped and an empty root leaf is
    // written at 1024 once the file is cut back.
    StructuralTag->DiscardPath();
    for (const auto& tag : Tags)
        tag->ReleaseNodes();
    DiskFile->Truncate(CdxBlockSize + CdxHeaderSize);
    NextFree = CdxBlockSize + CdxHeaderSize;
    auto root = std::make_unique<TVobjIndexKey>(StructuralTag.get(), 0, nullptr);
    root->NodePosition = CdxHeaderSize;
    root->NodeKind = 3;
    root->Changed = true;
    StructuralTag->RootNode = std::move(root);
    StructuralTag->RootPosition = CdxHeaderSize;
    StructuralTag->Version = 0;
    StructuralTag->HeaderChanged = true;
    StructuralTag->ReleaseNodes();

    std::exception_ptr failure;
    for (const auto& item : Tags) {
        auto& tag = static_cast<TVobjCDXTag&>(*item);
        tag.HeaderPosition = AllocateNode();
        AllocateNode();
        tag.HeaderChanged = true;
        tag.Version = 0;
        tag.WriteHeader();
        try {
            tag.BuildTag();
        } catch (...) {
            // The tag keeps a usable empty tree but leaves the directory; the others
            // are still rebuilt.
            if (!failure) failure = std::current_exception();
            tag.DiscardPath();
            tag.WriteEmptyRoot();
            tag.HeaderChanged = true;
            tag.WriteHeader();
            continue;
        }
        TVobjIndexKeyData entry;
        entry.SetText(tag.TagName.c_str());
        entry.Reference = tag.HeaderPosition;
        StructuralTag->AddKey(entry);
    }
    StructuralTag->ReleaseNodes();
    if (failure) std::rethrow_exception(failure);
}

bool TVobjCDXFile::UpdateRecordKeys(int32_t Record, bool Appended) {
    if (StructuralTag) {
        ++StructuralTag->Version;
        StructuralTag->HeaderChanged = true;
    }
    return TVobjIndexFile::UpdateRecordKeys(Record, Appended);
}

void TVobjCDXFile::WriteBackChanges() {
    TVobjIndexFile::WriteBackChanges();
    if (StructuralTag) StructuralTag->ReleaseNodes();
}

void TVobjCDXFile::ReloadHeaders() {
    if (StructuralTag) {
        StructuralTag->ReleaseNodes();
        if (!StructuralTag->ReadHeader()) ReportDamage();
    }
    TVobjIndexFile::ReloadHeaders();
}

bool TVobjCDXFile::ChangedExternally() {
    if (!DiskFile || !DiskFile->Shared || !StructuralTag) return false;
    uint8_t block[CdxBlockSize];
    if (!ReadBlock(0, block, CdxBlockSize)) return false;
    return GetLE32(block + 8) != StructuralTag->Version;
}

} // namespace tarnis
