#include "engine/index/tv6_sort.h"

#include "engine/base/tv6_disk.h"
#include "engine/base/tv6_eror.h"
#include "platform/os_file.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace tarnis {

namespace {

constexpr uint8_t TagRaw = 16;
constexpr uint8_t TagText = 32;
constexpr uint8_t TagNumber = 48;
constexpr uint8_t TagDate = 64;

constexpr uint8_t PackedMask = 0x07;
constexpr uint8_t KeyEnds = 0x08;

// Node fields (byte offsets inside a node).
constexpr int ChildField = 0;
constexpr int SiblingField = 4;
constexpr int FlagsField = 8;
constexpr int ByteField = 9;

// Two length bytes, two suffix-count bytes, the key.
constexpr int32_t MaxRecordBytes = 4 + TtvSort::MaxSortFormLength;

uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void Store32(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}

void PutBigEndian32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t GetBigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

int32_t PutCount(uint8_t* p, int32_t v) {
    if (v < 0x80) {
        p[0] = static_cast<uint8_t>(v);
        return 1;
    }
    p[0] = static_cast<uint8_t>(0x80 | (v & 0x7F));
    p[1] = static_cast<uint8_t>(v >> 7);
    return 2;
}

int32_t CountBytes(int32_t v) {
    return v < 0x80 ? 1 : 2;
}

// Writes the escaped form of Count bytes (through Table when given) and the end
// mark; returns the bytes written.
int32_t Escape(const uint8_t* Bytes, int32_t Count, const uint8_t* Table, uint8_t* Out) {
    int32_t n = 0;
    for (int32_t i = 0; i < Count; ++i) {
        const uint8_t c = Table ? Table[Bytes[i]] : Bytes[i];
        if (c <= 1) {
            Out[n++] = 1;
            Out[n++] = static_cast<uint8_t>(c + 1);
        } else {
            Out[n++] = c;
        }
    }
    Out[n++] = 0;
    return n;
}

[[noreturn]] void Raise(int32_t Code, int32_t SubCode, const std::string& Info) {
    EngineError(Code, SubCode, Info);
    // A handler that returns cannot let the sort go on with a run missing.
    throw ETarnisError(EngineErrorMessage(Code, SubCode, Info));
}

} // namespace

// ---------------------------------------------------------------------------
// TtvSortFile: an unnamed temporary file of runs, one per merge level.
// ---------------------------------------------------------------------------
class TtvSortFile {
public:
    explicit TtvSortFile(const std::string& Directory) : Directory(Directory) {
        std::string pattern = (std::filesystem::path(Directory) / "tarnis-sort-XXXXXX").string();
        Handle = ::mkstemp(pattern.data());
        if (Handle < 0) {
            const int error = errno;
            Raise(error == ENOENT ? oserr::PathNotFound : MapErrno(error), sc::Open, Directory);
        }
        // Gone from the directory at once: nothing is left behind on any path.
        ::unlink(pattern.c_str());
        ::fcntl(Handle, F_SETFD, FD_CLOEXEC);
    }
    TtvSortFile(const TtvSortFile&) = delete;
    TtvSortFile& operator=(const TtvSortFile&) = delete;
    ~TtvSortFile() { ::close(Handle); }

    void Write(uint64_t Offset, const uint8_t* Bytes, size_t Count) {
        while (Count > 0) {
            const ssize_t done = ::pwrite(Handle, Bytes, Count, static_cast<off_t>(Offset));
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) Raise(101, sc::WriteAt, Directory);
            Bytes += done;
            Offset += static_cast<uint64_t>(done);
            Count -= static_cast<size_t>(done);
        }
    }

    void Read(uint64_t Offset, uint8_t* Bytes, size_t Count) {
        while (Count > 0) {
            const ssize_t done = ::pread(Handle, Bytes, Count, static_cast<off_t>(Offset));
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) Raise(100, sc::ReadAt, Directory);
            Bytes += done;
            Offset += static_cast<uint64_t>(done);
            Count -= static_cast<size_t>(done);
        }
    }

    // Called when every run of the file has been merged away.
    void Empty() {
        if (::ftruncate(Handle, 0) != 0) Raise(MapErrno(errno), sc::Truncate, Directory);
        End = 0;
    }

    const std::string Directory;
    int Handle = -1;
    uint64_t End = 0; // bytes in use
};

