// The handler's bulk operations: pack, reindex and the field search.
#include "engine/base/tv6_Date.h"
#include "engine/base/tv6_eror.h"
#include "engine/index/tv6_indx.h"
#include "engine/table/TVO_dBHandler.h"
#include "engine/table/tv6_memo.h"
#include "platform/code_page.h"
#include "platform/format_settings.h"
#include "platform/os_file.h"

#include <cmath>
#include <cstring>

namespace tarnis {

namespace {

constexpr int32_t PackStatus = 11;
constexpr int32_t SearchStatus = 21;
constexpr size_t MaxSearchText = 255;

// The value as a 6-byte real holds it: 40 significant bits (39 stored and the
// implied one) and a binary exponent within -128..126; smaller values are 0. Numbers
// compare in that precision, as the search has always compared them.
double AsReal48(double v) {
    if (v == 0 || !std::isfinite(v)) return v;
    int exponent = 0;
    const double mantissa = std::frexp(v, &exponent); // 0.5 <= |mantissa| < 1
    if (exponent < -128) return 0;
    const double rounded = std::round(std::ldexp(mantissa, 40));
    return std::ldexp(rounded, exponent - 40);
}

// Restores the handler's state when a bulk operation ends, however it ends.
class StateGuard {
public:
    explicit StateGuard(TVO_dBHandler& table)
        : table_(table), master_(table.MasterTag), cache_(table.CacheOn) {}
    ~StateGuard() {
        table_.RecordState = 1;
        table_.Packing = false;
        table_.MasterTag = master_;
        try {
            table_.SetCache(cache_);
        } catch (...) {
        }
    }
    TVobjIndexTag* Master() const { return master_; }

private:
    TVO_dBHandler& table_;
    TVobjIndexTag* master_;
    bool cache_;
};

} // namespace

void TVO_dBHandler::Pack() {
    if (Shared) {
        ErrorCode = oserr::AccessDenied;
        ReportError(oserr::AccessDenied, sc::Pack, FileName);
        return;
    }
    int32_t kept = 0;
    const int32_t count = RecordCount;
    {
        StateGuard guard(*this);
        PackMemo = HasMemo ? OpenMemo() : nullptr;
        MasterTag = nullptr;
        SetCache(false);
        SetCache(true);
        StatusReport(-1, PackStatus, RecordCount);
        Packing = true;
        for (int32_t j = 1; j <= count; ++j) {
            ReadAt(static_cast<uint32_t>(HeaderLength) +
                       static_cast<uint32_t>(j - 1) * static_cast<uint32_t>(RecordLength),
                   CurrentRecord, RecordLength);
            CheckError(ErrorCode, sc::TableGoTo);
            RecNo = j;
            if (!IsDeleted()) {
                ++kept;
                if (j != kept) TVO_dBaseDBF::ReplaceRecord(kept);
            } else if (PackMemo) {
                for (int32_t no = 1; no <= FieldCount; ++no) {
                    const char type = FieldType(no);
                    if (type != 'B' && type != 'G' && type != 'M') continue;
                    const double block = std::trunc(GetNumberN(no));
                    if (block >= 1 && block <= 2147483647.0)
                        PackMemo->FreeBlocks(static_cast<int32_t>(block));
                }
            }
            StatusReport(PackStatus, j, 0);
        }
        Packing = false;
        if (kept < RecordCount) {
            RecordCount = kept;
            const uint8_t endOfFile = 0x1A;
            const uint32_t end = static_cast<uint32_t>(HeaderLength) +
                                 static_cast<uint32_t>(kept) * static_cast<uint32_t>(RecordLength);
            TVO_dBaseFld::WriteAt(end, &endOfFile, 1);
            Truncate(end + 1);
            CacheStart = -1;
        }
        HeaderDirty = true;
        StatusReport(0, 0, 0);
        PackMemo = nullptr;
    }
    if (kept < count) Reindex();
    if (MasterTag) MasterTag->ResetNodes(0);
    GoToRecord(MoveTop);
}

void TVO_dBHandler::Reindex() {
    {
        StateGuard guard(*this);
        MasterTag = nullptr;
        RecordState = 4;
        SetCache(true);
        for (auto& file : IndexSlots)
            if (file) file->RebuildAll();
    }
    if (MasterTag) MasterTag->ResetNodes(0);
    GoToRecord(MoveTop);
}

uint16_t TVO_dBHandler::SearchField(const std::string& Text, uint16_t& FieldNo,
                                    int32_t& StartRecord, int32_t StopAt) {
    if (FieldNo > FieldCount || Text.empty()) return 0;
    const uint16_t options = SearchOptions;
    const int32_t first = FieldNo == 0 ? 1 : FieldNo;
    const int32_t last = FieldNo == 0 ? FieldCount : FieldNo;

    // The pattern and its wildcards.
    std::string pattern = Text.substr(0, MaxSearchText);
    if (options & so::CaseInsensitive) pattern = AnsiUpperCase(pattern);
    bool anywhere = false, shortMatch = false, single = false, exact = false;
    if (options & so::Wildcards) {
        if (!pattern.empty() && pattern.front() == '*') {
            anywhere = true;
            pattern.erase(0, 1);
        }
        if (!pattern.empty() && pattern.back() == '*') {
            shortMatch = true;
            pattern.pop_back();
        }
        single = !anywhere && pattern.find('?') != std::string::npos;
        exact = false;
    } else {
        anywhere = !(options & so::Anchored);
        shortMatch = !(options & so::Exact);
        exact = (options & so::Exact) != 0;
    }

    // The other views of the text.
    double number = 0;
    const bool isNumber = TryParseDecimal(Text, number);
    const double number48 = AsReal48(number);
    const bool logical = TrueLetters.find(Text.front()) != std::string_view::npos;
    int32_t date = 0;
    bool dateKnown = false;

    uint16_t result = 0;
    int32_t counter = 0;
    const int32_t remembered = RecNo;
    bool found = false;
    StatusReport(-1, SearchStatus, RecordCount);
    {
        StateGuard guard(*this);
        if (!(options & so::KeepState)) RecordState = 4;
        if (!(options & so::KeepOrder)) MasterTag = nullptr;
        if (!MasterTag) SetCache(true);
        if (StartRecord == 0) {
            GoToRecord(MoveTop);
        } else {
            GoToRecord(StartRecord);
            Skip(1);
        }
        while (!AtEof && (StopAt == 0 || RecNo <= StopAt) && !found) {
            for (int32_t no = first; no <= last && !found; ++no) {
                FieldNo = static_cast<uint16_t>(no);
                switch (FieldType(no)) {
                case 'C': {
                    std::string field(RawField(no).substr(0, MaxSearchText));
                    if (field.size() < pattern.size()) break;
                    if (options & so::CaseInsensitive) field = AnsiUpperCase(field);
                    if (single)
                        for (size_t i = 0; i < pattern.size(); ++i)
                            if (pattern[i] == '?') field[i] = '?';
                    if (exact) {
                        size_t end = field.size();
                        while (end > pattern.size() && field[end - 1] == ' ')
                            --end;
                        if (field.compare(0, end, pattern) == 0 && end == pattern.size()) {
                            found = true;
                            result = 1;
                        }
                        break;
                    }
                    const size_t at = field.find(pattern);
                    size_t m = at == std::string::npos ? 0 : at + 1;
                    if (m != 1 && !anywhere) m = 0;
                    if (m != 0 && !shortMatch) {
                        size_t trimmed = field.size();
                        while (trimmed > 0 && field[trimmed - 1] == ' ')
                            --trimmed;
                        if (pattern.size() + m - 1 < trimmed) m = 0;
                    }
                    if (m != 0) {
                        found = true;
                        result = static_cast<uint16_t>(m);
                    }
                    break;
                }
                case 'N':
                case 'F':
                    if (isNumber && AsReal48(GetNumberN(no)) == number48) {
                        found = true;
                        result = 1;
                    }
                    break;
                case 'D':
                    if (!dateKnown) {
                        try {
                            date = EngineDates.ParseDate(Text);
                        } catch (const EConvertError&) {
                            date = -1;
                        }
                        dateKnown = true;
                    }
                    if (date != -1 && GetDateN(no) == date) {
                        found = true;
                        result = 1;
                    }
                    break;
                case 'L':
                    if (first == last && GetLogicalN(no) == logical) {
                        found = true;
                        result = 1;
                    }
                    break;
                default:
                    break;
                }
            }
            if (!found) {
                ++counter;
                StatusReport(SearchStatus, counter, 0);
                GoToRecord(MoveNext);
            }
        }
        if (found) StartRecord = RecNo;
    }
    if (found)
        GoToRecord(StartRecord);
    else if (remembered > 0)
        GoToRecord(remembered);
    StatusReport(0, counter, 0);
    return found ? result : 0;
}

} // namespace tarnis
