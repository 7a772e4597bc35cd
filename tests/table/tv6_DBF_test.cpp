#include "engine/table/tv6_DBF.h"

#include "engine/base/tv6_eror.h"
#include "engine/table/table_create.h"
#include "platform/format_settings.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tarnis {
namespace {

// A version 0x03 table of fields NAME C5 and QTY N3: records are 9 bytes.
class DbfTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string path = dir.File("T.DBF");

    void SetUp() override { CreateTableFile(path, 0x03, {{"NAME", 'C', 5}, {"QTY", 'N', 3}}); }

    void Append(TVO_dBaseDBF& t, const char* image) {
        std::memcpy(t.CurrentRecord, image, 9);
        t.AppendRecord();
    }
    std::string Image(const TVO_dBaseDBF& t) const {
        return {reinterpret_cast<char*>(t.CurrentRecord), 9};
    }
    std::string Bytes() const { return test::ReadFileBytes(path); }
    void Patch(size_t offset, const std::string& bytes) {
        std::string b = Bytes();
        b.replace(offset, bytes.size(), bytes);
        test::WriteFileBytes(path, b);
    }
    std::string Message(const std::function<void()>& action) {
        try {
            action();
        } catch (const ETarnisError& e) {
            return e.what();
        }
        return "no error";
    }
};

TEST_F(DbfTest, AppendWritesRecordEndMarkAndHeader) {
    {
        TVO_dBaseDBF t(path, true, false);
        EXPECT_EQ(t.HeaderLength, 32 + 64 + 1);
        EXPECT_EQ(t.RecordLength, 9);
        EXPECT_EQ(t.FieldCount, 2);
        EXPECT_EQ(t.RecordCount, 0);
        Append(t, "*ABCDE 12");
        Append(t, " FGHIJ 34");
        EXPECT_EQ(t.RecNo, 2);
        EXPECT_EQ(t.SavedRecord[1], 'F');
        t.SetUserID(77);
        t.ReplaceRecord(0); // not a record number: appends
        t.ReplaceRecord(t.RecordCount + 5);
        EXPECT_EQ(t.RecordCount, 4);
    }
    const std::string b = Bytes();
    ASSERT_EQ(b.size(), 97u + 4 * 9 + 1);
    EXPECT_EQ(b.back(), '\x1A');
    EXPECT_EQ(b.substr(97, 9), " ABCDE 12"); // an append always writes an active record
    EXPECT_EQ(b[4], 4);                      // record count
    EXPECT_EQ(static_cast<uint8_t>(b[20]), 77);
    const TLocalTime now = LocalNow();
    EXPECT_EQ(b[1], now.Year % 100);
    EXPECT_EQ(b[2], now.Month);
}

TEST_F(DbfTest, NavigationAtBothEnds) {
    TVO_dBaseDBF t(path, true, false);
    t.GoToRecord(MoveTop);
    EXPECT_TRUE(t.AtBof);
    EXPECT_TRUE(t.AtEof); // empty table
    Append(t, " AAAAA  1");
    Append(t, " BBBBB  2");
    Append(t, " CCCCC  3");

    t.GoToRecord(1);
    t.GoToRecord(MovePrior);
    EXPECT_TRUE(t.AtBof);
    EXPECT_EQ(t.RecNo, 1);
    EXPECT_EQ(Image(t), " AAAAA  1");
    t.GoToRecord(MoveBottom);
    EXPECT_EQ(t.RecNo, 3);
    t.GoToRecord(MoveNext);
    EXPECT_TRUE(t.AtEof);
    EXPECT_EQ(Image(t), " CCCCC  3");
    t.GoToRecord(MoveSame);
    EXPECT_FALSE(t.AtEof);
    EXPECT_EQ(t.RecNo, 3);
    t.GoToRecord(0); // nothing
    EXPECT_EQ(t.RecNo, 3);

    t.GoToRecord(4); // one past the end is not an error
    EXPECT_TRUE(t.AtEof);
    EXPECT_EQ(Message([&] { t.GoToRecord(5); }), "dBase record request beyond EOF - " + t.FileName);
    EXPECT_EQ(Message([&] { t.GoToRecord(-9); }),
              "dBase record request beyond EOF - " + t.FileName);
}

