#include "tools/tarnis/commands.h"
#include "tools/tarnis/field_view.h"
#include "tools/tarnis/options.h"

#include <iostream>

namespace tarnis::tool {

int CommandMemo(const Args& args) {
    const Options options(args, {}, {});
    options.ExpectPositional(3, "TABLE RECNO FIELD");
    const long recno = ParseInteger(options.Positional()[1], 1, 2147483647L, "record number");
    const auto table = OpenTableForReading(options.Positional()[0]);
    if (recno > table->RecordCount) throw UsageError("no record " + options.Positional()[1]);
    table->GoToRecord(static_cast<int32_t>(recno));
    const std::string& name = options.Positional()[2];
    if (table->TypedField(name, 'G') == nullptr) return 1;
    std::cout << MemoBytes(*table, table->FieldNumber(name));
    return 0;
}

} // namespace tarnis::tool
