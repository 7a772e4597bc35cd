// The compound index files of the interoperability fixtures, written by another
// xBase program: their tags, the order of every tag forwards and backwards, and
// seeks on character, number and date tags.
#include "cdx_test_support.h"

#include "engine/base/tv6_Date.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tarnis {
namespace {

struct Fixture {
    const char* Folder;
    int32_t Records;
};

constexpr Fixture Fixtures[] = {{"cdx-fpt", 300}, {"vfp-cdx", 100}};

class CdxFixtureTest : public ::testing::TestWithParam<Fixture> {
protected:
    test::TempDir dir;
    std::unique_ptr<TVO_dBaseFld> table;
    std::unique_ptr<TVobjCDXFile> cdx;

    void SetUp() override {
        const std::string path = test::CopyCdxFixture(GetParam().Folder, dir.Path());
        table = std::make_unique<TVO_dBaseFld>(path, false, true);
        cdx = std::make_unique<TVobjCDXFile>(table.get(), dir.File("test_cdx.cdx"), false, true,
                                             false, false);
        ASSERT_TRUE(cdx->Valid);
    }

    TVobjIndexTag& Tag(const std::string& name) {
        TVobjIndexTag* tag = cdx->TagByName(name);
        if (tag == nullptr) throw std::runtime_error("no tag " + name);
        return *tag;
    }

    // The records of the tag in its order; deleted records only with withDeleted.
    std::vector<int32_t> Walk(TVobjIndexTag& tag, bool forward, bool withDeleted) {
        std::vector<int32_t> records;
        tag.ResetNodes(2);
        for (int32_t r = tag.Move(forward ? MoveTop : MoveBottom); r != 0;
             r = tag.Move(forward ? MoveNext : MovePrior)) {
            table->GoToRecord(r);
            if (withDeleted || !table->IsDeleted()) records.push_back(r);
            if (records.size() > 1000) break;
        }
        return records;
    }

