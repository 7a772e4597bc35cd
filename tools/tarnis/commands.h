// The commands of the tarnis tool. Each takes the arguments after its name and
// returns the exit status; engine errors and usage errors propagate to main.
#pragma once

#include "engine/table/TVO_dBHandler.h"

#include <memory>
#include <string>
#include <vector>

namespace tarnis::tool {

using Args = std::vector<std::string>;

// Opens a table for reading, shared, so the tool also works beside other readers.
std::unique_ptr<TVO_dBHandler> OpenTableForReading(const std::string& name);

int CommandInfo(const Args& args);
int CommandList(const Args& args);
int CommandMemo(const Args& args);
int CommandEval(const Args& args);
int CommandImport(const Args& args);
int CommandPack(const Args& args);
int CommandCheck(const Args& args);
int CommandSeek(const Args& args);
int CommandIndex(const Args& args);
int CommandReindex(const Args& args);
int CommandDeleteTag(const Args& args);

} // namespace tarnis::tool
