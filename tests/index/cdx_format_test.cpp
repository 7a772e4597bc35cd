// The compound file's encodings: the leaf layout rule, number, date and character
// keys as stored, the general collation, and the tag header as read and written.
#include "cdx_test_support.h"

#include "engine/base/byte_order.h"
#include "engine/index/TVobjIndexCheck.h"
#include "engine/table/table_create.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tarnis {
namespace {

using test::AddEmptyTag;

std::string Bytes(const TtvVariant& value) {
    return std::string(reinterpret_cast<const char*>(value.Data.get()),
                       static_cast<size_t>(value.Size));
}

TEST(CdxLeafLayout, EntriesGrowWithTheHighestValueToStore) {
    struct Case {
        int32_t KeyLength;
        uint32_t Highest;
        int EntryBytes, RecordBits, CountBits;
        uint32_t Mask;
    };
    const Case cases[] = {
        {8, 65535, 3, 16, 4, 0xFFFF},          {8, 65536, 4, 24, 4, 0xFFFFFF},
        {10, 65535, 3, 16, 4, 0xFFFF},         {10, 16777215, 4, 24, 4, 0xFFFFFF},
        {10, 16777216, 5, 31, 4, 0x7FFFFFFF},  {40, 4095, 3, 12, 6, 0xFFF},
        {40, 4096, 4, 20, 6, 0xFFFFF},         {240, 255, 3, 8, 8, 0xFF},
        {240, 256, 4, 16, 8, 0xFFFF},          {240, 65536, 5, 24, 8, 0xFFFFFF},
        {240, 16777216, 6, 31, 8, 0x7FFFFFFF}, {20, 0, 3, 14, 5, 0x3FFF},
    };
    for (const Case& c : cases) {
        const TCDXLeafLayout l = CDXLeafLayout(c.KeyLength, c.Highest);
        EXPECT_EQ(l.EntryBytes, c.EntryBytes) << c.KeyLength << " " << c.Highest;
        EXPECT_EQ(l.RecordBits, c.RecordBits) << c.KeyLength << " " << c.Highest;
        EXPECT_EQ(l.RecordMask, c.Mask) << c.KeyLength << " " << c.Highest;
        EXPECT_EQ(l.DuplicateBits, c.CountBits);
        EXPECT_EQ(l.TrailBits, c.CountBits);
        EXPECT_EQ(l.DuplicateMask, (1 << c.CountBits) - 1);
        EXPECT_EQ(l.TrailMask, (1 << c.CountBits) - 1);
    }
}

TEST(CdxNumberKey, ByteOrderIsNumericOrder) {
    uint8_t one[8], zero[8], minusOne[8], minusZero[8];
    CDXNumberKey(1.0, one);
    CDXNumberKey(0.0, zero);
    CDXNumberKey(-1.0, minusOne);
    CDXNumberKey(-0.0, minusZero);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(one), 8), std::string("\xBF\xF0\0\0\0\0\0\0", 8));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(zero), 8), std::string("\x80\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(minusOne), 8),
              std::string("\x40\x0F\xFF\xFF\xFF\xFF\xFF\xFF", 8));
    EXPECT_EQ(std::memcmp(minusZero, zero, 8), 0);
    const double values[] = {-1e300, -2,  -1.0000001, -1,        -0.5, 0,
                             1e-300, 0.5, 1,          1.0000001, 2,    1e300};
    for (size_t i = 1; i < std::size(values); ++i) {
        uint8_t a[8], b[8];
        CDXNumberKey(values[i - 1], a);
        CDXNumberKey(values[i], b);
        EXPECT_LT(std::memcmp(a, b, 8), 0) << values[i - 1] << " < " << values[i];
    }
}

TEST(CdxGeneralCollation, WeightStrings) {
    EXPECT_EQ(CDXGeneralWeights(" "), "\x11");
    EXPECT_EQ(CDXGeneralWeights("A"), "\x60");
    EXPECT_EQ(CDXGeneralWeights("a"), "\x60");
    EXPECT_EQ(CDXGeneralWeights("\xC6"), "\x60\x66"); // AE ligature
    EXPECT_EQ(CDXGeneralWeights("ae"), "\x60\x66");
    EXPECT_EQ(CDXGeneralWeights("\xE9"), "\x66\xF1"); // e acute
    EXPECT_EQ(CDXGeneralWeights("\xE9"
                                "a"),
              "\x66\x60\xF1");
    EXPECT_EQ(CDXGeneralWeights("\xDF"), "\x0C");     // sharp s
    EXPECT_EQ(CDXGeneralWeights("\xDE"), "\x77\x69"); // thorn expands
}

class CdxFormatTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string tablePath = dir.File("K.DBF");
    std::string indexPath = dir.File("K.CDX");
    std::unique_ptr<test::IndexedTable> table;
    std::unique_ptr<TVobjCDXFile> cdx;

    void Make(const std::vector<TFieldSpec>& fields) {
        CreateTableFile(tablePath, 0x03, fields);
        table = std::make_unique<test::IndexedTable>(tablePath, true, false);
        cdx = std::make_unique<TVobjCDXFile>(table.get(), indexPath, true, false, true, false);
        table->Indexes = {cdx.get()};
    }

    void Reopen() {
        table->Indexes.clear();
        cdx.reset();
        cdx = std::make_unique<TVobjCDXFile>(table.get(), indexPath, true, false, false, false);
        ASSERT_TRUE(cdx->Valid);
        table->Indexes = {cdx.get()};
    }

    std::vector<int32_t> Walk(const std::string& name) {
        TVobjIndexTag* tag = cdx->TagByName(name);
        std::vector<int32_t> records;
        tag->ResetNodes(2);
        for (int32_t r = tag->Move(MoveTop); r != 0; r = tag->Move(MoveNext))
            records.push_back(r);
        return records;
    }

    const test::RawTag& Raw(const test::RawCdx& raw, const std::string& name) {
        for (const auto& tag : raw.Tags)
            if (tag.Name == name) return tag;
        throw std::runtime_error("no tag " + name);
    }
};

TEST_F(CdxFormatTest, NumberDateAndCharacterKeysAsStoredInLeaves) {
    Make({{"NUM", 'N', 12, 7}, {"DAY", 'D', 8}, {"CODE", 'C', 10}});
    AddEmptyTag(*cdx, "NUM", "NUM");
    AddEmptyTag(*cdx, "DAY", "DAY");
    AddEmptyTag(*cdx, "CODE", "CODE");
    const double numbers[] = {1.0, 0, -1.0, -1.0000001, 2.5, -0.0};
    for (size_t i = 0; i < std::size(numbers); ++i) {
        table->BlankRecord();
        table->PutNumber("NUM", numbers[i]);
        table->PutDate("DAY", i == 1 ? 0 : 2451545 + static_cast<int32_t>(i));
        table->PutText("CODE", i == 0 ? "ABC" : "ABD" + std::to_string(i));
        table->AppendRecord();
    }
    EXPECT_EQ(Walk("NUM"), (std::vector<int32_t>{4, 3, 2, 6, 1, 5}));
    EXPECT_EQ(Walk("DAY"), (std::vector<int32_t>{2, 1, 3, 4, 5, 6}));
    cdx.reset();

    const test::RawCdx raw = test::DecodeCdx(indexPath, 6, {"NUM", "DAY"});
    ASSERT_TRUE(raw.Problems.empty()) << ::testing::PrintToString(raw.Problems);
    const auto& num = Raw(raw, "NUM").Levels.back().front().Entries;
    ASSERT_EQ(num.size(), 6u);
    // Sorted: -1.0000001, -1, 0 (record 2), -0 (record 6, the same key), 1, 2.5.
    EXPECT_EQ(num[1].Key, std::string("\x40\x0F\xFF\xFF\xFF\xFF\xFF\xFF", 8));
    EXPECT_EQ(num[1].Trailing, 0);
    EXPECT_EQ(num[2].Key, std::string("\x80", 1));
    EXPECT_EQ(num[2].Trailing, 7);
    EXPECT_EQ(num[3].Duplicate, 1) << "the same key as the one before";
    EXPECT_EQ(num[4].Key, std::string("\xBF\xF0", 2));
    EXPECT_EQ(num[4].Trailing, 6);
    // A date key is the number of its day.
    const auto& day = Raw(raw, "DAY").Levels.back().front().Entries;
    uint8_t expected[8];
    CDXNumberKey(2451545, expected);
    EXPECT_EQ(day[1].Key, std::string(reinterpret_cast<char*>(expected), 5));
    EXPECT_EQ(day[1].Key, std::string("\xC1\x42\xB4\x2C\x80", 5));
    EXPECT_EQ(day[0].Key, std::string("\x80", 1)) << "the blank date is day 0";
    // "ABC" and seven blanks: the blanks are the trailing count.
    const auto& code = Raw(raw, "CODE").Levels.back().front().Entries;
    EXPECT_EQ(code[0].Key, "ABC");
    EXPECT_EQ(code[0].Trailing, 7);
    EXPECT_EQ(code[1].Duplicate, 2);
    EXPECT_EQ(code[1].Key, "ABD1");
}

