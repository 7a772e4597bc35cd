// Creating, replacing, deleting and rebuilding tags of a compound file: the directory
// entries, the file left behind by failures, the progress reports, the change counter,
// the sorter's memory during a build, the table handler's reindex and pack, and a tag
// in the general collation through a rebuild.
#include "cdx_test_support.h"

#include "engine/base/byte_order.h"
#include "engine/base/tv6_eror.h"
#include "engine/index/TVobjIndexCheck.h"
#include "engine/index/TVobjSortCDX.h"
#include "engine/table/TVO_dBHandler.h"
#include "engine/table/table_create.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <set>

namespace tarnis {
namespace {

using Status = std::array<int32_t, 3>;

// A table that keeps its indexes current and records its progress reports.
class ReportingTable : public test::IndexedTable {
public:
    std::vector<Status> Reports;
    using test::IndexedTable::IndexedTable;
    void StatusReport(int32_t Stat1, int32_t Stat2, int32_t Stat3) override {
        Reports.push_back({Stat1, Stat2, Stat3});
    }
};

class CdxTagTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string tablePath = dir.File("PEOPLE.DBF");
    std::string indexPath = dir.File("TAGS.CDX");
    std::unique_ptr<ReportingTable> table;
    std::unique_ptr<TVobjCDXFile> cdx;

    void SetUp() override {
        CreateTableFile(tablePath, 0x03,
                        {{"NAME", 'C', 10}, {"NUM", 'N', 5}, {"OK", 'L', 1}, {"LONG", 'C', 240}});
        table = std::make_unique<ReportingTable>(tablePath, true, false);
        OpenIndex(true);
    }

    void OpenIndex(bool create) {
        table->Indexes.clear();
        cdx.reset();
        cdx = std::make_unique<TVobjCDXFile>(table.get(), indexPath, true, false, create, create);
        ASSERT_TRUE(cdx->Valid);
        table->Indexes = {cdx.get()};
    }

    void Append(const std::string& name, double num, bool ok = true) {
        table->BlankRecord();
        table->PutText("NAME", name);
        table->PutNumber("NUM", num);
        table->PutLogical("OK", ok);
        table->AppendRecord();
    }

    // Records with names N01.. and numbers counting down.
    void AppendMany(int32_t count) {
        for (int32_t i = 1; i <= count; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "N%02d", i);
            Append(name, count - i, i % 2 == 0);
        }
    }

    TVobjIndexTag& Tag(const std::string& name) {
        TVobjIndexTag* tag = cdx->TagByName(name);
        if (tag == nullptr) throw std::runtime_error("no tag " + name);
        return *tag;
    }

    void ExpectSound(TVobjIndexTag& tag) {
        const TVobjIndexCheck check(tag, true);
        EXPECT_TRUE(check.Ok()) << check.Report();
    }

    // CreateTag, and the tree checker on the tag it built.
    bool Create(const std::string& name, const std::string& key, const std::string& condition,
                bool ascending, bool unique) {
        if (!cdx->CreateTag(name, key, condition, ascending, unique)) return false;
        ExpectSound(*cdx->Tags.back());
        return true;
    }

    std::string Bytes() {
        cdx->StructuralTag->ReleaseNodes();
        for (const auto& tag : cdx->Tags)
            tag->ReleaseNodes();
        return test::ReadFileBytes(indexPath);
    }

    // The file decoded; binary: the tags whose keys are numbers.
    test::RawCdx Decode(const std::set<std::string>& binary = {}) {
        Bytes();
        const test::RawCdx raw =
            test::DecodeCdx(indexPath, static_cast<uint32_t>(table->RecordCount), binary);
        EXPECT_TRUE(raw.Problems.empty()) << testing::PrintToString(raw.Problems);
        return raw;
    }

    // The directory's entries: (name, header position).
    std::vector<std::pair<std::string, uint32_t>>
    Directory(const std::set<std::string>& binary = {}) {
        std::vector<std::pair<std::string, uint32_t>> entries;
        for (const auto& tag : Decode(binary).Tags)
            entries.emplace_back(tag.Name, static_cast<uint32_t>(tag.HeaderPosition));
        return entries;
    }

    std::vector<int32_t> Expected(std::initializer_list<int32_t> records) { return records; }
};

