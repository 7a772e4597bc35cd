#include "platform/code_page.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace tarnis {
namespace {

std::string AllBytes() {
    std::string bytes;
    for (int b = 0; b < 256; ++b)
        bytes += static_cast<char>(b);
    return bytes;
}

// ---- code points ----

struct CodePointCase {
    TCodePage Page;
    uint8_t Byte;
    char32_t Expected;
};

TEST(CodePage, KnownCodePoints) {
    const CodePointCase cases[] = {
        {TCodePage::CP850, 0x41, U'A'},       {TCodePage::CP850, 0x80, U'\u00C7'},
        {TCodePage::CP850, 0x82, U'\u00E9'},  {TCodePage::CP850, 0x9F, U'\u0192'},
        {TCodePage::CP850, 0xB0, U'\u2591'},  {TCodePage::CP850, 0xD5, U'\u0131'},
        {TCodePage::CP850, 0xE1, U'\u00DF'},  {TCodePage::CP850, 0xF2, U'\u2017'},
        {TCodePage::CP850, 0xFE, U'\u25A0'},  {TCodePage::CP850, 0xFF, U'\u00A0'},
        {TCodePage::CP1252, 0x80, U'\u20AC'}, {TCodePage::CP1252, 0x81, U'\u0081'},
        {TCodePage::CP1252, 0x8D, U'\u008D'}, {TCodePage::CP1252, 0x8F, U'\u008F'},
        {TCodePage::CP1252, 0x90, U'\u0090'}, {TCodePage::CP1252, 0x9D, U'\u009D'},
        {TCodePage::CP1252, 0x8C, U'\u0152'}, {TCodePage::CP1252, 0x9F, U'\u0178'},
        {TCodePage::CP1252, 0x96, U'\u2013'}, {TCodePage::CP1252, 0xE9, U'\u00E9'},
        {TCodePage::CP437, 0x9B, U'\u00A2'},  {TCodePage::CP437, 0x9E, U'\u20A7'},
        {TCodePage::CP437, 0xE0, U'\u03B1'},  {TCodePage::CP437, 0xE1, U'\u00DF'},
        {TCodePage::CP437, 0xEC, U'\u221E'},  {TCodePage::CP437, 0xFF, U'\u00A0'},
        {TCodePage::Latin1, 0x80, U'\u0080'}, {TCodePage::Latin1, 0xE9, U'\u00E9'},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CodePointOf(c.Page, c.Byte), c.Expected)
            << "page " << static_cast<int>(c.Page) << " byte " << int(c.Byte);
}

TEST(CodePage, EveryPageDecodesTo256DistinctCodePointsWithAsciiBelow0x80) {
    for (const TCodePage page :
         {TCodePage::CP850, TCodePage::CP1252, TCodePage::CP437, TCodePage::Latin1}) {
        std::set<char32_t> seen;
        for (int b = 0; b < 256; ++b) {
            const char32_t cp = CodePointOf(page, static_cast<uint8_t>(b));
            if (b < 0x80) {
                EXPECT_EQ(cp, static_cast<char32_t>(b));
            }
            seen.insert(cp);
        }
        EXPECT_EQ(seen.size(), 256u) << "page " << static_cast<int>(page);
    }
}

// ---- UTF-8 ----

TEST(CodePage, DecodeKnownText) {
    EXPECT_EQ(DecodeToUtf8("Caf\x82 cr\x8Ame", TCodePage::CP850), "Café crème");
    EXPECT_EQ(DecodeToUtf8("\x80 \x9C\xFF", TCodePage::CP1252), "€ œÿ");
    EXPECT_EQ(DecodeToUtf8("\xE0\xE1", TCodePage::CP437), "αß");
    EXPECT_EQ(DecodeToUtf8(std::string("a\0b", 3), TCodePage::CP850), std::string("a\0b", 3));
    EXPECT_EQ(DecodeToUtf8("", TCodePage::CP1252), "");
}

TEST(CodePage, AllBytesRoundTripThroughUtf8OnEveryPage) {
    const std::string bytes = AllBytes();
    for (const TCodePage page :
         {TCodePage::CP850, TCodePage::CP1252, TCodePage::CP437, TCodePage::Latin1}) {
        const std::string utf8 = DecodeToUtf8(bytes, page);
        std::string back;
        ASSERT_TRUE(EncodeFromUtf8(utf8, page, back)) << "page " << static_cast<int>(page);
        EXPECT_EQ(back, bytes) << "page " << static_cast<int>(page);
    }
}

TEST(CodePage, EncodeKnownTextAndMissingCharacters) {
    struct Case {
        const char* Utf8;
        TCodePage Page;
        std::string Expected;
    };
    const Case cases[] = {
        {"Café", TCodePage::CP850, "Caf\x82"},
        {"Café", TCodePage::CP1252, "Caf\xE9"},
        {"€", TCodePage::CP1252, "\x80"},
        {"€", TCodePage::CP850, "?"},  // no euro sign in 850
        {"╬", TCodePage::CP1252, "?"}, // no box drawing in 1252
        {"╬", TCodePage::CP850, "\xCE"},
        {"Ā", TCodePage::Latin1, "?"}, // U+0100 is past Latin-1
        {"日本", TCodePage::CP437, "??"},
        {"😀x", TCodePage::CP850, "?x"},
    };
    for (const auto& c : cases) {
        std::string out = "junk";
        ASSERT_TRUE(EncodeFromUtf8(c.Utf8, c.Page, out)) << c.Utf8;
        EXPECT_EQ(out, c.Expected) << c.Utf8;
    }
}

TEST(CodePage, EncodeRejectsMalformedUtf8) {
    const std::string cases[] = {
        "\x80",             // continuation byte without a lead
        "\xC3",             // truncated two-byte form
        "a\xE2\x82",        // truncated three-byte form
        "\xC0\x80",         // overlong NUL
        "\xE0\x80\xAF",     // overlong '/'
        "\xED\xA0\x80",     // UTF-16 surrogate
        "\xF4\x90\x80\x80", // past U+10FFFF
        "\xF5\x80\x80\x80", // invalid lead
        "\xC3\x28",         // bad continuation
        "\xFF",
    };
    for (const auto& text : cases) {
        std::string out = "unchanged";
        EXPECT_FALSE(EncodeFromUtf8(text, TCodePage::CP1252, out)) << testing::PrintToString(text);
        EXPECT_EQ(out, "unchanged");
    }
}

// ---- OEM <-> ANSI ----

TEST(CodePage, OemAnsiTablesAreExactInverses) {
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(AnsiToOemTable[OemToAnsiTable[b]], b) << "oem byte " << b;
        EXPECT_EQ(OemToAnsiTable[AnsiToOemTable[b]], b) << "ansi byte " << b;
    }
    for (int b = 0; b < 0x80; ++b)
        EXPECT_EQ(OemToAnsiTable[b], b);
}

