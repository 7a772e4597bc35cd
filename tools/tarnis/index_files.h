// Index files for the tarnis tool: opened for reading beside the table, and their
// tags found by name. Until the table handler orders a table by a tag, the tool moves
// the tag itself.
#pragma once

#include "engine/index/tv6_indx.h"
#include "engine/table/TVO_dBHandler.h"

#include <memory>
#include <string>
#include <vector>

namespace tarnis::tool {

using IndexFiles = std::vector<std::unique_ptr<TVobjIndexFile>>;

// Opens each index file read-only and shared, by its extension (".CDX"; a name
// without one is a compound file). Raises the engine's error for a missing file
// ("File not found") or a damaged one (2112); an unknown extension is a usage error.
IndexFiles OpenIndexesForReading(TVO_dBaseFld& table, const std::vector<std::string>& names);

// Opens each index file in the table handler, so that it orders, filters and keeps
// them current (same errors as above; a file named twice opens once).
void OpenIndexesInTable(TVO_dBHandler& table, const std::vector<std::string>& names);

// The first tag of that name (letter case ignored) in the files; raises
// "Cannot find index tag <name>" when none has it.
TVobjIndexTag& FindTag(const IndexFiles& files, const std::string& name);

// The number of keys the tag holds.
int32_t CountKeys(TVobjIndexTag& tag);

} // namespace tarnis::tool
