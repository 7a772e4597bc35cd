// Hostile input: broken brackets and literals, over-long and deeply nested texts,
// every byte value, and a stream of generated expressions. Each one compiles and
// evaluates, or fails with an ETarnisExpression: never another exception, a crash
// or a runaway.
#include "expr_test_link.h"

#include "engine/expr/tv6_sql.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tarnis::test {
namespace {

// Compiles and evaluates Text (plainly and as a typed value); true when that
// worked, false after an ETarnisExpression. Anything else fails the test.
bool Survives(const std::string& Text, TtvExpUserLink* Link) {
    try {
        TtvExpHandler handler(Link, false, Text);
        TtvExpBuffer buffer;
        handler.Evaluate(buffer);
        TtvVariant variant;
        handler.EvaluateVariant(variant);
        (void)handler.ExpressionText();
        return true;
    } catch (const ETarnisExpression& error) {
        EXPECT_STRNE(error.what(), "") << Text;
        return false;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "unexpected exception for [" << Text << "]: " << error.what();
        return false;
    }
}

TEST(ExprRobustness, UnbalancedBrackets) {
    TestLink link;
    for (const char* text :
         {"(", "((", "(()", "((1)", "UPPER(", "UPPER('a'", "UPPER((NAME)", "IIF(.T., (1, 2)",
          "LEFT(NAME, 2", "(1)(", "UPPER('(')+(", "(1+2))+(3"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ErrorOf(text, &link), "Missing closing parentheses");
    }
    // Closing brackets without a group are ignored.
    EXPECT_EQ(Evaluate(")))1").Number(), 1);
    EXPECT_EQ(Evaluate("(1)) + 2").Number(), 3);
}

TEST(ExprRobustness, UnterminatedLiterals) {
    EXPECT_EQ(Evaluate("'abc").Text(), "abc");
    EXPECT_EQ(Evaluate("\"abc").Text(), "abc");
    EXPECT_EQ(Evaluate("[abc").Text(), "abc");
    EXPECT_EQ(Evaluate("'").Text(), "");
    EXPECT_EQ(Evaluate("{25/12/1999").Number(), 2451538);
    EXPECT_EQ(ErrorOf("'a' + 'b"), "");
    EXPECT_EQ(ErrorOf("UPPER('abc)"), "Missing closing parentheses");
    EXPECT_EQ(ErrorOf("{12"), "'12' is not a valid date");
}

TEST(ExprRobustness, LengthLimit) {
    const std::string longest = "'" + std::string(509, 'x') + "'";
    ASSERT_EQ(longest.size(), 511u);
    EXPECT_EQ(Evaluate(longest).Text(), std::string(509, 'x'));
    EXPECT_EQ(ErrorOf(longest + " "), "Expression is longer than 511 characters");
    EXPECT_EQ(ErrorOf(std::string(100000, '(')), "Expression is longer than 511 characters");
    EXPECT_EQ(ErrorOf(std::string(1 << 20, '1')), "Expression is longer than 511 characters");
}

TEST(ExprRobustness, NestingLimit) {
    const auto nested = [](int depth, const std::string& open, const std::string& inner) {
        std::string text;
        for (int i = 0; i < depth; ++i)
            text += open;
        text += inner;
        text += std::string(static_cast<size_t>(depth), ')');
        return text;
    };
    EXPECT_EQ(Evaluate(nested(64, "(", "7")).Number(), 7);
    EXPECT_EQ(ErrorOf(nested(65, "(", "7")), "Expression is nested too deeply");
    EXPECT_EQ(ErrorOf(nested(250, "(", "7")), "Expression is nested too deeply");
    EXPECT_EQ(Evaluate(nested(64, "TRIM(", "'a '")).Text(), "a");
    EXPECT_EQ(ErrorOf(nested(65, "TRIM(", "'a '")), "Expression is nested too deeply");
    EXPECT_EQ(ErrorOf(nested(40, "IIF(.T.,(", "1") + std::string(40, ')')),
              "Expression is nested too deeply");
    // Long operator chains are not nesting: 255 additions build a deep tree.
    std::string chain = "1";
    for (int i = 0; i < 255; ++i)
        chain += "+1";
    ASSERT_LE(chain.size(), 511u);
    EXPECT_EQ(Evaluate(chain).Number(), 256);
}

TEST(ExprRobustness, TextResultLimit) {
    EXPECT_EQ(ErrorOf("SPACE(65535) + 'x'"), "Text result longer than 65535 characters");
    EXPECT_EQ(ErrorOf("SPACE(65535) - 'x'"), "Text result longer than 65535 characters");
    EXPECT_EQ(Evaluate("SPACE(65534) + 'x'").Text().size(), 65535u);
}

TEST(ExprRobustness, ZeroByte) {
    EXPECT_EQ(ErrorOf(std::string("1\0+2", 4)), "Expression contains a zero byte");
    EXPECT_EQ(ErrorOf(std::string("'a\0b'", 5)), "Expression contains a zero byte");
}

TEST(ExprRobustness, EveryByteAloneAndInsideLiterals) {
    TestLink link;
    for (int b = 0; b < 256; ++b) {
        const std::string c(1, static_cast<char>(b));
        SCOPED_TRACE(b);
        for (const std::string& text :
             {c, c + c, "'" + c + "'", "\"" + c + "\"", "[" + c + "]", "{" + c + "}",
              "UPPER('" + c + "')", "NAME" + c + "CITY", "QTY" + c + "2", "(" + c + ")",
              "LEFT(" + c + ", 1)", c + "(1)", "'x" + c + "y' = 'x*'", ".T. " + c + " .F."}) {
            Survives(text, &link);
            Survives(text, nullptr);
        }
        if (b == 0) continue;
        // Inside a literal every byte but its own delimiter stays as written.
        const char* delimiters[] = {"'", "\"", "[]"};
        for (const char* delimiter : delimiters) {
            const char open = delimiter[0];
            const char close = delimiter[1] != 0 ? delimiter[1] : delimiter[0];
            if (static_cast<char>(b) == close) continue;
            const TEvaluated value = Evaluate(std::string(1, open) + "ab" + c + "cd" + close);
            EXPECT_EQ(value.Type, rtText);
            EXPECT_EQ(value.Text(), "ab" + c + "cd");
        }
    }
}

// A small generator with a fixed seed, so every run checks the same texts.
class TPieces {
public:
    explicit TPieces(uint32_t Seed) : State(Seed) {}

