// The index framework: what every index format shares, independent of the bytes on
// disk.
//
//   TVobjIndexFile     one open index file holding one or more tags
//   TVobjIndexTag      one ordering of a table: key and FOR expressions, options, a
//                      range, a current position and one cached path of nodes
//   TVobjIndexKey      one node of a tag's tree, held in memory as its entries
//   TVobjIndexKeyData  one entry: a stored key and two 32-bit numbers
//
// A format (tv6_cdx.h for the compound file) derives from the file and tag classes
// and overrides the virtual operations that read and write headers and nodes, turn
// a key into its stored form, and create, delete and rebuild tags.
//
// Trees. Every node holds its entries in key order. In a leaf an entry is a key with
// its record number (in both RecordNumber and Reference). In a branch an entry is the
// highest key of one child, with that key's record number in RecordNumber and the
// child's byte position in Reference. All leaves are on the same level. A file that
// is RecordOrdered keeps equal keys in record-number order, so every (key, record)
// pair has exactly one place.
//
// The cached path. A tag keeps exactly one root-to-leaf path of node objects in
// memory: RootNode, its Child, that node's Child, and so on. Every other node is read
// again when needed. A changed node is written when it leaves the path (its parent
// descends elsewhere, the path is released, the tag is freed), never earlier; the
// format splits it at that moment when its entries no longer fit. Operations that
// change a tag start from a fresh path, so a node being written holds at most a few
// entries more than it can store.
//
// Key comparison. Keys compare as TtvVariant values (tv6_tool.h) through the table's
// collation table, with a prefix result chosen by the caller:
//   -1  insertion, deletion, exact seeks, the old-key search of an update: a search
//       text that begins a longer stored key sorts before it
//    0  seeks with ExactMatch false, range checks, the low bound of MoveTop: such a
//       prefix matches
//    1  the high bound of MoveBottom: keys that begin with the bound stay inside
// ReverseCompare negates every comparison (a format storing descending tags in
// descending order); Descending mirrors navigation while the stored order stays
// ascending (the compound format).
//
// Damaged files. A node position outside the file, a key count beyond its node,
// leaf masks that make no sense, or a child link back to a node already on the path
// are reported as error 2112 (damaged index file, the file name as info) through the
// file's ReportError; no read ever leaves the node's bytes. When the error handler
// returns instead of raising, the operation stops and reports "no key".
//
// Decisions of this implementation:
// - After a search that ends past the last key every level of the path stands at its
//   entry count. MovePrior from there steps back onto the last key, in a one-level
//   and in a many-level tree alike.
// - A search that meets a child reference it cannot follow reports 2112 and then
//   behaves as though the key were not found.
// - A tree deeper than MaxTreeDepth levels is treated as damaged.
// - A root branch that loses its last entry becomes an empty root leaf (and is
//   written as one); a root branch without entries found in a file is treated as an
//   empty root leaf too, so the next insertion goes into a leaf.
// - A node emptied by a deletion is removed from its parent; the format also unlinks
//   it from its left and right neighbours when it writes it, so a walk along the
//   sibling links never meets it.
// - AddKey does not insert a (key, record) pair that a RecordOrdered tag already
//   holds; it positions on it and answers true.
// - KeyLookup on a tag whose cached path holds unwritten changes writes the path
//   first and afterwards positions the tag on its current key again, so the lookup
//   reads what the tag holds; the tag's AtBof and AtEof are kept as well.
// - "The physically last key" (where AddKey appends a key beyond all others) is the
//   last stored key, found on a fresh path whatever the range or direction.
// - A move's range check with only a low bound compares the key with that bound.
// - SetRange on a tag without a cached path loads its root first, so the move to
//   the range's first key has a tree to move in.
// - GoFirst and GoLast pass over a child without keys (left by another program)
//   instead of stopping there.
// - When a child that leaves the path is split as it is written, the parent's entry
//   for the child being descended to is found again (the split inserted an entry
//   before it).
// - UpdateKey on a tag without a compiled key expression changes nothing and answers
//   false.
// - Index file names: only the file-name part is upper-cased; the directory keeps its
//   letter case (file names on Linux are case-sensitive; the file layer finds the
//   entry whose name matches ignoring case).
#pragma once

