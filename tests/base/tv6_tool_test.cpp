#include "engine/base/tv6_tool.h"

#include "engine/base/tv6_eror.h"
#include "platform/format_settings.h"

#include <gtest/gtest.h>

namespace tarnis {
namespace {

TtvVariant Text(const char* s) {
    TtvVariant v;
    v.SetText(s);
    return v;
}

TEST(TtvVariantCompare, TextsWithPrefixRule) {
    struct Case {
        const char* Self;
        const char* Other;
        int32_t PrefixResult;
        int32_t Result;
        int32_t DiffPos;
    };
    const Case cases[] = {
        {"AB", "ABC", -1, -1, 3}, {"AB", "ABC", 0, 0, 3},  {"AB", "ABC", 5, 1, 3},
        {"ABC", "AB", 0, 1, 3},   {"ABD", "ABC", 0, 1, 3}, {"ABC", "ABD", 0, -1, 3},
        {"", "A", 0, -1, 0},      {"", "", 0, 0, 0},       {"A", "", 0, 1, 0},
        {"abc", "abc", 0, 0, 4},  {"\xE9", "f", 0, 1, 1}, // bytes compare unsigned
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Self) + " vs " + c.Other);
        const TtvVariant a = Text(c.Self), b = Text(c.Other);
        int32_t diff = -99;
        EXPECT_EQ(a.Compare(&b, diff, nullptr, c.PrefixResult), c.Result);
        EXPECT_EQ(diff, c.DiffPos);
    }
}

TEST(TtvVariantCompare, CollationTableAppliesToTextOnly) {
    uint8_t caseBlind[256];
    for (int i = 0; i < 256; ++i)
        caseBlind[i] = static_cast<uint8_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
    const TtvVariant a = Text("abc"), b = Text("ABC");
    int32_t diff = 0;
    EXPECT_EQ(a.Compare(&b, diff, caseBlind, -1), 0);
    EXPECT_EQ(a.Compare(&b, diff, nullptr, -1), 1);
    TtvVariant ra, rb;
    ra.SetBytes("abc", 3);
    rb.SetBytes("ABC", 3);
    EXPECT_EQ(ra.Compare(&rb, diff, caseBlind, -1), 1);
}

TEST(TtvVariantCompare, KindsAndMismatch) {
    TtvVariant n1, n2, raw, d1, d2, t, f, none1, none2;
    n1.SetNumber(-2.5);
    n2.SetNumber(10);
    const double ten = 10;
    raw.SetBytes(&ten, 8);
    d1.SetDate(2451545);
    d2.SetDate(2451546);
    t.SetBoolean(7);
    f.SetBoolean(0);
    int32_t diff = 0;
    EXPECT_EQ(n1.Compare(&n2, diff, nullptr, 0), -1);
    EXPECT_EQ(raw.Compare(&n2, diff, nullptr, 0), 0); // raw bytes read as the other's kind
    EXPECT_EQ(n1.Compare(&raw, diff, nullptr, 0), -1);
    EXPECT_EQ(d2.Compare(&d1, diff, nullptr, 0), 1);
    EXPECT_EQ(t.Compare(&f, diff, nullptr, 0), 1);
    EXPECT_EQ(f.Compare(&t, diff, nullptr, 0), -1);
    EXPECT_EQ(n1.Compare(nullptr, diff, nullptr, 0), 1);
    const TtvVariant text = Text("1");
    EXPECT_THROW(n1.Compare(&text, diff, nullptr, 0), ETarnisError);
    try {
        none1.Compare(&none2, diff, nullptr, 0);
        ADD_FAILURE();
    } catch (const ETarnisError& e) {
        EXPECT_STREQ(e.what(), "Variant types mismatch for compare");
    }
}

TEST(TtvVariantConvert, BooleansNumbersStrings) {
    const TFormatSettings saved = FormatSettings;
    FormatSettings.DecimalSeparator = ',';
    for (const char* s : {"y", "J", "T", "true"})
        EXPECT_TRUE(Text(s).AsBoolean()) << s;
    for (const char* s : {"x", "F", "", "0"})
        EXPECT_FALSE(Text(s).AsBoolean()) << s;
    TtvVariant v;
    v.SetNumber(0.7);
    EXPECT_FALSE(v.AsBoolean());
    v.SetNumber(-1.2);
    EXPECT_TRUE(v.AsBoolean());
    EXPECT_EQ(v.AsString(), "-1,2");
    v.SetNumber(1.5);
    EXPECT_EQ(v.AsString(), "1,5");
    v.SetDate(2451545);
    EXPECT_FALSE(v.AsBoolean());
    EXPECT_EQ(v.AsNumber(), 2451545);
    EXPECT_EQ(v.AsString(), "01/01/2000");
    v.SetDate(0);
    EXPECT_EQ(v.AsString(), "");
    v.SetBoolean(1);
    EXPECT_EQ(v.AsString(), "T");
    EXPECT_EQ(v.AsNumber(), 1);
    v.SetBoolean(0);
    EXPECT_EQ(v.AsString(), "F");
    EXPECT_EQ(Text(" 3,25 ").AsNumber(), 3.25);
    EXPECT_THROW(Text("3.25x").AsNumber(), EConvertError);
    EXPECT_EQ(Text("20000101").AsDate(), 2451545);
    v.SetNumber(20000101.9);
    EXPECT_EQ(v.AsDate(), 0); // a day number beyond year 9999 has no stored form
    v.SetNumber(2451545);
    EXPECT_EQ(v.AsDate(), 2451545);
    v.SetNumber(-3);
    EXPECT_EQ(v.AsDate(), 0);
    EXPECT_EQ(TtvVariant().AsString(), "");
    EXPECT_EQ(TtvVariant().AsNumber(), 0);
    FormatSettings = saved;
}

