// TtvSort: the sorter behind every index build. A builder adds one (key, record
// number) pair per record with AddSortKey, then takes the pairs back in order with
// NextSortKey and writes its tree bottom-up.
//
// Order
//   Pairs come out by key value, then by record number (unsigned 32-bit); a
//   descending sort reverses both, so equal key values always come out in record
//   order of the sort's direction. Key values order as TtvVariant::Compare orders
//   them with the sort's collation table and prefix result -1:
//     vkText    trailing blanks removed, bytes through the collation table (when one
//               is given), a proper prefix before the longer text;
//     vkRaw     plain bytes, a proper prefix before the longer key;
//     vkNumber  numeric order; -0 is sorted and returned as 0; NaNs (which compare
//               with nothing) go before -inf or after +inf by their sign bit;
//     vkDate    the signed day number.
//   Keys of different kinds in one sort are grouped: raw, text, numbers, dates.
//   A unique sort returns only the first pair of each key value (the lowest record
//   number of an ascending sort). A pair added twice (same key bytes, same record
//   number) comes out once.
//
// Sort form (what the trie and the runs hold; at most MaxSortFormLength bytes)
//   byte 0   the kind tag: 16 raw, 32 text, 48 number, 64 date
//   raw/text the bytes (text: trimmed, then mapped through the collation table),
//            each 0x00 written as 01 01 and each 0x01 as 01 02, then a 0x00 end
//            mark. Without the end mark a record number byte would be compared with
//            the next byte of a longer key; with it no form is a prefix of another
//            and the shorter key still sorts first.
//   number   the IEEE bits big-endian: sign bit flipped when clear, every bit
//            flipped when set, so the bytes order as the numbers do. All 8 bytes are
//            kept: a form shortened by its trailing bytes would be compared with the
//            record number that follows it.
//   date     the day number big-endian with its sign bit flipped
//   then     the record number, 4 bytes big-endian
//   then     only for text under a collation table that gives two bytes the same
//            weight: the original text, which the weights cannot give back (a table
//            that is a permutation is simply inverted).
//
// Phase 1: the trie. Sort forms go into a character trie whose nodes live in at
// most BlockCount blocks of BlockSize bytes, handed out in order. A node is 10 bytes:
//   0 (4)  first child: first node of the next level; 0 = none
//   4 (4)  next sibling on the level, or, when bits 0..2 of the flags are not 0, up
//          to four more key bytes packed in place (such a node is alone on its level)
//   8 (1)  flags: bits 0..2 packed byte count, bit 3 a key ends after this node's bytes
//   9 (1)  the key byte
// A node reference is (block << 16 | slot) + 1. Each level is a list kept in sort
// order; a packed node is unpacked one byte at a time when a key branches inside it.
// A key of n bytes needs at most n + 1 new nodes: when the blocks cannot give that
// many, the trie is first written out as a run and the blocks are reused. The walk
// writes a key when it reaches its end node (ascending) or leaves it (descending), so
// a key that is a prefix of another still comes out in its place.
//
// Phase 2: runs (TtvPageCollection). A run is the trie's keys in order, in pages of
// PageSize bytes. Record: L (1 or 2 bytes: low 7 bits, 0x80 when a second byte holds
// L >> 7), S (same coding), then the last S bytes of the key; the first L - S bytes
// are those of the run's previous key. A 0 byte ends the records of a page (L is never
// 0, so the first byte of a record never is). The walk writes each trie node's bytes
// once, so a run holds at most 9 bytes per node plus the page ends.
//
// Phase 3: merging. Runs written from the trie (level 0) stay in memory while their
// pages fit in ResidentBytes; before a trie flush that might not fit, and whenever
// MergeWidth runs are at level 0, all level-0 runs are merged into one run at level
// 1, written to a temporary file. MergeWidth runs at level k are merged likewise into
// one at level k + 1, one temporary file per level (a level's file is emptied when
// its runs are merged). At the first NextSortKey the trie is written as a last run,
// its blocks are freed, the lowest levels are merged until at most MergeWidth runs
// remain, and those are merged as NextSortKey asks for pairs. Every merge picks the
// next key with a tree of losers over the run heads: about log2(runs) comparisons per
// key instead of a comparison with every run.
//
// Memory bound. The sorter's own buffers (trie blocks, run pages, page buffers of the
// runs on disk and the key buffer of each run being read) never exceed
//   BlockCount * BlockSize                       trie (1 310 720 bytes by default)
// + max(ResidentBytes, largest run of one trie)  runs in memory (8 MiB by default)
// + (MergeWidth + 1) * PageSize                  merge buffers (1 064 960 bytes)
// + MergeWidth * MaxSortFormLength               key buffers of the runs being read
// = MemoryBound(Limits): 10 810 752 bytes (about 10.3 MiB) by default, whatever the
// number of keys. Beyond that the sorter keeps about 150 bytes per run, at most
// MergeWidth runs per level and one more level per factor MergeWidth of trie flushes.
// Stats().PeakBytes reports the most it held at once.
//
// Temporary files are made with mkstemp in Limits.TempDirectory (empty: the system's
// temporary directory) and unlinked at once, so they vanish when the sorter goes, on
// every path including exceptions and crashes. A table that fits in ResidentBytes
// never touches the disk.
//
// Errors (ETarnisError):
//   "Sort key length greater than 240 bytes"            max key length above 240, or a
//                                                       key whose Size exceeds it
//   "Cannot add sort keys after beginning retrieval"    AddSortKey after NextSortKey
//   "Variant type cannot be sorted"                     a vkNone or vkLogical key
//   temporary files, through EngineError with Info = the directory: 3 "Path not found"
//   (or the mapped errno) with sub-code 1107 when the file cannot be made, 101 "Disk
//   write error" (1102), 100 "Disk read error" (1101), the mapped errno (1109) when it
//   cannot be emptied. After such a failure every later call repeats its message: the runs may
//   be incomplete and the sorter can only be destroyed.
#pragma once

