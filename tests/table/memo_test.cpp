// Memo files: reading the fixtures of other writers, writing and reading back in the
// three formats, the block layouts the formats prescribe, damaged files, renaming and
// the memo lock of shared files.
#include "engine/base/tv6_eror.h"
#include "engine/table/table_create.h"
#include "engine/table/tv6_DBF.h"
#include "engine/table/tv6_memo.h"
#include "platform/os_file.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <vector>

namespace tarnis {
namespace {

using test::CopyDataFile;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

// ---------------------------------------------------------------------------
// helpers
// ---------------------------------------------------------------------------

struct TFormat {
    const char* Name;
    uint8_t Version;
    int32_t BlockSize;
};

constexpr TFormat Dbase3{"dBaseIII", 0x83, 512};
constexpr TFormat Dbase4{"dBaseIV", 0x8B, 512};
constexpr TFormat FoxPro{"FoxPro", 0xF5, 64};
constexpr TFormat VisualFoxPro{"VisualFoxPro", 0x30, 64};

std::string FormatName(const testing::TestParamInfo<TFormat>& info) {
    return info.param.Name;
}
void PrintTo(const TFormat& format, std::ostream* out) {
    *out << format.Name;
}

uint32_t Le32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
    return v;
}
uint32_t Be32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
    return v;
}
void PutLe32(std::string& bytes, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>(v >> (8 * i));
}
void PutBe32(std::string& bytes, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>(v >> (8 * (3 - i)));
}

// Printable text of n bytes that differs with the seed (never the dBase III
// terminator 0x1A).
std::string Text(size_t n, int seed) {
    static const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789 ,.;\r\n";
    std::string text(n, ' ');
    for (size_t i = 0; i < n; ++i)
        text[i] = alphabet[(i * 7 + static_cast<size_t>(seed) * 13) % alphabet.size()];
    return text;
}

std::string ReadAll(TVobjMemo& memo, int32_t block) {
    const int32_t length = memo.MemoLength(block);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    int32_t capacity = length + 1;
    memo.ReadMemo(reinterpret_cast<uint8_t*>(text.data()), block, capacity);
    text.resize(static_cast<size_t>(capacity));
    return text;
}

int32_t Write(TVobjMemo& memo, int32_t block, const std::string& text) {
    int32_t length = static_cast<int32_t>(text.size());
    return memo.WriteMemo(reinterpret_cast<const uint8_t*>(text.data()), block, length);
}

// The field layer reads a memo before it writes it back.
int32_t Rewrite(TVobjMemo& memo, int32_t block, const std::string& text) {
    if (block != 0) ReadAll(memo, block);
    return Write(memo, block, text);
}

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ETarnisError& e) {
        return e.what();
    }
    return "<no error>";
}

std::string FormatErrorText(const TVobjMemo& memo) {
    return "dBase memo record has format error - " + memo.FileName;
}

// Replaces the engine's error handler for one test with one that records and returns,
// as a caller that does not want exceptions would.
class TRecordingHandler {
public:
    TRecordingHandler() {
        Codes().clear();
        EngineErrorProc = [](int32_t Code, int32_t SubCode, std::string_view) {
            Codes().emplace_back(Code, SubCode);
        };
    }
    ~TRecordingHandler() { EngineErrorProc = DefaultEngineError; }
    TRecordingHandler(const TRecordingHandler&) = delete;
    TRecordingHandler& operator=(const TRecordingHandler&) = delete;

    static std::vector<std::pair<int32_t, int32_t>>& Codes() {
        static std::vector<std::pair<int32_t, int32_t>> codes;
        return codes;
    }
};

const std::pair<int32_t, int32_t> FormatErrorCode{1005, 6199};

std::pair<int32_t, int32_t> FirstReported() {
    const auto& codes = TRecordingHandler::Codes();
    return codes.empty() ? std::pair<int32_t, int32_t>{0, 0} : codes.front();
}

// A table with a character field and a memo field in a temporary directory.
class TMemoTable {
public:
    explicit TMemoTable(const TFormat& format, const std::string& name = "t.dbf")
        : Format(format), Path(Dir.File(name)) {
        CreateTableFile(Path, format.Version,
                        {{"NAME", 'C', 10}, {"NOTES", 'M', format.Version == 0x30 ? 4 : 10}},
                        format.BlockSize);
        Open();
    }

    void Open(bool shared = false) {
        Table.reset();
        Table = std::make_unique<TVO_dBaseDBF>(Path, true, shared);
        Memo = Table->OpenMemo();
        ASSERT_NE(Memo, nullptr);
        MemoPath = Memo->FileName;
    }
    void Close() {
        Memo = nullptr;
        Table.reset();
    }
    std::string MemoBytes() const { return ReadFileBytes(MemoPath); }
    // Changes the closed memo file's bytes.
    void Damage(const std::function<void(std::string&)>& change) {
        Close();
        std::string bytes = ReadFileBytes(MemoPath);
        change(bytes);
        WriteFileBytes(MemoPath, bytes);
    }

    TFormat Format;
    TempDir Dir;
    std::string Path;
    std::string MemoPath;
    std::unique_ptr<TVO_dBaseDBF> Table;
    TVobjMemo* Memo = nullptr;
};

// ---------------------------------------------------------------------------
// fixtures written by other implementations
// ---------------------------------------------------------------------------

struct TFixture {
    const char* Name;
    const char* Table;
    const char* Memo;
};
void PrintTo(const TFixture& value, std::ostream* out) {
    *out << value.Name;
}

