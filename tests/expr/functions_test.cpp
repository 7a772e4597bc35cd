// The built-in functions: results, argument rules and messages.
#include "expr_test_link.h"

#include "engine/base/tv6_Date.h"
#include "engine/expr/TtvUDF.h"
#include "engine/expr/tv6_sql.h"
#include "platform/format_settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace tarnis::test {
namespace {

struct TTextCase {
    const char* Text;
    std::string Value;
};

struct TNumberCase {
    const char* Text;
    double Value;
};

struct TErrorCase {
    const char* Text;
    const char* Message;
};

void ExpectTexts(const std::vector<TTextCase>& cases, TtvExpUserLink* link = nullptr) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        const TEvaluated result = Evaluate(c.Text, link);
        EXPECT_EQ(result.Type, rtText);
        EXPECT_EQ(result.Text(), c.Value);
    }
}

void ExpectNumbers(const std::vector<TNumberCase>& cases, TtvExpUserLink* link = nullptr) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        const TEvaluated result = Evaluate(c.Text, link);
        EXPECT_EQ(result.Type, rtNumber);
        EXPECT_DOUBLE_EQ(result.Number(), c.Value);
    }
}

void ExpectErrors(const std::vector<TErrorCase>& cases, TtvExpUserLink* link = nullptr) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(ErrorOf(c.Text, link), c.Message);
    }
}

TEST(ExprFunctions, RegistryHoldsTheThirtyThreeInOrder) {
    const std::vector<std::string> names = {
        "ALLTRIM", "ASC",     "AT",     "ATC",   "CEILING", "CHR",   "CTOD",  "DATE",    "DESCEND",
        "DOW",     "DTOC",    "DTOS",   "EMPTY", "FLOOR",   "IIF",   "INT",   "LEFT",    "LEN",
        "LOWER",   "LTRIM",   "PADC",   "PADL",  "PADR",    "RIGHT", "RTRIM", "SOUNDEX", "SPACE",
        "STR",     "STRZERO", "SUBSTR", "TRIM",  "UPPER",   "VAL"};
    ASSERT_EQ(BuiltinFunctions.Count(), 33);
    for (int32_t i = 0; i < 33; ++i)
        EXPECT_EQ(BuiltinFunctions.FunctionName(i), names[static_cast<size_t>(i)]);
    EXPECT_EQ(BuiltinFunctions.Items(33), nullptr);
    EXPECT_EQ(BuiltinFunctions.Items(-1), nullptr);
    EXPECT_EQ(BuiltinFunctions.FunctionName(33), "");
    EXPECT_EQ(TtvUDFPadMain().FunctionName(), "");
}

TEST(ExprFunctions, TrimFunctions) {
    ExpectTexts({
        {"ALLTRIM('  a b  ')", "a b"},
        {"ALLTRIM('')", ""},
        {"ALLTRIM('   ')", ""},
        {"LTRIM('  a b  ')", "a b  "},
        {"RTRIM('  a b  ')", "  a b"},
        {"TRIM('  a b  ')", "  a b"},
        {"TRIM('x') + 'y'", "xy"},
        {"ALLTRIM()", ""},
    });
}

TEST(ExprFunctions, AscAndChr) {
    ExpectNumbers({{"ASC('A')", 65}, {"ASC('ab')", 97}, {"ASC('')", 0}, {"ASC('\xE9')", 233}});
    ExpectTexts({{"CHR(65)", "A"},
                 {"CHR(65.9)", "A"},
                 {"CHR(0)", ""},
                 {"CHR(255)", "\xFF"},
                 {"CHR(ASC('z'))", "z"}});
    ExpectErrors({{"CHR(256)", "A Byte value is required but invalid"},
                  {"CHR(-1)", "A Byte value is required but invalid"},
                  {"CHR(0/0)", "A Byte value is required but invalid"},
                  {"ASC(65)", "Text needed for Argument 1 of ASC"}});
}

