// Damaged compound index files: every kind of damage gives the engine's error (2112,
// or an invalid file when a header is damaged) and never a crash, a hang or a read
// outside a node.
#include "cdx_test_support.h"

#include "engine/base/byte_order.h"
#include "engine/base/tv6_eror.h"
#include "engine/index/TVobjIndexCheck.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>

namespace tarnis {
namespace {

constexpr int32_t MaxMoves = 5000;

class CdxDamageTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string tablePath = test::CopyCdxFixture("cdx-fpt", dir.Path());
    std::string indexPath = dir.File("test_cdx.cdx");
    std::string pristine = test::ReadFileBytes(indexPath);
    test::RawCdx layout = test::DecodeCdx(indexPath, 300, {"AMOUNT", "BORN"});

    const test::RawTag& RawTag(const std::string& name) const {
        for (const auto& tag : layout.Tags)
            if (tag.Name == name) return tag;
        throw std::runtime_error("no tag " + name);
    }

    // Writes the fixture with one change made by `edit` on its bytes.
    void Damage(const std::function<void(uint8_t*)>& edit) {
        std::string bytes = pristine;
        edit(reinterpret_cast<uint8_t*>(bytes.data()));
        test::WriteFileBytes(indexPath, bytes);
    }

    std::string DamagedMessage() const {
        return EngineErrorMessage(ec::IndexDamaged, NoSubCode, indexPath);
    }

    struct Outcome {
        bool Valid = false;
        std::vector<std::string> Errors; // one per tag and direction that raised
        int32_t LongestWalk = 0;
        std::map<std::string, int32_t> Walked; // the shortest walk of each tag
    };