    static std::vector<int32_t> Expected(const std::vector<test::WalkLine>& walk,
                                         bool withDeleted) {
        std::vector<int32_t> records;
        for (const auto& line : walk)
            if (withDeleted || !line.Deleted) records.push_back(line.Record);
        return records;
    }
};

TEST_P(CdxFixtureTest, TagsAreReadWithTheirExpressionsAndOptions) {
    struct Expect {
        const char* Name;
        const char* Key;
        const char* For;
        char Type;
        bool Descending;
    };
    const Expect expected[] = {{"AMOUNT", "AMOUNT", "", 'N', false},
                               {"BORN", "BORN", "", 'D', false},
                               {"CITYACT", "CITY+DTOS(BORN)", "ACTIVE", 'C', false},
                               {"NAME", "NAME", "", 'C', false},
                               {"QTYDESC", "STR(QTY,5)+NAME", "!DELETED()", 'C', true},
                               {"UNAME", "UPPER(NAME)", "", 'C', false}};
    ASSERT_EQ(cdx->TagCount(), 6);
    EXPECT_EQ(cdx->StructuralTag->KeyLength, 10);
    EXPECT_TRUE(cdx->StructuralTag->IsDirectory());
    for (int32_t i = 0; i < 6; ++i) {
        const auto& tag = static_cast<const TVobjCDXTag&>(*cdx->TagByIndex(i));
        const Expect& e = expected[i];
        EXPECT_EQ(tag.TagName, e.Name);
        EXPECT_EQ(tag.KeyExpression.value_or(""), e.Key);
        EXPECT_EQ(tag.ForExpression.value_or(""), e.For);
        EXPECT_EQ(tag.HasFor, *e.For != '\0') << e.Name;
        EXPECT_EQ(tag.KeyType, e.Type) << e.Name;
        EXPECT_EQ(tag.Descending, e.Descending) << e.Name;
        EXPECT_FALSE(tag.Unique);
        EXPECT_EQ(tag.IndexKind, "CDX");
        EXPECT_EQ(tag.MaxBranchKeys, 500 / (tag.KeyLength + 8));
    }
    EXPECT_EQ(Tag("name").KeyLength, 20);
    EXPECT_EQ(Tag("Amount").KeyLength, 8);
    EXPECT_EQ(Tag("CITYACT").KeyLength, 23);
    EXPECT_EQ(cdx->TagByName("NAMEX"), nullptr);
    EXPECT_EQ(cdx->TagByIndex(6), nullptr);
    EXPECT_EQ(cdx->TagByIndex(-1), nullptr);
    EXPECT_TRUE(cdx->MatchesFileName("C:\\DATA\\test_cdx.CDX"));
    EXPECT_FALSE(cdx->MatchesFileName("test.cdx"));
}

TEST_P(CdxFixtureTest, EveryTagWalksInTheOtherProgramsOrder) {
    for (const char* name : {"NAME", "UNAME", "AMOUNT", "BORN", "CITYACT", "QTYDESC"}) {
        const auto walk = test::ReadWalk(GetParam().Folder, name);
        TVobjIndexTag& tag = Tag(name);
        for (const bool withDeleted : {true, false}) {
            std::vector<int32_t> expected = Expected(walk, withDeleted);
            EXPECT_EQ(Walk(tag, true, withDeleted), expected) << name << " forward";
            std::reverse(expected.begin(), expected.end());
            EXPECT_EQ(Walk(tag, false, withDeleted), expected) << name << " backward";
        }
    }
}

TEST_P(CdxFixtureTest, MovesStopAtBothEnds) {
    const auto walk = test::ReadWalk(GetParam().Folder, "QTYDESC");
    TVobjIndexTag& tag = Tag("QTYDESC");
    tag.ResetNodes(0);
    // Descending: the top is the physically last key, and running off the far end
    // sets AtEof.
    EXPECT_EQ(tag.CurrentKey.Reference, walk.front().Record);
    EXPECT_EQ(tag.Move(MoveBottom), walk.back().Record);
    EXPECT_EQ(tag.Move(MoveNext), 0);
    EXPECT_TRUE(tag.AtEof);
    EXPECT_FALSE(tag.AtBof);
    EXPECT_EQ(tag.Move(MoveTop), walk.front().Record);
    EXPECT_EQ(tag.Move(MovePrior), 0);
    EXPECT_TRUE(tag.AtBof);
    EXPECT_FALSE(tag.AtEof);
    // MoveSame reads the current key again; an unknown code only clears the record.
    EXPECT_EQ(tag.Move(MoveTop), walk.front().Record);
    EXPECT_EQ(tag.Move(MoveSame), walk.front().Record);
    EXPECT_EQ(tag.Move(-9), 0);
    EXPECT_EQ(tag.CurrentKey.Reference, 0);
}

// The first walk line at or after a search key in the tag's (ascending) order, or
// the walk's size; `less` tells whether a line lies before the search key.
template <typename Less> size_t FirstNotBefore(const std::vector<test::WalkLine>& walk, Less less) {
    size_t i = 0;
    while (i < walk.size() && less(walk[i]))
        ++i;
    return i;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

TEST_P(CdxFixtureTest, CharacterSeeksFindExactKeysPrefixesAndTheNextKey) {
    const auto walk = test::ReadWalk(GetParam().Folder, "NAME");
    TVobjIndexTag& tag = Tag("NAME");
    size_t checked = 0;
    for (size_t i = 0; i < walk.size(); i += 7) {
        const std::string key = Trimmed(walk[i].Text);
        if (key.size() < 4) continue;
        const size_t first =
            FirstNotBefore(walk, [&](const auto& l) { return Trimmed(l.Text) < key; });
        TVobjIndexKeyData search;
        search.SetString(key);
        search.Reference = -1;
        for (const bool exact : {false, true}) {
            table->ExactMatch = exact;
            EXPECT_EQ(tag.Seek(search), walk[first].Record) << key;
            EXPECT_FALSE(tag.AtEof);
        }
        // A prefix matches the first key that begins with it unless seeks are exact.
        // (A search key loses its trailing blanks, as stored keys do.)
        const std::string prefix = Trimmed(key.substr(0, 3));
        if (prefix.empty()) continue;
        const size_t begins =
            FirstNotBefore(walk, [&](const auto& l) { return Trimmed(l.Text) < prefix; });
        search.SetString(prefix);
        table->ExactMatch = false;
        const bool hasPrefix = Trimmed(walk[begins].Text).compare(0, prefix.size(), prefix) == 0;
        EXPECT_EQ(tag.Seek(search), hasPrefix ? walk[begins].Record : 0) << prefix;
        table->ExactMatch = true;
        const bool equal = Trimmed(walk[begins].Text) == prefix;
        EXPECT_EQ(tag.Seek(search), equal ? walk[begins].Record : 0) << prefix;
        EXPECT_EQ(tag.CurrentKey.Reference, walk[begins].Record) << "stays on the next key";
        EXPECT_FALSE(tag.AtEof);
        ++checked;
        // A soft miss: just after the key, the tag stands on the next greater one. (A
        // search key longer than the key length is cut to it.)
        if (key.size() >= static_cast<size_t>(tag.KeyLength)) continue;
        search.SetString(key + "\x01");
        const size_t after =
            FirstNotBefore(walk, [&](const auto& l) { return Trimmed(l.Text) <= key + "\x01"; });
        EXPECT_EQ(tag.Seek(search), 0);
        if (after < walk.size()) {
            EXPECT_EQ(tag.CurrentKey.Reference, walk[after].Record);
            EXPECT_FALSE(tag.AtEof);
        } else {
            EXPECT_TRUE(tag.AtEof);
        }
    }
    EXPECT_GT(checked, 5u);

    TVobjIndexKeyData beyond;
    beyond.SetString("\xFF\xFF\xFF");
    beyond.Reference = -1;
    EXPECT_EQ(tag.Seek(beyond), 0);
    EXPECT_TRUE(tag.AtEof);
    EXPECT_EQ(tag.Move(MoveBottom), walk.back().Record);
    // From the end of a seek past every key, the previous key is the last one.
    EXPECT_EQ(tag.Seek(beyond), 0);
    EXPECT_EQ(tag.Move(MovePrior), walk.back().Record);
}

TEST_P(CdxFixtureTest, NumberSeeksFindValuesAndSoftMisses) {
    const auto walk = test::ReadWalk(GetParam().Folder, "AMOUNT");
    TVobjIndexTag& tag = Tag("AMOUNT");
    table->ExactMatch = false;
    for (size_t i = 0; i < walk.size(); i += 5) {
        const double value = walk[i].Number;
        const size_t first = FirstNotBefore(walk, [&](const auto& l) { return l.Number < value; });
        TVobjIndexKeyData search;
        search.SetNumber(value);
        search.Reference = -1;
        EXPECT_EQ(tag.Seek(search), walk[first].Record) << value;
        // Slightly above: no match, the tag stands on the next greater value.
        const double above = value + 0.001;
        const size_t next = FirstNotBefore(walk, [&](const auto& l) { return l.Number < above; });
        search.SetNumber(above);
        EXPECT_EQ(tag.Seek(search), 0) << above;
        if (next < walk.size())
            EXPECT_EQ(tag.CurrentKey.Reference, walk[next].Record) << above;
        else
            EXPECT_TRUE(tag.AtEof);
    }
}

TEST_P(CdxFixtureTest, DateSeeksFindDaysAndTheBlankDate) {
    const auto walk = test::ReadWalk(GetParam().Folder, "BORN");
    TVobjIndexTag& tag = Tag("BORN");
    const auto day = [](const std::string& stored) {
        return Trimmed(stored).empty() ? 0 : EngineDates.ParseDate(stored);
    };
    for (size_t i = 0; i < walk.size(); i += 9) {
        const int32_t jdn = day(walk[i].Text);
        const size_t first = FirstNotBefore(walk, [&](const auto& l) { return day(l.Text) < jdn; });
        TVobjIndexKeyData search;
        search.SetDate(jdn);
        search.Reference = -1;
        EXPECT_EQ(tag.Seek(search), walk[first].Record) << walk[i].Text;
        search.SetDate(jdn + 1);
        const size_t next = FirstNotBefore(walk, [&](const auto& l) { return day(l.Text) <= jdn; });
        const int32_t found = tag.Seek(search);
        if (next < walk.size() && day(walk[next].Text) == jdn + 1)
            EXPECT_EQ(found, walk[next].Record);
        else
            EXPECT_EQ(found, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CdxFixtureTest, ::testing::ValuesIn(Fixtures),
                         [](const auto& info) {
                             std::string name = info.param.Folder;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(CdxFixtureLayout, TheFixturesDecodeAsTheFormatDescribes) {
    for (const Fixture& f : Fixtures) {
        const test::RawCdx raw =
            test::DecodeCdx(test::DataFile(std::string(f.Folder) + "/test_cdx.cdx"),
                            static_cast<uint32_t>(f.Records), {"AMOUNT", "BORN"});
        EXPECT_TRUE(raw.Problems.empty())
            << f.Folder << ": " << ::testing::PrintToString(raw.Problems);
        EXPECT_EQ(raw.Tags.size(), 6u);
    }
}

} // namespace
} // namespace tarnis