TEST_F(CdxFormatTest, ConvertKeyGivesTheStoredForms) {
    Make({{"NUM", 'N', 12, 2}, {"DAY", 'D', 8}, {"CODE", 'C', 5}, {"OK", 'L', 1}});
    TVobjCDXTag& num = *AddEmptyTag(*cdx, "NUM", "NUM");
    TVobjCDXTag& day = *AddEmptyTag(*cdx, "DAY", "DAY");
    TVobjCDXTag& code = *AddEmptyTag(*cdx, "CODE", "CODE");
    TVobjCDXTag& flag = *AddEmptyTag(*cdx, "OK", "OK");
    EXPECT_EQ(num.KeyType, 'N');
    EXPECT_EQ(day.KeyType, 'D');
    EXPECT_EQ(code.KeyType, 'C');
    EXPECT_EQ(code.KeyLength, 5);
    EXPECT_EQ(flag.KeyType, 'C');
    EXPECT_EQ(flag.KeyLength, 1);

    TVobjIndexKeyData key;
    key.SetDate(2451545);
    day.ConvertKey(key);
    TVobjIndexKeyData same;
    same.SetNumber(2451545);
    num.ConvertKey(same);
    EXPECT_EQ(Bytes(key), Bytes(same));
    EXPECT_EQ(key.Kind, vkRaw);
    key.SetString("AB   ");
    code.ConvertKey(key);
    EXPECT_EQ(key.TextView(), "AB");
    EXPECT_EQ(key.Kind, vkText);
    key.SetString("ABCDEFGH");
    code.ConvertKey(key);
    EXPECT_EQ(key.TextView(), "ABCDE") << "cut to the key length";
    key.SetBoolean(1);
    flag.ConvertKey(key);
    EXPECT_EQ(key.TextView(), "T");
}

TEST_F(CdxFormatTest, AGeneralCollationTagOrdersByWeightsAndReadsItsKeysBack) {
    Make({{"NAME", 'C', 6}});
    TVobjCDXTag& tag = *AddEmptyTag(*cdx, "NAME", "NAME", "", true, false, 2);
    EXPECT_EQ(tag.KeyLength, 12) << "twice the text";
    const char* names[] = {"b", "A", "a", "\xE9", "E", "\xC6", "ae", "z", "\xDF", "A\xDF", "a/"};
    for (const char* name : names) {
        table->BlankRecord();
        table->PutText("NAME", name);
        table->AppendRecord();
    }
    // A = a < AE = ae < a-sharp-s ... by their weight strings; equal keys by record.
    const std::vector<int32_t> order = Walk("NAME");
    EXPECT_EQ(order, (std::vector<int32_t>{9, 2, 3, 11, 6, 7, 10, 1, 5, 4, 8}));
    EXPECT_TRUE(TVobjIndexCheck(tag, true).Ok()) << TVobjIndexCheck(tag, true).Report();
    // Changing a record finds its old key through the stored form.
    table->GoToRecord(4);
    table->PutText("NAME", "zz");
    table->ReplaceRecord(4);
    EXPECT_TRUE(TVobjIndexCheck(tag, true).Ok()) << TVobjIndexCheck(tag, true).Report();

    Reopen();
    TVobjCDXTag& again = static_cast<TVobjCDXTag&>(*cdx->TagByName("NAME"));
    EXPECT_EQ(again.Collation, 2);
    EXPECT_TRUE(TVobjIndexCheck(again, true).Ok());
    cdx.reset();
    const std::string bytes = test::ReadFileBytes(indexPath);
    const test::RawCdx raw = test::DecodeCdx(indexPath, 11, {});
    const test::RawTag& stored = Raw(raw, "NAME");
    EXPECT_EQ(bytes.substr(static_cast<size_t>(stored.HeaderPosition) + 494, 8),
              std::string("GENERAL\0", 8));
    EXPECT_EQ(stored.Signature, 2);
    // Secondary weights at the end of a key are stored as their low four bits.
    bool nibbles = false;
    for (const auto& e : stored.Levels.back().front().Entries)
        nibbles = nibbles || (!e.Key.empty() && static_cast<uint8_t>(e.Key.back()) < 0x10);
    EXPECT_TRUE(nibbles);
}