// ---------------------------------------------------------------------------
// TtvMergeTree: a tree of losers over run heads. Node 0 holds the winner, nodes
// 1 .. K-1 the loser of the match played there; the leaves K .. 2K-1 are the runs.
// After the winner's run moves on, only the matches on its path are replayed.
// ---------------------------------------------------------------------------
class TtvMergeTree {
public:
    TtvMergeTree(std::vector<TtvPageCollection*> Inputs, bool Ascending)
        : Inputs(std::move(Inputs)), Ascending(Ascending) {
        const uint32_t k = static_cast<uint32_t>(this->Inputs.size());
        Tree.assign(std::max<uint32_t>(k, 1), 0);
        std::vector<uint32_t> winners(2 * static_cast<size_t>(k));
        for (uint32_t i = 0; i < k; ++i)
            winners[k + i] = i;
        for (uint32_t n = k - 1; n >= 1; --n) {
            const uint32_t a = winners[2 * n], b = winners[2 * n + 1];
            const bool aWins = Beats(a, b);
            winners[n] = aWins ? a : b;
            Tree[n] = aWins ? b : a;
        }
        Tree[0] = k > 1 ? winners[1] : 0;
    }

    // The run holding the next key, or null when all are exhausted.
    TtvPageCollection* Winner() const {
        TtvPageCollection* run = Inputs[Tree[0]];
        return run->Exhausted() ? nullptr : run;
    }

    // Moves the winning run to its next key and finds the new winner.
    void Advance() {
        uint32_t current = Tree[0];
        Inputs[current]->ReadNext();
        const uint32_t k = static_cast<uint32_t>(Inputs.size());
        for (uint32_t n = (k + current) / 2; n >= 1; n /= 2) {
            if (Beats(Tree[n], current)) std::swap(Tree[n], current);
        }
        Tree[0] = current;
    }

private:
    // Whether run a's head comes before run b's. An exhausted run loses; equal heads
    // (only a pair added twice) go by run index.
    bool Beats(uint32_t a, uint32_t b) const {
        const TtvPageCollection* ra = Inputs[a];
        const TtvPageCollection* rb = Inputs[b];
        if (ra->Exhausted()) return false;
        if (rb->Exhausted()) return true;
        const int32_t la = ra->HeadSize(), lb = rb->HeadSize();
        int c = std::memcmp(ra->HeadKey(), rb->HeadKey(), static_cast<size_t>(std::min(la, lb)));
        if (c == 0) c = la < lb ? -1 : (la > lb ? 1 : 0);
        if (c == 0) return a < b;
        return Ascending ? c < 0 : c > 0;
    }

    std::vector<TtvPageCollection*> Inputs;
    std::vector<uint32_t> Tree;
    bool Ascending;
};

// ---------------------------------------------------------------------------
// TtvPageCollection
// ---------------------------------------------------------------------------
TtvPageCollection::TtvPageCollection(TtvSort& Sorter, int32_t Level, TtvSortFile* File)
    : Sorter(Sorter), RunLevel(Level), File(File) {
    if (File) FileStart = File->End;
}

TtvPageCollection::~TtvPageCollection() {
    ReleaseAll();
}

void TtvPageCollection::ReleaseAll() {
    const int64_t pageSize = Sorter.Limit.PageSize;
    int64_t resident = 0;
    for (const auto& page : Pages)
        if (page) resident += pageSize;
    Pages.clear();
    Sorter.ResidentRunBytes -= resident;
    Sorter.Account(-resident);
    if (Buffer) {
        Buffer.reset();
        Sorter.Account(-pageSize);
    }
    if (Head) {
        Head.reset();
        Sorter.Account(-TtvSort::MaxSortFormLength);
    }
    CurrentPage = nullptr;
}

