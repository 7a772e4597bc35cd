// Field access on the current record image: lookup by name, the field layout, raw
// characters, numbers, dates, logicals, display and entry text, blank records,
// deletion marks, the binary fields of Visual FoxPro tables and memo fields.
#include "engine/table/TVO_dBaseFld.h"

#include "engine/base/tv6_eror.h"
#include "engine/table/table_create.h"
#include "platform/format_settings.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace tarnis {
namespace {

using namespace std::string_literals;

// ---------------------------------------------------------------------------
// helpers
// ---------------------------------------------------------------------------

struct TReport {
    int32_t Code;
    int32_t SubCode;
    std::string Info;
    bool operator==(const TReport&) const = default;
};
[[maybe_unused]] std::ostream& operator<<(std::ostream& out, const TReport& r) {
    return out << r.Code << "/" << r.SubCode << " \"" << r.Info << "\"";
}

// The reports of the running test; the handler returns, so the failing operation
// goes on to give its neutral result.
std::vector<TReport> Reports;

void RecordReport(int32_t Code, int32_t SubCode, std::string_view Info) {
    Reports.push_back({Code, SubCode, std::string(Info)});
}

std::string Le32(int32_t v) {
    std::string bytes(4, '\0');
    std::memcpy(bytes.data(), &v, 4);
    return bytes;
}
std::string Le64(int64_t v) {
    std::string bytes(8, '\0');
    std::memcpy(bytes.data(), &v, 8);
    return bytes;
}
std::string DoubleBytes(double v) {
    std::string bytes(8, '\0');
    std::memcpy(bytes.data(), &v, 8);
    return bytes;
}

constexpr double MsPerDay = 86400000.0;
constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

// Puts the locale settings back as the test found them.
class FormatSettingsGuard {
public:
    ~FormatSettingsGuard() { FormatSettings = saved_; }

private:
    TFormatSettings saved_ = FormatSettings;
};

// A table that logs its Notify events.
class TNotifyLog : public TVO_dBaseFld {
public:
    using TVO_dBaseFld::TVO_dBaseFld;
    std::vector<std::pair<int32_t, int32_t>> Events;
    bool Notify(int32_t Event, int32_t Value) override {
        Events.emplace_back(Event, Value);
        return TVO_dBaseFld::Notify(Event, Value);
    }
};

class FieldTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::unique_ptr<TVO_dBaseFld> table;

    void SetUp() override {
        Reports.clear();
        EngineErrorProc = RecordReport;
    }
    void TearDown() override {
        table.reset();
        EngineErrorProc = DefaultEngineError;
    }

    template <typename Table = TVO_dBaseFld>
    Table& Open(uint8_t version, const std::vector<TFieldSpec>& fields,
                const std::string& name = "T.DBF") {
        table.reset();
        CreateTableFile(dir.File(name), version, fields);
        auto opened = std::make_unique<Table>(dir.File(name), true, false);
        Table& result = *opened;
        table = std::move(opened);
        return result;
    }
    void Reopen() {
        const std::string name = table->FileName;
        table.reset();
        table = std::make_unique<TVO_dBaseFld>(name, true, false);
    }

    std::string Image() const {
        return {reinterpret_cast<const char*>(table->CurrentRecord),
                static_cast<size_t>(table->RecordLength)};
    }
    void Fill(char c) {
        std::memset(table->CurrentRecord, c, static_cast<size_t>(table->RecordLength));
    }
    // The field's bytes in the record image, zero bytes included.
    std::string Stored(int32_t no) const {
        return {reinterpret_cast<const char*>(table->CurrentRecord + table->FieldOffset(no)),
                static_cast<size_t>(table->FieldLength(no))};
    }
    void Store(int32_t no, const std::string& bytes) {
        ASSERT_EQ(bytes.size(), static_cast<size_t>(table->FieldLength(no)));
        std::memcpy(table->CurrentRecord + table->FieldOffset(no), bytes.data(), bytes.size());
    }
    std::string FileBytes() const { return test::ReadFileBytes(table->FileName); }

    // The message the default handler throws for what `action` reports.
    std::string Message(const std::function<void()>& action) {
        EngineErrorProc = DefaultEngineError;
        std::string message = "no error";
        try {
            action();
        } catch (const ETarnisError& e) {
            message = e.what();
        }
        EngineErrorProc = RecordReport;
        return message;
    }
};

// ---------------------------------------------------------------------------
// lookup and layout
// ---------------------------------------------------------------------------