TEST(ExprFunctions, AtAndAtc) {
    ExpectNumbers({
        {"AT('A', 'ABA')", 1},
        {"AT('A', 'ABA', 2)", 3},
        {"AT('A', 'ABA', 3)", 3},
        {"AT('X', 'ABA')", 0},
        {"AT('AA', 'AAA', 2)", 2},
        {"AT('A', 'ABA', 0)", 0},
        {"AT('A', 'ABA', -1)", 0},
        {"AT('', 'ABA')", 0},
        {"AT('A', '')", 0},
        {"AT('B', 'ABA', 'x')", 2}, // a third argument that is not a number means 1
        {"AT('b', 'ABC')", 0},
        {"ATC('b', 'ABC')", 2},
        {"ATC('\xE9', 'X\xC9')", 2},
        {"AT('A', 'ABA', 2.9)", 3},
    });
    ExpectErrors({{"AT(1, 'A')", "Text needed for Argument 1 of AT"},
                  {"AT('A', 1)", "Text needed for Argument 2 of AT"},
                  {"ATC('A', {25/12/1999})", "Text needed for Argument 2 of ATC"}});
}

TEST(ExprFunctions, CeilingFloorAndInt) {
    ExpectNumbers({
        {"CEILING(1.2)", 2},
        {"CEILING(-1.2)", -1},
        {"CEILING(3)", 3},
        {"FLOOR(1.8)", 1},
        {"FLOOR(-1.2)", -2},
        {"FLOOR(3)", 3},
        {"INT(1.8)", 1},
        {"INT(-1.8)", -1},
        {"INT(1E12 + 0.5)", 1e12},
        {"CEILING(1E12 + 0.5)", 1e12 + 1},
        {"FLOOR(-1E12 - 0.5)", -1e12 - 1},
    });
    // Whole numbers without a sign of their own: INT(-0.5) is 0, not -0.
    EXPECT_FALSE(std::signbit(Evaluate("INT(-0.5)").Number()));
    EXPECT_FALSE(std::signbit(Evaluate("CEILING(-0.5)").Number()));
    EXPECT_TRUE(std::signbit(Evaluate("INT(-1.5)").Number()));
    ExpectErrors({{"INT('1')", ""}, {"UPPER(INT(1))", "Text needed for Argument 1 of UPPER"}});
}

TEST(ExprFunctions, CtodAndDate) {
    const TEvaluated blank = Evaluate("CTOD('')");
    EXPECT_EQ(blank.Type, rtDate);
    EXPECT_EQ(blank.Number(), BlankDateValue);
    EXPECT_EQ(Evaluate("CTOD('  ')").Number(), 0);
    EXPECT_EQ(Evaluate("CTOD('25/12/1999')").Number(), 2451538);
    EXPECT_EQ(Evaluate("CTOD('19991225')").Number(), 2451538);
    EXPECT_EQ(Evaluate("CTOD('20001301')").Number(), 2415019);
    EXPECT_THROW(
        {
            try {
                Evaluate("CTOD('abc')");
            } catch (const EConvertError& error) {
                EXPECT_STREQ(error.what(), "'abc' is not a valid date");
                throw;
            }
        },
        EConvertError);
    const TEvaluated today = Evaluate("DATE()");
    EXPECT_EQ(today.Type, rtDate);
    EXPECT_GT(today.Number(), 2451545); // after 1 January 2000
    EXPECT_EQ(ErrorOf("CTOD(1)"), "Text needed for Argument 1 of CTOD");
}

