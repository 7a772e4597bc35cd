// make_catalogue: writes the catalogue's supplied data files into a directory
// (default: data/ of the source tree when run from its root).
//
//   RADERA.DBF + RADERA.FPT   the games (FoxPro table, version 0xF5, 64-byte memo blocks)
//   RADERA.CDX                tags TITLE (key TITLE) and CATEGORY (key CATEGORY)
//   CATEGORY.DBF + .CDX       the categories (version 0x03, no memo file); tag CATEGORY
//   DEVDIST.DBF + .CDX        the developers and distributors (version 0x03); tag DEVDIST
//
// Each compound file has the table's name, so it is the table's production index (its
// header flag is set). Text is stored in code page 850. The output is the same on every
// run: the header's last-update date and change stamp are set to fixed values after
// writing; the compound files hold nothing that depends on the time.
#include "engine/base/tv6_disk.h"
#include "engine/index/tv6_cdx.h"
#include "engine/table/TVO_dBaseFld.h"
#include "engine/table/table_create.h"
#include "platform/code_page.h"
#include "platform/file_names.h"
#include "tools/catalogue/catalogue_data.h"

#include <cstring>
#include <iostream>

using namespace tarnis;

namespace {

constexpr uint8_t FoxPro = 0xF5;               // the catalogue, with its memo file
constexpr uint8_t NoMemo = 0x03;               // the two lists
constexpr uint8_t FixedDate[3] = {26, 12, 11}; // 11 December 2026

std::string Oem(const std::string& utf8) {
    std::string bytes;
    if (!EncodeFromUtf8(utf8, TCodePage::CP850, bytes))
        throw std::runtime_error("not UTF-8: " + utf8);
    return bytes;
}

void PutText(TVO_dBaseFld& table, const char* field, const std::string& utf8) {
    table.PutRawN(table.FieldNumber(field), Oem(utf8));
}

void FixHeaderStamp(const std::string& path) {
    TVO_DiskFile file(path, true, false);
    file.Open();
    file.WriteAt(1, FixedDate, 3);
    const uint8_t zero[4] = {};
    file.WriteAt(16, zero, 4);
    file.Flush();
}

// The table's compound index (same name, ".CDX") made anew with one tag per field
// name, keyed on that field.
void WriteIndex(TVO_dBaseFld& table, const std::string& path,
                const std::vector<const char*>& fields) {
    TVobjCDXFile index(&table, ChangeFileExt(path, ".CDX"), true, false, true, true);
    if (!index.Valid) throw std::runtime_error("cannot make the index of " + path);
    for (const char* field : fields)
        if (!index.CreateTag(field, field, "", true, false))
            throw std::runtime_error(std::string("cannot build tag ") + field);
}

void WriteList(const std::string& path, const char* field, const std::vector<std::string>& values) {
    CreateTableFile(path, NoMemo, {{field, 'C', 30}});
    {
        TVO_dBaseFld table(path, true, false);
        for (const std::string& value : values) {
            table.BlankRecord();
            PutText(table, field, value);
            table.AppendRecord();
        }
        WriteIndex(table, path, {field});
    }
    FixHeaderStamp(path);
}

void WriteGames(const std::string& path) {
    CreateTableFile(path, FoxPro,
                    {{"TITLE", 'C', 40},
                     {"CATEGORY", 'C', 30},
                     {"DEVELOPER", 'C', 30},
                     {"DISTRIBUTR", 'C', 30},
                     {"PLAYERS", 'C', 5},
                     {"MEMORYBLKS", 'C', 5},
                     {"ANALOG", 'L', 1},
                     {"DUALSHOCK", 'L', 1},
                     {"NOTES", 'M', 10}},
                    64);
    {
        TVO_dBaseFld table(path, true, false);
        const int32_t notes = table.FieldNumber("NOTES");
        for (const catalogue::Game& game : catalogue::Games()) {
            table.BlankRecord();
            PutText(table, "TITLE", game.Title);
            PutText(table, "CATEGORY", game.Category);
            PutText(table, "DEVELOPER", game.Developer);
            PutText(table, "DISTRIBUTR", game.Distributor);
            PutText(table, "PLAYERS", game.Players);
            PutText(table, "MEMORYBLKS", game.MemoryBlocks);
            table.PutLogicalN(table.FieldNumber("ANALOG"), game.Analog);
            table.PutLogicalN(table.FieldNumber("DUALSHOCK"), game.DualShock);
            const std::string text = Oem(game.Notes);
            if (!text.empty()) {
                int32_t length = static_cast<int32_t>(text.size());
                table.WriteMemoN(notes, reinterpret_cast<const uint8_t*>(text.data()), length);
            }
            table.AppendRecord();
            if (game.Deleted) table.DeleteRecord();
        }
        WriteIndex(table, path, {"TITLE", "CATEGORY"});
    }
    FixHeaderStamp(path);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && std::strcmp(argv[1], "--help") == 0)) {
        std::cerr << "usage: make_catalogue [DIRECTORY]\n";
        return 2;
    }
    const std::string dir = argc == 2 ? argv[1] : "data";
    try {
        WriteGames(dir + "/RADERA.DBF");
        WriteList(dir + "/CATEGORY.DBF", "CATEGORY", catalogue::Categories());
        WriteList(dir + "/DEVDIST.DBF", "DEVDIST", catalogue::DevelopersAndDistributors());
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
    return 0;
}
