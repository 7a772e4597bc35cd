// Two processes share one table and its compound index: each appends 5 000 records
// at the same time, under each lock protocol. Afterwards the table holds all 10 000
// records, each once, and every tag checks out against the table.
#include "engine/table/TVO_dBaseFld.h"
#include "engine/table/table_create.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sys/wait.h>

namespace tarnis {
namespace {

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

int Shell(const std::string& command) {
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

void WriteRecords(const std::string& path, const std::string& prefix, int count) {
    std::ofstream out(path);
    for (int i = 1; i <= count; ++i)
        out << "{\"NAME\":\"" << prefix << i << "\",\"QTY\":" << (i * 37) % 1000 << "}\n";
}

class SharedAppend : public ::testing::TestWithParam<int> {};

TEST_P(SharedAppend, TwoProcessesAppendEveryRecordOnce) {
    constexpr int PerProcess = 5000;
    test::TempDir dir;
    const std::string table = dir.File("S.DBF"), index = dir.File("S.CDX");
    CreateTableFile(table, 0xF5, {{"NAME", 'C', 12}, {"QTY", 'N', 5}});
    const std::string tool = Quote(TARNIS_TOOL);
    ASSERT_EQ(Shell(tool + " index " + Quote(table) + " " + Quote(index) + " NAME NAME"), 0);
    ASSERT_EQ(Shell(tool + " index " + Quote(table) + " " + Quote(index) + " QTY QTY"), 0);
    WriteRecords(dir.File("a.jsonl"), "A", PerProcess);
    WriteRecords(dir.File("b.jsonl"), "B", PerProcess);

    const std::string protocol = std::to_string(GetParam());
    const auto import = [&](const char* file) {
        return tool + " import " + Quote(table) + " --index " + Quote(index) +
               " --shared --protocol " + protocol + " " + Quote(dir.File(file)) + " 2>" +
               Quote(dir.File(std::string(file) + ".err"));
    };
    // Both at once; each one's exit status lands in a file.
    const int both =
        Shell("(" + import("a.jsonl") + "; echo $? > " + Quote(dir.File("a.status")) + ") & (" +
              import("b.jsonl") + "; echo $? > " + Quote(dir.File("b.status")) + ") & wait");
    ASSERT_EQ(both, 0);
    EXPECT_EQ(test::ReadFileBytes(dir.File("a.status")), "0\n")
        << test::ReadFileBytes(dir.File("a.jsonl.err"));
    EXPECT_EQ(test::ReadFileBytes(dir.File("b.status")), "0\n")
        << test::ReadFileBytes(dir.File("b.jsonl.err"));

    {
        TVO_dBaseFld result(table, false, true);
        EXPECT_EQ(result.RecordCount, 2 * PerProcess);
        std::set<std::string> names;
        for (result.GoToRecord(MoveTop); !result.AtEof; result.GoToRecord(MoveNext))
            names.insert(result.GetTextN(1));
        EXPECT_EQ(names.size(), static_cast<size_t>(2 * PerProcess));
    }
    EXPECT_EQ(Shell(tool + " check " + Quote(table) + " --index " + Quote(index) + " >" +
                    Quote(dir.File("check"))),
              0)
        << test::ReadFileBytes(dir.File("check"));
}

std::string ProtocolName(const ::testing::TestParamInfo<int>& info) {
    static const char* const Names[] = {"Default", "DB4Lock", "ClipLock", "FoxLock"};
    return Names[info.param];
}

INSTANTIATE_TEST_SUITE_P(LockProtocols, SharedAppend, ::testing::Values(0, 1, 2, 3), ProtocolName);

} // namespace
} // namespace tarnis
