// The compound index file (".CDX"): any number of tags of one table in one file.
//
// The file is a sequence of 512-byte blocks addressed by byte offset; space is only
// ever added at the end. Integers are little-endian except the record numbers and
// child positions inside branch entries, which are big-endian. The first tag, the tag
// directory, is an ordinary tree whose keys are the names of the other tags and whose
// "record numbers" are the positions of their headers. A new file is 1536 bytes: the
// directory header at 0 and the directory's empty root leaf at 1024.
//
// Tag header (1024 bytes at the tag's HeaderPosition):
//     0   4  root node position
//     4   4  free-node list: written 0, never read
//     8   4  change counter (Version); used in the directory header only
//    12   2  key length in bytes (1 to 240)
//    14   1  options: 0x01 unique, 0x08 FOR condition, 0x20 and 0x40 always set,
//            0x80 the tag directory; rebuilt when written (0x60 or 0xE0 plus the unique
//            and FOR bits), other bits found in a file are dropped
//    15   1  signature: written 1, or 2 with the collation name GENERAL; not checked
//    16 478  zero
//   494   8  collation name, zero-terminated: "GENERAL", "MACHINE" or empty; only
//            GENERAL is written back (a MACHINE tag orders keys the same way as one
//            without a name)
//   502   2  order: 0 ascending, 1 descending
//   504   2  length of the key expression + 1 (the directory's empty one gives 1)
//   506   2  length of the FOR expression + 1; 1 without one
//   508   2  zero
//   510   2  the same as 504
//   512 512  the key expression, a zero byte, the FOR expression, a zero byte, zeros
//
// Node (512 bytes):
//     0   2  attributes: bit 0 root, bit 1 leaf (0 branch, 1 root branch, 2 leaf,
//            3 root leaf)
//     2   2  number of keys
//     4   4  left sibling position, -1 = none
//     8   4  right sibling position, -1 = none
//
// Branch node, from offset 12: up to MaxBranchKeys = 500 div (key length + 8)
// entries of key length + 8 bytes: the key padded with blanks ('C' tags) or zeros,
// its record number (big-endian), the child's position (big-endian). The key of an
// entry is the highest key of its child. The unused rest is filled with the padding
// byte.
//
// Leaf node (compressed), after the common header:
//    12   2  free space: bytes of the 488-byte area not used
//    14   4  record-number mask
//    18   1  duplicate-count mask
//    19   1  trailing-count mask
//    20   1  record-number bits
//    21   1  duplicate-count bits
//    22   1  trailing-count bits
//    23   1  bytes per entry
//    24 488  entries from the front, key bytes from the back
// Entry i is EntryBytes bytes at 24 + i * EntryBytes. Read as a little-endian number
// its low RecordBits bits are the record number; its last two bytes, a little-endian
// word w, hold the trailing count t = (w >> (16 - TrailBits)) & TrailMask and the
// duplicate count u = (w >> (16 - TrailBits - DuplicateBits)) & DuplicateMask. Key i
// shares its first u bytes with key i - 1, has its last t bytes dropped (blanks of a
// 'C' key, zero bytes of a number), and stores the key length - u - t bytes between,
// back to back from the end of the area, the first key at the end.
//
// Leaf layout, computed at every leaf write: b = the bit length of the key length
// (8 -> 4, 10 -> 4, 40 -> 6, 240 -> 8); DuplicateBits = TrailBits = b, both masks
// 2^b - 1; three-byte entries with RecordBits = 24 - 2b, growing by a byte (8 more
// record bits) while the mask is below the highest value to store: the table's
// record count (or any higher record number in the node) for a tag, the file size for
// the directory. A mask that would pass 0x7FFFFFFF becomes 0x7FFFFFFF with 31 bits.
//
// Splits. A leaf splits when its keys need 488 bytes or more: the entries whose
// running cost (stored bytes + entry bytes) stays below 250 go to a new node at the
// end of the file, the rest stay at the node's own position (the split repeats while
// the rest still does not fit); the new node goes into the sibling chain before the
// node and into the parent before the node's entry. A branch splits above
// MaxBranchKeys entries, the larger half going left. A root that splits gets a new
// root at the end of the file; the tag header is rewritten with it.
//
// Stored keys (ConvertKey):
//   'C'  the text (other values made text), trailing blanks removed, cut to the key
//        length. Under the general collation the text's weight string (see the .cpp),
//        then brought into the form that reading a node gives back: trailing weight
//        bytes 0xF0..0xFF stay in that form, trailing bytes below 0x10 take it too
//        (they are written as their low four bits), and trailing 0x20 bytes, which a
//        reader cannot tell from padding, are dropped. So a key compares the same in
//        memory and after it was written and read.
//   'N'  the double's 8 bytes big-endian, with the sign bit set for a value >= 0 and
//        all bits inverted for a negative one (-0 counts as 0), so that the byte
//        order is the numeric order. 'D' keys are the day number as such a double.
//        In memory these keys always have all 8 bytes. A leaf drops trailing zero
//        bytes (1.0 is stored as BF F0, 0 as 80) and a reader puts them back; trailing
//        0xFF bytes of a negative number are kept in the leaf (-1.0 is stored as
//        40 0F FF FF FF FF FF FF), as other xBase programs write and read them, so
//        every program reads the same number back and negative keys keep their order.
//        Branch entries carry all 8 bytes.
//   A logical key expression makes a 'C' tag whose key is "T" or "F".
//
// Decisions of this implementation:
// - A stored key longer than the key length (a 'C' value longer than the value of
//   the record the tag was defined on, a long weight string, a long tag name) is cut
//   to the key length, as in other xBase programs.
// - A header or node read short (a truncated file) is damaged: the header makes the
//   file invalid, a node is reported as error 2112. So are a header with key length
//   0, a node position that is not a multiple of 512, node attributes above 3, a
//   branch with more than MaxBranchKeys keys, a leaf whose layout bytes are
//   inconsistent (entry bytes outside 3..8, duplicate and trailing bits above 16 or
//   beyond the entry, masks that do not match their bit counts, a record mask wider
//   than its bits), whose entries do not fit the area, or whose counts point outside
//   the key or the area.
// - While reading a leaf the bytes a key drops are put back in the work buffer (blanks
//   for 'C', zeros otherwise), so a following key that shares more than the previous
//   key's stored bytes (as some writers do) reads correctly.
// - The end of the file used for new nodes is rounded up to a multiple of 512.
// - A node emptied by a deletion is unlinked from its neighbours when it is written.
// - The table is marked as having a production index only when its name equals this
//   file's name up to the extension's dot (the dot included).
// - A 'C' key cut to the key length loses the blanks the cut leaves at its end, as
//   every stored 'C' key does.
//
// Building and maintaining tags (TVobjSortCDX.h has the node writer):
//   DefineTag    fixes the options and the key (type and length from the key of the
//                table's current record: 'C' its length, 'N' and 'D' 8, the directory
//                'C' 10), clears the header and builds the tag (BuildTag).
//   BuildTag     reads every record straight from the table file (deleted ones too),
//                sorts the keys of those that pass the FOR condition and writes the
//                tree bottom-up; progress goes through the table's StatusReport:
//                  (-1, 1, record count), (1, r, 0) per record, (0, 0, 0),
//                  (-1, 2, record count), (2, keys written, 0) per key, (0, 0, 0).
//                A tag without keys gets an empty root leaf; the directory always does.
//   CreateTag    adds a tag (collation MACHINE, written without a name) or replaces
//                the tag of that name: afterwards the directory holds one entry for
//                the name, pointing at the new header. A replaced tag's header and
//                nodes stay in the file unused.
//   DeleteTag    removes the tag's directory entry; its space stays used until
//                RebuildAll, which runs when the last tag goes (leaving 1536 bytes).
//   RebuildAll   under the whole-file lock: truncates the file to 1536 bytes, writes
//                an empty directory (change counter 0), then for each tag in Tags
//                order its header and its nodes, entering it in the directory.
//   UpdateRecordKeys counts every record update in the directory's Version, which
//                reaches the file with the directory header; ChangedExternally (shared
//                files only) compares the counter in the file with it.
// Names given to CreateTag and DeleteTag are trimmed, upper-cased with the table's
// translation table and cut to the directory's key length (10): a tag is known by what
// its directory entry holds. They select a tag whose whole name is equal, ignoring
// case: DEV does not select DEVDIST.
// Sorter errors ("Sort key length greater than 240 bytes", which a key length of 240
// gives, and a record key longer than key length + 1), expression errors and disk
// errors end a build with their exception. The file is kept consistent:
// - CreateTag builds the new tag before it touches the directory: a failed or refused
//   definition (the key gives no value, or an empty one) changes no tag and no directory
//   entry, and answers false or raises; the blocks the build wrote stay unused.
// - RebuildAll refuses a tag of key length 240 before it changes anything; a tag whose
//   build fails later gets an empty root and is left out of the directory (so it is
//   gone when the file is opened again), the other tags are rebuilt, the lock is
//   released, and then the first error is raised.
// - A key of exactly key length + 1 bytes is cut to the key length, as ConvertKey cuts
//   every longer key.
// - Callers that keep a tag (the table handler's master tag) must let it go before
//   CreateTag replaces it or DeleteTag removes it: the object is freed.
// - Builds always read the table file: a compound file without a disk file is never
//   valid, and its CreateTag, DeleteTag and RebuildAll do nothing (false).
// - Tags read with the general collation keep it through RebuildAll; new tags never
//   get it.
#pragma once