    // Opens the file and walks every tag both ways and seeks in it, collecting the
    // errors raised.
    Outcome Use() {
        Outcome outcome;
        TVO_dBaseFld table(tablePath, false, true);
        std::unique_ptr<TVobjCDXFile> cdx;
        try {
            cdx = std::make_unique<TVobjCDXFile>(&table, indexPath, false, true, false, false);
        } catch (const std::exception& e) {
            outcome.Errors.push_back(e.what());
            return outcome;
        }
        outcome.Valid = cdx->Valid;
        if (!cdx->Valid) return outcome;
        for (const auto& tag : cdx->Tags) {
            for (const bool forward : {true, false}) {
                try {
                    int32_t moves = 0;
                    tag->ResetNodes(2);
                    for (int32_t r = tag->Move(forward ? MoveTop : MoveBottom);
                         r != 0 && moves <= MaxMoves; r = tag->Move(forward ? MoveNext : MovePrior))
                        ++moves;
                    outcome.LongestWalk = std::max(outcome.LongestWalk, moves);
                    const auto [it, added] = outcome.Walked.emplace(tag->TagName, moves);
                    if (!added) it->second = std::min(it->second, moves);
                } catch (const std::exception& e) {
                    outcome.Errors.push_back(e.what());
                }
            }
            try {
                TVobjIndexKeyData key;
                if (tag->KeyType == 'N')
                    key.SetNumber(12.5);
                else if (tag->KeyType == 'D')
                    key.SetDate(2450000);
                else
                    key.SetString("M");
                key.Reference = -1;
                tag->Seek(key);
                tag->KeyLookup(key);
            } catch (const std::exception& e) {
                outcome.Errors.push_back(e.what());
            }
        }
        return outcome;
    }
};

TEST_F(CdxDamageTest, DamagedNodesAreReportedAsADamagedIndexFile) {
    ASSERT_TRUE(layout.Problems.empty());
    const test::RawTag& name = RawTag("NAME");
    ASSERT_EQ(name.Levels.size(), 2u);
    const int32_t root = name.Levels[0][0].Position;
    const int32_t leaf = name.Levels[1][1].Position;
    const int32_t entry = 20 + 8; // NAME's branch entries
    const auto child = [&](int32_t index) { return root + 12 + index * entry + 20 + 4; };
    struct Case {
        const char* What;
        std::function<void(uint8_t*)> Edit;
    };
    const std::vector<Case> cases = {
        {"child beyond the file", [&](uint8_t* b) { PutBE32(b + child(2), 0x00100000); }},
        {"child off the block grid", [&](uint8_t* b) { PutBE32(b + child(2), 2561); }},
        {"child 0", [&](uint8_t* b) { PutBE32(b + child(0), 0); }},
        {"child is its own parent",
         [&](uint8_t* b) { PutBE32(b + child(3), static_cast<uint32_t>(root)); }},
        {"child is a tag header", [&](uint8_t* b) { PutBE32(b + child(1), 1536); }},
        {"branch key count beyond the node", [&](uint8_t* b) { PutLE16(b + root + 2, 100); }},
        {"leaf key count beyond the node", [&](uint8_t* b) { PutLE16(b + leaf + 2, 200); }},
        {"attributes above 3", [&](uint8_t* b) { PutLE16(b + leaf, 7); }},
        {"no bytes per entry", [&](uint8_t* b) { b[leaf + 23] = 0; }},
        {"too many bytes per entry", [&](uint8_t* b) { b[leaf + 23] = 200; }},
        {"duplicate bits beyond the word", [&](uint8_t* b) { b[leaf + 21] = 12; }},
        {"trailing mask not of its bits", [&](uint8_t* b) { b[leaf + 19] = 0x07; }},
        {"record mask wider than its bits",
         [&](uint8_t* b) { PutLE32(b + leaf + 14, 0xFFFFFFFF); }},
        {"counts beyond the key", [&](uint8_t* b) { PutLE16(b + leaf + 24 + 3 * 5 + 1, 0xFFFF); }},
        {"keys beyond the area",
         [&](uint8_t* b) {
             // Every entry claims a whole key of its own: they cannot all fit.
             for (int i = 0; i < 62; ++i)
                 PutLE16(b + leaf + 24 + 3 * i + 1, 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        Damage(c.Edit);
        const Outcome outcome = Use();
        EXPECT_TRUE(outcome.Valid);
        ASSERT_FALSE(outcome.Errors.empty());
        for (const std::string& error : outcome.Errors)
            EXPECT_EQ(error, DamagedMessage());
        EXPECT_LE(outcome.LongestWalk, 300);
    }
}

TEST_F(CdxDamageTest, ALoopOfSiblingLinksNeitherHangsAWalkNorAnUpdate) {
    const test::RawTag& name = RawTag("NAME");
    const int32_t leaf = name.Levels[1][1].Position;
    Damage([&](uint8_t* b) {
        PutLE32(b + leaf + 4, static_cast<uint32_t>(leaf));
        PutLE32(b + leaf + 8, static_cast<uint32_t>(leaf));
    });
    const Outcome outcome = Use();
    EXPECT_TRUE(outcome.Valid);
    EXPECT_TRUE(outcome.Errors.empty()) << ::testing::PrintToString(outcome.Errors);
    EXPECT_EQ(outcome.Walked.at("NAME"), 300); // the walk follows the parents, not the siblings

    // The checker sees it; an update that splits the leaf still ends.
    test::IndexedTable table(tablePath, true, false);
    TVobjCDXFile cdx(&table, indexPath, true, false, false, false);
    table.Indexes = {&cdx};
    TVobjIndexCheck before(*cdx.TagByName("NAME"), false);
    EXPECT_FALSE(before.Ok());
    table.GoToRecord(1);
    const std::string sample = test::ReadWalk("cdx-fpt", "NAME")[70].Text;
    for (int i = 0; i < 40; ++i) {
        table.PutText("NAME", sample.substr(0, 6) + std::to_string(i));
        table.AppendRecord();
    }
    EXPECT_EQ(TVobjIndexCheck(*cdx.TagByName("AMOUNT"), true).Problems.size(), 0u);
    EXPECT_EQ(TVobjIndexCheck(*cdx.TagByName("NAME"), false).KeyCount, 340);
}

TEST_F(CdxDamageTest, DamagedHeadersMakeTheFileInvalid) {
    const test::RawTag& name = RawTag("NAME");
    const int32_t header = name.HeaderPosition;
    struct Case {
        const char* What;
        std::function<void(uint8_t*)> Edit;
    };
    const std::vector<Case> cases = {
        {"root 0", [&](uint8_t* b) { PutLE32(b + header, 0); }},
        {"root off the block grid", [&](uint8_t* b) { PutLE32(b + header, 3585); }},
        {"root beyond the file", [&](uint8_t* b) { PutLE32(b + header, 0x00200000); }},
        {"key length 241", [&](uint8_t* b) { PutLE16(b + header + 12, 241); }},
        {"key length 0", [&](uint8_t* b) { PutLE16(b + header + 12, 0); }},
        {"no key expression", [&](uint8_t* b) { b[header + 512] = 0; }},
        {"directory entry beyond the file",
         [&](uint8_t* b) {
             // The directory's first key (AMOUNT) points at its header: past the end.
             PutLE16(b + 1024 + 24, 0xFFF0);
         }},
        {"directory root beyond the file", [&](uint8_t* b) { PutLE32(b, 0x00400000); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        Damage(c.Edit);
        TVO_dBaseFld table(tablePath, false, true);
        TVobjCDXFile cdx(&table, indexPath, false, true, false, false);
        EXPECT_FALSE(cdx.Valid);
        EXPECT_TRUE(cdx.HeaderDamaged);
    }
    // A file cut short: the headers of the later tags are gone.
    test::WriteFileBytes(indexPath, pristine.substr(0, 5000));
    TVO_dBaseFld table(tablePath, false, true);
    TVobjCDXFile cdx(&table, indexPath, false, true, false, false);
    EXPECT_FALSE(cdx.Valid);
}

TEST_F(CdxDamageTest, AnErrorHandlerThatReturnsLetsTheWalkStop) {
    const test::RawTag& name = RawTag("NAME");
    const int32_t leaf = name.Levels[1][2].Position;
    Damage([&](uint8_t* b) { PutLE16(b + leaf + 2, 300); });
    static std::vector<int32_t> reported;
    reported.clear();
    const TEngineErrorProc kept = EngineErrorProc;
    EngineErrorProc = [](int32_t Code, int32_t, std::string_view) { reported.push_back(Code); };
    const Outcome outcome = Use();
    EngineErrorProc = kept;
    EXPECT_TRUE(outcome.Errors.empty()) << ::testing::PrintToString(outcome.Errors);
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(reported.front(), ec::IndexDamaged);
    EXPECT_LT(outcome.Walked.at("NAME"), 300);
    EXPECT_EQ(outcome.Walked.at("AMOUNT"), 300);
}

TEST_F(CdxDamageTest, RandomlyDamagedFilesNeverCrashOrHang) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<size_t> where(1024, pristine.size() - 1);
    std::uniform_int_distribution<int> what(0, 255);
    int32_t raised = 0;
    for (int round = 0; round < 300; ++round) {
        const size_t a = where(random), b = where(random);
        const int x = what(random), y = what(random);
        Damage([&](uint8_t* bytes) {
            bytes[a] = static_cast<uint8_t>(x);
            bytes[b] = static_cast<uint8_t>(y);
        });
        const Outcome outcome = Use();
        EXPECT_LE(outcome.LongestWalk, MaxMoves) << "round " << round;
        raised += outcome.Errors.empty() ? 0 : 1;
    }
    EXPECT_GT(raised, 10);
}

} // namespace
} // namespace tarnis