void TtvPageCollection::StartPage() {
    const int32_t pageSize = Sorter.Limit.PageSize;
    if (File) {
        if (!Buffer) {
            Buffer = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(pageSize));
            Sorter.Account(pageSize);
        } else {
            File->Write(FileStart + uint64_t{PageTotal} * static_cast<uint64_t>(pageSize),
                        Buffer.get(), static_cast<size_t>(pageSize));
            Sorter.Stat.SpilledBytes += pageSize;
        }
        CurrentPage = Buffer.get();
    } else {
        Pages.push_back(std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(pageSize)));
        Sorter.ResidentRunBytes += pageSize;
        Sorter.Account(pageSize);
        CurrentPage = Pages.back().get();
    }
    if (WritePosition >= 0) ++PageTotal;
    WritePosition = 0;
}

void TtvPageCollection::AppendRecord(const uint8_t* Key, int32_t Length, int32_t Suffix) {
    const int32_t need = CountBytes(Length) + CountBytes(Suffix) + Suffix;
    if (WritePosition < 0 || WritePosition + need + 1 > Sorter.Limit.PageSize) StartPage();
    uint8_t* p = CurrentPage + WritePosition;
    p += PutCount(p, Length);
    p += PutCount(p, Suffix);
    std::memcpy(p, Key + (Length - Suffix), static_cast<size_t>(Suffix));
    p[Suffix] = 0;
    WritePosition += need;
}

void TtvPageCollection::FinishWriting() {
    if (WritePosition >= 0) ++PageTotal;
    if (File && Buffer) {
        const int32_t pageSize = Sorter.Limit.PageSize;
        File->Write(FileStart + uint64_t{PageTotal - 1} * static_cast<uint64_t>(pageSize),
                    Buffer.get(), static_cast<size_t>(pageSize));
        Sorter.Stat.SpilledBytes += pageSize;
        File->End = FileStart + uint64_t{PageTotal} * static_cast<uint64_t>(pageSize);
        Buffer.reset();
        Sorter.Account(-pageSize);
    }
    CurrentPage = nullptr;
    WritePosition = -1;
}

bool TtvPageCollection::NextPage() {
    const int32_t pageSize = Sorter.Limit.PageSize;
    if (CurrentPage) {
        if (!File) {
            Pages[PageIndex].reset();
            Sorter.ResidentRunBytes -= pageSize;
            Sorter.Account(-pageSize);
        }
        ++PageIndex;
    }
    if (PageIndex >= PageTotal) return false;
    if (File) {
        if (!Buffer) {
            Buffer = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(pageSize));
            Sorter.Account(pageSize);
        }
        File->Read(FileStart + uint64_t{PageIndex} * static_cast<uint64_t>(pageSize), Buffer.get(),
                   static_cast<size_t>(pageSize));
        CurrentPage = Buffer.get();
    } else {
        CurrentPage = Pages[PageIndex].get();
    }
    CurrentPage[pageSize - 1] = 0; // a damaged page still ends
    return true;
}

void TtvPageCollection::StartReading() {
    Head = std::make_unique_for_overwrite<uint8_t[]>(TtvSort::MaxSortFormLength);
    Sorter.Account(TtvSort::MaxSortFormLength);
    HeadLength = 0;
    PageIndex = 0;
    CurrentPage = nullptr;
    ReadPosition = -1;
    ReadNext();
}

void TtvPageCollection::Damaged() const {
    Raise(100, sc::ReadAt, File ? File->Directory : std::string());
}

void TtvPageCollection::ReadNext() {
    const int32_t pageSize = Sorter.Limit.PageSize;
    while (ReadPosition < 0 || CurrentPage[ReadPosition] == 0) {
        if (!NextPage()) {
            ReadPosition = -1;
            ReleaseAll();
            return;
        }
        ReadPosition = 0;
    }
    const uint8_t* p = CurrentPage + ReadPosition;
    const uint8_t* end = CurrentPage + pageSize - 1;
    int32_t counts[2];
    for (int32_t& count : counts) {
        if (p >= end) Damaged();
        count = *p & 0x7F;
        if (*p++ & 0x80) {
            if (p >= end) Damaged();
            count |= int32_t{*p++} << 7;
        }
    }
    const int32_t length = counts[0], suffix = counts[1];
    // The shortest form is a tag, an end mark and a record number.
    if (length < 6 || length > TtvSort::MaxSortFormLength || suffix > length ||
        length - suffix > HeadLength || suffix > end - p)
        Damaged();
    std::memcpy(Head.get() + (length - suffix), p, static_cast<size_t>(suffix));
    HeadLength = length;
    ReadPosition = static_cast<int32_t>(p + suffix - CurrentPage);
}

