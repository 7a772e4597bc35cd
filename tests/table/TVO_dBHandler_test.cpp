// The table handler in natural order: navigation over filter and deleted records,
// skips, filters, pack and the field search. Index order is tested with the index
// files (tests/index).
#include "engine/table/TVO_dBHandler.h"

#include "engine/base/tv6_eror.h"
#include "engine/expr/tv6_sql.h"
#include "engine/table/table_create.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <functional>

namespace tarnis {
namespace {

// Ten records R01..R10 with QTY 1..10, a memo "memo N" on the even ones; records 2,
// 5 and 10 are deleted.
class HandlerTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string path = dir.File("H.DBF");
    std::unique_ptr<TVO_dBHandler> table;

    void SetUp() override {
        CreateTableFile(path, 0x83,
                        {{"NAME", 'C', 6}, {"QTY", 'N', 4}, {"OK", 'L', 1}, {"NOTES", 'M', 10}});
        table = std::make_unique<TVO_dBHandler>(path, true, false);
        for (int i = 1; i <= 10; ++i) {
            table->BlankRecord();
            char name[8];
            std::snprintf(name, sizeof name, "R%02d", i);
            table->PutTextN(1, name);
            table->PutNumberN(2, i);
            table->PutLogicalN(3, i % 3 == 0);
            if (i % 2 == 0) {
                const std::string memo = "memo " + std::to_string(i);
                int32_t length = static_cast<int32_t>(memo.size());
                table->WriteMemoN(4, reinterpret_cast<const uint8_t*>(memo.data()), length);
            }
            table->AppendRecord();
        }
        for (int32_t n : {2, 5, 10}) {
            table->GoToRecord(n);
            table->DeleteRecord();
        }
    }

    std::vector<int32_t> WalkForward() {
        std::vector<int32_t> seen;
        for (table->GoToRecord(MoveTop); !table->AtEof && !table->AtBof;
             table->GoToRecord(MoveNext))
            seen.push_back(table->RecNo);
        return seen;
    }
    std::vector<int32_t> WalkBackward() {
        std::vector<int32_t> seen;
        for (table->GoToRecord(MoveBottom); !table->AtEof && !table->AtBof;
             table->GoToRecord(MovePrior))
            seen.insert(seen.begin(), table->RecNo);
        return seen;
    }
    std::string Memo() {
        int32_t length = table->MemoLengthN(4);
        std::string text(static_cast<size_t>(length), '\0');
        table->ReadMemoN(4, reinterpret_cast<uint8_t*>(text.data()), length);
        return text;
    }
};

TEST_F(HandlerTest, NavigationHonoursFilterAndDeletedRecords) {
    struct Case {
        const char* Filter;
        bool UseDeleted;
        std::vector<int32_t> Visible;
    };
    const Case cases[] = {
        {"", true, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {"", false, {1, 3, 4, 6, 7, 8, 9}},
        {"QTY > 3", true, {4, 5, 6, 7, 8, 9, 10}},
        {"QTY > 3", false, {4, 6, 7, 8, 9}},
        {"OK", false, {3, 6, 9}},
        {"QTY > 99", true, {}},
        {"NAME = 'R0*'", false, {1, 3, 4, 6, 7, 8, 9}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Filter) + (c.UseDeleted ? " with deleted" : ""));
        table->UseDeleted = c.UseDeleted;
        table->SetFilter(c.Filter, false, true);
        table->SetFilterActive(true);
        EXPECT_EQ(WalkForward(), c.Visible);
        EXPECT_EQ(WalkBackward(), c.Visible);
        if (!c.Visible.empty()) {
            // Moving off either end sets the flag; the image keeps the last record read.
            table->GoToRecord(MoveBottom);
            table->GoToRecord(MoveNext);
            EXPECT_TRUE(table->AtEof);
            EXPECT_GE(table->RecNo, c.Visible.back());
            table->GoToRecord(MoveTop);
            table->GoToRecord(MovePrior);
            EXPECT_TRUE(table->AtBof);
            EXPECT_LE(table->RecNo, c.Visible.front());
        } else {
            table->GoToRecord(MoveTop);
            EXPECT_TRUE(table->AtEof);
        }
    }
}

TEST_F(HandlerTest, DirectRecordNumbersIgnoreFilterAndDeletion) {
    table->UseDeleted = false;
    table->SetFilter("QTY > 3", false, true);
    table->SetFilterActive(true);
    table->GoToRecord(2);
    EXPECT_EQ(table->RecNo, 2);
    EXPECT_TRUE(table->IsDeleted());
    table->GoToRecord(11); // one past the end blanks the image
    EXPECT_TRUE(table->AtEof);
    EXPECT_EQ(table->GetRawN(1), "      ");
}

TEST_F(HandlerTest, EditedRecordLeavingTheFilterIsSkippedAtOnce) {
    table->SetFilter("QTY > 3", false, true);
    table->SetFilterActive(true);
    table->GoToRecord(6);
    table->PutNumberN(2, 1);
    table->ReplaceRecord(6);
    table->GoToRecord(5);
    table->GoToRecord(MoveNext);
    EXPECT_EQ(table->RecNo, 7);
    table->GoToRecord(MoveSame); // the current record passes
    EXPECT_EQ(table->RecNo, 7);
    // An appended record that passes is found at the end.
    table->BlankRecord();
    table->PutNumberN(2, 50);
    table->AppendRecord();
    EXPECT_EQ(WalkForward(), (std::vector<int32_t>{4, 5, 7, 8, 9, 10, 11}));
}

TEST_F(HandlerTest, FilterErrorsLeaveTheTableUsable) {
    EXPECT_THROW(table->SetFilter("QTY > ", false, true), ETarnisExpression);
    table->SetFilterActive(true);
    EXPECT_FALSE(table->FilterActive);
    try {
        table->SetFilter("NAME", false, true);
        ADD_FAILURE();
    } catch (const ETarnisError& e) {
        EXPECT_STREQ(e.what(), "Filter expression must return boolean result");
    }
    EXPECT_FALSE(table->FilterActive);
    EXPECT_EQ(WalkForward().size(), 10u);
    // The same text again raises again: a failed filter is not kept as set.
    EXPECT_THROW(table->SetFilter("NAME", false, true), ETarnisError);
}

TEST_F(HandlerTest, SkipMovesOverVisibleRecords) {
    struct Case {
        const char* Filter;
        bool UseDeleted;
        int32_t Start, By, End;
        bool Eof, Bof;
    };
    const Case cases[] = {
        {"", true, 7, 5, 10, true, false},         {"", true, 7, 2, 9, false, false},
        {"", true, 3, -5, 1, false, true},         {"", false, 7, 5, 10, true, false},
        {"", false, 1, 2, 4, false, false},        {"QTY > 3", true, 7, 5, 10, true, false},
        {"QTY > 3", false, 6, 9, 10, true, false}, {"QTY > 3", false, 9, -2, 7, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.Start) + " by " + std::to_string(c.By) + " " + c.Filter);
        table->UseDeleted = c.UseDeleted;
        table->SetFilter(c.Filter, false, true);
        table->SetFilterActive(*c.Filter != 0);
        table->GoToRecord(c.Start);
        table->Skip(c.By);
        EXPECT_EQ(table->RecNo, c.End);
        EXPECT_EQ(table->AtEof, c.Eof);
        EXPECT_EQ(table->AtBof, c.Bof);
    }
}

