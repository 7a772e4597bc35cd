// TVO_dBaseDBF: one open xBase table file (".DBF").
//
// File layout (all integers little-endian):
//
//   header (32 bytes)
//     0   1  version byte: 0x03, 0x30, 0x83, 0x8B or 0xF5 (anything else is invalid)
//     1   3  date of the last update: year mod 100, month, day
//     4   4  record count (ignored when read: the file size decides)
//     8   2  header length = offset of the first record
//    10   2  record length, deletion flag included
//    16   4  change stamp of the last header write:
//            ((hour * 64 + minute) * 64 + second) * 1024 + millisecond
//    20   4  user number of the last writer
//    28   1  flags: 0x01 production index, 0x02 has memo (0x30 only), 0x04 in a
//            database container; bits 3-7 are written as 0
//   field descriptors (32 bytes each, from offset 32)
//     0  11  name, upper case, zero-padded
//    11   1  type letter
//    12   4  (in memory: the field's offset in the record)
//    16   1  length
//    17   1  decimals; for 'C' the high byte of the length
//    26   2  (in memory: the 1-based field number)
//   0x0D terminator; for version 0x30 a further 263-byte area
//   records from HeaderLength, RecordLength bytes each: a deletion flag (" " active,
//   "*" deleted), then the fields in descriptor order without separators
//   0x1A after the last record
//
// The descriptor area is HeaderLength - 33 bytes (- 263 more for version 0x30); the
// record count is (file size - HeaderLength) / RecordLength, so a record cut short at
// the end of the file is not counted.
//
//   version  memo file
//   0x03     none
//   0x83     dBase III memo (.DBT)
//   0x8B     dBase IV memo (.DBT)
//   0xF5     FoxPro memo (.FPT)
//   0x30     FoxPro memo (.FPT) when header flag 0x02 is set
//
// Lock positions by protocol (byte ranges given to LockRange; they lie beyond any
// real file and mark ranges, not data):
//
//   protocol             table lock                 header lock  record N (1 byte)
//   Default, FoxLock     0x40000000 + 0x3FFFFFFF    0x7FFFFFFE   with an index open
//                                                                0x7FFFFFFE - N, else
//                                                                0x40000000 + HeaderLength
//                                                                + (N - 1) * RecordLength
//   DB4Lock              0x40000000 + 0xB0000000    0xEFFFFFFF   0xEFFFFFFF - N - 1
//   ClipLock             1000000000 + 1000000000    1000000000   1000000000 + N
//
// Derived layers (fields, handler, dataset) hook in through Notify, whose events
// are listed below; the record image they work on is CurrentRecord.
#pragma once

#include "engine/base/tv6_disk.h"

#include <cstdint>
#include <memory>
#include <string>

