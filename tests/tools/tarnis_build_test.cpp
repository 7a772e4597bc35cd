// The tarnis tool building index tags: index (new file, added and replaced tags, FOR,
// unique, descending), reindex (the same file as building the tags anew, a progress
// bar only on a terminal), deltag, and their messages and exit statuses.
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace tarnis {
namespace {

using test::Lines;
using test::Quote;
using test::Tarnis;
using test::ToolRun;

// Runs the tool on a pseudo-terminal: what it wrote to it (both streams) and its status.
ToolRun TarnisOnTerminal(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {TARNIS_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv)
        raw.push_back(a.data());
    raw.push_back(nullptr);
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        execv(raw[0], raw.data());
        _exit(127);
    }
    std::string out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(terminal, buffer, sizeof buffer);
        if (n <= 0) break; // EIO once the tool has gone
        out.append(buffer, static_cast<size_t>(n));
    }
    close(terminal);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, ""};
}

// The records of an expected walk, in order.
std::vector<int> Walk(const std::string& folder, const std::string& tag) {
    std::vector<int> records;
    for (const std::string& line :
         Lines(test::ReadFileBytes(test::DataFile(folder + "/expected-walk-" + tag + ".txt"))))
        if (!line.empty() && line[0] != '#') records.push_back(std::stoi(line));
    return records;
}

// The records list --json prints, in its order.
std::vector<int> Listed(const ToolRun& run) {
    std::vector<int> records;
    for (const std::string& line : Lines(run.Out))
        records.push_back(std::stoi(line.substr(line.find(':') + 1)));
    return records;
}

class TarnisBuild : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string table;
    std::string index;

    void SetUp() override {
        test::CopyDataFile("cdx-fpt/test_cdx.fpt", dir.Path());
        table = test::CopyDataFile("cdx-fpt/test_cdx.dbf", dir.Path());
        index = dir.File("BUILT.CDX");
    }

    ToolRun Index(std::vector<std::string> args) {
        args.insert(args.begin(), {"index", table, index});
        return Tarnis(args);
    }

    std::vector<int> ListTag(const std::string& tag) {
        const ToolRun r =
            Tarnis({"list", table, "--index", index, "--tag", tag, "--json", "--deleted"});
        EXPECT_EQ(r.Status, 0) << r.Err;
        return Listed(r);
    }
};

TEST_F(TarnisBuild, IndexMakesTheFileAndBuildsTagsInTheOtherProgramsOrder) {
    ASSERT_FALSE(std::filesystem::exists(index));
    const ToolRun name = Index({"NAME", "NAME"});
    ASSERT_EQ(name.Status, 0) << name.Err;
    EXPECT_EQ(name.Out, "NAME: 300 keys\n");
    EXPECT_TRUE(name.Err.empty()) << "no progress bar without a terminal";
    EXPECT_TRUE(std::filesystem::exists(index));

    const ToolRun qty =
        Index({"qtydesc", "STR(QTY,5)+NAME", "--for", "!DELETED()", "--descending"});
    ASSERT_EQ(qty.Status, 0) << qty.Err;
    EXPECT_EQ(qty.Out, "QTYDESC: 293 keys\n");
    const ToolRun city = Index({"CITYACT", "CITY+DTOS(BORN)", "--for", "ACTIVE"});
    ASSERT_EQ(city.Status, 0) << city.Err;
    EXPECT_EQ(city.Out, "CITYACT: 210 keys\n");

    for (const char* tag : {"NAME", "QTYDESC", "CITYACT"})
        EXPECT_EQ(ListTag(tag), Walk("cdx-fpt", tag)) << tag;

    const ToolRun info = Tarnis({"info", table, "--index", index});
    ASSERT_EQ(info.Status, 0) << info.Err;
    EXPECT_NE(info.Out.find("tags        3\n"), std::string::npos) << info.Out;
    EXPECT_NE(info.Out.find("  QTYDESC  key=STR(QTY,5)+NAME  for=!DELETED()  type=C  "
                            "order=descending  unique=no  keys=293\n"),
              std::string::npos)
        << info.Out;
    const ToolRun check = Tarnis({"check", table, "--index", index});
    EXPECT_EQ(check.Status, 0) << check.Out << check.Err;
}

