// Shared pieces of the compound-index tests: the fixtures' expected walks, a table
// that keeps its index files current when it writes a record, a way to give a CDX
// file a new empty tag whatever the table holds (and whatever its key length), and an
// independent decoder of the CDX bytes that checks the layout other programs expect.
#pragma once

#include "engine/index/tv6_cdx.h"
#include "engine/table/TVO_dBaseFld.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tarnis::test {

// One line of an expected-walk file: "recno [*] key".
struct WalkLine {
    int32_t Record = 0;
    bool Deleted = false;
    char Type = 'C';
    std::string Text; // 'C': the key's characters (escapes resolved), 'D': yyyymmdd
    double Number = 0;
};

// The lines of tests/data/<folder>/expected-walk-<tag>.txt, in file order.
std::vector<WalkLine> ReadWalk(const std::string& folder, const std::string& tag);

// Copies the table, memo and index file of a fixture folder into dir and answers the
// table's path.
std::string CopyCdxFixture(const std::string& folder, const std::string& dir);

// A table that, like the table handler, asks its index files to update the record's
// keys after every record write (while SavedRecord still holds the old image).
class IndexedTable : public TVO_dBaseFld {
public:
    std::vector<TVobjIndexFile*> Indexes;
    IndexedTable(const std::string& name, bool readWrite, bool shared)
        : TVO_dBaseFld(name, readWrite, shared) {}
    bool Notify(int32_t Event, int32_t Value) override;
};

// The records of the tag in its order (forwards from MoveTop or backwards from
// MoveBottom), deleted records included.
std::vector<int32_t> WalkRecords(TVobjIndexTag& tag, bool forward = true);

// Gives the file a new tag with an empty root leaf and enters it in the directory,
// without building it from the table. Its key type and length come from the table's
// current record.
TVobjCDXTag* AddEmptyTag(TVobjCDXFile& file, const std::string& name, const std::string& key,
                         const std::string& forCondition = "", bool ascending = true,
                         bool unique = false, uint8_t collation = 1);

// ---------------------------------------------------------------------------
// The CDX bytes, decoded without the engine.
// ---------------------------------------------------------------------------
struct RawEntry {
    std::string Key; // as stored: leaf keys rebuilt from their shared and own bytes
    uint32_t Record = 0;
    uint32_t Child = 0;    // branch entries
    int32_t Duplicate = 0; // leaf entries: u
    int32_t Trailing = 0;  // leaf entries: t
};

struct RawNode {
    int32_t Position = 0;
    uint16_t Attributes = 0;
    int32_t Left = 0;
    int32_t Right = 0;
    // leaves
    uint16_t FreeSpace = 0;
    uint32_t RecordMask = 0;
    uint8_t DuplicateMask = 0, TrailMask = 0, RecordBits = 0, DuplicateBits = 0, TrailBits = 0,
            EntryBytes = 0;
    std::vector<RawEntry> Entries;
    std::string Bytes; // the 512 bytes of the node
};

struct RawTag {
    std::string Name;
    int32_t HeaderPosition = 0;
    uint32_t Root = 0;
    uint16_t KeyLength = 0;
    uint8_t Options = 0;
    uint8_t Signature = 0;
    uint16_t Order = 0;
    std::string KeyExpression;
    std::string ForExpression;
    std::vector<std::vector<RawNode>> Levels; // root level first
};

// Decodes a CDX file's directory and every tag, and checks what the format fixes
// (see the .cpp); the problems found are in Problems.
struct RawCdx {
    std::vector<RawTag> Tags;
    RawTag Directory;
    std::vector<std::string> Problems;
};
// recordCount: the table's record count that sizes the tags' leaf entries;
// binaryTags: the names of the number and date tags (their keys are padded with
// zeros rather than blanks).
RawCdx DecodeCdx(const std::string& path, uint32_t recordCount,
                 const std::set<std::string>& binaryTags);

} // namespace tarnis::test
