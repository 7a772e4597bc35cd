// TVobjSortCDX: builds one tag of a compound index file bottom-up from the sorted
// (key, record) pairs of the whole table.
//
// A build (TVobjCDXTag::BuildTag) feeds the key of every record that passes the FOR
// condition into this sorter (TtvSort with max key length = key length + 1, unique as
// the tag, ascending, the table's collation table), then WriteSorted takes the pairs
// back in order and fills the tree one level at a time, left to right:
//
//   LevelNodes[L]  the 512-byte node image being filled on level L (0 = leaves). A new
//                  image gets its future file position at once (AllocateNode) and keeps
//                  it in its right-sibling field (offset 8) until it is written; its
//                  left sibling is the node written before it on that level (-1 first).
//   leaves         the leaf layout comes from the key length and the table's record
//                  count at the start of the build. Each leaf starts with free space
//                  488 and a first key that shares nothing; an entry stores the key
//                  bytes between its duplicate count u (shared with the key before it
//                  in the leaf) and its trailing count t. A leaf is closed as soon as
//                  its free space drops below 2 * (EntryBytes + KeyLength + 8): room for
//                  two more maximal entries is always left.
//   branches       entries of KeyLength + 8 bytes: the key (blank-padded for 'C' tags,
//                  zero-padded otherwise), then its record number and the child's
//                  position, both big-endian. A branch is closed when it holds
//                  MaxBranchKeys entries. The bytes after the last entry stay 0x00.
//   closing        the node is written at its own position with right sibling -1 when
//                  it is the last node of its level, otherwise a newly allocated position
//                  (which the next node of the level receives); the same image goes on
//                  as that next node (left sibling = the written node, no keys), and the
//                  written node becomes an entry of the level above under its last key
//                  and that key's record number.
//   Finish         after the last pair, for each level from the leaves up: a node that
//                  holds keys is written with right sibling -1; when no level above
//                  exists it is the root (root bit added, the tag's RootPosition), else
//                  it becomes the last entry of the level above under the last key
//                  written and its record number.
//
// So every level is a left-to-right chain ending in -1, every position allocated for a
// node receives that node, every node is written exactly once, and the only reads are
// the table's records. Nodes are written in the order they close, so the positions of
// one level rise from left to right.
//
// Stored key bytes: the sorter gives back 'C' keys without trailing blanks and binary
// keys (numbers, dates, general-collation weights) as the tag stores them in memory. A
// leaf drops the trailing zero bytes of a number or date key (at least one byte stays)
// and stores general-collation weights as they are (0xF1..0xFF, without the nibble form
// that node updates write; reading gives both back the same). Branches carry the whole
// key.
//
// Decisions of this implementation:
// - The builder learns that no pair follows by taking the next pair from the sorter
//   before it writes the current one.
// - Finishing the tree is the separate Finish call, made by BuildTag once every pair is
//   written. The destructor only frees: when a build stops with an error, the nodes
//   already written stay in the file unreferenced and the tag's root is left as it was.
// - A tree deeper than the 32 levels of LevelNodes cannot arise in a file limited to
//   2 GiB (at least two entries per branch); it would be reported as a damaged index
//   file (2112).
#pragma once

#include "engine/index/tv6_cdx.h"
#include "engine/index/tv6_sort.h"

#include <array>
#include <cstdint>
#include <memory>

namespace tarnis {

class TVO_dBaseFld;

class TVobjSortCDX : public TtvSort {
public:
    static constexpr int32_t MaxLevels = 32;

    TVO_dBaseFld* Table; // the tag's table, or none
    TVobjCDXTag& Tag;    // the tag being written
    TtvVariant ThisKey;  // the key just taken from the sorter
    uint32_t KeysWritten = 0;
    uint32_t RecordTotal = 0; // the table's record count when the build started
    TtvVariant PreviousKey;   // the key written before ThisKey (in the same leaf)
    int32_t LastRecord = 0;   // record number of the last key written
    bool Finishing = false;
    std::array<std::unique_ptr<uint8_t[]>, MaxLevels> LevelNodes;

    // Max key length = the tag's KeyLength + 1 (so a key length of 240 raises "Sort key
    // length greater than 240 bytes"), unique as the tag, ascending, the table's
    // collation table.
    explicit TVobjSortCDX(TVobjCDXTag& Tag, const TtvSortLimits& Limits = TtvSortLimits());
    ~TVobjSortCDX() override;

    // Takes every pair from the sorter and writes the tag's nodes as they fill.
    void WriteSorted();
    // Writes the last node of every level and sets the tag's RootPosition. Nothing is
    // written when no key was written.
    void Finish();

private:
    // Adds (Key, Record) to level Level; Child is the position of the node it stands for
    // (levels above 0). Last: no further entry follows on this level.
    void AddToLevel(int32_t Level, int32_t Child, int32_t Record, const TtvVariant& Key, bool Last);
    void AddLeafEntry(uint8_t* Image, int32_t Record, const TtvVariant& Key);
    void AddBranchEntry(uint8_t* Image, int32_t Child, int32_t Record, const TtvVariant& Key);
    // Writes a full node and continues its image as the next node of the level.
    void CloseNode(int32_t Level, int32_t Record, const TtvVariant& Key, bool Last);
    uint8_t* NewImage(int32_t Level);
    // The number of bytes a leaf stores of Key (before its trailing count).
    int32_t LeafLength(const TtvVariant& Key) const;

    TCDXLeafLayout Layout;
    int32_t Threshold = 0; // a leaf with less free space than this is closed
};

} // namespace tarnis