// ---------------------------------------------------------------------------
// TtvSort
// ---------------------------------------------------------------------------
namespace {

TtvSortLimits InRange(TtvSortLimits l) {
    l.BlockSize = std::clamp(l.BlockSize, 100, 65536 * TtvSort::NodeSize);
    l.BlockCount = std::clamp(l.BlockCount, 1, 65535);
    // A trie must hold the longest key with room to spare.
    const int32_t nodes = l.BlockSize / TtvSort::NodeSize;
    l.BlockCount = std::max(l.BlockCount, (1024 + nodes - 1) / nodes);
    l.PageSize = std::clamp(l.PageSize, 2048, 1 << 24);
    l.ResidentBytes = std::max<int64_t>(l.ResidentBytes, 0);
    l.MergeWidth = std::clamp(l.MergeWidth, 2, 4096);
    if (l.TempDirectory.empty()) {
        std::error_code error;
        const auto dir = std::filesystem::temp_directory_path(error);
        l.TempDirectory = error ? std::string("/tmp") : dir.string();
    }
    return l;
}

// Bytes of the run a trie of Nodes nodes can give: at most 9 bytes a node (4 of
// counts for the key ending there, 5 of key bytes), spread over pages of which each
// is filled to within one record of its end.
int64_t RunBoundFor(const TtvSortLimits& l, int64_t Nodes) {
    const int64_t bytes = 9 * Nodes;
    const int64_t perPage = l.PageSize - (MaxRecordBytes + 1);
    return (bytes / perPage + 1) * l.PageSize;
}

} // namespace

int64_t TtvSort::MemoryBound(const TtvSortLimits& Limits) {
    const TtvSortLimits l = InRange(Limits);
    const int64_t nodes = int64_t{l.BlockCount} * (l.BlockSize / NodeSize);
    const int64_t trie = int64_t{l.BlockCount} * l.BlockSize;
    return trie + std::max(l.ResidentBytes, RunBoundFor(l, nodes)) +
           int64_t{l.MergeWidth + 1} * l.PageSize + int64_t{l.MergeWidth} * MaxSortFormLength;
}

TtvSort::TtvSort(int32_t MaxKeyLength, bool Unique, bool Ascending, const uint8_t* Collation,
                 const TtvSortLimits& Limits)
    : Unique(Unique), Ascending(Ascending), MaxKeyLength(MaxKeyLength), Limit(InRange(Limits)) {
    if (MaxKeyLength > MaxSortKeyLength)
        throw ETarnisError("Sort key length greater than 240 bytes");
    NodesPerBlock = Limit.BlockSize / NodeSize;
    if (Collation) {
        HasCollation = true;
        std::memcpy(this->Collation.data(), Collation, 256);
        std::array<bool, 256> seen{};
        CollationInjective = true;
        for (int c = 0; c < 256; ++c) {
            const uint8_t w = Collation[c];
            if (seen[w]) CollationInjective = false;
            seen[w] = true;
            InverseCollation[w] = static_cast<uint8_t>(c);
        }
    }
    WalkStack.reserve(MaxSortFormLength + 1);
    Blocks.push_back(std::make_unique<uint8_t[]>(static_cast<size_t>(Limit.BlockSize)));
    Account(Limit.BlockSize);
}

TtvSort::~TtvSort() {
    // The runs account their pages back to this object: drop them first.
    Merge.reset();
    Runs.clear();
}

void TtvSort::Account(int64_t Bytes) {
    HeldBytes += Bytes;
    Stat.PeakBytes = std::max(Stat.PeakBytes, HeldBytes);
}

void TtvSort::CheckUsable() const {
    if (!Failure.empty()) throw ETarnisError(Failure);
}

// ---- sort forms ----