TEST(CodePage, OemAnsiKnownPairs) {
    struct Pair {
        uint8_t Oem, Ansi;
    };
    const Pair pairs[] = {
        {0x80, 0xC7}, // Ç
        {0x82, 0xE9}, // é
        {0x85, 0xE0}, // à
        {0x87, 0xE7}, // ç
        {0x8A, 0xE8}, // è
        {0x90, 0xC9}, // É
        {0x9C, 0xA3}, // £
        {0x9F, 0x83}, // ƒ
        {0xB7, 0xC0}, // À
        {0xE1, 0xDF}, // ß
        {0xE6, 0xB5}, // µ
        {0xF8, 0xB0}, // °
        {0xFF, 0xA0}, // no-break space
        {0xB0, 0x80}, // first unpaired 850 byte (░) takes the first unpaired 1252 byte (€)
        {0xD5, 0x98}, // ı, the 24th unpaired byte, takes the 24th (˜)
        {0xFE, 0x9F}, // last unpaired 850 byte (■) takes the last unpaired 1252 byte (Ÿ)
    };
    for (const auto& p : pairs) {
        EXPECT_EQ(OemToAnsiTable[p.Oem], p.Ansi) << "oem " << int(p.Oem);
        EXPECT_EQ(AnsiToOemTable[p.Ansi], p.Oem) << "ansi " << int(p.Ansi);
    }
}

// The pairing rule, checked through the code points: shared characters meet, and the
// rest are matched in ascending byte order on both sides.
TEST(CodePage, OemAnsiPairingFollowsTheCharacters) {
    std::vector<int> unpairedOem, unpairedAnsi;
    for (int oem = 0x80; oem < 256; ++oem) {
        const char32_t cp = CodePointOf(TCodePage::CP850, static_cast<uint8_t>(oem));
        int ansi = -1;
        for (int a = 0x80; a < 256; ++a)
            if (CodePointOf(TCodePage::CP1252, static_cast<uint8_t>(a)) == cp) ansi = a;
        if (ansi >= 0)
            EXPECT_EQ(OemToAnsiTable[oem], ansi) << "oem " << oem;
        else
            unpairedOem.push_back(oem);
    }
    for (int a = 0x80; a < 256; ++a) {
        const char32_t cp = CodePointOf(TCodePage::CP1252, static_cast<uint8_t>(a));
        bool shared = false;
        for (int o = 0x80; o < 256; ++o)
            shared = shared || CodePointOf(TCodePage::CP850, static_cast<uint8_t>(o)) == cp;
        if (!shared) unpairedAnsi.push_back(a);
    }
    ASSERT_EQ(unpairedOem.size(), 31u);
    ASSERT_EQ(unpairedAnsi.size(), unpairedOem.size());
    for (size_t i = 0; i < unpairedOem.size(); ++i)
        EXPECT_EQ(OemToAnsiTable[unpairedOem[i]], unpairedAnsi[i]) << "oem " << unpairedOem[i];
}

