// Compound index files opened by the tool for changing their tags (index, deltag):
// read-write and for exclusive use, beside a table opened the same way.
#pragma once

#include "engine/index/tv6_cdx.h"
#include "engine/table/TVO_dBaseFld.h"

#include <memory>
#include <string>

namespace tarnis::tool {

// Opens the compound file Name (".CDX" added when it has no extension; a bare name
// lies beside the table), creating it when Create is set and it is missing. Another
// extension is a usage error; a missing file raises "File not found - <file>", a
// damaged one the engine's 2112.
std::unique_ptr<TVobjCDXFile> OpenCompoundForWriting(TVO_dBaseFld& Table, const std::string& Name,
                                                     bool Create);

} // namespace tarnis::tool