TEST_F(TarnisBuild, IndexReplacesATagAndBuildsUniqueOnes) {
    ASSERT_EQ(Index({"NAME", "NAME"}).Status, 0);
    const ToolRun unique = Index({"name", "NAME", "--unique", "--descending"});
    ASSERT_EQ(unique.Status, 0) << unique.Err;
    // The first record of each name, last name first.
    std::vector<int> expected;
    std::set<std::string> seen;
    for (const std::string& line :
         Lines(test::ReadFileBytes(test::DataFile("cdx-fpt/expected-walk-NAME.txt")))) {
        if (line.empty() || line[0] == '#') continue;
        if (seen.insert(line.substr(line.find(" C\""))).second) expected.push_back(std::stoi(line));
    }
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(unique.Out, "NAME: " + std::to_string(expected.size()) + " keys\n");
    EXPECT_EQ(ListTag("NAME"), expected);
    const ToolRun info = Tarnis({"info", table, "--index", index});
    EXPECT_NE(info.Out.find("tags        1\n"), std::string::npos) << info.Out;
    EXPECT_NE(info.Out.find("order=descending  unique=yes"), std::string::npos) << info.Out;
    const ToolRun check = Tarnis({"check", table, "--index", index});
    EXPECT_EQ(check.Status, 0) << check.Out << check.Err;
}

TEST_F(TarnisBuild, ReindexGivesTheFileThatBuildingTheTagsGives) {
    // The other program's file, reindexed, and the same tags built one by one.
    const std::string theirs = test::CopyDataFile("cdx-fpt/test_cdx.cdx", dir.Path());
    const ToolRun r = Tarnis({"reindex", table, "--index", theirs});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_TRUE(r.Err.empty()) << "no progress bar without a terminal";
    EXPECT_EQ(Lines(r.Out), (std::vector<std::string>{
                                "TEST_CDX.CDX AMOUNT: 300 keys", "TEST_CDX.CDX BORN: 300 keys",
                                "TEST_CDX.CDX CITYACT: 210 keys", "TEST_CDX.CDX NAME: 300 keys",
                                "TEST_CDX.CDX QTYDESC: 293 keys", "TEST_CDX.CDX UNAME: 300 keys"}));
    for (const std::vector<std::string>& tag : std::vector<std::vector<std::string>>{
             {"AMOUNT", "AMOUNT"},
             {"BORN", "BORN"},
             {"CITYACT", "CITY+DTOS(BORN)", "--for", "ACTIVE"},
             {"NAME", "NAME"},
             {"QTYDESC", "STR(QTY,5)+NAME", "--for", "!DELETED()", "--descending"},
             {"UNAME", "UPPER(NAME)"}})
        ASSERT_EQ(Index(tag).Status, 0) << tag[0];
    EXPECT_EQ(test::ReadFileBytes(theirs), test::ReadFileBytes(index));
    for (const char* tag : {"NAME", "AMOUNT", "BORN", "CITYACT", "QTYDESC"}) {
        const ToolRun list =
            Tarnis({"list", table, "--index", theirs, "--tag", tag, "--json", "--deleted"});
        EXPECT_EQ(Listed(list), Walk("cdx-fpt", tag)) << tag;
    }
    const ToolRun check = Tarnis({"check", table, "--index", theirs});
    EXPECT_EQ(check.Status, 0) << check.Out << check.Err;
}

TEST_F(TarnisBuild, ReindexShowsAProgressBarOnATerminal) {
    ASSERT_EQ(Index({"NAME", "NAME"}).Status, 0);
    const ToolRun r = TarnisOnTerminal({"reindex", table, "--index", index});
    ASSERT_EQ(r.Status, 0) << r.Out;
    // Two phases (reading the records, writing the keys), each drawn over itself.
    EXPECT_NE(r.Out.find("\rreindexing [........................................]   0%"),
              std::string::npos);
    EXPECT_NE(r.Out.find("\rreindexing [########################################] 100%"),
              std::string::npos);
    EXPECT_NE(r.Out.find("BUILT.CDX NAME: 300 keys"), std::string::npos) << r.Out;
}

TEST_F(TarnisBuild, DeltagRemovesTagsUntilTheFileIsEmpty) {
    ASSERT_EQ(Index({"NAME", "NAME"}).Status, 0);
    ASSERT_EQ(Index({"AMOUNT", "AMOUNT"}).Status, 0);
    const ToolRun unknown = Tarnis({"deltag", table, index, "NAM"});
    EXPECT_EQ(unknown.Status, 1);
    EXPECT_EQ(unknown.Err, "Cannot find index tag NAM\n");

    const ToolRun one = Tarnis({"deltag", table, index, "name"});
    ASSERT_EQ(one.Status, 0) << one.Err;
    EXPECT_EQ(one.Out, "1 tags left\n");
    const ToolRun info = Tarnis({"info", table, "--index", index});
    EXPECT_NE(info.Out.find("tags        1\n  AMOUNT  key=AMOUNT"), std::string::npos) << info.Out;

    const ToolRun last = Tarnis({"deltag", table, index, "AMOUNT"});
    ASSERT_EQ(last.Status, 0) << last.Err;
    EXPECT_EQ(last.Out, "0 tags left\n");
    EXPECT_EQ(std::filesystem::file_size(index), 1536u);
}