TEST_F(FieldTest, LookupIgnoresLetterCaseAndTrailingBlanksOnly) {
    TVO_dBaseFld& t =
        Open(0x03, {{"NAME", 'C', 5}, {"QTY", 'N', 6, 2}, {"BORN", 'D', 8}, {"\xC9T\xC9", 'L', 1}});
    const struct {
        const char* Name;
        int32_t No;
    } cases[] = {
        {"NAME", 1}, {"name", 1},  {"Qty   ", 2}, {"bOrN", 3}, {"\xE9t\xE9", 4}, {" NAME", 0},
        {"NAM", 0},  {"NAMES", 0}, {"NAME\t", 0}, {"", 0},     {"   ", 0},       {"NOPE ", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Reports.clear();
        EXPECT_EQ(t.FieldNumber(c.Name), c.No);
        EXPECT_TRUE(Reports.empty()) << "FieldNumber never reports";

        const uint8_t* found = t.FindField(c.Name);
        if (c.No == 0) {
            EXPECT_EQ(found, nullptr);
            EXPECT_EQ(Reports, (std::vector<TReport>{{1003, 1298, t.FileName + "->" + c.Name}}));
        } else {
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(t.CurrentField, found);
            EXPECT_EQ(found[26] | (found[27] << 8), c.No);
            EXPECT_TRUE(Reports.empty());
        }
    }
    ASSERT_FALSE(t.FileName.empty());
    EXPECT_EQ(t.FileName.front(), '/') << "the report names the full file name";
    EXPECT_EQ(Message([&] { t.FindField("nope "); }),
              "dBase field name is invalid - " + t.FileName + "->nope ");
}

TEST_F(FieldTest, TypedLookupAcceptsTheRelatedTypes) {
    TVO_dBaseFld& t = Open(0xF5, {{"FC", 'C', 5},
                                  {"FN", 'N', 5},
                                  {"FF", 'F', 8, 2},
                                  {"FD", 'D', 8},
                                  {"FL", 'L', 1},
                                  {"FM", 'M', 10},
                                  {"FG", 'G', 10},
                                  {"FB", 'B', 10},
                                  {"FI", 'I', 4}});
    const struct {
        char Asked;
        const char* Accepted; // field types taken for that request
    } rules[] = {{'D', "D"}, {'L', "L"}, {'N', "NBFGIM"}, {'G', "GBM"}, {'C', "C"}};
    for (const auto& rule : rules) {
        for (int32_t no = 1; no <= t.FieldCount; ++no) {
            const char type = t.FieldType(no);
            const std::string asGiven = "f" + std::string(1, static_cast<char>(type | 0x20));
            SCOPED_TRACE(std::string(1, rule.Asked) + " asked of " + asGiven);
            Reports.clear();
            const uint8_t* found = t.TypedField(asGiven, rule.Asked);
            if (std::string_view(rule.Accepted).find(type) != std::string_view::npos) {
                EXPECT_EQ(found, t.Descriptors.get() + (no - 1) * 32);
                EXPECT_TRUE(Reports.empty());
            } else {
                EXPECT_EQ(found, nullptr);
                EXPECT_EQ(Reports, (std::vector<TReport>{{1004, 1299, asGiven}}));
            }
        }
    }
    EXPECT_EQ(Message([&] { t.GetDate("fc "); }), "dBase field is of incorrect type - fc ");
}

TEST_F(FieldTest, ByNameOperationsGiveNeutralResultsWhenTheLookupFails) {
    TVO_dBaseFld& t =
        Open(0x03, {{"NAME", 'C', 5}, {"QTY", 'N', 5}, {"BORN", 'D', 8}, {"OK", 'L', 1}});
    t.BlankRecord();
    const std::string before = Image();
    const std::string unknown = t.FileName + "->NOPE";
    const struct {
        const char* What;
        std::function<bool()> Neutral;
        TReport Expected;
    } cases[] = {
        {"GetDate unknown", [&] { return t.GetDate("NOPE") == -1; }, {1003, 1298, unknown}},
        {"GetDate of C", [&] { return t.GetDate("NAME") == -1; }, {1004, 1299, "NAME"}},
        {"PutDate of N", [&] { return !t.PutDate("QTY", 2451545); }, {1004, 1299, "QTY"}},
        {"GetLogical of D", [&] { return !t.GetLogical("BORN"); }, {1004, 1299, "BORN"}},
        {"PutLogical of C", [&] { return !t.PutLogical("name", true); }, {1004, 1299, "name"}},
        {"GetNumber of D", [&] { return t.GetNumber("BORN") == 0.0; }, {1004, 1299, "BORN"}},
        {"PutNumber of L", [&] { return !t.PutNumber("OK", 1); }, {1004, 1299, "OK"}},
        {"PutNumber unknown", [&] { return !t.PutNumber("NOPE", 1); }, {1003, 1298, unknown}},
        {"GetRaw unknown", [&] { return t.GetRaw("NOPE").empty(); }, {1003, 1298, unknown}},
        {"PutRaw unknown", [&] { return !t.PutRaw("NOPE", "x"); }, {1003, 1298, unknown}},
        {"GetText unknown", [&] { return t.GetText("NOPE").empty(); }, {1003, 1298, unknown}},
        {"PutText unknown", [&] { return !t.PutText("NOPE", "x"); }, {1003, 1298, unknown}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        Reports.clear();
        EXPECT_TRUE(c.Neutral());
        EXPECT_EQ(Reports, std::vector<TReport>{c.Expected});
        EXPECT_EQ(Image(), before);
    }
    // The untyped ones take any field.
    EXPECT_TRUE(t.PutRaw("born", "20000101"));
    EXPECT_EQ(t.GetText("qty"), "0");
    EXPECT_TRUE(t.PutText("ok ", "y"));
    EXPECT_EQ(t.GetRaw("OK"), "T");
}

TEST_F(FieldTest, NumbersOutsideTheFieldsGiveNeutralResultsWithoutReport) {
    TVO_dBaseFld& t = Open(0x83, {{"NAME", 'C', 5}, {"NOTES", 'M', 10}});
    Fill('#');
    const std::string before = Image();
    for (const int32_t no : {0, -1, 3, 1000}) {
        SCOPED_TRACE(no);
        int32_t length = 4;
        uint8_t buffer[4] = {};
        EXPECT_EQ(t.FieldName(no), "");
        EXPECT_EQ(t.FieldType(no), 0);
        EXPECT_EQ(t.FieldLength(no), 0);
        EXPECT_EQ(t.FieldDecimals(no), 0);
        EXPECT_EQ(t.FieldOffset(no), 0);
        EXPECT_EQ(t.GetRawN(no), "");
        EXPECT_FALSE(t.PutRawN(no, "x"));
        EXPECT_EQ(t.GetNumberN(no), 0.0);
        EXPECT_FALSE(t.PutNumberN(no, 1));
        EXPECT_EQ(t.GetDateN(no), 0);
        EXPECT_FALSE(t.PutDateN(no, 2451545));
        EXPECT_FALSE(t.GetLogicalN(no));
        EXPECT_FALSE(t.PutLogicalN(no, true));
        EXPECT_EQ(t.GetTextN(no), "");
        EXPECT_FALSE(t.PutTextN(no, "x"));
        EXPECT_EQ(t.MemoOf(no), nullptr);
        EXPECT_EQ(t.MemoLengthN(no), 0);
        EXPECT_FALSE(t.ReadMemoN(no, buffer, length));
        EXPECT_EQ(t.WriteMemoN(no, buffer, length), 0);
    }
    EXPECT_TRUE(Reports.empty());
    EXPECT_EQ(Image(), before);
}

TEST_F(FieldTest, LongCharacterFieldTakesItsHighLengthByte) {
    TVO_dBaseFld& t = Open(0x03, {{"A", 'C', 2}, {"LONG", 'C', 300}, {"B", 'N', 4, 1}});
    const std::string file = FileBytes();
    EXPECT_EQ(static_cast<uint8_t>(file[64 + 16]), 44);
    EXPECT_EQ(static_cast<uint8_t>(file[64 + 17]), 1);
    EXPECT_EQ(static_cast<uint8_t>(file[96 + 17]), 1); // B's decimal count, not a length

    const struct {
        int32_t Length, Offset, Decimals;
    } layout[] = {{2, 1, 0}, {300, 3, 0}, {4, 303, 1}};
    ASSERT_EQ(t.FieldCount, 3);
    EXPECT_EQ(t.RecordLength, 307);
    for (int32_t no = 1; no <= 3; ++no) {
        SCOPED_TRACE(no);
        const auto& l = layout[no - 1];
        EXPECT_EQ(t.FieldLength(no), l.Length);
        EXPECT_EQ(t.FieldOffset(no), l.Offset);
        EXPECT_EQ(t.FieldDecimals(no), l.Decimals);
        // The layout in the in-memory descriptors.
        const uint8_t* d = t.Descriptors.get() + (no - 1) * 32;
        EXPECT_EQ(d[12] | (d[13] << 8) | (d[14] << 16) | (d[15] << 24), l.Offset);
        EXPECT_EQ(d[26] | (d[27] << 8), no);
    }

    const std::string text = std::string(299, 'x') + "yz";
    EXPECT_TRUE(t.PutRawN(1, "ab"));
    EXPECT_TRUE(t.PutRawN(2, text));
    EXPECT_TRUE(t.PutNumberN(3, 7.25));
    EXPECT_EQ(Image(), " ab" + text.substr(0, 300) + " 7.3");
    EXPECT_EQ(t.GetRawN(2), text.substr(0, 300));
    EXPECT_DOUBLE_EQ(t.GetNumberN(3), 7.3);
    t.AppendRecord();
    EXPECT_EQ(FileBytes().substr(static_cast<size_t>(t.HeaderLength), 308),
              " ab" + text.substr(0, 300) + " 7.3\x1A");
}

TEST_F(FieldTest, DescriptorAccessorsReadNameTypeAndDecimals) {
    TVO_dBaseFld& t = Open(0x03, {{"ABCDEFGHIJ", 'N', 12, 4}, {"C", 'C', 600}, {"X", 'X', 3}});
    EXPECT_EQ(t.FieldName(1), "ABCDEFGHIJ");
    EXPECT_EQ(t.FieldName(2), "C");
    EXPECT_EQ(t.FieldType(3), 'X');
    EXPECT_EQ(t.FieldDecimals(1), 4);
    EXPECT_EQ(t.FieldDecimals(2), 0); // byte 17 is 2 here, the high length byte
    EXPECT_EQ(t.FieldLength(2), 600);
    EXPECT_EQ(t.FieldOffset(3), 613);
    EXPECT_EQ(t.FieldNumber("abcdefghij"), 1);
}

// ---------------------------------------------------------------------------
// raw characters
// ---------------------------------------------------------------------------

TEST_F(FieldTest, PutRawAlignsByTypeAndKeepsTheFirstCharacters) {
    TVO_dBaseFld& t = Open(0x83, {{"C", 'C', 5},
                                  {"N", 'N', 5},
                                  {"D", 'D', 8},
                                  {"L", 'L', 1},
                                  {"F", 'F', 6, 2},
                                  {"M", 'M', 10},
                                  {"X", 'X', 5}});
    const struct {
        int32_t No;
        const char* Text;
        const char* Stored;
    } cases[] = {
        {1, "abc", "abc  "},     {2, "abc", "  abc"},     {1, "abcdefg", "abcde"},
        {2, "1234567", "12345"}, {3, "1999", "1999    "}, {4, "TF", "T"},
        {5, "1.5", "   1.5"},    {6, "12", "        12"}, {7, "ab", "   ab"},
        {1, "", "     "},        {2, "", "     "},        {1, " a ", " a   "},
        {2, " a ", "   a "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.No) + " <- \"" + c.Text + "\"");
        Fill('#');
        std::string expected = Image();
        expected.replace(static_cast<size_t>(t.FieldOffset(c.No)), std::strlen(c.Stored), c.Stored);
        EXPECT_TRUE(t.PutRawN(c.No, c.Text));
        EXPECT_EQ(Image(), expected);
    }
    EXPECT_TRUE(Reports.empty());
}

TEST_F(FieldTest, RawTextEndsAtTheFirstZeroByte) {
    TVO_dBaseFld& t = Open(0x03, {{"NAME", 'C', 5}, {"QTY", 'N', 6}, {"OK", 'L', 1}});
    const struct {
        int32_t No;
        std::string Stored;
        const char* Raw;
    } cases[] = {
        {1, "ab\0de"s, "ab"},
        {1, "\0bcde"s, ""},
        {2, "  12\0x"s, "  12"},
        {3, "\0"s, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Raw);
        Store(c.No, c.Stored);
        EXPECT_EQ(t.GetRawN(c.No), c.Raw);
    }
    EXPECT_DOUBLE_EQ(t.GetNumberN(2), 12.0);
    EXPECT_FALSE(t.GetLogicalN(3));
    EXPECT_EQ(t.GetTextN(3), "F");
    EXPECT_TRUE(Reports.empty());
}

TEST_F(FieldTest, ChangesAreAnnouncedFieldByField) {
    auto& t = Open<TNotifyLog>(0x03, {{"NAME", 'C', 5}, {"QTY", 'N', 3}, {"OK", 'L', 1}});
    t.Events.clear();
    t.PutRawN(1, "x");
    t.PutNumberN(2, 5);
    t.PutTextN(3, "y");
    t.PutNumberN(2, 1000); // too large: nothing changes
    t.BlankRecord();       // zero into QTY, then event 0
    const std::vector<std::pair<int32_t, int32_t>> expected = {
        {1, 1}, {1, 2}, {1, 3}, {1, 2}, {0, 0}};
    EXPECT_EQ(t.Events, expected);
}

// ---------------------------------------------------------------------------
// numbers
// ---------------------------------------------------------------------------

TEST_F(FieldTest, PutNumberFormatsRoundsHalfAwayFromZeroAndRightAligns) {
    const struct {
        char Type;
        int32_t Width, Decimals;
        double Value;
        const char* Stored;
    } cases[] = {
        {'N', 6, 2, 3.14159, "  3.14"},
        {'N', 6, 2, 0.125, "  0.13"},
        {'N', 6, 2, -0.125, " -0.13"},
        {'N', 6, 2, 999.994, "999.99"},
        {'N', 3, 0, 2.5, "  3"},
        {'N', 3, 0, -2.5, " -3"},
        {'N', 3, 0, 0.4, "  0"},
        {'N', 3, 0, -0.4, "  0"},
        {'N', 4, 2, -0.004, "0.00"},
        {'N', 5, 0, 12345, "12345"},
        {'N', 5, 0, -1234, "-1234"},
        {'N', 10, 3, 1e-4, "     0.000"},
        {'N', 16, 0, 1e15, "1000000000000000"},
        {'N', 20, 2, -123456789.125, "       -123456789.13"},
        {'F', 8, 3, 1.5, "   1.500"},
        {'M', 10, 0, 12, "        12"},
        {'G', 10, 0, 7.9, "         8"},
        {'B', 10, 0, 3, "         3"},
    };
    std::vector<TFieldSpec> fields;
    for (const auto& c : cases)
        fields.push_back({"F" + std::to_string(fields.size() + 1), c.Type, c.Width, c.Decimals});
    TVO_dBaseFld& t = Open(0xF5, fields);
    for (int32_t no = 1; no <= t.FieldCount; ++no) {
        const auto& c = cases[no - 1];
        SCOPED_TRACE(c.Stored);
        EXPECT_TRUE(t.PutNumberN(no, c.Value));
        EXPECT_EQ(Stored(no), c.Stored);
    }
    EXPECT_TRUE(Reports.empty());
    EXPECT_TRUE(t.PutNumber("f1", 2));
    EXPECT_EQ(Stored(1), "  2.00");
}

TEST_F(FieldTest, NumberTooLargeIsReportedAndLeavesTheFieldAlone) {
    const struct {
        int32_t Width, Decimals;
        double Value;
        const char* Formatted; // nullptr: any text
    } cases[] = {
        {6, 2, 123456.0, "123456.00"}, {6, 2, 999.996, "1000.00"}, {5, 0, 123456, "123456"},
        {5, 0, -12345, "-12345"},      {5, 0, 99999.5, "100000"},  {5, 0, 1e20, nullptr},
        {6, 2, Nan, nullptr},          {6, 2, Inf, nullptr},       {6, 2, -Inf, nullptr},
    };
    std::vector<TFieldSpec> fields;
    for (const auto& c : cases)
        fields.push_back({"Q" + std::to_string(fields.size() + 1), 'N', c.Width, c.Decimals});
    TVO_dBaseFld& t = Open(0x03, fields);
    for (int32_t no = 1; no <= t.FieldCount; ++no) {
        const auto& c = cases[no - 1];
        SCOPED_TRACE(no);
        ASSERT_TRUE(t.PutNumberN(no, 7));
        const std::string before = Image();
        Reports.clear();
        EXPECT_FALSE(t.PutNumberN(no, c.Value));
        EXPECT_EQ(Image(), before);
        ASSERT_EQ(Reports.size(), 1u);
        EXPECT_EQ(Reports[0].Code, 1011);
        EXPECT_EQ(Reports[0].SubCode, 1261);
        const std::string name = "Q" + std::to_string(no);
        if (c.Formatted)
            EXPECT_EQ(Reports[0].Info, name + " - " + c.Formatted);
        else
            EXPECT_EQ(Reports[0].Info.substr(0, name.size() + 3), name + " - ");
    }

    TVO_dBaseFld& q = Open(0x03, {{"QTY", 'N', 6, 2}}, "Q.DBF");
    EXPECT_EQ(Message([&] { q.PutNumberN(1, 123456.0); }),
              "Number too large to fit in field - QTY - 123456.00");
}

TEST_F(FieldTest, PutNumberRefusesTypesWithoutNumbers) {
    // I, T and Y hold numbers only in Visual FoxPro tables.
    TVO_dBaseFld& t = Open(0xF5, {{"C", 'C', 5},
                                  {"D", 'D', 8},
                                  {"L", 'L', 1},
                                  {"I", 'I', 4},
                                  {"T", 'T', 8},
                                  {"Y", 'Y', 8},
                                  {"X", 'X', 4}});
    Fill('#');
    const std::string before = Image();
    for (int32_t no = 1; no <= t.FieldCount; ++no) {
        SCOPED_TRACE(no);
        Reports.clear();
        EXPECT_FALSE(t.PutNumberN(no, 1));
        EXPECT_EQ(Reports, (std::vector<TReport>{{1004, 1299, ""}}));
    }
    EXPECT_EQ(Image(), before);
}

TEST_F(FieldTest, GetNumberParsesTheStoredText) {
    TVO_dBaseFld& t = Open(0x03, {{"QTY", 'N', 10}, {"TEXT", 'C', 40}}, "Stock.dbf");
    const std::string digits31 = "1234567890123456789012345678901";
    const struct {
        int32_t No;
        std::string Stored;
        double Value;
        std::string Invalid; // text in the report; empty when none
    } cases[] = {
        {1, "          ", 0, ""},
        {1, "        12", 12, ""},
        {1, "      -3.5", -3.5, ""},
        {1, "        +7", 7, ""},
        {1, "       1e3", 1000, ""},
        {1, "    12\0abc"s, 12, ""},
        {1, "       12a", 0, "       12a"},
        {1, "    12 3  ", 0, "    12 3"},
        {1, "      1,5 ", 0, "      1,5"},
        {1, "         -", 0, "         -"},
        {2, "1.5" + std::string(37, ' '), 1.5, ""},
        // At most 31 characters are read, in the value and in the report.
        {2, digits31 + "abc      ", 1234567890123456789012345678901.0, ""},
        {2, "x" + digits31.substr(0, 30) + "123456789", 0, "x" + digits31.substr(0, 30)},
        {2, "19991225" + std::string(32, ' '), 19991225, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Stored);
        Store(c.No, c.Stored);
        Reports.clear();
        EXPECT_DOUBLE_EQ(t.GetNumberN(c.No), c.Value);
        if (!c.Invalid.empty()) {
            const std::string field = c.No == 1 ? "QTY" : "TEXT";
            EXPECT_EQ(Reports, (std::vector<TReport>{{1004, -7,
                                                      "Invalid number in field Stock->" + field +
                                                          " (" + c.Invalid + ")"}}));
        } else {
            EXPECT_TRUE(Reports.empty());
        }
    }
    Store(1, "       12a");
    EXPECT_EQ(Message([&] { t.GetNumber("QTY"); }),
              "dBase field is of incorrect type - Invalid number in field Stock->QTY (       12a)");
}

// ---------------------------------------------------------------------------
// dates
// ---------------------------------------------------------------------------

TEST_F(FieldTest, GetDateConvertsStoredTextWithoutTypeCheck) {
    FormatSettingsGuard guard;
    FormatSettings = TFormatSettings{};
    TVO_dBaseFld& t = Open(0x03, {{"BORN", 'D', 8}, {"NAME", 'C', 8}}, "Dates.dbf");
    const struct {
        int32_t No;
        const char* Stored;
        int32_t Jdn;
        bool Invalid;
    } cases[] = {
        {1, "19991225", 2451538, false}, {1, "        ", 0, false},       {1, "00000000", 0, false},
        {1, "20001301", 2415019, false}, {1, "1/2/2000", 2451576, false}, {1, "xx      ", 0, true},
        {1, "2000-1-1", 0, true},        {2, "20000101", 2451545, false}, {2, "hello   ", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Stored);
        Store(c.No, c.Stored);
        Reports.clear();
        EXPECT_EQ(t.GetDateN(c.No), c.Jdn);
        if (c.Invalid) {
            // The raw text, trailing blanks and all.
            const std::string field = c.No == 1 ? "BORN" : "NAME";
            EXPECT_EQ(Reports, (std::vector<TReport>{{1004, -7,
                                                      "Invalid date in field Dates->" + field +
                                                          " (" + c.Stored + ")"}}));
        } else {
            EXPECT_TRUE(Reports.empty());
        }
    }
    Store(1, "19800101");
    EXPECT_EQ(t.GetDate("born"), 2444240);
}

TEST_F(FieldTest, PutDateStoresEightDigitsInDateFieldsOnly) {
    TVO_dBaseFld& t = Open(0x03, {{"BORN", 'D', 8}, {"NAME", 'C', 8}});
    const struct {
        int32_t No;
        int32_t Jdn;
        bool Result;
        const char* Stored; // nullptr: unchanged
        std::vector<TReport> Expected;
    } cases[] = {
        {1, 2451545, true, "20000101", {}},
        {1, 2444240, true, "19800101", {}},
        {1, 0, true, "        ", {}},
        {1, -5, true, "        ", {}},
        {1, -1, false, nullptr, {{1004, 1251, ""}}},
        {2, 2451545, false, nullptr, {}},
        {2, -1, false, nullptr, {{1004, 1251, ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.No) + " <- " + std::to_string(c.Jdn));
        Fill('#');
        Reports.clear();
        EXPECT_EQ(t.PutDateN(c.No, c.Jdn), c.Result);
        EXPECT_EQ(Stored(c.No), c.Stored ? c.Stored : "########");
        EXPECT_EQ(Reports, c.Expected);
    }
    EXPECT_TRUE(t.PutDate("BORN", 2451538));
    EXPECT_EQ(t.GetRawN(1), "19991225");
}

TEST_F(FieldTest, DateTextFollowsTheLocale) {
    FormatSettingsGuard guard;
    TVO_dBaseFld& t = Open(0x03, {{"BORN", 'D', 8}});
    const struct {
        const char* Pattern;
        char Separator;
        const char* Stored;
        const char* Text;
    } cases[] = {
        {"dd/MM/yyyy", '/', "19991225", "25/12/1999"}, {"dd/MM/yy", '/', "19991225", "25/12/1999"},
        {"MM-dd-yyyy", '-', "19991225", "12-25-1999"}, {"d.M.yyyy", '.', "20000105", "5.1.2000"},
        {"dd/MM/yyyy", '/', "        ", ""},           {"dd/MM/yyyy", '/', "00000000", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Pattern) + " " + c.Stored);
        FormatSettings.ShortDateFormat = c.Pattern;
        FormatSettings.DateSeparator = c.Separator;
        Store(1, c.Stored);
        EXPECT_EQ(t.GetTextN(1), c.Text);
        if (*c.Text) {
            // Entry reads the same form back.
            Store(1, "########");
            EXPECT_TRUE(t.PutTextN(1, c.Text));
            EXPECT_EQ(Stored(1), c.Stored);
        }
    }
    EXPECT_TRUE(Reports.empty());
}

TEST_F(FieldTest, DateEntryPassesConversionErrorsOn) {
    FormatSettingsGuard guard;
    FormatSettings = TFormatSettings{};
    TVO_dBaseFld& t = Open(0x03, {{"BORN", 'D', 8}});
    const struct {
        const char* Text;
        const char* Stored; // nullptr: conversion error, field unchanged
    } cases[] = {
        {"25/12/1999", "19991225"}, {"19991225", "19991225"}, {"", "        "},
        {"   ", "        "},        {"20001301", "18991230"}, {"garbage", nullptr},
        {"31/02/2000", nullptr},    {"25-12-1999", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        Store(1, "########");
        if (c.Stored) {
            EXPECT_TRUE(t.PutTextN(1, c.Text));
            EXPECT_EQ(Stored(1), c.Stored);
        } else {
            EXPECT_THROW(t.PutTextN(1, c.Text), EConvertError);
            EXPECT_EQ(Stored(1), "########");
        }
    }
    Store(1, "xx      ");
    EXPECT_THROW(t.GetTextN(1), EConvertError);
    EXPECT_TRUE(Reports.empty()) << "only GetDateN turns the error into a report";
}

// ---------------------------------------------------------------------------
// logicals
// ---------------------------------------------------------------------------

TEST_F(FieldTest, LogicalReadsTrueLettersOnly) {
    TVO_dBaseFld& t = Open(0x03, {{"OK", 'L', 1}, {"NAME", 'C', 2}});
    const struct {
        char Stored;
        bool Value;
    } cases[] = {
        {'T', true},  {'t', true},  {'Y', true},  {'y', true},   {'J', true},
        {'j', true},  {'F', false}, {'f', false}, {'N', false},  {'n', false},
        {' ', false}, {'?', false}, {'1', false}, {'\0', false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(1, c.Stored));
        Store(1, std::string(1, c.Stored));
        EXPECT_EQ(t.GetLogicalN(1), c.Value);
        EXPECT_EQ(t.GetTextN(1), c.Value ? "T" : "F");
    }
    // No type check: a wider field is true when its text occurs among the letters.
    Store(2, "Yy");
    EXPECT_TRUE(t.GetLogicalN(2));
    Store(2, "TY");
    EXPECT_FALSE(t.GetLogicalN(2));
    Store(1, "j");
    EXPECT_TRUE(t.GetLogical("ok"));
    EXPECT_TRUE(Reports.empty());
}

TEST_F(FieldTest, LogicalEntryTakesLettersAndDigits) {
    TVO_dBaseFld& t = Open(0x03, {{"ACTIVE", 'L', 1}, {"NAME", 'C', 5}});
    const struct {
        const char* Text;
        const char* Stored; // nullptr: refused, field unchanged
    } cases[] = {
        {"y", "T"},     {"Yes", "T"},   {"j", "T"},      {"T", "T"},      {"1", "T"},
        {"9", "T"},     {"0", "F"},     {"n", "F"},      {"false", "F"},  {"", "F"},
        {"x", nullptr}, {"?", nullptr}, {"-1", nullptr}, {" T", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        Store(1, "#");
        Reports.clear();
        EXPECT_EQ(t.PutTextN(1, c.Text), c.Stored != nullptr);
        EXPECT_EQ(Stored(1), c.Stored ? c.Stored : "#");
        if (c.Stored)
            EXPECT_TRUE(Reports.empty());
        else
            EXPECT_EQ(Reports, (std::vector<TReport>{{1004, 1262, "ACTIVE"}}));
    }
    EXPECT_EQ(Message([&] { t.PutText("active", "x"); }),
              "dBase field is of incorrect type - ACTIVE");

    Reports.clear();
    Store(2, "#####");
    EXPECT_FALSE(t.PutLogicalN(2, true));
    EXPECT_EQ(Stored(2), "#####");
    EXPECT_EQ(Reports, (std::vector<TReport>{{1004, 1299, ""}}));
    EXPECT_TRUE(t.PutLogical("ACTIVE", false));
    EXPECT_EQ(Stored(1), "F");
}

// ---------------------------------------------------------------------------
// display and entry text
// ---------------------------------------------------------------------------

TEST_F(FieldTest, TextShowsEachTypeItsWay) {
    TVO_dBaseFld& t = Open(0x83, {{"C", 'C', 5},
                                  {"N", 'N', 6, 2},
                                  {"N0", 'N', 3},
                                  {"F", 'F', 8, 3},
                                  {"M", 'M', 10},
                                  {"G", 'G', 10},
                                  {"B", 'B', 10},
                                  {"X", 'X', 4},
                                  {"I", 'I', 4}});
    const struct {
        int32_t No;
        const char* Stored;
        const char* Text;
    } cases[] = {
        {1, "ab   ", "ab"},
        {1, "  ab ", "  ab"},
        {2, "      ", "0.00"},
        {2, "  1.50", "1.50"},
        {2, "    -1", "-1"},
        {3, "   ", "0"},
        {4, "        ", "0.000"},
        {4, "     2.5", "2.5"},
        {5, "          ", "---memo---"},
        {5, "         0", "---memo---"},
        {5, "        12", "---MEMO---"},
        {5, "         1", "---MEMO---"},
        {5, "        -5", "---memo---"},
        {5, "0000000001", "---MEMO---"},
        {6, "          ", "-general--"},
        {6, "         5", "-GENERAL--"},
        {7, "          ", "--binary--"},
        {7, "         7", "--BINARY--"},
        {8, "ab  ", "ab"},
        {9, "  12", "  12"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.No) + " \"" + c.Stored + "\"");
        Store(c.No, c.Stored);
        EXPECT_EQ(t.GetTextN(c.No), c.Text);
    }
    EXPECT_EQ(t.GetText("n0"), "0");
    EXPECT_TRUE(Reports.empty());
}

TEST_F(FieldTest, TextEntryConvertsNumbersOnlyForNumericFields) {
    TVO_dBaseFld& t =
        Open(0x83, {{"C", 'C', 5}, {"QTY", 'N', 6, 2}, {"F", 'F', 8, 3}, {"M", 'M', 10}});
    const struct {
        int32_t No;
        const char* Text;
        const char* Stored; // nullptr: refused, field unchanged
        std::vector<TReport> Expected;
    } cases[] = {
        {2, "  3.14159 ", "  3.14", {}},
        {2, "", "  0.00", {}},
        {2, "   ", "  0.00", {}},
        {2, "1e2", "100.00", {}},
        {2, "-0.125", " -0.13", {}},
        {2, "abc", nullptr, {{1004, 1261, ""}}},
        {2, "1,5", nullptr, {{1004, 1261, ""}}},
        {2, "123456", nullptr, {{1011, 1261, "QTY - 123456.00"}}},
        {3, "1.23456", " 1.23456", {}},
        {3, "abc", "     abc", {}},
        {1, "abc", "abc  ", {}},
        {4, "12", "        12", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.No) + " <- \"" + c.Text + "\"");
        Fill('#');
        Reports.clear();
        EXPECT_EQ(t.PutTextN(c.No, c.Text), c.Stored != nullptr);
        EXPECT_EQ(Stored(c.No),
                  c.Stored ? c.Stored : std::string(static_cast<size_t>(t.FieldLength(c.No)), '#'));
        EXPECT_EQ(Reports, c.Expected);
    }
    // Only the first 32 characters are read.
    EXPECT_TRUE(t.PutTextN(2, std::string(31, ' ') + "7" + "garbage"));
    EXPECT_EQ(Stored(2), "  7.00");
}

// ---------------------------------------------------------------------------
// blank records and deletion marks
// ---------------------------------------------------------------------------

TEST_F(FieldTest, BlankRecordShowsZeroInNumericFields) {
    TVO_dBaseFld& t = Open(0x83, {{"C", 'C', 5},
                                  {"N3", 'N', 3},
                                  {"N62", 'N', 6, 2},
                                  {"F", 'F', 5, 1},
                                  {"D", 'D', 8},
                                  {"L", 'L', 1},
                                  {"M", 'M', 10}});
    Fill('#');
    table->CurrentRecord[0] = '*';
    t.BlankRecord();
    EXPECT_EQ(Image(), std::string(" ") + "     " + "  0" + "  0.00" + "  0.0" + "        " + " " +
                           "          ");
    EXPECT_EQ(table->CurrentRecord[table->RecordLength], 0x1A) << "the byte after the image";
    EXPECT_EQ(t.GetTextN(2), "0");
    EXPECT_EQ(t.GetTextN(7), "---memo---");
    EXPECT_TRUE(Reports.empty());
}

TEST_F(FieldTest, BlankRecordOfVisualFoxProTableZeroesBinaryFields) {
    TVO_dBaseFld& t = Open(0x30, {{"C", 'C', 3},
                                  {"N", 'N', 3},
                                  {"I", 'I', 4},
                                  {"Y", 'Y', 8},
                                  {"T", 'T', 8},
                                  {"B", 'B', 8},
                                  {"M", 'M', 4},
                                  {"G", 'G', 4},
                                  {"W", 'M', 10}});
    Fill('#');
    t.BlankRecord();
    // A date-time of 0 ms is day 1721425 and no milliseconds; a 10-wide memo field
    // keeps its block number as text, so it is blank.
    EXPECT_EQ(Image(), std::string(" ") + "   " + "  0" + Le32(0) + Le64(0) + Le32(1721425) +
                           Le32(0) + DoubleBytes(0.0) + Le32(0) + Le32(0) + std::string(10, ' '));
    for (int32_t no = 2; no <= 8; ++no)
        EXPECT_EQ(t.GetNumberN(no), 0.0) << no;
    EXPECT_TRUE(Reports.empty());
}

TEST_F(FieldTest, DeleteAndRecallWriteTheRecordAtOnce) {
    TVO_dBaseFld& t = Open(0x03, {{"NAME", 'C', 5}});
    for (const char* name : {"AAAAA", "BBBBB", "CCCCC"}) {
        t.BlankRecord();
        t.PutRawN(1, name);
        t.AppendRecord();
    }
    const auto flag = [&](int32_t recNo) {
        return FileBytes()[static_cast<size_t>(t.HeaderLength + (recNo - 1) * t.RecordLength)];
    };
    const struct {
        int32_t RecNo;
        bool Delete;
        const char* Flags; // records 1..3 in the file afterwards
    } steps[] = {
        {2, true, " * "}, {1, true, "** "}, {2, false, "*  "}, {2, false, "*  "}, {3, true, "* *"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(std::to_string(s.RecNo) + (s.Delete ? " delete" : " recall"));
        t.GoToRecord(s.RecNo);
        if (s.Delete)
            t.DeleteRecord();
        else
            t.RecallRecord();
        EXPECT_EQ(t.IsDeleted(), s.Delete);
        EXPECT_EQ(t.RecNo, s.RecNo);
        EXPECT_EQ(std::string() + flag(1) + flag(2) + flag(3), s.Flags);
    }
    EXPECT_EQ(t.RecordCount, 3);

    // The whole image goes out, changed fields included.
    t.GoToRecord(1);
    t.PutRawN(1, "ZZ");
    t.RecallRecord();
    EXPECT_EQ(FileBytes().substr(static_cast<size_t>(t.HeaderLength), 6), " ZZ   ");
    Reopen();
    table->GoToRecord(3);
    EXPECT_TRUE(table->IsDeleted());
    EXPECT_EQ(table->GetRawN(1), "CCCCC");
}

// ---------------------------------------------------------------------------
// Visual FoxPro binary fields
// ---------------------------------------------------------------------------

class FieldVfpTest : public FieldTest {
protected:
    // I, Y, T, B, M, G binary; W a memo field that keeps a decimal block number.
    TVO_dBaseFld& OpenVfp() {
        return Open(0x30, {{"I", 'I', 4},
                           {"Y", 'Y', 8},
                           {"T", 'T', 8},
                           {"B", 'B', 8},
                           {"M", 'M', 4},
                           {"G", 'G', 4},
                           {"W", 'M', 10},
                           {"N", 'N', 5}});
    }
};

TEST_F(FieldVfpTest, BinaryFieldsStoreLittleEndianValues) {
    TVO_dBaseFld& t = OpenVfp();
    const double noonOf2000 = (2451545 - 1721425) * MsPerDay + 43200500;
    const struct {
        int32_t No;
        double Value;
        std::string Stored;
        double Read;
    } cases[] = {
        {1, -7.9, Le32(-7), -7},
        {1, 7.9, Le32(7), 7},
        {1, 123456789, Le32(123456789), 123456789},
        {1, 2147483647, Le32(2147483647), 2147483647},
        {1, -2147483648.0, Le32(std::numeric_limits<int32_t>::min()), -2147483648.0},
        {2, 1.5, Le64(15000), 1.5},
        {2, -2.25, Le64(-22500), -2.25},
        {2, 0.5, Le64(5000), 0.5},
        {3, noonOf2000, Le32(2451545) + Le32(43200500), noonOf2000},
        {3, 0, Le32(1721425) + Le32(0), 0},
        {4, 3.25, DoubleBytes(3.25), 3.25},
        {4, -1e300, DoubleBytes(-1e300), -1e300},
        {5, 12, Le32(12), 12},
        {6, 5.5, Le32(5), 5},
        {7, 7, "         7", 7},
        {8, 42, "   42", 42},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.No) + " <- " + std::to_string(c.Value));
        EXPECT_TRUE(t.PutNumberN(c.No, c.Value));
        EXPECT_EQ(Stored(c.No), c.Stored);
        EXPECT_DOUBLE_EQ(t.GetNumberN(c.No), c.Read);
    }
    EXPECT_TRUE(t.PutNumberN(4, Nan)) << "a double field takes every value";
    EXPECT_TRUE(std::isnan(t.GetNumberN(4)));
    EXPECT_TRUE(Reports.empty());
}