#include "engine/index/tv6_indx.h"
#include "engine/index/tv6_sort.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnis {

class TVobjCDXFile;

constexpr int32_t CdxBlockSize = 512;
constexpr int32_t CdxHeaderSize = 1024;
constexpr int32_t CdxLeafArea = 488;
constexpr int32_t CdxBranchArea = 500;
constexpr int32_t CdxMaxKeyLength = 240;
constexpr uint8_t CdxOptionUnique = 0x01;
constexpr uint8_t CdxOptionFor = 0x08;
constexpr uint8_t CdxOptionTag = 0x60;
constexpr uint8_t CdxOptionDirectory = 0x80;

// The compressed-leaf layout for a key length and the highest value to store.
struct TCDXLeafLayout {
    uint32_t RecordMask = 0;
    uint8_t DuplicateMask = 0;
    uint8_t TrailMask = 0;
    uint8_t RecordBits = 0;
    uint8_t DuplicateBits = 0;
    uint8_t TrailBits = 0;
    uint8_t EntryBytes = 0;
};
TCDXLeafLayout CDXLeafLayout(int32_t KeyLength, uint32_t Highest);

// The 8 bytes of a number key (before a leaf drops its trailing zero bytes).
void CDXNumberKey(double Value, uint8_t Out[8]);
// The weight string of a text under the general collation.
std::string CDXGeneralWeights(std::string_view Text);