// Undoes the dumps' escapes: \xHH, \r, \n, \t, \\ and \".
std::string Unescape(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else if (c == 'r') {
            out += '\r';
        } else if (c == 'n') {
            out += '\n';
        } else if (c == 't') {
            out += '\t';
        } else {
            out += c;
        }
    }
    return out;
}

// Record number -> memo text of NOTES, from either dump form:
//   `recno [*] | ... | NOTES=M"text"`  or tab-separated `... NOTES=text`.
std::map<int32_t, std::string> ExpectedMemos(const std::string& dumpFile) {
    std::map<int32_t, std::string> memos;
    std::istringstream lines(ReadFileBytes(dumpFile));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        const int32_t recno = std::stoi(line);
        if (const size_t quoted = line.find("NOTES=M\""); quoted != std::string::npos) {
            const size_t start = quoted + 8;
            const size_t end = line.rfind('"');
            memos[recno] = Unescape(std::string_view(line).substr(start, end - start));
        } else {
            const size_t start = line.find("\tNOTES=") + 7;
            const size_t end = line.find('\t', start);
            memos[recno] = Unescape(
                std::string_view(line).substr(start, end == std::string::npos ? end : end - start));
        }
    }
    return memos;
}

// The block number in the record image: a 4-byte integer in a version 0x30 field of
// width 4, right-aligned decimal text otherwise.
int32_t MemoBlockOf(const TVO_dBaseDBF& table, const char* field) {
    int32_t offset = 1;
    for (int32_t i = 0; i < table.FieldCount; ++i) {
        const uint8_t* d = &table.Descriptors[static_cast<size_t>(i) * 32];
        const int32_t width = d[16] + (d[11] == 'C' ? 256 * d[17] : 0);
        if (std::string(reinterpret_cast<const char*>(d),
                        strnlen(reinterpret_cast<const char*>(d), 11)) == field) {
            const uint8_t* p = table.CurrentRecord + offset;
            if (table.Version == 0x30 && width == 4)
                return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | p[3] << 24);
            std::string text(reinterpret_cast<const char*>(p), static_cast<size_t>(width));
            const size_t digits = text.find_first_not_of(' ');
            return digits == std::string::npos ? 0 : std::stoi(text.substr(digits));
        }
        offset += width;
    }
    ADD_FAILURE() << "no field " << field;
    return 0;
}

class MemoFixture : public testing::TestWithParam<TFixture> {};

TEST_P(MemoFixture, EveryMemoReadsAsTheWriterWroteIt) {
    const TFixture& fixture = GetParam();
    TempDir dir;
    const std::string table =
        CopyDataFile(std::string(fixture.Name) + "/" + fixture.Table, dir.Path());
    CopyDataFile(std::string(fixture.Name) + "/" + fixture.Memo, dir.Path());
    const auto expected =
        ExpectedMemos(test::DataFile(std::string(fixture.Name) + "/expected-dump.txt"));

    TVO_dBaseDBF dbf(table, false, false);
    TVobjMemo* memo = dbf.OpenMemo();
    ASSERT_NE(memo, nullptr);
    ASSERT_EQ(static_cast<size_t>(dbf.RecordCount), expected.size());
    int32_t withText = 0;
    for (const auto& [recno, text] : expected) {
        dbf.GoToRecord(recno);
        const int32_t block = MemoBlockOf(dbf, "NOTES");
        EXPECT_EQ(memo->MemoLength(block), static_cast<int32_t>(text.size())) << "record " << recno;
        EXPECT_EQ(ReadAll(*memo, block), text) << "record " << recno;
        if (!text.empty()) ++withText;
    }
    EXPECT_GT(withText, 0);
}

