// Compiling: tokens, keywords, signs, groups, calls, names, the joined tree, its
// text forms and counters, and the compile errors with their messages.
#include "expr_test_link.h"

#include "engine/expr/tv6_sql.h"
#include "platform/format_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnis::test {
namespace {

struct TNumberCase {
    const char* Text;
    double Value;
};

TEST(ExprParser, NumbersSignsAndPrecedence) {
    const std::vector<TNumberCase> cases = {
        {"2 + 3 * 4", 14}, {"(2 + 3) * 4", 20}, {"2 ^ 3 ^ 2", 64}, {"2 ** 3", 8},
        {"-5 + 2", -3},    {"3 - -2", 5},       {"3--2", 5},       {"+7", 7},
        {"10 - 4 - 3", 3}, {"64 / 4 / 2", 8},   {"2 * -3", -6},    {"1.5E2", 150},
        {"  12  ", 12},    {"1-2*3^2", -17},    {"2^-1", 0.5},     {"((((3))))", 3},
        {"1E-2", -2},  // "-" is an operator: 1E is not a number (0), minus 2
        {"5 $", 5},    // "$" is skipped
        {"5->3", 5.3}, // "->" reads as "."
        {"- -2", 0},   // two signs before 2: "--2" is not a number
        {"5 * -", 0},  // a sign before nothing is a number worth 0
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        const TEvaluated result = Evaluate(c.Text);
        EXPECT_EQ(result.Type, rtNumber);
        EXPECT_DOUBLE_EQ(result.Number(), c.Value);
    }
}

TEST(ExprParser, SignBeforeANameIsANumberWorthZero) {
    TestLink link;
    const TEvaluated negated = Evaluate("-QTY", &link);
    EXPECT_EQ(negated.Type, rtNumber);
    EXPECT_EQ(negated.Number(), 0);
    EXPECT_EQ(link.Qty->Fetches, 0);
    EXPECT_EQ(Evaluate("1 - -QTY", &link).Number(), 1);
    EXPECT_EQ(Evaluate("QTY - 2", &link).Number(), 40);
}

TEST(ExprParser, LogicalLiteralsAndKeywords) {
    TestLink link;
    link.T->Logical = false;
    const std::vector<std::pair<const char*, bool>> cases = {
        {".T.", true},
        {".t.", true},
        {"TRUE", true},
        {"true", true},
        {".TRUE.", true},
        {"T.", true},
        {".F.", false},
        {"FALSE", false},
        {".f.", false},
        {"T", false}, // the field T, which holds false here
        {".T. .AND. .F.", false},
        {".t. .or. .f.", true},
        {".NOT. .F.", true},
        {"! .T.", false},
        {"!.F.", true},
        {"1 EQ 1", true},
        {"1 LT 2", true},
        {"2 GT 1", true},
        {"1 LE 1", true},
        {"1 GE 2", false},
        {".T. AND .T.", true},
        {".F. OR .T.", true},
        {"NOT .T.", false},
        {"1 = 1 .AND. 2 = 2", true},
    };
    for (const auto& [text, value] : cases) {
        SCOPED_TRACE(text);
        const TEvaluated result = Evaluate(text, &link);
        EXPECT_EQ(result.Type, rtLogical);
        EXPECT_EQ(result.Logical(), value);
    }
}

TEST(ExprParser, SingleLetterTOrFIsAFieldName) {
    EXPECT_EQ(ErrorOf("T"), "Field/variable T is unknown");
    EXPECT_EQ(ErrorOf("F"), "Field/variable F is unknown");
    TestLink link;
    EXPECT_EQ(ErrorOf("F", &link), "There is no function for F");
}

TEST(ExprParser, NotBindsLooserThanComparisonAndAndTighterThanOr) {
    TestLink link;
    TtvExpHandler notEqual(&link, false, ".NOT. QTY = 42");
    ASSERT_NE(notEqual.Root, nullptr);
    EXPECT_EQ(notEqual.Root->NameText(), ".NOT.");
    EXPECT_EQ(notEqual.Root->Left, nullptr);
    ASSERT_NE(notEqual.Root->Right, nullptr);
    EXPECT_EQ(notEqual.Root->Right->NameText(), "=");
    EXPECT_FALSE(Evaluate(".NOT. QTY = 42", &link).Logical());

    TtvExpHandler orAnd(nullptr, false, ".T. .OR. .F. .AND. .F.");
    EXPECT_EQ(orAnd.Root->NameText(), ".OR.");
    EXPECT_EQ(orAnd.Root->Right->NameText(), ".AND.");
    EXPECT_TRUE(Evaluate(".T. .OR. .F. .AND. .F.").Logical());
}

TEST(ExprParser, OperatorsOfOneLevelGroupFromTheLeft) {
    TtvExpHandler handler(nullptr, false, "8 - 2 - 1");
    ASSERT_NE(handler.Root, nullptr);
    EXPECT_EQ(handler.Root->Left->NameText(), "-");
    EXPECT_EQ(handler.Root->Right->NameText(), "1");
    EXPECT_EQ(handler.Root->NodeKind, nkOperator);
}

TEST(ExprParser, FieldVariablesThroughTheLink) {
    TestLink link;
    const TEvaluated name = Evaluate("name", &link);
    EXPECT_EQ(name.Type, rtText);
    EXPECT_EQ(name.Text(), "SMITHSON            ");
    EXPECT_EQ(Evaluate("NAME->CITY", &link).Text(), "LYON      ");
    EXPECT_EQ(Evaluate("name->city", &link).Text(), "LYON      ");
    TtvExpHandler alias(&link, false, "NAME->CITY");
    EXPECT_EQ(alias.ExpressionText(), "NAME.CITY");
    EXPECT_EQ(alias.Root->NodeKind, nkFieldVar);
    EXPECT_EQ(ErrorOf("NOSUCH", &link), "There is no function for NOSUCH");
    EXPECT_EQ(ErrorOf("name"), "Field/variable NAME is unknown");
    EXPECT_EQ(ErrorOf("_X"), "Field/variable _X is unknown");
}

TEST(ExprParser, FunctionLookupOrder) {
    TestLink link;
    // The built-in LEFT hides the link's LEFT.
    EXPECT_EQ(Evaluate("LEFT('ABC', 2)", &link).Text(), "AB");
    EXPECT_EQ(link.LinkLeft->Calls, 0);
    // A link function.
    EXPECT_EQ(Evaluate("TWICE(QTY)", &link).Number(), 84);
    EXPECT_EQ(Evaluate("twice(2)", &link).Number(), 4);
    // Unknown names: the link's NoFunction decides.
    EXPECT_EQ(ErrorOf("FOO(1)", &link), "There is no function for FOO");
    EXPECT_EQ(link.Asked, std::vector<std::string>{"FOO"});
    EXPECT_EQ(ErrorOf("FOO(1)"), "There is no function for FOO");
    link.Claimable = {"MINE"};
    EXPECT_EQ(Evaluate("MINE()", &link).Number(), 1);
    EXPECT_EQ(link.Asked.size(), 2u);
    // Claimed once, found directly afterwards.
    EXPECT_EQ(Evaluate("MINE()", &link).Number(), 2);
    EXPECT_EQ(link.Asked.size(), 2u);
    // A name followed by a blank and a bracket is not a call.
    EXPECT_EQ(ErrorOf("TWICE (2)", &link), "There is no function for TWICE");
    // A keyword directly followed by "(" is a call.
    EXPECT_EQ(ErrorOf("NOT(.T.)", &link), "There is no function for NOT");
    EXPECT_FALSE(Evaluate(".NOT.(.T.)", &link).Logical());
}

TEST(ExprParser, FunctionWithoutAValue) {
    TestLink link;
    const TEvaluated silent = Evaluate("SILENT()", &link);
    EXPECT_EQ(silent.Type, rtNone);
    EXPECT_EQ(ErrorOf("SILENT() + 1", &link), "The two sides of an operation do not match");
}

TEST(ExprParser, ArgumentsAreSplitOutsideBracketsAndLiterals) {
    EXPECT_EQ(Evaluate("IIF(.T., 'a,b', 'c')").Text(), "a,b");
    EXPECT_EQ(Evaluate("IIF(.T., [x,(y], 'c')").Text(), "x,(y");
    EXPECT_EQ(Evaluate("IIF(.F., 'a', LEFT('x,y', 3))").Text(), "x,y");
    EXPECT_EQ(Evaluate("IIF((.T.), (1), 2)").Number(), 1);
    TtvExpHandler empty(nullptr, false, "IIF(.T.,,1)");
    auto& call = static_cast<TtvExpFunction&>(*empty.Root);
    EXPECT_EQ(call.ArgumentCount(), 3);
    EXPECT_EQ(call.Arguments[1], nullptr);
    EXPECT_EQ(empty.ExpressionText(), "IIF(.T.,,1)");
    TtvExpHandler none(nullptr, false, "DATE( )");
    EXPECT_EQ(static_cast<TtvExpFunction&>(*none.Root).ArgumentCount(), 0);
}

TEST(ExprParser, LiteralsKeepTheirCharacters) {
    EXPECT_EQ(Evaluate("'say \"hi\"'").Text(), "say \"hi\"");
    EXPECT_EQ(Evaluate("\"it's\"").Text(), "it's");
    EXPECT_EQ(Evaluate("[a'b\"c]").Text(), "a'b\"c");
    EXPECT_EQ(Evaluate("'  x (y) + z  '").Text(), "  x (y) + z  ");
    EXPECT_EQ(Evaluate("'abc").Text(), "abc"); // unclosed: runs to the end
    EXPECT_EQ(Evaluate("''").Text(), "");
    EXPECT_EQ(Evaluate("''").Type, rtText);
    const TEvaluated date = Evaluate("{25/12/1999}");
    EXPECT_EQ(date.Type, rtDate);
    EXPECT_EQ(date.Number(), 2451538);
    EXPECT_EQ(Evaluate("{19991225}").Number(), 2451538);
    EXPECT_EQ(Evaluate("{}").Number(), 0);
    EXPECT_EQ(ErrorOf("{31/31/1999}"), "'31/31/1999' is not a valid date");
}

TEST(ExprParser, ReservedWordsAreRejected) {
    TestLink link;
    EXPECT_EQ(ErrorOf("NAME LIKE 'A*'", &link), "Operator LIKE is not supported");
    EXPECT_EQ(ErrorOf("'A' .POS. NAME", &link), "Operator POS is not supported");
    EXPECT_EQ(ErrorOf("like"), "Operator LIKE is not supported");
}

TEST(ExprParser, SkippedCharactersAndStrayBrackets) {
    TestLink link;
    // A ")" without its group and a "," outside a call are ignored.
    EXPECT_EQ(Evaluate("QTY + ) QTY", &link).Number(), 84);
    EXPECT_EQ(Evaluate("1 , + 2").Number(), 3);
    // "$" is not an operator: two operands remain side by side.
    EXPECT_EQ(ErrorOf("'A' $ NAME", &link), "Expression cannot be evaluated");
    // A name beginning with a character outside A-Z is skipped.
    EXPECT_EQ(Evaluate("\xC9T\xC9 + 1").Number(), 1);
}

struct TErrorCase {
    const char* Text;
    const char* Message;
};

TEST(ExprParser, CompileAndEvaluationMessages) {
    TestLink link;
    const std::vector<TErrorCase> cases = {
        {"(1 + 2", "Missing closing parentheses"},
        {"((1)", "Missing closing parentheses"},
        {"UPPER('a'", "Missing closing parentheses"},
        {"UPPER('a)", "Missing closing parentheses"},
        {"LEFT(LEFT('a', 1)", "Missing closing parentheses"},
        {"1 2", "Expression cannot be evaluated"},
        {"NAME 'x'", "Expression cannot be evaluated"},
        {"QTY .NOT. ACTIVE", "Expression cannot be evaluated"},
        {".NOT. .NOT. .T.", "Expression cannot be evaluated"},
        {"1 +", "Target value missing for + operation"},
        {"*", "Target value missing for * operation"},
        {"* 2", "Target value missing for * operation"},
        {".NOT.", "Target value missing for .NOT. operation"},
        {"2 ^ *", "Target value missing for * operation"},
        {"1 == ", "Target value missing for exactly equal operation"},
        {"'1' + 1", "The two sides of an operation do not match"},
        {"1 + '1'", "The two sides of an operation do not match"},
        {".T. = 1", "The two sides of an operation do not match"},
        {"NOTES = 'x'", "The two sides of an operation do not match"},
        {".NOT. 5", "A boolean value is required but invalid"},
        {"! 'x'", "A boolean value is required but invalid"},
        {".T. + .F.", "A number value is required but invalid"},
        {".T. ^ .T.", "A number value is required but invalid"},
        {".T. > .F.", "A assigned value is required but invalid"},
        {"'a' * 'b'", "A assigned value is required but invalid"},
        {"'a' .AND. 'b'", "A assigned value is required but invalid"},
        {"1 .OR. 2", "A assigned value is required but invalid"},
        {"NOTES = NOTES", "A assigned value is required but invalid"},
        {".NOT. ()", "A assigned value is required but invalid"},
        {"() = ()", "A assigned value is required but invalid"},
        {"UPPER(5)", "Text needed for Argument 1 of UPPER"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(ErrorOf(c.Text, &link), c.Message);
    }
}

TEST(ExprParser, TextForms) {
    TestLink link;
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"upper( name ) + dtos(born)", "UPPER(NAME)+DTOS(BORN)"},
        {"'abc' + [x]", "\"abc\"+\"x\""},
        {"'say \"hi\"'", "'say \"hi\"'"},
        {"[it's \"so\"]", "[it's \"so\"]"},
        {"''", "\"\""},
        {"3.50 * 2", "3.50*2"},
        {"-5", "-5"},
        {"1E3", "1000"},
        {"2 ** 3", "2^3"},
        {"-QTY", "0"},
        {"{25/12/1999}", "{25/12/1999}"},
        {"{19991225}", "{25/12/1999}"},
        {".t. .and. .not. active", ".T..AND..NOT.ACTIVE"},
        {"qty # 1 .or. qty <> 2 .or. qty != 3", "QTY#1.OR.QTY#2.OR.QTY#3"},
        {"qty => 1 .and. qty =< 2", "QTY>=1.AND.QTY<=2"},
        {"name == 'x'", "NAME==\"x\""},
        {"(1 + 2) * 3", "(1+2)*3"},
        {"()", "()"},
        {"STR(QTY, 5) + NAME", "STR(QTY,5)+NAME"},
        {"qty EQ 1", "QTY=1"},
    };
    for (const auto& [text, form] : cases) {
        SCOPED_TRACE(text);
        TtvExpHandler handler(&link, false, text);
        EXPECT_EQ(handler.ExpressionText(), form);
    }
    TtvExpHandler empty(&link, false, "");
    EXPECT_EQ(empty.ExpressionText(), "");
}