#include "engine/base/tv6_tool.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tarnis {

class TtvSort;
class TtvSortFile;
class TtvMergeTree;

// Sizes the sorter works with. The defaults are those of a normal index build; tests
// use small ones to make a few thousand keys go through several runs and merges.
// Values out of range are brought into it: BlockSize 100 .. 655 360, BlockCount
// 1 .. 65 535 and at least 1 024 nodes in all, PageSize 2 048 .. 16 MiB, MergeWidth
// 2 .. 4 096, ResidentBytes 0 or more.
struct TtvSortLimits {
    int32_t BlockSize = 40960;       // bytes of one trie block (4 096 nodes)
    int32_t BlockCount = 32;         // trie blocks at most
    int32_t PageSize = 16384;        // bytes of one run page
    int64_t ResidentBytes = 8 << 20; // run pages kept in memory before runs go to disk
    int32_t MergeWidth = 64;         // runs merged at once
    std::string TempDirectory;       // where runs go to disk; empty = system temp dir
};

struct TtvSortStats {
    int32_t TrieFlushes = 0;  // runs written from the trie
    int32_t LevelMerges = 0;  // merges of runs into one run on disk
    int64_t SpilledBytes = 0; // bytes written to temporary files
    int32_t WidestMerge = 0;  // most runs merged at once
    int64_t PeakBytes = 0;    // most bytes of trie blocks, pages and key buffers held at once
};

// One sorted run: its pages in memory (runs written from the trie) or a region of a
// temporary file (runs written by a merge), read back one record at a time.
class TtvPageCollection {
public:
    // File null: the pages stay in memory.
    TtvPageCollection(TtvSort& Sorter, int32_t Level, TtvSortFile* File);
    TtvPageCollection(const TtvPageCollection&) = delete;
    TtvPageCollection& operator=(const TtvPageCollection&) = delete;
    ~TtvPageCollection();

    // Appends a record for Key (Length bytes) of which the last Suffix differ from the
    // previous key appended.
    void AppendRecord(const uint8_t* Key, int32_t Length, int32_t Suffix);
    // Writes the last page of a run on disk and frees the write buffer.
    void FinishWriting();
    // Reads the first record into the head key (or marks the run exhausted).
    void StartReading();
    // Replaces the head key by the next record; frees each page once read past.
    void ReadNext();
    bool Exhausted() const { return ReadPosition < 0; }
    const uint8_t* HeadKey() const { return Head.get(); }
    int32_t HeadSize() const { return HeadLength; }
    int32_t Level() const { return RunLevel; }

private:
    void StartPage();
    bool NextPage();
    void ReleaseAll();
    [[noreturn]] void Damaged() const;

    TtvSort& Sorter;
    std::vector<std::unique_ptr<uint8_t[]>> Pages; // in memory: every page not yet read
    std::unique_ptr<uint8_t[]> Head;               // the current key while reading
    int32_t HeadLength = 0;
    int32_t ReadPosition = -1;  // offset in CurrentPage; -1 = exhausted or not started
    int32_t WritePosition = -1; // -1 = no page yet
    uint8_t* CurrentPage = nullptr;
    uint32_t PageIndex = 0; // page being read
    uint32_t PageTotal = 0; // pages written
    int32_t RunLevel;
    TtvSortFile* File;                 // null for a run in memory
    uint64_t FileStart = 0;            // offset of the run's first page in File
    std::unique_ptr<uint8_t[]> Buffer; // run on disk: the page being written or read
};

