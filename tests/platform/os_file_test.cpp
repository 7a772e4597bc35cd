#include "platform/os_file.h"

#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>

namespace tarnis {
namespace {

using test::TempDir;

// A handle closed when the test leaves, whatever happens.
class Handle {
public:
    Handle() = default;
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    int32_t Open(const std::string& path, bool readWrite, bool shared) {
        Close();
        return OsOpenFile(path, readWrite, shared, fd_);
    }
    void Close() {
        if (fd_ != NoHandle) OsCloseFile(fd_);
        fd_ = NoHandle;
    }
    int Fd() const { return fd_; }

private:
    int fd_ = NoHandle;
};

TEST(OsFile, MapErrno) {
    const std::pair<int, int32_t> cases[] = {
        {0, 0},
        {ENOENT, oserr::FileNotFound},
        {ENOTDIR, oserr::PathNotFound},
        {EMFILE, oserr::TooManyOpenFiles},
        {ENFILE, oserr::TooManyOpenFiles},
        {EACCES, oserr::AccessDenied},
        {EPERM, oserr::AccessDenied},
        {EAGAIN, oserr::LockViolation},
        {EWOULDBLOCK, oserr::LockViolation},
        {EROFS, oserr::WriteProtected},
        {EEXIST, oserr::AlreadyExists},
        {ENOSPC, oserr::AccessDenied},
        {EIO, oserr::AccessDenied},
        {EBADF, oserr::AccessDenied},
    };
    for (const auto& [error, code] : cases)
        EXPECT_EQ(MapErrno(error), code) << "errno " << error;
}

TEST(OsFile, LastErrorBelongsToTheThread) {
    SetLastOsError(oserr::SharingViolation);
    int32_t seenByOther = -1;
    int32_t otherAfterSet = -1;
    std::thread other([&] {
        seenByOther = GetLastOsError();
        SetLastOsError(oserr::LockViolation);
        otherAfterSet = GetLastOsError();
    });
    other.join();
    EXPECT_EQ(seenByOther, 0);
    EXPECT_EQ(otherAfterSet, oserr::LockViolation);
    EXPECT_EQ(GetLastOsError(), oserr::SharingViolation);
    SetLastOsError(0);
}

TEST(OsFile, OpenErrors) {
    TempDir dir;
    test::WriteFileBytes(dir.File("plain"), "abc");
    std::filesystem::create_directory(dir.File("sub"));
    struct Case {
        std::string Path;
        int32_t Expected;
    };
    const Case cases[] = {
        {dir.File("missing.dbf"), oserr::FileNotFound},
        {dir.File("nodir/missing.dbf"), oserr::PathNotFound},
        {dir.File("nodir/deeper/missing.dbf"), oserr::PathNotFound},
        {dir.File("plain/x.dbf"), oserr::PathNotFound}, // a file used as a directory
        {dir.File("sub"), oserr::AccessDenied},         // a directory is no file
    };
    for (const auto& c : cases) {
        for (const bool readWrite : {false, true}) {
            int handle = 12345;
            EXPECT_EQ(OsOpenFile(c.Path, readWrite, true, handle), c.Expected)
                << c.Path << " readWrite=" << readWrite;
            EXPECT_EQ(handle, NoHandle);
        }
    }
}

TEST(OsFile, CreateMakesOrEmptiesAFile) {
    TempDir dir;
    const std::string path = dir.File("new.dbf");
    ASSERT_EQ(OsCreateFile(path), 0);
    EXPECT_TRUE(OsFileExists(path));
    EXPECT_EQ(test::ReadFileBytes(path), "");

    test::WriteFileBytes(path, "old contents");
    ASSERT_EQ(OsCreateFile(path), 0);
    EXPECT_EQ(test::ReadFileBytes(path), "");

    EXPECT_EQ(OsCreateFile(dir.File("nodir/new.dbf")), oserr::PathNotFound);
    EXPECT_EQ(OsCreateFile(dir.Path()), oserr::AccessDenied);
}

TEST(OsFile, CreateDoesNotEmptyAFileInUse) {
    TempDir dir;
    const std::string path = dir.File("busy.dbf");
    test::WriteFileBytes(path, "keep me");
    Handle holder;
    ASSERT_EQ(holder.Open(path, true, true), 0);
    EXPECT_EQ(OsCreateFile(path), oserr::SharingViolation);
    EXPECT_EQ(test::ReadFileBytes(path), "keep me");
}

TEST(OsFile, ShareModes) {
    struct Case {
        bool FirstShared, SecondShared;
        int32_t Expected;
    };
    const Case cases[] = {
        {false, false, oserr::SharingViolation},
        {false, true, oserr::SharingViolation},
        {true, false, oserr::SharingViolation},
        {true, true, 0},
    };
    TempDir dir;
    const std::string path = dir.File("share.dbf");
    test::WriteFileBytes(path, "data");
    for (const auto& c : cases) {
        for (const bool readWrite : {false, true}) {
            Handle first, second;
            ASSERT_EQ(first.Open(path, readWrite, c.FirstShared), 0);
            EXPECT_EQ(second.Open(path, readWrite, c.SecondShared), c.Expected)
                << "first shared=" << c.FirstShared << " second shared=" << c.SecondShared
                << " readWrite=" << readWrite;
            if (c.Expected != 0) {
                EXPECT_EQ(second.Fd(), NoHandle);
            }
            // Once the first handle is gone, any open succeeds.
            first.Close();
            second.Close();
            EXPECT_EQ(second.Open(path, readWrite, c.SecondShared), 0);
        }
    }
}

TEST(OsFile, ReadWriteAndShortReadAtEndOfFile) {
    TempDir dir;
    const std::string path = dir.File("rw.dbf");
    ASSERT_EQ(OsCreateFile(path), 0);
    Handle file;
    ASSERT_EQ(file.Open(path, true, false), 0);

    int32_t done = -1;
    ASSERT_EQ(OsWriteAt(file.Fd(), 0, "0123456789", 10, done), 0);
    EXPECT_EQ(done, 10);
    ASSERT_EQ(OsWriteAt(file.Fd(), 3, "abc", 3, done), 0);
    EXPECT_EQ(done, 3);

    struct Case {
        uint32_t Offset, Count;
        std::string Expected;
    };
    const Case cases[] = {
        {0, 10, "012abc6789"}, {2, 3, "2ab"}, {5, 20, "c6789"}, // short: only five bytes left
        {9, 1, "9"},           {10, 4, ""},                     // at the end
        {500, 4, ""},                                           // past the end
        {0xFFFFFFF0u, 4, ""},  {4, 0, ""},
    };
    for (const auto& c : cases) {
        std::string buffer(c.Count, '\0');
        done = -1;
        EXPECT_EQ(OsReadAt(file.Fd(), c.Offset, buffer.data(), c.Count, done), 0) << c.Offset;
        ASSERT_EQ(done, static_cast<int32_t>(c.Expected.size())) << c.Offset;
        EXPECT_EQ(buffer.substr(0, static_cast<size_t>(done)), c.Expected) << c.Offset;
    }

    int64_t size = -1;
    ASSERT_EQ(OsFileSize(file.Fd(), size), 0);
    EXPECT_EQ(size, 10);
}

TEST(OsFile, WritePastTheEndExtendsWithZeros) {
    TempDir dir;
    const std::string path = dir.File("grow.dbf");
    ASSERT_EQ(OsCreateFile(path), 0);
    Handle file;
    ASSERT_EQ(file.Open(path, true, true), 0);
    int32_t done = 0;
    ASSERT_EQ(OsWriteAt(file.Fd(), 4, "xy", 2, done), 0);
    ASSERT_EQ(OsFlush(file.Fd()), 0);
    EXPECT_EQ(test::ReadFileBytes(path), std::string("\0\0\0\0xy", 6));
}

TEST(OsFile, TransfersOfMoreThanOnePage) {
    TempDir dir;
    const std::string path = dir.File("big.dbf");
    ASSERT_EQ(OsCreateFile(path), 0);
    Handle file;
    ASSERT_EQ(file.Open(path, true, false), 0);
    std::string data(3 * 1024 * 1024 + 7, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 251);
    int32_t done = 0;
    ASSERT_EQ(OsWriteAt(file.Fd(), 1, data.data(), static_cast<uint32_t>(data.size()), done), 0);
    EXPECT_EQ(done, static_cast<int32_t>(data.size()));
    std::string back(data.size() + 100, '\0');
    ASSERT_EQ(OsReadAt(file.Fd(), 1, back.data(), static_cast<uint32_t>(back.size()), done), 0);
    ASSERT_EQ(done, static_cast<int32_t>(data.size()));
    back.resize(data.size());
    EXPECT_TRUE(back == data);
}

TEST(OsFile, ErrorsOnBadHandlesAndReadOnlyHandles) {
    TempDir dir;
    const std::string path = dir.File("ro.dbf");
    test::WriteFileBytes(path, "abc");
    Handle file;
    ASSERT_EQ(file.Open(path, false, true), 0);
    int32_t done = -1;
    EXPECT_EQ(OsWriteAt(file.Fd(), 0, "x", 1, done), oserr::AccessDenied);
    EXPECT_EQ(done, 0);
    EXPECT_EQ(test::ReadFileBytes(path), "abc");

    char byte = 0;
    EXPECT_EQ(OsReadAt(NoHandle, 0, &byte, 1, done), oserr::AccessDenied);
    int64_t size = 0;
    EXPECT_EQ(OsFileSize(NoHandle, size), oserr::AccessDenied);
    EXPECT_EQ(OsCloseFile(NoHandle), oserr::AccessDenied);
}

TEST(OsFile, TruncateAndSize) {
    TempDir dir;
    const std::string path = dir.File("cut.dbf");
    test::WriteFileBytes(path, "0123456789");
    Handle file;
    ASSERT_EQ(file.Open(path, true, false), 0);
    ASSERT_EQ(OsTruncate(file.Fd(), 4), 0);
    int64_t size = -1;
    ASSERT_EQ(OsFileSize(file.Fd(), size), 0);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(test::ReadFileBytes(path), "0123");
    ASSERT_EQ(OsTruncate(file.Fd(), 6), 0);
    EXPECT_EQ(test::ReadFileBytes(path), std::string("0123\0\0", 6));
}

TEST(OsFile, RenameNeverReplaces) {
    TempDir dir;
    test::WriteFileBytes(dir.File("a.dbf"), "A");
    test::WriteFileBytes(dir.File("b.dbf"), "B");
    EXPECT_EQ(OsRename(dir.File("a.dbf"), dir.File("b.dbf")), oserr::AlreadyExists);
    EXPECT_EQ(test::ReadFileBytes(dir.File("b.dbf")), "B");

    EXPECT_EQ(OsRename(dir.File("a.dbf"), dir.File("c.dbf")), 0);
    EXPECT_FALSE(OsFileExists(dir.File("a.dbf")));
    EXPECT_EQ(test::ReadFileBytes(dir.File("c.dbf")), "A");

    EXPECT_EQ(OsRename(dir.File("a.dbf"), dir.File("d.dbf")), oserr::FileNotFound);
    EXPECT_EQ(OsRename(dir.File("nodir/a.dbf"), dir.File("d.dbf")), oserr::PathNotFound);
    EXPECT_EQ(OsRename(dir.File("c.dbf"), dir.File("nodir/c.dbf")), oserr::PathNotFound);
}

TEST(OsFile, FileExists) {
    TempDir dir;
    test::WriteFileBytes(dir.File("here.dbf"), "");
    EXPECT_TRUE(OsFileExists(dir.File("here.dbf")));
    EXPECT_FALSE(OsFileExists(dir.File("HERE.DBF")));
    EXPECT_FALSE(OsFileExists(dir.File("gone.dbf")));
    EXPECT_FALSE(OsFileExists(dir.Path()));
}

// ---- byte-range locks ----

class LockTest : public testing::Test {
protected:
    void SetUp() override {
        path_ = dir_.File("locks.dbf");
        test::WriteFileBytes(path_, "0123456789");
        ASSERT_EQ(a_.Open(path_, true, true), 0);
        ASSERT_EQ(b_.Open(path_, true, true), 0);
    }

