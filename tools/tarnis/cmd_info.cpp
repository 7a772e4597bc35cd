#include "tools/tarnis/commands.h"
#include "tools/tarnis/index_files.h"
#include "tools/tarnis/options.h"

#include <cstdio>
#include <iostream>

namespace tarnis::tool {

std::unique_ptr<TVO_dBHandler> OpenTableForReading(const std::string& name) {
    return std::make_unique<TVO_dBHandler>(name, false, true);
}

namespace {

const char* MemoKind(const TVO_dBaseDBF& table) {
    if (!table.HasMemo) return "none";
    switch (table.Version) {
    case 0x83:
        return "dBase III (.DBT)";
    case 0x8B:
        return "dBase IV (.DBT)";
    default:
        return "FoxPro (.FPT)";
    }
}

// The header stores the year as a number of years since 1900 for some writers and
// modulo 100 for others; both read back here.
std::string LastUpdate(const TVO_dBaseDBF& table) {
    const int stored = table.Header[1];
    const int year = stored >= 100 ? 1900 + stored : (stored < 80 ? 2000 + stored : 1900 + stored);
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, table.Header[2], table.Header[3]);
    return text;
}

} // namespace

int CommandInfo(const Args& args) {
    const Options options(args, {}, {"--index"});
    options.ExpectPositional(1, "TABLE");
    const auto table = OpenTableForReading(options.Positional()[0]);
    const IndexFiles indexes = OpenIndexesForReading(*table, options.Values("--index"));

    char version[8];
    std::snprintf(version, sizeof version, "0x%02X", table->Version);
    std::cout << "file        " << table->FileName << '\n'
              << "version     " << version << '\n'
              << "records     " << table->RecordCount << '\n'
              << "header      " << table->HeaderLength << '\n'
              << "record      " << table->RecordLength << '\n'
              << "updated     " << LastUpdate(*table) << '\n'
              << "memo        " << MemoKind(*table) << '\n'
              << "fields      " << table->FieldCount << '\n';
    for (int32_t no = 1; no <= table->FieldCount; ++no) {
        char line[64];
        std::snprintf(line, sizeof line, "  %-10s  %c  %5d  %3d", table->FieldName(no).c_str(),
                      table->FieldType(no), table->FieldLength(no), table->FieldDecimals(no));
        std::cout << line << '\n';
    }
    // Per index file its tags: name, key and FOR expressions, key type, order,
    // uniqueness and the number of keys.
    for (const auto& file : indexes) {
        std::cout << "index       " << file->DiskFile->FileName << '\n'
                  << "tags        " << file->TagCount() << '\n';
        for (int32_t i = 0; i < file->TagCount(); ++i) {
            TVobjIndexTag& tag = *file->TagByIndex(i);
            std::cout << "  " << tag.TagName << "  key=" << tag.KeyExpression.value_or("")
                      << "  for=" << (tag.HasFor ? tag.ForExpression.value_or("") : "")
                      << "  type=" << tag.KeyType
                      << "  order=" << (tag.Descending ? "descending" : "ascending")
                      << "  unique=" << (tag.Unique ? "yes" : "no") << "  keys=" << CountKeys(tag)
                      << '\n';
        }
    }
    return 0;
}

} // namespace tarnis::tool
