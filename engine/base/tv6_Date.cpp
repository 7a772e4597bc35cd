#include "engine/base/tv6_Date.h"

#include "platform/code_page.h"
#include "platform/format_settings.h"

namespace tarnis {

const TtvDBFDate EngineDates;

namespace {

constexpr int32_t FirstJdn = 1721426; // 1 January of year 1
constexpr int32_t LastJdn = 5373484;  // 31 December 9999

bool InCalendar(int32_t jdn) {
    return jdn >= FirstJdn && jdn <= LastJdn;
}

} // namespace

std::string TtvDBFDate::FormatStored(int32_t Jdn) const {
    if (Jdn <= 0 || !InCalendar(Jdn)) return std::string(8, ' ');
    int year = 0, month = 0, day = 0;
    DecodeDate(Jdn - JulianOffset, year, month, day);
    return FormatDatePattern("yyyymmdd", year, month, day);
}

std::string TtvDBFDate::FormatDisplay(int32_t Jdn) const {
    if (Jdn <= 0 || !InCalendar(Jdn)) return {};
    std::string pattern = AnsiUpperCase(FormatSettings.ShortDateFormat);
    const size_t firstY = pattern.find('Y');
    const size_t insertAt = firstY == std::string::npos ? 0 : firstY;
    while (pattern.find("YYYY") == std::string::npos)
        pattern.insert(insertAt, 1, 'Y');
    int year = 0, month = 0, day = 0;
    DecodeDate(Jdn - JulianOffset, year, month, day);
    return FormatDatePattern(pattern, year, month, day);
}

int32_t TtvDBFDate::ParseDate(std::string_view Text) const {
    std::string_view trimmed = Text;
    while (!trimmed.empty() && trimmed.back() == ' ')
        trimmed.remove_suffix(1);
    if (trimmed.empty() || Text == "00000000") return 0;
    int32_t serial = 0;
    bool digits = trimmed.size() == 8;
    for (const char c : trimmed)
        digits = digits && c >= '0' && c <= '9';
    if (digits) {
        const auto number = [&](size_t from, size_t count) {
            int value = 0;
            for (size_t i = from; i < from + count; ++i)
                value = value * 10 + (trimmed[i] - '0');
            return value;
        };
        if (!TryEncodeDate(number(0, 4), number(4, 2), number(6, 2), serial)) serial = 0;
    } else {
        serial = StrToDateSerial(trimmed);
    }
    return serial + JulianOffset;
}

int32_t TtvDBFDate::Today() const {
    const TLocalTime now = LocalNow();
    int32_t serial = 0;
    TryEncodeDate(now.Year, now.Month, now.Day, serial);
    return serial + JulianOffset;
}

int32_t TtvDBFDate::WeekDay(int32_t Jdn) const {
    if (Jdn <= 0) return 0;
    return DayOfWeek(Jdn - JulianOffset);
}

void TtvDBFDate::Decode(int32_t Jdn, uint16_t& Month, uint16_t& Day, uint16_t& Year) const {
    int year = 0, month = 0, day = 0;
    if (InCalendar(Jdn)) DecodeDate(Jdn - JulianOffset, year, month, day);
    Month = static_cast<uint16_t>(month);
    Day = static_cast<uint16_t>(day);
    Year = static_cast<uint16_t>(year);
}

} // namespace tarnis