TEST(ExprFunctions, Descend) {
    TestLink link;
    const TEvaluated text = Evaluate("DESCEND('AB')");
    EXPECT_EQ(text.Type, rtText);
    EXPECT_EQ(text.Text(), "\xBF\xBE"); // 191, 190
    const TEvaluated date = Evaluate("DESCEND({25/12/1999})");
    EXPECT_EQ(date.Type, rtDate);
    EXPECT_EQ(date.Number(), 2780270);
    EXPECT_EQ(Evaluate("DESCEND(CTOD(''))").Number(), BlankDateValue);
    EXPECT_EQ(Evaluate("DESCEND(5)").Number(), -5);
    EXPECT_EQ(Evaluate("DESCEND(0)").Number(), 0);
    EXPECT_FALSE(std::signbit(Evaluate("DESCEND(0)").Number()));
    const TEvaluated logical = Evaluate("DESCEND(.T.)");
    EXPECT_EQ(logical.Type, rtLogical);
    EXPECT_FALSE(logical.Logical());
    EXPECT_TRUE(Evaluate("DESCEND(.F.)").Logical());
    // A number from a field keeps its width behind the value.
    TtvExpHandler field(&link, false, "DESCEND(QTY)");
    TtvExpBuffer buffer;
    field.Evaluate(buffer);
    EXPECT_EQ(buffer.AsNumber(), -42);
    EXPECT_EQ(buffer.NumberWidth(), 5);
    // Descending texts sort in reverse order.
    EXPECT_TRUE(Evaluate("DESCEND('ABC') > DESCEND('ABD')").Logical());
    // Any other value: its first byte becomes 0, its type stays.
    const TEvaluated other = Evaluate("DESCEND(NOTES)", &link);
    EXPECT_EQ(other.Type, rtOther);
    EXPECT_EQ(other.Bytes.size(), 8u);
    EXPECT_EQ(other.Bytes[0], 0);
    EXPECT_EQ(other.Bytes[1], '\x34');
    EXPECT_EQ(Evaluate("DESCEND()").Type, rtAbsent);
}

TEST(ExprFunctions, DowDtocDtos) {
    TestLink link;
    ExpectNumbers({{"DOW({01/01/2000})", 7},
                   {"DOW({25/12/1999})", 7},
                   {"DOW({26/12/1999})", 1},
                   {"DOW(CTOD(''))", 0},
                   {"DOW(0)", 0},
                   {"DOW(-5)", 0},
                   {"DOW(1E20)", 0}});
    ExpectTexts(
        {
            {"DTOS(BORN)", "19991225"},
            {"DTOS({01/01/2000})", "20000101"},
            {"DTOS(CTOD(''))", ""},
            {"DTOS(0)", "        "},
            {"DTOS(CTOD('  '))", "        "},
            {"DTOC(BORN)", "25/12/1999"},
            {"DTOC(BORN, 1)", "19991225"},
            {"DTOC(BORN, 2)", "25/12/1999"},
            {"DTOC(BORN, '1')", "25/12/1999"},
            {"DTOC(CTOD(''))", ""},
            {"DTOC(CTOD(''), 1)", ""},
            {"DTOC(0)", ""},
            {"DTOC(1E20)", ""},
            {"DTOS(2451538.9)", "19991225"},
        },
        &link);
    ExpectErrors({{"DTOS('19991225')", ""}, {"UPPER(DTOS(BORN)) + DTOC(BORN)", ""}}, &link);
}

TEST(ExprFunctions, DtocFollowsTheLocaleDatePattern) {
    const std::string saved = FormatSettings.ShortDateFormat;
    const char savedSeparator = FormatSettings.DateSeparator;
    FormatSettings.ShortDateFormat = "MM/dd/yy";
    EXPECT_EQ(Evaluate("DTOC({19991225})").Text(), "12/25/1999");
    FormatSettings.ShortDateFormat = saved;
    FormatSettings.DateSeparator = savedSeparator;
}

TEST(ExprFunctions, Empty) {
    TestLink link;
    link.Born->Number = 0; // a blank date field
    const std::vector<std::pair<const char*, bool>> cases = {
        {"EMPTY('')", true},       {"EMPTY(' ')", false},  {"EMPTY(0)", true},
        {"EMPTY(0.1)", false},     {"EMPTY(.F.)", true},   {"EMPTY(.T.)", false},
        {"EMPTY(CTOD(''))", true}, {"EMPTY(BORN)", false}, {"EMPTY({25/12/1999})", false},
        {"EMPTY(NOTES)", false},   {"EMPTY()", false},     {"EMPTY(TRIM(SPACE(4)))", true},
    };
    for (const auto& [text, value] : cases) {
        SCOPED_TRACE(text);
        const TEvaluated result = Evaluate(text, &link);
        EXPECT_EQ(result.Type, rtLogical);
        EXPECT_EQ(result.Logical(), value);
    }
}

