// The compound file's node codec (TVobjCDXTag, declared in tv6_cdx.h): decoding and
// encoding branch nodes and compressed leaves, with splits. The byte layout is
// described in tv6_cdx.h.
#include "engine/index/tv6_cdx.h"

#include "engine/base/byte_order.h"
#include "engine/base/tv6_disk.h"
#include "engine/table/TVO_dBaseFld.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace tarnis {

namespace {

constexpr int32_t LeafHeader = 24;
constexpr int32_t BranchHeader = 12;

int32_t CommonPrefix(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    size_t i = 0;
    while (i < n && a[i] == b[i])
        ++i;
    return static_cast<int32_t>(i);
}

// One entry from a key's stored bytes: a character key without its trailing blanks,
// any other key as its raw bytes.
std::unique_ptr<TVobjIndexKeyData> DecodedEntry(const uint8_t* key, int32_t length, bool text,
                                                int32_t record, int32_t reference) {
    auto entry = std::make_unique<TVobjIndexKeyData>();
    if (text) {
        while (length > 0 && key[length - 1] == ' ')
            --length;
        entry->SetString(
            std::string_view(reinterpret_cast<const char*>(key), static_cast<size_t>(length)));
    } else {
        entry->SetBytes(key, length);
    }
    entry->RecordNumber = record;
    entry->Reference = reference;
    return entry;
}

void PutLayout(uint8_t* image, const TVobjIndexKey& node) {
    PutLE32(image + 14, node.RecordMask);
    image[18] = node.DuplicateMask;
    image[19] = node.TrailMask;
    image[20] = node.RecordBits;
    image[21] = node.DuplicateBits;
    image[22] = node.TrailBits;
    image[23] = node.EntryBytes;
}

} // namespace

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

bool TVobjCDXTag::ReadNode(int32_t Position, TVobjIndexKey& Node) {
    uint8_t image[CdxBlockSize];
    bool ok = Position > 0 && Position % CdxBlockSize == 0 &&
              IndexFile->ReadBlock(Position, image, CdxBlockSize);
    if (ok) {
        const uint16_t attributes = GetLE16(image);
        ok = attributes <= 3;
        if (ok) {
            Node.NodeKind = attributes < 2 ? 2 : 3;
            Node.LeftSibling = static_cast<int32_t>(GetLE32(image + 4));
            Node.RightSibling = static_cast<int32_t>(GetLE32(image + 8));
            ok = Node.IsLeaf() ? DecodeLeaf(image, Node) : DecodeBranch(image, Node);
        }
    }
    if (!ok) {
        Node.Entries.clear();
        Node.NodeKind = 0;
        IndexFile->ReportDamage();
        return false;
    }
    return true;
}

