// Building a compound tag: the table scan of TVobjCDXTag::BuildTag and the bottom-up
// node writer TVobjSortCDX (see TVobjSortCDX.h for the level rules).
#include "engine/index/TVobjSortCDX.h"

#include "engine/base/byte_order.h"
#include "engine/base/tv6_eror.h"
#include "engine/table/TVO_dBaseFld.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

namespace tarnis {

namespace {

constexpr int32_t LeafHeader = 24;
constexpr int32_t BranchHeader = 12;
constexpr uint16_t LeafAttributes = 2;
constexpr uint16_t BranchAttributes = 0;
constexpr uint16_t RootBit = 1;
constexpr uint32_t NoSibling = 0xFFFFFFFF;
constexpr int32_t BuildReading = 1;
constexpr int32_t BuildWriting = 2;

std::string_view Bytes(const TtvVariant& Key, int32_t Length) {
    return {reinterpret_cast<const char*>(Key.Data.get()), static_cast<size_t>(Length)};
}

int32_t CommonPrefix(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    size_t i = 0;
    while (i < n && a[i] == b[i])
        ++i;
    return static_cast<int32_t>(i);
}

void Report(TVO_dBaseFld* Table, int32_t Stat1, int32_t Stat2, int32_t Stat3) {
    if (Table != nullptr) Table->StatusReport(Stat1, Stat2, Stat3);
}

} // namespace

// ---------------------------------------------------------------------------
// TVobjCDXTag::BuildTag
// ---------------------------------------------------------------------------

void TVobjCDXTag::BuildTag() {
    DiscardPath();
    if (IsDirectory()) {
        WriteEmptyRoot();
        HeaderChanged = true;
        WriteHeader();
        return;
    }
    auto& file = static_cast<TVobjCDXFile&>(*IndexFile);
    TVO_dBaseFld* table = IndexFile->Table;
    TVobjIndexKeyData key(256);
    TVobjSortCDX sorter(*this, file.SortLimits);
    const int32_t count = table != nullptr ? table->RecordCount : 0;
    const bool withFor = HasFor && ForExpression && !ForExpression->empty();

    Report(table, -1, BuildReading, count);
    for (int32_t r = 1; r <= count; ++r) {
        // Straight from the file, deleted records too; the handler's read cache
        // serves these sequential reads.
        table->RecNo = r;
        const uint32_t offset =
            static_cast<uint32_t>(table->HeaderLength) +
            static_cast<uint32_t>(r - 1) * static_cast<uint32_t>(table->RecordLength);
        if (table->ReadAt(offset, table->CurrentRecord, table->RecordLength) != table->RecordLength)
            table->CheckError(table->ErrorCode != 0 ? table->ErrorCode : ec::ShortRead,
                              sc::TableGoTo);
        bool flag = false;
        if ((!withFor || EvaluateFor()) && EvaluateKey(key, flag)) {
            StoredForm(key);
            // One byte too many is cut like any over-long key; more is the sorter's
            // error.
            if (key.Size == KeyLength + 1) CutToKeyLength(key);
            sorter.AddSortKey(key, r);
        }
        Report(table, BuildReading, r, 0);
    }
    Report(table, 0, 0, 0);
    Report(table, -1, BuildWriting, static_cast<int32_t>(sorter.RecordTotal));
    if (sorter.KeyCount > 0)
        sorter.WriteSorted();
    else
        WriteEmptyRoot();
    Report(table, 0, 0, 0);
    sorter.Finish();
    file.BuildStats = sorter.Stats();
    HeaderChanged = true;
    WriteHeader();
}

// ---------------------------------------------------------------------------
// TVobjSortCDX
// ---------------------------------------------------------------------------

TVobjSortCDX::TVobjSortCDX(TVobjCDXTag& ForTag, const TtvSortLimits& Limits)
    : TtvSort(ForTag.KeyLength + 1, ForTag.Unique, true, ForTag.CollationTable(), Limits),
      Table(ForTag.IndexFile->Table), Tag(ForTag), ThisKey(256), PreviousKey(256) {
    RecordTotal = Table != nullptr ? static_cast<uint32_t>(std::max(Table->RecordCount, 0)) : 0;
    Layout = CDXLeafLayout(Tag.KeyLength, RecordTotal);
    Threshold = 2 * (Layout.EntryBytes + Tag.EntrySize);
}

TVobjSortCDX::~TVobjSortCDX() = default;

void TVobjSortCDX::WriteSorted() {
    // One pair ahead: the builder must know whether a pair is the last one.
    TtvVariant next(256);
    int32_t record = 0;
    int32_t nextRecord = 0;
    bool have = NextSortKey(ThisKey, record);
    while (have) {
        const bool more = NextSortKey(next, nextRecord);
        ++KeysWritten;
        Report(Table, BuildWriting, static_cast<int32_t>(KeysWritten), 0);
        AddToLevel(0, record, record, ThisKey, !more);
        LastRecord = record;
        std::swap(ThisKey, PreviousKey);
        std::swap(ThisKey, next);
        record = nextRecord;
        have = more;
    }
}

void TVobjSortCDX::Finish() {
    Finishing = true;
    const TtvVariant lastKey(PreviousKey);
    for (int32_t level = 0; level < MaxLevels - 1; ++level) {
        uint8_t* image = LevelNodes[static_cast<size_t>(level)].get();
        if (image == nullptr) continue;
        const auto own = static_cast<int32_t>(GetLE32(image + 8));
        PutLE32(image + 8, NoSibling);
        if (GetLE16(image + 2) > 0) {
            const bool above = LevelNodes[static_cast<size_t>(level) + 1] != nullptr;
            if (!above) {
                Tag.RootPosition = own;
                PutLE16(image, GetLE16(image) | RootBit);
            }
            Tag.IndexFile->WriteBlock(own, image, CdxBlockSize);
            if (above) AddToLevel(level + 1, own, LastRecord, lastKey, true);
        }
        LevelNodes[static_cast<size_t>(level)].reset();
    }
}

uint8_t* TVobjSortCDX::NewImage(int32_t Level) {
    auto& slot = LevelNodes[static_cast<size_t>(Level)];
    slot = std::make_unique<uint8_t[]>(CdxBlockSize);
    uint8_t* image = slot.get();
    std::memset(image, 0, CdxBlockSize);
    if (Level == 0) {
        PutLE32(image + 14, Layout.RecordMask);
        image[18] = Layout.DuplicateMask;
        image[19] = Layout.TrailMask;
        image[20] = Layout.RecordBits;
        image[21] = Layout.DuplicateBits;
        image[22] = Layout.TrailBits;
        image[23] = Layout.EntryBytes;
    }
    PutLE32(image + 4, NoSibling);
    PutLE32(image + 8, static_cast<uint32_t>(Tag.IndexFile->AllocateNode()));
    PutLE16(image, Level == 0 ? LeafAttributes : BranchAttributes);
    return image;
}

int32_t TVobjSortCDX::LeafLength(const TtvVariant& Key) const {
    if (Key.IsEmpty()) return 0;
    int32_t length = std::min<int32_t>(Key.Size, Tag.KeyLength);
    if (Tag.KeyType != 'C')
        while (length > 1 && Key.Data[static_cast<size_t>(length) - 1] == 0)
            --length;
    return length;
}

void TVobjSortCDX::AddToLevel(int32_t Level, int32_t Child, int32_t Record, const TtvVariant& Key,
                              bool Last) {
    if (Level >= MaxLevels - 1) {
        Tag.IndexFile->ReportDamage();
        return;
    }
    uint8_t* image = LevelNodes[static_cast<size_t>(Level)].get();
    if (image == nullptr) image = NewImage(Level);
    if (Level == 0) {
        AddLeafEntry(image, Record, Key);
        if (GetLE16(image + 12) >= Threshold) return;
    } else {
        AddBranchEntry(image, Child, Record, Key);
        if (GetLE16(image + 2) < Tag.MaxBranchKeys) return;
    }
    CloseNode(Level, Record, Key, Last || (Level > 0 && Finishing));
}

void TVobjSortCDX::AddLeafEntry(uint8_t* Image, int32_t Record, const TtvVariant& Key) {
    const int32_t count = GetLE16(Image + 2);
    uint8_t* area = Image + LeafHeader;
    if (count == 0) {
        std::memset(area, 0, CdxLeafArea);
        PutLE16(Image + 12, CdxLeafArea);
        // The first key of every leaf shares nothing.
        PreviousKey.SetString("");
    }
    const int32_t free = GetLE16(Image + 12);
    const int32_t entryBytes = Layout.EntryBytes;
    const int32_t length = LeafLength(Key);
    const int32_t t = Tag.KeyLength - length;
    const int32_t u = CommonPrefix(Bytes(Key, length), Bytes(PreviousKey, LeafLength(PreviousKey)));
    const int32_t stored = length - u;
    const int32_t entry = count * entryBytes;
    const int32_t keys = entry + free; // where the keys already stored begin
    std::memcpy(area + keys - stored, Key.Data.get() + u, static_cast<size_t>(stored));
    const uint32_t w = (static_cast<uint32_t>(t) << (16 - Layout.TrailBits)) |
                       (static_cast<uint32_t>(u) << (16 - Layout.TrailBits - Layout.DuplicateBits));
    const uint64_t bits = (static_cast<uint32_t>(Record) & Layout.RecordMask) |
                          (static_cast<uint64_t>(w & 0xFFFF) << (8 * (entryBytes - 2)));
    for (int32_t k = 0; k < entryBytes; ++k)
        area[entry + k] = static_cast<uint8_t>(bits >> (8 * k));
    PutLE16(Image + 12, static_cast<uint32_t>(free - entryBytes - stored));
    PutLE16(Image + 2, static_cast<uint32_t>(count + 1));
}

void TVobjSortCDX::AddBranchEntry(uint8_t* Image, int32_t Child, int32_t Record,
                                  const TtvVariant& Key) {
    const int32_t count = GetLE16(Image + 2);
    if (count == 0) std::memset(Image + BranchHeader, 0, CdxBranchArea);
    const int32_t keyLength = Tag.KeyLength;
    uint8_t* entry = Image + BranchHeader + count * Tag.EntrySize;
    if (Tag.KeyType == 'C') std::memset(entry, ' ', static_cast<size_t>(keyLength));
    const int32_t length = Key.IsEmpty() ? 0 : std::min<int32_t>(Key.Size, keyLength);
    if (length > 0) std::memcpy(entry, Key.Data.get(), static_cast<size_t>(length));
    PutBE32(entry + keyLength, static_cast<uint32_t>(Record));
    PutBE32(entry + keyLength + 4, static_cast<uint32_t>(Child));
    PutLE16(Image + 2, static_cast<uint32_t>(count + 1));
}

void TVobjSortCDX::CloseNode(int32_t Level, int32_t Record, const TtvVariant& Key, bool Last) {
    uint8_t* image = LevelNodes[static_cast<size_t>(Level)].get();
    const auto own = static_cast<int32_t>(GetLE32(image + 8));
    const int32_t right = Last ? -1 : Tag.IndexFile->AllocateNode();
    PutLE32(image + 8, static_cast<uint32_t>(right));
    Tag.IndexFile->WriteBlock(own, image, CdxBlockSize);
    // The same image goes on as the next node of the level.
    PutLE32(image + 4, static_cast<uint32_t>(own));
    PutLE16(image + 2, 0);
    AddToLevel(Level + 1, own, Record, Key, Last);
}

} // namespace tarnis
