// The index sorter on generated keys, as an index build feeds it: one key per record,
// record numbers ascending, then every pair taken back in order.
//
// Counters: keys/s (pairs added and taken back per second), peak = the most bytes
// the sorter held at once in trie blocks, run pages and buffers, hwm = the process's
// resident high-water mark (VmHWM, monotonic over the whole run), spilled = bytes the
// runs wrote to temporary files, runs = tries written out, merges = runs merged on disk.
#include "engine/index/tv6_sort.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace tarnis;

// Deterministic key streams, made on the fly so that the process's memory is the
// sorter's.
class TextKeys {
public:
    // A 20-character C key: one of 64 surnames, a first-name initial and a number of
    // up to 5 digits, padded with blanks; shared prefixes and duplicates abound.
    void Next(TtvVariant& key) {
        static const char* const names[] = {
            "MARTIN",   "BERNARD",  "DUBOIS",   "THOMAS",  "ROBERT",  "RICHARD",  "PETIT",
            "DURAND",   "LEROY",    "MOREAU",   "SIMON",   "LAURENT", "LEFEBVRE", "MICHEL",
            "GARCIA",   "DAVID",    "BERTRAND", "ROUX",    "VINCENT", "FOURNIER", "MOREL",
            "GIRARD",   "ANDRE",    "LEFEVRE",  "MERCIER", "DUPONT",  "LAMBERT",  "BONNET",
            "FRANCOIS", "MARTINEZ", "LEGRAND",  "GARNIER", "FAURE",   "ROUSSEAU", "BLANC",
            "GUERIN",   "MULLER",   "HENRY",    "ROUSSEL", "NICOLAS", "PERRIN",   "MORIN",
            "MATHIEU",  "CLEMENT",  "GAUTHIER", "DUMONT",  "LOPEZ",   "FONTAINE", "CHEVALIER",
            "ROBIN",    "MASSON",   "SANCHEZ",  "GERARD",  "NGUYEN",  "BOYER",    "DENIS",
            "LEMAIRE",  "DUVAL",    "JOLY",     "GAUTIER", "ROGER",   "ROCHE",    "ROY",
            "NOEL"};
        Seed = Seed * 6364136223846793005u + 1442695040888963407u;
        const uint64_t r = Seed >> 16;
        char text[21];
        std::memset(text, ' ', 20);
        const char* name = names[r & 63];
        const size_t length = std::strlen(name);
        std::memcpy(text, name, length);
        text[length + 1] = static_cast<char>('A' + (r >> 6) % 26);
        char digits[8];
        const int n =
            std::snprintf(digits, sizeof digits, "%u", static_cast<unsigned>((r >> 11) % 100000));
        std::memcpy(text + length + 3, digits, static_cast<size_t>(n));
        key.SetBytes(text, 20);
        key.Kind = vkText;
    }

private:
    uint64_t Seed = 42;
};

class NumberKeys {
public:
    // Amounts with two decimals between -500 000 and 500 000.
    void Next(TtvVariant& key) {
        Seed = Seed * 6364136223846793005u + 1442695040888963407u;
        key.SetNumber(
            static_cast<double>(static_cast<int64_t>((Seed >> 20) % 100000000) - 50000000) / 100);
    }

private:
    uint64_t Seed = 7;
};

double HighWaterMark() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    double kb = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmHWM: %lf kB", &kb) == 1) break;
    std::fclose(f);
    return kb * 1024;
}

template <class Keys>
void SortKeys(benchmark::State& state, int32_t maxKeyLength,
              const TtvSortLimits& limits = TtvSortLimits()) {
    const auto count = static_cast<int32_t>(state.range(0));
    TtvSortStats stats;
    for (auto _ : state) {
        Keys keys;
        TtvVariant key(32);
        TtvSort sorter(maxKeyLength, false, true, nullptr, limits);
        for (int32_t record = 1; record <= count; ++record) {
            keys.Next(key);
            sorter.AddSortKey(key, record);
        }
        int32_t record = 0, taken = 0;
        while (sorter.NextSortKey(key, record))
            ++taken;
        if (taken != count) state.SkipWithError("pairs lost");
        stats = sorter.Stats();
    }
    state.counters["keys/s"] =
        benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["peak"] = static_cast<double>(stats.PeakBytes);
    state.counters["hwm"] = HighWaterMark();
    state.counters["spilled"] = static_cast<double>(stats.SpilledBytes);
    state.counters["runs"] = stats.TrieFlushes;
    state.counters["merges"] = stats.LevelMerges;
    state.counters["width"] = stats.WidestMerge;
}

// For scale: the same pairs held in memory and sorted with std::sort.
template <class Keys> void StdSortKeys(benchmark::State& state) {
    const auto count = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        Keys keys;
        TtvVariant key(32);
        std::vector<std::pair<std::string, int32_t>> pairs;
        pairs.reserve(static_cast<size_t>(count));
        for (int32_t record = 1; record <= count; ++record) {
            keys.Next(key);
            pairs.emplace_back(std::string(key.TextView()), record);
        }
        std::sort(pairs.begin(), pairs.end());
        benchmark::DoNotOptimize(pairs.data());
    }
    state.counters["keys/s"] =
        benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_SortText20(benchmark::State& state) {
    SortKeys<TextKeys>(state, 21);
}
void BM_SortNumber8(benchmark::State& state) {
    SortKeys<NumberKeys>(state, 9);
}
// A small trie and no limit on the runs kept in memory: every run takes part in one
// wide final merge, where the tree of losers does its work.
void BM_SortText20WideMerge(benchmark::State& state) {
    TtvSortLimits limits;
    limits.BlockCount = 2;
    limits.ResidentBytes = int64_t{1} << 40;
    limits.MergeWidth = 4096;
    SortKeys<TextKeys>(state, 21, limits);
}
void BM_StdSortText20(benchmark::State& state) {
    StdSortKeys<TextKeys>(state);
}

} // namespace

BENCHMARK(BM_SortText20)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SortNumber8)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SortText20WideMerge)->Arg(1000000)->Unit(benchmark::kMillisecond);
// Last: holding every pair in memory raises the process's high-water mark for good.
BENCHMARK(BM_StdSortText20)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
