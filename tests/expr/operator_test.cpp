// Operators: the type rules, arithmetic, the text comparison with its wildcard and
// case rules, the exact comparison, and joining texts.
#include "expr_test_link.h"

#include "engine/expr/tv6_sql.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace tarnis::test {
namespace {

struct TLogicalCase {
    const char* Text;
    bool Value;
};

void ExpectLogicals(const std::vector<TLogicalCase>& cases, TtvExpUserLink* link,
                    bool caseInsensitive = false, bool wildcards = true) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        TtvExpHandler handler(link, false, "");
        handler.CaseInsensitive = caseInsensitive;
        handler.Wildcards = wildcards;
        handler.SetExpression(c.Text);
        TtvExpBuffer buffer;
        ASSERT_NE(handler.Evaluate(buffer), nullptr);
        EXPECT_EQ(handler.ResultType, rtLogical);
        EXPECT_EQ(buffer.AsLogical(), c.Value);
    }
}

TEST(ExprOperators, WildcardComparisonsOfAField) {
    TestLink link; // NAME holds SMITHSON, padded to 20 characters
    ExpectLogicals(
        {
            {"NAME = 'SMITH'", false}, {"NAME = 'SMITHSON'", true}, {"NAME = 'SMI*'", true},
            {"NAME = '*SON'", true},   {"NAME = '*ITH*'", true},    {"NAME = '*'", true},
            {"NAME = '*XYZ*'", false}, {"NAME = 'XYZ*'", false},    {"NAME = '*SMI'", false},
            {"NAME = 'S*N'", false},   {"NAME = '**'", true},       {"NAME = 'SMI* '", true},
            {"NAME # 'SMI*'", false},  {"NAME < 'SMI*'", false},    {"NAME <= 'SMI*'", true},
            {"NAME >= 'SMI*'", true},  {"'SMI*' = NAME", false},    {"'' = '*'", true},
            {"NAME = 'smi*'", false},
        },
        &link);
    ExpectLogicals({{"NAME = 'SMI*'", false}, {"NAME = '*'", false}, {"'SMI*' = 'SMI*'", true}},
                   &link, false, false);
}

TEST(ExprOperators, TextComparisonIgnoresTrailingBlanksOnly) {
    ExpectLogicals(
        {
            {"'ABC  ' = 'ABC'", true},  {"'ABC' = 'ABC   '", true}, {"' ABC' = 'ABC'", false},
            {"'abc' = 'ABC'", false},   {"'AB' = 'ABC'", false},    {"'ABC' = 'AB'", false},
            {"'' = ''", true},          {"'  ' = ''", true},        {"'B' > 'A'", true},
            {"'A' < 'B'", true},        {"'A' >= 'A  '", true},     {"'A' <= 'B'", true},
            {"'A' # 'B'", true},        {"'A' <> 'B'", true},       {"'A' != 'B'", true},
            {"'A' => 'A'", true},       {"'A' =< 'A'", true},       {"'AB' > 'A'", true},
            {"'a' > 'Z'", true},    // byte order
            {"'\xE9' > 'z'", true}, // bytes compare unsigned
            {"'\xE9' = '\xC9'", false},
        },
        nullptr);
}

TEST(ExprOperators, CaseInsensitiveComparison) {
    TestLink link;
    ExpectLogicals(
        {
            {"'abc' = 'ABC'", true},
            {"'\xE9t\xE9' = '\xC9T\xC9'", true}, // été / ÉTÉ under the ANSI case mapping
            {"'abc' < 'ABD'", true},
            {"NAME = 'smi*'", true},
            {"NAME = '*son'", true},
            {"'x' = 'Y'", false},
            {"'abc' == 'ABC'", false}, // the exact comparison keeps the case
        },
        &link, true);
}

TEST(ExprOperators, ExactComparison) {
    TestLink link;
    ExpectLogicals(
        {
            {"'ABC' == 'ABC'", true},
            {"'ABC  ' == 'ABC'", false},
            {"'ABC' == 'ABC '", false},
            {"'' == ''", true},
            {"NAME == 'SMI*'", false},
            {"'*' == 'A'", false},
            {"NAME == 'SMITHSON'", false}, // the field keeps its trailing blanks
            {"TRIM(NAME) == 'SMITHSON'", true},
            {"1 == 1.0", true},
            {"1 == 2", false},
            {".T. == .T.", true},
            {".T. == .F.", false},
            {"{25/12/1999} == 2451538", true},
        },
        &link);
}

struct TNumberCase {
    const char* Text;
    uint8_t Type;
    double Value;
};