TEST_F(CdxTagTest, CreateTagReplacesATagOfTheSameNameWhateverItsCase) {
    Append("CHARLIE", 3);
    Append("ALPHA", 1);
    Append("BRAVO", 2);
    ASSERT_TRUE(Create("NAME", "NAME", "", true, false));
    ASSERT_TRUE(Create("DEVDIST", "NUM", "", true, false));
    const int32_t oldHeader = Tag("NAME").HeaderPosition;
    EXPECT_EQ(test::WalkRecords(Tag("NAME")), Expected({2, 3, 1}));

    // "name" is NAME; DEV is not DEVDIST.
    ASSERT_TRUE(Create("name", "NUM", "", false, false));
    ASSERT_TRUE(Create("DEV", "NAME", "", true, false));
    ASSERT_EQ(cdx->TagCount(), 3);
    EXPECT_EQ(cdx->TagByIndex(0)->TagName, "DEVDIST");
    EXPECT_EQ(cdx->TagByIndex(1)->TagName, "NAME");
    EXPECT_EQ(cdx->TagByIndex(2)->TagName, "DEV");
    const int32_t newHeader = Tag("NAME").HeaderPosition;
    EXPECT_NE(newHeader, oldHeader);
    EXPECT_EQ(test::WalkRecords(Tag("NAME")), Expected({1, 3, 2})); // NUM, descending
    const std::vector<std::pair<std::string, uint32_t>> expected = {
        {"DEV", static_cast<uint32_t>(Tag("DEV").HeaderPosition)},
        {"DEVDIST", static_cast<uint32_t>(Tag("DEVDIST").HeaderPosition)},
        {"NAME", static_cast<uint32_t>(newHeader)}};
    EXPECT_EQ(Directory({"NAME", "DEVDIST"}), expected);

    OpenIndex(false);
    ASSERT_EQ(cdx->TagCount(), 3);
    EXPECT_EQ(Tag("NAME").KeyExpression.value_or(""), "NUM");
    EXPECT_TRUE(Tag("NAME").Descending);
    EXPECT_EQ(test::WalkRecords(Tag("NAME")), Expected({1, 3, 2}));
    for (const auto& tag : cdx->Tags)
        ExpectSound(*tag);
}

TEST_F(CdxTagTest, TagNamesAreKeptAsTheDirectoryHoldsThem) {
    Append("ALPHA", 1);
    ASSERT_TRUE(Create("  verylongname  ", "NAME", "", true, false));
    EXPECT_EQ(cdx->TagByIndex(0)->TagName, "VERYLONGNA");
    EXPECT_FALSE(cdx->CreateTag("   ", "NAME", "", true, false));
    OpenIndex(false);
    ASSERT_NE(cdx->TagByName("VERYLONGNA"), nullptr);
    EXPECT_TRUE(cdx->DeleteTag("VeryLongName"));
    EXPECT_EQ(cdx->TagCount(), 0);
}

TEST_F(CdxTagTest, DeleteTagRemovesOneEntryAndTheLastTagEmptiesTheFile) {
    AppendMany(30);
    ASSERT_TRUE(Create("NAME", "NAME", "", true, false));
    ASSERT_TRUE(Create("NUM", "NUM", "OK", true, false));
    const std::vector<int32_t> numWalk = test::WalkRecords(Tag("NUM"));
    const std::string before = Bytes();

    // An unknown name, or one that only begins a tag's name, changes nothing.
    EXPECT_FALSE(cdx->DeleteTag("NAMES"));
    EXPECT_FALSE(cdx->DeleteTag("NAM"));
    EXPECT_FALSE(cdx->DeleteTag(""));
    EXPECT_EQ(Bytes(), before);

    EXPECT_TRUE(cdx->DeleteTag("name"));
    ASSERT_EQ(cdx->TagCount(), 1);
    ASSERT_EQ(Directory({"NUM"}).size(), 1u);
    EXPECT_EQ(Directory({"NUM"})[0].first, "NUM");
    // The deleted tag's space stays used.
    EXPECT_EQ(Bytes().size(), before.size());
    OpenIndex(false);
    ASSERT_EQ(cdx->TagCount(), 1);
    EXPECT_EQ(test::WalkRecords(Tag("NUM")), numWalk);

    EXPECT_TRUE(cdx->DeleteTag("NUM"));
    EXPECT_EQ(cdx->TagCount(), 0);
    EXPECT_FALSE(cdx->DeleteTag("NUM"));
    const std::string empty = Bytes();
    ASSERT_EQ(empty.size(), 1536u);
    const test::RawCdx raw = Decode();
    ASSERT_EQ(raw.Directory.Levels.size(), 1u);
    EXPECT_EQ(raw.Directory.Levels[0][0].Attributes, 3);
    EXPECT_TRUE(raw.Directory.Levels[0][0].Entries.empty());
    EXPECT_EQ(raw.Directory.Root, 1024u);
    OpenIndex(false);
    EXPECT_EQ(cdx->TagCount(), 0);
}