TEST(ExprFunctions, IifEvaluatesOnlyTheChosenBranch) {
    TestLink link;
    const TEvaluated yes = Evaluate("IIF(.T., 'Y', 5)");
    EXPECT_EQ(yes.Type, rtText);
    EXPECT_EQ(yes.Text(), "Y");
    const TEvaluated no = Evaluate("IIF(.F., 'Y', 5)");
    EXPECT_EQ(no.Type, rtNumber);
    EXPECT_EQ(no.Number(), 5);
    EXPECT_EQ(Evaluate("IIF(.T., 'Y')").Text(), "Y");
    EXPECT_EQ(Evaluate("IIF(.F., 'Y')").Type, rtAbsent);
    EXPECT_EQ(Evaluate("IIF(QTY > 40, 'big', 'small')", &link).Text(), "big");

    TtvExpHandler handler(&link, false, "IIF(ACTIVE, COUNTER(), 100 + COUNTER())");
    TtvExpBuffer buffer;
    handler.Evaluate(buffer);
    EXPECT_EQ(buffer.AsNumber(), 1);
    link.Active->Logical = false;
    handler.Evaluate(buffer);
    EXPECT_EQ(buffer.AsNumber(), 102);
    EXPECT_EQ(link.Counter->Calls, 2);

    // A text condition is not reported: its first byte decides.
    EXPECT_EQ(Evaluate("IIF('', 1, 2)").Number(), 2);
    EXPECT_EQ(Evaluate("IIF('N', 1, 2)").Number(), 1);
    ExpectErrors({{"IIF(1, 'a', 'b')", "Boolean needed for Argument 1 of IIF"},
                  {"IIF({25/12/1999}, 'a', 'b')", "Boolean needed for Argument 1 of IIF"}});
}

TEST(ExprFunctions, LeftRightSubstrLen) {
    ExpectTexts({
        {"LEFT('ABC', 0.005)", ""},
        {"LEFT('ABC', 0.5)", ""},
        {"LEFT('ABC', 2)", "AB"},
        {"LEFT('ABC', 2.9)", "AB"},
        {"LEFT('ABC', 5)", "ABC"},
        {"LEFT('ABC', -1)", ""},
        {"LEFT('ABC')", ""},
        {"LEFT('ABC', 1E30)", "ABC"},
        {"RIGHT('ABC', 2)", "BC"},
        {"RIGHT('ABC', 3)", "ABC"},
        {"RIGHT('ABC', 9)", "ABC"},
        {"RIGHT('ABC', 0)", ""},
        {"RIGHT('ABC', -2)", ""},
        {"SUBSTR('ABCDEF', 3)", "CDEF"},
        {"SUBSTR('ABCDEF', 3, 2)", "CD"},
        {"SUBSTR('ABC', 4)", ""},
        {"SUBSTR('ABC', 2, 10)", "BC"},
        {"SUBSTR('ABC', 0)", ""},
        {"SUBSTR('ABC', -1, 2)", ""},
        {"SUBSTR('ABC', 1, 0)", ""},
        {"SUBSTR('ABC', 1, -5)", ""},
        {"SUBSTR('ABC', 3, 1)", "C"},
        {"SUBSTR('ABC', 2, 'x')", "BC"},
        {"SUBSTR('ABC')", ""},
        {"SUBSTR('ABC', 1E30)", ""},
    });
    ExpectNumbers({{"LEN('')", 0}, {"LEN('abc')", 3}, {"LEN('a  ')", 3}, {"LEN(SPACE(300))", 300}});
    TestLink link;
    ExpectNumbers({{"LEN(NAME)", 20}}, &link);
    ExpectErrors({{"LEFT(1, 1)", "Text needed for Argument 1 of LEFT"},
                  {"SUBSTR(1, 1)", "Text needed for Argument 1 of SUBSTR"},
                  {"LEN(5)", "Text needed for Argument 1 of LEN"}});
}

