// tarnis check TABLE [--index FILE]...: verifies every tag of every given index file
// against the table — each record that belongs to the tag has its key there exactly
// once, in order, in a well-formed tree. Exit status 1 with a report when anything is
// wrong.
#include "engine/index/TVobjIndexCheck.h"
#include "tools/tarnis/commands.h"
#include "tools/tarnis/index_files.h"
#include "tools/tarnis/options.h"

#include <algorithm>
#include <iostream>

namespace tarnis::tool {

namespace {

constexpr size_t MaxProblemsShown = 20;

} // namespace

int CommandCheck(const Args& args) {
    const Options options(args, {}, {"--index"});
    options.ExpectPositional(1, "TABLE");
    if (options.Values("--index").empty()) throw UsageError("check needs --index");
    const auto table = OpenTableForReading(options.Positional()[0]);
    OpenIndexesInTable(*table, options.Values("--index"));
    bool ok = true;
    for (int32_t n = 1;; ++n) {
        TVobjIndexTag* tag = table->TagByGlobalNumber(n);
        if (!tag) break;
        const TVobjIndexCheck check(*tag, true);
        std::cout << tag->TagName << ": " << check.KeyCount << " keys, " << check.NodeCount
                  << " nodes, " << check.Levels << (check.Levels == 1 ? " level" : " levels")
                  << (check.Ok() ? ", ok" : "") << '\n';
        if (!check.Ok()) {
            ok = false;
            const size_t shown = std::min<size_t>(check.Problems.size(), MaxProblemsShown);
            for (size_t i = 0; i < shown; ++i)
                std::cout << check.Problems[i] << '\n';
            if (shown < check.Problems.size())
                std::cout << "... and " << check.Problems.size() - shown << " more\n";
        }
    }
    return ok ? 0 : 1;
}

} // namespace tarnis::tool
