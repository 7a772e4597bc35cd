// The bytes of the tags the engine builds, read back by the independent decoder: node
// positions and sibling links of a small tree computed by hand, the exact image of a
// leaf, the shapes of the smallest trees, and for larger trees of every key kind the
// fill rules (a leaf closes when less than room for two maximal entries is left, a
// branch when it holds MaxBranchKeys entries), rising positions, the last node of each
// level, no unused block, and entries as narrow as the record count allows.
#include "cdx_test_support.h"

#include "engine/base/byte_order.h"
#include "engine/index/TVobjIndexCheck.h"
#include "engine/table/table_create.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>

namespace tarnis {
namespace {

const uint8_t* U8(const std::string& bytes) {
    return reinterpret_cast<const uint8_t*>(bytes.data());
}

class CdxBuildLayoutTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string tablePath = dir.File("T.DBF");
    std::string indexPath = dir.File("BUILT.CDX");
    std::unique_ptr<TVO_dBaseFld> table;
    std::unique_ptr<TVobjCDXFile> cdx;

    // A table with the fields and `count` records that `fill` gives their values.
    void MakeTable(const std::vector<TFieldSpec>& fields, int32_t count,
                   const std::function<void(TVO_dBaseFld&, int32_t)>& fill) {
        cdx.reset();
        table.reset();
        CreateTableFile(tablePath, 0x03, fields);
        table = std::make_unique<TVO_dBaseFld>(tablePath, true, false);
        for (int32_t i = 1; i <= count; ++i) {
            table->BlankRecord();
            fill(*table, i);
            table->AppendRecord();
        }
        cdx = std::make_unique<TVobjCDXFile>(table.get(), indexPath, true, false, true, true);
        ASSERT_TRUE(cdx->Valid);
    }

    TVobjCDXTag& Build(const std::string& name, const std::string& key,
                       const std::string& condition = "", bool unique = false) {
        EXPECT_TRUE(cdx->CreateTag(name, key, condition, true, unique));
        auto& tag = static_cast<TVobjCDXTag&>(*cdx->TagByName(name));
        const TVobjIndexCheck check(tag, true);
        EXPECT_TRUE(check.Ok()) << check.Report();
        return tag;
    }

    test::RawTag Decode(const std::string& name, bool binary) {
        const test::RawCdx raw =
            test::DecodeCdx(indexPath, static_cast<uint32_t>(table->RecordCount),
                            binary ? std::set<std::string>{name} : std::set<std::string>{});
        EXPECT_TRUE(raw.Problems.empty()) << testing::PrintToString(raw.Problems);
        for (const auto& tag : raw.Tags)
            if (tag.Name == name) return tag;
        ADD_FAILURE() << "no tag " << name;
        return {};
    }
};

// 100 keys of 10 bytes that share nothing and drop nothing: 13 bytes per entry, so a
// leaf takes 35 keys (488 - 35 * 13 = 33 < 2 * (3 + 18) = 42, while 46 was not).
TEST_F(CdxBuildLayoutTest, ATwoLevelTreeHasTheComputedPositionsLinksAndFill) {
    MakeTable({{"CODE", 'C', 10}}, 100, [](TVO_dBaseFld& t, int32_t i) {
        t.PutRawN(1, std::string(10, static_cast<char>(0x20 + i)));
    });
    Build("CODE", "CODE");
    cdx.reset();
    const std::string bytes = test::ReadFileBytes(indexPath);
    // Directory header, directory root, tag header, leaf, leaf, branch, leaf.
    ASSERT_EQ(bytes.size(), 4608u);
    const uint8_t* header = U8(bytes) + 1536;
    EXPECT_EQ(GetLE32(header), 3584u);
    EXPECT_EQ(GetLE16(header + 12), 10);
    EXPECT_EQ(header[14], 0x60);
    EXPECT_EQ(header[15], 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(header + 512)), "CODE");

