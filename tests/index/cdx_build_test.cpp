// Tags the engine builds over the interoperability fixtures' tables: they walk in the
// other program's order for the same key, FOR condition and options (also unique and
// descending variants), rebuild to the same walks and the same bytes, and a rebuild
// of the other program's own file gives exactly the file the engine builds.
#include "cdx_test_support.h"

#include "engine/index/TVobjIndexCheck.h"
#include "engine/table/TVO_dBHandler.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace tarnis {
namespace {

struct Folder {
    const char* Name;
    const char* Table;
    const char* Memo;
    int32_t Records;
};

constexpr Folder Folders[] = {{"cdx-fpt", "test_cdx.dbf", "test_cdx.fpt", 300},
                              {"vfp-cdx", "test_cdx.dbf", "test_cdx.fpt", 100},
                              {"ntx-dbt", "test_ntx.dbf", "test_ntx.dbt", 300}};

struct TagDef {
    const char* Name;
    const char* Key;
    const char* For;
    bool Descending;
};

// The fixtures' tags, in directory (alphabetical) order.
constexpr TagDef FixtureTags[] = {{"AMOUNT", "AMOUNT", "", false},
                                  {"BORN", "BORN", "", false},
                                  {"CITYACT", "CITY+DTOS(BORN)", "ACTIVE", false},
                                  {"NAME", "NAME", "", false},
                                  {"QTYDESC", "STR(QTY,5)+NAME", "!DELETED()", true},
                                  {"UNAME", "UPPER(NAME)", "", false}};

const std::set<std::string> BinaryTags{"AMOUNT", "BORN", "UAMOUNT", "UBORN", "DUBORN"};

bool Ascii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

class CdxBuildFixtureTest : public ::testing::TestWithParam<Folder> {
protected:
    test::TempDir dir;
    std::string tablePath;
    std::string indexPath = dir.File("BUILT.CDX");
    std::unique_ptr<TVO_dBaseFld> table;
    std::unique_ptr<TVobjCDXFile> cdx;

    void SetUp() override {
        const std::string folder = GetParam().Name;
        test::CopyDataFile(folder + "/" + GetParam().Memo, dir.Path());
        tablePath = test::CopyDataFile(folder + "/" + GetParam().Table, dir.Path());
        table = std::make_unique<TVO_dBaseFld>(tablePath, true, false);
        ASSERT_EQ(table->RecordCount, GetParam().Records);
        OpenIndex(true);
    }

    void OpenIndex(bool create) {
        cdx.reset();
        cdx = std::make_unique<TVobjCDXFile>(table.get(), indexPath, true, false, create, create);
        ASSERT_TRUE(cdx->Valid);
    }

    void CreateFixtureTags() {
        for (const TagDef& def : FixtureTags)
            ASSERT_TRUE(cdx->CreateTag(def.Name, def.Key, def.For, !def.Descending, false));
    }

    TVobjIndexTag& Tag(const std::string& name) {
        TVobjIndexTag* tag = cdx->TagByName(name);
        if (tag == nullptr) throw std::runtime_error("no tag " + name);
        return *tag;
    }

    // The other program's walk of a tag; for UNAME only the records whose name is
    // ASCII (its UPPER changes only a-z), with `ours` filtered the same way.
    std::vector<int32_t> Expected(const std::string& name, std::vector<int32_t>& ours) {
        const auto walk = test::ReadWalk(GetParam().Name, name);
        std::vector<int32_t> records;
        std::set<int32_t> ascii;
        for (const auto& line : walk) {
            if (name == "UNAME" && !Ascii(line.Text)) continue;
            records.push_back(line.Record);
            ascii.insert(line.Record);
        }
        if (name == "UNAME") std::erase_if(ours, [&](int32_t r) { return ascii.count(r) == 0; });
        return records;
    }

    void ExpectSound(TVobjIndexTag& tag) {
        const TVobjIndexCheck check(tag, true);
        EXPECT_TRUE(check.Ok()) << check.Report();
    }

    void ExpectDecodes() {
        cdx->StructuralTag->ReleaseNodes();
        for (const auto& tag : cdx->Tags)
            tag->ReleaseNodes();
        const test::RawCdx raw =
            test::DecodeCdx(indexPath, static_cast<uint32_t>(table->RecordCount), BinaryTags);
        EXPECT_TRUE(raw.Problems.empty()) << testing::PrintToString(raw.Problems);
        EXPECT_EQ(raw.Tags.size(), cdx->Tags.size());
    }