TEST(ExprFunctions, UpperAndLowerUseTheAnsiCaseMapping) {
    ExpectTexts({
        {"UPPER('abc xyz 123')", "ABC XYZ 123"},
        {"UPPER('\xE9t\xE9')", "\xC9T\xC9"},               // été -> ÉTÉ
        {"UPPER('\xFF\x9C\x9A\xE7')", "\x9F\x8C\x8A\xC7"}, // ÿ œ š ç -> Ÿ Œ Š Ç
        {"UPPER('\xDF\xB5')", "\xDF\xB5"},                 // ß and µ have no upper case
        {"LOWER('ABC \xC9T\xC9')", "abc \xE9t\xE9"},
        {"LOWER('\x9F\x8C\x8A')", "\xFF\x9C\x9A"},
    });
    TestLink link;
    ExpectTexts({{"UPPER(LOWER(NAME))", "SMITHSON            "}}, &link);
    ExpectErrors({{"UPPER(5)", "Text needed for Argument 1 of UPPER"},
                  {"LOWER(BORN)", "Text needed for Argument 1 of LOWER"}},
                 &link);
}

TEST(ExprFunctions, PadFunctions) {
    ExpectTexts({
        {"PADC('AB', 5)", " AB  "},
        {"PADL('AB', 5)", "   AB"},
        {"PADR('AB', 5)", "AB   "},
        {"PADL('ABCDEF', 3)", "ABC"},
        {"PADR('ABCDEF', 3)", "ABC"},
        {"PADC('ABCDEF', 3)", "ABC"},
        {"PADR('A', 3, '-')", "A--"},
        {"PADL('A', 3, '0')", "00A"},
        {"PADC('A', 4, '*')", "*A**"},
        {"PADC('AB', 2)", "AB"},
        {"PADL('AB', 0)", ""},
        {"PADR('AB', -3)", ""},
        {"PADR('', 2)", "  "},
        {"PADC('A', 4, )", " A  "},
    });
    ExpectErrors({
        {"PADC('A', 3, 'xy')", "A Char value is required but invalid"},
        {"PADL('A', 3, '')", "A Char value is required but invalid"},
        {"PADR('A', 3, .T.)", "A Char value is required but invalid"},
        {"PADR('A', 3, 5)", "Text needed for Argument 3 of PADR"},
        // The fill character is read first.
        {"PADC(1, 3, 'xy')", "A Char value is required but invalid"},
        {"PADC(1, 3)", "Text needed for Argument 1 of PADC"},
        {"PADL('A', 65536)", "Text result longer than 65535 characters"},
    });
    EXPECT_EQ(Evaluate("PADL('A', 65535)").Text().size(), 65535u);
    EXPECT_EQ(Evaluate("PADL(SPACE(70000 - 10000), 3)").Text(), "   ");
}

TEST(ExprFunctions, Soundex) {
    ExpectTexts({
        {"SOUNDEX('TOT')", "T300"},
        {"SOUNDEX('PFISTER')", "P123"},
        {"SOUNDEX('A')", "A000"},
        {"SOUNDEX('')", "0000"},
        {"SOUNDEX('robert')", "R163"},
        {"SOUNDEX('Rupert')", "R163"},
        {"SOUNDEX('Tymczak')", "T520"},
        {"SOUNDEX('BOB')", "B100"},
        {"SOUNDEX('LLOYD')", "L430"},
        {"SOUNDEX('x1-2y')", "X000"},
        {"SOUNDEX('Ashcraft')", "A261"},
    });
}