TEST(TtvVariantBuffer, GrowsNeverShrinksAndKeepsBytes) {
    TtvVariant v;
    v.SetText("ABCDEFGH");
    const uint8_t* buffer = v.Data.get();
    v.SetText("AB");
    EXPECT_EQ(v.Data.get(), buffer); // smaller values reuse the buffer
    EXPECT_EQ(v.Capacity, 8);
    v.PadRight(10);
    EXPECT_EQ(v.Kind, vkText);
    EXPECT_EQ(v.AsString(), "AB        ");
    v.PadRight(1);
    EXPECT_EQ(v.Size, 10);
    v.TrimRight();
    EXPECT_EQ(v.AsString(), "AB");
    v.AppendBytes("\x01\x02", 2);
    EXPECT_EQ(v.Kind, vkRaw);
    EXPECT_EQ(v.AsString(), std::string("AB\x01\x02"));
    uint8_t out[8] = {};
    EXPECT_EQ(v.CopyBytesTo(out, 3), out);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out)), "AB\x01");
    EXPECT_EQ(TtvVariant().CopyBytesTo(out, 3), nullptr);

    TtvVariant copy(v);
    EXPECT_EQ(copy.AsString(), v.AsString());
    EXPECT_NE(copy.Data.get(), v.Data.get());
    EXPECT_FALSE(copy.Assign(nullptr));
    EXPECT_TRUE(copy.IsEmpty());
}

TEST(TtvVariantTranslate, TableOrAnsiUpperCase) {
    TtvVariant v = Text("\xE9t\xE9 \xFF\x9C");
    v.Translate(nullptr);
    EXPECT_EQ(v.AsString(), "\xC9T\xC9 \x9F\x8C");
    uint8_t table[256];
    for (int i = 0; i < 256; ++i)
        table[i] = static_cast<uint8_t>(255 - i);
    v = Text("A");
    v.Translate(table);
    EXPECT_EQ(v.AsString(), "\xBE");
    TtvVariant n;
    n.SetNumber(1);
    n.Translate(table); // only text translates
    EXPECT_EQ(n.AsNumber(), 1);
}

TEST(TtvHugeSet, BlocksGrowOnChange) {
    TtvHugeSet set;
    EXPECT_FALSE(set.Contains(5));
    EXPECT_TRUE(set.Blocks.empty());
    set.Change(300000, 1);
    EXPECT_EQ(set.Blocks.size(), 3u);
    EXPECT_EQ(set.HighIndex, 300000);
    EXPECT_TRUE(set.Contains(300000));
    EXPECT_FALSE(set.Contains(299999));
    EXPECT_FALSE(set.Contains(300001));
    set.Change(131071, 1);
    set.Change(131072, 1);
    set.Change(131072, 2);
    EXPECT_TRUE(set.Contains(131071));
    EXPECT_FALSE(set.Contains(131072));
    set.Change(7, 9); // unknown op changes nothing
    EXPECT_FALSE(set.Contains(7));
    set.ClearAll();
    EXPECT_EQ(set.Blocks.size(), 3u);
    EXPECT_EQ(set.HighIndex, -1);
    EXPECT_FALSE(set.Contains(300000));
    set.Change(10, 0);
    EXPECT_EQ(set.HighIndex, 10); // a clear also raises the high index
}

struct Counted : TtvObject {
    explicit Counted(int& alive) : Alive(alive) { ++Alive; }
    ~Counted() override { --Alive; }
    int& Alive;
};

TEST(TtvCollection, FreesItsItems) {
    int alive = 0;
    {
        TtvCollection c;
        auto* a = new Counted(alive);
        c.Add(a);
        c.Add(new Counted(alive));
        c.Add(new Counted(alive));
        EXPECT_EQ(c.IndexOf(a), 0);
        c.FreeOne(a);
        EXPECT_EQ(alive, 2);
        EXPECT_EQ(c.Count(), 2);
    }
    EXPECT_EQ(alive, 0);
}

TEST(StringRoutines, NamesAndZeroTerminated) {
    EXPECT_EQ(DefaultExtension("/d/radera", ".DBF"), "/d/radera.DBF");
    EXPECT_EQ(DefaultExtension("/d/radera.dbf", ".DBF"), "/d/radera.dbf");
    EXPECT_EQ(DefaultExtension("/d.x/radera", ".CDX"), "/d.x/radera.CDX");
    EXPECT_EQ(BareFileName("/data/RADERA.DBF"), "RADERA");
    EXPECT_EQ(BareFileName("radera"), "radera");
    char buffer[16] = "AB";
    PadZ(buffer, '.', 5);
    EXPECT_STREQ(buffer, "AB...");
    PadZ(buffer, '.', 3);
    EXPECT_STREQ(buffer, "AB...");
    char blanks[16] = "AB   ";
    TrimZ(blanks);
    EXPECT_STREQ(blanks, "AB");
    char upper[8] = "\xE7"
                    "a\xE0";
    UpperZ(upper, 3);
    EXPECT_STREQ(upper, "\xC7"
                        "A\xC0");
    EXPECT_EQ(CompareTextZ("\xE9t\xE9", "\xC9T\xC9"), 0);
    EXPECT_LT(CompareZ("A", "a"), 0);
}

} // namespace
} // namespace tarnis