TEST(ExprOperators, ArithmeticAndTheTypeOfItsResult) {
    TestLink link; // QTY 42, AMOUNT 1234.5, BORN 2451538
    const std::vector<TNumberCase> cases = {
        {"7 / 2", rtNumber, 3.5},
        {"QTY * 2 - AMOUNT", rtNumber, 84 - 1234.5},
        {"2 ^ 10", rtNumber, 1024},
        {"5 ^ 0", rtNumber, 1}, // the real power
        {"2 ^ 0.5", rtNumber, std::sqrt(2.0)},
        {"4 ** 0.5", rtNumber, 2},
        {"(-8) ^ 2", rtNumber, 64},
        {"0 ^ 0", rtNumber, 1},
        {"BORN + 1", rtNumber, 2451539},    // a date plus a number is a number
        {"1 + BORN", rtDate, 2451539},      // a number plus a date is a date
        {"BORN - {24/12/1999}", rtDate, 1}, // the right operand's type
        {"{25/12/1999} - 7", rtNumber, 2451531},
        {"CTOD('') + 0", rtNumber, 1e100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        const TEvaluated result = Evaluate(c.Text, &link);
        EXPECT_EQ(result.Type, c.Type);
        EXPECT_DOUBLE_EQ(result.Number(), c.Value);
    }
}

TEST(ExprOperators, DivisionByZeroFollowsIeee) {
    EXPECT_TRUE(std::isinf(Evaluate("1 / 0").Number()));
    EXPECT_TRUE(std::isnan(Evaluate("0 / 0").Number()));
    EXPECT_EQ(Evaluate("STR(1 / 0, 5)").Text(), "*****");
    EXPECT_EQ(Evaluate("STR(0 / 0, 3)").Text(), "***");
    EXPECT_FALSE(Evaluate("0 / 0 = 0 / 0").Logical());
    EXPECT_TRUE(Evaluate("0 / 0 # 1").Logical());
}

TEST(ExprOperators, NumericComparisonsAcrossTheNumericFamily) {
    TestLink link;
    ExpectLogicals(
        {
            {"QTY = 42", true},
            {"QTY # 42", false},
            {"QTY > 41.9", true},
            {"QTY < 42", false},
            {"QTY >= 42", true},
            {"QTY <= 41", false},
            {"BORN > 2451537", true},
            {"BORN = {25/12/1999}", true},
            {"{24/12/1999} < BORN", true},
            {"CTOD('') > BORN", true},
            {"-1 < 0", true},
            {"-0 = 0", true},
        },
        &link);
}

TEST(ExprOperators, LogicalOperators) {
    TestLink link;
    ExpectLogicals(
        {
            {".T. = .T.", true},
            {".T. = .F.", false},
            {".T. # .F.", true},
            {".T. .AND. .F.", false},
            {".T. .AND. .T.", true},
            {".F. .OR. .F.", false},
            {".F. .OR. .T.", true},
            {".NOT. .F.", true},
            {"ACTIVE .AND. QTY > 40", true},
            {".NOT. ACTIVE .OR. QTY = 42", true},
            {"ACTIVE = T", true},
        },
        &link);
}

struct TTextCase {
    const char* Text;
    const char* Value;
};

TEST(ExprOperators, JoiningTexts) {
    TestLink link;
    const std::vector<TTextCase> cases = {
        {"'AB' + 'CD'", "ABCD"},
        {"'AB  ' + 'CD'", "AB  CD"},
        {"'AB  ' - 'CD'", "ABCD  "},
        {"'AB' - 'CD  '", "ABCD  "},
        {"'   ' - 'X'", " X  "}, // the first character never moves
        {"'' - 'X'", "X"},
        {"'A' - ''", "A"},
        {"CITY - '/' - NAME", "PARIS/SMITHSON                      "},
        {"SPACE(3) + 'X'", "   X"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        const TEvaluated result = Evaluate(c.Text, &link);
        EXPECT_EQ(result.Type, rtText);
        EXPECT_EQ(result.Text(), c.Value);
    }
}

TEST(ExprOperators, OperandTypesMustMatch) {
    TestLink link;
    for (const char* text : {"'1' + 1", "1 + '1'", "NAME + QTY", "ACTIVE + 1", "BORN = 'x'",
                             "ACTIVE .AND. 1", "NOTES + 1", "'a' = .T."}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ErrorOf(text, &link), "The two sides of an operation do not match");
    }
}

TEST(ExprOperators, OperatorsUndefinedForATypeFailWithTheirKind) {
    TestLink link;
    const std::vector<std::pair<const char*, const char*>> cases = {
        {".T. + .T.", "A number value is required but invalid"},
        {".T. - .T.", "A number value is required but invalid"},
        {".T. * .T.", "A number value is required but invalid"},
        {".T. / .T.", "A number value is required but invalid"},
        {".T. < .F.", "A assigned value is required but invalid"},
        {".T. >= .F.", "A assigned value is required but invalid"},
        {"1 .AND. 1", "A assigned value is required but invalid"},
        {"'a' / 'b'", "A assigned value is required but invalid"},
        {"'a' ^ 'b'", "A assigned value is required but invalid"},
        {"'a' .OR. 'b'", "A assigned value is required but invalid"},
        {".NOT. 1", "A boolean value is required but invalid"},
        {".NOT. NAME", "A boolean value is required but invalid"},
        {".NOT. BORN", "A boolean value is required but invalid"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ErrorOf(text, &link), message);
    }
}

TEST(ExprOperators, OperandsAreEvaluatedEveryTime) {
    TestLink link;
    TtvExpHandler handler(&link, false, "QTY * 2 + COUNTER()");
    TtvExpBuffer buffer;
    handler.Evaluate(buffer);
    EXPECT_EQ(buffer.AsNumber(), 85);
    link.Qty->Number = 10;
    handler.Evaluate(buffer);
    EXPECT_EQ(buffer.AsNumber(), 22);
    EXPECT_EQ(link.Qty->Fetches, 2);
}

} // namespace
} // namespace tarnis::test
