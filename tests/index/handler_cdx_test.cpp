// The table handler over a compound index: navigation in tag order together with the
// filter, deleted records and key ranges; seeks; and thousands of mixed writes after
// which every tag is whole and in the order computed from the records themselves.
#include "cdx_test_support.h"

#include "engine/base/tv6_eror.h"
#include "engine/index/TVobjIndexCheck.h"
#include "engine/index/tv6_cdx.h"
#include "engine/table/TVO_dBHandler.h"
#include "engine/table/table_create.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

namespace tarnis {
namespace {

struct TagSpec {
    const char* Name;
    const char* Key;
    const char* For;
    bool Ascending;
};

// NAME C8, QTY N5; tags on NAME, QTY, NAME descending, and UPPER(NAME) FOR QTY > 100.
const TagSpec Tags[] = {
    {"NAME", "NAME", "", true},
    {"QTY", "QTY", "", true},
    {"NAMEDESC", "NAME", "", false},
    {"BIG", "UPPER(NAME)", "QTY > 100", true},
};

class HandlerCdxTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string tablePath = dir.File("T.DBF");
    std::string indexPath = dir.File("T.CDX");
    std::unique_ptr<TVO_dBHandler> table;

    void SetUp() override {
        CreateTableFile(tablePath, 0xF5, {{"NAME", 'C', 8}, {"QTY", 'N', 5}, {"NOTES", 'M', 10}});
        {
            TVO_dBaseFld plain(tablePath, true, false);
            plain.BlankRecord();
            TVobjCDXFile file(&plain, indexPath, true, false, true, true);
            for (const TagSpec& t : Tags)
                test::AddEmptyTag(file, t.Name, t.Key, t.For, t.Ascending);
        }
        table = std::make_unique<TVO_dBHandler>(tablePath, true, false);
        ASSERT_EQ(table->OpenIndex(indexPath), 0);
    }

    void Append(const std::string& name, int qty) {
        table->BlankRecord();
        table->PutTextN(1, name);
        table->PutNumberN(2, qty);
        table->AppendRecord();
    }

    // The records of a tag in its order, from the records themselves: those passing
    // its FOR condition, by key then record number (reversed for a descending tag).
    std::vector<int32_t> ExpectedOrder(const TagSpec& t) {
        struct Row {
            std::string Text;
            double Number;
            int32_t Record;
        };
        std::vector<Row> rows;
        table->UseDeleted = true;
        table->SelectTag("", false);
        for (int32_t n = 1; n <= table->RecordCount; ++n) {
            table->GoToRecord(n);
            const double qty = table->GetNumberN(2);
            if (*t.For && !(qty > 100)) continue;
            std::string text(table->RawField(1));
            while (!text.empty() && text.back() == ' ')
                text.pop_back();
            if (std::string(t.Key) == "UPPER(NAME)")
                std::transform(text.begin(), text.end(), text.begin(), ::toupper);
            rows.push_back({text, qty, n});
        }
        const bool numeric = std::string(t.Key) == "QTY";
        std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
            if (numeric ? a.Number != b.Number : a.Text != b.Text)
                return numeric ? a.Number < b.Number : a.Text < b.Text;
            return a.Record < b.Record;
        });
        std::vector<int32_t> order;
        for (const Row& r : rows)
            order.push_back(r.Record);
        if (!t.Ascending) std::reverse(order.begin(), order.end());
        return order;
    }

    std::vector<int32_t> Walk(const std::string& tag) {
        table->SelectTag(tag, false);
        std::vector<int32_t> seen;
        for (table->GoToRecord(MoveTop); !table->AtEof && !table->AtBof;
             table->GoToRecord(MoveNext))
            seen.push_back(table->RecNo);
        return seen;
    }

    void CheckAllTags() {
        for (const TagSpec& t : Tags) {
            SCOPED_TRACE(t.Name);
            table->UseDeleted = true;
            table->SetFilterActive(false);
            EXPECT_EQ(Walk(t.Name), ExpectedOrder(t));
            TVobjIndexTag* tag = nullptr;
            for (int32_t n = 1; TVobjIndexTag* candidate = table->TagByGlobalNumber(n); ++n)
                if (candidate->TagName == t.Name) tag = candidate;
            ASSERT_NE(tag, nullptr);
            const TVobjIndexCheck check(*tag, true);
            EXPECT_TRUE(check.Ok()) << check.Report();
        }
    }
};

TEST_F(HandlerCdxTest, ThousandsOfMixedWritesKeepEveryTagWhole) {
    std::mt19937 random(20261211);
    const std::vector<std::string> names = {"Abel",
                                            "abel",
                                            "Zoe",
                                            "Mia",
                                            "Mi",
                                            "Miaow",
                                            "\x8E"
                                            "rik",
                                            "",
                                            "Bob",
                                            "Bobby",
                                            "Zz",
                                            "Anna"};
    const auto randomName = [&] {
        return names[random() % names.size()] + (random() % 3 ? "" : std::to_string(random() % 50));
    };
    for (int op = 1; op <= 3000; ++op) {
        const unsigned choice = random() % 100;
        if (choice < 40 || table->RecordCount == 0) {
            Append(randomName(), static_cast<int>(random() % 300) - 50);
        } else {
            const int32_t n = static_cast<int32_t>(random() % table->RecordCount) + 1;
            table->GoToRecord(n);
            if (choice < 70) {
                if (random() % 2)
                    table->PutTextN(1, randomName());
                else
                    table->PutNumberN(2, static_cast<int>(random() % 300) - 50);
                table->ReplaceRecord(n);
            } else if (choice < 85) {
                table->DeleteRecord();
            } else {
                table->RecallRecord();
            }
        }
        if (op % 750 == 0) {
            SCOPED_TRACE("after " + std::to_string(op) + " writes");
            CheckAllTags();
        }
    }
}

