// The table handler at 10 000, 100 000 and 1 000 000 generated records: append with
// two compound-index tags open, replace with a key change, random seeks, a full walk
// in tag order, a filtered walk, reindex and pack. Each reports records per second
// and the process's peak memory (VmHWM). Two bounds are measured in the same run:
// reading the table file sequentially, and std::sort of the same keys in memory.
#include "engine/index/tv6_cdx.h"
#include "engine/table/TVO_dBHandler.h"
#include "engine/table/table_create.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace tarnis;
namespace fs = std::filesystem;

double PeakMegabytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

void Report(benchmark::State& state, int64_t records) {
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(records) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
    state.counters["peak_MB"] = PeakMegabytes();
}

std::string Dir() {
    static const std::string dir = [] {
        const fs::path d = fs::temp_directory_path() / "tarnis-table-bench";
        fs::create_directories(d);
        return d.string();
    }();
    return dir;
}

std::string NameOf(uint32_t seed, int64_t i) {
    char name[40];
    std::snprintf(name, sizeof name, "%08x%012lld", seed, static_cast<long long>(i % 1000000000000LL));
    return name;
}

// A fresh table of `count` records with NAME C20 and QTY N8, and a CDX with the tags
// NAME and QTY, written through the handler (the append benchmark measures that).
std::string MakeTable(int64_t count, const std::string& stem) {
    const std::string table = Dir() + "/" + stem + ".DBF";
    const std::string index = Dir() + "/" + stem + ".CDX";
    CreateTableFile(table, 0xF5, {{"NAME", 'C', 20}, {"QTY", 'N', 8}});
    {
        TVO_dBHandler plain(table, true, false);
        plain.BlankRecord();
        TVobjCDXFile file(&plain, index, true, false, true, true);
        file.CreateTag("NAME", "NAME", "", true, false);
        file.CreateTag("QTY", "QTY", "", true, false);
    }
    TVO_dBHandler t(table, true, false);
    t.OpenIndex(index);
    std::mt19937 random(7);
    for (int64_t i = 0; i < count; ++i) {
        t.BlankRecord();
        t.PutRawN(1, NameOf(random(), i));
        t.PutNumberN(2, static_cast<double>(random() % 1000000));
        t.AppendRecord();
    }
    return table;
}

// The shared table of a size, made once.
std::string SharedTable(int64_t count) {
    const std::string stem = "S" + std::to_string(count);
    const std::string table = Dir() + "/" + stem + ".DBF";
    static std::vector<int64_t> made;
    if (std::find(made.begin(), made.end(), count) == made.end()) {
        MakeTable(count, stem);
        made.push_back(count);
    }
    return table;
}

std::unique_ptr<TVO_dBHandler> Open(const std::string& table) {
    auto t = std::make_unique<TVO_dBHandler>(table, true, false);
    t->OpenIndex(fs::path(table).replace_extension(".CDX").string());
    return t;
}

void Append(benchmark::State& state) {
    const int64_t count = state.range(0);
    for (auto _ : state)
        MakeTable(count, "A");
    Report(state, count);
}

void ReplaceWithKeyChange(benchmark::State& state) {
    const int64_t count = state.range(0);
    auto t = Open(SharedTable(count));
    std::mt19937 random(11);
    const int64_t changes = std::max<int64_t>(count / 10, 1);
    for (auto _ : state) {
        for (int64_t i = 0; i < changes; ++i) {
            const auto n = static_cast<int32_t>(random() % count) + 1;
            t->GoToRecord(n);
            t->PutRawN(1, NameOf(random(), n));
            t->PutNumberN(2, static_cast<double>(random() % 1000000));
            t->ReplaceRecord(n);
        }
    }
    Report(state, changes);
}

void RandomSeeks(benchmark::State& state) {
    const int64_t count = state.range(0);
    auto t = Open(SharedTable(count));
    t->SelectTag("NAME", false);
    std::vector<std::string> keys;
    for (int32_t n = 1; n <= count;
         n += std::max<int32_t>(static_cast<int32_t>(count / 10000), 1)) {
        t->GoToRecord(n);
        keys.push_back(t->GetTextN(1));
    }
    std::shuffle(keys.begin(), keys.end(), std::mt19937(3));
    int64_t found = 0;
    for (auto _ : state)
        for (const auto& k : keys)
            found += t->SeekKey(k);
    benchmark::DoNotOptimize(found);
    Report(state, static_cast<int64_t>(keys.size()));
}