    TempDir dir_;
    std::string path_;
    Handle a_, b_;
};

TEST_F(LockTest, RangesOfTwoHandlesConflictOnlyWhereTheyOverlap) {
    ASSERT_EQ(OsLockRange(a_.Fd(), 100, 10), 0);
    struct Case {
        uint32_t Offset, Length;
        int32_t Expected;
    };
    const Case cases[] = {
        {100, 10, oserr::LockViolation},
        {105, 1, oserr::LockViolation},
        {109, 1, oserr::LockViolation},
        {90, 11, oserr::LockViolation},
        {0, 1000, oserr::LockViolation},
        {90, 10, 0},
        {110, 5, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OsLockRange(b_.Fd(), c.Offset, c.Length), c.Expected)
            << c.Offset << "+" << c.Length;
        if (c.Expected == 0) {
            EXPECT_EQ(OsUnlockRange(b_.Fd(), c.Offset, c.Length), 0);
        }
    }
}

TEST_F(LockTest, UnlockAndCloseReleaseTheRange) {
    ASSERT_EQ(OsLockRange(a_.Fd(), 0, 4), 0);
    EXPECT_EQ(OsLockRange(b_.Fd(), 2, 1), oserr::LockViolation);
    ASSERT_EQ(OsUnlockRange(a_.Fd(), 0, 4), 0);
    ASSERT_EQ(OsLockRange(b_.Fd(), 2, 1), 0);
    EXPECT_EQ(OsLockRange(a_.Fd(), 0, 4), oserr::LockViolation);
    b_.Close();
    EXPECT_EQ(OsLockRange(a_.Fd(), 0, 4), 0);
}

TEST_F(LockTest, OffsetsBeyondTwoGigabytes) {
    // Lock ranges mark positions far past the data, up to the last 32-bit offset.
    ASSERT_EQ(OsLockRange(a_.Fd(), 0x7FFFFFFFu, 2), 0);
    EXPECT_EQ(OsLockRange(b_.Fd(), 0x80000000u, 1), oserr::LockViolation);
    EXPECT_EQ(OsLockRange(b_.Fd(), 0x80000001u, 1), 0);

    ASSERT_EQ(OsLockRange(a_.Fd(), 0xFFFFFFF0u, 0x10), 0);
    EXPECT_EQ(OsLockRange(b_.Fd(), 0xFFFFFFFFu, 1), oserr::LockViolation);
    EXPECT_EQ(OsLockRange(b_.Fd(), 0xFFFFFFEFu, 1), 0);
    // A range may reach past 4 GB.
    EXPECT_EQ(OsLockRange(b_.Fd(), 0xFFFFFFFFu, 0xFFFFFFFFu), oserr::LockViolation);
    ASSERT_EQ(OsUnlockRange(a_.Fd(), 0xFFFFFFF0u, 0x10), 0);
    EXPECT_EQ(OsLockRange(b_.Fd(), 0xFFFFFFFFu, 0xFFFFFFFFu), 0);
    EXPECT_EQ(OsLockRange(a_.Fd(), 0xFFFFFFFFu, 1), oserr::LockViolation);
}

TEST_F(LockTest, ZeroLengthRangeLocksNothing) {
    ASSERT_EQ(OsLockRange(a_.Fd(), 5, 0), 0);
    EXPECT_EQ(OsLockRange(b_.Fd(), 5, 1), 0);
    EXPECT_EQ(OsLockRange(b_.Fd(), 1000, 1), 0);
}

} // namespace
} // namespace tarnis