TEST(ExprFunctions, Space) {
    ExpectTexts({{"SPACE(3)", "   "},
                 {"SPACE(0)", ""},
                 {"SPACE(-4)", ""},
                 {"SPACE(2.9)", "  "},
                 {"'[' + SPACE(2) + ']'", "[  ]"}});
    ExpectErrors({{"SPACE(65536)", "Text result longer than 65535 characters"},
                  {"SPACE(1E300)", "Text result longer than 65535 characters"},
                  {"SPACE(40000) + SPACE(40000)", "Text result longer than 65535 characters"},
                  {"SPACE('3')", ""}});
    EXPECT_EQ(Evaluate("SPACE(65535)").Text().size(), 65535u);
}

TEST(ExprFunctions, StrAndStrZero) {
    ExpectTexts({
        {"STR(3.14159, 6, 2)", "  3.14"},
        {"STR(123456, 3)", "***"},
        {"STR(42)", "        42"},
        {"STR(-42, 4)", " -42"},
        {"STR(-42, 3)", "-42"},
        {"STR(-42, 2)", "**"},
        {"STR(2.5, 3)", "  3"},
        {"STR(-2.5, 3)", " -3"},
        {"STR(1.005, 5, 2)", " 1.00"},
        {"STR(0.125, 5, 2)", " 0.13"},
        {"STR(1, 3, 2)", "***"},
        {"STR(1, 4, 2)", "1.00"},
        {"STR(1, 0)", ""},
        {"STR(1, -5)", ""},
        {"STR(1.7, 5, -2)", "    2"},
        {"STR(1E20, 25)", "    100000000000000000000"},
        {"STR(-0.001, 6, 2)", "  0.00"},
        {"STR(7, 'x', 3)", "         7"},
        {"STR(12.5, 6, 1)", "  12.5"},
        {"STRZERO(5, 3)", "005"},
        {"STRZERO(-5, 3)", "0-5"},
        {"STRZERO(123456, 3)", "***"},
        {"STRZERO(42)", "0000000042"},
        {"STRZERO(3.14159, 7, 3)", "003.142"},
    });
    ExpectErrors({{"STR('1')", ""},
                  {"STR(1, 65536)", "Text result longer than 65535 characters"},
                  {"UPPER(STR(1))", ""}});
    EXPECT_EQ(Evaluate("STR(1, 65535, 65534)").Text(), std::string(65535, '*'));
    EXPECT_EQ(Evaluate("STR(1, 65535, 65000)").Text(),
              std::string(533, ' ') + "1." + std::string(65000, '0'));
}

TEST(ExprFunctions, StrRoundsLikeTheFixedFormatOfThePlatform) {
    const std::vector<std::pair<const char*, int>> values = {
        {"0.5", 0},      {"1.5", 0},           {"2.5", 0},
        {"-2.5", 0},     {"0.125", 2},         {"0.375", 2},
        {"2.675", 2},    {"1.005", 2},         {"1234.5678", 3},
        {"-0.0049", 2},  {"99.995", 2},        {"999.5", 0},
        {"0.1", 20},     {"123456789.125", 2}, {"0.000001", 5},
        {"9.96", 1},     {"-999.96", 1},       {"0.96", 1},
        {"0", 3},        {"1E15", 1},          {"-0.0000000001", 12},
        {"9.999999", 4},
    };
    for (const auto& [literal, decimals] : values) {
        SCOPED_TRACE(literal);
        double value = 0;
        ASSERT_TRUE(TryParseDecimal(literal, value));
        const std::string expected = FormatFixed(value, decimals);
        const std::string text =
            "STR(" + std::string(literal) + ", 60, " + std::to_string(decimals) + ")";
        const std::string result = Evaluate(text).Text();
        ASSERT_EQ(result.size(), 60u);
        EXPECT_EQ(result.substr(result.find_first_not_of(' ')), expected);
    }
}