TEST(ExprParser, TextFormReadsBackAsTheSameExpression) {
    TestLink link;
    for (const char* text : {"UPPER(NAME)+DTOS(BORN)", "'a\"b' + [c'\"d] + \"e'f\"",
                             "IIF(QTY > 10, STR(QTY, 5, 1), SPACE(5))", "NAME == 'SMITH  '",
                             "(QTY - 2) ^ 2 / 3.25", "{25/12/1999} + 1"}) {
        SCOPED_TRACE(text);
        TtvExpHandler first(&link, false, text);
        TtvExpHandler second(&link, false, first.ExpressionText());
        EXPECT_EQ(second.ExpressionText(), first.ExpressionText());
        TtvExpBuffer a;
        TtvExpBuffer b;
        first.Evaluate(a);
        second.Evaluate(b);
        EXPECT_EQ(first.ResultType, second.ResultType);
        EXPECT_EQ(std::string(a.Data(), a.Size()), std::string(b.Data(), b.Size()));
    }
}

TEST(ExprParser, NodeKindsAndTypes) {
    TestLink link;
    const std::vector<std::pair<const char*, uint8_t>> kinds = {
        {"1 + 2", nkOperator}, {"*", nkOperatorUnattached}, {"UPPER('a')", nkFunction},
        {"NAME", nkFieldVar},  {"'a'", nkTextLit},          {"1", nkNumberLit},
        {"{}", nkDateLit},     {".T.", nkLogicalLit},       {"(1)", nkGroup},
    };
    for (const auto& [text, kind] : kinds) {
        SCOPED_TRACE(text);
        TtvExpHandler handler(&link, false, text);
        ASSERT_NE(handler.Root, nullptr);
        EXPECT_EQ(handler.Root->NodeKind, kind);
    }
    TtvExpHandler literal(nullptr, false, "'abcd'");
    EXPECT_EQ(literal.Root->ResultType, rtText);
    EXPECT_EQ(literal.Root->Length, 4);
}

