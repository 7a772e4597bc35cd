// The index framework: entries and the index file. Nodes are in TVobjIndexKey.cpp,
// tags in TVobjIndexTag.cpp.
#include "engine/index/tv6_indx.h"

#include "engine/base/tv6_disk.h"
#include "engine/base/tv6_eror.h"
#include "engine/table/TVO_dBaseFld.h"
#include "platform/code_page.h"
#include "platform/file_names.h"

#include <chrono>
#include <thread>

namespace tarnis {

// ---------------------------------------------------------------------------
// TVobjIndexKeyData
// ---------------------------------------------------------------------------

void TVobjIndexKeyData::AssignKey(const TVobjIndexKeyData& Other) {
    if (this == &Other) return;
    Assign(&Other);
    RecordNumber = Other.RecordNumber;
    Reference = Other.Reference;
}

// ---------------------------------------------------------------------------
// TVobjIndexFile
// ---------------------------------------------------------------------------

TVobjIndexFile::TVobjIndexFile(TVO_dBaseFld* ForTable)
    : Table(ForTable), ExactMatch(ForTable ? ForTable->ExactMatch : true) {
}

TVobjIndexFile::~TVobjIndexFile() {
    Tags.clear();
    DiskFile.reset();
}

bool TVobjIndexFile::CreateTag(const std::string&, const std::string&, const std::string&, bool,
                               bool) {
    return false;
}

bool TVobjIndexFile::DeleteTag(const std::string&) {
    return false;
}

void TVobjIndexFile::ReportError(int32_t Code, int32_t SubCode, std::string_view Info) {
    if (Table != nullptr)
        Table->ReportError(Code, SubCode, Info);
    else
        EngineError(Code, SubCode, Info);
}

int32_t TVobjIndexFile::AllocateNode() {
    return -1;
}

int32_t TVobjIndexFile::FindFileEnd() {
    return -1;
}

bool TVobjIndexFile::ReadBlock(int32_t Position, void* Buffer, int32_t Length) {
    if (!DiskFile || Position < 0 || Length < 0) return false;
    return DiskFile->ReadAt(static_cast<uint32_t>(Position), Buffer, Length) == Length;
}

bool TVobjIndexFile::WriteBlock(int32_t Position, const void* Buffer, int32_t Length) {
    if (!DiskFile || Position < 0 || Length < 0) return false;
    DiskFile->WriteAt(static_cast<uint32_t>(Position), Buffer, Length);
    return true;
}

void TVobjIndexFile::RebuildAll() {
}

bool TVobjIndexFile::RenameFile(const std::string& NewName) {
    if (!DiskFile) return false;
    const std::string target = ChangeFileExt(NewName, ExtractFileExt(DiskFile->FileName));
    if (!DiskFile->Rename(target)) return false;
    ShortName = ExtractFileName(target);
    return true;
}

bool TVobjIndexFile::UpdateRecordKeys(int32_t Record, bool Appended) {
    NextFree = -1;
    for (const auto& tag : Tags)
        tag->UpdateKey(Record, Appended);
    return true;
}

bool TVobjIndexFile::ChangedExternally() {
    return false;
}

void TVobjIndexFile::WriteBackChanges() {
    for (auto& tag : Tags)
        tag->ReleaseNodes();
}

void TVobjIndexFile::ReloadHeaders() {
    NextFree = -1;
    for (auto& tag : Tags) {
        tag->ReleaseNodes();
        if (!tag->ReadHeader()) ReportDamage();
    }
}

void TVobjIndexFile::SetLockProtocol(uint8_t Kind) {
    LockProtocol = Kind;
    switch (Kind) {
    case 0:
    case 3:
        LockPointA = 0x7FFFFFFE;
        LockPointB = 0x40000000;
        LockPointC = 0x3FFFFFFF;
        break;
    case 1:
        LockPointA = 0xEFFFFFFF;
        LockPointB = 0x40000000;
        LockPointC = 0xB0000000;
        break;
    case 2:
        LockPointA = 1000000000;
        LockPointB = 1000000000;
        LockPointC = 1000000000;
        break;
    default:
        break;
    }
}

std::unique_ptr<TVO_DiskFile> TVobjIndexFile::OpenIndexFile(TVO_dBaseFld* ForTable,
                                                            const std::string& Name,
                                                            const std::string& DefaultExt,
                                                            bool ReadWrite, bool Shared,
                                                            bool Create, bool Overwrite) {
    const size_t first = Name.find_first_not_of(' ');
    const size_t last = Name.find_last_not_of(' ');
    const std::string trimmed =
        first == std::string::npos ? std::string() : Name.substr(first, last - first + 1);
    std::string directory = ExtractFilePath(trimmed);
    std::string file = AnsiUpperCase(ExtractFileName(trimmed));
    if (ExtractFileExt(file).empty()) file += DefaultExt;
    ShortName = file;
    if (ForTable != nullptr && directory.empty()) directory = ExtractFilePath(ForTable->FileName);
    const std::string full = directory + file;

    auto probe = std::make_unique<TVO_DiskFile>(full, ReadWrite, Shared);
    if (Create && (Overwrite || !probe->Existed)) {
        auto created = std::make_unique<TVO_DiskFile>(full, true, false);
        created->CreateEmpty();
        return created;
    }
    if (!probe->Existed) return nullptr;
    probe->Open();
    return probe;
}

bool TVobjIndexFile::LockIndex() {
    if (!DiskFile) return false;
    if (!DiskFile->Shared) return true;
    bool locked = false;
    switch (LockProtocol) {
    case 0:
    case 3:
        locked = DiskFile->LockRangeWaiting(LockPointA - 1, 1);
        break;
    case 1:
        locked = DiskFile->LockRangeWaiting(LockPointA - 1, 2);
        break;
    case 2:
        locked = DiskFile->LockRangeWaiting(LockPointB, 1);
        break;
    default:
        // No lock point for the protocol: every attempt fails, for the whole wait.
        for (int32_t tries =
                 LockRetryDelay == 0 ? 1 : std::max<int32_t>(LockWaitTotal / LockRetryDelay, 1);
             tries > 1; --tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(LockRetryDelay));
        break;
    }
    if (locked) return true;
    throw ETarnisError("Error " + std::to_string(DiskFile->ErrorCode) + " in Lock of " +
                       DiskFile->FileName);
}

bool TVobjIndexFile::MatchesFileName(const std::string& Name) const {
    // Drive and directory separators of both worlds end the directory part.
    const size_t cut = Name.find_last_of(":\\/");
    const std::string bare = cut == std::string::npos ? Name : Name.substr(cut + 1);
    return AnsiCompareText(bare, ShortName) == 0;
}

TVobjIndexTag* TVobjIndexFile::TagByName(std::string_view Name) const {
    for (const auto& tag : Tags)
        if (AnsiCompareText(tag->TagName, Name) == 0) return tag.get();
    return nullptr;
}

TVobjIndexTag* TVobjIndexFile::TagByIndex(int32_t Index) const {
    if (Index < 0 || Index >= TagCount()) return nullptr;
    return Tags[static_cast<size_t>(Index)].get();
}

void TVobjIndexFile::ReportDamage() {
    ReportError(ec::IndexDamaged, NoSubCode, DiskFile ? DiskFile->FileName : ShortName);
}

} // namespace tarnis