#include "engine/base/tv6_tool.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnis {

class TVO_DiskFile;
class TVO_dBaseFld;
class TtvExpHandler;
class TVobjIndexFile;
class TVobjIndexTag;

// Engine code of a damaged index file, reported with NoSubCode and the file name.
namespace ec {
constexpr int32_t IndexDamaged = 2112;
} // namespace ec

// The record number that makes a search pass over all equal keys (it finds the
// place after the last of them).
constexpr int32_t AfterEqualKeys = 0x7FFFFFFF;

// Deepest tree the framework follows; deeper paths are damage (a loop of child links
// through distinct nodes, for instance).
constexpr int32_t MaxTreeDepth = 64;

// Edge flags of GetCurrent.
constexpr uint8_t KeyAtFirst = 1;
constexpr uint8_t KeyAtLast = 2;

// ---------------------------------------------------------------------------
// TVobjIndexKeyData: a stored key (the inherited value: vkText for character keys,
// vkRaw for binary ones) with its record number and a reference. A new entry has both
// numbers 0; copying copies the value and both numbers.
// ---------------------------------------------------------------------------
class TVobjIndexKeyData : public TtvVariant {
public:
    int32_t RecordNumber = 0;
    // A leaf entry: the record number again. A branch entry: the child's position.
    int32_t Reference = 0;

    explicit TVobjIndexKeyData(uint16_t InitialCapacity = 0) : TtvVariant(InitialCapacity) {}
    TVobjIndexKeyData(const TVobjIndexKeyData&) = default;
    TVobjIndexKeyData& operator=(const TVobjIndexKeyData&) = default;

    // The value and both numbers of Other.
    void AssignKey(const TVobjIndexKeyData& Other);
};

// ---------------------------------------------------------------------------
// TVobjIndexKey: one node in memory. The entries are owned by the node (the list is
// a vector of owned entries, the language's form of an owning collection).
// ---------------------------------------------------------------------------
class TVobjIndexKey : public TtvObject {
public:
    std::vector<std::unique_ptr<TVobjIndexKeyData>> Entries;
    int32_t NodePosition = 0; // 0 = not yet allocated
    int32_t LeftSibling = -1; // -1 = none
    int32_t RightSibling = -1;
    TVobjIndexKey* Parent = nullptr;      // none at the root
    std::unique_ptr<TVobjIndexKey> Child; // the one child object loaded below
    TVobjIndexTag* Owner;
    uint8_t NodeKind = 0;      // 1 root made by GrowRoot, 2 branch, 3 leaf; 0 before loading
    int32_t CurrentEntry = -1; // -1 = before the first entry
    bool Changed = false;      // write when released
    bool OwnsParent = false;   // this node made its parent (GrowRoot) and frees it
    bool WasSplit = false;     // split while written: a parent must reload it
    // Copies of a compound leaf's header, filled and used only by that format.
    uint16_t FreeSpace = 0;
    uint32_t RecordMask = 0;
    uint8_t DuplicateMask = 0;
    uint8_t TrailMask = 0;
    uint8_t RecordBits = 0;
    uint8_t DuplicateBits = 0;
    uint8_t TrailBits = 0;
    uint8_t EntryBytes = 0;
    bool AtFirst = false; // edge flags computed by GetCurrent
    bool AtLast = false;
    // The parent GrowRoot made for this node while it was written (OwnsParent).
    std::unique_ptr<TVobjIndexKey> OwnedParent;

    // Loads the node when Position is above 0.
    TVobjIndexKey(TVobjIndexTag* Tag, int32_t Position, TVobjIndexKey* Parent);
    TVobjIndexKey(const TVobjIndexKey&) = delete;
    TVobjIndexKey& operator=(const TVobjIndexKey&) = delete;
    // Releases the node when Release was not called; errors are swallowed there, so
    // callers that want to see them call Release first.
    ~TVobjIndexKey() override;