TEST(ExprFunctions, StrWithoutWidthUsesTheLinkDefault) {
    TestLink link; // QTY 42, a numeric field of width 5
    EXPECT_EQ(Evaluate("STR(QTY, 5)", &link).Text(), "   42");
    EXPECT_EQ(Evaluate("STR(QTY)", &link).Text(), "        42");
    link.DefaultNumberWidth = 6;
    EXPECT_EQ(Evaluate("STR(QTY)", &link).Text(), "    42");
    link.DefaultNumberWidth = -1;
    EXPECT_EQ(Evaluate("STR(QTY)", &link).Text(), "   42");
    EXPECT_EQ(Evaluate("STR(AMOUNT)", &link).Text(), "        1235");
    // Not a field: no width to take.
    EXPECT_EQ(Evaluate("STR(QTY + 1)", &link).Text(), "        43");
    EXPECT_EQ(Evaluate("STR(QTY * 1000000, 5)", &link).Text(), "*****");
}

TEST(ExprFunctions, Val) {
    const char saved = FormatSettings.DecimalSeparator;
    FormatSettings.DecimalSeparator = ',';
    ExpectNumbers({{"VAL('12')", 12},
                   {"VAL(' 1,5 ')", 1.5},
                   {"VAL('1.5')", 0},
                   {"VAL('')", 0},
                   {"VAL('abc')", 0},
                   {"VAL('-3')", -3},
                   {"VAL('  ')", 0},
                   {"VAL('12abc')", 0}});
    FormatSettings.DecimalSeparator = '.';
    ExpectNumbers({{"VAL('1.5')", 1.5}, {"VAL('1,5')", 0}});
    FormatSettings.DecimalSeparator = saved;
    ExpectErrors({{"VAL(12)", "Text needed for Argument 1 of VAL"}});
}

TEST(ExprFunctions, ValReadsAsThePlatformConversionDoes) {
    const char saved = FormatSettings.DecimalSeparator;
    for (const char separator : {',', '.'}) {
        FormatSettings.DecimalSeparator = separator;
        for (const char* text :
             {"12",  "-12",  "+12",   " 1,5 ",  "1.5",   "1,5", "1,5,6", "1.5.6", ",5",  ".5",
              "5,",  "5.",   "1E3",   "1,5E-2", "1.5e2", "E3",  "-",     "",      "   ", "\t7\t",
              "1 2", "0x10", "12abc", "abc",    "1e999", "-0",  "00012", "1,,5"}) {
            SCOPED_TRACE(std::string(1, separator) + " [" + text + "]");
            double expected = 0;
            try {
                expected = StrToFloat(text);
            } catch (const EConvertError&) {
                expected = 0;
            }
            const TEvaluated result = Evaluate(std::string("VAL('") + text + "')");
            EXPECT_EQ(result.Type, rtNumber);
            if (std::isnan(expected))
                EXPECT_TRUE(std::isnan(result.Number()));
            else
                EXPECT_EQ(result.Number(), expected);
        }
    }
    FormatSettings.DecimalSeparator = saved;
}

TEST(ExprFunctions, ArgumentMismatchesThatAreNotReported) {
    TestLink link;
    // A logical where text is expected is read by its bytes: .F. is an empty text.
    ExpectTexts({{"UPPER(.F.)", ""},
                 {"LEFT(.F., 1)", ""},
                 {"ALLTRIM(NOTES) + 'x'", "\x12\x34\x56\x78\x02x"}},
                &link);
    // A date where a number is expected counts as its day number.
    ExpectTexts({{"LEFT('ABC', {25/12/1999})", "ABC"}, {"STR({25/12/1999}, 8)", " 2451538"}});
}

TEST(ExprFunctions, KnownXBaseResults) {
    TestLink link;
    link.Name->SetPadded("\xE9mile");
    ExpectTexts({{"STR(QTY,5)", "   42"},
                 {"DTOS(BORN)", "19991225"},
                 {"UPPER(NAME)", "\xC9MILE               "},
                 {"UPPER(NAME)+DTOS(BORN)", "\xC9MILE               19991225"},
                 {"STR(QTY,5)+NAME", "   42\xE9mile               "}},
                &link);
}

} // namespace
} // namespace tarnis::test
