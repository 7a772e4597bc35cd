// The tarnis tool with index files: the tags of info --index, records in a tag's
// order with list --tag, and seek.
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/wait.h>

namespace tarnis {
namespace {

using test::Lines;
using test::Quote;
using test::Tarnis;
using test::ToolRun;

// recno and deleted mark of each line of an expected walk, in order.
struct Walked {
    int Record;
    bool Deleted;
    std::string Rest; // the key as the walk file shows it
};

std::vector<Walked> ReadWalk(const std::string& folder, const std::string& tag) {
    std::vector<Walked> walk;
    for (const std::string& line :
         Lines(test::ReadFileBytes(test::DataFile(folder + "/expected-walk-" + tag + ".txt")))) {
        if (line.empty() || line[0] == '#') continue;
        const size_t space = line.find(' ');
        const bool deleted = line.compare(space + 1, 2, "* ") == 0;
        walk.push_back(
            {std::stoi(line.substr(0, space)), deleted, line.substr(space + (deleted ? 3 : 1))});
    }
    return walk;
}

int RecnoOf(const std::string& jsonLine) {
    return std::stoi(jsonLine.substr(jsonLine.find(':') + 1));
}

class TarnisIndex : public ::testing::TestWithParam<const char*> {
protected:
    std::string Folder() const { return GetParam(); }
    std::string Table() const { return test::DataFile(Folder() + "/test_cdx.dbf"); }
    std::string Index() const { return test::DataFile(Folder() + "/test_cdx.cdx"); }
};

TEST_P(TarnisIndex, InfoListsEveryTagOfEveryIndexFile) {
    // A second copy of the file under another name: two index files.
    test::TempDir dir;
    std::filesystem::copy_file(Index(), dir.File("second.cdx"));
    const ToolRun r =
        Tarnis({"info", Table(), "--index", Index(), "--index", dir.File("second.cdx")});
    ASSERT_EQ(r.Status, 0) << r.Err;
    const std::string expectedInfo =
        test::ReadFileBytes(test::DataFile(Folder() + "/expected-info.txt"));
    const std::map<std::string, std::string> keys = {
        {"AMOUNT", "AMOUNT"},           {"BORN", "BORN"},
        {"CITYACT", "CITY+DTOS(BORN)"}, {"NAME", "NAME"},
        {"QTYDESC", "STR(QTY,5)+NAME"}, {"UNAME", "UPPER(NAME)"}};
    size_t tags = 0;
    for (const std::string& line : Lines(r.Out)) {
        if (line.compare(0, 2, "  ") != 0 || line.find("key=") == std::string::npos) continue;
        ++tags;
        const std::string name = line.substr(2, line.find(' ', 2) - 2);
        ASSERT_TRUE(keys.count(name)) << line;
        // The other program's facts for the tag: FOR, type, order, number of keys.
        const size_t at = expectedInfo.find("# order " + name + " ");
        ASSERT_NE(at, std::string::npos);
        const std::string info = expectedInfo.substr(at, expectedInfo.find('\n', at) - at);
        const auto fact = [&](const std::string& what) {
            const size_t from = info.find(" " + what + "=") + what.size() + 2;
            return info.substr(from, info.find(' ', from) - from);
        };
        const std::string expected =
            "  " + name + "  key=" + keys.at(name) + "  for=" + fact("for") +
            "  type=" + fact("type") +
            "  order=" + (fact("descend") == ".T." ? "descending" : "ascending") +
            "  unique=no  keys=" + fact("keycount");
        EXPECT_EQ(line, expected);
    }
    EXPECT_EQ(tags, 12u);
    EXPECT_NE(r.Out.find("index       " + dir.File("second.cdx") + "\ntags        6\n"),
              std::string::npos)
        << r.Out;
}

TEST_P(TarnisIndex, ListFollowsTheTagWithAndWithoutDeletedRecords) {
    // The records as JSON in file order, to compare the tag's lines with.
    const ToolRun plain = Tarnis({"list", Table(), "--json", "--deleted", "--codepage", "1252"});
    ASSERT_EQ(plain.Status, 0) << plain.Err;
    std::map<int, std::string> byRecord;
    for (const std::string& line : Lines(plain.Out))
        byRecord[RecnoOf(line)] = line;

    for (const char* tag : {"NAME", "AMOUNT", "BORN", "CITYACT", "QTYDESC", "UNAME"}) {
        const std::vector<Walked> walk = ReadWalk(Folder(), tag);
        for (const bool withDeleted : {true, false}) {
            std::vector<std::string> args = {"list", Table(),  "--index",    Index(), "--tag",
                                             tag,    "--json", "--codepage", "1252"};
            if (withDeleted) args.push_back("--deleted");
            const ToolRun r = Tarnis(args);
            ASSERT_EQ(r.Status, 0) << r.Err;
            std::vector<std::string> expected;
            for (const Walked& w : walk)
                if (withDeleted || !w.Deleted) expected.push_back(byRecord.at(w.Record));
            EXPECT_EQ(Lines(r.Out), expected) << tag << (withDeleted ? " with" : " without");
        }
    }
    // The table form also follows the tag.
    const ToolRun text = Tarnis({"list", Table(), "--index", Index(), "--tag", "born"});
    ASSERT_EQ(text.Status, 0) << text.Err;
    const std::vector<std::string> lines = Lines(text.Out);
    const std::vector<Walked> born = ReadWalk(Folder(), "BORN");
    ASSERT_GT(lines.size(), 3u);
    size_t first = 0;
    while (born[first].Deleted)
        ++first;
    EXPECT_EQ(std::stoi(lines[1]), born[first].Record);
}

TEST_P(TarnisIndex, SeekFindsKeysPrefixesAndTheNextKey) {
    const std::vector<Walked> names = ReadWalk(Folder(), "NAME");
    // An ASCII name of the walk (its key as the walk prints it: C"...").
    std::string name;
    int record = 0;
    for (const Walked& w : names) {
        const std::string key = w.Rest.substr(2, w.Rest.size() - 3);
        std::string trimmed = key.substr(0, key.find_last_not_of(' ') + 1);
        if (trimmed.size() >= 4 && trimmed.find('\\') == std::string::npos && trimmed[0] != ' ') {
            name = trimmed;
            record = w.Record;
            break;
        }
    }
    ASSERT_FALSE(name.empty());
    const auto seek = [&](const std::string& tag, const std::string& key, bool soft = false) {
        std::vector<std::string> args = {"seek", Table(), "--index",    Index(), "--tag",
                                         tag,    key,     "--codepage", "latin1"};
        if (soft) args.push_back("--soft");
        const ToolRun r = Tarnis(args);
        EXPECT_EQ(r.Status, 0) << r.Err;
        return r.Out;
    };
    const std::string found = "found=true recno=" + std::to_string(record) + "\n";
    EXPECT_EQ(seek("NAME", name), found);
    EXPECT_EQ(seek("name", name.substr(0, name.size() - 1)), found) << "a prefix";
    EXPECT_EQ(seek("NAME", name + "~"), "found=false recno=0\n");
    EXPECT_NE(seek("NAME", name + "~", true), "found=false recno=0\n") << "the next key";
    EXPECT_EQ(seek("NAME", "\xC3\xBF\xC3\xBF\xC3\xBF", true), "found=false recno=0\n")
        << "past the end";

    const std::vector<Walked> amounts = ReadWalk(Folder(), "AMOUNT");
    const std::string firstAmount = amounts[0].Rest.substr(2, amounts[0].Rest.find(' ', 2) - 2);
    EXPECT_EQ(seek("AMOUNT", firstAmount),
              "found=true recno=" + std::to_string(amounts[0].Record) + "\n");
    EXPECT_EQ(seek("AMOUNT", "-1e300", true),
              "found=false recno=" + std::to_string(amounts[0].Record) + "\n");

    const std::vector<Walked> born = ReadWalk(Folder(), "BORN");
    const Walked& last = born.back();
    const std::string day = last.Rest.substr(3, 8);
    EXPECT_EQ(seek("BORN", day),
              "found=true recno=" +
                  std::to_string(std::find_if(born.begin(), born.end(),
                                              [&](const Walked& w) { return w.Rest == last.Rest; })
                                     ->Record) +
                  "\n");
    EXPECT_EQ(seek("BORN", ""), "found=true recno=" + std::to_string(born[0].Record) + "\n")
        << "the blank date";
}

INSTANTIATE_TEST_SUITE_P(Fixtures, TarnisIndex, ::testing::Values("cdx-fpt", "vfp-cdx"),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(TarnisIndexErrors, MessagesAndStatuses) {
    const std::string table = test::DataFile("cdx-fpt/test_cdx.dbf");
    const std::string index = test::DataFile("cdx-fpt/test_cdx.cdx");
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"list", table, "--tag", "NAME"},
             {"seek", table, "--tag", "NAME", "X"},
             {"seek", table, "--index", index, "X"},
             {"seek", table, "--index", index, "--tag", "AMOUNT", "twelve"},
             {"seek", table, "--index", index, "--tag", "BORN", "1.1.2000"},
             {"info", table, "--index", test::DataFile("ntx-dbt/test_ntx_name.ntx")}}) {
        const ToolRun r = Tarnis(args);
        EXPECT_EQ(r.Status, 2) << testing::PrintToString(args);
        EXPECT_NE(r.Err.find("usage: tarnis"), std::string::npos);
    }
    const ToolRun tag = Tarnis({"list", table, "--index", index, "--tag", "NOPE"});
    EXPECT_EQ(tag.Status, 1);
    EXPECT_EQ(tag.Err, "Cannot find index tag NOPE\n");