    int32_t Count() const { return static_cast<int32_t>(Entries.size()); }
    TVobjIndexKeyData* At(int32_t Index) const { return Entries[static_cast<size_t>(Index)].get(); }
    bool IsLeaf() const { return NodeKind >= 3; }
    // The last node of the path below: the first leaf or the node without Child.
    TVobjIndexKey* Deepest();

    // Frees the path below this node (deepest first), then writes this node when
    // Changed, then writes and drops the parent it made (OwnsParent).
    void Release();

    // Empties the node and reads it through the tag's ReadNode; Changed := false.
    void Load();
    // Allocates a position when it has none, then the tag's WriteNode.
    void Store();
    // Positions the path below this node on the key; -1 first greater entry, 0 the
    // match, 1 past the last entry. Record -1 ignores record numbers, AfterEqualKeys
    // passes over equal keys, any other number looks for that (key, record) pair.
    int32_t Search(int32_t Record, const TVobjIndexKeyData& Key, int32_t Prefix);
    // Makes Child the object of the node at Position; false for a reference the path
    // cannot follow (0, past NextFree, a node already on the path, deeper than
    // MaxTreeDepth, or a node that cannot be read), which is reported as 2112.
    bool DescendTo(int32_t Position);
    bool GoFirst();
    bool GoLast();
    bool GoNext();
    bool GoPrior();
    bool Reread();
    // Copies the current leaf entry into Key; KeyAtFirst / KeyAtLast.
    uint8_t GetCurrent(TVobjIndexKeyData& Key);
    // At the current position of the deepest node (after it when After).
    void InsertEntry(const TVobjIndexKeyData& Key, bool After);
    // Removes the current entry of the deepest node.
    void DeleteEntry();
    void RemoveFromParent();
    void ReplaceParentKey(const TVobjIndexKeyData& Key);
    // Puts Key into the parent just before the entry for this node (a split's new
    // left part); makes a new root when the node has no parent.
    void InsertIntoParent(const TVobjIndexKeyData& Key);
    // First entry whose Reference is Position; -1 when none.
    int32_t FindEntryFor(int32_t Position) const;

private:
    bool Released = false;
    // Depth of this node below the root of its path (0 at the root).
    int32_t Depth() const;
    bool OnPathAbove(int32_t Position) const;
    void CopyCurrentToTag();
};

// ---------------------------------------------------------------------------
// TVobjIndexTag
// ---------------------------------------------------------------------------
class TVobjIndexTag : public TtvObject {
public:
    std::string IndexKind = "UNK"; // each format sets its own ("CDX", ...)
    std::string TagName;
    std::optional<std::string> KeyExpression;
    int16_t KeyLength = 0;      // bytes of a stored key
    uint16_t EntrySize = 0;     // bytes of one branch entry: KeyLength + 8
    uint16_t MaxBranchKeys = 0; // entries one branch node holds
    std::optional<std::string> ForExpression;
    TVobjIndexKeyData RangeLow;  // empty = no bound
    TVobjIndexKeyData RangeHigh; // empty = no bound
    bool LowInclusive = false;
    bool HighInclusive = false;
    bool RangeEmpty = false; // every move ends at once
    TVobjIndexFile* IndexFile;
    int32_t HeaderPosition; // a format allocates one when given -1
    int32_t RootPosition = 0;
    std::unique_ptr<TVobjIndexKey> RootNode; // the cached path starts here
    bool HeaderChanged = false;
    bool Ascending = true;
    bool Unique = false;
    bool HasFor = false;
    char KeyType = 'C'; // 'C', 'N' or 'D'
    // The entry the tag stands on; Reference is the current record, 0 = none.
    TVobjIndexKeyData CurrentKey;
    bool AtBof = false;
    bool AtEof = false;
    bool KeyUpdated = false;
    bool ReverseCompare = false;
    bool Descending = false;
    bool Updating = false; // only inside UpdateKey
    std::unique_ptr<TtvExpHandler> KeyHandler;
    std::unique_ptr<TtvExpHandler> ForHandler;

