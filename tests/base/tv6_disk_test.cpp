#include "engine/base/tv6_disk.h"

#include "engine/base/tv6_eror.h"
#include "platform/file_names.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace tarnis {
namespace {

class DiskFileTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string path = dir.File("radera.dbf");
    void SetUp() override { test::WriteFileBytes(path, "0123456789"); }
};

TEST_F(DiskFileTest, RelativeAndFullNamesShareOneHandle) {
    const std::string cwd = CurrentDirectory();
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    TVO_DiskFile first("radera.dbf", true, false);
    TVO_DiskFile second(path, false, true);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    EXPECT_TRUE(first.Existed);
    EXPECT_EQ(first.FileName, second.FileName);
    first.Open();
    second.Open();
    EXPECT_EQ(first.Handle, second.Handle);
    EXPECT_EQ(first.Guard, second.Guard);
    EXPECT_FALSE(second.Shared); // the first opener's share mode wins
    EXPECT_EQ(OpenFiles.FindOpenFile(first.FileName), &first);

    first.WriteAt(0, "AB", 2);
    EXPECT_TRUE(first.Dirty);
    first.Close(); // the handle stays open for the second object; the write is flushed
    EXPECT_FALSE(first.Dirty);
    char buffer[4] = {};
    EXPECT_EQ(second.ReadAt(0, buffer, 3), 3);
    EXPECT_EQ(std::string(buffer), "AB2");
    second.Close();
    EXPECT_TRUE(second.Closed);
    EXPECT_EQ(OpenFiles.FindOpenFile(second.FileName), nullptr);
}

TEST_F(DiskFileTest, ShortReadIsNotAnError) {
    TVO_DiskFile file(path, false, false);
    file.Open();
    char buffer[16];
    EXPECT_EQ(file.ReadAt(8, buffer, 10), 2);
    EXPECT_EQ(file.ErrorCode, ec::ShortRead);
    EXPECT_EQ(file.Position, 18);
    EXPECT_EQ(file.ReadAt(100, buffer, 4), 0);
    EXPECT_EQ(file.ErrorCode, ec::ShortRead);
    EXPECT_EQ(file.FileSize(), 10);
}

TEST_F(DiskFileTest, OpenFailuresCarryTheFileName) {
    TVO_DiskFile missing(dir.File("nothere.dbf"), false, false);
    EXPECT_FALSE(missing.Existed);
    try {
        missing.Open();
        ADD_FAILURE();
    } catch (const ETarnisError& e) {
        EXPECT_EQ(std::string(e.what()), "File not found - " + missing.FileName);
    }
    EXPECT_TRUE(missing.Closed);
    EXPECT_EQ(OpenFiles.IndexOf(&missing), -1);

    TVO_DiskFile noDir(dir.File("nodir/x.dbf"), false, false);
    EXPECT_THROW(noDir.Open(), ETarnisError);
    EXPECT_EQ(noDir.ErrorCode, 3);
}

TEST_F(DiskFileTest, CreateEmptyRefusesAnOpenFile) {
    TVO_DiskFile open(path, true, false);
    open.Open();
    TVO_DiskFile other(path, true, false);
    try {
        other.CreateEmpty();
        ADD_FAILURE();
    } catch (const ETarnisError& e) {
        EXPECT_EQ(std::string(e.what()), "Invalid file access code - " + other.FileName);
    }
    open.Close();
    other.CreateEmpty();
    EXPECT_EQ(other.FileSize(), 0);
    EXPECT_FALSE(other.Closed);
}

TEST_F(DiskFileTest, UnsharedLocksOnlyCount) {
    TVO_DiskFile file(path, true, false);
    file.Open();
    EXPECT_TRUE(file.LockRange(100, 1));
    EXPECT_TRUE(file.LockRange(200, 1)); // nothing is taken from the OS
    EXPECT_EQ(file.LockCount, 2);
    EXPECT_TRUE(file.HasExclusiveAccess());
    EXPECT_TRUE(file.LockWholeFile());
    file.Truncate(4);
    EXPECT_EQ(file.FileSize(), 4);
}

TEST_F(DiskFileTest, SharedLocksNestAndConflict) {
    TVO_DiskFile a(path, true, true);
    a.Open();
    TVO_DiskFile b(path, true, true);
    // A second handle on the same file, as another process would have.
    OpenFiles.Remove(&a);
    b.Open();
    OpenFiles.Add(&a);
    ASSERT_NE(a.Handle, b.Handle);

    EXPECT_TRUE(a.LockRange(0x7FFFFFFE, 1));
    EXPECT_TRUE(a.LockRange(0x7FFFFFFE, 1));
    EXPECT_FALSE(a.LockRange(0x7FFFFFFD, 1)); // one range per object
    EXPECT_EQ(a.ErrorCode, 33);
    EXPECT_EQ(a.LockCount, 2);
    EXPECT_FALSE(b.LockRange(0x7FFFFFFE, 1));
    EXPECT_EQ(b.ErrorCode, 33);
    EXPECT_TRUE(a.Unlock());
    EXPECT_FALSE(b.LockRange(0x7FFFFFFE, 1)); // still held: one level remains
    EXPECT_TRUE(a.Unlock());
    EXPECT_TRUE(b.LockRange(0x7FFFFFFE, 1));
    EXPECT_TRUE(b.Unlock());

    EXPECT_FALSE(a.HasExclusiveAccess());
    EXPECT_THROW(a.Truncate(2), ETarnisError);
    EXPECT_EQ(a.ErrorCode, 5);
    EXPECT_TRUE(a.LockWholeFile());
    EXPECT_TRUE(a.HasExclusiveAccess());
    a.Truncate(2);
    EXPECT_EQ(a.FileSize(), 2);
    a.Unlock();
    OpenFiles.Remove(&b);
    b.Close();
}

TEST_F(DiskFileTest, UnsharedOpenExcludesOtherHandles) {
    TVO_DiskFile a(path, true, false);
    a.Open();
    OpenFiles.Remove(&a);
    TVO_DiskFile b(path, false, true);
    try {
        b.Open();
        ADD_FAILURE();
    } catch (const ETarnisError& e) {
        EXPECT_EQ(std::string(e.what()), "File access denied - " + b.FileName);
    }
    EXPECT_EQ(b.ErrorCode, 32);
    OpenFiles.Add(&a);
}

TEST_F(DiskFileTest, RenameReopensUnderTheNewName) {
    TVO_DiskFile file(path, true, false);
    file.Open();
    EXPECT_TRUE(file.Rename(dir.File("moved.dbf")));
    EXPECT_EQ(file.FileName, dir.File("moved.dbf"));
    EXPECT_FALSE(file.Closed);
    char buffer[3] = {};
    EXPECT_EQ(file.ReadAt(0, buffer, 2), 2);
    EXPECT_EQ(std::string(buffer), "01");
    EXPECT_THROW(file.Rename(dir.File("nodir/x.dbf")), ETarnisError);
    EXPECT_FALSE(file.Closed); // open again under the old name
    EXPECT_EQ(file.FileName, dir.File("moved.dbf"));
}

TEST_F(DiskFileTest, OperationsOnAClosedObjectReportInsteadOfCrashing) {
    TVO_DiskFile file(path, true, false);
    char buffer[4];
    EXPECT_THROW(file.ReadAt(0, buffer, 4), ETarnisError);
    EXPECT_THROW(file.WriteAt(0, buffer, 4), ETarnisError);
    EXPECT_THROW(file.FileSize(), ETarnisError);
    EXPECT_NO_THROW(file.Flush());
    EXPECT_TRUE(file.Close());
}

} // namespace
} // namespace tarnis
