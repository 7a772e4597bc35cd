#include "engine/table/TVO_dBHandler.h"

#include "engine/base/tv6_eror.h"
#include "engine/base/tv6_tool.h"
#include "engine/expr/tv6_sql.h"
#include "engine/index/index_formats.h"
#include "engine/index/tv6_indx.h"
#include "engine/table/TtvDBFExpUserLink.h"
#include "engine/table/tv6_memo.h"
#include "platform/code_page.h"
#include "platform/file_names.h"
#include "platform/format_settings.h"
#include "platform/os_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tarnis {

namespace {

// Follow-up code of a navigation: the direction in which to go on after a record is
// rejected.
int32_t FollowUp(int32_t n) {
    switch (n) {
    case MoveTop:
    case MoveSame:
    case MoveNext:
        return MoveNext;
    case MoveBottom:
    case MovePrior:
        return MovePrior;
    default:
        return n;
    }
}

bool IsNavigationCode(int32_t n) {
    return n >= MoveSame && n <= MoveNext;
}

std::string TrimBoth(const std::string& s) {
    const size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

} // namespace

TVO_dBHandler::TVO_dBHandler(const std::string& FileName, bool ReadWrite, bool Shared)
    : TVO_dBaseFld(FileName, ReadWrite, Shared) {
}

TVO_dBHandler::~TVO_dBHandler() {
    FilterHandler.reset();
    FilterSet.reset();
    MasterTag = nullptr;
    for (auto& slot : IndexSlots)
        slot.reset();
    CacheBuffer.reset();
}

// ---------------------------------------------------------------------------
// Index files
// ---------------------------------------------------------------------------

int32_t TVO_dBHandler::IndexSlotOf(const std::string& Name) {
    int32_t found = 0;
    for (int32_t n = 1; n <= IndexSlotCount; ++n)
        if (Slot(n) && Slot(n)->MatchesFileName(Name)) found = n;
    return found;
}

int32_t TVO_dBHandler::OpenIndex(const std::string& Name) {
    std::string name = TrimBoth(Name);
    if (name.empty()) return -1;
    // The file name is upper-cased; the directory keeps its letter case, and the file
    // layer finds an entry whose name differs only in case.
    name = ExtractFilePath(name) + AnsiUpperCase(ExtractFileName(name));
    if (ExtractFilePath(name).empty()) name = ExtractFilePath(FileName) + name;
    if (ExtractFileExt(name).empty()) name += ".NDX";
    if (IndexSlotOf(name) != 0) return -1;

    std::unique_ptr<TVobjIndexFile> file = OpenIndexFileOfKind(
        AnsiUpperCase(ExtractFileExt(name)).substr(0, 4), this, name, ReadWrite, Shared);
    if (file && file->Valid) {
        const auto free = std::find(IndexSlots.begin(), IndexSlots.end(), nullptr);
        file->SetLockProtocol(static_cast<uint8_t>(LockProtocol));
        if (free != IndexSlots.end()) *free = std::move(file);
        return 0;
    }
    const int32_t code = file && file->HeaderDamaged ? ec::IndexDamaged : oserr::FileNotFound;
    file.reset();
    ErrorCode = code;
    ReportError(code, NoSubCode, name);
    return code;
}

int32_t TVO_dBHandler::OpenIndexFiles(const std::string& List, const std::string& TagName) {
    CloseIndexes();
    std::string list = List.substr(0, 259);
    while (!list.empty() && (list.back() == ' ' || list.back() == ',' || list.back() == ';'))
        list.pop_back();
    if (list.empty()) return 1;
    // Names are separated by blanks, commas or semicolons outside double quotes.
    std::vector<std::string> names;
    std::string current;
    bool quoted = false;
    for (const char c : list) {
        if (c == '"') {
            quoted = !quoted;
            if (!current.empty()) names.push_back(current);
            current.clear();
        } else if (!quoted && (c == ' ' || c == ',' || c == ';' || c == '\t')) {
            if (!current.empty()) names.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) names.push_back(current);
    int32_t result = 0;
    for (const std::string& name : names) {
        result = OpenIndex(name);
        if (result != 0) return result;
    }
    SelectTag(TagName, true);
    return result;
}

void TVO_dBHandler::CloseIndexes() {
    MasterTag = nullptr;
    MasterTagName.clear();
    for (auto& slot : IndexSlots)
        slot.reset();
}

bool TVO_dBHandler::HasIndexFile() {
    return IndexSlots[0] != nullptr;
}

TVobjIndexTag* TVO_dBHandler::TagByGlobalNumber(int32_t N) {
    if (N <= 0) return nullptr;
    int32_t before = 0;
    for (int32_t n = 1; n <= IndexSlotCount; ++n) {
        TVobjIndexFile* file = Slot(n);
        if (!file) continue;
        if (before + file->TagCount() >= N) return file->TagByIndex(N - before - 1);
        before += file->TagCount();
    }
    return nullptr;
}

int32_t TVO_dBHandler::SelectTag(const std::string& Name, bool KeepPosition) {
    const std::string name = AnsiUpperCase(TrimBoth(Name));
    if (name.empty()) {
        ClearRange();
        if (MasterTag) MasterTag->ReleaseNodes();
        MasterTag = nullptr;
        MasterTagName.clear();
        SetCache(true);
        if (!KeepPosition) GoToRecord(MoveTop);
        return 0;
    }
    TVobjIndexTag* tag = nullptr;
    int32_t slot = 0;
    for (int32_t n = 1; n <= IndexSlotCount && !tag; ++n) {
        if (Slot(n) && (tag = Slot(n)->TagByName(name)) != nullptr) slot = n;
    }
    if (!tag) throw ETarnisError("Cannot find index tag " + Name);
    ClearRange();
    if (MasterTag) MasterTag->ReleaseNodes();
    SetCache(false);
    MasterTagName = name;
    MasterTag = tag;
    MasterTag->ResetNodes(1);
    GoToRecord(KeepPosition ? RecNo : MoveTop);
    return slot;
}

bool TVO_dBHandler::LockIndexes() {
    std::vector<TVobjIndexFile*> locked;
    for (int32_t n = 1; n <= IndexSlotCount; ++n) {
        TVobjIndexFile* file = Slot(n);
        if (!file || !file->DiskFile) continue;
        bool ok = false;
        try {
            ok = file->LockIndex();
        } catch (...) {
            // The lock was not had within the wait: give back what was taken and let
            // the caller see the failure rather than skip its write in silence.
            for (TVobjIndexFile* taken : locked)
                taken->DiskFile->Unlock();
            SetLastOsError(oserr::LockViolation);
            throw;
        }
        if (!ok) {
            for (TVobjIndexFile* taken : locked)
                taken->DiskFile->Unlock();
            SetLastOsError(oserr::LockViolation);
            return false;
        }
        locked.push_back(file);
        // Another process may have changed the file since this one last held the
        // lock: its cached nodes and tag headers (a new root) would be stale.
        if (file->DiskFile->Shared && file->ChangedExternally()) {
            file->ReloadHeaders();
            if (MasterTag && MasterTag->IndexFile == file) MasterTag->ResetNodes(1);
        }
    }
    return true;
}

void TVO_dBHandler::UnlockIndexes() {
    for (auto& file : IndexSlots) {
        if (!file || !file->DiskFile) continue;
        // What this process changed reaches the file before others may read it.
        if (file->DiskFile->Shared && file->DiskFile->LockCount == 1) {
            file->WriteBackChanges();
            if (MasterTag && MasterTag->IndexFile == file.get() && !MasterTag->RootNode)
                MasterTag->ResetNodes(1);
        }
        file->DiskFile->Unlock();
    }
}

void TVO_dBHandler::SetLockProtocol(int32_t Protocol) {
    TVO_dBaseFld::SetLockProtocol(Protocol);
    for (auto& file : IndexSlots)
        if (file) file->SetLockProtocol(static_cast<uint8_t>(Protocol));
}

// ---------------------------------------------------------------------------
// Writing records
// ---------------------------------------------------------------------------

void TVO_dBHandler::AppendRecord() {
    if (!LockIndexes()) return;
    try {
        TVO_dBaseFld::AppendRecord();
    } catch (...) {
        UnlockIndexes();
        throw;
    }
    UnlockIndexes();
}

void TVO_dBHandler::ReplaceRecord(int32_t N) {
    if (!LockIndexes()) return;
    try {
        TVO_dBaseFld::ReplaceRecord(N);
    } catch (...) {
        UnlockIndexes();
        throw;
    }
    UnlockIndexes();
}

void TVO_dBHandler::EvaluateFilterBit() {
    TtvExpBuffer result;
    const bool passes = FilterHandler->Evaluate(result) != nullptr &&
                        FilterHandler->ResultType == rtLogical && result.AsLogical();
    FilterSet->Change(RecNo, passes ? 1 : 0);
}

bool TVO_dBHandler::Notify(int32_t Event, int32_t Value) {
    TVO_dBaseFld::Notify(Event, Value);
    if (Event == NotifyAfterWrite) {
        if (FilterHandler && FilterSet && FilterHandler->Root) EvaluateFilterBit();
        if (!Packing)
            for (auto& file : IndexSlots)
                if (file) file->UpdateRecordKeys(RecNo, Value == 0);
        if (MasterTag) {
            MasterTag->SyncToRecord(RecNo);
            AtBof = MasterTag->AtBof;
            AtEof = MasterTag->AtEof;
            if (!FilterActive) {
                AtEof = Value == 0 || Value == RecordCount;
                AtBof = Value == 1;
            }
        }
    } else if (Event == NotifyFlushed) {
        for (auto& file : IndexSlots)
            if (file && file->DiskFile) file->DiskFile->Flush();
    }
    return true;
}

// ---------------------------------------------------------------------------
// Navigation
// ---------------------------------------------------------------------------

int32_t TVO_dBHandler::NextInFilter(int32_t From, int32_t Step) const {
    const int32_t high = FilterSet->HighIndex;
    for (int32_t n = std::min(From, high); n >= 1 && n <= high; n += Step)
        if (FilterSet->Contains(n)) return n;
    return 0;
}

void TVO_dBHandler::GoToRecord(int32_t N) {
    if (RecordState != 1) {
        TVO_dBaseFld::GoToRecord(N);
        return;
    }
    const bool cacheWas = CacheOn;
    AtEof = false;
    AtBof = false;
    int32_t target = N;
    const int32_t followUp = FollowUp(N);
    const bool navigation = IsNavigationCode(N);
    bool accepted = false;
    do {
        if (MasterTag && followUp < 0) {
            int32_t r = 0;
            bool rejected = false;
            do {
                CacheOn = false;
                r = MasterTag->Move(target);
                AtEof = MasterTag->AtEof;
                AtBof = MasterTag->AtBof;
                rejected = FilterActive && !AtEof && !AtBof && !FilterSet->Contains(r);
                if (rejected) target = followUp;
            } while (rejected && !AtEof && !AtBof);
            target = r;
        } else if (FilterActive && target < 0) {
            const int32_t high = FilterSet->HighIndex;
            const bool empty = high < 1;
            int32_t found = 0;
            switch (target) {
            case MoveTop:
            case MoveNext:
                if (empty) {
                    AtBof = AtEof = true;
                } else {
                    found = target == MoveTop ? NextInFilter(1, 1)
                                              : (RecNo + 1 > high ? 0 : NextInFilter(RecNo + 1, 1));
                    AtEof = found == 0;
                }
                break;
            case MoveBottom:
            case MovePrior:
                if (empty) {
                    AtBof = AtEof = true;
                } else {
                    found =
                        target == MoveBottom ? NextInFilter(high, -1) : NextInFilter(RecNo - 1, -1);
                    AtBof = found == 0;
                }
                break;
            default: // MoveSame: the current record again
                found = RecNo;
                break;
            }
            target = found;
        }
        if (!AtEof && !AtBof) {
            TVO_dBaseFld::GoToRecord(target);
            if (target == 0 || target > RecordCount) {
                BlankRecord();
                CacheOn = cacheWas;
                return;
            }
            accepted = !navigation || ((!IsDeleted() || UseDeleted) && RecordAccepted());
            target = followUp;
        }
    } while (!accepted && !AtEof && !AtBof);
    CacheOn = cacheWas;

    if (MasterTag && !AtEof && !AtBof && MasterTag->CurrentKey.Reference != RecNo)
        MasterTag->SyncToRecord(RecNo);
    if (LockProtocol == ClipLock) UnlockIndexes();
}

void TVO_dBHandler::Skip(int32_t N) {
    if (N == 0) {
        GoToRecord(MoveSame);
        return;
    }
    const int32_t step = N > 0 ? MoveNext : MovePrior;
    const int32_t endCode = N > 0 ? MoveBottom : MoveTop;
    const int64_t count = N > 0 ? static_cast<int64_t>(N) : -static_cast<int64_t>(N);
    if (!FilterWanted && UseDeleted) {
        bool pastEnd = false;
        if (MasterTag) {
            int32_t record = RecNo;
            for (int64_t i = 0; i < count; ++i) {
                const int32_t r = MasterTag->Move(step);
                if (r == 0) {
                    record = MasterTag->Move(endCode);
                    pastEnd = true;
                    break;
                }
                record = r;
            }
            // Read the record without resynchronising the tag, which stands on it.
            TVobjIndexTag* tag = MasterTag;
            MasterTag = nullptr;
            try {
                GoToRecord(record);
            } catch (...) {
                MasterTag = tag;
                throw;
            }
            MasterTag = tag;
        } else {
            int64_t target = static_cast<int64_t>(RecNo) + N;
            if (target > RecordCount) {
                target = RecordCount;
                pastEnd = true;
            } else if (target < 1) {
                target = 1;
                pastEnd = true;
            }
            GoToRecord(static_cast<int32_t>(target));
        }
        if (pastEnd) {
            AtEof = N > 0;
            AtBof = N < 0;
        }
        return;
    }
    for (int64_t i = 0; i < count && !AtEof && !AtBof; ++i)
        GoToRecord(step);
}

bool TVO_dBHandler::RecordAccepted() {
    return true;
}

// ---------------------------------------------------------------------------
// Seeks and ranges
// ---------------------------------------------------------------------------

bool TVO_dBHandler::SeekKey(const std::string& KeyText) {
    Found = false;
    if (RecordCount == 0) return false;
    if (LockProtocol == ClipLock && !LockIndexes()) return false;
    if (!MasterTag) {
        GoToRecord(MoveBottom);
        AtEof = true;
        return false;
    }
    TVobjIndexKeyData key(256);
    key.SetString(KeyText);
    key.Reference = -1;
    const int32_t r = MasterTag->Seek(key);
    if (r >= 1) {
        TVO_dBaseFld::GoToRecord(r);
        while ((!RecordAccepted() || (IsDeleted() && !UseDeleted)) && !AtEof)
            Skip(1);
        if (!AtEof) {
            MasterTag->ConvertKey(key);
            int32_t diff = 0;
            Found = key.Compare(&MasterTag->CurrentKey, diff, CollationTable, -1) == 0;
            if (!Found && !ExactMatch && diff > key.Size) Found = true;
            if (!Found && !NearMatch) {
                GoToRecord(MoveBottom);
                AtEof = true;
            }
        }
    } else if (MasterTag->AtEof || !NearMatch) {
        GoToRecord(MoveBottom);
        AtEof = true;
    } else {
        GoToRecord(MasterTag->Move(MoveSame));
    }
    if (LockProtocol == ClipLock) UnlockIndexes();
    return Found;
}

int32_t TVO_dBHandler::LookupInTag(const std::string& TagName, const std::string& KeyText) {
    if (LockProtocol == ClipLock && !LockIndexes()) return -1;
    int32_t result = -1;
    for (int32_t n = 1; n <= IndexSlotCount; ++n) {
        TVobjIndexTag* tag = Slot(n) ? Slot(n)->TagByName(TagName) : nullptr;
        if (!tag) continue;
        TVobjIndexKeyData key(256);
        key.SetString(KeyText);
        key.Reference = -1;
        const bool exact = ExactMatch;
        ExactMatch = true;
        try {
            result = tag->KeyLookup(key);
        } catch (...) {
            ExactMatch = exact;
            throw;
        }
        ExactMatch = exact;
        break;
    }
    if (LockProtocol == ClipLock) UnlockIndexes();
    return result;
}

void TVO_dBHandler::SetKeyRange(const std::string& Low, const std::string& High, bool LowInclusive,
                                bool HighInclusive) {
    if (!MasterTag) return;
    TtvVariant low, high;
    low.SetString(Low);
    high.SetString(High);
    MasterTag->SetRange(&low, LowInclusive, &high, HighInclusive);
    GoToRecord(MoveTop);
    if (AtBof) BlankRecord();
}

void TVO_dBHandler::ClearRange() {
    if (MasterTag) MasterTag->SetRange(nullptr, false, nullptr, false);
}

// ---------------------------------------------------------------------------
// Filter
// ---------------------------------------------------------------------------

void TVO_dBHandler::BuildFilterSet() {
    // Every record of the file gets its bit, whatever the master tag holds: a set
    // built along the tag would lack the records outside its range, and a later
    // change of range would hide records that pass the filter. The walk is in file
    // order through the read-ahead buffer; the tag keeps its position.
    const int32_t recNo = RecNo;
    const bool cacheWas = CacheOn;
    TVobjIndexTag* master = MasterTag;
    MasterTag = nullptr;
    try {
        SetCache(true);
        TtvExpBuffer result;
        for (int32_t n = 1; n <= RecordCount; ++n) {
            TVO_dBaseFld::GoToRecord(n);
            if (FilterHandler->Evaluate(result) != nullptr && result.AsLogical())
                FilterSet->Change(n, 1);
        }
    } catch (...) {
        MasterTag = master;
        SetCache(cacheWas);
        throw;
    }
    MasterTag = master;
    SetCache(cacheWas);
    if (recNo > 0 && recNo <= RecordCount) GoToRecord(recNo);
}

void TVO_dBHandler::SetFilter(const std::string& Text, bool CaseInsensitive, bool Wildcards) {
    const bool wanted = FilterWanted;
    FilterActive = false;
    if (!FilterSet) FilterSet = std::make_unique<TtvHugeSet>();
    if (!FilterHandler) FilterHandler = std::make_unique<TtvExpHandler>(Link.get(), false, "");
    if (Text != FilterText || FilterHandler->CaseInsensitive != CaseInsensitive ||
        FilterHandler->Wildcards != Wildcards) {
        FilterText = Text;
        FilterSet->ClearAll();
        FilterHandler->CaseInsensitive = CaseInsensitive;
        FilterHandler->Wildcards = Wildcards;
        try {
            FilterHandler->SetExpression(Text);
            TtvExpBuffer result;
            FilterHandler->Evaluate(result);
        } catch (...) {
            // A filter that does not compile leaves no filter behind, and no stale text
            // that a later call with the same text would take as set.
            FilterText.clear();
            FilterHandler->SetExpression("");
            throw;
        }
        if (FilterHandler->ResultType != rtLogical) {
            FilterText.clear();
            FilterHandler->SetExpression("");
            throw ETarnisError("Filter expression must return boolean result");
        }
        BuildFilterSet();
    }
    SetFilterActive(wanted);
}

void TVO_dBHandler::SetFilterActive(bool Active) {
    FilterWanted = Active;
    FilterActive = Active && FilterHandler && FilterHandler->OperandCount > 0;
}

void TVO_dBHandler::RebuildFilter() {
    if (!FilterActive) return;
    FilterActive = false;
    FilterSet->ClearAll();
    BuildFilterSet();
    SetFilterActive(true);
}

// ---------------------------------------------------------------------------
// Read-ahead buffer
// ---------------------------------------------------------------------------

void TVO_dBHandler::SetCache(bool On) {
    if (!CacheAllowed) On = false;
    if (On && CacheOn) return;
    CacheOn = On;
    if (!On) {
        CacheBuffer.reset();
        CacheStart = -1;
        return;
    }
    CacheRecords = std::max(ReadAheadSize / RecordLength, 1);
    CacheSize = CacheRecords * RecordLength;
    CacheBuffer = std::make_unique<uint8_t[]>(static_cast<size_t>(CacheSize));
    CacheStart = -1;
    CacheEnd = 0;
}

void TVO_dBHandler::SetCacheAllowed(bool Allowed) {
    CacheAllowed = Allowed;
    if (!Allowed) SetCache(false);
}

int32_t TVO_dBHandler::ReadAt(uint32_t Offset, void* Buffer, int32_t Count) {
    if (!CacheOn || !CacheBuffer || Count != RecordLength ||
        Offset < static_cast<uint32_t>(HeaderLength))
        return TVO_dBaseFld::ReadAt(Offset, Buffer, Count);
    const auto offset = static_cast<int64_t>(Offset);
    if (CacheStart < 0 || offset < CacheStart ||
        offset >= static_cast<int64_t>(CacheEnd) - RecordLength) {
        const int32_t got = TVO_dBaseFld::ReadAt(Offset, CacheBuffer.get(), CacheSize);
        ErrorCode = 0;
        CacheStart = static_cast<int32_t>(Offset);
        CacheEnd = CacheStart + std::max(got, 0);
    }
    if (offset + RecordLength > CacheEnd) {
        // Nothing (or only part of a record) there: a short read, as from the file.
        ErrorCode = ec::ShortRead;
        LastCount = 0;
        return 0;
    }
    std::memcpy(Buffer, CacheBuffer.get() + (offset - CacheStart),
                static_cast<size_t>(RecordLength));
    LastCount = RecordLength;
    ErrorCode = 0;
    return RecordLength;
}

void TVO_dBHandler::WriteAt(uint32_t Offset, const void* Buffer, int32_t Count) {
    TVO_dBaseFld::WriteAt(Offset, Buffer, Count);
    if (Offset == 0 || !CacheOn || !CacheBuffer || CacheStart < 0) return;
    const auto offset = static_cast<int64_t>(Offset);
    if (offset >= CacheStart && offset < static_cast<int64_t>(CacheEnd) - RecordLength) {
        const int64_t n = std::min<int64_t>(Count, CacheEnd - offset);
        std::memcpy(CacheBuffer.get() + (offset - CacheStart), Buffer, static_cast<size_t>(n));
    }
}

// ---------------------------------------------------------------------------
// Renaming
// ---------------------------------------------------------------------------

bool TVO_dBHandler::Rename(const std::string& NewName) {
    const std::string bare = AnsiUpperCase(BareFileName(FileName));
    TVO_dBaseFld::Rename(NewName);
    for (auto& file : IndexSlots)
        if (file && file->DiskFile && AnsiUpperCase(BareFileName(file->DiskFile->FileName)) == bare)
            file->RenameFile(NewName);
    return true;
}

} // namespace tarnis