namespace tarnis {

class TVobjMemo;

// Record navigation codes, shared by the table and the index tags.
constexpr int32_t MoveNext = -1;
constexpr int32_t MovePrior = -2;
constexpr int32_t MoveTop = -3;
constexpr int32_t MoveBottom = -4;
constexpr int32_t MoveSame = -5;

// Lock protocols; a value of 4 or more is stored but locks nothing.
enum TtvLokProtocol : int32_t { Default = 0, DB4Lock = 1, ClipLock = 2, FoxLock = 3 };

// Notify events (the value passed with each in brackets).
constexpr int32_t NotifyBlanked = 0;      // the record image was blanked (0)
constexpr int32_t NotifyFieldChanged = 1; // one field of the image changed (field number)
constexpr int32_t NotifyOpened = 2;       // end of the constructor (0)
constexpr int32_t NotifyBeforeRead = 4;   // before GoToRecord reads (its argument)
constexpr int32_t NotifyBeforeWrite = 5;  // before a write (0 = append, else record number)
constexpr int32_t NotifyAfterRead = 6;    // after a read (record number)
constexpr int32_t NotifyAfterWrite = 7;   // after a write (0 = append, else record number)
constexpr int32_t NotifyFlushed = 8;      // after Flush (RecNo)

// Sub-codes of the table layer.
namespace sc {
constexpr int32_t TableOpen = 1204;
constexpr int32_t TableGoTo = 1207;
constexpr int32_t LockWait = 1112; // a lock not obtained within the lock wait
} // namespace sc

constexpr int32_t DbfHeaderSize = 32;
constexpr int32_t DbfDescriptorSize = 32;
constexpr int32_t VfpBackLinkSize = 263;

class TVO_dBaseDBF : public TVO_DiskFile {
public:
    uint8_t Header[DbfHeaderSize] = {};
    bool HeaderDirty = false;
    uint8_t RecordState = 1; // 1 normal; 4 raw mode (navigation ignores order and filter)
    int32_t RecordCount = 0;
    int32_t HeaderLength = 0;
    int32_t RecordLength = 0;
    int32_t FieldCount = 0;
    std::unique_ptr<uint8_t[]> Descriptors; // FieldCount * 32 bytes
    int32_t RecNo = 0;                      // record in CurrentRecord; 0 = none yet
    uint8_t* CurrentRecord = nullptr; // RecordLength + 1 bytes; RecordBuffer unless redirected
    std::unique_ptr<uint8_t[]> RecordBuffer; // the table's own image; last byte 0x1A
    std::unique_ptr<uint8_t[]> SavedRecord;  // the record as last read or written
    bool AtEof = false;
    bool AtBof = true;
    uint8_t Version = 0;
    bool TableLocked = false;
    bool HasProductionIndex = false;
    bool MemoFlag = false;
    bool DatabaseFlag = false;
    uint32_t ChangeStamp = 0;
    bool UseDeleted = true;
    bool ExactMatch = false;
    uint32_t UserID = 0;
    bool HasMemo = false;
    uint32_t TableLockOffset = 0;
    uint32_t HeaderLockOffset = 0;
    uint32_t TableLockLength = 0;
    int32_t LockProtocol = Default;
    const uint8_t* CollationTable = nullptr;
    const uint8_t* TranslationTable = nullptr;
    int32_t CollationExtra = 0;
    std::unique_ptr<TVobjMemo> Memo;

    // Opens the table: a name without extension gets ".DBF". Reports 1001/1204 for
    // an unknown version byte or a header that the file cannot hold.
    TVO_dBaseDBF(const std::string& FileName, bool ReadWrite, bool Shared);
    // Writes a pending header, closes the memo file and the table.
    ~TVO_dBaseDBF() override;

    // Overridden disk-file operations: they carry the memo file along.
    void Flush() override;
    bool Rename(const std::string& NewName) override;
    void StatusReport(int32_t Stat1, int32_t Stat2, int32_t Stat3) override;

    // Writes CurrentRecord as a new last record (and the end-of-file byte) and makes
    // it current. Takes the header lock around the write; on a shared table it waits
    // for it (the lock wait settings) and reports 33 when another holds it.
    virtual void AppendRecord();
    virtual void SetCollation(const uint8_t* Collation, const uint8_t* Translation, int32_t Extra);
    // Hook for the derived layers; always true here.
    virtual bool Notify(int32_t Event, int32_t Value);
    // Reads record N into CurrentRecord, or moves by a navigation code. N = 0 does
    // nothing; one past the last record sets AtEof without an error; further, or
    // below 1, reports 1002/1207.
    virtual void GoToRecord(int32_t N);
    virtual bool LockHeader();
    virtual bool LockTable();
    virtual bool LockTableFromStart();
    virtual bool ReleaseLock();
    virtual bool LockRecord();
    // Writes CurrentRecord over record N; appends when N is not a record number.
    virtual void ReplaceRecord(int32_t N);
    virtual void SetLockProtocol(int32_t Protocol);
    // Whether an index file is open (the handler answers; false here).
    virtual bool HasIndexFile();

    // Re-reads the header of a shared table and recounts its records.
    void RefreshHeader();
    // Writes the header when it is pending, the table is writable and not locked.
    void WriteHeader();
    bool IsDeleted() const;
    void SetUserID(uint32_t N) { UserID = N; }
    // The memo file object, created on first need for the version byte; nullptr
    // for a table without memo file.
    TVobjMemo* OpenMemo();

private:
    bool Take(uint32_t Offset, uint32_t Length);
    uint32_t RecordOffset(int32_t N) const;
};

} // namespace tarnis