int32_t TtvSort::MakeSortForm(const TtvVariant& Key, uint32_t RecordNumber) {
    uint8_t* w = WorkKey.data();
    const uint8_t* data = Key.IsEmpty() ? nullptr : Key.Data.get();
    const int32_t size = data && Key.Size > 0 ? Key.Size : 0;
    int32_t n = 1;
    int32_t textSize = -1; // text kept behind the record number
    switch (Key.Kind) {
    case vkRaw:
        w[0] = TagRaw;
        n += Escape(data, size, nullptr, w + 1);
        break;
    case vkText: {
        int32_t trimmed = size;
        while (trimmed > 0 && data[trimmed - 1] == ' ')
            --trimmed;
        w[0] = TagText;
        n += Escape(data, trimmed, HasCollation ? Collation.data() : nullptr, w + 1);
        if (HasCollation && !CollationInjective) textSize = trimmed;
        break;
    }
    case vkNumber: {
        double value = 0;
        if (data) std::memcpy(&value, data, std::min<size_t>(static_cast<size_t>(size), 8));
        uint64_t bits = std::bit_cast<uint64_t>(value);
        if (bits == 0x8000000000000000u) bits = 0; // -0 sorts as 0
        bits = (bits >> 63) ? ~bits : bits ^ 0x8000000000000000u;
        w[0] = TagNumber;
        PutBigEndian32(w + 1, static_cast<uint32_t>(bits >> 32));
        PutBigEndian32(w + 5, static_cast<uint32_t>(bits));
        n = 9;
        break;
    }
    case vkDate: {
        uint32_t day = 0;
        if (data) std::memcpy(&day, data, std::min<size_t>(static_cast<size_t>(size), 4));
        w[0] = TagDate;
        PutBigEndian32(w + 1, day ^ 0x80000000u);
        n = 5;
        break;
    }
    default:
        throw ETarnisError("Variant type cannot be sorted");
    }
    PutBigEndian32(w + n, RecordNumber);
    n += 4;
    if (textSize > 0) {
        std::memcpy(w + n, data, static_cast<size_t>(textSize));
        n += textSize;
    }
    return n;
}

int32_t TtvSort::KeyPartLength(const uint8_t* Form, int32_t Length) const {
    switch (Form[0]) {
    case TagNumber:
        return 9;
    case TagDate:
        return 5;
    default: {
        const void* mark = std::memchr(Form + 1, 0, static_cast<size_t>(Length - 1));
        return mark ? static_cast<int32_t>(static_cast<const uint8_t*>(mark) - Form) + 1
                    : Length - 4;
    }
    }
}

void TtvSort::DecodePair(const uint8_t* Form, int32_t Length, int32_t KeyPart, TtvVariant& Key,
                         int32_t& RecordNumber) const {
    RecordNumber = static_cast<int32_t>(GetBigEndian32(Form + KeyPart));
    const uint8_t tag = Form[0];
    if (tag == TagNumber) {
        uint64_t bits = (uint64_t{GetBigEndian32(Form + 1)} << 32) | GetBigEndian32(Form + 5);
        bits = (bits >> 63) ? bits ^ 0x8000000000000000u : ~bits;
        Key.SetNumber(std::bit_cast<double>(bits));
        return;
    }
    if (tag == TagDate) {
        Key.SetDate(static_cast<int32_t>(GetBigEndian32(Form + 1) ^ 0x80000000u));
        return;
    }
    // Unescape the bytes between the tag and the end mark into the key.
    const uint8_t* p = Form + 1;
    const uint8_t* end = Form + KeyPart - 1;
    Key.SetSize(static_cast<int32_t>(end - p));
    uint8_t* out = Key.Data.get();
    int32_t n = 0;
    while (p < end) {
        const uint8_t c = *p++;
        out[n++] = c == 1 && p < end ? static_cast<uint8_t>(*p++ - 1) : c;
    }
    if (tag == TagText && HasCollation) {
        const int32_t tail = Length - KeyPart - 4;
        if (CollationInjective || tail != n) {
            for (int32_t i = 0; i < n; ++i)
                out[i] = InverseCollation[out[i]];
        } else {
            std::memcpy(out, Form + KeyPart + 4, static_cast<size_t>(n));
        }
    }
    Key.SetSize(n);
    Key.Kind = tag == TagText ? vkText : vkRaw;
}

