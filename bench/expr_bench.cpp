// Compiling a key expression once and evaluating it for every record of a table,
// as an index build does.
#include "engine/expr/tv6_sql.h"
#include "engine/table/TVO_dBaseFld.h"
#include "engine/table/TtvDBFExpUserLink.h"
#include "engine/table/table_create.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

namespace {

using namespace tarnis;

// A table of `count` generated records (NAME C20, QTY N5, BORN D), made once per size.
std::string GeneratedTable(int32_t count) {
    static std::map<int32_t, std::string> made;
    if (auto it = made.find(count); it != made.end()) return it->second;
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("tarnis-expr-bench-" + std::to_string(count) + ".dbf"))
                                 .string();
    CreateTableFile(path, 0x03, {{"NAME", 'C', 20}, {"QTY", 'N', 5}, {"BORN", 'D', 8}});
    TVO_dBaseFld table(path, true, false);
    uint32_t seed = 12345;
    for (int32_t i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        char name[21];
        std::snprintf(name, sizeof name, "name%08u%06d", seed >> 4, i % 1000000);
        table.BlankRecord();
        table.PutRawN(1, name);
        table.PutNumberN(2, static_cast<double>(seed % 99999));
        table.PutDateN(3, 2440000 + static_cast<int32_t>(seed % 20000));
        table.AppendRecord();
    }
    made[count] = path;
    return path;
}

void EvaluateKey(benchmark::State& state, const char* expression) {
    const auto count = static_cast<int32_t>(state.range(0));
    TVO_dBaseFld table(GeneratedTable(count), false, false);
    TtvExpHandler key(table.Link.get(), false, expression);
    TtvExpBuffer value;
    for (auto _ : state) {
        for (table.GoToRecord(MoveTop); !table.AtEof; table.GoToRecord(MoveNext)) {
            key.Evaluate(value);
            benchmark::DoNotOptimize(value.Data());
        }
    }
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(count) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}

// The same walk without evaluating: the cost of reading the records alone.
void ReadRecords(benchmark::State& state) {
    const auto count = static_cast<int32_t>(state.range(0));
    TVO_dBaseFld table(GeneratedTable(count), false, false);
    for (auto _ : state) {
        for (table.GoToRecord(MoveTop); !table.AtEof; table.GoToRecord(MoveNext))
            benchmark::DoNotOptimize(table.CurrentRecord[1]);
    }
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(count) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}

BENCHMARK(ReadRecords)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(EvaluateKey, StrQtyName, "STR(QTY,5)+NAME")
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(EvaluateKey, UpperNameDtos, "UPPER(NAME)+DTOS(BORN)")
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(EvaluateKey, Field, "NAME")->Arg(1000000)->Unit(benchmark::kMillisecond);

} // namespace