TEST_F(HandlerTest, ReadAheadGivesTheSameRecords) {
    std::vector<std::string> plain, cached;
    table->SetCache(false);
    for (table->GoToRecord(MoveTop); !table->AtEof; table->GoToRecord(MoveNext))
        plain.push_back(table->GetRawN(1));
    table->SetCache(true);
    ASSERT_TRUE(table->CacheOn);
    for (table->GoToRecord(MoveTop); !table->AtEof; table->GoToRecord(MoveNext))
        cached.push_back(table->GetRawN(1));
    EXPECT_EQ(plain, cached);
    // A write through the buffer is seen by the next read.
    table->GoToRecord(3);
    table->PutTextN(1, "NEW");
    table->ReplaceRecord(3);
    table->GoToRecord(1);
    table->GoToRecord(3);
    EXPECT_EQ(table->GetRawN(1), "NEW   ");
    table->SetCacheAllowed(false);
    EXPECT_FALSE(table->CacheOn);
}

TEST_F(HandlerTest, PackKeepsLiveRecordsInOrderWithTheirMemos) {
    table->Pack();
    EXPECT_EQ(table->RecordCount, 7);
    std::vector<std::string> names, memos;
    table->UseDeleted = true;
    for (table->GoToRecord(MoveTop); !table->AtEof; table->GoToRecord(MoveNext)) {
        EXPECT_FALSE(table->IsDeleted());
        names.push_back(table->GetTextN(1));
        memos.push_back(Memo());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"R01", "R03", "R04", "R06", "R07", "R08", "R09"}));
    EXPECT_EQ(memos, (std::vector<std::string>{"", "", "memo 4", "memo 6", "", "memo 8", ""}));
    table.reset();
    const std::string bytes = test::ReadFileBytes(path);
    EXPECT_EQ(bytes.size(), 32u + 4 * 32 + 1 + 7 * 22 + 1);
    EXPECT_EQ(bytes.back(), '\x1A');
    EXPECT_EQ(bytes[4], 7); // the header's count, written when the table closed
}

