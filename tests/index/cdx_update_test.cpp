// Keeping compound index tags current while records are appended and changed: the
// trees grow through leaf, branch and root splits, leaf entries widen when the table
// passes the record count their record bits hold, keys move, vanish and come back,
// and after the steps the whole tree is checked, both by the engine's own checker
// (with the table: every record's key there once) and by an independent decoder of
// the bytes.
#include "cdx_test_support.h"

#include "engine/base/byte_order.h"
#include "engine/index/TVobjIndexCheck.h"
#include "engine/table/table_create.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace tarnis {
namespace {

using test::AddEmptyTag;

// Deterministic text of a given length from a small alphabet, so that neighbouring
// keys share prefixes and the leaves compress as they do in real tables.
std::string Name(uint32_t seed, size_t length) {
    static const char letters[] = "ABCDEFGHIJ";
    std::string text;
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < length; ++i) {
        x = x * 1103515245u + 12345u;
        text += letters[(x >> 16) % 10];
    }
    return text;
}

class CdxUpdateTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string tablePath = dir.File("T.DBF");
    std::string indexPath = dir.File("T.CDX");
    std::unique_ptr<test::IndexedTable> table;
    std::unique_ptr<TVobjCDXFile> cdx;
    // The number and date tags the tests make.
    const std::set<std::string> binaryTags{"NUM", "DAY", "UNIQ"};

    void SetUp() override {
        CreateTableFile(tablePath, 0x03,
                        {{"NAME", 'C', 40},
                         {"NUM", 'N', 10, 2},
                         {"DAY", 'D', 8},
                         {"OK", 'L', 1},
                         {"LONG", 'C', 240}});
        Open();
    }

    void Open() {
        table = std::make_unique<test::IndexedTable>(tablePath, true, false);
        cdx = std::make_unique<TVobjCDXFile>(table.get(), indexPath, true, false, true, false);
        ASSERT_TRUE(cdx->Valid);
        table->Indexes = {cdx.get()};
    }

    void Reopen() {
        table->Indexes.clear();
        cdx.reset();
        table.reset();
        table = std::make_unique<test::IndexedTable>(tablePath, true, false);
        cdx = std::make_unique<TVobjCDXFile>(table.get(), indexPath, true, false, false, false);
        ASSERT_TRUE(cdx->Valid);
        table->Indexes = {cdx.get()};
    }

    void Fill(const std::string& name, double num, int32_t day, bool ok) {
        table->BlankRecord();
        table->PutText("NAME", name);
        table->PutNumber("NUM", num);
        table->PutDate("DAY", day);
        table->PutLogical("OK", ok);
        table->PutText("LONG", name + std::string(180, '-') + name.substr(0, 5));
    }

    void Append(const std::string& name, double num, int32_t day, bool ok) {
        Fill(name, num, day, ok);
        table->AppendRecord();
    }

    void Change(int32_t record, const std::string& name, double num, int32_t day, bool ok) {
        table->GoToRecord(record);
        table->PutText("NAME", name);
        table->PutNumber("NUM", num);
        table->PutDate("DAY", day);
        table->PutLogical("OK", ok);
        table->PutText("LONG", name + std::string(180, '-') + name.substr(0, 5));
        table->ReplaceRecord(record);
    }

    // Every tag's tree, by the engine's checker (with the table when asked) and by
    // the independent decoder; answers the checks by tag name.
    std::map<std::string, TVobjIndexCheck> CheckAll(const std::string& step, bool withTable) {
        std::map<std::string, TVobjIndexCheck> checks;
        for (const auto& tag : cdx->Tags) {
            auto [it, added] = checks.emplace(tag->TagName, TVobjIndexCheck(*tag, withTable));
            EXPECT_TRUE(it->second.Ok()) << step << "\n" << it->second.Report();
        }
        cdx->StructuralTag->ReleaseNodes();
        const test::RawCdx raw =
            test::DecodeCdx(indexPath, static_cast<uint32_t>(table->RecordCount), binaryTags);
        EXPECT_TRUE(raw.Problems.empty()) << step << ": " << ::testing::PrintToString(raw.Problems);
        return checks;
    }

    const test::RawTag* RawTagOf(const test::RawCdx& raw, const std::string& name) {
        for (const auto& tag : raw.Tags)
            if (tag.Name == name) return &tag;
        return nullptr;
    }

    // Adds the keys of every record, as for records just appended.
    void IndexAll() {
        for (int32_t n = 1; n <= table->RecordCount; ++n) {
            table->GoToRecord(n);
            cdx->UpdateRecordKeys(n, true);
        }
    }

    std::vector<int32_t> Walk(const std::string& name) {
        TVobjIndexTag* tag = cdx->TagByName(name);
        std::vector<int32_t> records;
        tag->ResetNodes(2);
        for (int32_t r = tag->Move(MoveTop); r != 0; r = tag->Move(MoveNext))
            records.push_back(r);
        return records;
    }
};