TEST_F(FieldVfpTest, BlankDateTimeHalvesReadAsDayOneOfTheCalendarAndMidnight) {
    TVO_dBaseFld& t = OpenVfp();
    const struct {
        std::string Stored;
        double Value;
    } cases[] = {
        {"        ", 693594 * MsPerDay},
        {"    " + Le32(1000), 693594 * MsPerDay + 1000},
        {Le32(2451545) + "    ", 730120 * MsPerDay},
        {Le32(2451545) + Le32(86399999), 730120 * MsPerDay + 86399999},
    };
    for (const auto& c : cases) {
        Store(3, c.Stored);
        EXPECT_DOUBLE_EQ(t.GetNumberN(3), c.Value);
    }
}

TEST_F(FieldVfpTest, ValuesBeyondTheBinaryRangeAreTooLarge) {
    TVO_dBaseFld& t = OpenVfp();
    const struct {
        int32_t No;
        double Value;
        const char* Info; // nullptr: any text after the field name
    } cases[] = {
        {1, 3e9, "I - 3000000000"},
        {1, -2147483649.0, "I - -2147483649"},
        {1, Nan, nullptr},
        {1, Inf, nullptr},
        {5, 1e10, "M - 10000000000"},
        {6, -Inf, nullptr},
        {2, 1e16, "Y - 10000000000000000"},
        {2, Nan, nullptr},
        {3, 1e30, nullptr},
        {3, -1e30, nullptr},
        {3, Nan, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.No) + " <- " + std::to_string(c.Value));
        Store(c.No, std::string(static_cast<size_t>(t.FieldLength(c.No)), '#'));
        Reports.clear();
        EXPECT_FALSE(t.PutNumberN(c.No, c.Value));
        EXPECT_EQ(Stored(c.No), std::string(static_cast<size_t>(t.FieldLength(c.No)), '#'));
        ASSERT_EQ(Reports.size(), 1u);
        EXPECT_EQ(Reports[0].Code, 1011);
        EXPECT_EQ(Reports[0].SubCode, 1261);
        if (c.Info)
            EXPECT_EQ(Reports[0].Info, c.Info);
        else
            EXPECT_EQ(Reports[0].Info.substr(0, 4), t.FieldName(c.No) + " - ");
    }
}

