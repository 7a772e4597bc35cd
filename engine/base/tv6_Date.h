// Dates: the engine keeps every date as a Julian day number (JDN), a signed 32-bit
// count of days in the proleptic Gregorian calendar; JDN 2444240 is 1 January 1980,
// 2451545 is 1 January 2000, and 0 (or below) is the blank date.
//
//   stored form   "yyyymmdd" in a field; eight blanks for the blank date
//   display form  the locale's short date pattern with a four-digit year
//
// JDN = day serial (days since 30 December 1899) + JulianOffset (2415019). The
// calendar covers JDN 1721426 (1 January of year 1) to 5373484 (31 December 9999);
// outside that range FormatStored writes eight blanks and FormatDisplay nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnis {

class TtvDBFDate {
public:
    int32_t JulianOffset = 2415019;
    bool ShowCentury = true;

    std::string FormatStored(int32_t Jdn) const;
    std::string FormatDisplay(int32_t Jdn) const;
    // Trailing blanks are ignored. Blank text and "00000000" give 0. Eight digits
    // that are not a valid date give JulianOffset (30 December 1899), not the blank
    // date. Any other text goes to the locale's date parser and may throw
    // EConvertError "'<text>' is not a valid date".
    int32_t ParseDate(std::string_view Text) const;
    int32_t Today() const;
    // 1 = Sunday .. 7 = Saturday; 0 for the blank date.
    int32_t WeekDay(int32_t Jdn) const;
    void Decode(int32_t Jdn, uint16_t& Month, uint16_t& Day, uint16_t& Year) const;
};

extern const TtvDBFDate EngineDates;

} // namespace tarnis