TEST_F(CdxUpdateTest, ANewFileIsTheDirectoryAndItsEmptyRoot) {
    cdx.reset();
    const std::string bytes = test::ReadFileBytes(indexPath);
    ASSERT_EQ(bytes.size(), 1536u);
    const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
    EXPECT_EQ(GetLE32(b), 1024u);    // root
    EXPECT_EQ(GetLE32(b + 4), 0u);   // free list
    EXPECT_EQ(GetLE16(b + 12), 10u); // key length
    EXPECT_EQ(b[14], 0xE0);          // directory options
    EXPECT_EQ(b[15], 1);             // signature
    EXPECT_EQ(GetLE16(b + 504), 1u);
    EXPECT_EQ(GetLE16(b + 506), 1u);
    EXPECT_EQ(GetLE16(b + 510), 1u);
    EXPECT_EQ(std::count(bytes.begin() + 16, bytes.begin() + 502, '\0'), 486);
    const uint8_t* root = b + 1024;
    EXPECT_EQ(GetLE16(root), 3u);     // root leaf
    EXPECT_EQ(GetLE16(root + 2), 0u); // no keys
    EXPECT_EQ(GetLE32(root + 4), 0xFFFFFFFFu);
    EXPECT_EQ(GetLE32(root + 8), 0xFFFFFFFFu);
    EXPECT_EQ(GetLE16(root + 12), 488u);    // free space
    EXPECT_EQ(GetLE32(root + 14), 0xFFFFu); // record mask
    EXPECT_EQ(root[18], 15);
    EXPECT_EQ(root[19], 15);
    EXPECT_EQ(root[20], 16); // record bits
    EXPECT_EQ(root[21], 4);
    EXPECT_EQ(root[22], 4);
    EXPECT_EQ(root[23], 3); // bytes per entry

    // A file of 512 bytes or less is made anew the same way.
    test::WriteFileBytes(indexPath, std::string(512, 'x'));
    cdx = std::make_unique<TVobjCDXFile>(table.get(), indexPath, true, false, false, false);
    EXPECT_TRUE(cdx->Valid);
    EXPECT_EQ(cdx->TagCount(), 0);
    cdx.reset();
    EXPECT_EQ(test::ReadFileBytes(indexPath), bytes);
}

