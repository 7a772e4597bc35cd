// TVO_dBHandler: a table walked in index order. It keeps up to 63 open index files,
// one tag of which (the master tag) orders navigation and seeks; an optional filter
// expression whose result for every record is held in a record-number bit set; the
// switch that hides deleted records; and a read-ahead buffer for reading in file
// order. Every record it writes is written inside the index locks, and afterwards
// every open index and the filter set follow the new record image.
//
// Navigation (GoToRecord with a navigation code, Skip) moves in master-tag order,
// or in file order without a master tag, and passes over records outside the filter,
// deleted records (unless UseDeleted) and records RecordAccepted rejects. A direct
// record number always reads that record. At an end the record image keeps the last
// record read and AtEof / AtBof is set.
//
// The read-ahead buffer (ReadAheadSize bytes, whole records) serves record reads in
// natural order; it is switched off while a master tag is selected.
//
// Bulk operations: Pack removes deleted records in place and rebuilds the indexes;
// Reindex rebuilds every open index file; SearchField looks for a value field by
// field. Progress goes through StatusReport:
//   Pack         (-1, 11, RecordCount), (11, record, 0) per record, (0, 0, 0)
//   SearchField  (-1, 21, RecordCount), (21, counter, 0) per record without a match,
//                (0, counter, 0)
//
// Reports: an index file that is missing 2 (sub-code -7, its name), one whose
// header cannot be read 2112; "Cannot find index tag <name>"; "Filter expression must
// return boolean result"; Pack of a shared table 5 with sub-code 2105.
#pragma once

#include "engine/table/TVO_dBaseFld.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace tarnis {

class TVobjIndexFile;
class TVobjIndexTag;
class TtvExpHandler;
class TtvHugeSet;

constexpr int32_t IndexSlotCount = 63;
constexpr int32_t ReadAheadSize = 32768;

// SearchField option bits.
namespace so {
constexpr uint16_t CaseInsensitive = 1; // text and character fields upper-cased first
constexpr uint16_t Exact = 2;           // a character field equals the text (trailing blanks aside)
constexpr uint16_t Wildcards = 4;       // leading/trailing "*" and "?" are wildcards
constexpr uint16_t KeepState = 8;       // no raw positioning at the start
constexpr uint16_t KeepOrder = 16;      // walk in master-tag order
constexpr uint16_t Anchored = 32;       // the text must match at the start of the field
} // namespace so

namespace sc {
constexpr int32_t Pack = 2105;
} // namespace sc

class TVO_dBHandler : public TVO_dBaseFld {
public:
    TVobjIndexTag* MasterTag = nullptr; // owned by its index file
    std::string MasterTagName;
    // Slots 1..63 are IndexSlots[0..62]; a new file takes the lowest empty slot.
    std::array<std::unique_ptr<TVobjIndexFile>, IndexSlotCount> IndexSlots;
    int32_t CacheStart = -1; // file offset of the first buffered byte; -1 = empty
    int32_t CacheEnd = 0;    // just after the last buffered byte
    std::unique_ptr<uint8_t[]> CacheBuffer;
    int32_t CacheRecords = 0;
    int32_t CacheSize = 0;
    bool CacheOn = false;
    bool CacheAllowed = true;
    bool Found = false;     // result of the last SeekKey
    bool NearMatch = false; // a failed seek stays on the next greater key
    TVobjMemo* PackMemo = nullptr;
    std::unique_ptr<TtvHugeSet> FilterSet; // bit N = record N passes the filter
    std::unique_ptr<TtvExpHandler> FilterHandler;
    std::string FilterText;
    bool FilterWanted = false;
    bool FilterActive = false; // wanted, and a compiled expression with operands exists
    uint16_t SearchOptions = 0;
    // Pack is moving records down: the indexes are rebuilt afterwards, so the writes
    // do not maintain them one by one.
    bool Packing = false;

    TVO_dBHandler(const std::string& FileName, bool ReadWrite, bool Shared);
    ~TVO_dBHandler() override;

    int32_t ReadAt(uint32_t Offset, void* Buffer, int32_t Count) override;
    bool Rename(const std::string& NewName) override;
    void WriteAt(uint32_t Offset, const void* Buffer, int32_t Count) override;
    // Written inside the index locks; a lock that cannot be had raises and nothing
    // is written.
    void AppendRecord() override;
    // Event 7: filter bit and keys of the written record, master tag synchronised;
    // event 8: index files flushed.
    bool Notify(int32_t Event, int32_t Value) override;
    void GoToRecord(int32_t N) override;
    void ReplaceRecord(int32_t N) override;
    void SetLockProtocol(int32_t Protocol) override;
    // Slot 1 holds a file.
    bool HasIndexFile() override;

    // Seek in the master tag: Found, and the table on the record found. A failed
    // seek leaves the table on its last record with AtEof (unless NearMatch: then on
    // the next greater key).
    virtual bool SeekKey(const std::string& KeyText);
    // Record of the key in the named tag without moving; -1 without such a tag.
    virtual int32_t LookupInTag(const std::string& TagName, const std::string& KeyText);
    // Moves N visible records (N < 0 backwards; 0 reads the current one again).
    virtual void Skip(int32_t N);
    // Per-record acceptance during navigation; true here.
    virtual bool RecordAccepted();
    virtual bool LockIndexes();

    void UnlockIndexes();
    // 0 opened, -1 no name or already open, 2 missing (or no class for the
    // extension), 2112 damaged. A name without directory is taken from the table's
    // directory; one without extension gets ".NDX".
    int32_t OpenIndex(const std::string& Name);
    // Closes all index files; then opens every name of List (separated by blanks,
    // commas or semicolons; double quotes keep a name together) and selects TagName.
    int32_t OpenIndexFiles(const std::string& List, const std::string& TagName);
    void CloseIndexes();
    // Makes the named tag the master tag (empty: natural order); answers the slot of
    // its file, 0 for natural order.
    int32_t SelectTag(const std::string& Name, bool KeepPosition);
    TVobjIndexTag* TagByGlobalNumber(int32_t N);
    int32_t IndexSlotOf(const std::string& FileName);
    void SetKeyRange(const std::string& Low, const std::string& High, bool LowInclusive,
                     bool HighInclusive);
    void ClearRange();
    void SetFilter(const std::string& Text, bool CaseInsensitive, bool Wildcards);
    void SetFilterActive(bool Active);
    void RebuildFilter();
    void SetCache(bool On);
    void SetCacheAllowed(bool Allowed);

    // Removes deleted records in place, truncates the file and rebuilds the indexes.
    void Pack();
    // Rebuilds every open index file from the table.
    void Reindex();
    // Looks for Text in field FieldNo (0: every field) from the record after
    // StartRecord (0: the first) up to StopAt (0: the end), with SearchOptions. On a
    // match: FieldNo and StartRecord name it and the table stands on it; the answer is
    // positive. 0 when nothing matched.
    uint16_t SearchField(const std::string& Text, uint16_t& FieldNo, int32_t& StartRecord,
                         int32_t StopAt);

private:
    TVobjIndexFile* Slot(int32_t N) const { return IndexSlots[static_cast<size_t>(N - 1)].get(); }
    void BuildFilterSet();
    // The first record from From going up (Step 1) or down (Step -1) whose filter bit
    // is set, within 1..High; 0 when none.
    int32_t NextInFilter(int32_t From, int32_t Step) const;
    void EvaluateFilterBit();
};

} // namespace tarnis