TEST_F(FieldVfpTest, TextOfBinaryFields) {
    TVO_dBaseFld& t = OpenVfp();
    const struct {
        int32_t No;
        std::string Stored;
        const char* Text;
    } cases[] = {
        {5, Le32(12), "---MEMO---"},
        {5, Le32(1), "---MEMO---"},
        {5, Le32(0), "---memo---"},
        {5, Le32(-3), "---memo---"},

        {6, Le32(5), "-GENERAL--"},
        {6, Le32(0x31), "-GENERAL--"},
        {6, Le32(0), "-general--"},
        {4, DoubleBytes(2.0), "--BINARY--"},
        {4, DoubleBytes(0.0), "--binary--"},
        {7, "        12", "---MEMO---"},
        {7, "          ", "---memo---"},
        {1, "AB  ", "AB"},
        {8, "     ", "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.No));
        Store(c.No, c.Stored);
        EXPECT_EQ(t.GetTextN(c.No), c.Text);
    }
    EXPECT_TRUE(Reports.empty());
}

TEST_F(FieldTest, VisualFoxProFileWithDecimalMemoNumbers) {
    const std::string path = test::CopyDataFile("vfp-cdx/test_cdx.dbf", dir.Path());
    test::CopyDataFile("vfp-cdx/test_cdx.fpt", dir.Path());
    table = std::make_unique<TVO_dBaseFld>(path, false, false);
    TVO_dBaseFld& t = *table;
    ASSERT_EQ(t.Version, 0x30);
    const int32_t notes = t.FieldNumber("notes");
    ASSERT_EQ(t.FieldLength(notes), 10);
    const struct {
        int32_t RecNo;
        double Block;
        const char* Text;
        const char* Memo;
    } cases[] = {
        {1, 16, "---MEMO---", "short memo #1"},
        {5, 0, "---memo---", ""},
        {6, 39, "---MEMO---", "short memo #6"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.RecNo);
        t.GoToRecord(c.RecNo);
        EXPECT_EQ(t.GetNumberN(notes), c.Block);
        EXPECT_EQ(t.GetTextN(notes), c.Text);
        int32_t length = t.MemoLengthN(notes);
        ASSERT_EQ(length, static_cast<int32_t>(std::strlen(c.Memo)));
        std::string text(static_cast<size_t>(length) + 1, '\0');
        if (length > 0) {
            EXPECT_TRUE(t.ReadMemoN(notes, reinterpret_cast<uint8_t*>(text.data()), length));
            EXPECT_EQ(text.substr(0, static_cast<size_t>(length)), c.Memo);
        }
    }
    t.GoToRecord(13);
    EXPECT_EQ(t.GetTextN(t.FieldNumber("BORN")), "");
    EXPECT_EQ(t.GetDateN(t.FieldNumber("BORN")), 0);
    EXPECT_TRUE(Reports.empty());
}

// ---------------------------------------------------------------------------
// memo fields
// ---------------------------------------------------------------------------

struct TMemoCase {
    const char* Name;
    uint8_t Version;
    int32_t Width;      // of the memo field
    int32_t FirstBlock; // of the first memo written to a new memo file
};

[[maybe_unused]] void PrintTo(const TMemoCase& c, std::ostream* out) {
    *out << c.Name;
}

class FieldMemo : public FieldTest, public ::testing::WithParamInterface<TMemoCase> {
protected:
    // How the field holds a block number.
    std::string Encoded(int32_t block) const {
        if (GetParam().Width == 4) return Le32(block);
        const std::string digits = std::to_string(block);
        return std::string(static_cast<size_t>(GetParam().Width) - digits.size(), ' ') + digits;
    }
    int32_t Write(int32_t no, const std::string& text) {
        int32_t length = static_cast<int32_t>(text.size());
        return table->WriteMemoN(no, reinterpret_cast<const uint8_t*>(text.data()), length);
    }
    std::string Read(int32_t no) {
        int32_t length = table->MemoLengthN(no);
        std::string text(static_cast<size_t>(length) + 1, '\0');
        EXPECT_TRUE(table->ReadMemoN(no, reinterpret_cast<uint8_t*>(text.data()), length));
        text.resize(static_cast<size_t>(length));
        return text;
    }
};

TEST_P(FieldMemo, WrittenMemoIsReachedThroughItsField) {
    const TMemoCase& p = GetParam();
    TVO_dBaseFld& t = Open(p.Version, {{"NAME", 'C', 5}, {"NOTES", 'M', p.Width}});
    t.BlankRecord();
    t.PutRawN(1, "first");
    t.AppendRecord();
    EXPECT_EQ(t.MemoLengthN(2), 0);
    EXPECT_EQ(t.GetTextN(2), "---memo---");

    const std::string text = "the first memo";
    const int32_t block = Write(2, text);
    EXPECT_EQ(block, p.FirstBlock);
    EXPECT_EQ(Stored(2), Encoded(block));
    EXPECT_EQ(t.GetNumberN(2), block);
    EXPECT_EQ(t.GetTextN(2), "---MEMO---");
    EXPECT_EQ(t.MemoLengthN(2), static_cast<int32_t>(text.size()));
    EXPECT_EQ(Read(2), text);
    t.ReplaceRecord(t.RecNo);

    Reopen();
    table->GoToRecord(1);
    EXPECT_EQ(Read(2), text);
    // A longer text may move; the field follows it.
    const std::string longer(1500, 'L');
    const int32_t moved = Write(2, longer);
    EXPECT_GT(moved, 0);
    EXPECT_EQ(Stored(2), Encoded(moved));
    EXPECT_EQ(Read(2), longer);
    EXPECT_TRUE(Reports.empty());
}

TEST_P(FieldMemo, OtherFieldsHaveNoMemo) {
    const TMemoCase& p = GetParam();
    TVO_dBaseFld& t =
        Open(p.Version, {{"NAME", 'C', 10}, {"QTY", 'N', 10}, {"NOTES", 'M', p.Width}});
    t.BlankRecord();
    t.PutRawN(1, "        12");
    t.PutNumberN(2, 12);
    const std::string before = Image();
    for (const int32_t no : {1, 2}) {
        SCOPED_TRACE(no);
        EXPECT_EQ(t.MemoOf(no), nullptr);
        EXPECT_EQ(Write(no, "text"), 0);
        EXPECT_EQ(t.MemoLengthN(no), 0);
        int32_t length = 4;
        uint8_t buffer[4] = {};
        EXPECT_FALSE(t.ReadMemoN(no, buffer, length));
    }
    EXPECT_EQ(Image(), before);
    EXPECT_NE(t.MemoOf(3), nullptr);
    EXPECT_TRUE(Reports.empty());
}

INSTANTIATE_TEST_SUITE_P(FieldVersions, FieldMemo,
                         ::testing::Values(TMemoCase{"dBaseIII", 0x83, 10, 1},
                                           TMemoCase{"dBaseIV", 0x8B, 10, 1},
                                           TMemoCase{"FoxPro", 0xF5, 10, 8},
                                           TMemoCase{"VisualFoxPro", 0x30, 4, 8},
                                           TMemoCase{"VisualFoxProDecimal", 0x30, 10, 8}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(FieldTest, TableWithoutMemoFileWritesNoMemo) {
    TVO_dBaseFld& t = Open(0x03, {{"NOTES", 'M', 10}});
    t.BlankRecord();
    int32_t length = 4;
    EXPECT_EQ(t.WriteMemoN(1, reinterpret_cast<const uint8_t*>("text"), length), 0);
    EXPECT_EQ(Stored(1), std::string(10, ' '));
    EXPECT_EQ(t.MemoLengthN(1), 0);
    EXPECT_TRUE(Reports.empty());
}

} // namespace
} // namespace tarnis