void WalkInTagOrder(benchmark::State& state) {
    const int64_t count = state.range(0);
    auto t = Open(SharedTable(count));
    t->SelectTag("NAME", false);
    for (auto _ : state)
        for (t->GoToRecord(MoveTop); !t->AtEof; t->GoToRecord(MoveNext))
            benchmark::DoNotOptimize(t->RecNo);
    Report(state, count);
}

void FilteredWalk(benchmark::State& state) {
    const int64_t count = state.range(0);
    auto t = Open(SharedTable(count));
    t->SelectTag("", false);
    for (auto _ : state) {
        t->SetFilter("QTY < 500000", false, true);
        t->SetFilterActive(true);
        for (t->GoToRecord(MoveTop); !t->AtEof; t->GoToRecord(MoveNext))
            benchmark::DoNotOptimize(t->RecNo);
        t->SetFilter("QTY >= 0", false,
                     true); // a different text: the next pass builds the set again
    }
    Report(state, count);
}

void Reindex(benchmark::State& state) {
    const int64_t count = state.range(0);
    auto t = Open(SharedTable(count));
    for (auto _ : state)
        t->Reindex();
    Report(state, count);
}

void Pack(benchmark::State& state) {
    const int64_t count = state.range(0);
    const std::string source = SharedTable(count);
    for (auto _ : state) {
        state.PauseTiming();
        for (const char* ext : {".DBF", ".FPT", ".CDX"})
            fs::copy_file(fs::path(source).replace_extension(ext), Dir() + "/P" + ext,
                          fs::copy_options::overwrite_existing);
        auto t = Open(Dir() + "/P.DBF");
        for (int32_t n = 1; n <= count; n += 10) {
            t->GoToRecord(n);
            t->DeleteRecord();
        }
        state.ResumeTiming();
        t->Pack();
    }
    Report(state, count);
}

// Bounds: the table file read sequentially, and the keys sorted in memory.
void ReadSequentially(benchmark::State& state) {
    const int64_t count = state.range(0);
    TVO_dBaseFld t(SharedTable(count), false, false);
    for (auto _ : state)
        for (t.GoToRecord(MoveTop); !t.AtEof; t.GoToRecord(MoveNext))
            benchmark::DoNotOptimize(t.CurrentRecord[1]);
    Report(state, count);
}

void StdSortOfKeys(benchmark::State& state) {
    const int64_t count = state.range(0);
    std::mt19937 random(7);
    std::vector<std::pair<std::string, int32_t>> keys;
    for (int64_t i = 0; i < count; ++i)
        keys.emplace_back(NameOf(random(), i), static_cast<int32_t>(i + 1));
    for (auto _ : state) {
        state.PauseTiming();
        auto copy = keys;
        state.ResumeTiming();
        std::sort(copy.begin(), copy.end());
        benchmark::DoNotOptimize(copy.data());
    }
    Report(state, count);
}

constexpr int64_t Sizes[] = {10000, 100000, 1000000};

void Sized(benchmark::internal::Benchmark* b) {
    for (const int64_t n : Sizes)
        b->Arg(n);
    b->Unit(benchmark::kMillisecond)->Iterations(1);
}

BENCHMARK(ReadSequentially)->Apply(Sized);
BENCHMARK(StdSortOfKeys)->Apply(Sized);
BENCHMARK(Append)->Apply(Sized);
BENCHMARK(ReplaceWithKeyChange)->Apply(Sized);
BENCHMARK(RandomSeeks)->Apply(Sized);
BENCHMARK(WalkInTagOrder)->Apply(Sized);
BENCHMARK(FilteredWalk)->Apply(Sized);
BENCHMARK(Reindex)->Apply(Sized);
BENCHMARK(Pack)->Apply(Sized);

} // namespace