// ---- the trie ----

uint8_t* TtvSort::NodeAt(uint32_t Reference) const {
    --Reference;
    return Blocks[Reference >> 16].get() + (Reference & 0xFFFF) * NodeSize;
}

void TtvSort::EnsureRoom(int32_t Nodes) {
    const int32_t usedInBlock = BlockOffset / NodeSize;
    int64_t free = int64_t{NodesPerBlock - usedInBlock} +
                   int64_t{Limit.BlockCount - 1 - CurrentBlock} * NodesPerBlock;
    if (free < Nodes) Flush();
    // Make the blocks the insertion may reach now, so that it cannot fail halfway.
    int64_t beyond = Nodes - (NodesPerBlock - BlockOffset / NodeSize);
    for (size_t block = static_cast<size_t>(CurrentBlock) + 1; beyond > 0; ++block) {
        if (block == Blocks.size()) {
            Blocks.push_back(std::make_unique<uint8_t[]>(static_cast<size_t>(Limit.BlockSize)));
            Account(Limit.BlockSize);
        }
        beyond -= NodesPerBlock;
    }
}

uint32_t TtvSort::NewNode() {
    if (BlockOffset / NodeSize >= NodesPerBlock) {
        ++CurrentBlock;
        BlockOffset = 0;
    }
    const uint32_t slot = static_cast<uint32_t>(BlockOffset / NodeSize);
    BlockOffset += NodeSize;
    ++NodeCount;
    return ((static_cast<uint32_t>(CurrentBlock) << 16) | slot) + 1;
}

// Moves the first packed byte of a node into a child of its own, which takes the
// node's children, the rest of the packed bytes and the key end.
void TtvSort::Unpack(uint32_t Reference) {
    const uint32_t child = NewNode();
    uint8_t* p = NodeAt(Reference);
    uint8_t* c = NodeAt(child);
    const uint8_t packed = p[FlagsField] & PackedMask;
    std::memcpy(c + ChildField, p + ChildField, 4);
    c[ByteField] = p[SiblingField];
    uint8_t rest[4] = {};
    std::memcpy(rest, p + SiblingField + 1, 3);
    std::memcpy(c + SiblingField, rest, 4);
    c[FlagsField] = static_cast<uint8_t>((packed - 1) | (p[FlagsField] & KeyEnds));
    Store32(p + ChildField, child);
    Store32(p + SiblingField, 0);
    p[FlagsField] = 0;
}

void TtvSort::InsertKey(const uint8_t* Key, int32_t Length) {
    EnsureRoom(Length + 1);
    // cell: where the reference to the current level's first node is kept.
    uint8_t* cell = reinterpret_cast<uint8_t*>(&TrieRoot);
    uint8_t* last = nullptr;
    int32_t i = 0;
    while (i < Length) {
        const uint32_t first = Load32(cell);
        if (first && (NodeAt(first)[FlagsField] & PackedMask)) Unpack(first);
        const uint8_t b = Key[i++];
        uint32_t previous = 0, current = first;
        int d = 1;
        while (current) {
            const uint8_t* p = NodeAt(current);
            d = Ascending ? int{b} - p[ByteField] : int{p[ByteField]} - b;
            if (d <= 0) break;
            previous = current;
            current = Load32(p + SiblingField);
        }
        if (current && d == 0) {
            last = NodeAt(current);
            cell = last + ChildField;
            continue;
        }
        const uint32_t made = NewNode();
        uint8_t* p = NodeAt(made);
        Store32(p + ChildField, 0);
        p[ByteField] = b;
        if (!first) {
            // A fresh level: the node carries up to four more bytes of the key.
            const int32_t m = std::min(4, Length - i);
            uint8_t packed[4] = {};
            std::memcpy(packed, Key + i, static_cast<size_t>(m));
            std::memcpy(p + SiblingField, packed, 4);
            p[FlagsField] = static_cast<uint8_t>(m);
            i += m;
            Store32(cell, made);
        } else {
            Store32(p + SiblingField, current);
            p[FlagsField] = 0;
            if (previous)
                Store32(NodeAt(previous) + SiblingField, made);
            else
                Store32(cell, made);
        }
        last = p;
        cell = p + ChildField;
    }
    last[FlagsField] |= KeyEnds;
}

