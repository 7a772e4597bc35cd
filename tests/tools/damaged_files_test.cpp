// Damaged copies of real tables, memo files and compound indexes — cut short
// anywhere, bytes changed in headers, descriptors, memo blocks and index nodes — made
// reproducibly from a seed. The tool must answer each with a clear engine error
// (status 1 and a message) or a correct listing (status 0): never a signal, a hang or
// a usage error.
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sys/wait.h>

namespace tarnis {
namespace {

struct Outcome {
    int Status; // exit status; 128 + signal for a signal; 124 for a hang
    std::string Err;
};

Outcome RunTool(const std::vector<std::string>& args, const std::string& errFile) {
    std::string command = "timeout -s KILL 20 '" + std::string(TARNIS_TOOL) + "'";
    for (const auto& a : args)
        command += " '" + a + "'";
    command += " >/dev/null 2>'" + errFile + "'";
    const int raw = std::system(command.c_str());
    int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0);
    if (status == 137) status = 124; // killed by timeout
    return {status, test::ReadFileBytes(errFile)};
}

// One damaged copy of a file: cut at a random place, or 1..8 bytes changed inside
// the given region (a header, the descriptors, a block or a node).
std::string Damage(std::string bytes, std::mt19937& random, size_t regionStart, size_t regionEnd) {
    if (bytes.empty()) return bytes;
    regionEnd = std::min(regionEnd, bytes.size());
    if (random() % 4 == 0) {
        bytes.resize(random() % bytes.size());
        return bytes;
    }
    const int changes = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < changes && regionEnd > regionStart; ++i) {
        const size_t at = regionStart + random() % (regionEnd - regionStart);
        switch (random() % 3) {
        case 0:
            bytes[at] = static_cast<char>(random());
            break;
        case 1:
            bytes[at] = static_cast<char>(bytes[at] ^ (1 << (random() % 8)));
            break;
        default:
            bytes[at] = static_cast<char>(random() % 2 ? 0xFF : 0x00);
            break;
        }
    }
    return bytes;
}

struct Target {
    const char* File;   // which file of the fixture is damaged
    size_t RegionStart; // where in it
    size_t RegionEnd;
};

TEST(DamagedFiles, ToolAnswersEveryCopyWithAnErrorOrAListing) {
    const std::string table = test::ReadFileBytes(test::DataFile("cdx-fpt/test_cdx.dbf"));
    const std::string memo = test::ReadFileBytes(test::DataFile("cdx-fpt/test_cdx.fpt"));
    const std::string index = test::ReadFileBytes(test::DataFile("cdx-fpt/test_cdx.cdx"));
    const Target targets[] = {
        {"dbf", 0, 32},         // table header
        {"dbf", 32, 258},       // field descriptors
        {"dbf", 258, 1 << 20},  // records
        {"fpt", 0, 512},        // memo header
        {"fpt", 512, 1 << 20},  // memo blocks
        {"cdx", 0, 1024},       // index file header (tag directory)
        {"cdx", 1024, 1536},    // directory node
        {"cdx", 1536, 1 << 20}, // tag headers and nodes
    };
    std::mt19937 random(8);
    test::TempDir dir;
    const std::string err = dir.File("err");
    int copies = 0, errors = 0;
    for (int round = 0; round < 40; ++round) {
        for (const Target& t : targets) {
            const std::string which = t.File;
            test::WriteFileBytes(dir.File("t.dbf"),
                                 which == "dbf" ? Damage(table, random, t.RegionStart, t.RegionEnd)
                                                : table);
            test::WriteFileBytes(dir.File("t.fpt"),
                                 which == "fpt" ? Damage(memo, random, t.RegionStart, t.RegionEnd)
                                                : memo);
            test::WriteFileBytes(dir.File("t.cdx"),
                                 which == "cdx" ? Damage(index, random, t.RegionStart, t.RegionEnd)
                                                : index);
            ++copies;
            const std::vector<std::vector<std::string>> commands = {
                {"list", dir.File("t.dbf"), "--deleted", "--json"},
                {"list", dir.File("t.dbf"), "--index", dir.File("t.cdx"), "--tag",
                 round % 2 ? "NAME" : "QTYDESC"},
                {"check", dir.File("t.dbf"), "--index", dir.File("t.cdx")},
            };
            for (const auto& command : commands) {
                const Outcome o = RunTool(command, err);
                SCOPED_TRACE("round " + std::to_string(round) + " " + which + " " + command[0]);
                // check answers 1 with a report for a damaged tree, like an error.
                EXPECT_TRUE(o.Status == 0 || o.Status == 1)
                    << "status " << o.Status << ": " << o.Err;
                if (o.Status == 1 && command[0] != "check") {
                    EXPECT_FALSE(o.Err.empty());
                    ++errors;
                }
            }
        }
    }
    EXPECT_EQ(copies, 320);
    EXPECT_GT(errors, 50); // the damage is noticed, not only survived
}

} // namespace
} // namespace tarnis