TEST(CodePage, BufferConversionsRoundTripAllBytes) {
    std::string text = AllBytes();
    OemToAnsiBuff(text.data(), text.size());
    EXPECT_EQ(static_cast<uint8_t>(text[0x82]), 0xE9);
    EXPECT_NE(text, AllBytes());
    AnsiToOemBuff(text.data(), text.size());
    EXPECT_EQ(text, AllBytes());

    std::string partial = "\x82\x82";
    OemToAnsiBuff(partial.data(), 1);
    EXPECT_EQ(partial, "\xE9\x82");
    AnsiToOemBuff(partial.data(), 1);
    EXPECT_EQ(partial, "\x82\x82");
}

// ---- casing ----

TEST(CodePage, CasePairs) {
    struct Pair {
        uint8_t Lower, Upper;
    };
    const Pair pairs[] = {
        {'a', 'A'},   {'m', 'M'},   {'z', 'Z'},   {0xE0, 0xC0}, // à À
        {0xE7, 0xC7}, {0xE9, 0xC9}, {0xEA, 0xCA}, {0xF0, 0xD0}, // ç Ç, é É, ê Ê, ð Ð
        {0xF6, 0xD6}, {0xF8, 0xD8}, {0xFE, 0xDE}, {0xFF, 0x9F}, // ö Ö, ø Ø, þ Þ, ÿ Ÿ
        {0x9C, 0x8C}, {0x9A, 0x8A}, {0x9E, 0x8E},               // œ Œ, š Š, ž Ž
    };
    for (const auto& p : pairs) {
        EXPECT_EQ(AnsiUpperChar(p.Lower), p.Upper) << int(p.Lower);
        EXPECT_EQ(AnsiUpperChar(p.Upper), p.Upper) << int(p.Upper);
        EXPECT_EQ(AnsiLowerChar(p.Upper), p.Lower) << int(p.Upper);
        EXPECT_EQ(AnsiLowerChar(p.Lower), p.Lower) << int(p.Lower);
    }
}

TEST(CodePage, CaselessCharactersStay) {
    const uint8_t same[] = {'0',  '9',  '@',  '[',  '`',  '{',  ' ', 0x00, 0x7F,
                            0xDF, // ß
                            0xB5, // µ
                            0xF7, // ÷
                            0xD7, // ×
                            0xAA, 0xBA, 0x80, 0x83, 0x9B, 0x8B, 0xA0};
    for (const uint8_t c : same) {
        EXPECT_EQ(AnsiUpperChar(c), c) << int(c);
        EXPECT_EQ(AnsiLowerChar(c), c) << int(c);
    }
}

TEST(CodePage, CasingIsConsistentOverAllBytes) {
    int changedByUpper = 0;
    for (int b = 0; b < 256; ++b) {
        const auto c = static_cast<uint8_t>(b);
        const uint8_t upper = AnsiUpperChar(c);
        const uint8_t lower = AnsiLowerChar(c);
        EXPECT_EQ(AnsiUpperChar(upper), upper) << b;
        EXPECT_EQ(AnsiLowerChar(lower), lower) << b;
        EXPECT_TRUE(upper == c || lower == c) << b;
        if (upper != c) {
            ++changedByUpper;
            EXPECT_EQ(AnsiLowerChar(upper), c) << b;
        }
        if (lower != c) {
            EXPECT_EQ(AnsiUpperChar(lower), c) << b;
        }
    }
    EXPECT_EQ(changedByUpper, 26 + 30 + 4);
}

TEST(CodePage, StringCasingAndBuffers) {
    EXPECT_EQ(AnsiUpperCase("d\xE9j\xE0 vu \xFF\x9C\xDF 1"), "D\xC9J\xC0 VU \x9F\x8C\xDF 1");
    EXPECT_EQ(AnsiLowerCase("D\xC9J\xC0 VU \x9F\x8C\xDF 1"), "d\xE9j\xE0 vu \xFF\x9C\xDF 1");
    EXPECT_EQ(AnsiUpperCase(std::string("a\0b", 3)), std::string("A\0B", 3));

    std::string text = "abcdef";
    AnsiUpperBuff(text.data(), 3);
    EXPECT_EQ(text, "ABCdef");
    AnsiLowerBuff(text.data() + 1, 4);
    EXPECT_EQ(text, "Abcdef");
}

TEST(CodePage, CompareText) {
    struct Case {
        const char* A;
        const char* B;
        int Sign;
    };
    const Case cases[] = {
        {"abc", "ABC", 0},   {"\xE9t\xE9", "\xC9T\xC9", 0}, // été / ÉTÉ
        {"\xFF", "\x9F", 0},                                // ÿ / Ÿ
        {"a", "b", -1},      {"B", "a", 1},
        {"Z", "a", 1}, // 'Z' after 'A'
        {"ab", "a", 1},      {"", "a", -1},
        {"", "", 0},         {"\xE9", "z", 1}, // É (0xC9) sorts after Z by byte
        {"_", "a", 1},                         // '_' (0x5F) after 'A' (0x41)
    };
    for (const auto& c : cases) {
        const int result = AnsiCompareText(c.A, c.B);
        const int sign = (result > 0) - (result < 0);
        EXPECT_EQ(sign, c.Sign) << c.A << " vs " << c.B;
    }
}

} // namespace
} // namespace tarnis