TEST_F(TarnisBuild, MessagesAndStatuses) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"index", table, index, "NAME"},
                                               {"index", table, index, "NAME", "NAME", "--for"},
                                               {"index", table, index, "NAME", "NAME", "--bogus"},
                                               {"index", table, index, " ", "NAME"},
                                               {"index", table, index, "NAME", " "},
                                               {"index", table, dir.File("x.ntx"), "NAME", "NAME"},
                                               {"reindex", table},
                                               {"reindex", table, "--index", dir.File("x.ndx")},
                                               {"deltag", table, index},
                                               {"deltag", table, dir.File("x.mdx"), "NAME"}}) {
        const ToolRun r = Tarnis(args);
        EXPECT_EQ(r.Status, 2) << testing::PrintToString(args);
        EXPECT_NE(r.Err.find("usage: tarnis"), std::string::npos);
    }
    struct Failure {
        std::vector<std::string> Args;
        std::string Err;
    };
    const Failure failures[] = {
        {{"index", table, index, "LONG",
          "NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME+NAME"},
         "Sort key length greater than 240 bytes\n"},
        {{"index", table, index, "EMPTY", "TRIM(SPACE(3))"}, "Cannot create index tag EMPTY\n"},
        {{"deltag", table, dir.File("NONE.CDX"), "NAME"},
         "File not found - " + dir.File("NONE.CDX") + "\n"},
        {{"reindex", table, "--index", dir.File("NONE.CDX")},
         "File not found - " + dir.File("NONE.CDX") + "\n"},
    };
    for (const Failure& f : failures) {
        const ToolRun r = Tarnis(f.Args);
        EXPECT_EQ(r.Status, 1) << testing::PrintToString(f.Args);
        EXPECT_EQ(r.Err, f.Err);
    }
    // The failed builds left no tag behind.
    const ToolRun info = Tarnis({"info", table, "--index", index});
    EXPECT_NE(info.Out.find("tags        0\n"), std::string::npos) << info.Out;
}

// The catalogue's supplied files come with their production indexes: each tag lists
// the records in the byte order of its field (equal values in record order).
TEST(TarnisCatalogueData, EveryTableHasItsCompoundIndex) {
    struct Tagged {
        const char* Table;
        const char* Tag;
        size_t Offset; // of the field in the record
        size_t Width;
    };
    const Tagged tags[] = {{"RADERA", "TITLE", 1, 40},
                           {"RADERA", "CATEGORY", 41, 30},
                           {"CATEGORY", "CATEGORY", 1, 30},
                           {"DEVDIST", "DEVDIST", 1, 30}};
    for (const Tagged& t : tags) {
        const std::string base = test::DataFile(std::string("../../data/") + t.Table);
        const std::string bytes = test::ReadFileBytes(base + ".DBF");
        ASSERT_GT(bytes.size(), 32u);
        EXPECT_EQ(bytes[28] & 1, 1) << t.Table << ": production index flag";
        const auto* h = reinterpret_cast<const unsigned char*>(bytes.data());
        const size_t header = h[8] | h[9] << 8;
        const size_t length = h[10] | h[11] << 8;
        std::vector<std::pair<std::string, int>> keys;
        for (size_t at = header, r = 1; at + length <= bytes.size(); at += length, ++r) {
            std::string key = bytes.substr(at + t.Offset, t.Width);
            key.erase(key.find_last_not_of(' ') + 1);
            keys.emplace_back(key, static_cast<int>(r));
        }
        std::sort(keys.begin(), keys.end());
        std::vector<int> expected;
        for (const auto& key : keys)
            expected.push_back(key.second);
        const ToolRun list = Tarnis({"list", base + ".DBF", "--index", base + ".CDX", "--tag",
                                     t.Tag, "--json", "--deleted"});
        ASSERT_EQ(list.Status, 0) << list.Err;
        EXPECT_EQ(Listed(list), expected) << t.Table << " " << t.Tag;
        const ToolRun check = Tarnis({"check", base + ".DBF", "--index", base + ".CDX"});
        EXPECT_EQ(check.Status, 0) << check.Out << check.Err;
    }
}

} // namespace
} // namespace tarnis
