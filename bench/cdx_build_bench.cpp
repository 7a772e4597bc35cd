// Building a compound index tag over a generated table, as CreateTag and a reindex
// do: every record read from the table file (through the handler's read-ahead
// buffer), its key evaluated and sorted, the tree written bottom-up.
//
// The tables (NAME C20, AMOUNT N12.2, version 0x03) are written once per size into a
// temporary directory, directly as bytes, and removed at the end. Each iteration
// opens the table, makes a new compound file and builds one tag:
//   BM_BuildText20   key NAME (20 characters: one of 64 surnames, an initial, a number
//                    of up to 5 digits; long shared prefixes and duplicates)
//   BM_BuildNumber   key AMOUNT (amounts with two decimals, 8-byte binary keys)
//
// Counters: keys/s (records per second), peak = the most bytes the build's sorter held
// at once (its bound with the default limits is 10 810 752 bytes), hwm = the process's
// resident high-water mark (VmHWM, monotonic over the whole run, so read it in order),
// spilled = bytes of sorted runs written to temporary files, index = bytes of the
// compound file.
#include "engine/index/tv6_cdx.h"
#include "engine/table/TVO_dBHandler.h"
#include "engine/table/table_create.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace {

using namespace tarnis;

constexpr int32_t RecordLength = 1 + 20 + 12;

// One generated record: the deletion flag, NAME, AMOUNT.
void MakeRecord(uint64_t& seed, char* record) {
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
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    const uint64_t r = seed >> 16;
    std::memset(record, ' ', RecordLength);
    const char* name = names[r & 63];
    const size_t length = std::strlen(name);
    std::memcpy(record + 1, name, length);
    record[1 + length + 1] = static_cast<char>('A' + (r >> 6) % 26);
    char text[16];
    int n = std::snprintf(text, sizeof text, "%u", static_cast<unsigned>((r >> 11) % 100000));
    std::memcpy(record + 1 + length + 3, text, static_cast<size_t>(n));
    const double amount =
        static_cast<double>(static_cast<int64_t>((r >> 20) % 100000000) - 50000000) / 100;
    n = std::snprintf(text, sizeof text, "%12.2f", amount);
    std::memcpy(record + 21, text, 12);
}

// The generated tables, one per record count, in one temporary directory.
class Tables {
public:
    ~Tables() {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    std::string Directory() {
        if (dir_.empty()) {
            std::string pattern = (std::filesystem::temp_directory_path() / "cdxbenchXXXXXX");
            if (mkdtemp(pattern.data()) == nullptr) std::abort();
            dir_ = pattern;
        }
        return dir_;
    }

    const std::string& Table(int32_t count) {
        auto found = tables_.find(count);
        if (found != tables_.end()) return found->second;
        const std::string path = Directory() + "/T" + std::to_string(count) + ".DBF";
        CreateTableFile(path, 0x03, {{"NAME", 'C', 20}, {"AMOUNT", 'N', 12, 2}});
        const auto header = static_cast<std::streamoff>(std::filesystem::file_size(path) - 1);
        std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
        const uint8_t countBytes[4] = {
            static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
            static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 24)};
        file.seekp(4);
        file.write(reinterpret_cast<const char*>(countBytes), 4);
        file.seekp(header);
        uint64_t seed = 42;
        std::string block;
        char record[RecordLength];
        for (int32_t i = 0; i < count; ++i) {
            MakeRecord(seed, record);
            block.append(record, RecordLength);
            if (block.size() > (1 << 20)) {
                file.write(block.data(), static_cast<std::streamsize>(block.size()));
                block.clear();
            }
        }
        block += '\x1A';
        file.write(block.data(), static_cast<std::streamsize>(block.size()));
        return tables_.emplace(count, path).first->second;
    }

private:
    std::string dir_;
    std::map<int32_t, std::string> tables_;
};

Tables& Generated() {
    static Tables tables;
    return tables;
}

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

void BuildTag(benchmark::State& state, const char* key) {
    const auto count = static_cast<int32_t>(state.range(0));
    const std::string table = Generated().Table(count);
    const std::string index = Generated().Directory() + "/BUILT.CDX";
    TtvSortStats stats;
    int64_t size = 0;
    for (auto _ : state) {
        TVO_dBHandler handler(table, true, false);
        handler.SetCache(true);
        TVobjCDXFile cdx(&handler, index, true, false, true, true);
        if (!cdx.CreateTag(key, key, "", true, false)) state.SkipWithError("no tag");
        stats = cdx.BuildStats;
        size = cdx.DiskFile->FileSize();
    }
    state.counters["keys/s"] =
        benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["peak"] = static_cast<double>(stats.PeakBytes);
    state.counters["hwm"] = HighWaterMark();
    state.counters["spilled"] = static_cast<double>(stats.SpilledBytes);
    state.counters["index"] = static_cast<double>(size);
}

void BM_BuildText20(benchmark::State& state) {
    BuildTag(state, "NAME");
}
void BM_BuildNumber(benchmark::State& state) {
    BuildTag(state, "AMOUNT");
}

} // namespace

BENCHMARK(BM_BuildText20)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BuildNumber)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