    std::vector<std::vector<int32_t>> AllWalks() {
        std::vector<std::vector<int32_t>> walks;
        for (const TagDef& def : FixtureTags)
            walks.push_back(test::WalkRecords(Tag(def.Name)));
        return walks;
    }
};

TEST_P(CdxBuildFixtureTest, BuiltTagsWalkInTheOtherProgramsOrder) {
    CreateFixtureTags();
    ASSERT_EQ(cdx->TagCount(), 6);
    for (const TagDef& def : FixtureTags) {
        TVobjIndexTag& tag = Tag(def.Name);
        EXPECT_EQ(tag.Descending, def.Descending);
        EXPECT_EQ(tag.HasFor, *def.For != '\0');
        std::vector<int32_t> forward = test::WalkRecords(tag, true);
        std::vector<int32_t> backward = test::WalkRecords(tag, false);
        std::vector<int32_t> expected = Expected(def.Name, forward);
        Expected(def.Name, backward);
        EXPECT_EQ(forward, expected) << def.Name;
        std::reverse(expected.begin(), expected.end());
        EXPECT_EQ(backward, expected) << def.Name << " backwards";
        ExpectSound(tag);
    }
    // The key types and lengths the definitions gave.
    EXPECT_EQ(Tag("AMOUNT").KeyType, 'N');
    EXPECT_EQ(Tag("BORN").KeyType, 'D');
    EXPECT_EQ(Tag("BORN").KeyLength, 8);
    EXPECT_EQ(Tag("NAME").KeyLength, 20);
    EXPECT_EQ(Tag("CITYACT").KeyLength, 23);
    EXPECT_EQ(Tag("QTYDESC").KeyLength, 25);
    ExpectDecodes();
}

TEST_P(CdxBuildFixtureTest, UniqueAndDescendingVariantsFollowTheNameAmountAndBornWalks) {
    struct Variant {
        const char* Name;
        const char* Source; // the fixture tag whose walk gives the order
        bool Unique;
        bool Descending;
    };
    const Variant variants[] = {{"UNAME", "NAME", true, false}, {"DNAME", "NAME", false, true},
                                {"UDNAME", "NAME", true, true}, {"UAMOUNT", "AMOUNT", true, false},
                                {"UBORN", "BORN", true, false}, {"DUBORN", "BORN", true, true}};
    for (const Variant& v : variants) {
        ASSERT_TRUE(cdx->CreateTag(v.Name, v.Source, "", !v.Descending, v.Unique)) << v.Name;
        const auto walk = test::ReadWalk(GetParam().Name, v.Source);
        // Equal keys come in record order; a unique tag keeps the first of them.
        std::vector<int32_t> expected;
        std::set<std::string> seen;
        for (const auto& line : walk) {
            const std::string value = line.Type == 'N' ? std::to_string(line.Number) : line.Text;
            if (v.Unique && !seen.insert(value).second) continue;
            expected.push_back(line.Record);
        }
        if (v.Descending) std::reverse(expected.begin(), expected.end());
        TVobjIndexTag& tag = Tag(v.Name);
        EXPECT_EQ(test::WalkRecords(tag), expected) << v.Name;
        EXPECT_EQ(tag.Unique, v.Unique);
        ExpectSound(tag);
    }
    // A unique tag holds fewer keys than the table has records: the fixtures have
    // duplicate names.
    EXPECT_LT(test::WalkRecords(Tag("UNAME")).size(), static_cast<size_t>(GetParam().Records));
    ExpectDecodes();
}

TEST_P(CdxBuildFixtureTest, RebuildGivesTheSameWalksAndTheSameBytes) {
    CreateFixtureTags();
    const auto walks = AllWalks();
    cdx.reset();
    const std::string built = test::ReadFileBytes(indexPath);

    OpenIndex(false);
    ASSERT_EQ(cdx->TagCount(), 6);
    cdx->RebuildAll();
    EXPECT_EQ(AllWalks(), walks);
    for (const auto& tag : cdx->Tags)
        ExpectSound(*tag);
    cdx.reset();
    // Tags created in directory order on a new file are laid out as a rebuild lays
    // them out.
    EXPECT_EQ(test::ReadFileBytes(indexPath), built);

    OpenIndex(false);
    EXPECT_EQ(AllWalks(), walks);
    ExpectDecodes();
}

// The fixtures that come with the other program's compound file.
class CdxReindexFixtureTest : public CdxBuildFixtureTest {};

TEST_P(CdxReindexFixtureTest, ReindexOfTheOtherProgramsFileGivesTheEnginesOwnFile) {
    CreateFixtureTags();
    cdx.reset();
    const std::string built = test::ReadFileBytes(indexPath);
    table.reset();

    // The other program's file, reindexed through the table handler.
    const std::string theirs =
        test::CopyDataFile(std::string(GetParam().Name) + "/test_cdx.cdx", dir.Path());
    {
        TVO_dBHandler handler(tablePath, true, false);
        ASSERT_EQ(handler.OpenIndex(theirs), 0);
        handler.Reindex();
    }
    EXPECT_EQ(test::ReadFileBytes(theirs), built);
}

std::string FolderName(const ::testing::TestParamInfo<Folder>& info) {
    std::string name = info.param.Name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CdxBuildFixtureTest, ::testing::ValuesIn(Folders), FolderName);
INSTANTIATE_TEST_SUITE_P(Fixtures, CdxReindexFixtureTest, ::testing::Values(Folders[0], Folders[1]),
                         FolderName);

} // namespace
} // namespace tarnis
