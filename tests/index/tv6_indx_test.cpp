// The index framework through a compound file: seeks with and without exact
// matching, ranges, moves on empty and descending tags, unique tags, the maintenance
// of keys for changed records, lookups that leave the tag alone, locking and file
// names.
#include "cdx_test_support.h"

#include "engine/base/tv6_disk.h"
#include "engine/base/tv6_eror.h"
#include "engine/index/TVobjIndexCheck.h"
#include "engine/table/table_create.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <fstream>

namespace tarnis {
namespace {

using test::AddEmptyTag;

class IndexTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string tablePath = dir.File("PEOPLE.DBF");
    std::unique_ptr<test::IndexedTable> table;
    std::unique_ptr<TVobjCDXFile> cdx;

    void SetUp() override {
        CreateTableFile(tablePath, 0x03, {{"NAME", 'C', 12}, {"OK", 'L', 1}});
        table = std::make_unique<test::IndexedTable>(tablePath, true, false);
        cdx = std::make_unique<TVobjCDXFile>(table.get(), dir.File("people"), true, false, true,
                                             false);
        ASSERT_TRUE(cdx->Valid);
        table->Indexes = {cdx.get()};
    }

    void Append(const std::string& name, bool ok = true) {
        table->BlankRecord();
        table->PutText("NAME", name);
        table->PutLogical("OK", ok);
        table->AppendRecord();
    }

    // Records 1..n with the names given, and the tags asked for.
    TVobjIndexTag& Tag(const std::vector<std::string>& names, bool ascending = true,
                       bool unique = false, const std::string& condition = "") {
        AddEmptyTag(*cdx, "NAME", "NAME", condition, ascending, unique);
        for (const std::string& name : names)
            Append(name);
        return *cdx->TagByName("NAME");
    }

    static TVobjIndexKeyData Key(const std::string& text) {
        TVobjIndexKeyData key;
        key.SetString(text);
        key.Reference = -1;
        return key;
    }

    static TtvVariant Text(const std::string& text) {
        TtvVariant value;
        value.SetString(text);
        return value;
    }

