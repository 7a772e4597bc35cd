// Expressions compiled through a table's link: field variables, table functions,
// application functions, and the index keys the fixtures' other program stored.
#include "engine/table/TtvDBFExpUserLink.h"

#include "engine/base/tv6_eror.h"
#include "engine/table/TVO_dBaseFld.h"
#include "engine/table/table_create.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>

namespace tarnis {
namespace {

class LinkTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::unique_ptr<TVO_dBaseFld> table;
    TtvExpBuffer value;

    void SetUp() override {
        CreateTableFile(dir.File("T.DBF"), 0x83,
                        {{"NAME", 'C', 8},
                         {"AMOUNT", 'N', 8, 2},
                         {"BORN", 'D', 8},
                         {"OK", 'L', 1},
                         {"NOTES", 'M', 10}});
        table = std::make_unique<TVO_dBaseFld>(dir.File("T.DBF"), true, false);
        for (const char* name : {"ANNA", "BERT"}) {
            table->BlankRecord();
            table->PutTextN(1, name);
            table->PutNumberN(2, 12.5);
            table->PutTextN(3, "19991231");
            table->PutLogicalN(4, true);
            table->AppendRecord();
        }
    }

    uint8_t Eval(const char* text) {
        TtvExpHandler handler(table->Link.get(), false, text);
        EXPECT_NE(handler.Evaluate(value), nullptr) << text;
        return handler.ResultType;
    }
};

TEST_F(LinkTest, FieldVariablesDeliverTheirTypes) {
    table->GoToRecord(2);
    EXPECT_EQ(Eval("NAME"), rtText);
    EXPECT_EQ(value.AsText(), "BERT    "); // full width, blanks included
    EXPECT_EQ(Eval("amount"), rtNumber);
    EXPECT_EQ(value.AsNumber(), 12.5);
    EXPECT_EQ(value.NumberWidth(), 8);
    EXPECT_EQ(Eval("BORN"), rtDate);
    EXPECT_EQ(value.AsNumber(), 2451544);
    EXPECT_EQ(Eval("OK"), rtLogical);
    EXPECT_TRUE(value.AsLogical());
    EXPECT_EQ(Eval("NOTES"), rtOther); // a memo is not text
    EXPECT_EQ(Eval("DTOS(BORN)+NAME"), rtText);
    EXPECT_EQ(value.AsText(), "19991231BERT    ");
    EXPECT_EQ(Eval("STR(AMOUNT,8,2)"), rtText);
    EXPECT_EQ(value.AsText(), "   12.50");
}

TEST_F(LinkTest, TableFunctions) {
    table = std::make_unique<TVO_dBaseFld>(dir.File("T.DBF"), true, false);
    EXPECT_EQ(Eval("RECNO()"), rtNumber);
    EXPECT_EQ(value.AsNumber(), 0); // before any record was read
    table->GoToRecord(2);
    Eval("RECNO()");
    EXPECT_EQ(value.AsNumber(), 2);
    EXPECT_EQ(value.NumberWidth(), 7);
    Eval("DELETED()");
    EXPECT_FALSE(value.AsLogical());
    table->DeleteRecord();
    Eval("DELETED()");
    EXPECT_TRUE(value.AsLogical());
    Eval("EOF()");
    EXPECT_FALSE(value.AsLogical());
    table->GoToRecord(MoveNext);
    Eval("EOF()");
    EXPECT_TRUE(value.AsLogical());
    EXPECT_EQ(Eval("TYPE('born')"), rtText);
    EXPECT_EQ(value.AsText(), "D");
    // The built-in LEN, found before the table's, measures the text.
    EXPECT_EQ(Eval("LEN(\"NAME\")"), rtNumber);
    EXPECT_EQ(value.AsNumber(), 4);
    Eval("LEN(NAME)");
    EXPECT_EQ(value.AsNumber(), 8);
    TtvExpHandler unknown(table->Link.get(), false, "TYPE('NOPE')");
    try {
        unknown.Evaluate(value);
        ADD_FAILURE();
    } catch (const ETarnisError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "dBase field name is invalid - " + table->FileName + "->NOPE");
    }
}

// A table whose application knows one function, TWICE(x).
class AppTable : public TVO_dBaseFld {
public:
    using TVO_dBaseFld::TVO_dBaseFld;
    int Finds = 0;
    int32_t ExternalFunction(std::string_view Who, std::string_view Name, uint8_t* Buffer,
                             char& Typ, bool&) override {
        if (Name != "TWICE" && Name != "twice") return -1;
        if (Who == "FIND") {
            ++Finds;
            return 0;
        }
        TtvExpFunction* node = nullptr;
        std::memcpy(&node, Buffer, sizeof node);
        TtvExpBuffer argument;
        uint8_t type = 0;
        const double twice = 2 * node->GetArgument(0, argument, rtNumber, type).AsNumber();
        std::memcpy(Buffer, &twice, 8);
        Typ = 'N';
        return 0;
    }
};