bool TVobjCDXTag::DecodeLeaf(const uint8_t* Image, TVobjIndexKey& Node) {
    Node.FreeSpace = GetLE16(Image + 12);
    Node.RecordMask = GetLE32(Image + 14);
    Node.DuplicateMask = Image[18];
    Node.TrailMask = Image[19];
    Node.RecordBits = Image[20];
    Node.DuplicateBits = Image[21];
    Node.TrailBits = Image[22];
    Node.EntryBytes = Image[23];
    const int32_t entryBytes = Node.EntryBytes;
    const int32_t dupBits = Node.DuplicateBits;
    const int32_t trailBits = Node.TrailBits;
    // The layout must describe entries that the two count fields and the record
    // number can share.
    if (entryBytes < 3 || entryBytes > 8 || dupBits > 8 || trailBits > 8 ||
        Node.RecordBits + dupBits + trailBits > 8 * entryBytes ||
        Node.DuplicateMask != (1u << dupBits) - 1 || Node.TrailMask != (1u << trailBits) - 1 ||
        Node.RecordBits > 32 || (Node.RecordBits < 32 && (Node.RecordMask >> Node.RecordBits) != 0))
        return false;
    const int32_t keyLength = KeyLength;
    if (keyLength <= 0 || keyLength > CdxMaxKeyLength) return false;
    const int32_t count = GetLE16(Image + 2);
    const int32_t entriesEnd = count * entryBytes;
    if (entriesEnd > CdxLeafArea) return false;

    const bool text = KeyType == 'C';
    const bool general = GeneralCollation();
    const uint8_t pad = text ? ' ' : 0;
    uint8_t work[256];
    std::memset(work, pad, sizeof work);
    const uint8_t* area = Image + LeafHeader;
    int32_t position = CdxLeafArea;
    Node.Entries.reserve(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t* e = area + i * entryBytes;
        uint64_t bits = 0;
        for (int32_t k = 0; k < entryBytes; ++k)
            bits |= static_cast<uint64_t>(e[k]) << (8 * k);
        const uint32_t record = static_cast<uint32_t>(bits) & Node.RecordMask;
        const uint32_t w = GetLE16(e + entryBytes - 2);
        const int32_t t = static_cast<int32_t>((w >> (16 - trailBits)) & Node.TrailMask);
        const int32_t u =
            static_cast<int32_t>((w >> (16 - trailBits - dupBits)) & Node.DuplicateMask);
        if (u + t > keyLength) return false;
        const int32_t stored = keyLength - u - t;
        if (position - stored < entriesEnd) return false;
        position -= stored;
        std::memcpy(work + u, area + position, static_cast<size_t>(stored));
        const int32_t end = keyLength - t;
        // The dropped bytes, so that a later key sharing them reads them right.
        std::memset(work + end, pad, static_cast<size_t>(t));
        if (general)
            for (int32_t j = end - 1; j > 0 && work[j] < 0x10; --j)
                work[j] |= 0xF0;
        Node.Entries.push_back(DecodedEntry(work, text ? end : keyLength, text,
                                            static_cast<int32_t>(record),
                                            static_cast<int32_t>(record)));
    }
    return true;
}

