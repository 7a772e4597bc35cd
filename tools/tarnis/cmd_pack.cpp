// tarnis pack TABLE [--index FILE]...: removes the deleted records (table opened for
// exclusive use) and rebuilds the given index files.
#include "tools/tarnis/commands.h"
#include "tools/tarnis/index_files.h"
#include "tools/tarnis/options.h"
#include "tools/tarnis/progress_table.h"

#include <iostream>

namespace tarnis::tool {

int CommandPack(const Args& args) {
    const Options options(args, {}, {"--index"});
    options.ExpectPositional(1, "TABLE");
    ProgressTable table(options.Positional()[0], "packing");
    OpenIndexesInTable(table, options.Values("--index"));
    const int32_t before = table.RecordCount;
    table.Pack();
    std::cerr << before - table.RecordCount << " records removed, " << table.RecordCount
              << " kept\n";
    return 0;
}

} // namespace tarnis::tool