TEST_F(CdxUpdateTest, GrowingTagsSplitLeavesBranchesAndRootsAndWidenTheirEntries) {
    Append("FIRST", 1, 2451545, true); // the tags are defined on a record
    AddEmptyTag(*cdx, "NAME", "NAME");
    AddEmptyTag(*cdx, "NUM", "NUM");
    AddEmptyTag(*cdx, "DAY", "DAY", "", false);
    AddEmptyTag(*cdx, "LONG", "LONG", "OK");
    for (const auto& tag : cdx->Tags)
        tag->UpdateKey(1, true);
    CheckAll("first record", true);

    // The root of LONG (two branch entries per node) splits early; remember where it
    // was to see the header follow it.
    int32_t longRoot = cdx->TagByName("LONG")->RootPosition;
    int32_t longRootMoves = 0;
    const int32_t total = 4200;
    for (int32_t n = 2; n <= total; ++n) {
        Append(Name(static_cast<uint32_t>(n), 12 + n % 20), (n * 7919) % 5000 - 2500.25,
               2440000 + (n * 31) % 20000, n % 3 != 0);
        if (cdx->TagByName("LONG")->RootPosition != longRoot) {
            longRoot = cdx->TagByName("LONG")->RootPosition;
            ++longRootMoves;
        }
        // Every step while the first splits of every kind happen, then at intervals and
        // around the record count where NAME's entries widen.
        const bool widening = n >= 4094 && n <= 4098;
        if (n <= 400 || n % 250 == 0 || widening) {
            auto checks = CheckAll("after record " + std::to_string(n),
                                   n <= 400 || n % 1000 == 0 || widening);
            EXPECT_EQ(checks.at("NAME").KeyCount, n);
            EXPECT_EQ(checks.at("LONG").KeyCount, n - n / 3);
        }
        if (HasFailure()) return;
    }
    const auto checks = CheckAll("at the end", true);
    EXPECT_GE(checks.at("NAME").Levels, 3);
    EXPECT_GE(checks.at("NUM").Levels, 3);
    EXPECT_GE(checks.at("LONG").Levels, 6);
    EXPECT_GE(longRootMoves, 4);

    // The header on disk follows the root.
    cdx->TagByName("LONG")->ReleaseNodes();
    const std::string bytes = test::ReadFileBytes(indexPath);
    EXPECT_EQ(static_cast<int32_t>(GetLE32(reinterpret_cast<const uint8_t*>(bytes.data()) +
                                           cdx->TagByName("LONG")->HeaderPosition)),
              longRoot);

    // Entries widen: NAME (key length 40) holds records up to 4 095 in three bytes,
    // LONG (key length 240) up to 255; leaves written after those counts hold them
    // in four. Leaves written before keep their width, and all decode right.
    const test::RawCdx raw =
        test::DecodeCdx(indexPath, static_cast<uint32_t>(table->RecordCount), binaryTags);
    for (const char* name : {"NAME", "LONG"}) {
        const test::RawTag* tag = RawTagOf(raw, name);
        ASSERT_NE(tag, nullptr);
        std::set<int> widths;
        for (const test::RawNode& leaf : tag->Levels.back()) {
            widths.insert(leaf.EntryBytes);
            uint32_t highest = 0;
            for (const auto& e : leaf.Entries)
                highest = std::max(highest, e.Record);
            if (highest > (std::string(name) == "NAME" ? 4095u : 255u)) {
                EXPECT_EQ(leaf.EntryBytes, 4) << name << " leaf " << leaf.Position;
            }
        }
        EXPECT_TRUE(widths.count(4)) << name;
    }
    const test::RawTag* nameTag = RawTagOf(raw, "NAME");
    EXPECT_TRUE(std::any_of(nameTag->Levels.back().begin(), nameTag->Levels.back().end(),
                            [](const auto& leaf) { return leaf.EntryBytes == 3; }));

    // Everything survives closing and opening again.
    Reopen();
    const auto again = CheckAll("reopened", true);
    EXPECT_EQ(again.at("NAME").KeyCount, total);
    EXPECT_EQ(static_cast<int32_t>(Walk("NAME").size()), total);
}