TEST_F(HandlerTest, PackEdgeCases) {
    const size_t before = test::ReadFileBytes(path).size();
    for (int32_t n : {2, 5, 10}) {
        table->GoToRecord(n);
        table->RecallRecord();
    }
    table->Pack(); // nothing deleted: nothing moves
    EXPECT_EQ(table->RecordCount, 10);
    EXPECT_EQ(test::ReadFileBytes(path).size(), before);
    for (int32_t n = 1; n <= 10; ++n) {
        table->GoToRecord(n);
        table->DeleteRecord();
    }
    table->Pack();
    EXPECT_EQ(table->RecordCount, 0);
    EXPECT_EQ(test::ReadFileBytes(path).size(), static_cast<size_t>(table->HeaderLength) + 1);
}

TEST(HandlerShared, PackRefusesASharedTable) {
    test::TempDir dir;
    CreateTableFile(dir.File("S.DBF"), 0x03, {{"NAME", 'C', 4}});
    TVO_dBHandler table(dir.File("S.DBF"), true, true);
    try {
        table.Pack();
        ADD_FAILURE();
    } catch (const ETarnisError& e) {
        EXPECT_EQ(std::string(e.what()), "File access denied - " + table.FileName);
    }
}

TEST_F(HandlerTest, SearchFieldFindsByOptions) {
    table->GoToRecord(6);
    table->PutTextN(1, "ab");
    table->ReplaceRecord(6);
    table->GoToRecord(7);
    table->PutTextN(1, "xAbc");
    table->ReplaceRecord(7);
    struct Case {
        const char* Text;
        uint16_t Options;
        uint16_t Field;
        int32_t Found; // 0: none
    };
    const Case cases[] = {
        {"R04", so::Anchored | so::Exact, 1, 4},
        {"R0", so::Anchored | so::Exact, 1, 0},      // exact needs the whole field
        {"R0", so::Anchored | so::Wildcards, 1, 0},  // no "*": the field must end with the text
        {"R0*", so::Anchored | so::Wildcards, 1, 1}, // starts with
        {"*BC*", so::Anchored | so::Wildcards | so::CaseInsensitive, 1, 7}, // contains, any case
        {"*BC*", so::Anchored | so::Wildcards, 1, 0},                       // case counts
        {"AB", so::Anchored | so::Exact | so::CaseInsensitive, 1, 6},
        {"R?8", so::Anchored | so::Wildcards, 1, 8},
        {"9", 0, 0, 9}, // QTY 9 among all fields
        {"9.0", 0, 2, 9},
        {"T", 0, 3, 3}, // a logical field searched alone
        {"T", 0, 0, 0}, // ... but never among all fields
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Text) + " options " + std::to_string(c.Options));
        table->SearchOptions = c.Options;
        uint16_t field = c.Field;
        int32_t start = 0;
        table->GoToRecord(2);
        const uint16_t result = table->SearchField(c.Text, field, start, 0);
        EXPECT_EQ(result != 0, c.Found != 0);
        if (c.Found) {
            EXPECT_EQ(start, c.Found);
            EXPECT_EQ(table->RecNo, c.Found);
        } else {
            EXPECT_EQ(table->RecNo, 2); // back where it was
        }
    }
    // Starting after the last record finds nothing and returns to the current record.
    table->SearchOptions = so::Anchored | so::Wildcards;
    uint16_t field = 1;
    int32_t start = 10;
    table->GoToRecord(4);
    EXPECT_EQ(table->SearchField("R*", field, start, 0), 0);
    EXPECT_EQ(table->RecNo, 4);
}

TEST(HandlerEmpty, EmptyTableEndsAtOnce) {
    test::TempDir dir;
    CreateTableFile(dir.File("E.DBF"), 0x03, {{"NAME", 'C', 4}});
    TVO_dBHandler table(dir.File("E.DBF"), true, false);
    table.GoToRecord(MoveTop);
    EXPECT_TRUE(table.AtEof);
    EXPECT_TRUE(table.AtBof);
    table.SetFilter("NAME = 'X'", false, true);
    table.SetFilterActive(true);
    table.GoToRecord(MoveBottom);
    EXPECT_TRUE(table.AtBof);
    EXPECT_FALSE(table.SeekKey("X"));
}

} // namespace
} // namespace tarnis
