// Every record of the interoperability fixtures, read through the engine and
// written in the fixtures' dump format, must equal the dump the other programs made
// of the same files: field values, deletion flags and memo texts.
#include "engine/table/TVO_dBaseFld.h"
#include "platform/format_settings.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace tarnis {
namespace {

std::vector<std::string> Lines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string Memo(TVO_dBaseFld& table, int32_t no) {
    int32_t length = table.MemoLengthN(no);
    std::string text(static_cast<size_t>(std::max(length, 0)), '\0');
    if (length > 0) table.ReadMemoN(no, reinterpret_cast<uint8_t*>(text.data()), length);
    text.resize(static_cast<size_t>(length));
    return text;
}

// Dump of the first kind: C"..." with \xHH for bytes below 0x20, 0x7F and above,
// '"' and '\'.
std::string QuotedA(std::string_view bytes) {
    std::string out = "\"";
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '"' || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string DumpLineA(TVO_dBaseFld& table) {
    std::string line = std::to_string(table.RecNo);
    line += table.IsDeleted() ? " * " : "   ";
    for (int32_t no = 1; no <= table.FieldCount; ++no) {
        line += "| " + table.FieldName(no) + "=";
        const std::string raw = table.GetRawN(no);
        switch (table.FieldType(no)) {
        case 'N':
            line += "N " + FormatFixed(table.GetNumberN(no), table.FieldDecimals(no)) + " \"" +
                    raw + "\"";
            break;
        case 'D':
            line += "D \"" + raw + "\"";
            break;
        case 'L':
            line += table.GetLogicalN(no) ? "L .T." : "L .F.";
            break;
        case 'M':
            line += "M" + QuotedA(Memo(table, no));
            break;
        default:
            line += "C" + QuotedA(raw);
        }
        if (no < table.FieldCount) line += " ";
    }
    return line;
}

// Dump of the second kind: tab-separated raw values, memo text with \r, \n and
// \xhh escapes.
std::string EscapedB(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (u < 0x20 || u >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        } else
            out += c;
    }
    return out;
}

std::string DumpLineB(TVO_dBaseFld& table) {
    std::string line = std::to_string(table.RecNo) + "\t" + (table.IsDeleted() ? "*" : " ");
    for (int32_t no = 1; no <= table.FieldCount; ++no) {
        line += "\t" + table.FieldName(no) + "=";
        line += EscapedB(table.FieldType(no) == 'M' ? Memo(table, no) : table.GetRawN(no));
    }
    return line;
}

struct Fixture {
    const char* Table;
    bool FormA;
};

class FixtureDump : public ::testing::TestWithParam<Fixture> {};

TEST_P(FixtureDump, EveryRecordMatchesTheOtherProgramsDump) {
    const Fixture& f = GetParam();
    const std::string tablePath = test::DataFile(f.Table);
    const std::string dir = tablePath.substr(0, tablePath.rfind('/'));
    std::vector<std::string> expected = Lines(dir + "/expected-dump.txt");
    // Comment lines ("# version byte ...", "# end reccount=...") are not records.
    std::erase_if(expected, [](const std::string& line) { return line.rfind('#', 0) == 0; });

    TVO_dBaseFld table(tablePath, false, true);
    ASSERT_EQ(table.RecordCount, static_cast<int32_t>(expected.size()));
    size_t i = 0;
    for (table.GoToRecord(MoveTop); !table.AtEof; table.GoToRecord(MoveNext), ++i) {
        ASSERT_LT(i, expected.size());
        EXPECT_EQ(f.FormA ? DumpLineA(table) : DumpLineB(table), expected[i])
            << "record " << table.RecNo;
    }
    EXPECT_EQ(i, expected.size());
}

// A copy whose memos the engine rewrote — each grown past its blocks, then set back
// to its text — and whose records it wrote back still dumps exactly as the original.
TEST_P(FixtureDump, TablesTheEngineChangedStillReadAsExpected) {
    const Fixture& f = GetParam();
    const std::string tablePath = test::DataFile(f.Table);
    const std::string dir = tablePath.substr(0, tablePath.rfind('/'));
    std::vector<std::string> expected = Lines(dir + "/expected-dump.txt");
    std::erase_if(expected, [](const std::string& line) { return line.rfind('#', 0) == 0; });

    test::TempDir work;
    std::string copy;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        const std::string ext = name.substr(name.rfind('.') + 1);
        if (ext == "dbf" || ext == "DBF" || ext == "fpt" || ext == "dbt" || ext == "DBT")
            test::CopyDataFile(dir.substr(dir.rfind('/') + 1) + "/" + name, work.Path());
    }
    copy = work.File(tablePath.substr(tablePath.rfind('/') + 1));
    {
        TVO_dBaseFld table(copy, true, false);
        for (table.GoToRecord(MoveTop); !table.AtEof; table.GoToRecord(MoveNext)) {
            for (int32_t no = 1; no <= table.FieldCount; ++no) {
                if (table.FieldType(no) != 'M') continue;
                const std::string original = Memo(table, no);
                const std::string longer = original + std::string(700, 'x');
                for (const std::string* text : {&longer, &original}) {
                    int32_t length = static_cast<int32_t>(text->size());
                    table.WriteMemoN(no, reinterpret_cast<const uint8_t*>(text->data()), length);
                    ASSERT_EQ(Memo(table, no), *text) << "record " << table.RecNo;
                }
            }
            table.ReplaceRecord(table.RecNo);
        }
    }
    TVO_dBaseFld table(copy, false, false);
    size_t i = 0;
    for (table.GoToRecord(MoveTop); !table.AtEof; table.GoToRecord(MoveNext), ++i) {
        ASSERT_LT(i, expected.size());
        EXPECT_EQ(f.FormA ? DumpLineA(table) : DumpLineB(table), expected[i])
            << "record " << table.RecNo;
    }
    EXPECT_EQ(i, expected.size());
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FixtureDump,
                         ::testing::Values(Fixture{"cdx-fpt/test_cdx.dbf", true},
                                           Fixture{"vfp-cdx/test_cdx.dbf", true},
                                           Fixture{"ntx-dbt/test_ntx.dbf", true},
                                           Fixture{"ndx-dbt3/XB.DBF", false},
                                           Fixture{"ndx-dbt4/XB.DBF", false}),
                         [](const auto& info) {
                             std::string name = info.param.Table;
                             return name.substr(0, name.find('/')).erase(name.find('-'), 1);
                         });

} // namespace
} // namespace tarnis