class TVobjCDXTag : public TVobjIndexTag {
public:
    uint8_t Options = CdxOptionTag;
    uint8_t Collation = 0; // 0 none, 1 MACHINE, 2 (and above) GENERAL
    uint32_t Version = 0;  // change counter (header offset 8)

    // Header -1 allocates the two header blocks at the end of the file; otherwise the
    // header is read, and a failure marks the file's HeaderDamaged. The name is
    // upper-cased.
    TVobjCDXTag(TVobjCDXFile* File, std::string Name, int32_t Header);
    // Releases the path and writes a changed header while the node writers exist.
    ~TVobjCDXTag() override;

    void ConvertKey(TVobjIndexKeyData& Key) override;
    // Fixes the options and the key type and length, then builds the tag. False (and
    // nothing written) when the key expression gives no value for the current record,
    // or an empty 'C' value, which no key length can hold.
    bool DefineTag(const std::string& Name, const std::string& KeyExpr, const std::string& ForExpr,
                   bool Ascending, bool Unique) override;
    // The framework's insertion with the key's RecordNumber set to its Reference.
    bool AddKey(const TVobjIndexKeyData& Key) override;
    // Reads the header's root position.
    int32_t ReadRootPosition() override;
    bool ReadNode(int32_t Position, TVobjIndexKey& Node) override;
    bool WriteNode(int32_t Position, TVobjIndexKey& Node) override;
    bool ReadHeader() override;
    // Only when HeaderChanged.
    bool WriteHeader() override;