    test::TempDir dir;
    const ToolRun missing = Tarnis({"info", table, "--index", dir.File("NONE.CDX")});
    EXPECT_EQ(missing.Status, 1);
    EXPECT_EQ(missing.Err, "File not found - " + dir.File("NONE.CDX") + "\n");

    // A node that points outside the file.
    std::string bytes = test::ReadFileBytes(index);
    bytes[3584 + 12 + 20 + 4] = 0x7F;
    test::WriteFileBytes(dir.File("bad.cdx"), bytes);
    const ToolRun damaged =
        Tarnis({"list", table, "--index", dir.File("bad.cdx"), "--tag", "NAME"});
    EXPECT_EQ(damaged.Status, 1);
    EXPECT_EQ(damaged.Err, "Tarnis Error 2112.\n " + dir.File("bad.cdx") + ">-7\n");
    // A damaged header: the file is reported as damaged when opened.
    bytes = test::ReadFileBytes(index);
    bytes[1536 + 12] = static_cast<char>(0xF1);
    test::WriteFileBytes(dir.File("header.cdx"), bytes);
    const ToolRun header = Tarnis({"info", table, "--index", dir.File("header.cdx")});
    EXPECT_EQ(header.Status, 1);
    EXPECT_EQ(header.Err, "Tarnis Error 2112.\n " + dir.File("header.cdx") + ">-7\n");
}

} // namespace
} // namespace tarnis