TEST_F(HandlerCdxTest, TagOrderWithFilterDeletedRecordsAndRange) {
    const char* names[] = {"Cara", "Abe",  "Dina", "Bea",  "Cole",
                           "Abby", "Dora", "Carl", "Bert", "Cy"};
    for (int i = 0; i < 10; ++i)
        Append(names[i], (i + 1) * 10);
    for (int32_t n : {3, 8}) { // Dina, Carl
        table->GoToRecord(n);
        table->DeleteRecord();
    }
    table->SelectTag("NAME", false);
    struct Case {
        const char* Filter;
        bool UseDeleted;
        const char* Low;
        const char* High;
        std::vector<int32_t> Visible;
    };
    // NAME order: Abby 6, Abe 2, Bea 4, Bert 9, Cara 1, Carl 8, Cole 5, Cy 10, Dina 3, Dora 7.
    const Case cases[] = {
        {"", true, nullptr, nullptr, {6, 2, 4, 9, 1, 8, 5, 10, 3, 7}},
        {"", false, nullptr, nullptr, {6, 2, 4, 9, 1, 5, 10, 7}},
        {"QTY >= 50", false, nullptr, nullptr, {6, 9, 5, 10, 7}},
        {"", true, "B", "C", {4, 9, 1, 8, 5, 10}}, // a bound that begins a key matches it
        {"", false, "Bert", "Co", {9, 1, 5}},
        {"QTY < 60", false, "A", "Ca", {2, 4, 1}},
        {"QTY > 999", true, "A", "Z", {}},
        {"", true, "E", "F", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Filter) +
                     (c.Low ? std::string(" ") + c.Low + ".." + c.High : ""));
        table->UseDeleted = c.UseDeleted;
        // An empty filter text is no boolean expression: the filter is switched off.
        if (*c.Filter) table->SetFilter(c.Filter, false, true);
        table->SetFilterActive(*c.Filter != 0);
        if (c.Low)
            table->SetKeyRange(c.Low, c.High, true, true);
        else
            table->ClearRange();
        std::vector<int32_t> forward, backward;
        for (table->GoToRecord(MoveTop); !table->AtEof && !table->AtBof;
             table->GoToRecord(MoveNext))
            forward.push_back(table->RecNo);
        for (table->GoToRecord(MoveBottom); !table->AtEof && !table->AtBof;
             table->GoToRecord(MovePrior))
            backward.insert(backward.begin(), table->RecNo);
        EXPECT_EQ(forward, c.Visible);
        EXPECT_EQ(backward, c.Visible);
    }
    table->ClearRange();
    // The current record stops passing the filter: MoveSame moves on to the next one.
    table->UseDeleted = true;
    table->SetFilter("QTY <> 40", false, true); // Bea
    table->SetFilterActive(true);
    table->GoToRecord(4);
    table->PutNumberN(2, 40);
    table->ReplaceRecord(4);
    table->GoToRecord(MoveSame);
    EXPECT_EQ(table->RecNo, 9); // Bert, the next in NAME order
}

TEST_F(HandlerCdxTest, SeeksExactPrefixAndNear) {
    const char* names[] = {"SMITH", "SMITHSON", "JONES", "ADAMS"};
    for (int i = 0; i < 4; ++i)
        Append(names[i], i);
    table->SelectTag("NAME", false);
    struct Case {
        const char* Key;
        bool Exact;
        bool Near;
        bool Found;
        int32_t Record; // where the table stands
        bool Eof;
    };
    const Case cases[] = {
        {"SMITH", false, false, true, 1, false}, {"SMI", false, false, true, 1, false},
        {"SMI", true, false, false, 2, true},    {"SMITHSON", true, false, true, 2, false},
        {"JONAS", false, false, false, 2, true}, {"JONAS", false, true, false, 3, false},
        {"ZED", false, true, false, 2, true},    {"A", false, false, true, 4, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Key) + (c.Exact ? " exact" : "") + (c.Near ? " near" : ""));
        table->ExactMatch = c.Exact;
        table->NearMatch = c.Near;
        EXPECT_EQ(table->SeekKey(c.Key), c.Found);
        EXPECT_EQ(table->RecNo, c.Record);
        EXPECT_EQ(table->AtEof, c.Eof);
    }
    table->ExactMatch = false;
    EXPECT_EQ(table->LookupInTag("name", "JONES"), 3);
    EXPECT_EQ(table->LookupInTag("NOSUCH", "JONES"), -1);
    try {
        table->SelectTag("NOSUCH", false);
        ADD_FAILURE();
    } catch (const ETarnisError& e) {
        EXPECT_STREQ(e.what(), "Cannot find index tag NOSUCH");
    }
}

TEST_F(HandlerCdxTest, EmptyTableAndOpenIndexAnswers) {
    table->SelectTag("NAME", false);
    table->GoToRecord(MoveTop);
    EXPECT_TRUE(table->AtEof);
    EXPECT_FALSE(table->SeekKey("X"));
    EXPECT_EQ(table->OpenIndex(indexPath), -1); // already open
    EXPECT_EQ(table->OpenIndex(""), -1);
    EXPECT_THROW(table->OpenIndex(dir.File("NONE")), ETarnisError); // looks for NONE.NDX
    // The directory lists the tags by name.
    EXPECT_EQ(table->TagByGlobalNumber(1)->TagName, "BIG");
    EXPECT_EQ(table->TagByGlobalNumber(4)->TagName, "QTY");
    EXPECT_EQ(table->TagByGlobalNumber(5), nullptr);
}

} // namespace
} // namespace tarnis