// ---- runs ----

void TtvSort::EmitWalkKey(int32_t Length, int32_t& Common) {
    CurrentRun->AppendRecord(WalkKey.data(), Length, Length - Common);
    Common = Length;
}

// Depth-first walk in list order. Common is the length of the prefix WalkKey still
// shares with the key written last: leaving a node cuts it to the node's depth.
void TtvSort::Walk() {
    WalkStack.clear();
    WalkStack.push_back({TrieRoot, 0, false});
    int32_t common = 0;
    while (!WalkStack.empty()) {
        TWalkFrame& frame = WalkStack.back();
        const uint8_t* p = NodeAt(frame.Node);
        const int32_t packed = p[FlagsField] & PackedMask;
        const int32_t end = frame.Depth + 1 + packed;
        const uint32_t child = Load32(p + ChildField);
        const bool keyEnds = (p[FlagsField] & KeyEnds) != 0;
        if (!frame.Entered) {
            frame.Entered = true;
            WalkKey[static_cast<size_t>(frame.Depth)] = p[ByteField];
            std::memcpy(WalkKey.data() + frame.Depth + 1, p + SiblingField,
                        static_cast<size_t>(packed));
            // Sort forms are prefix-free, so keys end at leaves; should a key end at a
            // node with children, it still comes out in its place: before the longer
            // keys ascending, after them descending.
            if (keyEnds && (Ascending || !child)) EmitWalkKey(end, common);
            if (child) {
                WalkStack.push_back({child, end, false});
                continue;
            }
        } else if (keyEnds && !Ascending) {
            EmitWalkKey(end, common);
        }
        common = std::min(common, frame.Depth);
        const uint32_t sibling = packed ? 0 : Load32(p + SiblingField);
        if (sibling)
            frame = {sibling, frame.Depth, false};
        else
            WalkStack.pop_back();
    }
}

int64_t TtvSort::RunBound(int64_t Nodes) const {
    return RunBoundFor(Limit, Nodes);
}

int32_t TtvSort::RunsAt(int32_t Level) const {
    return static_cast<int32_t>(std::count_if(
        Runs.begin(), Runs.end(), [Level](const auto& run) { return run->Level() == Level; }));
}

TtvSortFile& TtvSort::LevelFile(int32_t Level) {
    if (LevelFiles.size() <= static_cast<size_t>(Level)) LevelFiles.resize(Level + 1);
    auto& file = LevelFiles[static_cast<size_t>(Level)];
    if (!file) file = std::make_unique<TtvSortFile>(Limit.TempDirectory);
    return *file;
}

void TtvSort::Flush() {
    if (!TrieRoot) return;
    try {
        // Keep the pages of the runs in memory within the budget.
        if (ResidentRunBytes > 0 && ResidentRunBytes + RunBound(NodeCount) > Limit.ResidentBytes) {
            MergeLevel(0);
            Cascade(1);
        }
        auto run = std::make_unique<TtvPageCollection>(*this, 0, nullptr);
        CurrentRun = run.get();
        Walk();
        run->FinishWriting();
        CurrentRun = nullptr;
        Runs.push_back(std::move(run));
        ++Stat.TrieFlushes;
        CurrentBlock = 0;
        BlockOffset = 0;
        TrieRoot = 0;
        NodeCount = 0;
        Cascade(0);
    } catch (const std::exception& e) {
        Failure = e.what();
        throw;
    }
}

void TtvSort::Cascade(int32_t FromLevel) {
    for (int32_t level = FromLevel; RunsAt(level) >= Limit.MergeWidth; ++level)
        MergeLevel(level);
}

