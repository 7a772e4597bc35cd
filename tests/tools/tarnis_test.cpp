// The tarnis tool, run as a program: exit statuses, messages, and the records of the
// interoperability fixtures in its JSON form.
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <sys/wait.h>

namespace tarnis {
namespace {

using test::Lines;
using test::Quote;
using test::Tarnis;
using test::ToolRun;

TEST(TarnisTool, ExitStatusesAndMessages) {
    EXPECT_EQ(Tarnis({"--help"}).Status, 0);
    EXPECT_NE(Tarnis({"--help"}).Out.find("usage: tarnis"), std::string::npos);
    for (const auto& args :
         std::vector<std::vector<std::string>>{{},
                                               {"frobnicate"},
                                               {"list"},
                                               {"list", "a", "b"},
                                               {"list", "x.dbf", "--codepage", "866"},
                                               {"list", "x.dbf", "--bogus"},
                                               {"memo", "x.dbf", "one", "NOTES"}}) {
        const ToolRun r = Tarnis(args);
        EXPECT_EQ(r.Status, 2) << testing::PrintToString(args);
        EXPECT_NE(r.Err.find("usage: tarnis"), std::string::npos);
    }
    test::TempDir dir;
    const ToolRun missing = Tarnis({"list", dir.File("NONE.DBF")});
    EXPECT_EQ(missing.Status, 1);
    EXPECT_EQ(missing.Err, "File not found - " + dir.File("NONE.DBF") + "\n");

    test::WriteFileBytes(dir.File("BAD.DBF"), std::string(40, '\x05'));
    const ToolRun bad = Tarnis({"info", dir.File("BAD.DBF")});
    EXPECT_EQ(bad.Status, 1);
    EXPECT_EQ(bad.Err, "dBase DBF file header invalid - " + dir.File("BAD.DBF") + "\n");

    const ToolRun field = Tarnis({"memo", test::DataFile("ndx-dbt3/XB.DBF"), "1", "NOPE"});
    EXPECT_EQ(field.Status, 1);
    EXPECT_EQ(field.Err,
              "dBase field name is invalid - " + test::DataFile("ndx-dbt3/XB.DBF") + "->NOPE\n");
}

TEST(TarnisTool, InfoShowsHeaderAndFields) {
    const ToolRun r = Tarnis({"info", test::DataFile("cdx-fpt/test_cdx.dbf")});
    ASSERT_EQ(r.Status, 0) << r.Err;
    for (const char* expected :
         {"version     0xF5\n", "records     300\n", "header      258\n", "record      72\n",
          "memo        FoxPro (.FPT)\n", "fields      7\n", "  AMOUNT      N     12    2\n",
          "  NOTES       M     10    0\n"})
        EXPECT_NE(r.Out.find(expected), std::string::npos) << expected;
}

// ---- the fixtures' dumps turned into the JSON the tool must print ----

std::string Unescape(std::string_view quoted) {
    std::string bytes;
    for (size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] == '\\' && i + 3 < quoted.size() && quoted[i + 1] == 'x') {
            bytes +=
                static_cast<char>(std::stoi(std::string(quoted.substr(i + 2, 2)), nullptr, 16));
            i += 3;
        } else {
            bytes += quoted[i];
        }
    }
    return bytes;
}

// Latin-1 bytes as a JSON string, the way the tool prints them with --codepage latin1.
std::string JsonLatin1(const std::string& bytes) {
    std::string out = "\"";
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", u);
            out += hex;
        } else if (u < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return out + "\"";
}

