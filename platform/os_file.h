// Operating-system file access for the engine's disk-file layer.
//
// The engine was designed around a file API with share modes, positioned
// transfers, byte-range locks and numbered errors. On Linux it is built here from
// POSIX calls:
//
//  * share modes are emulated with flock() on the descriptor: an unshared open
//    takes LOCK_EX|LOCK_NB, a shared open LOCK_SH|LOCK_NB; a conflict is error 32;
//  * byte-range locks are open-file-description locks (F_OFD_SETLK, F_WRLCK), so a
//    lock belongs to the handle; a conflict is error 33. Lock offsets are 32-bit
//    unsigned and may lie far beyond the end of the file: they mark ranges, not data;
//  * errno values are mapped to the engine's numbers (MapErrno).
//
// Every function returns 0 on success or the engine's error number. Where a name is
// involved, a missing directory on the way to the file is reported as 3 (not 2),
// and a directory opened as a file as 5.
#pragma once

#include <cstdint>
#include <string>

namespace tarnis {

// The engine's numbers for operating-system failures.
namespace oserr {
constexpr int32_t FileNotFound = 2;
constexpr int32_t PathNotFound = 3;
constexpr int32_t TooManyOpenFiles = 4;
constexpr int32_t AccessDenied = 5;
constexpr int32_t SharingViolation = 32;
constexpr int32_t LockViolation = 33;
constexpr int32_t WriteProtected = 150;
constexpr int32_t AlreadyExists = 183;
} // namespace oserr

// ENOENT 2, ENOTDIR 3, EMFILE/ENFILE 4, EACCES/EPERM 5, EAGAIN/EWOULDBLOCK 33,
// EROFS 150, EEXIST 183; ENOSPC/EIO and everything else 5 (access denied), the
// closest meaning the engine's table has.
int32_t MapErrno(int error);

// The thread's last-error value: the engine stores each reported code here just
// before its error handler runs, so a handler can read it.
void SetLastOsError(int32_t code);
int32_t GetLastOsError();

constexpr int NoHandle = -1;

// Opens an existing file for reading (or reading and writing) with the share mode:
// unshared = no other handle may have it open, shared = others may read and write.
int32_t OsOpenFile(const std::string& path, bool readWrite, bool shared, int& handle);
// Creates the file or empties an existing one, then closes it again; a file that
// another handle has open is left alone (32).
int32_t OsCreateFile(const std::string& path);
int32_t OsCloseFile(int handle);
// Positioned transfers; `done` receives the bytes moved (short only at end of file).
int32_t OsReadAt(int handle, uint32_t offset, void* buffer, uint32_t count, int32_t& done);
int32_t OsWriteAt(int handle, uint32_t offset, const void* buffer, uint32_t count, int32_t& done);
int32_t OsFileSize(int handle, int64_t& size);
int32_t OsFlush(int handle);
int32_t OsTruncate(int handle, uint32_t offset);
// Never replaces an existing `to`: that is error 183.
int32_t OsRename(const std::string& from, const std::string& to);
// Exclusive lock of [offset, offset + length) owned by this handle; never waits. The
// range may reach past 4 GB. A zero length locks nothing and succeeds. Locks are
// advisory: they stop other locks, not reads or writes.
int32_t OsLockRange(int handle, uint32_t offset, uint32_t length);
int32_t OsUnlockRange(int handle, uint32_t offset, uint32_t length);
// True for an existing file (a directory is not one).
bool OsFileExists(const std::string& path);

} // namespace tarnis
