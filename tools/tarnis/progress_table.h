// A table opened for writing by the tool, exclusively, that shows the engine's
// progress reports (pack, reindex, tag builds) as a bar on standard error when that
// is a terminal. The reports come as (-1, kind, total) at the start, (kind, done, 0)
// along the way and (0, ...) at the end.
#pragma once

#include "engine/table/TVO_dBHandler.h"

#include <string>

namespace tarnis::tool {

class ProgressTable : public TVO_dBHandler {
public:
    ProgressTable(const std::string& FileName, std::string Label);
    void StatusReport(int32_t Stat1, int32_t Stat2, int32_t Stat3) override;

private:
    std::string label_;
    bool terminal_;
    int32_t total_ = 0;
    int32_t shownPercent_ = -1;
};

} // namespace tarnis::tool