TEST_F(CdxTagTest, AFailedOrRefusedDefinitionChangesNoTag) {
    Append("AB", 1);   // the current record when the TRIM tags are defined
    Append("ABCD", 2); // longer than key length 2 + 1
    Append("ABC", 3);  // exactly key length + 1
    ASSERT_TRUE(Create("NAME", "NUM", "", true, false));
    const std::vector<int32_t> walk = test::WalkRecords(Tag("NAME"));
    const std::string before = Bytes();

    struct Refusal {
        const char* What;
        int32_t Current; // record the table stands on
        const char* Key;
        const char* Message; // empty: CreateTag answers false
    };
    const Refusal refusals[] = {
        {"key length 240", 1, "LONG", "Sort key length greater than 240 bytes"},
        {"key length 241", 1, "LONG+'X'", "Sort key length greater than 240 bytes"},
        {"a record's key two bytes too long", 1, "TRIM(NAME)",
         "Sort key length greater than 240 bytes"},
        {"an empty key", 1, "TRIM(LONG)", ""},
        {"an unknown field", 1, "NOSUCHFIELD", "*"},
    };
    for (const Refusal& r : refusals) {
        table->GoToRecord(r.Current);
        if (*r.Message == '\0') {
            EXPECT_FALSE(cdx->CreateTag("NAME", r.Key, "", true, false)) << r.What;
        } else {
            try {
                cdx->CreateTag("NAME", r.Key, "", true, false);
                ADD_FAILURE() << r.What << ": no error";
            } catch (const std::exception& e) {
                if (*r.Message != '*') {
                    EXPECT_STREQ(e.what(), r.Message) << r.What;
                }
            }
        }
        ASSERT_EQ(cdx->TagCount(), 1) << r.What;
        EXPECT_EQ(Tag("NAME").KeyExpression.value_or(""), "NUM") << r.What;
        EXPECT_EQ(test::WalkRecords(Tag("NAME")), walk) << r.What;
    }
    // Whatever the failed builds left at the end of the file is not referenced.
    OpenIndex(false);
    ASSERT_EQ(cdx->TagCount(), 1);
    EXPECT_EQ(test::WalkRecords(Tag("NAME")), walk);
    EXPECT_EQ(Bytes().substr(0, before.size()), before);
    Decode({"NAME"});
}

TEST_F(CdxTagTest, AKeyOneByteLongerThanTheKeyLengthIsCut) {
    Append("AC", 1);
    Append("ABC", 2);
    Append("AB", 3);
    Append("A C", 4);
    table->GoToRecord(1);
    ASSERT_TRUE(Create("SHORT", "TRIM(NAME)", "", true, false));
    TVobjIndexTag& tag = Tag("SHORT");
    EXPECT_EQ(tag.KeyLength, 2);
    // ABC is held as AB, after record 3's AB in record order; A C as A, without the
    // blank the cut leaves at its end (the checker compares every record's key as the
    // tag converts it with what is held).
    EXPECT_EQ(test::WalkRecords(tag), Expected({4, 2, 3, 1}));
    ExpectSound(tag);
    const test::RawCdx raw = Decode();
    ASSERT_EQ(raw.Tags.size(), 1u);
    EXPECT_EQ(raw.Tags[0].Levels.back()[0].Entries[0].Key, "A");
    EXPECT_EQ(raw.Tags[0].Levels.back()[0].Entries[1].Key, "AB");
}