    TVobjIndexTag(TVobjIndexFile* File, std::string Name, int32_t HeaderPosition);
    TVobjIndexTag(const TVobjIndexTag&) = delete;
    TVobjIndexTag& operator=(const TVobjIndexTag&) = delete;
    // Releases the cached path and writes a changed header. A format's destructor
    // does this first itself, while its own node and header writers still exist.
    ~TVobjIndexTag() override;

    // ---- virtual operations, in slot order ----

    // Turns an evaluated key value into its stored, comparable form. Nothing here.
    virtual void ConvertKey(TVobjIndexKeyData& Key);
    // Stores both texts, Ascending and Unique; HasFor := a non-empty FOR text;
    // compiles both expressions. Answers false (nothing is built here).
    virtual bool DefineTag(const std::string& Name, const std::string& KeyExpr,
                           const std::string& ForExpr, bool Ascending, bool Unique);
    // Inserts a key (see the .cpp for the steps); false when a Unique tag already
    // holds the value or the tag has no tree.
    virtual bool AddKey(const TVobjIndexKeyData& Key);
    virtual int32_t ReadRootPosition();
    virtual bool ReadNode(int32_t Position, TVobjIndexKey& Node);
    virtual bool WriteNode(int32_t Position, TVobjIndexKey& Node);
    virtual bool ReadHeader();
    virtual bool WriteHeader();
    // Compiles KeyExpression through the table's expression link (none without a
    // table or text).
    virtual void CompileKeyExpression();
    virtual void CompileForExpression();
    // Evaluates the key for the table's current record into Key. Flag := true. False
    // without a compiled key expression.
    virtual bool EvaluateKey(TVobjIndexKeyData& Key, bool& Flag);
    // True when the FOR condition gives a logical true; false without one.
    virtual bool EvaluateFor();

    // ---- public operations ----

    // Positions on the first key not less than Key (its Reference a record number
    // or -1) and answers the record when that key matches and lies in the range.
    int32_t Seek(const TVobjIndexKeyData& Key);
    // Seek on a private path: the cached path and CurrentKey stay as they were.
    int32_t KeyLookup(const TVobjIndexKeyData& Key);
    // MoveNext, MovePrior, MoveTop, MoveBottom, MoveSame (tv6_DBF.h); any other code
    // only clears CurrentKey.Reference. Answers the record, 0 = no key.
    int32_t Move(int32_t Code);
    // Where CurrentKey lies against the range: 0 inside, -1 above (or AtBof), 1 or 2
    // below (1 also at AtEof and for an empty range).
    int32_t RangeCheck();
    // Low and High may be null (no bound); no bounds clear the range. Moves to the
    // range's first key and answers its record.
    int32_t SetRange(const TtvVariant* Low, bool LowIncl, const TtvVariant* High, bool HighIncl);
    int32_t SyncToRecord(int32_t Record);
    // Maintains the tag for one record the table has just written; the table's
    // SavedRecord holds the record as it was before the write.
    bool UpdateKey(int32_t Record, bool Appended);
    // Writes and drops the cached path, then a changed header.
    void ReleaseNodes();
    // ReleaseNodes, load the root, then 0: first key, 1: the table's current record,
    // 2: no positioning.
    void ResetNodes(int32_t Mode);
    std::string KeyExpressionText() const;
    // Puts a new root above Node, a root that is splitting (used by a format's
    // WriteNode). Node owns the new root until it has written it.
    void GrowRoot(TVobjIndexKey& Node);

    // Compare of two stored keys with the table's collation and ReverseCompare.
    int32_t CompareKeys(const TtvVariant& A, const TtvVariant& B, int32_t Prefix) const;
    // The table's collation table, or none.
    const uint8_t* CollationTable() const;
    // The key of the table's current record in stored form, with Record as its
    // numbers; false when the tag has no key expression.
    bool BuildKey(TVobjIndexKeyData& Key, int32_t Record);

private:
    int32_t SearchPath(int32_t Record, const TVobjIndexKeyData& Key, int32_t Prefix);
    bool GoPhysicalLast();
    void PostCheck();
    bool PathChanged() const;
};

