#include "engine/index/tv6_sort.h"

#include "engine/base/tv6_eror.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace tarnis {
namespace {

struct Pair {
    TtvVariant Key;
    int32_t Record;
};

TtvVariant Text(const std::string& s) {
    TtvVariant v;
    v.SetString(s);
    return v;
}

TtvVariant Raw(const std::string& bytes) {
    TtvVariant v;
    v.SetBytes(bytes.data(), static_cast<int32_t>(bytes.size()));
    return v;
}

TtvVariant Number(double d) {
    TtvVariant v;
    v.SetNumber(d);
    return v;
}

TtvVariant Date(int32_t day) {
    TtvVariant v;
    v.SetDate(day);
    return v;
}

// Limits that make a few thousand keys fill the trie many times, spill every run
// beyond the first to disk and merge several levels.
TtvSortLimits SmallLimits() {
    TtvSortLimits l;
    l.BlockSize = 1000;
    l.BlockCount = 1; // raised to the smallest trie allowed (1 024 nodes)
    l.PageSize = 2048;
    l.ResidentBytes = 0;
    l.MergeWidth = 3;
    return l;
}

std::vector<Pair> Drain(TtvSort& sorter) {
    std::vector<Pair> out;
    Pair p;
    while (sorter.NextSortKey(p.Key, p.Record))
        out.push_back(p);
    return out;
}

// ---- the reference: std::stable_sort by (key, record number) ----

std::vector<Pair> Reference(std::vector<Pair> pairs, bool unique, bool ascending,
                            const uint8_t* collation) {
    for (auto& p : pairs)
        if (p.Key.Kind == vkText) p.Key.TrimRight();
    const auto keyOrder = [collation](const Pair& a, const Pair& b) {
        int32_t diff = 0;
        return a.Key.Compare(&b.Key, diff, collation, -1);
    };
    std::stable_sort(pairs.begin(), pairs.end(), [&](const Pair& a, const Pair& b) {
        int c = keyOrder(a, b);
        if (c == 0) {
            const auto ra = static_cast<uint32_t>(a.Record), rb = static_cast<uint32_t>(b.Record);
            c = ra < rb ? -1 : (ra > rb ? 1 : 0);
        }
        return ascending ? c < 0 : c > 0;
    });
    if (unique) {
        std::vector<Pair> kept;
        for (auto& p : pairs)
            if (kept.empty() || keyOrder(kept.back(), p) != 0) kept.push_back(p);
        pairs = std::move(kept);
    }
    return pairs;
}

// Same kind, same record, and the very bytes that went in (numbers: the same value).
void ExpectSame(const std::vector<Pair>& actual, const std::vector<Pair>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) {
        SCOPED_TRACE("pair " + std::to_string(i));
        const Pair& a = actual[i];
        const Pair& e = expected[i];
        ASSERT_EQ(a.Record, e.Record);
        ASSERT_EQ(a.Key.Kind, e.Key.Kind);
        if (e.Key.Kind == vkNumber)
            ASSERT_EQ(a.Key.AsNumber(), e.Key.AsNumber());
        else if (e.Key.Kind == vkDate)
            ASSERT_EQ(a.Key.AsDate(), e.Key.AsDate());
        else
            ASSERT_EQ(std::string(a.Key.TextView()), std::string(e.Key.TextView()));
    }
}

// ---- key generators ----

enum class KeyKind { FixedText, MixedCaseText, RawEscapes, RawNumeric, Numbers, Dates };