TEST(ExprParser, CountersOfTheLastCompile) {
    TestLink link;
    TtvExpHandler handler(&link, false, "STR(QTY,5)+NAME");
    EXPECT_EQ(handler.OperandCount, 4); // STR, QTY, 5, NAME
    EXPECT_EQ(handler.MaxLength, 20);
    EXPECT_EQ(handler.MaxDecimals, 0);

    handler.SetExpression("QTY + 1.25");
    EXPECT_EQ(handler.OperandCount, 2);
    EXPECT_EQ(handler.MaxLength, 5);
    EXPECT_EQ(handler.MaxDecimals, 2);

    handler.SetExpression("AMOUNT * -0.500");
    EXPECT_EQ(handler.MaxLength, 12);
    EXPECT_EQ(handler.MaxDecimals, 3);

    handler.SetExpression(".T. .AND. (DTOS(BORN) = '1999')");
    EXPECT_EQ(handler.OperandCount, 4); // .T., DTOS, BORN, '1999'
    EXPECT_EQ(handler.MaxLength, 8);

    handler.SetExpression("12345678901");
    EXPECT_EQ(handler.MaxLength, 11);
}

TEST(ExprParser, FieldListAndSourceIds) {
    TestLink link;
    link.City->Id = 17;
    TtvExpHandler handler(&link, false, "STR(QTY,5)+NAME+IIF(ACTIVE, CITY, NAME)");
    EXPECT_EQ(handler.Root->FieldList(16), "QTY;NAME;ACTIVE;NAME;");
    EXPECT_EQ(handler.Root->FieldList(17), "CITY;");
    EXPECT_EQ(handler.Root->FieldList(3), "");
    EXPECT_EQ(handler.Root->SourceId(), -1);
    TtvExpHandler field(&link, false, "CITY");
    EXPECT_EQ(field.Root->SourceId(), 17);
    EXPECT_EQ(field.Root->Length, 15);
}