INSTANTIATE_TEST_SUITE_P(MemoFixtures, MemoFixture,
                         testing::Values(TFixture{"cdx-fpt", "test_cdx.dbf", "test_cdx.fpt"},
                                         TFixture{"vfp-cdx", "test_cdx.dbf", "test_cdx.fpt"},
                                         TFixture{"ntx-dbt", "test_ntx.dbf", "test_ntx.dbt"},
                                         TFixture{"ndx-dbt3", "XB.DBF", "XB.DBT"},
                                         TFixture{"ndx-dbt4", "XB.DBF", "XB.DBT"}),
                         [](const testing::TestParamInfo<TFixture>& info) {
                             std::string name = info.param.Name;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

// ---------------------------------------------------------------------------
// writing and reading back, every format
// ---------------------------------------------------------------------------

class MemoFormat : public testing::TestWithParam<TFormat> {};

// Many rewrites of a few records' memos with lengths around the block boundaries:
// after each write every record's memo still reads back, also after reopening.
TEST_P(MemoFormat, RewrittenMemosAllReadBack) {
    TMemoTable t(GetParam());
    const std::vector<size_t> lengths = {0,   1,   7,    8,    55,   56,   57,    63,
                                         64,  100, 120,  200,  504,  505,  510,   511,
                                         512, 513, 1000, 1016, 1024, 4000, 40000, 65519};
    struct TRecord {
        int32_t Block = 0;
        std::string Text;
    };
    std::vector<TRecord> records(10);
    std::mt19937 random(20240611);
    auto checkAll = [&](int step) {
        for (size_t r = 0; r < records.size(); ++r)
            ASSERT_EQ(ReadAll(*t.Memo, records[r].Block), records[r].Text)
                << "step " << step << " record " << r;
    };
    for (int step = 0; step < 150; ++step) {
        TRecord& record = records[random() % records.size()];
        record.Text = Text(lengths[random() % lengths.size()], step);
        record.Block = Rewrite(*t.Memo, record.Block, record.Text);
        checkAll(step);
        if (HasFatalFailure()) return;
        if (step == 100) {
            t.Close();
            t.Open();
            checkAll(step);
        }
    }
}

TEST_P(MemoFormat, LongMemoCrossesTransferPieces) {
    TMemoTable t(GetParam());
    // dBase III memos end at their first terminator and are measured up to 65 519 bytes.
    const std::string text = Text(GetParam().Version == 0x83 ? 65519 : 100000, 3);
    const int32_t block = Write(*t.Memo, 0, text);
    t.Close();
    t.Open();
    EXPECT_EQ(ReadAll(*t.Memo, block), text);
}

TEST_P(MemoFormat, NoMemoHasLengthZeroAndReadsEmpty) {
    TMemoTable t(GetParam());
    EXPECT_EQ(t.Memo->MemoLength(0), 0);
    uint8_t buffer[4] = {'x', 'x', 'x', 'x'};
    int32_t length = 4;
    t.Memo->ReadMemo(buffer, 0, length);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(buffer[0], 0);
}

TEST_P(MemoFormat, EmptyTextForRecordWithoutMemoWritesNothing) {
    TMemoTable t(GetParam());
    const std::string before = t.MemoBytes();
    int32_t block = 0;
    int32_t length = 0;
    EXPECT_EQ(t.Memo->WriteMemo(reinterpret_cast<const uint8_t*>(""), block, length), 0);
    EXPECT_EQ(block, 0);
    EXPECT_EQ(t.MemoBytes(), before);
}

TEST_P(MemoFormat, SmallBufferGetsOnlyItsCapacity) {
    TMemoTable t(GetParam());
    const std::string text = Text(1000, 5);
    const int32_t block = Write(*t.Memo, 0, text);
    std::string buffer(300, '#');
    int32_t length = 100;
    t.Memo->ReadMemo(reinterpret_cast<uint8_t*>(buffer.data()), block, length);
    EXPECT_EQ(length, 100);
    EXPECT_EQ(buffer.substr(0, 100), text.substr(0, 100));
    EXPECT_EQ(buffer[100], '#');
}

TEST_P(MemoFormat, BlockBeyondEndOfFileIsFormatError) {
    TMemoTable t(GetParam());
    Write(*t.Memo, 0, "hello");
    for (const int32_t block : {1000000, -3, std::numeric_limits<int32_t>::max()}) {
        EXPECT_EQ(ErrorOf([&] { t.Memo->MemoLength(block); }), FormatErrorText(*t.Memo)) << block;
        EXPECT_EQ(ErrorOf([&] { ReadAll(*t.Memo, block); }), FormatErrorText(*t.Memo)) << block;
    }
}

TEST_P(MemoFormat, HandlerThatReturnsGetsEmptyMemoForBlockBeyondEnd) {
    TMemoTable t(GetParam());
    TRecordingHandler handler;
    EXPECT_EQ(t.Memo->MemoLength(1000000), 0);
    std::string buffer(16, '#');
    int32_t length = 16;
    t.Memo->ReadMemo(reinterpret_cast<uint8_t*>(buffer.data()), 1000000, length);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(FirstReported(), FormatErrorCode);
}

// A record whose block number lies outside the file gets a new memo, and an empty text
// clears the reference instead of writing anything.
TEST_P(MemoFormat, WritingOverBlockOutsideFileStartsNewMemo) {
    TMemoTable t(GetParam());
    const int32_t first = Write(*t.Memo, 0, "first");
    const int32_t moved = Write(*t.Memo, 1000000, "second");
    EXPECT_NE(moved, 1000000);
    EXPECT_EQ(ReadAll(*t.Memo, first), "first");
    EXPECT_EQ(ReadAll(*t.Memo, moved), "second");
    const std::string before = t.MemoBytes();
    EXPECT_EQ(Write(*t.Memo, 1000000, ""), 0);
    EXPECT_EQ(t.MemoBytes(), before);
}

// Rewriting a memo in place is only safe for the memo whose blocks were counted by
// the last read or write; another record's memo is written anew.
TEST_P(MemoFormat, WriteWithoutReadingFirstNeverOverwritesNeighbour) {
    TMemoTable t(GetParam());
    const int32_t big = Write(*t.Memo, 0, Text(3000, 1));
    const int32_t small = Write(*t.Memo, 0, "x");
    const int32_t after = Write(*t.Memo, 0, "neighbour");
    ReadAll(*t.Memo, big);
    const int32_t rewritten = Write(*t.Memo, small, Text(2000, 2));
    EXPECT_EQ(ReadAll(*t.Memo, after), "neighbour");
    EXPECT_EQ(ReadAll(*t.Memo, rewritten), Text(2000, 2));
    EXPECT_EQ(ReadAll(*t.Memo, big), Text(3000, 1));
}

TEST_P(MemoFormat, WriteBeyondTwoGigabytesIsRefused) {
    TMemoTable t(GetParam());
    t.Close();
    // No block of any of the formats starts below 2^31 after this size.
    std::filesystem::resize_file(t.MemoPath, 0x7FFFFFF0);
    t.Open();
    EXPECT_EQ(ErrorOf([&] { Write(*t.Memo, 0, "hello"); }), "Disk write error - " + t.MemoPath);
    EXPECT_EQ(std::filesystem::file_size(t.MemoPath), 0x7FFFFFF0u);
}

INSTANTIATE_TEST_SUITE_P(MemoFormats, MemoFormat,
                         testing::Values(Dbase3, Dbase4, FoxPro, VisualFoxPro), FormatName);

// ---------------------------------------------------------------------------
// block layouts
// ---------------------------------------------------------------------------

TEST(MemoDbase3, TextOf510BytesFitsOneBlockAnd512BytesTakeTwo) {
    TMemoTable t(Dbase3);
    const int32_t first = Write(*t.Memo, 0, Text(510, 1));
    EXPECT_EQ(first, 1);
    EXPECT_EQ(Le32(t.MemoBytes(), 0), 2u);
    EXPECT_EQ(t.MemoBytes().substr(512 + 510, 2), "\x1A\x1A");

    const int32_t second = Write(*t.Memo, 0, Text(512, 2));
    EXPECT_EQ(second, 2);
    const std::string bytes = t.MemoBytes();
    EXPECT_EQ(Le32(bytes, 0), 4u);
    EXPECT_EQ(bytes.size(), 4u * 512);
    EXPECT_EQ(bytes.substr(3 * 512, 3), std::string("\x1A\x1A\0", 3));

    EXPECT_EQ(ReadAll(*t.Memo, first), Text(510, 1));
    EXPECT_EQ(ReadAll(*t.Memo, second), Text(512, 2));
}

TEST(MemoDbase3, ShorterTextIsRewrittenInPlace) {
    TMemoTable t(Dbase3);
    const int32_t block = Write(*t.Memo, 0, Text(1500, 1));
    const uint32_t nextFree = Le32(t.MemoBytes(), 0);
    EXPECT_EQ(Rewrite(*t.Memo, block, "short"), block);
    EXPECT_EQ(Le32(t.MemoBytes(), 0), nextFree);
    EXPECT_EQ(ReadAll(*t.Memo, block), "short");
}

TEST(MemoDbase3, MemoWithoutTerminatorEndsAtEndOfFile) {
    TMemoTable t(Dbase3);
    t.Damage([](std::string& bytes) {
        PutLe32(bytes, 0, 3);
        bytes += std::string(700, 'x');
    });
    t.Open();
    EXPECT_EQ(t.Memo->MemoLength(1), 700);
    EXPECT_EQ(ReadAll(*t.Memo, 1), std::string(700, 'x'));
}

TEST(MemoDbase3, LengthScanStopsAfter65519Bytes) {
    TMemoTable t(Dbase3);
    t.Damage([](std::string& bytes) {
        PutLe32(bytes, 0, 140);
        bytes += std::string(70000, 'x') + "\x1A\x1A";
    });
    t.Open();
    EXPECT_EQ(t.Memo->MemoLength(1), 65519);
}

TEST(MemoFoxPro, MemoGrowsInItsBlocksUntilItNeedsMore) {
    TMemoTable t(FoxPro);
    // The 512-byte header fills blocks 0-7 of 64 bytes.
    const int32_t block = Write(*t.Memo, 0, Text(100, 1));
    EXPECT_EQ(block, 8);
    EXPECT_EQ(Be32(t.MemoBytes(), 0), 10u);

    EXPECT_EQ(Rewrite(*t.Memo, block, Text(110, 2)), 8);
    EXPECT_EQ(Be32(t.MemoBytes(), 0), 10u);

    const int32_t moved = Rewrite(*t.Memo, block, Text(200, 3));
    EXPECT_EQ(moved, 10);
    EXPECT_EQ(Be32(t.MemoBytes(), 0), 14u);
    EXPECT_EQ(ReadAll(*t.Memo, moved), Text(200, 3));
}

TEST(MemoFoxPro, BlockHeaderAndPaddingAsWritten) {
    TMemoTable t(FoxPro);
    Write(*t.Memo, 0, "hello");
    const std::string bytes = t.MemoBytes();
    ASSERT_EQ(bytes.size(), 9u * 64);
    EXPECT_EQ(Be32(bytes, 8 * 64), 1u);
    EXPECT_EQ(Be32(bytes, 8 * 64 + 4), 5u);
    EXPECT_EQ(bytes.substr(8 * 64 + 8), "hello" + std::string(64 - 13, '\0'));
}

TEST(MemoFoxPro, BlockOfTypeTwoIsFormatError) {
    TMemoTable t(FoxPro);
    const int32_t block = Write(*t.Memo, 0, "picture");
    t.Damage([&](std::string& bytes) { PutBe32(bytes, static_cast<size_t>(block) * 64, 2); });
    t.Open();
    EXPECT_EQ(ErrorOf([&] { t.Memo->MemoLength(block); }), FormatErrorText(*t.Memo));
}

TEST(MemoDbase4, FreedRunsAreReusedFirstFit) {
    TMemoTable t(Dbase4);
    auto head = [&] { return Le32(t.MemoBytes(), 0); };
    const int32_t a = Write(*t.Memo, 0, Text(1000, 1)); // 2 blocks
    const int32_t b = Write(*t.Memo, 0, Text(100, 2));  // 1 block
    const int32_t c = Write(*t.Memo, 0, Text(1500, 3)); // 3 blocks
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 3);
    EXPECT_EQ(c, 4);
    EXPECT_EQ(head(), 7u);

    // Growing to 4 blocks frees blocks 1-2 and appends at the end of the file.
    const int32_t grown = Rewrite(*t.Memo, a, Text(2000, 4));
    EXPECT_EQ(grown, 7);
    EXPECT_EQ(head(), 1u);
    EXPECT_EQ(Le32(t.MemoBytes(), 512), 11u); // the freed run links to the end of the file
    EXPECT_EQ(Le32(t.MemoBytes(), 516), 2u);  // and is 2 blocks long

    // New memos take the freed run: the first splits it, the second uses the rest.
    const int32_t d = Write(*t.Memo, 0, Text(300, 5));
    EXPECT_EQ(d, 1);
    EXPECT_EQ(head(), 2u);
    const int32_t e = Write(*t.Memo, 0, Text(200, 6));
    EXPECT_EQ(e, 2);
    EXPECT_EQ(head(), 11u);
    const int32_t f = Write(*t.Memo, 0, Text(50, 7));
    EXPECT_EQ(f, 11);

    EXPECT_EQ(ReadAll(*t.Memo, b), Text(100, 2));
    EXPECT_EQ(ReadAll(*t.Memo, c), Text(1500, 3));
    EXPECT_EQ(ReadAll(*t.Memo, grown), Text(2000, 4));
    EXPECT_EQ(ReadAll(*t.Memo, d), Text(300, 5));
    EXPECT_EQ(ReadAll(*t.Memo, e), Text(200, 6));
    EXPECT_EQ(ReadAll(*t.Memo, f), Text(50, 7));
}

TEST(MemoDbase4, BlockHeaderAsWritten) {
    TMemoTable t(Dbase4);
    Write(*t.Memo, 0, "hello");
    const std::string bytes = t.MemoBytes();
    ASSERT_EQ(bytes.size(), 2u * 512);
    EXPECT_EQ(bytes.substr(512, 8), std::string("\xFF\xFF\x08\x00\x0D\x00\x00\x00", 8));
    EXPECT_EQ(bytes.substr(520), "hello" + std::string(512 - 13, '\0'));
}

// Text and header filling their blocks exactly are given one block more than they
// write, so the chain names the block just past the end of the file.
TEST(MemoDbase4, ChainEndingJustPastTheFileIsAccepted) {
    TMemoTable t(Dbase4);
    const int32_t full = Write(*t.Memo, 0, Text(504, 1));
    EXPECT_EQ(t.MemoBytes().size(), 2u * 512);
    EXPECT_EQ(Le32(t.MemoBytes(), 0), 3u);
    const int32_t next = Write(*t.Memo, 0, "next");
    EXPECT_EQ(next, 2);
    EXPECT_EQ(ReadAll(*t.Memo, full), Text(504, 1));
    EXPECT_EQ(ReadAll(*t.Memo, next), "next");
}

TEST(MemoDbase4, ZeroChainHeadMeansNothingIsFree) {
    TMemoTable t(Dbase4);
    const int32_t first = Write(*t.Memo, 0, "first");
    t.Damage([](std::string& bytes) { PutLe32(bytes, 0, 0); });
    t.Open();
    const int32_t second = Write(*t.Memo, 0, "second");
    EXPECT_EQ(second, 2);
    EXPECT_EQ(ReadAll(*t.Memo, first), "first");
    EXPECT_EQ(ReadAll(*t.Memo, second), "second");
}

TEST(MemoDbase4, FreeingAFreedRunAgainIsFormatError) {
    TMemoTable t(Dbase4);
    const int32_t block = Write(*t.Memo, 0, Text(700, 1));
    t.Memo->FreeBlocks(block);
    EXPECT_EQ(ErrorOf([&] { t.Memo->FreeBlocks(block); }), FormatErrorText(*t.Memo));
}

// ---------------------------------------------------------------------------
// damaged files
// ---------------------------------------------------------------------------

struct TDamage {
    const char* Name;
    TFormat Format;
    // Changes the bytes of a memo file whose memo "hello" starts at the given block.
    std::function<void(std::string& bytes, size_t blockOffset)> Change;
};
void PrintTo(const TDamage& value, std::ostream* out) {
    *out << value.Name;
}

class MemoDamagedBlock : public testing::TestWithParam<TDamage> {};

TEST_P(MemoDamagedBlock, ReadingReportsFormatError) {
    TMemoTable t(GetParam().Format);
    const int32_t block = Write(*t.Memo, 0, "hello");
    t.Damage([&](std::string& bytes) {
        GetParam().Change(bytes, static_cast<size_t>(block) *
                                     static_cast<size_t>(GetParam().Format.BlockSize));
    });
    t.Open();
    EXPECT_EQ(ErrorOf([&] { t.Memo->MemoLength(block); }), FormatErrorText(*t.Memo));
    EXPECT_EQ(ErrorOf([&] { ReadAll(*t.Memo, block); }), FormatErrorText(*t.Memo));
}

// A handler that returns gets no more than the file holds from the block on.
TEST_P(MemoDamagedBlock, HandlerThatReturnsGetsAtMostTheFile) {
    TMemoTable t(GetParam().Format);
    const int32_t block = Write(*t.Memo, 0, "hello");
    t.Damage([&](std::string& bytes) {
        GetParam().Change(bytes, static_cast<size_t>(block) *
                                     static_cast<size_t>(GetParam().Format.BlockSize));
    });
    t.Open();
    TRecordingHandler handler;
    const int32_t room =
        static_cast<int32_t>(t.MemoBytes().size()) - block * GetParam().Format.BlockSize - 8;
    const int32_t length = t.Memo->MemoLength(block);
    EXPECT_GE(length, 0);
    EXPECT_LE(length, room);
    EXPECT_EQ(FirstReported(), FormatErrorCode);
}

INSTANTIATE_TEST_SUITE_P(
    MemoDamage, MemoDamagedBlock,
    testing::Values(TDamage{"FoxLengthPastEnd", FoxPro,
                            [](std::string& b, size_t at) { PutBe32(b, at + 4, 0xFFFFFFF0u); }},
                    TDamage{"FoxLengthOneBytePastEnd", FoxPro,
                            [](std::string& b, size_t at) {
                                PutBe32(b, at + 4, static_cast<uint32_t>(b.size() - at - 7));
                            }},
                    TDamage{"FoxTypeTwo", FoxPro,
                            [](std::string& b, size_t at) { PutBe32(b, at, 2); }},
                    TDamage{"Dbase4LengthPastEnd", Dbase4,
                            [](std::string& b, size_t at) { PutLe32(b, at + 4, 0x7FFFFFFFu); }},
                    TDamage{"Dbase4LengthBelowHeader", Dbase4,
                            [](std::string& b, size_t at) { PutLe32(b, at + 4, 3); }},
                    TDamage{"Dbase4NoMarker", Dbase4,
                            [](std::string& b, size_t at) { b[at] = b[at + 1] = 0; }}),
    [](const testing::TestParamInfo<TDamage>& info) { return info.param.Name; });

TEST(MemoFoxPro, HandlerThatReturnsReadsTextUpToEndOfFile) {
    TMemoTable t(FoxPro);
    const int32_t block = Write(*t.Memo, 0, "hello");
    t.Damage([&](std::string& bytes) {
        PutBe32(bytes, static_cast<size_t>(block) * 64 + 4, 0xFFFFFFF0u);
    });
    t.Open();
    TRecordingHandler handler;
    EXPECT_EQ(ReadAll(*t.Memo, block), "hello" + std::string(64 - 13, '\0'));
}

struct THeaderDamage {
    const char* Name;
    TFormat Format;
    std::function<void(std::string& bytes)> Change;
};
void PrintTo(const THeaderDamage& value, std::ostream* out) {
    *out << value.Name;
}

class MemoDamagedHeader : public testing::TestWithParam<THeaderDamage> {};

TEST_P(MemoDamagedHeader, OpeningReportsFormatError) {
    TMemoTable t(GetParam().Format);
    t.Damage(GetParam().Change);
    EXPECT_EQ(ErrorOf([&] { t.Open(); }), "dBase memo record has format error - " + t.MemoPath);
}

// The file is neither padded to the block size it names nor read with it.
TEST_P(MemoDamagedHeader, HandlerThatReturnsLeavesFileAlone) {
    TMemoTable t(GetParam().Format);
    t.Damage(GetParam().Change);
    const std::string before = ReadFileBytes(t.MemoPath);
    TRecordingHandler handler;
    t.Open();
    EXPECT_EQ(FirstReported(), FormatErrorCode);
    EXPECT_EQ(t.Memo->MemoLength(1), 0);
    EXPECT_EQ(ReadFileBytes(t.MemoPath), before);
}

INSTANTIATE_TEST_SUITE_P(
    MemoDamage, MemoDamagedHeader,
    testing::Values(
        THeaderDamage{"FoxBlockSizeZero", FoxPro, [](std::string& b) { b[6] = b[7] = 0; }},
        THeaderDamage{"Dbase4BlockSizeZero", Dbase4, [](std::string& b) { PutLe32(b, 20, 0); }},
        THeaderDamage{"Dbase4BlockSizeHuge", Dbase4,
                      [](std::string& b) { PutLe32(b, 20, 0x7FFFFFFF); }},
        THeaderDamage{"Dbase4BlockSizeTiny", Dbase4, [](std::string& b) { PutLe32(b, 20, 8); }},
        THeaderDamage{"Dbase4HeaderCutShort", Dbase4, [](std::string& b) { b.resize(16); }}),
    [](const testing::TestParamInfo<THeaderDamage>& info) { return info.param.Name; });

// dBase IV files of 6 blocks of 512 bytes whose free chain is damaged.
struct TChainDamage {
    const char* Name;
    uint32_t Head;
    std::vector<std::pair<uint32_t, uint32_t>> Runs; // [next, length] at blocks 1, 2, ...
};
void PrintTo(const TChainDamage& value, std::ostream* out) {
    *out << value.Name;
}

class MemoDamagedChain : public testing::TestWithParam<TChainDamage> {
protected:
    void Build(TMemoTable& t) {
        t.Damage([&](std::string& bytes) {
            bytes.assign(6 * 512, '\0');
            PutLe32(bytes, 0, GetParam().Head);
            PutLe32(bytes, 20, 512);
            for (size_t i = 0; i < GetParam().Runs.size(); ++i) {
                PutLe32(bytes, (i + 1) * 512, GetParam().Runs[i].first);
                PutLe32(bytes, (i + 1) * 512 + 4, GetParam().Runs[i].second);
            }
        });
        t.Open();
    }
};

TEST_P(MemoDamagedChain, WritingReportsFormatError) {
    TMemoTable t(Dbase4);
    Build(t);
    EXPECT_EQ(ErrorOf([&] { Write(*t.Memo, 0, Text(2000, 1)); }), FormatErrorText(*t.Memo));
}

// With a handler that returns, the memo goes at the end of the file and the damaged
// link is replaced.
TEST_P(MemoDamagedChain, HandlerThatReturnsAppendsAtEnd) {
    TMemoTable t(Dbase4);
    Build(t);
    TRecordingHandler handler;
    const int32_t block = Write(*t.Memo, 0, Text(2000, 1));
    EXPECT_EQ(block, 6);
    EXPECT_EQ(FirstReported(), FormatErrorCode);
    EXPECT_EQ(ReadAll(*t.Memo, block), Text(2000, 1));
}

INSTANTIATE_TEST_SUITE_P(MemoDamage, MemoDamagedChain,
                         testing::Values(TChainDamage{"Loop", 1, {{2, 1}, {1, 1}}},
                                         TChainDamage{"SelfLoop", 1, {{1, 1}}},
                                         TChainDamage{"LinkPastEnd", 50, {}},
                                         TChainDamage{"LaterLinkPastEnd", 1, {{40, 1}}},
                                         TChainDamage{"RunPastEnd", 1, {{6, 10}}}),
                         [](const testing::TestParamInfo<TChainDamage>& info) {
                             return info.param.Name;
                         });

TEST(MemoFile, NextFreeInsideTheDataIsReplacedByEndOfFile) {
    for (const TFormat& format : {Dbase3, FoxPro}) {
        TMemoTable t(format);
        const int32_t first = Write(*t.Memo, 0, Text(700, 1));
        t.Damage([](std::string& bytes) { bytes[0] = bytes[1] = bytes[2] = bytes[3] = 0; });
        t.Open();
        const int32_t second = Write(*t.Memo, 0, "second");
        EXPECT_GT(second, first) << format.Name;
        EXPECT_EQ(ReadAll(*t.Memo, first), Text(700, 1)) << format.Name;
        EXPECT_EQ(ReadAll(*t.Memo, second), "second") << format.Name;
    }
}

// ---------------------------------------------------------------------------
// opening, names and renaming
// ---------------------------------------------------------------------------

TEST(MemoFile, MissingMemoFileIsReported) {
    TMemoTable t(FoxPro);
    t.Close();
    std::filesystem::remove(t.MemoPath);
    EXPECT_EQ(ErrorOf([&] { t.Open(); }), "File not found - " + t.Dir.File("t.fpt"));
}

TEST(MemoFile, TableWithoutMemoHasNoMemoObject) {
    TempDir dir;
    CreateTableFile(dir.File("plain.dbf"), 0x03, {{"NAME", 'C', 10}});
    CreateTableFile(dir.File("vfp.dbf"), 0x30, {{"NAME", 'C', 10}});
    EXPECT_EQ(TVO_dBaseDBF(dir.File("plain.dbf"), true, false).OpenMemo(), nullptr);
    EXPECT_EQ(TVO_dBaseDBF(dir.File("vfp.dbf"), true, false).OpenMemo(), nullptr);
}

// Two tables whose names differ only in case each find their own memo file, and a
// memo file named in another case than its table is still found.
TEST(MemoFile, MemoNameFollowsTableNameCase) {
    TMemoTable lower(FoxPro, "pair.dbf");
    const std::string dir = lower.Dir.Path();
    lower.Close();
    std::filesystem::copy_file(dir + "/pair.dbf", dir + "/PAIR.DBF");
    std::filesystem::copy_file(dir + "/pair.fpt", dir + "/PAIR.FPT");
    lower.Open();
    const int32_t lowerBlock = Write(*lower.Memo, 0, "lower");
    {
        TVO_dBaseDBF upper(dir + "/PAIR.DBF", true, false);
        TVobjMemo* memo = upper.OpenMemo();
        EXPECT_EQ(memo->FileName, dir + "/PAIR.FPT");
        const int32_t upperBlock = Write(*memo, 0, "UPPER");
        EXPECT_EQ(ReadAll(*memo, upperBlock), "UPPER");
    }
    EXPECT_EQ(ReadAll(*lower.Memo, lowerBlock), "lower");
    EXPECT_EQ(lower.MemoPath, dir + "/pair.fpt");

    lower.Close();
    CreateTableFile(dir + "/other.DBF", 0xF5, {{"NAME", 'C', 10}, {"NOTES", 'M', 10}}, 64);
    std::filesystem::remove(dir + "/other.FPT");
    std::filesystem::rename(dir + "/PAIR.FPT", dir + "/Other.fpt");
    TVO_dBaseDBF other(dir + "/other.DBF", false, false);
    EXPECT_EQ(ReadAll(*other.OpenMemo(), 8), "UPPER");
}

class MemoRename : public testing::TestWithParam<TFormat> {};

TEST_P(MemoRename, MemoFollowsTableAndDbtHeaderNamesIt) {
    TMemoTable t(GetParam());
    const int32_t block = Write(*t.Memo, 0, "hello");
    const std::string original = t.MemoBytes();
    const bool dbt = GetParam().Version == 0x83 || GetParam().Version == 0x8B;
    const std::string ext = dbt ? ".dbt" : ".fpt";

    ASSERT_TRUE(t.Table->Rename(t.Dir.File("longtablename.dbf")));
    EXPECT_EQ(t.Memo->FileName, t.Dir.File("longtablename" + ext));
    EXPECT_FALSE(std::filesystem::exists(t.Dir.File("t" + ext)));
    std::string bytes = ReadFileBytes(t.Memo->FileName);
    EXPECT_EQ(bytes.substr(8, 9), dbt ? std::string("LONGTABL\0", 9) : original.substr(8, 9));

    ASSERT_TRUE(t.Table->Rename(t.Dir.File("ab.dbf")));
    bytes = ReadFileBytes(t.Memo->FileName);
    EXPECT_EQ(bytes.substr(8, 9), dbt ? std::string("AB\0\0\0\0\0\0\0", 9) : original.substr(8, 9));
    EXPECT_EQ(bytes.substr(0, 8), original.substr(0, 8));
    EXPECT_EQ(bytes.substr(17), original.substr(17));
    EXPECT_EQ(ReadAll(*t.Memo, block), "hello");
}

INSTANTIATE_TEST_SUITE_P(MemoFormats, MemoRename, testing::Values(Dbase3, Dbase4, FoxPro),
                         FormatName);

// ---------------------------------------------------------------------------
// the memo lock of shared files
// ---------------------------------------------------------------------------

// One lock attempt, with a short wait, for the tests that expect the lock to fail.
class TQuickLockWait {
public:
    TQuickLockWait() : total_(LockWaitTotal), delay_(LockRetryDelay) {
        LockWaitTotal = 1;
        LockRetryDelay = 1;
    }
    ~TQuickLockWait() {
        LockWaitTotal = total_;
        LockRetryDelay = delay_;
    }
    TQuickLockWait(const TQuickLockWait&) = delete;
    TQuickLockWait& operator=(const TQuickLockWait&) = delete;

private:
    uint16_t total_;
    uint16_t delay_;
};

// A second handle on the memo file, as another program would have.
class TForeignHandle {
public:
    explicit TForeignHandle(const std::string& path) {
        EXPECT_EQ(OsOpenFile(path, true, true, handle_), 0);
    }
    ~TForeignHandle() { OsCloseFile(handle_); }
    TForeignHandle(const TForeignHandle&) = delete;
    TForeignHandle& operator=(const TForeignHandle&) = delete;
    int32_t Lock(uint32_t offset, uint32_t length) { return OsLockRange(handle_, offset, length); }
    int32_t Unlock(uint32_t offset, uint32_t length) {
        return OsUnlockRange(handle_, offset, length);
    }

private:
    int handle_ = NoHandle;
};

struct TLockCase {
    const char* Name;
    int32_t Protocol;
    uint32_t ForeignOffset; // a byte another program holds
    bool Conflicts;
};
void PrintTo(const TLockCase& value, std::ostream* out) {
    *out << value.Name;
}

class MemoLock : public testing::TestWithParam<TLockCase> {};

TEST_P(MemoLock, WriteWaitsForLockOfProtocol) {
    TMemoTable t(FoxPro);
    t.Open(true);
    t.Table->SetLockProtocol(GetParam().Protocol);
    TQuickLockWait quick;
    TForeignHandle other(t.MemoPath);
    ASSERT_EQ(other.Lock(GetParam().ForeignOffset, 1), 0);
    if (GetParam().Conflicts) {
        EXPECT_EQ(ErrorOf([&] { Write(*t.Memo, 0, "hello"); }),
                  "Record locked by another user - " + t.MemoPath);
        ASSERT_EQ(other.Unlock(GetParam().ForeignOffset, 1), 0);
    }
    const int32_t block = Write(*t.Memo, 0, "hello");
    EXPECT_EQ(ReadAll(*t.Memo, block), "hello");
    EXPECT_EQ(t.Memo->LockCount, 0);
}

INSTANTIATE_TEST_SUITE_P(MemoProtocols, MemoLock,
                         testing::Values(TLockCase{"Default", Default, 0x7FFFFFFD, true},
                                         TLockCase{"DefaultNeighbour", Default, 0x7FFFFFFE, false},
                                         TLockCase{"DB4LockFirstByte", DB4Lock, 0xEFFFFFFE, true},
                                         TLockCase{"DB4LockSecondByte", DB4Lock, 0xEFFFFFFF, true},
                                         TLockCase{"DB4LockNeighbour", DB4Lock, 0xEFFFFFFD, false},
                                         TLockCase{"ClipLock", ClipLock, 1000000000, true},
                                         TLockCase{"ClipLockNeighbour", ClipLock, 999999999, false},
                                         TLockCase{"FoxLock", FoxLock, 0x7FFFFFFD, true}),
                         [](const testing::TestParamInfo<TLockCase>& info) {
                             return info.param.Name;
                         });

TEST(MemoFile, UnknownLockProtocolNeverWritesSharedFile) {
    TMemoTable t(FoxPro);
    t.Open(true);
    t.Table->SetLockProtocol(7);
    TQuickLockWait quick;
    const std::string before = t.MemoBytes();
    EXPECT_EQ(ErrorOf([&] { Write(*t.Memo, 0, "hello"); }),
              "Record locked by another user - " + t.MemoPath);
    EXPECT_EQ(t.MemoBytes(), before);
}

TEST(MemoFile, FailedWriteReleasesMemoLock) {
    TMemoTable t(Dbase4);
    t.Damage([](std::string& bytes) { PutLe32(bytes, 0, 50); });
    t.Open(true);
    EXPECT_EQ(ErrorOf([&] { Write(*t.Memo, 0, "hello"); }), FormatErrorText(*t.Memo));
    EXPECT_EQ(t.Memo->LockCount, 0);
    TForeignHandle other(t.MemoPath);
    EXPECT_EQ(other.Lock(0x7FFFFFFD, 1), 0);
}

TEST(MemoFile, ErrorsGoThroughTheOwningTable) {
    // A table whose own report adds its name, as the dataset's table object does.
    class TNamingTable : public TVO_dBaseDBF {
    public:
        using TVO_dBaseDBF::TVO_dBaseDBF;
        void ReportError(int32_t Code, int32_t SubCode, std::string_view Info) override {
            throw ETarnisError("table " + std::to_string(Code) + "/" + std::to_string(SubCode) +
                               " " + std::string(Info));
        }
    };
    TMemoTable t(FoxPro);
    const std::string memoPath = t.MemoPath;
    t.Close();
    TNamingTable table(t.Path, true, false);
    TVobjMemo* memo = table.OpenMemo();
    EXPECT_EQ(ErrorOf([&] { memo->MemoLength(1000); }), "table 1005/6199 " + memoPath);
    std::filesystem::remove(memoPath);
    TNamingTable again(t.Dir.File("t.dbf"), true, false);
    EXPECT_EQ(ErrorOf([&] { again.OpenMemo(); }), "table 2/6101 " + memoPath);
}

} // namespace
} // namespace tarnis
