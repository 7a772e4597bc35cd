// TVO_DiskFile: one engine file — positioned reads and writes, size, flush,
// truncation, rename, creation and one byte-range lock — and TVobjFileColl, the
// process-wide registry of open files.
//
// Objects that open the same (normalised) file name share one OS handle and one
// re-entrant Guard: the first opener's share mode and access rights win, and the
// handle closes with the last of them. Offsets and lengths are 32-bit: files are
// limited to 2 147 483 647 bytes and the whole-file lock is (0, 0x7FFFFFFF).
//
// Errors: each operation leaves its result in ErrorCode (0, an OS error number or an
// engine code) and reports through CheckError with its sub-code:
//   1101 ReadAt  1102 WriteAt  1105 FileSize  1106 Rename  1107 Open
//   1108 CreateEmpty  1109 Truncate  1111 Flush
// Lock failures and short reads are not reported: LockRange/Unlock return false
// with ErrorCode set (33 = held by another), and ReadAt returns the smaller count
// with ErrorCode 221.
//
// An unshared file takes no OS byte-range locks: its lock calls only count nesting,
// because the exclusive open already keeps every other process out.
#pragma once

#include "engine/base/tv6_tool.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace tarnis {

// Sub-codes of the disk-file operations.
namespace sc {
constexpr int32_t ReadAt = 1101;
constexpr int32_t WriteAt = 1102;
constexpr int32_t FileSize = 1105;
constexpr int32_t Rename = 1106;
constexpr int32_t Open = 1107;
constexpr int32_t CreateEmpty = 1108;
constexpr int32_t Truncate = 1109;
constexpr int32_t Flush = 1111;
} // namespace sc

// How long callers that wait for a lock keep trying (milliseconds): up to
// LockWaitTotal / LockRetryDelay attempts, sleeping LockRetryDelay after each failure.
extern uint16_t LockWaitTotal;
extern uint16_t LockRetryDelay;

// Whole-file lock range: 0 .. 0x7FFFFFFE.
constexpr uint32_t WholeFileLockLength = 0x7FFFFFFF;

class TVO_DiskFile : public TtvObject {
public:
    std::shared_ptr<std::recursive_mutex> Guard; // one per OS handle
    int Handle = -1;                             // -1 while closed
    int32_t ErrorCode = 0;
    bool Existed = false; // the file existed when the object was made
    std::string FileName; // the normalised full name
    int32_t Position = 0; // offset just after the last successful transfer
    bool Shared = false;  // other processes may read and write; locks are real OS locks
    bool ReadWrite = false;
    int32_t LastCount = 0; // bytes moved by the last transfer; -1 after an OS failure
    int32_t LockCount = 0; // nesting of the one lock held; 0 = none
    uint32_t LockOffset = 0;
    uint32_t LockLength = 0;
    bool Dirty = false; // written since the last Flush
    bool Closed = true;

    // Normalises and stores the name and the flags; does not open the file.
    TVO_DiskFile(const std::string& FileName, bool ReadWrite, bool Shared);
    TVO_DiskFile(const TVO_DiskFile&) = delete;
    TVO_DiskFile& operator=(const TVO_DiskFile&) = delete;
    ~TVO_DiskFile() override;

    // Drops the lock, leaves the registry and closes the handle unless another
    // object still uses it (then only flushes when this object wrote). Always true.
    virtual bool Close();
    // Default: EngineError (Code, SubCode, Info).
    virtual void ReportError(int32_t Code, int32_t SubCode, std::string_view Info);
    // Size in bytes, or -1 after a failure.
    virtual int32_t FileSize();
    virtual void Flush();
    // LockRange (0, 0x7FFFFFFF) on a shared file; plain success otherwise.
    virtual bool LockWholeFile();
    // Takes the one byte-range lock, or nests it when the same range is held.
    virtual bool LockRange(uint32_t Offset, uint32_t Length);
    virtual int32_t ReadAt(uint32_t Offset, void* Buffer, int32_t Count);
    // Closes, renames and opens again (under the new name when the rename worked).
    virtual bool Rename(const std::string& NewName);
    // Opens the existing file, or joins the handle of an object that has it open.
    virtual void Open();
    // Creates the file or empties it, then opens it. Fails with 12 when an engine
    // object has the file open.
    virtual void CreateEmpty();
    // Progress of long operations (pack, index build); does nothing here.
    virtual void StatusReport(int32_t Stat1, int32_t Stat2, int32_t Stat3);
    // Needs write access and, on a shared file, the whole-file lock (else 5).
    virtual void Truncate(uint32_t Offset);
    // Releases one nesting level; the OS lock goes with the last.
    virtual bool Unlock();
    virtual void WriteAt(uint32_t Offset, const void* Buffer, int32_t Count);

    bool HasExclusiveAccess() const;
    // LockRange with the engine's lock wait: up to LockWaitTotal / LockRetryDelay
    // attempts (at least one), sleeping LockRetryDelay after each failed one but the
    // last. ErrorCode is that of the last attempt; nothing is reported.
    bool LockRangeWaiting(uint32_t Offset, uint32_t Length);
    // Code 0: nothing. Otherwise sets the thread's last error and ReportError (Code,
    // SubCode, FileName).
    void CheckError(int32_t Code, int32_t SubCode);

private:
    void CloseFile();
};

// The registry of open files. It lists file objects but never owns or frees them.
class TVobjFileColl : public TtvCollection {
public:
    ~TVobjFileColl() override { ForgetAll(); }
    void FreeItem(TtvObject*) override {}

    // Each under the registry's lock (they hide the unlocked list operations).
    void Add(TVO_DiskFile* File);
    int32_t IndexOf(const TVO_DiskFile* File);
    void Remove(TVO_DiskFile* File);
    // The first registered object whose FileName equals Name exactly, or nullptr.
    TVO_DiskFile* FindOpenFile(std::string_view Name);
    // Engine shutdown: releases the OS lock of every object that holds one.
    void ReleaseAllLocks();

private:
    std::mutex Lock;
};

extern TVobjFileColl OpenFiles;

} // namespace tarnis
