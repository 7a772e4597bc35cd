#include "engine/base/tv6_disk.h"

#include "engine/base/tv6_eror.h"
#include "platform/file_names.h"
#include "platform/os_file.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

namespace tarnis {

uint16_t LockWaitTotal = 5000;
uint16_t LockRetryDelay = 50;

TVobjFileColl OpenFiles;

// ---------------------------------------------------------------------------
// TVobjFileColl
// ---------------------------------------------------------------------------

void TVobjFileColl::Add(TVO_DiskFile* File) {
    std::lock_guard lock(Lock);
    TtvCollection::Add(File);
}

int32_t TVobjFileColl::IndexOf(const TVO_DiskFile* File) {
    std::lock_guard lock(Lock);
    return TtvCollection::IndexOf(File);
}

void TVobjFileColl::Remove(TVO_DiskFile* File) {
    std::lock_guard lock(Lock);
    const int32_t index = TtvCollection::IndexOf(File);
    if (index >= 0) Delete(index);
}

TVO_DiskFile* TVobjFileColl::FindOpenFile(std::string_view Name) {
    std::lock_guard lock(Lock);
    for (int32_t i = 0; i < Count(); ++i) {
        auto* file = static_cast<TVO_DiskFile*>(At(i));
        if (file->FileName == Name) return file;
    }
    return nullptr;
}

void TVobjFileColl::ReleaseAllLocks() {
    std::lock_guard lock(Lock);
    for (int32_t i = 0; i < Count(); ++i) {
        auto* file = static_cast<TVO_DiskFile*>(At(i));
        if (file->LockCount > 0) {
            file->LockCount = 1;
            OsUnlockRange(file->Handle, file->LockOffset, file->LockLength);
        }
    }
}

// ---------------------------------------------------------------------------
// TVO_DiskFile
// ---------------------------------------------------------------------------

TVO_DiskFile::TVO_DiskFile(const std::string& FileName, bool ReadWrite, bool Shared)
    : FileName(NormalizeFileName(FileName)), Shared(Shared), ReadWrite(ReadWrite) {
    Existed = OsFileExists(this->FileName);
}

TVO_DiskFile::~TVO_DiskFile() {
    CloseFile();
}

bool TVO_DiskFile::Close() {
    CloseFile();
    return true;
}

void TVO_DiskFile::CloseFile() {
    if (Closed) return;
    std::shared_ptr<std::recursive_mutex> guard = Guard;
    {
        std::lock_guard lock(*guard);
        if (LockCount > 0) {
            LockCount = 1;
            Unlock();
        }
        ErrorCode = 0;
        if (OpenFiles.IndexOf(this) >= 0) OpenFiles.Remove(this);
        if (OpenFiles.FindOpenFile(FileName) != nullptr) {
            // Another object still uses the handle: it stays open.
            if (Dirty) Flush();
        } else {
            OsCloseFile(Handle);
            Closed = true;
            Position = 0;
            Handle = -1;
        }
    }
    if (Closed) Guard.reset();
}

void TVO_DiskFile::ReportError(int32_t Code, int32_t SubCode, std::string_view Info) {
    EngineError(Code, SubCode, Info);
}

void TVO_DiskFile::CheckError(int32_t Code, int32_t SubCode) {
    if (Code == 0) return;
    SetLastOsError(Code);
    ReportError(Code, SubCode, FileName);
}

void TVO_DiskFile::Open() {
    ErrorCode = 0;
    if (TVO_DiskFile* other = OpenFiles.FindOpenFile(FileName); other != nullptr && other != this) {
        Shared = other->Shared;
        Handle = other->Handle;
        Guard = other->Guard;
    } else if (other == nullptr || Closed) {
        int handle = -1;
        ErrorCode = OsOpenFile(FileName, ReadWrite, Shared, handle);
        if (ErrorCode == 0) {
            Handle = handle;
            Guard = std::make_shared<std::recursive_mutex>();
        }
    }
    if (ErrorCode == 0) {
        Position = 0;
        if (OpenFiles.IndexOf(this) < 0) OpenFiles.Add(this);
        Closed = false;
    }
    CheckError(ErrorCode, sc::Open);
}

void TVO_DiskFile::CreateEmpty() {
    if (OpenFiles.FindOpenFile(FileName) != nullptr) {
        ErrorCode = ec::InvalidFileAccess;
    } else {
        ErrorCode = OsCreateFile(FileName);
        if (ErrorCode == 0) {
            Existed = true;
            Open();
            ErrorCode = 0;
        }
    }
    CheckError(ErrorCode, sc::CreateEmpty);
}

int32_t TVO_DiskFile::ReadAt(uint32_t Offset, void* Buffer, int32_t Count) {
    if (Closed) {
        ErrorCode = 103; // "File not open"
        LastCount = -1;
    } else {
        std::lock_guard lock(*Guard);
        int32_t done = 0;
        ErrorCode =
            OsReadAt(Handle, Offset, Buffer, static_cast<uint32_t>(Count < 0 ? 0 : Count), done);
        LastCount = ErrorCode == 0 ? done : -1;
        if (ErrorCode == 0) Position = static_cast<int32_t>(Offset + static_cast<uint32_t>(Count));
    }
    CheckError(ErrorCode, sc::ReadAt);
    if (LastCount < Count) ErrorCode = ec::ShortRead;
    return LastCount;
}

void TVO_DiskFile::WriteAt(uint32_t Offset, const void* Buffer, int32_t Count) {
    if (Closed) {
        ErrorCode = 103;
        LastCount = -1;
    } else {
        std::lock_guard lock(*Guard);
        int32_t done = 0;
        ErrorCode =
            OsWriteAt(Handle, Offset, Buffer, static_cast<uint32_t>(Count < 0 ? 0 : Count), done);
        LastCount = ErrorCode == 0 ? done : -1;
        if (ErrorCode == 0) {
            Position = static_cast<int32_t>(Offset + static_cast<uint32_t>(Count));
            Dirty = true;
        }
    }
    CheckError(ErrorCode, sc::WriteAt);
}

int32_t TVO_DiskFile::FileSize() {
    int32_t size = -1;
    if (Closed) {
        ErrorCode = 103;
    } else {
        std::lock_guard lock(*Guard);
        int64_t bytes = 0;
        ErrorCode = OsFileSize(Handle, bytes);
        if (ErrorCode == 0)
            size =
                static_cast<int32_t>(std::min<int64_t>(bytes, std::numeric_limits<int32_t>::max()));
    }
    CheckError(ErrorCode, sc::FileSize);
    return size;
}

void TVO_DiskFile::Flush() {
    if (Closed) return;
    {
        std::lock_guard lock(*Guard);
        ErrorCode = OsFlush(Handle);
        Dirty = false;
    }
    CheckError(ErrorCode, sc::Flush);
}

void TVO_DiskFile::Truncate(uint32_t Offset) {
    ErrorCode = 0;
    if (Closed) {
        ErrorCode = 103;
    } else {
        std::lock_guard lock(*Guard);
        if (!ReadWrite || !HasExclusiveAccess())
            ErrorCode = oserr::AccessDenied;
        else
            ErrorCode = OsTruncate(Handle, Offset);
    }
    CheckError(ErrorCode, sc::Truncate);
}

bool TVO_DiskFile::Rename(const std::string& NewName) {
    ErrorCode = 0;
    CloseFile();
    const std::string target = ExpandFileName(NewName);
    const int32_t renameError = OsRename(FileName, target);
    if (renameError == 0) FileName = target;
    Open();
    if (renameError != 0) ErrorCode = renameError;
    CheckError(ErrorCode, sc::Rename);
    return renameError == 0;
}

bool TVO_DiskFile::LockRange(uint32_t Offset, uint32_t Length) {
    if (!Shared) {
        ErrorCode = 0;
        ++LockCount;
        LockOffset = Offset;
        LockLength = Length;
        return true;
    }
    if (LockCount > 0) {
        if (Offset == LockOffset && Length == LockLength) {
            ErrorCode = 0;
            ++LockCount;
        } else {
            ErrorCode = oserr::LockViolation;
        }
        return ErrorCode == 0;
    }
    LockOffset = Offset;
    LockLength = Length;
    ErrorCode = OsLockRange(Handle, Offset, Length);
    if (ErrorCode == 0) ++LockCount;
    return ErrorCode == 0;
}

bool TVO_DiskFile::LockRangeWaiting(uint32_t Offset, uint32_t Length) {
    int32_t tries = LockRetryDelay == 0 ? 1 : std::max(LockWaitTotal / LockRetryDelay, 1);
    for (;;) {
        if (LockRange(Offset, Length)) return true;
        if (--tries <= 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(LockRetryDelay));
    }
}

bool TVO_DiskFile::LockWholeFile() {
    if (!Shared) return true;
    return LockRange(0, WholeFileLockLength);
}

bool TVO_DiskFile::Unlock() {
    ErrorCode = 0;
    if (LockCount > 0) {
        if (Shared && LockCount == 1) ErrorCode = OsUnlockRange(Handle, LockOffset, LockLength);
        if (ErrorCode == 0) --LockCount;
    }
    return ErrorCode == 0;
}

bool TVO_DiskFile::HasExclusiveAccess() const {
    if (!Shared) return true;
    return LockCount > 0 && LockOffset == 0 && LockLength == WholeFileLockLength;
}

void TVO_DiskFile::StatusReport(int32_t, int32_t, int32_t) {
}

} // namespace tarnis