class TtvSort {
public:
    static constexpr int32_t MaxSortKeyLength = 240;
    // Tag, 240 bytes escaped to 480 and the end mark, record number, 240 original bytes.
    static constexpr int32_t MaxSortFormLength =
        1 + 2 * MaxSortKeyLength + 1 + 4 + MaxSortKeyLength;
    static constexpr int32_t NodeSize = 10;

    // Raises "Sort key length greater than 240 bytes" when MaxKeyLength exceeds 240.
    // Collation (256 bytes, copied) or null orders text keys.
    TtvSort(int32_t MaxKeyLength, bool Unique, bool Ascending, const uint8_t* Collation,
            const TtvSortLimits& Limits = TtvSortLimits());
    TtvSort(const TtvSort&) = delete;
    TtvSort& operator=(const TtvSort&) = delete;
    virtual ~TtvSort();

    // Adds one pair; the key must be vkText, vkNumber, vkDate or vkRaw and is not
    // kept or changed.
    void AddSortKey(const TtvVariant& Key, int32_t RecordNumber);
    // The next pair in order, the key in the kind it was added with (text without its
    // trailing blanks); false when every pair was returned. The first call ends the
    // adding phase.
    bool NextSortKey(TtvVariant& Key, int32_t& RecordNumber);

    // The limits in force after bringing them into range, and the bound of the header
    // comment for them.
    const TtvSortLimits& Limits() const { return Limit; }
    static int64_t MemoryBound(const TtvSortLimits& Limits);
    const TtvSortStats& Stats() const { return Stat; }

    const bool Unique;    // only the first pair of equal key values
    const bool Ascending; // false sorts descending
    int64_t KeyCount = 0; // pairs added so far
    const int32_t MaxKeyLength;
    bool Inserting = true; // until the first NextSortKey

private:
    friend class TtvPageCollection;

    int32_t MakeSortForm(const TtvVariant& Key, uint32_t RecordNumber);
    int32_t KeyPartLength(const uint8_t* Form, int32_t Length) const;
    void DecodePair(const uint8_t* Form, int32_t Length, int32_t KeyPart, TtvVariant& Key,
                    int32_t& RecordNumber) const;

    uint8_t* NodeAt(uint32_t Reference) const;
    void EnsureRoom(int32_t Nodes);
    uint32_t NewNode();
    void Unpack(uint32_t Reference);
    void InsertKey(const uint8_t* Key, int32_t Length);
    void Flush();
    void Walk();
    void EmitWalkKey(int32_t Length, int32_t& Common);
    void MergeLevel(int32_t Level);
    void Cascade(int32_t FromLevel);
    int32_t RunsAt(int32_t Level) const;
    int64_t RunBound(int64_t Nodes) const;
    TtvSortFile& LevelFile(int32_t Level);
    void StartRetrieval();
    void CheckUsable() const;
    void Account(int64_t Bytes);

    struct TWalkFrame {
        uint32_t Node;
        int32_t Depth;
        bool Entered;
    };

    TtvSortLimits Limit;
    std::vector<TWalkFrame> WalkStack;
    std::vector<std::unique_ptr<uint8_t[]>> Blocks; // trie node memory
    std::vector<std::unique_ptr<TtvPageCollection>> Runs;
    TtvPageCollection* CurrentRun = nullptr; // the run the walk writes into
    int32_t NodesPerBlock;
    int32_t NodeCount = 0;                            // nodes handed out since the trie was emptied
    std::array<uint8_t, MaxSortFormLength> WorkKey{}; // the sort form being inserted
    std::array<uint8_t, MaxSortFormLength> WalkKey{}; // the key the walk assembles
    std::array<uint8_t, MaxSortFormLength> LastKey{}; // the last pair returned / merged
    int32_t LastKeyLength = -1;                       // -1 = none
    int32_t CurrentBlock = 0;
    uint32_t TrieRoot = 0;   // first node of the top level; 0 = empty
    int32_t BlockOffset = 0; // byte offset of the next free node
    bool HasCollation = false;
    bool CollationInjective = false;
    std::array<uint8_t, 256> Collation{};
    std::array<uint8_t, 256> InverseCollation{};
    std::vector<std::unique_ptr<TtvSortFile>> LevelFiles; // index = level; [0] unused
    std::unique_ptr<TtvMergeTree> Merge;                  // the final merge
    int64_t ResidentRunBytes = 0;                         // pages of runs held in memory
    int64_t HeldBytes = 0;
    TtvSortStats Stat;
    std::string Failure; // message of a failed flush or merge
};

} // namespace tarnis