TEST_F(CdxTagTest, RebuildAllLaysTheFileOutAnewAsCreatingTheTagsWould) {
    AppendMany(40);
    ASSERT_TRUE(Create("NAME", "NAME", "", true, false));
    ASSERT_TRUE(Create("NUM", "NUM", "OK", false, true));
    // Changes that split nodes and count in the directory's change counter.
    for (int32_t i = 0; i < 300; ++i)
        Append("X" + std::to_string(i * 7 % 300), i % 11, i % 3 != 0);
    table->GoToRecord(5);
    table->PutText("NAME", "ZZZ");
    table->ReplaceRecord(5);
    // Every record write counts, the 40 before the tags too.
    EXPECT_EQ(cdx->StructuralTag->Version, 341u);
    const std::vector<int32_t> names = test::WalkRecords(Tag("NAME"));
    const std::vector<int32_t> nums = test::WalkRecords(Tag("NUM"));

    cdx->RebuildAll();
    EXPECT_EQ(cdx->StructuralTag->Version, 0u);
    EXPECT_EQ(test::WalkRecords(Tag("NAME")), names);
    EXPECT_EQ(test::WalkRecords(Tag("NUM")), nums);
    ExpectSound(Tag("NAME"));
    ExpectSound(Tag("NUM"));
    const std::string rebuilt = Bytes();
    EXPECT_EQ(GetLE32(reinterpret_cast<const uint8_t*>(rebuilt.data()) + 8), 0u);

    // The same tags created in the same order on a new file.
    OpenIndex(true);
    ASSERT_TRUE(Create("NAME", "NAME", "", true, false));
    ASSERT_TRUE(Create("NUM", "NUM", "OK", false, true));
    EXPECT_EQ(Bytes(), rebuilt);
}

TEST_F(CdxTagTest, RebuildAllRefusesAKeyLengthOf240BeforeChangingTheFile) {
    AppendMany(10);
    ASSERT_TRUE(Create("NAME", "NAME", "", true, false));
    test::AddEmptyTag(*cdx, "LONG", "LONG");
    ASSERT_EQ(Tag("LONG").KeyLength, 240);
    const std::string before = Bytes();
    try {
        cdx->RebuildAll();
        ADD_FAILURE() << "no error";
    } catch (const ETarnisError& e) {
        EXPECT_STREQ(e.what(), "Sort key length greater than 240 bytes");
    }
    EXPECT_EQ(Bytes(), before);
    EXPECT_EQ(test::WalkRecords(Tag("NAME")).size(), 10u);
}

TEST_F(CdxTagTest, ATagWhoseRebuildFailsLeavesTheDirectoryAndTheOthersAreRebuilt) {
    Append("AB", 1);
    Append("CD", 2);
    table->GoToRecord(1);
    ASSERT_TRUE(Create("SHORT", "TRIM(NAME)", "", true, false));
    ASSERT_TRUE(Create("NAME", "NAME", "", true, false));
    // Kept current by the update, which cuts the key; a build refuses it.
    Append("LONGER", 3);
    EXPECT_EQ(test::WalkRecords(Tag("SHORT")), Expected({1, 2, 3}));
    try {
        cdx->RebuildAll();
        ADD_FAILURE() << "no error";
    } catch (const ETarnisError& e) {
        EXPECT_STREQ(e.what(), "Sort key length greater than 240 bytes");
    }
    EXPECT_EQ(cdx->DiskFile->LockCount, 0);
    EXPECT_EQ(test::WalkRecords(Tag("NAME")), Expected({1, 2, 3}));
    EXPECT_TRUE(test::WalkRecords(Tag("SHORT")).empty());
    ASSERT_EQ(Directory().size(), 1u);
    OpenIndex(false);
    ASSERT_EQ(cdx->TagCount(), 1);
    EXPECT_EQ(cdx->TagByIndex(0)->TagName, "NAME");
    ExpectSound(Tag("NAME"));
}

TEST_F(CdxTagTest, BuildsReportTheirProgressThroughTheTable) {
    AppendMany(5); // OK on records 2 and 4
    table->Reports.clear();
    ASSERT_TRUE(Create("NUM", "NUM", "OK", true, false));
    const std::vector<Status> build = {{-1, 1, 5}, {1, 1, 0}, {1, 2, 0}, {1, 3, 0},
                                       {1, 4, 0},  {1, 5, 0}, {0, 0, 0}, {-1, 2, 5},
                                       {2, 1, 0},  {2, 2, 0}, {0, 0, 0}};
    EXPECT_EQ(table->Reports, build);
    // The table stands on the last record read.
    EXPECT_EQ(table->RecNo, 5);

    table->Reports.clear();
    cdx->RebuildAll();
    EXPECT_EQ(table->Reports, build);

    // A table without records: no record and no key reports.
    table->Indexes.clear();
    cdx.reset();
    table.reset();
    CreateTableFile(tablePath, 0x03, {{"NAME", 'C', 10}});
    table = std::make_unique<ReportingTable>(tablePath, true, false);
    OpenIndex(true);
    ASSERT_TRUE(Create("NAME", "NAME", "", true, false));
    EXPECT_EQ(table->Reports, (std::vector<Status>{{-1, 1, 0}, {0, 0, 0}, {-1, 2, 0}, {0, 0, 0}}));
}