bool TVobjCDXTag::DecodeBranch(const uint8_t* Image, TVobjIndexKey& Node) {
    const int32_t keyLength = KeyLength;
    if (keyLength <= 0 || keyLength > CdxMaxKeyLength) return false;
    const int32_t entrySize = keyLength + 8;
    const int32_t count = GetLE16(Image + 2);
    if (count > CdxBranchArea / entrySize) return false;
    const bool text = KeyType == 'C';
    const bool general = GeneralCollation();
    uint8_t work[256];
    Node.Entries.reserve(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t* p = Image + BranchHeader + i * entrySize;
        std::memcpy(work, p, static_cast<size_t>(keyLength));
        if (general) {
            int32_t j = keyLength - 1;
            while (j > 0 && work[j] == ' ')
                --j;
            for (; j > 0 && work[j] < 0x10; --j)
                work[j] |= 0xF0;
        }
        auto entry =
            DecodedEntry(work, keyLength, text, static_cast<int32_t>(GetBE32(p + keyLength)),
                         static_cast<int32_t>(GetBE32(p + keyLength + 4)));
        Node.Entries.push_back(std::move(entry));
    }
    return true;
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

bool TVobjCDXTag::WriteNode(int32_t Position, TVobjIndexKey& Node) {
    if (Node.Count() == 0 && Node.Parent != nullptr) {
        // A node emptied by deletions leaves the sibling chain.
        PatchSibling(Node.LeftSibling, 8, Node.RightSibling);
        PatchSibling(Node.RightSibling, 4, Node.LeftSibling);
        Node.LeftSibling = -1;
        Node.RightSibling = -1;
    }
    uint8_t image[CdxBlockSize] = {};
    const uint32_t attributes = (Node.NodeKind > 2 ? 2u : 0u) | (Node.Parent == nullptr ? 1u : 0u);
    PutLE16(image, attributes);
    PutLE32(image + 4, static_cast<uint32_t>(Node.LeftSibling));
    PutLE32(image + 8, static_cast<uint32_t>(Node.RightSibling));
    Node.NodePosition = Position;
    if (Node.IsLeaf())
        EncodeLeaf(image, Node);
    else
        EncodeBranch(image, Node);
    return true;
}

uint32_t TVobjCDXTag::HighestValue(const TVobjIndexKey& Node) const {
    uint32_t highest = 0;
    if (IsDirectory()) {
        if (IndexFile->DiskFile)
            highest = static_cast<uint32_t>(std::max(IndexFile->DiskFile->FileSize(), 0));
        highest = std::max(highest, static_cast<uint32_t>(std::max(IndexFile->NextFree, 0)));
    } else if (IndexFile->Table != nullptr) {
        highest = static_cast<uint32_t>(std::max(IndexFile->Table->RecordCount, 0));
    }
    // A record number above the count (a table grown by another program) still fits.
    for (const auto& entry : Node.Entries)
        if (entry->Reference > 0)
            highest = std::max(highest, static_cast<uint32_t>(entry->Reference));
    return highest;
}

void TVobjCDXTag::EncodeLeaf(uint8_t* Image, TVobjIndexKey& Node) {
    const TCDXLeafLayout layout = CDXLeafLayout(KeyLength, HighestValue(Node));
    Node.RecordMask = layout.RecordMask;
    Node.DuplicateMask = layout.DuplicateMask;
    Node.TrailMask = layout.TrailMask;
    Node.RecordBits = layout.RecordBits;
    Node.DuplicateBits = layout.DuplicateBits;
    Node.TrailBits = layout.TrailBits;
    Node.EntryBytes = layout.EntryBytes;
    const int32_t entryBytes = layout.EntryBytes;
    const int32_t keyLength = KeyLength;

    // The bytes a leaf stores of each key: a 'C' key as it is, a number key without
    // its trailing zero bytes.
    std::vector<std::string_view> keys;
    keys.reserve(Node.Entries.size());
    for (const auto& entry : Node.Entries) {
        int32_t length = entry->IsEmpty() ? 0 : std::min<int32_t>(entry->Size, keyLength);
        const auto* bytes = reinterpret_cast<const char*>(entry->Data.get());
        if (KeyType != 'C')
            while (length > 1 && bytes[length - 1] == 0)
                --length;
        keys.emplace_back(bytes, static_cast<size_t>(length));
    }

    const auto pack = [&](int32_t from, int32_t to) {
        uint8_t* area = Image + LeafHeader;
        std::memset(area, 0, CdxLeafArea);
        int32_t free = CdxLeafArea;
        int32_t keyPosition = CdxLeafArea;
        int32_t count = 0;
        for (int32_t j = from; j < to; ++j) {
            const std::string_view key = keys[static_cast<size_t>(j)];
            const auto length = static_cast<int32_t>(key.size());
            const int32_t t = keyLength - length;
            const int32_t u = j == from ? 0 : CommonPrefix(keys[static_cast<size_t>(j - 1)], key);
            const int32_t piece = length - u;
            free -= piece + entryBytes;
            keyPosition -= piece;
            std::memcpy(area + keyPosition, key.data() + u, static_cast<size_t>(piece));
            if (GeneralCollation())
                for (int32_t i = keyPosition + piece - 1; i >= keyPosition && area[i] >= 0xF0; --i)
                    area[i] &= 0x0F;
            const uint32_t w =
                (static_cast<uint32_t>(t) << (16 - layout.TrailBits)) |
                (static_cast<uint32_t>(u) << (16 - layout.TrailBits - layout.DuplicateBits));
            const uint32_t record =
                static_cast<uint32_t>(Node.At(j)->Reference) & layout.RecordMask;
            const uint64_t bits =
                record | (static_cast<uint64_t>(w & 0xFFFF) << (8 * (entryBytes - 2)));
            uint8_t* slot = area + count * entryBytes;
            for (int32_t k = 0; k < entryBytes; ++k)
                slot[k] = static_cast<uint8_t>(bits >> (8 * k));
            ++count;
        }
        PutLE16(Image + 2, static_cast<uint32_t>(count));
        PutLE16(Image + 12, static_cast<uint32_t>(free));
        PutLayout(Image, Node);
    };

    const int32_t count = Node.Count();
    int32_t from = 0;
    for (;;) {
        // Split while the remaining keys need the whole area: the left part takes
        // the keys whose running cost stays below 250 bytes (at least one).
        int32_t total = 0;
        int32_t fitting = 0;
        for (int32_t j = from; j < count; ++j) {
            const int32_t u = j == from ? 0
                                        : CommonPrefix(keys[static_cast<size_t>(j - 1)],
                                                       keys[static_cast<size_t>(j)]);
            total += static_cast<int32_t>(keys[static_cast<size_t>(j)].size()) - u + entryBytes;
            if (total < 250) fitting = j - from + 1;
        }
        if (total < CdxLeafArea) break;
        fitting = std::clamp(fitting, 1, count - from - 1);
        pack(from, from + fitting);
        SplitOff(Image, Node, *Node.At(from + fitting - 1), 0);
        from += fitting;
    }
    pack(from, count);
    IndexFile->WriteBlock(Node.NodePosition, Image, CdxBlockSize);
}

void TVobjCDXTag::EncodeBranch(uint8_t* Image, TVobjIndexKey& Node) {
    const int32_t keyLength = KeyLength;
    const int32_t entrySize = keyLength + 8;
    const int32_t capacity = std::max(CdxBranchArea / entrySize, 1);
    const uint8_t fill = KeyType == 'C' ? ' ' : 0;

    const auto pack = [&](int32_t from, int32_t to) {
        std::memset(Image + BranchHeader, fill, CdxBranchArea);
        int32_t count = 0;
        for (int32_t j = from; j < to; ++j) {
            const TVobjIndexKeyData& entry = *Node.At(j);
            uint8_t* p = Image + BranchHeader + count * entrySize;
            const int32_t length = entry.IsEmpty() ? 0 : std::min<int32_t>(entry.Size, keyLength);
            if (length > 0) std::memcpy(p, entry.Data.get(), static_cast<size_t>(length));
            if (GeneralCollation())
                for (int32_t i = length - 1; i >= 0 && p[i] >= 0xF0; --i)
                    p[i] &= 0x0F;
            PutBE32(p + keyLength, static_cast<uint32_t>(entry.RecordNumber));
            PutBE32(p + keyLength + 4, static_cast<uint32_t>(entry.Reference));
            ++count;
        }
        PutLE16(Image + 2, static_cast<uint32_t>(count));
    };

    const int32_t count = Node.Count();
    int32_t from = 0;
    while (count - from > capacity) {
        const int32_t remaining = count - from;
        const int32_t left = remaining - remaining / 2;
        pack(from, from + left);
        SplitOff(Image, Node, *Node.At(from + left - 1), fill);
        from += left;
    }
    pack(from, count);
    IndexFile->WriteBlock(Node.NodePosition, Image, CdxBlockSize);
}

void TVobjCDXTag::SplitOff(uint8_t* Image, TVobjIndexKey& Node, const TVobjIndexKeyData& Last,
                           uint8_t Fill) {
    const uint32_t attributes = GetLE16(Image) & ~1u;
    PutLE16(Image, attributes);
    const int32_t keptRight = Node.RightSibling;
    const int32_t left = Node.LeftSibling;
    PutLE32(Image + 4, static_cast<uint32_t>(left));
    PutLE32(Image + 8, static_cast<uint32_t>(Node.NodePosition));
    const int32_t position = IndexFile->AllocateNode();
    TVobjIndexKeyData entry(Last);
    entry.Reference = position;
    Node.InsertIntoParent(entry);
    if (Node.NodeKind == 1) Node.NodeKind = 2;
    IndexFile->WriteBlock(position, Image, CdxBlockSize);
    PatchSibling(left, 8, position);
    // The rest continues in a fresh image of the node itself.
    std::memset(Image, Fill, CdxBlockSize);
    PutLE16(Image, attributes);
    PutLE16(Image + 2, 0);
    PutLE32(Image + 4, static_cast<uint32_t>(position));
    PutLE32(Image + 8, static_cast<uint32_t>(keptRight));
    Node.LeftSibling = position;
}

void TVobjCDXTag::PatchSibling(int32_t Position, int32_t Offset, int32_t Value) {
    if (Position <= 0 || Position % CdxBlockSize != 0) return;
    uint8_t image[CdxBlockSize];
    // A neighbour that cannot be read is left alone: the chain was broken before.
    if (!IndexFile->ReadBlock(Position, image, CdxBlockSize)) return;
    PutLE32(image + Offset, static_cast<uint32_t>(Value));
    IndexFile->WriteBlock(Position, image, CdxBlockSize);
}

} // namespace tarnis