TEST_F(DbfTest, FileSizeDecidesTheRecordCount) {
    {
        TVO_dBaseDBF t(path, true, false);
        Append(t, " AAAAA  1");
        Append(t, " BBBBB  2");
    }
    Patch(4, std::string("\x63\0\0\0", 4)); // header claims 99 records
    std::string b = Bytes();
    b.pop_back();
    b += " CCC"; // a record cut short
    test::WriteFileBytes(path, b);
    TVO_dBaseDBF t(path, false, false);
    EXPECT_EQ(t.RecordCount, 2);
}

TEST_F(DbfTest, HeaderFlagsAreRewrittenWithoutTheUnknownBits) {
    Patch(28, "\xFF");
    {
        TVO_dBaseDBF t(path, true, false);
        EXPECT_TRUE(t.HasProductionIndex);
        EXPECT_TRUE(t.MemoFlag);
        EXPECT_TRUE(t.DatabaseFlag);
        EXPECT_FALSE(t.HasMemo); // version 0x03 never has a memo file
        Append(t, " AAAAA  1");
    }
    EXPECT_EQ(Bytes()[28], 0x07);
}

TEST_F(DbfTest, ReadOnlyTableNeverWritesItsHeader) {
    const std::string before = Bytes();
    {
        TVO_dBaseDBF t(path, false, false);
        t.HeaderDirty = true;
        t.WriteHeader();
        EXPECT_TRUE(t.HeaderDirty);
    }
    EXPECT_EQ(Bytes(), before);
}

TEST_F(DbfTest, TableLockHoldsBackTheHeaderUntilReleased) {
    TVO_dBaseDBF t(path, true, false);
    EXPECT_TRUE(t.LockTable());
    EXPECT_TRUE(t.LockTable());
    EXPECT_EQ(t.LockCount, 1); // the second call takes nothing
    std::memcpy(t.CurrentRecord, " AAAAA  1", 9);
    t.ReplaceRecord(1); // no record 1 yet: appends, and its header lock takes nothing
    // The append's release gave up the one level of the table lock.
    EXPECT_FALSE(t.TableLocked);
    EXPECT_EQ(Bytes()[4], 1);

    EXPECT_TRUE(t.LockTable());
    t.RecordCount = 1;
    std::memcpy(t.CurrentRecord, " BBBBB  2", 9);
    t.ReplaceRecord(1); // a replace takes no lock: the header waits for the release
    EXPECT_TRUE(t.HeaderDirty);
    Patch(4, std::string("\0", 1));
    EXPECT_EQ(Bytes()[4], 0);
    EXPECT_TRUE(t.ReleaseLock());
    EXPECT_FALSE(t.TableLocked);
    EXPECT_FALSE(t.HeaderDirty);
    EXPECT_EQ(Bytes()[4], 1);
}

TEST_F(DbfTest, LockPositionsFollowTheProtocol) {
    TVO_dBaseDBF t(path, true, false);
    Append(t, " AAAAA  1");
    Append(t, " BBBBB  2");
    t.GoToRecord(2);
    struct Case {
        int32_t Protocol;
        uint32_t Record, Header, Table, TableLength;
    };
    const Case cases[] = {
        {Default, 0x40000000u + 97 + 9, 0x7FFFFFFE, 0x40000000, 0x3FFFFFFF},
        {FoxLock, 0x40000000u + 97 + 9, 0x7FFFFFFE, 0x40000000, 0x3FFFFFFF},
        {DB4Lock, 0xEFFFFFFFu - 2 - 1, 0xEFFFFFFF, 0x40000000, 0xB0000000},
        {ClipLock, 1000000002u, 1000000000, 1000000000, 1000000000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Protocol);
        t.SetLockProtocol(c.Protocol);
        ASSERT_TRUE(t.LockRecord());
        EXPECT_EQ(t.LockOffset, c.Record);
        EXPECT_EQ(t.LockLength, 1u);
        t.ReleaseLock();
        ASSERT_TRUE(t.LockHeader());
        EXPECT_EQ(t.LockOffset, c.Header);
        t.ReleaseLock();
        ASSERT_TRUE(t.LockTable());
        EXPECT_EQ(t.LockOffset, c.Table);
        EXPECT_EQ(t.LockLength, c.TableLength);
        t.ReleaseLock();
        ASSERT_TRUE(t.LockTableFromStart());
        EXPECT_EQ(t.LockOffset, 0u);
        t.ReleaseLock();
        EXPECT_EQ(t.LockCount, 0);
    }
    t.SetLockProtocol(4);
    EXPECT_FALSE(t.LockRecord());
    EXPECT_EQ(t.HeaderLockOffset, 1000000000u); // unchanged from the last protocol
}