    struct Leaf {
        uint32_t Position;
        int32_t Left, Right;
        uint16_t Keys, Free;
        int32_t First; // record of the first key
    };
    const Leaf leaves[] = {
        {2560, -1, 3072, 35, 33, 1}, {3072, 2560, 4096, 35, 33, 36}, {4096, 3072, -1, 30, 98, 71}};
    for (const Leaf& leaf : leaves) {
        const uint8_t* p = U8(bytes) + leaf.Position;
        EXPECT_EQ(GetLE16(p), 2) << leaf.Position;
        EXPECT_EQ(GetLE16(p + 2), leaf.Keys) << leaf.Position;
        EXPECT_EQ(static_cast<int32_t>(GetLE32(p + 4)), leaf.Left) << leaf.Position;
        EXPECT_EQ(static_cast<int32_t>(GetLE32(p + 8)), leaf.Right) << leaf.Position;
        EXPECT_EQ(GetLE16(p + 12), leaf.Free) << leaf.Position;
        EXPECT_EQ(GetLE32(p + 14), 0xFFFFu);
        EXPECT_EQ(p[20], 16);
        EXPECT_EQ(p[23], 3);
        // First entry: its record, no shared and no dropped bytes; its key at the end.
        EXPECT_EQ(p[24] | p[25] << 8, leaf.First);
        EXPECT_EQ(p[26], 0);
        EXPECT_EQ(p[24 + 487], 0x20 + leaf.First);
    }
    const uint8_t* root = U8(bytes) + 3584;
    EXPECT_EQ(GetLE16(root), 1);
    EXPECT_EQ(GetLE16(root + 2), 3);
    EXPECT_EQ(GetLE32(root + 4), 0xFFFFFFFFu);
    EXPECT_EQ(GetLE32(root + 8), 0xFFFFFFFFu);
    const uint32_t children[] = {2560, 3072, 4096};
    const int32_t highest[] = {35, 70, 100};
    for (int32_t i = 0; i < 3; ++i) {
        const uint8_t* e = root + 12 + i * 18;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(e), 10),
                  std::string(10, static_cast<char>(0x20 + highest[i])));
        EXPECT_EQ(GetBE32(e + 10), static_cast<uint32_t>(highest[i]));
        EXPECT_EQ(GetBE32(e + 14), children[i]);
    }
    // A built branch leaves zeros after its last entry.
    EXPECT_EQ(bytes.substr(3584 + 12 + 3 * 18, 512 - 12 - 3 * 18),
              std::string(512 - 12 - 3 * 18, '\0'));
}

TEST_F(CdxBuildLayoutTest, ALeafImageHoldsCountsRecordsAndKeyBytesAsComputed) {
    const char* names[] = {"AB", "ABC", "B"};
    MakeTable({{"NAME", 'C', 5}}, 3,
              [&](TVO_dBaseFld& t, int32_t i) { t.PutTextN(1, names[i - 1]); });
    const TVobjCDXTag& tag = Build("NAME", "NAME");
    const std::string bytes = test::ReadFileBytes(indexPath);
    std::string expected(512, '\0');
    auto* p = reinterpret_cast<uint8_t*>(expected.data());
    PutLE16(p, 3);
    PutLE16(p + 2, 3);
    PutLE32(p + 4, 0xFFFFFFFF);
    PutLE32(p + 8, 0xFFFFFFFF);
    // Key length 5: 3 bits for each count, 18 for the record number.
    PutLE16(p + 12, 488 - 3 * 3 - (2 + 1 + 1));
    PutLE32(p + 14, 0x3FFFF);
    p[18] = 7;
    p[19] = 7;
    p[20] = 18;
    p[21] = 3;
    p[22] = 3;
    p[23] = 3;
    // w = t << 13 | u << 10 in the entry's last two bytes.
    const uint8_t entries[] = {1, 0, 3 << 5, 2, 0, (2 << 5) | (2 << 2), 3, 0, 4 << 5};
    std::memcpy(p + 24, entries, sizeof entries);
    // Key bytes from the end: "AB", then "C" (sharing AB), then "B".
    std::memcpy(p + 24 + 486, "AB", 2);
    p[24 + 485] = 'C';
    p[24 + 484] = 'B';
    EXPECT_EQ(bytes.substr(static_cast<size_t>(tag.RootPosition), 512), expected);
}