    std::vector<int32_t> Walk(TVobjIndexTag& tag, int32_t first, int32_t step) {
        if (!tag.RootNode) tag.ResetNodes(2);
        std::vector<int32_t> records;
        for (int32_t r = tag.Move(first); r != 0 && records.size() < 100; r = tag.Move(step))
            records.push_back(r);
        return records;
    }
};

TEST_F(IndexTest, APrefixMatchesOnlyWhenSeeksAreNotExact) {
    TVobjIndexTag& tag = Tag({"JONES", "SMYTHE", "BROWN", "ADAMS", "MILLER", "SMITH"});
    table->ExactMatch = false;
    EXPECT_EQ(tag.Seek(Key("SMI")), 6);
    table->ExactMatch = true;
    EXPECT_EQ(tag.Seek(Key("SMI")), 0);
    EXPECT_EQ(tag.CurrentKey.Reference, 6) << "stays on SMITH";
    EXPECT_FALSE(tag.AtEof);
    EXPECT_EQ(tag.Seek(Key("SMITH     ")), 6) << "trailing blanks do not count";
    EXPECT_EQ(tag.Seek(Key("ZZ")), 0);
    EXPECT_TRUE(tag.AtEof);
    EXPECT_EQ(tag.Move(MoveBottom), 2);
    EXPECT_EQ(Walk(tag, MoveTop, MoveNext), (std::vector<int32_t>{4, 3, 1, 5, 6, 2}));
    EXPECT_EQ(Walk(tag, MoveBottom, MovePrior), (std::vector<int32_t>{2, 6, 5, 1, 3, 4}));
}

TEST_F(IndexTest, MovesOnATagWithoutKeysSetBothFlags) {
    TVobjIndexTag& tag = Tag({});
    EXPECT_EQ(tag.Move(MoveTop), 0) << "no path yet";
    tag.ResetNodes(0);
    for (const int32_t code : {MoveTop, MoveBottom}) {
        EXPECT_EQ(tag.Move(code), 0);
        EXPECT_TRUE(tag.AtBof);
        EXPECT_TRUE(tag.AtEof);
    }
    EXPECT_EQ(tag.Seek(Key("A")), 0);
    EXPECT_TRUE(tag.AtEof);
}

TEST_F(IndexTest, ADescendingTagWalksFromThePhysicallyLastKey) {
    TVobjIndexTag& tag = Tag({"B", "D", "A", "C"}, false);
    EXPECT_TRUE(tag.Descending);
    tag.ResetNodes(0);
    EXPECT_EQ(tag.CurrentKey.Reference, 2);
    EXPECT_EQ(Walk(tag, MoveTop, MoveNext), (std::vector<int32_t>{2, 4, 1, 3}));
    EXPECT_EQ(tag.Move(MoveNext), 0);
    EXPECT_TRUE(tag.AtEof);
    EXPECT_FALSE(tag.AtBof);
    EXPECT_EQ(Walk(tag, MoveBottom, MovePrior), (std::vector<int32_t>{3, 1, 4, 2}));
    EXPECT_TRUE(tag.AtBof);
}

TEST_F(IndexTest, ARangeKeepsKeysThatBeginWithItsBounds) {
    TVobjIndexTag& tag = Tag({"SMIU", "SMITH", "SMIT", "SMITHSON", "ADAMS", "SMITH"});
    const TtvVariant smith = Text("SMITH");
    EXPECT_EQ(tag.SetRange(&smith, true, &smith, true), 2);
    EXPECT_EQ(tag.RangeCheck(), 0);
    EXPECT_EQ(tag.Move(MoveNext), 6);
    EXPECT_EQ(tag.Move(MoveNext), 4);
    EXPECT_EQ(tag.RangeCheck(), 0) << "SMITHSON begins with the bound";
    EXPECT_EQ(tag.Move(MoveNext), 0) << "SMIU lies above";
    EXPECT_TRUE(tag.AtEof);
    EXPECT_EQ(tag.CurrentKey.TextView(), "SMIU");
    EXPECT_EQ(tag.Move(MoveBottom), 4);
    EXPECT_EQ(tag.Move(MovePrior), 6);
    EXPECT_EQ(tag.Move(MovePrior), 2);
    EXPECT_EQ(tag.Move(MovePrior), 0) << "SMIT lies below";
    EXPECT_TRUE(tag.AtBof);
    // A seek outside the range does not match, even for a key the tag holds.
    EXPECT_EQ(tag.Seek(Key("ADAMS")), 0);
    EXPECT_EQ(tag.Seek(Key("SMITHSON")), 4);
    // Cleared, the whole tag is back.
    EXPECT_EQ(tag.SetRange(nullptr, false, nullptr, false), 5);
    EXPECT_EQ(Walk(tag, MoveTop, MoveNext).size(), 6u);
}

TEST_F(IndexTest, ExclusiveAndInclusiveBoundsInRangeCheck) {
    TVobjIndexTag& tag = Tag({"A", "B", "C", "D", "E"});
    const TtvVariant b = Text("B"), d = Text("D");
    // Moves treat B as inside: their check ignores both switches.
    EXPECT_EQ(tag.SetRange(&b, false, &d, true), 2);
    EXPECT_EQ(tag.RangeCheck(), 1) << "B lies below a range without its low bound";
    EXPECT_EQ(tag.Move(MoveNext), 3);
    EXPECT_EQ(tag.RangeCheck(), 0);
    EXPECT_EQ(tag.Move(MoveNext), 4);
    EXPECT_EQ(tag.RangeCheck(), 0) << "the high bound is inclusive";
    EXPECT_EQ(tag.Move(MoveNext), 0);
    EXPECT_EQ(tag.RangeCheck(), 1) << "AtEof";
}

TEST_F(IndexTest, AUniqueTagKeepsTheFirstRecordOfAValue) {
    TVobjIndexTag& tag = Tag({"B", "A", "B", "C", "A"}, true, true);
    tag.ResetNodes(0);
    EXPECT_EQ(Walk(tag, MoveTop, MoveNext), (std::vector<int32_t>{2, 1, 4}));
    TVobjIndexKeyData again = Key("B");
    again.Reference = 9;
    EXPECT_FALSE(tag.AddKey(again));
    EXPECT_EQ(Walk(tag, MoveTop, MoveNext), (std::vector<int32_t>{2, 1, 4}));
}

TEST_F(IndexTest, AChangedRecordKeepsOrMovesItsKey) {
    AddEmptyTag(*cdx, "OKNAME", "NAME", "OK");
    TVobjIndexTag& tag = Tag({"A", "B", "C", "D"});
    TVobjIndexTag& filtered = *cdx->TagByName("OKNAME");
    // An unchanged key that is present: nothing is written.
    cdx->StructuralTag->ReleaseNodes();
    const std::string before = test::ReadFileBytes(dir.File("PEOPLE.CDX"));
    table->GoToRecord(3);
    table->PutLogical("OK", true);
    table->ReplaceRecord(3);
    EXPECT_TRUE(tag.KeyUpdated);
    cdx->StructuralTag->HeaderChanged = false; // the change counter is not a key
    EXPECT_EQ(test::ReadFileBytes(dir.File("PEOPLE.CDX")), before);
    // The FOR condition turns false: the key goes, none comes.
    table->GoToRecord(2);
    table->PutLogical("OK", false);
    table->ReplaceRecord(2);
    filtered.ResetNodes(0);
    EXPECT_EQ(Walk(filtered, MoveTop, MoveNext), (std::vector<int32_t>{1, 3, 4}));
    // A record marked deleted keeps its key.
    table->GoToRecord(4);
    table->DeleteRecord();
    EXPECT_EQ(Walk(tag, MoveTop, MoveNext), (std::vector<int32_t>{1, 2, 3, 4}));
    // A changed key moves.
    table->GoToRecord(1);
    table->PutText("NAME", "E");
    table->ReplaceRecord(1);
    EXPECT_EQ(Walk(tag, MoveTop, MoveNext), (std::vector<int32_t>{2, 3, 4, 1}));
    EXPECT_TRUE(TVobjIndexCheck(tag, true).Ok());
    EXPECT_TRUE(TVobjIndexCheck(filtered, true).Ok());
}

TEST_F(IndexTest, KeyLookupLeavesTheTagAndTheTableWhereTheyWere) {
    TVobjIndexTag& tag = Tag({"D", "B", "C", "A"});
    table->GoToRecord(2);
    tag.ResetNodes(1);
    EXPECT_EQ(tag.CurrentKey.Reference, 2);
    EXPECT_EQ(tag.KeyLookup(Key("C")), 3);
    EXPECT_EQ(tag.KeyLookup(Key("X")), 0);
    EXPECT_EQ(tag.CurrentKey.Reference, 2);
    EXPECT_EQ(table->RecNo, 2);
    EXPECT_EQ(tag.Move(MoveNext), 3);
    EXPECT_EQ(tag.Move(MoveNext), 1);

    // With unwritten changes on the path (an update kept it), the lookup sees them
    // and the tag still continues from where it stood.
    tag.ResetNodes(0);
    EXPECT_EQ(tag.Move(MoveNext), 2);
    Append("BB");
    EXPECT_EQ(tag.CurrentKey.Reference, 5);
    EXPECT_EQ(tag.KeyLookup(Key("BB")), 5);
    EXPECT_EQ(tag.Move(MoveNext), 3);
}

TEST_F(IndexTest, SyncToRecordPositionsOnTheTablesRecord) {
    TVobjIndexTag& tag = Tag({"D", "B", "C", "A"});
    table->GoToRecord(3);
    EXPECT_EQ(tag.SyncToRecord(3), 3);
    EXPECT_EQ(tag.Move(MoveNext), 1);
    EXPECT_EQ(tag.Move(MovePrior), 3);
}

TEST_F(IndexTest, LockPointsFollowTheProtocol) {
    struct Case {
        uint8_t Kind;
        uint32_t A, B, C;
    };
    const Case cases[] = {{0, 0x7FFFFFFE, 0x40000000, 0x3FFFFFFF},
                          {3, 0x7FFFFFFE, 0x40000000, 0x3FFFFFFF},
                          {1, 0xEFFFFFFF, 0x40000000, 0xB0000000},
                          {2, 1000000000, 1000000000, 1000000000}};
    for (const Case& c : cases) {
        cdx->SetLockProtocol(c.Kind);
        EXPECT_EQ(cdx->LockPointA, c.A);
        EXPECT_EQ(cdx->LockPointB, c.B);
        EXPECT_EQ(cdx->LockPointC, c.C);
    }
    cdx->SetLockProtocol(5);
    EXPECT_EQ(cdx->LockProtocol, 5);
    EXPECT_EQ(cdx->LockPointA, 1000000000u);
    EXPECT_TRUE(cdx->LockIndex()) << "an unshared file needs no lock";
}

TEST_F(IndexTest, LockIndexOnASharedFileTakesTheProtocolsLockOrRaises) {
    cdx.reset();
    table.reset();
    TVO_dBaseFld shared(tablePath, true, true);
    TVobjCDXFile file(&shared, dir.File("PEOPLE.CDX"), true, true, false, false);
    ASSERT_TRUE(file.Valid);
    for (const uint8_t kind : {0, 1, 2, 3}) {
        file.SetLockProtocol(kind);
        EXPECT_TRUE(file.LockIndex());
        file.DiskFile->Unlock();
    }
    const uint16_t wait = LockWaitTotal, delay = LockRetryDelay;
    LockWaitTotal = 20;
    LockRetryDelay = 5;
    file.SetLockProtocol(5);
    try {
        file.LockIndex();
        ADD_FAILURE() << "no error";
    } catch (const ETarnisError& e) {
        EXPECT_EQ(std::string(e.what()), "Error 0 in Lock of " + file.DiskFile->FileName);
    }
    LockWaitTotal = wait;
    LockRetryDelay = delay;
}

TEST_F(IndexTest, IndexFileNamesAndRenaming) {
    EXPECT_EQ(cdx->ShortName, "PEOPLE.CDX");
    EXPECT_EQ(cdx->DiskFile->FileName, dir.File("PEOPLE.CDX"));
    EXPECT_TRUE(cdx->MatchesFileName("people.cdx"));
    EXPECT_TRUE(cdx->MatchesFileName("C:\\x\\People.Cdx"));
    EXPECT_TRUE(table->HasProductionIndex) << "same base name as the table";

    // A bare name is looked for beside the table; a missing one is not made.
    TVobjCDXFile missing(table.get(), "OTHER", false, false, false, false);
    EXPECT_FALSE(missing.Valid);
    EXPECT_EQ(missing.DiskFile, nullptr);
    EXPECT_EQ(missing.ShortName, "OTHER.CDX");

    EXPECT_TRUE(cdx->RenameFile(dir.File("folks.idx")));
    EXPECT_EQ(cdx->ShortName, "folks.CDX");
    EXPECT_TRUE(std::ifstream(dir.File("folks.CDX")).good());
}

TEST_F(IndexTest, AnIndexOfAnotherNameIsNotTheProductionIndex) {
    cdx.reset();
    table.reset();
    CreateTableFile(tablePath, 0x03, {{"NAME", 'C', 12}});
    TVO_dBaseFld plain(tablePath, true, false);
    TVobjCDXFile other(&plain, dir.File("PEOPLEX.CDX"), true, false, true, false);
    EXPECT_FALSE(plain.HasProductionIndex);
}

} // namespace
} // namespace tarnis