// ---------------------------------------------------------------------------
// TVobjIndexFile
// ---------------------------------------------------------------------------
class TVobjIndexFile : public TtvObject {
public:
    std::string ShortName; // name with extension, without directory
    std::vector<std::unique_ptr<TVobjIndexTag>> Tags;
    TVO_dBaseFld* Table;
    std::unique_ptr<TVO_DiskFile> DiskFile;
    bool RecordOrdered = false; // equal keys in record-number order
    int32_t NextFree = -1;      // next node position; -1 = fetch from the file size
    bool ExactMatch;            // the table's setting; true without a table
    bool Valid = false;
    bool HeaderDamaged = false;
    uint8_t LockProtocol = 0;
    uint32_t LockPointA = 0x7FFFFFFE; // protocols 0, 1 and 3
    uint32_t LockPointB = 0x40000000; // protocol 2
    uint32_t LockPointC = 0x3FFFFFFF; // set with the others, not used by the index

    explicit TVobjIndexFile(TVO_dBaseFld* Table);
    TVobjIndexFile(const TVobjIndexFile&) = delete;
    TVobjIndexFile& operator=(const TVobjIndexFile&) = delete;
    // Frees the tags (each writes what it has pending), then the disk file. A format
    // frees its tags in its own destructor, while its node writers still exist.
    ~TVobjIndexFile() override;

    // ---- virtual operations, in slot order ----
    virtual bool CreateTag(const std::string& Name, const std::string& KeyExpr,
                           const std::string& ForExpr, bool Ascending, bool Unique);
    virtual bool DeleteTag(const std::string& Name);
    // The table's ReportError, or EngineError without a table.
    virtual void ReportError(int32_t Code, int32_t SubCode, std::string_view Info);
    virtual int32_t AllocateNode();
    virtual int32_t FindFileEnd();
    // False without a disk file or when fewer than Length bytes came back.
    virtual bool ReadBlock(int32_t Position, void* Buffer, int32_t Length);
    virtual bool WriteBlock(int32_t Position, const void* Buffer, int32_t Length);
    virtual void RebuildAll();
    // Renames the file, keeping its extension; ShortName follows.
    virtual bool RenameFile(const std::string& NewName);
    // NextFree := -1, then UpdateKey on every tag in list order.
    virtual bool UpdateRecordKeys(int32_t Record, bool Appended);
    virtual bool ChangedExternally();
    // Protocol 0 and 3, 1, 2 set the lock points; 4 and above change nothing.
    virtual void SetLockProtocol(uint8_t Kind);
    // Shared use, before the index lock is given up: every tag writes its cached path
    // and a changed header, so that the file holds everything this process changed.
    virtual void WriteBackChanges();
    // Shared use, after the index lock was taken and ChangedExternally: another
    // process changed the file, so every cached path is dropped and every tag header
    // (root position, counters) is read again.
    virtual void ReloadHeaders();

    // ---- public operations ----

    // Resolves the name (trimmed, file name upper-cased, DefaultExt when it has no
    // extension, the table's directory in front of a bare name), sets ShortName and
    // opens the file; with Create (and Overwrite or a missing file) creates it empty,
    // unshared and read-write. None when the file is missing and may not be created.
    std::unique_ptr<TVO_DiskFile> OpenIndexFile(TVO_dBaseFld* ForTable, const std::string& Name,
                                                const std::string& DefaultExt, bool ReadWrite,
                                                bool Shared, bool Create, bool Overwrite);
    // Takes the index lock of the protocol, retrying for the engine's lock wait;
    // raises "Error <code> in Lock of <file>" when it cannot. True without locking on
    // an unshared file; false without a disk file.
    bool LockIndex();
    // The name without directory equals ShortName, ignoring case.
    bool MatchesFileName(const std::string& Name) const;
    TVobjIndexTag* TagByName(std::string_view Name) const;
    TVobjIndexTag* TagByIndex(int32_t Index) const;
    int32_t TagCount() const { return static_cast<int32_t>(Tags.size()); }

    // Reports a damaged index file (2112 with the file name).
    void ReportDamage();
};

} // namespace tarnis