TEST_F(LinkTest, ApplicationFunctionsAreFoundOnceAndCalled) {
    table.reset();
    AppTable app(dir.File("T.DBF"), false, false);
    app.GoToRecord(1);
    TtvExpHandler first(app.Link.get(), false, "twice(AMOUNT)");
    ASSERT_NE(first.Evaluate(value), nullptr);
    EXPECT_EQ(value.AsNumber(), 25);
    TtvExpHandler second(app.Link.get(), false, "TWICE(3)+1");
    second.Evaluate(value);
    EXPECT_EQ(value.AsNumber(), 7);
    EXPECT_EQ(app.Finds, 1); // the second compilation finds the registered name
    try {
        TtvExpHandler missing(app.Link.get(), false, "THRICE(3)");
        ADD_FAILURE();
    } catch (const ETarnisExpression& e) {
        EXPECT_STREQ(e.what(), "There is no function for THRICE");
    }
}

// ---- the keys the fixtures' tags hold ----

std::string Unescape(std::string_view quoted) {
    std::string bytes;
    for (size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] == '\\' && i + 3 < quoted.size() + 1 && quoted[i + 1] == 'x') {
            bytes +=
                static_cast<char>(std::stoi(std::string(quoted.substr(i + 2, 2)), nullptr, 16));
            i += 3;
        } else {
            bytes += quoted[i];
        }
    }
    return bytes;
}

struct WalkLine {
    int32_t RecNo;
    std::string Key; // the quoted part, unescaped
};

std::vector<WalkLine> Walk(const std::string& file) {
    std::ifstream in(file);
    std::vector<WalkLine> lines;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t open = line.find('"');
        lines.push_back({std::stoi(line), Unescape(std::string_view(line).substr(
                                              open + 1, line.size() - open - 2))});
    }
    return lines;
}

struct KeyCase {
    const char* Tag;
    const char* Expression;
    bool AsciiOnly; // the other program's UPPER changes only a-z
};

class FixtureKeys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(FixtureKeys, EvaluateToTheStoredKeys) {
    for (const char* folder : {"cdx-fpt/test_cdx.dbf", "ntx-dbt/test_ntx.dbf"}) {
        SCOPED_TRACE(folder);
        TVO_dBaseFld table(test::DataFile(folder), false, true);
        const std::string path = test::DataFile(folder);
        const auto walk =
            Walk(path.substr(0, path.rfind('/')) + "/expected-walk-" + GetParam().Tag + ".txt");
        ASSERT_GT(walk.size(), 200u);
        TtvExpHandler key(table.Link.get(), false, GetParam().Expression);
        TtvExpBuffer value;
        int compared = 0;
        for (const auto& line : walk) {
            if (GetParam().AsciiOnly &&
                std::any_of(line.Key.begin(), line.Key.end(), [](char c) { return c & 0x80; }))
                continue;
            table.GoToRecord(line.RecNo);
            key.Evaluate(value);
            EXPECT_EQ(std::string(value.AsText()), line.Key) << "record " << line.RecNo;
            ++compared;
        }
        EXPECT_GT(compared, 90);
    }
}

INSTANTIATE_TEST_SUITE_P(Tags, FixtureKeys,
                         ::testing::Values(KeyCase{"NAME", "NAME", false},
                                           KeyCase{"UNAME", "UPPER(NAME)", true},
                                           KeyCase{"CITYACT", "CITY+DTOS(BORN)", false},
                                           KeyCase{"QTYDESC", "STR(QTY,5)+NAME", false}),
                         [](const auto& info) { return std::string(info.param.Tag); });

TEST(FixtureKeys, ForConditionSelectsTheIndexedRecords) {
    TVO_dBaseFld table(test::DataFile("cdx-fpt/test_cdx.dbf"), false, true);
    std::set<int32_t> indexed;
    for (const auto& line : Walk(test::DataFile("cdx-fpt/expected-walk-CITYACT.txt")))
        indexed.insert(line.RecNo);
    TtvExpHandler condition(table.Link.get(), false, "ACTIVE");
    TtvExpBuffer value;
    std::set<int32_t> passing;
    for (table.GoToRecord(MoveTop); !table.AtEof; table.GoToRecord(MoveNext))
        if (condition.Evaluate(value) && value.AsLogical()) passing.insert(table.RecNo);
    EXPECT_EQ(passing, indexed);
    EXPECT_EQ(indexed.size(), 210u);
}

TEST(FixtureKeys, NumberAndDateKeys) {
    TVO_dBaseFld table(test::DataFile("cdx-fpt/test_cdx.dbf"), false, true);
    TtvExpHandler amount(table.Link.get(), false, "AMOUNT");
    TtvExpHandler born(table.Link.get(), false, "DTOS(BORN)");
    TtvExpBuffer value;
    for (const auto& line : Walk(test::DataFile("cdx-fpt/expected-walk-AMOUNT.txt"))) {
        table.GoToRecord(line.RecNo);
        amount.Evaluate(value);
        EXPECT_EQ(value.AsNumber(), std::stod(line.Key)) << line.RecNo;
    }
    for (const auto& line : Walk(test::DataFile("cdx-fpt/expected-walk-BORN.txt"))) {
        table.GoToRecord(line.RecNo);
        born.Evaluate(value);
        EXPECT_EQ(std::string(value.AsText()), line.Key) << line.RecNo;
    }
}

} // namespace
} // namespace tarnis