TEST_F(CdxTagTest, TheChangeCounterReachesTheFileWithTheDirectoryHeader) {
    AppendMany(3);
    ASSERT_TRUE(Create("NAME", "NAME", "", true, false));
    const auto counter = [&] {
        return GetLE32(reinterpret_cast<const uint8_t*>(test::ReadFileBytes(indexPath).data()) + 8);
    };
    // The three appends counted; CreateTag wrote the directory header.
    EXPECT_EQ(cdx->StructuralTag->Version, 3u);
    EXPECT_EQ(counter(), 3u);
    table->GoToRecord(2);
    table->PutText("NAME", "ZULU");
    table->ReplaceRecord(2);
    EXPECT_EQ(cdx->StructuralTag->Version, 4u);
    EXPECT_EQ(counter(), 3u);
    Append("YANKEE", 9);
    EXPECT_EQ(cdx->StructuralTag->Version, 5u);
    EXPECT_EQ(counter(), 3u);
    cdx->StructuralTag->ReleaseNodes();
    EXPECT_EQ(counter(), 5u);
    // Unshared: nobody else can have changed the file.
    EXPECT_FALSE(cdx->ChangedExternally());
}

TEST(CdxShared, ChangedExternallyComparesTheCounterInTheFile) {
    test::TempDir dir;
    const std::string tablePath = dir.File("T.DBF");
    CreateTableFile(tablePath, 0x03, {{"NAME", 'C', 10}});
    TVO_dBaseFld table(tablePath, false, true);
    TVobjCDXFile(&table, dir.File("T.CDX"), true, false, true, true);
    TVobjCDXFile mine(&table, dir.File("T.CDX"), true, true, false, false);
    TVobjCDXFile theirs(&table, dir.File("T.CDX"), true, true, false, false);
    ASSERT_TRUE(mine.Valid && theirs.Valid);
    EXPECT_FALSE(mine.ChangedExternally());
    EXPECT_FALSE(theirs.ChangedExternally());
    theirs.UpdateRecordKeys(1, false);
    EXPECT_FALSE(mine.ChangedExternally()) << "not written yet";
    theirs.StructuralTag->ReleaseNodes();
    EXPECT_TRUE(mine.ChangedExternally());
    EXPECT_FALSE(theirs.ChangedExternally());
    // A rebuild on a shared file takes and gives back the whole-file lock, and its
    // counter starts again at 0.
    theirs.RebuildAll();
    EXPECT_EQ(theirs.DiskFile->LockCount, 0);
    EXPECT_FALSE(mine.ChangedExternally());
}

TEST_F(CdxTagTest, TheSorterStaysWithinItsMemoryBoundAndSpillsLargeBuilds) {
    const int32_t count = 12000;
    for (int32_t i = 1; i <= count; ++i)
        Append("K" + std::to_string(i * 7919 % count), i % 97);
    ASSERT_TRUE(Create("WIDE", "NAME+STR(NUM,5)", "", true, false));
    const std::vector<int32_t> expected = test::WalkRecords(Tag("WIDE"));
    EXPECT_LE(cdx->BuildStats.PeakBytes, TtvSort::MemoryBound(TtvSortLimits()));
    EXPECT_GT(cdx->BuildStats.PeakBytes, 0);

    TtvSortLimits small;
    small.BlockSize = 1000;
    small.BlockCount = 8;
    small.PageSize = 2048;
    small.ResidentBytes = 4096;
    small.MergeWidth = 3;
    small.TempDirectory = dir.Path();
    cdx->SortLimits = small;
    ASSERT_TRUE(Create("SMALL", "NAME+STR(NUM,5)", "", true, false));
    const TtvSortStats stats = cdx->BuildStats;
    EXPECT_GT(stats.TrieFlushes, 10);
    EXPECT_GT(stats.LevelMerges, 0);
    EXPECT_GT(stats.SpilledBytes, 0);
    EXPECT_LE(stats.PeakBytes, TtvSort::MemoryBound(small));
    EXPECT_EQ(test::WalkRecords(Tag("SMALL")), expected);
    ExpectSound(Tag("SMALL"));
    // The spill files went with the sorter.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                            std::filesystem::directory_iterator()),
              2);
}

TEST_F(CdxTagTest, TheBuilderRefusesAKeyLengthOf240) {
    Append("A", 1);
    test::AddEmptyTag(*cdx, "LONG", "LONG");
    try {
        TVobjSortCDX sorter(static_cast<TVobjCDXTag&>(Tag("LONG")));
        ADD_FAILURE() << "no error";
    } catch (const ETarnisError& e) {
        EXPECT_STREQ(e.what(), "Sort key length greater than 240 bytes");
    }
}