    std::string Next() {
        static const char* const pieces[] = {
            "(",
            ")",
            ",",
            "'",
            "\"",
            "[",
            "]",
            "{",
            "}",
            "+",
            "-",
            "*",
            "/",
            "^",
            "**",
            "=",
            "==",
            "#",
            "<>",
            "!=",
            "<",
            ">",
            "<=",
            ">=",
            "!",
            ".AND.",
            ".OR.",
            ".NOT.",
            ".T.",
            ".F.",
            " ",
            "  ",
            "NAME",
            "CITY",
            "QTY",
            "AMOUNT",
            "BORN",
            "ACTIVE",
            "NOTES",
            "T",
            "NAME->CITY",
            "0",
            "1",
            "-1",
            "2.5",
            "1E300",
            "99999",
            "65535",
            "'abc'",
            "'  '",
            "''",
            "'*'",
            "{25/12/1999}",
            "{}",
            "$",
            "UPPER(",
            "LOWER(",
            "STR(",
            "STRZERO(",
            "SUBSTR(",
            "LEFT(",
            "RIGHT(",
            "IIF(",
            "SPACE(",
            "PADC(",
            "PADL(",
            "PADR(",
            "AT(",
            "ATC(",
            "DESCEND(",
            "DTOS(",
            "DTOC(",
            "DOW(",
            "EMPTY(",
            "CHR(",
            "ASC(",
            "LEN(",
            "VAL(",
            "INT(",
            "CEILING(",
            "FLOOR(",
            "SOUNDEX(",
            "ALLTRIM(",
            "LTRIM(",
            "TRIM(",
            "RTRIM(",
            "DATE()",
            "TWICE(",
            "COUNTER()",
            "SILENT()",
            "FOO(",
            "->",
            ".",
            "EQ",
            "LIKE",
        };
        State = State * 1664525u + 1013904223u;
        return pieces[(State >> 8) % (sizeof pieces / sizeof pieces[0])];
    }

    uint32_t Below(uint32_t n) {
        State = State * 1664525u + 1013904223u;
        return (State >> 8) % n;
    }

private:
    uint32_t State;
};

TEST(ExprRobustness, GeneratedExpressions) {
    TestLink link;
    TPieces pieces(20240601);
    int compiled = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        const uint32_t count = 1 + pieces.Below(24);
        for (uint32_t k = 0; k < count; ++k)
            text += pieces.Next();
        if (Survives(text, &link)) ++compiled;
    }
    // The generator must reach the evaluator, not only the error paths.
    EXPECT_GT(compiled, 500);
}

} // namespace
} // namespace tarnis::test
