#include "engine/table/tv6_DBF.h"

#include "engine/base/byte_order.h"
#include "engine/base/tv6_eror.h"
#include "engine/table/tv6_memo.h"
#include "platform/file_names.h"
#include "platform/format_settings.h"
#include "platform/os_file.h"

#include <cstring>

namespace tarnis {

namespace {

constexpr uint8_t DeletedFlag = '*';
constexpr uint8_t ActiveFlag = ' ';
constexpr uint8_t EndOfFile = 0x1A;
constexpr uint8_t DescriptorTerminator = 0x0D;

bool KnownVersion(uint8_t v) {
    return v == 0x03 || v == 0x30 || v == 0x83 || v == 0x8B || v == 0xF5;
}

// The table name as opened: blanks trimmed, ".DBF" put on a name without extension.
std::string TableFileName(const std::string& name) {
    const size_t first = name.find_first_not_of(' ');
    const size_t last = name.find_last_not_of(' ');
    std::string trimmed =
        first == std::string::npos ? std::string() : name.substr(first, last - first + 1);
    if (ExtractFileExt(trimmed).empty()) trimmed += ".DBF";
    return trimmed;
}

// Width of a field: byte 16, plus 256 * byte 17 for 'C' (long character fields).
int32_t DescriptorWidth(const uint8_t* d) {
    return d[16] + (d[11] == 'C' ? 256 * d[17] : 0);
}

} // namespace

TVO_dBaseDBF::TVO_dBaseDBF(const std::string& FileName, bool ReadWrite, bool Shared)
    : TVO_DiskFile(TableFileName(FileName), ReadWrite, Shared) {
    SetLockProtocol(Default);
    SetCollation(nullptr, nullptr, 0);
    Open();
    TableLocked = false;

    ReadAt(0, Header, DbfHeaderSize);
    CheckError(ErrorCode, sc::TableOpen);
    Version = Header[0];
    HeaderLength = GetLE16(Header + 8);
    RecordLength = GetLE16(Header + 10);
    const int32_t extra = Version == 0x30 ? VfpBackLinkSize : 0;
    const int32_t area = HeaderLength - (DbfHeaderSize + 1) - extra;
    // Beyond the version byte, a header is unusable when it leaves no room for its
    // descriptors or declares records without even a deletion flag.
    if (!KnownVersion(Version) || area < 0 || RecordLength < 1) {
        CheckError(ec::HeaderInvalid, sc::TableOpen);
        return;
    }
    HasProductionIndex = (Header[28] & 0x01) != 0;
    MemoFlag = (Header[28] & 0x02) != 0;
    DatabaseFlag = (Header[28] & 0x04) != 0;
    ChangeStamp = GetLE32(Header + 16);
    HasMemo = Version == 0x30 ? MemoFlag : (Version == 0x83 || Version == 0x8B || Version == 0xF5);

    RecNo = 0;
    AtEof = false;
    AtBof = true;
    const int32_t size = FileSize();
    RecordCount = size > HeaderLength ? (size - HeaderLength) / RecordLength : 0;

    Descriptors = std::make_unique<uint8_t[]>(static_cast<size_t>(area) + 1);
    ReadAt(DbfHeaderSize, Descriptors.get(), area);
    CheckError(ErrorCode, sc::TableOpen);
    // Some writers leave room after the last descriptor; the terminator ends the list.
    int32_t fields = 0;
    int32_t width = 1;
    while (fields < area / DbfDescriptorSize &&
           Descriptors[static_cast<size_t>(fields) * DbfDescriptorSize] != DescriptorTerminator) {
        width += DescriptorWidth(&Descriptors[static_cast<size_t>(fields) * DbfDescriptorSize]);
        ++fields;
    }
    FieldCount = fields;
    // Fields that reach past the record would be read outside the record image.
    if (width > RecordLength) {
        CheckError(ec::HeaderInvalid, sc::TableOpen);
        return;
    }

    HeaderDirty = false;
    RecordBuffer = std::make_unique<uint8_t[]>(static_cast<size_t>(RecordLength) + 1);
    std::memset(RecordBuffer.get(), ' ', static_cast<size_t>(RecordLength));
    RecordBuffer[static_cast<size_t>(RecordLength)] = EndOfFile;
    CurrentRecord = RecordBuffer.get();
    SavedRecord = std::make_unique<uint8_t[]>(static_cast<size_t>(RecordLength) + 1);
    std::memset(SavedRecord.get(), ' ', static_cast<size_t>(RecordLength));
    Memo.reset();
    ExactMatch = false;
    UseDeleted = true;
    UserID = 0;
    RecordState = 1;

    RefreshHeader();
    Notify(NotifyOpened, 0);
}

TVO_dBaseDBF::~TVO_dBaseDBF() {
    if (HeaderDirty && !Closed) {
        try {
            RefreshHeader();
            WriteHeader();
        } catch (const std::exception&) {
            // A destructor cannot report; the records themselves are already written.
        }
    }
    Memo.reset();
}

uint32_t TVO_dBaseDBF::RecordOffset(int32_t N) const {
    return static_cast<uint32_t>(HeaderLength) +
           static_cast<uint32_t>(N - 1) * static_cast<uint32_t>(RecordLength);
}

void TVO_dBaseDBF::SetCollation(const uint8_t* Collation, const uint8_t* Translation,
                                int32_t Extra) {
    CollationTable = Collation;
    TranslationTable = Translation;
    CollationExtra = Extra;
}

bool TVO_dBaseDBF::Notify(int32_t Event, int32_t) {
    if (Event == NotifyAfterRead || Event == NotifyAfterWrite) RecordState = 1;
    return true;
}

bool TVO_dBaseDBF::HasIndexFile() {
    return false;
}

void TVO_dBaseDBF::StatusReport(int32_t, int32_t, int32_t) {
}

void TVO_dBaseDBF::RefreshHeader() {
    if (!Shared) return;
    ReadAt(0, Header, DbfHeaderSize);
    const int32_t size = FileSize();
    RecordCount = size > HeaderLength ? (size - HeaderLength) / RecordLength : 0;
    ChangeStamp = GetLE32(Header + 16);
}

void TVO_dBaseDBF::WriteHeader() {
    if (!ReadWrite || !HeaderDirty || TableLocked) return;
    const TLocalTime now = LocalNow();
    ChangeStamp = static_cast<uint32_t>(((now.Hour * 64 + now.Minute) * 64 + now.Second) * 1024 +
                                        now.Millisecond);
    Header[1] = static_cast<uint8_t>(now.Year % 100);
    Header[2] = static_cast<uint8_t>(now.Month);
    Header[3] = static_cast<uint8_t>(now.Day);
    PutLE32(Header + 4, static_cast<uint32_t>(RecordCount));
    Header[28] = static_cast<uint8_t>((HasProductionIndex ? 0x01 : 0) | (MemoFlag ? 0x02 : 0) |
                                      (DatabaseFlag ? 0x04 : 0));
    PutLE32(Header + 16, ChangeStamp);
    PutLE32(Header + 20, UserID);
    WriteAt(0, Header, DbfHeaderSize);
    HeaderDirty = false;
}

void TVO_dBaseDBF::GoToRecord(int32_t N) {
    if (RecordCount == 0) {
        RefreshHeader();
        if (RecordCount == 0) {
            AtEof = true;
            AtBof = true;
            return;
        }
    }
    if (N == 0) return;
    AtEof = false;
    AtBof = false;
    int32_t target = 0;
    switch (N) {
    case MoveSame:
        target = RecNo;
        break;
    case MoveBottom:
        target = RecordCount;
        break;
    case MoveTop:
        target = 1;
        break;
    case MovePrior:
        target = RecNo - 1;
        if (target <= 0) {
            AtBof = true;
            return;
        }
        break;
    case MoveNext:
        target = RecNo + 1;
        break;
    default:
        target = N;
        if (target < 1) {
            CheckError(ec::BeyondEof, sc::TableGoTo);
            return;
        }
        break;
    }
    // MoveSame before any record was read: a move before the first record.
    if (target < 1) {
        AtBof = true;
        return;
    }
    if (target > RecordCount) {
        RefreshHeader();
        if (target > RecordCount) {
            if (target > RecordCount + 1) CheckError(ec::BeyondEof, sc::TableGoTo);
            AtEof = true;
            return;
        }
    }
    Notify(NotifyBeforeRead, N);
    ReadAt(RecordOffset(target), CurrentRecord, RecordLength);
    CheckError(ErrorCode, sc::TableGoTo);
    RecNo = target;
    Notify(NotifyAfterRead, target);
    std::memcpy(SavedRecord.get(), CurrentRecord, static_cast<size_t>(RecordLength));
}

void TVO_dBaseDBF::AppendRecord() {
    // Two writers that append at once would both take the slot after the last
    // record; on a shared table the append therefore waits for the header lock (with
    // the engine's lock wait) and reports when it cannot have it.
    // Unshared, the lock is only counted and cannot fail.
    const bool locked =
        Shared && !TableLocked ? LockRangeWaiting(HeaderLockOffset, 1) : LockHeader();
    if (!locked) {
        CheckError(ErrorCode != 0 ? ErrorCode : oserr::LockViolation, sc::LockWait);
        return;
    }
    try {
        Notify(NotifyBeforeWrite, 0);
        HeaderDirty = true;
        RefreshHeader();
        CurrentRecord[0] = ActiveFlag;
        ++RecordCount;
        RecNo = RecordCount;
        // The record and the end-of-file byte in one write. CurrentRecord may point at
        // a caller's buffer, so the byte after the record is not relied upon.
        const uint8_t saved = CurrentRecord[RecordLength];
        CurrentRecord[RecordLength] = EndOfFile;
        try {
            WriteAt(RecordOffset(RecNo), CurrentRecord, RecordLength + 1);
        } catch (...) {
            CurrentRecord[RecordLength] = saved;
            throw;
        }
        CurrentRecord[RecordLength] = saved;
        WriteHeader();
    } catch (...) {
        ReleaseLock();
        throw;
    }
    ReleaseLock();
    AtEof = false;
    AtBof = false;
    Notify(NotifyAfterWrite, 0);
    std::memcpy(SavedRecord.get(), CurrentRecord, static_cast<size_t>(RecordLength));
}

void TVO_dBaseDBF::ReplaceRecord(int32_t N) {
    Notify(NotifyBeforeWrite, N);
    if (N > RecordCount || N < 1) {
        AppendRecord();
        return;
    }
    HeaderDirty = true;
    WriteAt(RecordOffset(N), CurrentRecord, RecordLength);
    RecNo = N;
    RefreshHeader();
    WriteHeader();
    Notify(NotifyAfterWrite, N);
    std::memcpy(SavedRecord.get(), CurrentRecord, static_cast<size_t>(RecordLength));
}

bool TVO_dBaseDBF::IsDeleted() const {
    return CurrentRecord != nullptr && CurrentRecord[0] == DeletedFlag;
}

bool TVO_dBaseDBF::Take(uint32_t Offset, uint32_t Length) {
    if (TableLocked) return true;
    return LockRange(Offset, Length);
}

bool TVO_dBaseDBF::LockHeader() {
    return Take(HeaderLockOffset, 1);
}

bool TVO_dBaseDBF::LockTable() {
    if (TableLocked) return true;
    if (Take(TableLockOffset, TableLockLength)) {
        TableLocked = true;
        RefreshHeader();
    }
    return TableLocked;
}

bool TVO_dBaseDBF::LockTableFromStart() {
    if (TableLocked) return true;
    if (Take(0, TableLockLength)) {
        TableLocked = true;
        RefreshHeader();
    }
    return TableLocked;
}

bool TVO_dBaseDBF::LockRecord() {
    const uint32_t n = static_cast<uint32_t>(RecNo);
    switch (LockProtocol) {
    case Default:
    case FoxLock:
        if (HasIndexFile()) return Take(0x7FFFFFFEu - n, 1);
        return Take(0x40000000u + RecordOffset(RecNo), 1);
    case DB4Lock:
        return Take(0xEFFFFFFFu - n - 1, 1);
    case ClipLock:
        return Take(1000000000u + n, 1);
    default:
        return false;
    }
}

bool TVO_dBaseDBF::ReleaseLock() {
    const bool result = Unlock();
    if (TableLocked && LockCount == 0) {
        TableLocked = false;
        WriteHeader();
    } else {
        TableLocked = TableLocked && LockCount > 0;
    }
    return result;
}

void TVO_dBaseDBF::SetLockProtocol(int32_t Protocol) {
    LockProtocol = Protocol;
    switch (Protocol) {
    case Default:
    case FoxLock:
        TableLockOffset = 0x40000000u;
        TableLockLength = 0x3FFFFFFFu;
        HeaderLockOffset = 0x7FFFFFFEu;
        break;
    case DB4Lock:
        TableLockOffset = 0x40000000u;
        TableLockLength = 0xB0000000u;
        HeaderLockOffset = 0xEFFFFFFFu;
        break;
    case ClipLock:
        TableLockOffset = 1000000000u;
        TableLockLength = 1000000000u;
        HeaderLockOffset = 1000000000u;
        break;
    default:
        break;
    }
    if (Memo) Memo->SetLockProtocol(Protocol);
}

TVobjMemo* TVO_dBaseDBF::OpenMemo() {
    if (!Memo && HasMemo) {
        Memo = CreateMemoFile(*this);
        if (Memo) Memo->SetLockProtocol(LockProtocol);
    }
    return Memo.get();
}

void TVO_dBaseDBF::Flush() {
    TVO_DiskFile::Flush();
    if (TVobjMemo* memo = OpenMemo()) memo->Flush();
    Notify(NotifyFlushed, RecNo);
}

bool TVO_dBaseDBF::Rename(const std::string& NewName) {
    TVobjMemo* memo = OpenMemo();
    TVO_DiskFile::Rename(NewName);
    if (memo) memo->RenameMemo(NewName);
    return true;
}

} // namespace tarnis
