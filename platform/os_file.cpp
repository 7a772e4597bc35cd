#include "platform/os_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnis {

static_assert(sizeof(off_t) >= 8, "lock ranges up to 4 GB need a 64-bit off_t");

namespace {

thread_local int32_t LastOsError = 0;

// ENOENT covers both a missing file and a missing directory on the way to it; the
// engine tells them apart (2 and 3), so look at the directory that should hold it.
int32_t MapPathErrno(int error, const std::string& path) {
    if (error != ENOENT) return MapErrno(error);
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return oserr::FileNotFound;
    struct stat info {};
    const std::string directory = path.substr(0, slash);
    if (stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return oserr::PathNotFound;
    return oserr::FileNotFound;
}

int32_t TakeShareLock(int fd, bool shared) {
    int rc = 0;
    do {
        rc = flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return 0;
    return errno == EWOULDBLOCK ? oserr::SharingViolation : MapErrno(errno);
}

int32_t SetRangeLock(int handle, short type, uint32_t offset, uint32_t length) {
    // A zero-length range covers nothing; for fcntl it would mean "to the end and
    // beyond", so it is not passed on.
    if (length == 0) return 0;
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(offset);
    range.l_len = static_cast<off_t>(length);
    range.l_pid = 0;
    int rc = 0;
    do {
        rc = fcntl(handle, F_OFD_SETLK, &range);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return 0;
    return errno == EAGAIN || errno == EACCES ? oserr::LockViolation : MapErrno(errno);
}

} // namespace

int32_t MapErrno(int error) {
    switch (error) {
    case 0:
        return 0;
    case ENOENT:
        return oserr::FileNotFound;
    case ENOTDIR:
        return oserr::PathNotFound;
    case EMFILE:
    case ENFILE:
        return oserr::TooManyOpenFiles;
    case EACCES:
    case EPERM:
        return oserr::AccessDenied;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return oserr::LockViolation;
    case EROFS:
        return oserr::WriteProtected;
    case EEXIST:
        return oserr::AlreadyExists;
    default:
        return oserr::AccessDenied;
    }
}

void SetLastOsError(int32_t code) {
    LastOsError = code;
}
int32_t GetLastOsError() {
    return LastOsError;
}

int32_t OsOpenFile(const std::string& path, bool readWrite, bool shared, int& handle) {
    handle = NoHandle;
    const int fd = open(path.c_str(), (readWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return MapPathErrno(errno, path);
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        // A directory opens read-only on Linux but is no file for the engine.
        close(fd);
        return oserr::AccessDenied;
    }
    if (const int32_t code = TakeShareLock(fd, shared); code != 0) {
        close(fd);
        return code;
    }
    handle = fd;
    return 0;
}

int32_t OsCreateFile(const std::string& path) {
    // Not O_TRUNC: a file another handle holds must not be emptied under it, so the
    // exclusive share lock comes first and the truncation after.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return MapPathErrno(errno, path);
    int32_t code = TakeShareLock(fd, false);
    if (code == 0) {
        int rc = 0;
        do {
            rc = ftruncate(fd, 0);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) code = MapErrno(errno);
    }
    close(fd);
    return code;
}

int32_t OsCloseFile(int handle) {
    // close() is not retried after EINTR on Linux: the descriptor is gone either way.
    if (close(handle) != 0 && errno != EINTR) return MapErrno(errno);
    return 0;
}

int32_t OsReadAt(int handle, uint32_t offset, void* buffer, uint32_t count, int32_t& done) {
    done = 0;
    if (count > static_cast<uint32_t>(INT32_MAX)) return oserr::AccessDenied;
    auto* bytes = static_cast<char*>(buffer);
    uint32_t total = 0;
    while (total < count) {
        const ssize_t got = pread(handle, bytes + total, count - total,
                                  static_cast<off_t>(offset) + static_cast<off_t>(total));
        if (got < 0) {
            if (errno == EINTR) continue;
            done = static_cast<int32_t>(total);
            return MapErrno(errno);
        }
        if (got == 0) break; // end of file
        total += static_cast<uint32_t>(got);
    }
    done = static_cast<int32_t>(total);
    return 0;
}

int32_t OsWriteAt(int handle, uint32_t offset, const void* buffer, uint32_t count, int32_t& done) {
    done = 0;
    if (count > static_cast<uint32_t>(INT32_MAX)) return oserr::AccessDenied;
    const auto* bytes = static_cast<const char*>(buffer);
    uint32_t total = 0;
    while (total < count) {
        const ssize_t put = pwrite(handle, bytes + total, count - total,
                                   static_cast<off_t>(offset) + static_cast<off_t>(total));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            done = static_cast<int32_t>(total);
            return put < 0 ? MapErrno(errno) : oserr::AccessDenied;
        }
        total += static_cast<uint32_t>(put);
    }
    done = static_cast<int32_t>(total);
    return 0;
}

int32_t OsFileSize(int handle, int64_t& size) {
    struct stat info {};
    if (fstat(handle, &info) != 0) {
        size = -1;
        return MapErrno(errno);
    }
    size = static_cast<int64_t>(info.st_size);
    return 0;
}

int32_t OsFlush(int handle) {
    int rc = 0;
    do {
        rc = fsync(handle);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : MapErrno(errno);
}

int32_t OsTruncate(int handle, uint32_t offset) {
    int rc = 0;
    do {
        rc = ftruncate(handle, static_cast<off_t>(offset));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : MapErrno(errno);
}

int32_t OsRename(const std::string& from, const std::string& to) {
    // A rename never replaces an existing file (183), as the engine expects.
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) {
        if (errno == ENOENT && !OsFileExists(from)) return MapPathErrno(ENOENT, from);
        return MapPathErrno(errno, to);
    }
    // The file system cannot refuse a replacement itself: check, then rename.
    struct stat info {};
    if (lstat(to.c_str(), &info) == 0) return oserr::AlreadyExists;
    if (rename(from.c_str(), to.c_str()) == 0) return 0;
    if (errno == ENOENT && !OsFileExists(from)) return MapPathErrno(ENOENT, from);
    return MapPathErrno(errno, to);
}

int32_t OsLockRange(int handle, uint32_t offset, uint32_t length) {
    return SetRangeLock(handle, F_WRLCK, offset, length);
}

int32_t OsUnlockRange(int handle, uint32_t offset, uint32_t length) {
    return SetRangeLock(handle, F_UNLCK, offset, length);
}

bool OsFileExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

} // namespace tarnis
