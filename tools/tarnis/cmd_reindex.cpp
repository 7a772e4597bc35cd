// tarnis reindex TABLE --index FILE...: rebuilds every tag of the index files through
// the table handler (table and files opened for exclusive use) and prints one line
// "FILE TAG: N keys" per tag. Progress shows as a bar on standard error when that is
// a terminal.
#include "engine/index/tv6_indx.h"
#include "tools/tarnis/commands.h"
#include "tools/tarnis/index_files.h"
#include "tools/tarnis/options.h"
#include "tools/tarnis/progress_table.h"

#include <iostream>

namespace tarnis::tool {

int CommandReindex(const Args& args) {
    const Options options(args, {}, {"--index"});
    options.ExpectPositional(1, "TABLE");
    const std::vector<std::string> names = options.Values("--index");
    if (names.empty()) throw UsageError("reindex needs --index");
    ProgressTable table(options.Positional()[0], "reindexing");
    OpenIndexesInTable(table, names);
    table.Reindex();
    for (const auto& file : table.IndexSlots) {
        if (!file) continue;
        for (const auto& tag : file->Tags)
            std::cout << file->ShortName << ' ' << tag->TagName << ": " << CountKeys(*tag)
                      << " keys\n";
    }
    return 0;
}

} // namespace tarnis::tool