std::vector<TtvVariant> MakeKeys(KeyKind kind, int count, std::mt19937& rng) {
    std::vector<TtvVariant> keys;
    const auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    for (int i = 0; i < count; ++i) {
        switch (kind) {
        case KeyKind::FixedText:
        case KeyKind::MixedCaseText: {
            // Fixed length 12, shared prefixes, many duplicates, some all blank.
            static const char* const prefixes[] = {"SMITH", "SMITHSON", "SM", "JONES", "", "A"};
            const char* letters = kind == KeyKind::FixedText ? "AB Z" : "aAbB z";
            std::string s = prefixes[pick(6)];
            const int extra = pick(5);
            for (int j = 0; j < extra; ++j)
                s += letters[pick(static_cast<int>(std::strlen(letters)))];
            s.resize(12, ' ');
            keys.push_back(Text(s));
            break;
        }
        case KeyKind::RawEscapes: {
            // Bytes the sort form escapes, lengths making keys prefixes of others.
            static const char bytes[] = {'\0', '\1', '\2', '\xFF'};
            std::string s;
            const int length = pick(6);
            for (int j = 0; j < length; ++j)
                s += bytes[pick(4)];
            keys.push_back(Raw(s));
            break;
        }
        case KeyKind::RawNumeric: {
            // 8 bytes ordered like the numbers they stand for, from a small range.
            const uint64_t v = 0x8000000000000000u + static_cast<uint64_t>(pick(1000)) - 500;
            std::string s(8, '\0');
            for (int j = 0; j < 8; ++j)
                s[static_cast<size_t>(j)] = static_cast<char>(v >> (56 - 8 * j));
            keys.push_back(Raw(s));
            break;
        }
        case KeyKind::Numbers: {
            static const double special[] = {-3,
                                             -2,
                                             -1.5,
                                             -1,
                                             -0.0,
                                             0,
                                             0.5,
                                             1,
                                             1 + std::ldexp(1.0, -52),
                                             2,
                                             -2 - std::ldexp(1.0, -51),
                                             1e300,
                                             -1e300,
                                             5e-324,
                                             -5e-324,
                                             std::numeric_limits<double>::infinity(),
                                             -std::numeric_limits<double>::infinity()};
            const int which = pick(4);
            if (which == 0)
                keys.push_back(Number(special[pick(static_cast<int>(std::size(special)))]));
            else if (which == 1)
                keys.push_back(Number(pick(101) - 50));
            else
                keys.push_back(
                    Number(std::ldexp(static_cast<double>(pick(1 << 20)) - (1 << 19), -pick(40))));
            break;
        }
        case KeyKind::Dates: {
            static const int32_t special[] = {0, 2451545, std::numeric_limits<int32_t>::min(),
                                              std::numeric_limits<int32_t>::max(), -1};
            keys.push_back(pick(5) == 0 ? Date(special[pick(5)]) : Date(pick(2001) - 1000));
            break;
        }
        }
    }
    return keys;
}

// Record numbers 1..count in a shuffled order, some of them beyond 2^24 so that all
// four bytes of the record number take part.
std::vector<int32_t> MakeRecords(int count, std::mt19937& rng) {
    std::vector<int32_t> records(static_cast<size_t>(count));
    std::iota(records.begin(), records.end(), 1);
    for (auto& r : records)
        if (r % 7 == 0) r += 0x01000000;
    std::shuffle(records.begin(), records.end(), rng);
    return records;
}

const uint8_t* CaseBlind() {
    static uint8_t table[256];
    for (int c = 0; c < 256; ++c)
        table[c] = static_cast<uint8_t>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return table;
}

const uint8_t* Reversed() {
    static uint8_t table[256];
    for (int c = 0; c < 256; ++c)
        table[c] = static_cast<uint8_t>(255 - c);
    return table;
}

// ---- the sorter against the reference ----

struct SortCase {
    const char* Name;
    KeyKind Kind;
    int Count;
    bool Unique;
    bool Ascending;
    bool Small;
    const uint8_t* (*Collation)();
};