TEST_F(CdxUpdateTest, ALeafSplitKeepsTheHigherKeysInPlaceAndLinksBothNeighbours) {
    Append("AAAA", 1, 0, true);
    AddEmptyTag(*cdx, "NAME", "NAME");
    cdx->TagByName("NAME")->UpdateKey(1, true);
    const int32_t firstRoot = cdx->TagByName("NAME")->RootPosition;
    // Keys that share nothing fill the 488 bytes quickly (43 bytes each).
    int32_t n = 1;
    while (cdx->TagByName("NAME")->RootPosition == firstRoot && n < 100) {
        ++n;
        Append(Name(static_cast<uint32_t>(n), 40), n, 0, true);
    }
    ASSERT_LT(n, 100);
    const int32_t newRoot = cdx->TagByName("NAME")->RootPosition;
    EXPECT_GT(newRoot, firstRoot);
    CheckAll("after the root split", true);

    test::RawCdx raw = test::DecodeCdx(indexPath, static_cast<uint32_t>(table->RecordCount), {});
    const test::RawTag* tag = RawTagOf(raw, "NAME");
    ASSERT_EQ(tag->Levels.size(), 2u);
    ASSERT_EQ(tag->Levels[1].size(), 2u);
    const test::RawNode& left = tag->Levels[1][0];
    const test::RawNode& right = tag->Levels[1][1];
    EXPECT_EQ(right.Position, firstRoot) << "the old position keeps the higher keys";
    EXPECT_GT(left.Position, firstRoot) << "the lower keys go to the end of the file";
    EXPECT_EQ(tag->Levels[0][0].Attributes, 1) << "a root branch";
    EXPECT_EQ(left.Attributes, 2);
    EXPECT_EQ(right.Attributes, 2);
    EXPECT_LT(488 - left.FreeSpace, 250);
    const int32_t leftPosition = left.Position;

    // Fill the right leaf again: its split puts a new leaf between the two.
    const std::string high(40, 'Z');
    int32_t leaves = 2;
    for (int32_t i = 0; i < 30 && leaves == 2; ++i) {
        Append(high.substr(0, 20) + Name(static_cast<uint32_t>(i), 20), i, 0, true);
        CheckAll("filling the right leaf", true);
        raw = test::DecodeCdx(indexPath, static_cast<uint32_t>(table->RecordCount), {});
        leaves = static_cast<int32_t>(RawTagOf(raw, "NAME")->Levels.back().size());
    }
    ASSERT_EQ(leaves, 3);
    const auto& level = RawTagOf(raw, "NAME")->Levels.back();
    EXPECT_EQ(level[0].Position, leftPosition);
    EXPECT_EQ(level[2].Position, firstRoot);
    EXPECT_EQ(level[0].Right, level[1].Position);
    EXPECT_EQ(level[1].Left, level[0].Position);
    EXPECT_EQ(level[1].Right, level[2].Position);
    EXPECT_EQ(level[2].Left, level[1].Position);
}

TEST_F(CdxUpdateTest, ChangedRecordsMoveTheirKeysAndFollowTheForCondition) {
    for (int32_t n = 1; n <= 600; ++n)
        Append(Name(static_cast<uint32_t>(n), 30), n, 2440000 + n, n % 2 == 0);
    AddEmptyTag(*cdx, "NAME", "NAME");
    AddEmptyTag(*cdx, "EVEN", "NAME", "OK");
    AddEmptyTag(*cdx, "NUM", "NUM", "", false);
    AddEmptyTag(*cdx, "UNIQ", "DAY", "", true, true);
    IndexAll();
    CheckAll("built", true);

    struct Step {
        int32_t Record;
        std::string Name;
        double Num;
        int32_t Day;
        bool Ok;
    };
    const std::vector<Step> steps = {
        {5, Name(5, 30), 5, 2440005, false},    // only the FOR condition turns false
        {5, Name(5, 30), 5, 2440005, true},     // and true again
        {7, "AAAAAAAA", 7, 2440007, false},     // the key moves to the front
        {8, "ZZZZZZZZ", -8, 2440009, true},     // to the end; NUM negative; DAY taken
        {9, Name(9, 30), 9, 2440099, false},    // the unique DAY moves
        {10, Name(10, 30), 10, 2440010, true},  // nothing changes
        {200, Name(1, 30), 200, 2440200, true}, // a duplicate name, after record 1
        {1, Name(200, 30), 1, 2440001, false},  // swaps with it
    };
    for (const Step& s : steps) {
        Change(s.Record, s.Name, s.Num, s.Day, s.Ok);
        CheckAll("record " + std::to_string(s.Record), true);
        if (HasFailure()) return;
    }
    // A record marked deleted keeps its keys.
    table->GoToRecord(20);
    table->DeleteRecord();
    const auto checks = CheckAll("deleted", true);
    EXPECT_EQ(checks.at("NAME").KeyCount, 600);

    // Moving every key of the first leaves elsewhere empties them: they leave their
    // parents and the sibling chain.
    const std::vector<int32_t> order = Walk("NAME");
    for (int32_t i = 0; i < 120; ++i) {
        const int32_t r = order[static_cast<size_t>(i)];
        Change(r, "ZZZZ" + Name(static_cast<uint32_t>(r), 20), r, 2440000 + r, r % 2 == 0);
        if (i % 10 == 0) CheckAll("emptying, step " + std::to_string(i), true);
        if (HasFailure()) return;
    }
    const auto after = CheckAll("emptied", true);
    EXPECT_EQ(after.at("NAME").KeyCount, 600);
}