TEST(ExprParser, HandlerLifecycle) {
    TestLink link;
    TtvExpHandler handler(&link, false, "");
    EXPECT_EQ(handler.Root, nullptr);
    EXPECT_EQ(handler.ResultType, rtNone);
    TtvExpBuffer buffer;
    EXPECT_EQ(handler.Evaluate(buffer), nullptr);
    EXPECT_EQ(handler.ResultType, rtNone);
    TtvVariant variant;
    EXPECT_EQ(handler.EvaluateVariant(variant), nullptr);

    handler.SetExpression("QTY + 1");
    ASSERT_EQ(handler.Evaluate(buffer), &buffer);
    EXPECT_EQ(handler.ResultType, rtNumber);
    EXPECT_EQ(buffer.AsNumber(), 43);

    // A failed compile leaves no tree and reset counters.
    EXPECT_THROW(handler.SetExpression("QTY + (1"), ETarnisExpression);
    EXPECT_EQ(handler.Root, nullptr);
    EXPECT_EQ(handler.OperandCount, 0);
    EXPECT_EQ(handler.ResultType, rtNone);
    EXPECT_EQ(handler.Evaluate(buffer), nullptr);

    // Blanks or skipped characters only: no tree, no error.
    handler.SetExpression("   ");
    EXPECT_EQ(handler.Root, nullptr);
    handler.SetExpression("$");
    EXPECT_EQ(handler.Root, nullptr);
}

