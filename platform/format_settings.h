// Locale formatting: the one setting of dates and numbers for the whole program.
//
// Defaults are the program's French setting: short date "dd/MM/yyyy", date
// separator "/", decimal separator ",". Tests change the fields they need and
// restore them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarnis {

struct TFormatSettings {
    std::string ShortDateFormat = "dd/MM/yyyy";
    char DateSeparator = '/';
    char DecimalSeparator = ',';
};

extern TFormatSettings FormatSettings;

// The conversion error of the text conversions below, with messages
// "'%s' is not a valid date" and "'%s' is not a valid floating point value".
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---- calendar: day serials count days since 30 December 1899 (serial 0) ----

// False when year (1..9999), month or day do not form a date.
bool TryEncodeDate(int year, int month, int day, int32_t& serial);
void DecodeDate(int32_t serial, int& year, int& month, int& day);
// Day of week of a serial: 1 = Sunday .. 7 = Saturday.
int DayOfWeek(int32_t serial);

struct TLocalTime {
    int Year, Month, Day, Hour, Minute, Second, Millisecond;
};
TLocalTime LocalNow();

// Formats a date by pattern. Specifiers are case-blind: "d"/"dd" day, "m"/"mm"
// month, "yy" two-digit year, "yyyy" four-digit year; "/" stands for the
// DateSeparator; text in quotes and any other character is copied.
std::string FormatDatePattern(std::string_view pattern, int year, int month, int day);
// Parses a date in the order of ShortDateFormat (day, month, year here) with
// DateSeparator between the parts; a two-digit year is taken in the window of the
// current century (00-49 -> 20xx, 50-99 -> 19xx); surrounding blanks allowed. A
// text of day and month alone takes the current year.
// Throws EConvertError "'%s' is not a valid date".
int32_t StrToDateSerial(std::string_view text);

// ---- numbers ----

// General form: shortest text with up to 15 significant digits, the
// DecimalSeparator, exponent form ("1E20", "1E-5") for exponents >= 15 or < -4.
// Infinities and NaN read "INF", "-INF", "NAN" (FormatFixed too).
std::string FloatToStr(double value);
// Decimal text with the DecimalSeparator, blanks around allowed; throws
// EConvertError "'%s' is not a valid floating point value". A magnitude too small for
// a double reads as 0, one too large is an error (TryParseDecimal alike).
double StrToFloat(std::string_view text);
// Decimal text with a period: optional leading blanks, optional sign, digits,
// optional "." and digits, optional exponent; nothing else. False when not a
// complete number.
bool TryParseDecimal(std::string_view text, double& value);
// Fixed-point text with `decimals` digits after a period (none when 0), rounded half
// away from zero on the exact decimal value of `value`; no padding.
std::string FormatFixed(double value, int decimals);

} // namespace tarnis