TEST_F(CdxUpdateTest, ATagWhoseKeysAllGoComesBackFromAnEmptyRoot) {
    for (int32_t n = 1; n <= 300; ++n)
        Append(Name(static_cast<uint32_t>(n), 35), n, 0, true);
    AddEmptyTag(*cdx, "OKNAME", "NAME", "OK");
    IndexAll();
    ASSERT_GE(TVobjIndexCheck(*cdx->TagByName("OKNAME"), true).Levels, 2);
    for (int32_t n = 1; n <= 300; ++n)
        Change(n, Name(static_cast<uint32_t>(n), 35), n, 0, false);
    auto checks = CheckAll("all keys gone", true);
    EXPECT_EQ(checks.at("OKNAME").KeyCount, 0);
    TVobjIndexTag* tag = cdx->TagByName("OKNAME");
    tag->ResetNodes(0);
    EXPECT_EQ(tag->CurrentKey.Reference, 0);
    EXPECT_TRUE(tag->AtEof);
    EXPECT_TRUE(tag->AtBof);
    for (int32_t n = 300; n >= 1; n -= 3)
        Change(n, Name(static_cast<uint32_t>(n), 35), n, 0, true);
    checks = CheckAll("keys back", true);
    EXPECT_EQ(checks.at("OKNAME").KeyCount, 100);
}