const SortCase sortCases[] = {
    {"text", KeyKind::FixedText, 5000, false, true, true, nullptr},
    {"text descending", KeyKind::FixedText, 5000, false, false, true, nullptr},
    {"text unique", KeyKind::FixedText, 5000, true, true, true, nullptr},
    {"text unique descending", KeyKind::FixedText, 5000, true, false, true, nullptr},
    {"text in memory", KeyKind::FixedText, 5000, false, true, false, nullptr},
    {"text case-blind collation", KeyKind::MixedCaseText, 5000, false, true, true, CaseBlind},
    {"text case-blind unique", KeyKind::MixedCaseText, 5000, true, true, true, CaseBlind},
    {"text reversed collation", KeyKind::MixedCaseText, 3000, false, true, true, Reversed},
    {"raw escapes", KeyKind::RawEscapes, 4000, false, true, true, nullptr},
    {"raw escapes descending unique", KeyKind::RawEscapes, 4000, true, false, true, nullptr},
    {"raw 8-byte numeric", KeyKind::RawNumeric, 5000, false, true, true, nullptr},
    {"raw 8-byte numeric unique", KeyKind::RawNumeric, 5000, true, true, true, nullptr},
    {"numbers", KeyKind::Numbers, 5000, false, true, true, nullptr},
    {"numbers descending unique", KeyKind::Numbers, 5000, true, false, true, nullptr},
    {"dates", KeyKind::Dates, 3000, false, true, true, nullptr},
    {"dates unique in memory", KeyKind::Dates, 3000, true, true, false, nullptr},
    {"one key", KeyKind::FixedText, 1, false, true, true, nullptr},
    {"one key unique descending", KeyKind::Numbers, 1, true, false, false, nullptr},
};

TEST(TtvSort, MatchesStableSortByKeyAndRecord) {
    for (const SortCase& c : sortCases) {
        SCOPED_TRACE(c.Name);
        std::mt19937 rng(20240611);
        const auto keys = MakeKeys(c.Kind, c.Count, rng);
        const auto records = MakeRecords(c.Count, rng);
        const uint8_t* collation = c.Collation ? c.Collation() : nullptr;
        TtvSort sorter(12, c.Unique, c.Ascending, collation,
                       c.Small ? SmallLimits() : TtvSortLimits());
        std::vector<Pair> added;
        for (int i = 0; i < c.Count; ++i) {
            sorter.AddSortKey(keys[static_cast<size_t>(i)], records[static_cast<size_t>(i)]);
            added.push_back({keys[static_cast<size_t>(i)], records[static_cast<size_t>(i)]});
        }
        EXPECT_EQ(sorter.KeyCount, c.Count);
        const auto actual = Drain(sorter);
        ExpectSame(actual, Reference(added, c.Unique, c.Ascending, collation));
        if (c.Small && c.Count > 1000) {
            // The case went through several runs and merges on disk.
            EXPECT_GT(sorter.Stats().TrieFlushes, 3);
            EXPECT_GT(sorter.Stats().LevelMerges, 1);
            EXPECT_GT(sorter.Stats().SpilledBytes, 0);
        }
        if (!c.Small) {
            EXPECT_EQ(sorter.Stats().SpilledBytes, 0);
        }
    }
}

// ---- the cases the order rules name ----