// The table handler rebuilds its open index files on reindex and after a pack.
class ReportingHandler : public TVO_dBHandler {
public:
    std::vector<Status> Reports;
    using TVO_dBHandler::TVO_dBHandler;
    void StatusReport(int32_t Stat1, int32_t Stat2, int32_t Stat3) override {
        Reports.push_back({Stat1, Stat2, Stat3});
    }
};

TEST_F(CdxTagTest, TheHandlersReindexAndPackRebuildTheTags) {
    AppendMany(20);
    ASSERT_TRUE(Create("NAME", "NAME", "", true, false));
    ASSERT_TRUE(Create("NUM", "NUM", "OK", true, false));
    table->Indexes.clear();
    cdx.reset();
    table.reset();

    ReportingHandler handler(tablePath, true, false);
    ASSERT_EQ(handler.OpenIndex(indexPath), 0);
    handler.SelectTag("NUM", false);
    handler.Reindex();
    // Two tags of 20 records, 10 of which pass NUM's condition.
    EXPECT_EQ(std::count(handler.Reports.begin(), handler.Reports.end(), Status{-1, 1, 20}), 2);
    EXPECT_EQ(std::count_if(handler.Reports.begin(), handler.Reports.end(),
                            [](const Status& s) { return s[0] == 2; }),
              30);
    // The master tag orders the table again: NUM falls as the records rise.
    EXPECT_EQ(handler.RecNo, 20);

    for (const int32_t r : {2, 3, 10, 20}) {
        handler.GoToRecord(r);
        handler.DeleteRecord();
    }
    handler.Pack();
    ASSERT_EQ(handler.RecordCount, 16);
    TVobjIndexTag* name = handler.IndexSlots[0]->TagByName("NAME");
    TVobjIndexTag* num = handler.IndexSlots[0]->TagByName("NUM");
    std::vector<int32_t> all(16);
    for (int32_t i = 0; i < 16; ++i)
        all[static_cast<size_t>(i)] = i + 1;
    EXPECT_EQ(test::WalkRecords(*name), all);
    EXPECT_EQ(test::WalkRecords(*num).size(), 7u); // records 4, 6, 8, 12, 14, 16, 18 before
    for (TVobjIndexTag* tag : {name, num}) {
        const TVobjIndexCheck check(*tag, true);
        EXPECT_TRUE(check.Ok()) << check.Report();
    }
}

TEST_F(CdxTagTest, AGeneralCollationTagKeepsItsCollationThroughRebuildAll) {
    const char* names[] = {"\xC9t\xE9", "ete", "Eta", "\xE9tage", "Zoe", "arbre", "\xC6on"};
    Append("x", 0);
    TVobjCDXTag& general = *test::AddEmptyTag(*cdx, "GEN", "NAME", "", true, false, 2);
    general.UpdateKey(1, true);
    for (const char* name : names)
        Append(name, 0);
    const std::vector<int32_t> walk = test::WalkRecords(Tag("GEN"));
    ASSERT_EQ(walk.size(), 8u);

    cdx->RebuildAll();
    EXPECT_EQ(static_cast<TVobjCDXTag&>(Tag("GEN")).Collation, 2);
    EXPECT_EQ(test::WalkRecords(Tag("GEN")), walk);
    ExpectSound(Tag("GEN"));
    const std::string bytes = Bytes();
    const int32_t header = Tag("GEN").HeaderPosition;
    EXPECT_EQ(bytes.substr(static_cast<size_t>(header) + 494, 8), std::string("GENERAL\0", 8));
    EXPECT_EQ(bytes[static_cast<size_t>(header) + 15], 2);
    // Built leaves keep the secondary weights as 0xF1..0xFF.
    bool highWeights = false;
    const test::RawCdx raw = Decode();
    ASSERT_EQ(raw.Tags.size(), 1u);
    for (const auto& leaf : raw.Tags[0].Levels.back())
        for (const auto& e : leaf.Entries)
            highWeights = highWeights || static_cast<uint8_t>(e.Key.back()) > 0xF0;
    EXPECT_TRUE(highWeights);

    OpenIndex(false);
    EXPECT_EQ(static_cast<TVobjCDXTag&>(Tag("GEN")).Collation, 2);
    EXPECT_EQ(test::WalkRecords(Tag("GEN")), walk);
    ExpectSound(Tag("GEN"));
}

} // namespace
} // namespace tarnis
