// The tool's commands on the table handler: import round trip, pack, check, and a
// reindex that restores a damaged tag.
#include "engine/table/table_create.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

namespace tarnis {
namespace {

struct Result {
    int Status;
    std::string Out;
};

Result Tool(const std::string& args, const test::TempDir& dir) {
    const std::string command =
        "'" + std::string(TARNIS_TOOL) + "' " + args + " >'" + dir.File("out") + "' 2>&1";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, test::ReadFileBytes(dir.File("out"))};
}

std::string Q(const std::string& s) {
    return "'" + s + "'";
}

TEST(TarnisHandler, ImportRecreatesTheRecordsAndPackKeepsTheLiveOnes) {
    test::TempDir dir;
    const std::string source = test::DataFile("cdx-fpt/test_cdx.dbf");
    const Result original = Tool("list " + Q(source) + " --json --deleted --codepage latin1", dir);
    ASSERT_EQ(original.Status, 0);
    test::WriteFileBytes(dir.File("all.jsonl"), original.Out);

    const std::string table = dir.File("COPY.DBF"), index = dir.File("COPY.CDX");
    CreateTableFile(table, 0xF5,
                    {{"NAME", 'C', 20},
                     {"CITY", 'C', 15},
                     {"AMOUNT", 'N', 12, 2},
                     {"QTY", 'N', 5},
                     {"BORN", 'D', 8},
                     {"ACTIVE", 'L', 1},
                     {"NOTES", 'M', 10}},
                    64);
    ASSERT_EQ(Tool("index " + Q(table) + " " + Q(index) + " NAME NAME", dir).Status, 0);
    ASSERT_EQ(
        Tool("index " + Q(table) + " " + Q(index) + " CITYACT \"CITY+DTOS(BORN)\" --for ACTIVE",
             dir)
            .Status,
        0);
    const Result imported = Tool("import " + Q(table) + " --index " + Q(index) +
                                     " --codepage latin1 " + Q(dir.File("all.jsonl")),
                                 dir);
    ASSERT_EQ(imported.Status, 0) << imported.Out;
    EXPECT_EQ(Tool("list " + Q(table) + " --json --deleted --codepage latin1", dir).Out,
              original.Out);
    EXPECT_EQ(Tool("check " + Q(table) + " --index " + Q(index), dir).Status, 0);

    const Result packed = Tool("pack " + Q(table) + " --index " + Q(index), dir);
    ASSERT_EQ(packed.Status, 0) << packed.Out;
    EXPECT_EQ(packed.Out, "7 records removed, 293 kept\n");
    const Result check = Tool("check " + Q(table) + " --index " + Q(index), dir);
    EXPECT_EQ(check.Status, 0) << check.Out;
    // The live records, in their order, with their memo texts.
    std::string live;
    for (size_t start = 0, end; (end = original.Out.find('\n', start)) != std::string::npos;
         start = end + 1) {
        const std::string line = original.Out.substr(start, end - start);
        if (line.find("\"deleted\":false") != std::string::npos)
            live += line.substr(line.find(",\"deleted\"")) + "\n";
    }
    std::string after;
    const std::string listed = Tool("list " + Q(table) + " --json --codepage latin1", dir).Out;
    for (size_t start = 0, end; (end = listed.find('\n', start)) != std::string::npos;
         start = end + 1)
        after += listed.substr(start, end - start)
                     .substr(listed.substr(start, end - start).find(",\"deleted\"")) +
                 "\n";
    EXPECT_EQ(after, live);
}

TEST(TarnisHandler, ReindexRestoresADamagedTag) {
    test::TempDir dir;
    for (const char* f : {"test_cdx.dbf", "test_cdx.fpt", "test_cdx.cdx"})
        test::CopyDataFile(std::string("cdx-fpt/") + f, dir.Path());
    const std::string table = dir.File("test_cdx.dbf"), index = dir.File("test_cdx.cdx");
    // A child link of the NAME tag pointing outside the file.
    std::string bytes = test::ReadFileBytes(index);
    bytes[3584 + 12 + 20 + 4] = 0x7F;
    test::WriteFileBytes(index, bytes);
    EXPECT_EQ(Tool("check " + Q(table) + " --index " + Q(index), dir).Status, 1);
    const Result reindex = Tool("reindex " + Q(table) + " --index " + Q(index), dir);
    ASSERT_EQ(reindex.Status, 0) << reindex.Out;
    const Result check = Tool("check " + Q(table) + " --index " + Q(index), dir);
    EXPECT_EQ(check.Status, 0) << check.Out;
    // NAME walks as the other program's tag did.
    const Result walk =
        Tool("list " + Q(table) + " --index " + Q(index) + " --tag NAME --deleted --json", dir);
    std::string records;
    for (size_t start = 0, end; (end = walk.Out.find('\n', start)) != std::string::npos;
         start = end + 1)
        records += walk.Out.substr(start + 9, walk.Out.find(',', start) - start - 9) + "\n";
    std::string expected;
    const std::string lines = test::ReadFileBytes(test::DataFile("cdx-fpt/expected-walk-NAME.txt"));
    for (size_t start = 0, end; (end = lines.find('\n', start)) != std::string::npos;
         start = end + 1)
        if (lines[start] != '#')
            expected += lines.substr(start, lines.find(' ', start) - start) + "\n";
    EXPECT_EQ(records, expected);
}

} // namespace
} // namespace tarnis