// Merges every run of a level into one run of the next level, on disk.
void TtvSort::MergeLevel(int32_t Level) {
    std::vector<TtvPageCollection*> inputs;
    for (const auto& run : Runs)
        if (run->Level() == Level) inputs.push_back(run.get());
    if (inputs.empty()) return;
    Stat.WidestMerge = std::max(Stat.WidestMerge, static_cast<int32_t>(inputs.size()));
    auto output = std::make_unique<TtvPageCollection>(*this, Level + 1, &LevelFile(Level + 1));
    for (TtvPageCollection* run : inputs)
        run->StartReading();
    TtvMergeTree tree(inputs, Ascending);
    int32_t previous = 0; // LastKey holds the key written last
    while (const TtvPageCollection* winner = tree.Winner()) {
        const uint8_t* key = winner->HeadKey();
        const int32_t length = winner->HeadSize();
        const int32_t limit = std::min(previous, length);
        int32_t common = 0;
        while (common < limit && LastKey[static_cast<size_t>(common)] == key[common])
            ++common;
        output->AppendRecord(key, length, length - common);
        std::memcpy(LastKey.data() + common, key + common, static_cast<size_t>(length - common));
        previous = length;
        tree.Advance();
    }
    output->FinishWriting();
    std::erase_if(Runs, [Level](const auto& run) { return run->Level() == Level; });
    if (Level >= 1) LevelFiles[static_cast<size_t>(Level)]->Empty();
    Runs.push_back(std::move(output));
    ++Stat.LevelMerges;
}

void TtvSort::StartRetrieval() {
    Flush();
    Inserting = false;
    LastKeyLength = -1;
    for (auto& block : Blocks) {
        block.reset();
        Account(-Limit.BlockSize);
    }
    Blocks.clear();
    Blocks.shrink_to_fit();
    WalkStack.clear();
    WalkStack.shrink_to_fit();
    if (Runs.empty()) return;
    try {
        for (int32_t level = 0; Runs.size() > static_cast<size_t>(Limit.MergeWidth); ++level)
            MergeLevel(level);
        std::vector<TtvPageCollection*> inputs;
        for (const auto& run : Runs) {
            run->StartReading();
            inputs.push_back(run.get());
        }
        Stat.WidestMerge = std::max(Stat.WidestMerge, static_cast<int32_t>(inputs.size()));
        Merge = std::make_unique<TtvMergeTree>(std::move(inputs), Ascending);
    } catch (const std::exception& e) {
        Failure = e.what();
        throw;
    }
}

// ---- the two operations ----

void TtvSort::AddSortKey(const TtvVariant& Key, int32_t RecordNumber) {
    CheckUsable();
    if (!Inserting) throw ETarnisError("Cannot add sort keys after beginning retrieval");
    if (Key.Size > MaxKeyLength) throw ETarnisError("Sort key length greater than 240 bytes");
    const int32_t length = MakeSortForm(Key, static_cast<uint32_t>(RecordNumber));
    InsertKey(WorkKey.data(), length);
    ++KeyCount;
}

bool TtvSort::NextSortKey(TtvVariant& Key, int32_t& RecordNumber) {
    CheckUsable();
    if (Inserting) StartRetrieval();
    if (!Merge) return false;
    try {
        while (const TtvPageCollection* winner = Merge->Winner()) {
            const uint8_t* form = winner->HeadKey();
            const int32_t length = winner->HeadSize();
            const int32_t keyPart = KeyPartLength(form, length);
            bool repeated = false;
            if (LastKeyLength >= 0) {
                // Unique: the same key value; otherwise the very same pair.
                const int32_t compared = Unique ? keyPart : length;
                repeated = (Unique ? KeyPartLength(LastKey.data(), LastKeyLength)
                                   : LastKeyLength) == compared &&
                           std::memcmp(LastKey.data(), form, static_cast<size_t>(compared)) == 0;
            }
            if (!repeated) {
                DecodePair(form, length, keyPart, Key, RecordNumber);
                std::memcpy(LastKey.data(), form, static_cast<size_t>(length));
                LastKeyLength = length;
                Merge->Advance();
                return true;
            }
            Merge->Advance();
        }
        // Every pair is out: give the memory back now.
        Merge.reset();
        Runs.clear();
        LevelFiles.clear();
        return false;
    } catch (const std::exception& e) {
        Failure = e.what();
        throw;
    }
}

} // namespace tarnis