    bool IsDirectory() const { return (Options & CdxOptionDirectory) != 0; }
    bool GeneralCollation() const { return KeyType == 'C' && Collation >= 2 && !IsDirectory(); }

    // (Re)builds the tag's nodes from the table (the directory: an empty root) and
    // writes its header. The cached path is dropped unwritten first: its nodes belong
    // to the old tree.
    void BuildTag();
    // The stored form of an evaluated key, not cut to the key length (ConvertKey is
    // StoredForm, then CutToKeyLength).
    void StoredForm(TVobjIndexKeyData& Key);
    // A stored form longer than the key length cut to it, in the form reading the node
    // gives back.
    void CutToKeyLength(TVobjIndexKeyData& Key);
    // RootPosition := a new node holding an empty root leaf.
    void WriteEmptyRoot();
    // Drops the cached path without writing it.
    void DiscardPath();

private:
    bool DecodeLeaf(const uint8_t* Image, TVobjIndexKey& Node);
    bool DecodeBranch(const uint8_t* Image, TVobjIndexKey& Node);
    void EncodeLeaf(uint8_t* Image, TVobjIndexKey& Node);
    void EncodeBranch(uint8_t* Image, TVobjIndexKey& Node);
    // Writes the image of a part split off Node at a new position and links it in.
    void SplitOff(uint8_t* Image, TVobjIndexKey& Node, const TVobjIndexKeyData& Last, uint8_t Fill);
    // Sets one sibling field (4 left, 8 right) of the node at Position on disk.
    void PatchSibling(int32_t Position, int32_t Offset, int32_t Value);
    uint32_t HighestValue(const TVobjIndexKey& Node) const;
};

class TVobjCDXFile : public TVobjIndexFile {
public:
    // The tag directory, kept out of Tags.
    std::unique_ptr<TVobjCDXTag> StructuralTag;
    // The sizes the sorter of a build works with (tests make them small), and what the
    // sorter of the last build reported.
    TtvSortLimits SortLimits;
    TtvSortStats BuildStats;

    // Opens (or, with Create, makes) the file and reads its tag directory; Valid
    // tells whether that worked. See the .cpp for the steps.
    TVobjCDXFile(TVO_dBaseFld* Table, const std::string& FileName, bool ReadWrite, bool Shared,
                 bool Create, bool Overwrite);
    // Frees the directory, then the tags, while the compound writers still exist.
    ~TVobjCDXFile() override;

    bool CreateTag(const std::string& Name, const std::string& KeyExpr, const std::string& ForExpr,
                   bool Ascending, bool Unique) override;
    bool DeleteTag(const std::string& Name) override;
    int32_t AllocateNode() override;
    int32_t FindFileEnd() override;
    void RebuildAll() override;
    // The directory's Version + 1 (written with its header), then every tag.
    bool UpdateRecordKeys(int32_t Record, bool Appended) override;
    // On a shared file: whether the change counter in the file differs from Version.
    bool ChangedExternally() override;
    // The directory too: its header carries the change counter to the file.
    void WriteBackChanges() override;
    void ReloadHeaders() override;

private:
    // A tag name as the directory holds it: trimmed, translated, cut to its key length.
    TVobjIndexKeyData DirectoryKey(const std::string& Name) const;
    // The last tag whose name equals the key's text, ignoring case; -1 when none.
    int32_t TagIndexFor(const TVobjIndexKeyData& Key) const;
};

} // namespace tarnis