TEST(TtvSort, ListedOrders) {
    struct Case {
        const char* Name;
        std::vector<TtvVariant> Keys; // added with records 1, 2, 3, ...
        bool Unique;
        bool Ascending;
        std::vector<int32_t> Records; // expected output order
    };
    const Case cases[] = {
        {"equal keys in record order",
         {Text("B"), Text("A"), Text("B"), Text("A")},
         false,
         true,
         {2, 4, 1, 3}},
        {"descending: equal keys in descending record order",
         {Text("B"), Text("A"), Text("B"), Text("A")},
         false,
         false,
         {3, 1, 4, 2}},
        {"unique keeps the lowest record",
         {Text("B"), Text("A"), Text("B"), Text("A")},
         true,
         true,
         {2, 1}},
        {"unique descending keeps the highest record",
         {Text("B"), Text("A"), Text("B"), Text("A")},
         true,
         false,
         {3, 4}},
        {"trailing blanks do not count", {Text("AB  "), Text("AB"), Text("AB ")}, true, true, {1}},
        {"a prefix comes first",
         {Text("ABC"), Text("AB"), Text("A"), Text("")},
         false,
         true,
         {4, 3, 2, 1}},
        {"numbers",
         {Number(3), Number(0.5), Number(-1), Number(0), Number(-2), Number(-3)},
         false,
         true,
         {6, 5, 3, 4, 2, 1}},
        {"-0 and 0 are one value", {Number(0.0), Number(-0.0), Number(1)}, true, true, {1, 3}},
        {"raw: NUL bytes and prefixes",
         {Raw(std::string("A\0", 2)), Raw("A"), Raw("A\x01")},
         false,
         true,
         {2, 1, 3}},
        {"dates are signed", {Date(5), Date(-5), Date(0)}, false, true, {2, 3, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        for (bool small : {false, true}) {
            TtvSort sorter(20, c.Unique, c.Ascending, nullptr,
                           small ? SmallLimits() : TtvSortLimits());
            for (size_t i = 0; i < c.Keys.size(); ++i)
                sorter.AddSortKey(c.Keys[i], static_cast<int32_t>(i + 1));
            std::vector<int32_t> order;
            for (const auto& p : Drain(sorter))
                order.push_back(p.Record);
            EXPECT_EQ(order, c.Records);
        }
    }
}

TEST(TtvSort, KeysComeBackInTheKindTheyWentIn) {
    TtvSort sorter(20, false, true, nullptr);
    sorter.AddSortKey(Text("AB   "), 1);
    sorter.AddSortKey(Number(-0.1), 2);
    sorter.AddSortKey(Date(2451545), 3);
    sorter.AddSortKey(Raw(std::string("\0\1\2 ", 4)), 4);
    TtvVariant key;
    int32_t record = 0;
    // Kinds are grouped: raw, text, number, date.
    ASSERT_TRUE(sorter.NextSortKey(key, record));
    EXPECT_EQ(record, 4);
    EXPECT_EQ(key.Kind, vkRaw);
    EXPECT_EQ(std::string(key.TextView()), std::string("\0\1\2 ", 4));
    ASSERT_TRUE(sorter.NextSortKey(key, record));
    EXPECT_EQ(key.Kind, vkText);
    EXPECT_EQ(std::string(key.TextView()), "AB");
    ASSERT_TRUE(sorter.NextSortKey(key, record));
    EXPECT_EQ(key.Kind, vkNumber);
    EXPECT_EQ(key.AsNumber(), -0.1);
    ASSERT_TRUE(sorter.NextSortKey(key, record));
    EXPECT_EQ(key.Kind, vkDate);
    EXPECT_EQ(key.AsDate(), 2451545);
    EXPECT_FALSE(sorter.NextSortKey(key, record));
}

TEST(TtvSort, PairAddedTwiceComesOutOnce) {
    for (bool small : {false, true}) {
        SCOPED_TRACE(small ? "across runs" : "in one trie");
        TtvSort sorter(20, false, true, nullptr, small ? SmallLimits() : TtvSortLimits());
        sorter.AddSortKey(Text("SAME"), 7);
        std::mt19937 rng(1);
        // Enough other keys in between to fill the small trie several times.
        for (int i = 0; i < 2000; ++i)
            sorter.AddSortKey(Text("K" + std::to_string(rng())), 100 + i);
        sorter.AddSortKey(Text("SAME"), 7);
        int same = 0;
        for (const auto& p : Drain(sorter))
            if (p.Record == 7) ++same;
        EXPECT_EQ(same, 1);
    }
}

TEST(TtvSort, CaseBlindCollationKeepsEachRecordsOwnText) {
    TtvSort sorter(10, false, true, CaseBlind());
    sorter.AddSortKey(Text("abc"), 3);
    sorter.AddSortKey(Text("ABC"), 2);
    sorter.AddSortKey(Text("Abd"), 1);
    sorter.AddSortKey(Text("aBc"), 1);
    const auto out = Drain(sorter);
    ASSERT_EQ(out.size(), 4u);
    const std::pair<std::string, int32_t> expected[] = {
        {"aBc", 1}, {"ABC", 2}, {"abc", 3}, {"Abd", 1}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(std::string(out[i].Key.TextView()), expected[i].first);
        EXPECT_EQ(out[i].Record, expected[i].second);
    }
}

// ---- empty input, phases, errors ----

TEST(TtvSort, EmptySortReturnsNothing) {
    TtvSort sorter(10, false, true, nullptr);
    TtvVariant key;
    int32_t record = 0;
    EXPECT_FALSE(sorter.NextSortKey(key, record));
    EXPECT_FALSE(sorter.NextSortKey(key, record));
    EXPECT_EQ(sorter.KeyCount, 0);
}

TEST(TtvSort, Errors) {
    struct Case {
        const char* Name;
        void (*Run)();
        const char* Message;
    };
    const Case cases[] = {
        {"max key length above 240", [] { TtvSort(241, false, true, nullptr); },
         "Sort key length greater than 240 bytes"},
        {"text one character over the max",
         [] {
             TtvSort s(10, false, true, nullptr);
             s.AddSortKey(Text(std::string(11, 'X')), 1);
         },
         "Sort key length greater than 240 bytes"},
        {"blanks count for the length",
         [] {
             TtvSort s(10, false, true, nullptr);
             s.AddSortKey(Text("X" + std::string(10, ' ')), 1);
         },
         "Sort key length greater than 240 bytes"},
        {"a number in a sort of 7-byte keys",
         [] {
             TtvSort s(7, false, true, nullptr);
             s.AddSortKey(Number(1), 1);
         },
         "Sort key length greater than 240 bytes"},
        {"adding after retrieval began",
         [] {
             TtvSort s(10, false, true, nullptr);
             s.AddSortKey(Text("A"), 1);
             TtvVariant k;
             int32_t r;
             s.NextSortKey(k, r);
             s.AddSortKey(Text("B"), 2);
         },
         "Cannot add sort keys after beginning retrieval"},
        {"adding after an empty retrieval",
         [] {
             TtvSort s(10, false, true, nullptr);
             TtvVariant k;
             int32_t r;
             s.NextSortKey(k, r);
             s.AddSortKey(Text("B"), 2);
         },
         "Cannot add sort keys after beginning retrieval"},
        {"logical key",
         [] {
             TtvSort s(10, false, true, nullptr);
             TtvVariant v;
             v.SetBoolean(1);
             s.AddSortKey(v, 1);
         },
         "Variant type cannot be sorted"},
        {"no value", [] { TtvSort(10, false, true, nullptr).AddSortKey(TtvVariant(), 1); },
         "Variant type cannot be sorted"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        try {
            c.Run();
            ADD_FAILURE() << "no error";
        } catch (const ETarnisError& e) {
            EXPECT_STREQ(e.what(), c.Message);
        }
    }
}

TEST(TtvSort, KeysAtTheLengthLimitAreSorted) {
    for (const bool raw : {false, true}) {
        SCOPED_TRACE(raw ? "raw" : "text");
        TtvSort sorter(240, false, true, nullptr, SmallLimits());
        std::mt19937 rng(5);
        std::vector<Pair> added;
        for (int i = 1; i <= 300; ++i) {
            // 240 bytes, many of them escaped in the sort form.
            std::string s(240, 'A');
            for (size_t j = 0; j < s.size(); j += 3)
                s[j] = "\0\1AZ"[rng() % 4];
            added.push_back({raw ? Raw(s) : Text(s), i});
        }
        for (const auto& p : added)
            sorter.AddSortKey(p.Key, p.Record);
        ExpectSame(Drain(sorter), Reference(added, false, true, nullptr));
    }
}

// ---- memory and temporary files ----

TEST(TtvSort, MemoryStaysWithinTheBound) {
    struct Case {
        const char* Name;
        int64_t ResidentBytes;
        int32_t MergeWidth;
    };
    const Case cases[] = {
        {"runs kept in memory up to a budget", 16384, 16},
        {"two-way merges over many levels", 0, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TtvSortLimits limits = SmallLimits();
        limits.ResidentBytes = c.ResidentBytes;
        limits.MergeWidth = c.MergeWidth;
        TtvSort sorter(20, false, true, nullptr, limits);
        std::mt19937 rng(9);
        const int count = 100000;
        int64_t keyBytes = 0;
        for (int i = 1; i <= count; ++i) {
            std::string s = "K" + std::to_string(rng()) + std::to_string(rng() % 1000);
            keyBytes += static_cast<int64_t>(s.size()) + 4;
            sorter.AddSortKey(Text(s), i);
        }
        const int64_t bound = TtvSort::MemoryBound(sorter.Limits());
        // The data is many times what the sorter may hold.
        EXPECT_GT(keyBytes, 10 * bound);
        TtvVariant previous, key;
        int32_t record = 0, n = 0;
        while (sorter.NextSortKey(key, record)) {
            int32_t diff;
            if (n++ > 0) {
                ASSERT_LT(previous.Compare(&key, diff, nullptr, -1), 0);
            }
            previous = key;
        }
        EXPECT_EQ(n, count);
        EXPECT_GT(sorter.Stats().LevelMerges, 10);
        EXPECT_LE(sorter.Stats().WidestMerge, c.MergeWidth);
        EXPECT_LE(sorter.Stats().PeakBytes, bound);
    }
}

TEST(TtvSort, TemporaryFilesLeaveNothingBehind) {
    test::TempDir dir;
    const auto entries = [&dir] {
        return std::distance(std::filesystem::directory_iterator(dir.Path()),
                             std::filesystem::directory_iterator());
    };
    {
        TtvSortLimits limits = SmallLimits();
        limits.TempDirectory = dir.Path();
        TtvSort sorter(20, false, true, nullptr, limits);
        for (int i = 1; i <= 3000; ++i)
            sorter.AddSortKey(Text("R" + std::to_string(i * 7919 % 3001)), i);
        ASSERT_GT(sorter.Stats().SpilledBytes, 0);
        EXPECT_EQ(entries(), 0);
        TtvVariant key;
        int32_t record;
        for (int i = 0; i < 1500; ++i)
            ASSERT_TRUE(sorter.NextSortKey(key, record));
        EXPECT_EQ(entries(), 0);
        // Destroyed halfway through the retrieval.
    }
    EXPECT_EQ(entries(), 0);
}

TEST(TtvSort, FailedSpillIsReportedAndRepeated) {
    test::TempDir dir;
    TtvSortLimits limits = SmallLimits();
    limits.TempDirectory = dir.File("missing");
    TtvSort sorter(20, false, true, nullptr, limits);
    const std::string expected = "Path not found - " + limits.TempDirectory;
    std::string first;
    try {
        for (int i = 1; i <= 5000; ++i)
            sorter.AddSortKey(Text("R" + std::to_string(i * 7919 % 5003)), i);
    } catch (const ETarnisError& e) {
        first = e.what();
    }
    EXPECT_EQ(first, expected);
    TtvVariant key;
    int32_t record;
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            if (attempt == 0)
                sorter.AddSortKey(Text("X"), 1);
            else
                sorter.NextSortKey(key, record);
            ADD_FAILURE() << "no error";
        } catch (const ETarnisError& e) {
            EXPECT_EQ(std::string(e.what()), expected);
        }
    }
}

} // namespace
} // namespace tarnis