std::string TrimRight(std::string s) {
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

std::string ShortestNumber(const std::string& text) {
    const double value = std::stod(text);
    char buffer[32];
    return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

// One line of a dump of the form  `12 * | NAME=C"..." | AMOUNT=N 1.50 "  1.50" | ...`.
std::string ExpectedJson(const std::string& line) {
    const size_t bar = line.find(" | ");
    const std::string head = line.substr(0, bar);
    std::string json = "{\"recno\":" + head.substr(0, head.find(' ')) +
                       ",\"deleted\":" + (head.find('*') != std::string::npos ? "true" : "false");
    size_t pos = bar + 3;
    while (pos < line.size()) {
        const size_t eq = line.find('=', pos);
        const std::string name = line.substr(pos, eq - pos);
        const char kind = line[eq + 1];
        std::string value;
        size_t next;
        if (kind == 'L') {
            value = line.compare(eq + 2, 4, " .T.") == 0 ? "true" : "false";
            next = eq + 6;
        } else {
            // The quoted part: from the first '"' after the kind to the '"' before " | " or the
            // end.
            size_t close = line.find("\" | ", eq);
            if (close == std::string::npos) close = line.size() - 1;
            const size_t open = line.find('"', eq);
            const std::string bytes =
                Unescape(std::string_view(line).substr(open + 1, close - open - 1));
            if (kind == 'N')
                value = TrimRight(bytes).empty()
                            ? "null"
                            : ShortestNumber(line.substr(eq + 3, open - eq - 4));
            else if (kind == 'D')
                value = TrimRight(bytes).empty() ? "null" : JsonLatin1(bytes);
            else if (kind == 'M')
                value = JsonLatin1(bytes);
            else
                value = JsonLatin1(TrimRight(bytes));
            next = close + 1;
        }
        json += ",\"" + name + "\":" + value;
        pos = next + 3; // past " | "
    }
    return json + "}";
}

class TarnisFixtures : public ::testing::TestWithParam<const char*> {};

TEST_P(TarnisFixtures, JsonListMatchesTheOtherProgramsDump) {
    const std::string table = test::DataFile(GetParam());
    std::vector<std::string> dump =
        Lines(test::ReadFileBytes(table.substr(0, table.rfind('/')) + "/expected-dump.txt"));
    std::erase_if(dump, [](const std::string& l) { return l.empty() || l[0] == '#'; });

    const ToolRun all = Tarnis({"list", table, "--json", "--deleted", "--codepage", "latin1"});
    ASSERT_EQ(all.Status, 0) << all.Err;
    const std::vector<std::string> lines = Lines(all.Out);
    ASSERT_EQ(lines.size(), dump.size());
    for (size_t i = 0; i < dump.size(); ++i)
        EXPECT_EQ(lines[i], ExpectedJson(dump[i])) << "line " << i + 1;

    // Without --deleted the deleted records are left out, and only they.
    const ToolRun live = Tarnis({"list", table, "--json", "--codepage", "latin1"});
    std::vector<std::string> expectedLive;
    for (const auto& l : lines)
        if (l.find("\"deleted\":false") != std::string::npos) expectedLive.push_back(l);
    EXPECT_EQ(Lines(live.Out), expectedLive);
    EXPECT_LT(expectedLive.size(), lines.size());
}

INSTANTIATE_TEST_SUITE_P(Fixtures, TarnisFixtures,
                         ::testing::Values("cdx-fpt/test_cdx.dbf", "vfp-cdx/test_cdx.dbf",
                                           "ntx-dbt/test_ntx.dbf"));

TEST(TarnisTool, MemoPrintsTheRawText) {
    const ToolRun r = Tarnis({"memo", test::DataFile("ndx-dbt3/XB.DBF"), "3", "notes"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "OEM bytes \x81\x84\x94 in memo");
    const ToolRun people = Tarnis({"list", test::DataFile("ndx-dbt3/XB.DBF"), "--deleted"});
    ASSERT_EQ(people.Status, 0);
    const auto lines = Lines(people.Out);
    ASSERT_EQ(lines.size(), 6u); // header and five records
    EXPECT_EQ(lines[3].rfind("    3       Müller äöÖ            100.00", 0), 0u) << lines[3];
    EXPECT_NE(lines[4].find("    *  Mango"), std::string::npos);
}

TEST(TarnisTool, EvalPrintsOneValuePerRecord) {
    const std::string table = test::DataFile("ndx-dbt3/XB.DBF");
    const ToolRun keys = Tarnis({"eval", table, "DTOS(BORN)+UPPER(NAME)", "--deleted"});
    ASSERT_EQ(keys.Status, 0) << keys.Err;
    const auto lines = Lines(keys.Out);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "1\t19991231ZEBRA               ");
    EXPECT_EQ(lines[3], "4\t20240101MANGO               ");
    const ToolRun live = Tarnis({"eval", table, "OK .AND. AMOUNT > 1"});
    EXPECT_EQ(Lines(live.Out), (std::vector<std::string>{"1\t.T.", "2\t.F.", "3\t.T.", "5\t.F."}));
    EXPECT_EQ(Lines(Tarnis({"eval", table, "BORN"}).Out)[1], "2\t20000229");

    const ToolRun bad = Tarnis({"eval", table, "UPPER(NAME"});
    EXPECT_EQ(bad.Status, 1);
    EXPECT_FALSE(bad.Err.empty());
    EXPECT_TRUE(bad.Out.empty());
}

} // namespace
} // namespace tarnis