// The smallest trees: an empty tag and a single leaf are a root leaf; a leaf that fills
// with the last key still closes, and its level above becomes the root.
TEST_F(CdxBuildLayoutTest, SmallTreesHaveTheirRootShapes) {
    struct Shape {
        int32_t Records;
        const char* Condition;
        uint16_t RootAttributes;
        int32_t RootKeys;
        int32_t Leaves;
    };
    const Shape shapes[] = {{0, "", 3, 0, 1},  {5, "CODE = 'none'", 3, 0, 1},
                            {1, "", 3, 1, 1},  {34, "", 3, 34, 1},
                            {35, "", 1, 1, 1}, {36, "", 1, 2, 2}};
    for (const Shape& shape : shapes) {
        MakeTable({{"CODE", 'C', 10}}, shape.Records, [](TVO_dBaseFld& t, int32_t i) {
            t.PutRawN(1, std::string(10, static_cast<char>(0x20 + i)));
        });
        const TVobjCDXTag& tag = Build("CODE", "CODE", shape.Condition);
        const test::RawTag raw = Decode("CODE", false);
        ASSERT_FALSE(raw.Levels.empty());
        const test::RawNode& root = raw.Levels.front().front();
        EXPECT_EQ(raw.Root, static_cast<uint32_t>(tag.RootPosition));
        EXPECT_EQ(root.Attributes, shape.RootAttributes) << shape.Records;
        EXPECT_EQ(static_cast<int32_t>(root.Entries.size()), shape.RootKeys) << shape.Records;
        EXPECT_EQ(static_cast<int32_t>(raw.Levels.back().size()), shape.Leaves) << shape.Records;
        if (shape.RootKeys == 0) {
            EXPECT_EQ(root.FreeSpace, 488);
            EXPECT_EQ(root.EntryBytes, 3);
            EXPECT_EQ(root.RecordBits, 16);
        }
        if (shape.Records == 36) {
            // The second entry holds the last key written and its record.
            EXPECT_EQ(root.Entries[1].Key, std::string(10, static_cast<char>(0x20 + 36)));
            EXPECT_EQ(root.Entries[1].Record, 36u);
            EXPECT_EQ(raw.Levels.back()[1].Entries.size(), 1u);
        }
    }
}

// What every built tree of a single tag in a new file shows, level by level.
void ExpectBuiltShape(const test::RawTag& tag, size_t fileSize, const std::string& what) {
    SCOPED_TRACE(what);
    const int32_t keyLength = tag.KeyLength;
    const size_t maxBranch = static_cast<size_t>(500 / (keyLength + 8));
    ASSERT_FALSE(tag.Levels.empty());
    ASSERT_EQ(tag.Levels.front().size(), 1u) << "one root";
    std::set<int32_t> blocks{tag.HeaderPosition, tag.HeaderPosition + 512};
    for (size_t level = 0; level < tag.Levels.size(); ++level) {
        const auto& nodes = tag.Levels[level];
        const bool leaves = level + 1 == tag.Levels.size();
        for (size_t i = 0; i < nodes.size(); ++i) {
            const test::RawNode& node = nodes[i];
            blocks.insert(node.Position);
            EXPECT_EQ((node.Attributes & 1) != 0, level == 0) << node.Position;
            if (i > 0) {
                EXPECT_GT(node.Position, nodes[i - 1].Position) << "positions rise";
            }
            const bool last = i + 1 == nodes.size();
            if (!leaves) {
                if (!last) {
                    EXPECT_EQ(node.Entries.size(), maxBranch) << node.Position;
                }
                const size_t used = 12 + node.Entries.size() * static_cast<size_t>(keyLength + 8);
                EXPECT_EQ(node.Bytes.substr(used), std::string(512 - used, '\0')) << node.Position;
                continue;
            }
            // A leaf closes once less than room for two maximal entries is left, and not
            // before: it had that room before its last key came (or that key is its
            // first: every leaf takes one key).
            ASSERT_FALSE(node.Entries.empty());
            const int32_t threshold = 2 * (node.EntryBytes + keyLength + 8);
            const test::RawEntry& lastEntry = node.Entries.back();
            const int32_t lastCost =
                node.EntryBytes + keyLength - lastEntry.Duplicate - lastEntry.Trailing;
            if (node.Entries.size() > 1) {
                EXPECT_GE(node.FreeSpace + lastCost, threshold) << node.Position;
            }
            if (!last) {
                EXPECT_LT(node.FreeSpace, threshold) << node.Position;
            }
        }
    }
    // Every block from the tag's header to the end of the file is the header or a node.
    std::set<int32_t> all;
    for (size_t p = static_cast<size_t>(tag.HeaderPosition); p < fileSize; p += 512)
        all.insert(static_cast<int32_t>(p));
    EXPECT_EQ(blocks, all) << "no unused block";
}

