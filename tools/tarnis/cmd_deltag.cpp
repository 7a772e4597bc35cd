// tarnis deltag TABLE FILE.CDX TAG: removes the tag from the compound file (table
// and file opened for exclusive use). Removing the last tag leaves an empty file of
// 1536 bytes. An unknown tag is an error: "Cannot find index tag <name>".
#include "engine/base/tv6_eror.h"
#include "tools/tarnis/commands.h"
#include "tools/tarnis/compound_writing.h"
#include "tools/tarnis/options.h"

#include <iostream>

namespace tarnis::tool {

int CommandDeleteTag(const Args& args) {
    const Options options(args, {}, {});
    options.ExpectPositional(3, "TABLE, FILE.CDX and TAG");
    const std::string& tagName = options.Positional()[2];
    TVO_dBHandler table(options.Positional()[0], true, false);
    const auto file = OpenCompoundForWriting(table, options.Positional()[1], false);
    if (!file->DeleteTag(tagName)) throw ETarnisError("Cannot find index tag " + tagName);
    std::cout << file->TagCount() << " tags left\n";
    return 0;
}

} // namespace tarnis::tool