TEST_F(CdxUpdateTest, TheFixturesStayValidAfterTheEngineChangesThem) {
    for (const char* folder : {"cdx-fpt", "vfp-cdx"}) {
        SCOPED_TRACE(folder);
        test::TempDir copy;
        const std::string path = test::CopyCdxFixture(folder, copy.Path());
        const std::string original = test::ReadFileBytes(copy.File("test_cdx.cdx"));
        auto fixture = std::make_unique<test::IndexedTable>(path, true, false);
        auto file = std::make_unique<TVobjCDXFile>(fixture.get(), copy.File("test_cdx.cdx"), true,
                                                   false, false, false);
        ASSERT_TRUE(file->Valid);
        fixture->Indexes = {file.get()};
        const int32_t records = fixture->RecordCount;
        // Appends with names between the existing ones, and changes.
        for (int32_t n = 1; n <= 400; ++n) {
            fixture->BlankRecord();
            fixture->PutText("NAME", Name(static_cast<uint32_t>(n), 3 + n % 15));
            fixture->PutText("CITY", n % 4 == 0 ? "" : Name(static_cast<uint32_t>(n + 7), 8));
            fixture->PutNumber("AMOUNT", (n % 2 ? -1 : 1) * n * 1234.56);
            fixture->PutNumber("QTY", n % 300 - 150);
            fixture->PutDate("BORN", n % 5 == 0 ? 0 : 2415021 + n * 97);
            fixture->PutLogical("ACTIVE", n % 3 != 0);
            fixture->AppendRecord();
        }
        // Changes of records whose names are plain ASCII: the other program's UPPER
        // leaves accented letters alone, so the engine cannot find their old keys.
        uint32_t changes = 0;
        for (int32_t r = 1; r <= records; ++r) {
            fixture->GoToRecord(r);
            const std::string old = fixture->GetRaw("NAME");
            if (std::any_of(old.begin(), old.end(), [](char c) { return (c & 0x80) != 0; }))
                continue;
            if (++changes % 2 == 0) continue;
            fixture->PutText("NAME", Name(static_cast<uint32_t>(r * 3), 10));
            fixture->PutNumber("AMOUNT", r * -0.5);
            fixture->PutLogical("ACTIVE", r % 2 == 0);
            fixture->ReplaceRecord(r);
        }
        // UNAME's stored keys of accented names are the other program's UPPER, so
        // only its tree is checked, not its keys against the engine's evaluation.
        for (const auto& tag : file->Tags) {
            TVobjIndexCheck check(*tag, tag->TagName != "UNAME");
            EXPECT_TRUE(check.Ok()) << check.Report();
        }
        const uint32_t version = file->StructuralTag->Version;
        EXPECT_EQ(version, 400u + (changes + 1) / 2);
        EXPECT_GT(changes, 10u);
        file.reset();

        const std::string changed = test::ReadFileBytes(copy.File("test_cdx.cdx"));
        const test::RawCdx raw =
            test::DecodeCdx(copy.File("test_cdx.cdx"), static_cast<uint32_t>(fixture->RecordCount),
                            {"AMOUNT", "BORN"});
        EXPECT_TRUE(raw.Problems.empty()) << ::testing::PrintToString(raw.Problems);
        ASSERT_EQ(raw.Tags.size(), 6u);
        // The directory header carries the change counter; headers keep their
        // expressions and options, and a rewritten header has nothing but zeros
        // between offset 16 and the collation name.
        const auto* bytes = reinterpret_cast<const uint8_t*>(changed.data());
        EXPECT_EQ(GetLE32(bytes + 8), version);
        const auto* before = reinterpret_cast<const uint8_t*>(original.data());
        for (const test::RawTag& tag : raw.Tags) {
            const uint8_t* h = bytes + tag.HeaderPosition;
            const uint8_t* o = before + tag.HeaderPosition;
            EXPECT_EQ(h[14], o[14]) << tag.Name;
            EXPECT_EQ(GetLE16(h + 12), GetLE16(o + 12)) << tag.Name;
            EXPECT_EQ(std::memcmp(h + 502, o + 502, 522), 0) << tag.Name;
            if (GetLE32(h) != GetLE32(o)) {
                EXPECT_EQ(std::count(h + 16, h + 494, 0), 478) << tag.Name;
            }
        }
        // Reopened, the tags walk in the order of the other program's byte view.
        auto reopened = std::make_unique<TVobjCDXFile>(fixture.get(), copy.File("test_cdx.cdx"),
                                                       false, false, false, false);
        ASSERT_TRUE(reopened->Valid);
        for (const test::RawTag& raw_tag : raw.Tags) {
            std::vector<int32_t> expected;
            for (const auto& leaf : raw_tag.Levels.back())
                for (const auto& e : leaf.Entries)
                    expected.push_back(static_cast<int32_t>(e.Record));
            TVobjIndexTag* tag = reopened->TagByName(raw_tag.Name);
            if (tag->Descending) std::reverse(expected.begin(), expected.end());
            std::vector<int32_t> walked;
            tag->ResetNodes(2);
            for (int32_t r = tag->Move(MoveTop); r != 0; r = tag->Move(MoveNext))
                walked.push_back(r);
            EXPECT_EQ(walked, expected) << raw_tag.Name;
        }
    }
}

} // namespace
} // namespace tarnis