TEST(CdxHeader, CollationNamesAndOptionsAsReadAndWritten) {
    test::TempDir dir;
    const std::string table = test::CopyCdxFixture("cdx-fpt", dir.Path());
    const std::string index = dir.File("test_cdx.cdx");
    std::string bytes = test::ReadFileBytes(index);
    const test::RawCdx raw = test::DecodeCdx(index, 300, {"AMOUNT", "BORN"});
    int32_t name = 0, born = 0, amount = 0;
    for (const auto& tag : raw.Tags) {
        if (tag.Name == "NAME") name = tag.HeaderPosition;
        if (tag.Name == "BORN") born = tag.HeaderPosition;
        if (tag.Name == "AMOUNT") amount = tag.HeaderPosition;
    }
    std::memcpy(bytes.data() + name + 494, "general", 7);
    std::memcpy(bytes.data() + born + 494, "MACHINE", 7);
    std::memcpy(bytes.data() + amount + 494, "OTHER\0\0", 7);
    bytes[static_cast<size_t>(amount) + 14] = static_cast<char>(0x7F);
    test::WriteFileBytes(index, bytes);
    {
        TVO_dBaseFld dbf(table, true, false);
        TVobjCDXFile cdx(&dbf, index, true, false, false, false);
        ASSERT_TRUE(cdx.Valid);
        auto& n = static_cast<TVobjCDXTag&>(*cdx.TagByName("NAME"));
        auto& b = static_cast<TVobjCDXTag&>(*cdx.TagByName("BORN"));
        auto& a = static_cast<TVobjCDXTag&>(*cdx.TagByName("AMOUNT"));
        EXPECT_EQ(n.Collation, 2);
        EXPECT_EQ(b.Collation, 1);
        EXPECT_EQ(a.Collation, 0);
        EXPECT_TRUE(a.Unique) << "bit 0x01 of the options";
        EXPECT_TRUE(a.HasFor) << "bit 0x08 of the options";
        for (TVobjCDXTag* tag : {&n, &b, &a}) {
            tag->HeaderChanged = true;
            tag->ReleaseNodes();
        }
    }
    const std::string written = test::ReadFileBytes(index);
    EXPECT_EQ(written.substr(static_cast<size_t>(name) + 494, 8), std::string("GENERAL\0", 8));
    EXPECT_EQ(written[static_cast<size_t>(name) + 15], 2);
    EXPECT_EQ(written.substr(static_cast<size_t>(born) + 494, 8), std::string(8, '\0'));
    EXPECT_EQ(written[static_cast<size_t>(born) + 15], 1);
    EXPECT_EQ(written.substr(static_cast<size_t>(amount) + 494, 8), std::string(8, '\0'));
    // Rebuilt options: 0x60 plus the unique and FOR bits; nothing else survives.
    EXPECT_EQ(static_cast<uint8_t>(written[static_cast<size_t>(amount) + 14]), 0x69);
    EXPECT_EQ(static_cast<uint8_t>(written[static_cast<size_t>(name) + 14]), 0x60);
    EXPECT_EQ(std::count(written.begin() + name + 16, written.begin() + name + 494, '\0'), 478);
}

} // namespace
} // namespace tarnis