TEST(ExprParser, WildcardCharactersOfTheHandler) {
    TtvExpHandler plain(nullptr, false, "");
    EXPECT_EQ(plain.AnyChars, '*');
    EXPECT_EQ(plain.OneChar, '?');
    EXPECT_TRUE(plain.Wildcards);
    EXPECT_FALSE(plain.CaseInsensitive);
    TtvExpHandler sql(nullptr, true, "'SMITH' = 'SMI%'");
    EXPECT_EQ(sql.AnyChars, '%');
    EXPECT_EQ(sql.OneChar, '_');
    TtvExpBuffer buffer;
    sql.Evaluate(buffer);
    EXPECT_TRUE(buffer.AsLogical());
    sql.SetExpression("'SMITH' = 'SMI*'");
    sql.Evaluate(buffer);
    EXPECT_FALSE(buffer.AsLogical());
}

TEST(ExprParser, OperatorsCopyTheHandlerFlagsWhenCreated) {
    TtvExpHandler handler(nullptr, false, "'abc' = 'ABC'");
    handler.CaseInsensitive = true;
    TtvExpBuffer buffer;
    handler.Evaluate(buffer);
    EXPECT_FALSE(buffer.AsLogical()); // compiled before the flag was set
    handler.SetExpression("'abc' = 'ABC'");
    handler.Evaluate(buffer);
    EXPECT_TRUE(buffer.AsLogical());
}

} // namespace
} // namespace tarnis::test
