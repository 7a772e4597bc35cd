#include "tools/tarnis/progress_table.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace tarnis::tool {

ProgressTable::ProgressTable(const std::string& FileName, std::string Label)
    : TVO_dBHandler(FileName, true, false), label_(std::move(Label)),
      terminal_(isatty(STDERR_FILENO) != 0) {
}

void ProgressTable::StatusReport(int32_t Stat1, int32_t Stat2, int32_t Stat3) {
    if (!terminal_) return;
    if (Stat1 == -1) {
        total_ = Stat3;
        shownPercent_ = -1;
        return;
    }
    if (Stat1 == 0) {
        if (shownPercent_ >= 0) std::fputs("\n", stderr);
        shownPercent_ = -1;
        return;
    }
    if (total_ <= 0) return;
    const int32_t percent = static_cast<int32_t>(100LL * std::min(Stat2, total_) / total_);
    if (percent == shownPercent_) return;
    shownPercent_ = percent;
    constexpr int Width = 40;
    char bar[Width + 1];
    for (int i = 0; i < Width; ++i)
        bar[i] = i < percent * Width / 100 ? '#' : '.';
    bar[Width] = '\0';
    std::fprintf(stderr, "\r%s [%s] %3d%%", label_.c_str(), bar, percent);
    std::fflush(stderr);
}

} // namespace tarnis::tool