TEST_F(DbfTest, SharedTableSeesAppendsOfOthers) {
    TVO_dBaseDBF reader(path, false, true);
    EXPECT_EQ(reader.RecordCount, 0);
    // Another process appends: the same file through a second handle.
    OpenFiles.Remove(&reader);
    {
        TVO_dBaseDBF writer(path, true, true);
        Append(writer, " AAAAA  1");
        Append(writer, " BBBBB  2");
    }
    OpenFiles.Add(&reader);
    reader.GoToRecord(2);
    EXPECT_EQ(reader.RecordCount, 2);
    EXPECT_EQ(Image(reader), " BBBBB  2");
}

TEST_F(DbfTest, DamagedHeadersAreRefused) {
    const std::string good = Bytes();
    struct Case {
        const char* What;
        size_t Offset;
        std::string Bytes;
    };
    const Case cases[] = {
        {"unknown version", 0, "\x04"},
        {"header shorter than its descriptors", 8, std::string("\x10\0", 2)},
        {"record length 0", 10, std::string("\0\0", 2)},
        {"fields wider than the record", 10, std::string("\x05\0", 2)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        test::WriteFileBytes(path, good);
        Patch(c.Offset, c.Bytes);
        EXPECT_EQ(Message([&] { TVO_dBaseDBF t(path, false, false); }),
                  "dBase DBF file header invalid - " + path);
        EXPECT_EQ(OpenFiles.FindOpenFile(path), nullptr); // nothing stays open
    }
    test::WriteFileBytes(path, good.substr(0, 20));
    EXPECT_EQ(Message([&] { TVO_dBaseDBF t(path, false, false); }),
              "Tarnis Error 221, SubCode 1204.\r " + path + ">1204");
    test::WriteFileBytes(path, good.substr(0, 50));
    EXPECT_EQ(Message([&] { TVO_dBaseDBF t(path, false, false); }),
              "Tarnis Error 221, SubCode 1204.\r " + path + ">1204");
}

TEST_F(DbfTest, NameWithoutExtensionGetsDbf) {
    TVO_dBaseDBF t("  " + dir.File("T") + "  ", false, false);
    EXPECT_EQ(t.FileName, path);
}

TEST(DbfVersions, MemoFileFollowsTheVersionByte) {
    test::TempDir dir;
    struct Case {
        uint8_t Version;
        bool MemoField;
        bool HasMemo;
    };
    const Case cases[] = {{0x03, false, false}, {0x83, true, true}, {0x8B, true, true},
                          {0xF5, true, true},   {0x30, true, true}, {0x30, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.Version) * 10 + c.MemoField);
        const std::string name = dir.File("V.DBF");
        std::vector<TFieldSpec> fields = {{"NAME", 'C', 5}};
        if (c.MemoField) fields.push_back({"NOTES", 'M', c.Version == 0x30 ? 4 : 10});
        CreateTableFile(name, c.Version, fields);
        TVO_dBaseDBF t(name, false, false);
        EXPECT_EQ(t.Version, c.Version);
        EXPECT_EQ(t.HasMemo, c.HasMemo);
        EXPECT_EQ(t.OpenMemo() != nullptr, c.HasMemo);
        EXPECT_EQ(t.FieldCount, c.MemoField ? 2 : 1);
    }
}

} // namespace
} // namespace tarnis