TEST_F(CdxBuildLayoutTest, LargerTreesOfEveryKeyKindFollowTheFillRules) {
    struct Case {
        const char* What;
        TFieldSpec Field;
        int32_t Records;
        std::function<void(TVO_dBaseFld&, int32_t)> Fill;
        const char* Condition;
        bool Unique;
        int32_t EntryBytes; // of every leaf
        int32_t MinLevels;
    };
    const auto text = [](const std::function<std::string(int32_t)>& f) {
        return [f](TVO_dBaseFld& t, int32_t i) { t.PutTextN(1, f(i)); };
    };
    const Case cases[] = {
        {"sequential codes",
         {"K", 'C', 10},
         3000,
         text([](int32_t i) { return "K" + std::to_string(100000 + i * 7 % 3000); }),
         "",
         false,
         3,
         2},
        {"shared prefixes past 4095 records",
         {"K", 'C', 40},
         5000,
         text([](int32_t i) {
             return "ROAD " + std::to_string(i % 97) + " HOUSE " + std::to_string(i * 31 % 5000);
         }),
         "",
         false,
         4,
         2},
        {"numbers with negatives and zeros",
         {"K", 'N', 12, 2},
         3000,
         [](TVO_dBaseFld& t, int32_t i) { t.PutNumberN(1, (i * 7919 % 4001 - 2000) / 4.0); },
         "",
         false,
         3,
         2},
        {"dates, some blank",
         {"K", 'D', 8},
         2000,
         [](TVO_dBaseFld& t, int32_t i) {
             t.PutDateN(1, i % 5 == 0 ? 0 : 2440000 + i * 37 % 9000);
         },
         "",
         false,
         3,
         2},
        {"long keys, four per branch",
         {"K", 'C', 100},
         300,
         text([](int32_t i) { return std::to_string(1000 + i * 13 % 300) + std::string(96, 'x'); }),
         "",
         false,
         3,
         5},
        {"the longest buildable key",
         {"K", 'C', 239},
         60,
         text([](int32_t i) { return std::to_string(i); }),
         "",
         false,
         3,
         6},
        {"unique over duplicates",
         {"K", 'C', 10},
         3000,
         text([](int32_t i) { return "D" + std::to_string(i % 700); }),
         "",
         true,
         3,
         2},
        {"a FOR condition",
         {"K", 'C', 10},
         3000,
         text([](int32_t i) { return "F" + std::to_string(i); }),
         "RIGHT(TRIM(K), 1) > \"4\"",
         false,
         3,
         2},
    };
    for (const Case& c : cases) {
        MakeTable({c.Field}, c.Records, c.Fill);
        const TVobjCDXTag& tag = Build("K", "K", c.Condition, c.Unique);
        const std::vector<int32_t> walk = test::WalkRecords(*cdx->TagByName("K"));
        cdx->TagByName("K")->ReleaseNodes();
        const bool binary = c.Field.Type != 'C';
        const test::RawTag raw = Decode("K", binary);
        ExpectBuiltShape(raw, test::ReadFileBytes(indexPath).size(), c.What);
        EXPECT_GE(static_cast<int32_t>(raw.Levels.size()), c.MinLevels) << c.What;
        EXPECT_EQ(raw.Options, 0x60 | (c.Unique ? 1 : 0) | (*c.Condition ? 8 : 0)) << c.What;
        EXPECT_EQ(raw.KeyLength, tag.KeyLength) << c.What;
        // The leaves hold the walk's records in order, in entries of the width the
        // record count needs.
        std::vector<int32_t> records;
        for (const test::RawNode& leaf : raw.Levels.back()) {
            EXPECT_EQ(leaf.EntryBytes, c.EntryBytes) << c.What << " " << leaf.Position;
            for (const test::RawEntry& e : leaf.Entries)
                records.push_back(static_cast<int32_t>(e.Record));
        }
        EXPECT_EQ(records, walk) << c.What;
        if (binary) {
            // Leaves drop a number's trailing zero bytes; branches carry all 8.
            for (const test::RawNode& leaf : raw.Levels.back())
                for (const test::RawEntry& e : leaf.Entries)
                    EXPECT_EQ(e.Trailing, 8 - static_cast<int32_t>(e.Key.size()));
            const std::string& branch = raw.Levels[raw.Levels.size() - 2].front().Bytes;
            const test::RawNode& child = raw.Levels.back().front();
            std::string highest = child.Entries.back().Key;
            highest.resize(8, '\0');
            EXPECT_EQ(branch.substr(12, 8), highest) << c.What;
        }
    }
}

} // namespace
} // namespace tarnis
