#include "platform/format_settings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <optional>
#include <system_error>

namespace tarnis {

TFormatSettings FormatSettings;

// ---- calendar ----

namespace {

// Days from 1 January 1970 to 30 December 1899 (serial 0).
constexpr int64_t SerialEpochFrom1970 = -25569;

bool IsLeapYear(int year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
    static constexpr int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// Proleptic Gregorian day count relative to 1970-01-01, computed on 400-year eras
// starting on 1 March so that the leap day falls at the end of each era-year.
int64_t DaysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(int64_t days, int64_t& year, int& month, int& day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

} // namespace

bool TryEncodeDate(int year, int month, int day, int32_t& serial) {
    if (year < 1 || year > 9999 || month < 1 || month > 12) return false;
    if (day < 1 || day > DaysInMonth(year, month)) return false;
    serial = static_cast<int32_t>(DaysFromCivil(year, month, day) - SerialEpochFrom1970);
    return true;
}

void DecodeDate(int32_t serial, int& year, int& month, int& day) {
    int64_t fullYear = 0;
    CivilFromDays(static_cast<int64_t>(serial) + SerialEpochFrom1970, fullYear, month, day);
    year = static_cast<int>(fullYear);
}

int DayOfWeek(int32_t serial) {
    // Serial 1 (31 December 1899) was a Sunday.
    const int64_t fromSunday = (static_cast<int64_t>(serial) - 1) % 7;
    return static_cast<int>(fromSunday < 0 ? fromSunday + 7 : fromSunday) + 1;
}

TLocalTime LocalNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    localtime_r(&now.tv_sec, &local);
    return TLocalTime{local.tm_year + 1900,
                      local.tm_mon + 1,
                      local.tm_mday,
                      local.tm_hour,
                      local.tm_min,
                      std::min(local.tm_sec, 59), // a leap second reads as :59
                      static_cast<int>(now.tv_nsec / 1000000)};
}

// ---- date text ----

namespace {

char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

void AppendNumber(std::string& out, int value, int minDigits) {
    std::string digits = std::to_string(value);
    if (static_cast<int>(digits.size()) < minDigits)
        out.append(static_cast<size_t>(minDigits) - digits.size(), '0');
    out += digits;
}

} // namespace

std::string FormatDatePattern(std::string_view pattern, int year, int month, int day) {
    std::string out;
    size_t i = 0;
    while (i < pattern.size()) {
        const char c = pattern[i];
        const char upper = UpperAscii(c);
        if (c == '\'' || c == '"') {
            const size_t close = pattern.find(c, i + 1);
            const size_t end = close == std::string_view::npos ? pattern.size() : close;
            out.append(pattern.substr(i + 1, end - i - 1));
            i = end == pattern.size() ? end : end + 1;
            continue;
        }
        if (upper != 'D' && upper != 'M' && upper != 'Y') {
            out += c == '/' ? FormatSettings.DateSeparator : c;
            ++i;
            continue;
        }
        size_t run = 1;
        while (i + run < pattern.size() && UpperAscii(pattern[i + run]) == upper)
            ++run;
        i += run;
        // There are no day or month names here: longer runs of d or m read as dd, mm.
        if (upper == 'D') {
            AppendNumber(out, day, run == 1 ? 1 : 2);
        } else if (upper == 'M') {
            AppendNumber(out, month, run == 1 ? 1 : 2);
        } else if (run <= 2) {
            AppendNumber(out, year % 100, 2);
        } else {
            AppendNumber(out, year, 4);
        }
    }
    return out;
}

namespace {

// The order of day, month and year in ShortDateFormat, as the letters 'D', 'M', 'Y'
// by first appearance (quoted text skipped); parts it lacks follow as D, M, Y.
std::string DateOrder() {
    const std::string& format = FormatSettings.ShortDateFormat;
    std::string order;
    for (size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (c == '\'' || c == '"') {
            const size_t close = format.find(c, i + 1);
            if (close == std::string::npos) break;
            i = close;
            continue;
        }
        const char upper = UpperAscii(c);
        if ((upper == 'D' || upper == 'M' || upper == 'Y') &&
            order.find(upper) == std::string::npos)
            order += upper;
    }
    for (const char part : {'D', 'M', 'Y'})
        if (order.find(part) == std::string::npos) order += part;
    return order;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace

int32_t StrToDateSerial(std::string_view text) {
    const auto fail = [text]() -> EConvertError {
        return EConvertError("'" + std::string(text) + "' is not a valid date");
    };
    const std::string_view body = TrimBlanks(text);
    int values[3] = {0, 0, 0};
    size_t lengths[3] = {0, 0, 0};
    size_t parts = 0;
    size_t pos = 0;
    for (;;) {
        const size_t start = pos;
        int value = 0;
        while (pos < body.size() && body[pos] >= '0' && body[pos] <= '9' && pos - start < 4)
            value = value * 10 + (body[pos++] - '0');
        if (pos == start) throw fail();
        values[parts] = value;
        lengths[parts] = pos - start;
        ++parts;
        if (pos == body.size()) break;
        if (parts == 3 || body[pos] != FormatSettings.DateSeparator) throw fail();
        ++pos;
    }
    if (parts < 2) throw fail();

    int year = 0, month = 0, day = 0;
    bool shortYear = false;
    const std::string order = DateOrder();
    if (parts == 3) {
        for (size_t i = 0; i < 3; ++i) {
            if (order[i] == 'D') day = values[i];
            if (order[i] == 'M') month = values[i];
            if (order[i] == 'Y') {
                year = values[i];
                shortYear = lengths[i] <= 2;
            }
        }
    } else {
        // Day and month only, in their order in the pattern: the current year.
        const bool dayFirst = order.find('D') < order.find('M');
        day = dayFirst ? values[0] : values[1];
        month = dayFirst ? values[1] : values[0];
        year = LocalNow().Year;
    }
    if (shortYear) year += year < 50 ? 2000 : 1900;
    int32_t serial = 0;
    if (!TryEncodeDate(year, month, day, serial)) throw fail();
    return serial;
}

// ---- numbers ----

namespace {

// A decimal text checked against [sign] digits [point digits] [e [sign] digits] (at
// least one mantissa digit), rewritten for std::from_chars: a period, no '+'.
struct TDecimalText {
    std::string Canonical;
    // Decimal exponent of the first significant digit (1 for "12.5", -3 for
    // "0.00125"), or no value when the mantissa is all zeros.
    std::optional<long> Order;
};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool ScanDecimal(std::string_view text, char point, TDecimalText& out) {
    std::string& canonical = out.Canonical;
    canonical.clear();
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        if (text[i] == '-') canonical += '-';
        ++i;
    }
    size_t digits = 0;
    long integerDigits = 0; // from the first significant one
    long fractionZeros = 0; // leading zeros after the point
    bool significant = false;
    for (; i < text.size() && IsDigit(text[i]); ++i, ++digits) {
        significant = significant || text[i] != '0';
        if (significant) ++integerDigits;
        canonical += text[i];
    }
    if (i < text.size() && text[i] == point) {
        canonical += '.';
        for (++i; i < text.size() && IsDigit(text[i]); ++i, ++digits) {
            if (!significant && text[i] == '0') ++fractionZeros;
            significant = significant || text[i] != '0';
            canonical += text[i];
        }
    }
    if (digits == 0) return false;
    long exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        canonical += 'e';
        ++i;
        const bool negative = i < text.size() && text[i] == '-';
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) canonical += text[i++];
        size_t exponentDigits = 0;
        for (; i < text.size() && IsDigit(text[i]); ++i, ++exponentDigits) {
            if (exponent < 100000) exponent = exponent * 10 + (text[i] - '0');
            canonical += text[i];
        }
        if (exponentDigits == 0) return false;
        if (negative) exponent = -exponent;
    }
    if (significant)
        out.Order = exponent + (integerDigits > 0 ? integerDigits - 1 : -(fractionZeros + 1));
    else
        out.Order.reset();
    return i == text.size();
}

// A magnitude too small for a double reads as (signed) zero, one too large fails.
bool ConvertDecimal(const TDecimalText& text, double& value) {
    const char* first = text.Canonical.data();
    const char* last = first + text.Canonical.size();
    double result = 0;
    const auto [end, error] = std::from_chars(first, last, result);
    if (end != last) return false;
    if (error == std::errc::result_out_of_range) {
        if (text.Order && *text.Order >= 0) return false;
        result = text.Canonical.front() == '-' ? -0.0 : 0.0;
    } else if (error != std::errc()) {
        return false;
    }
    value = result;
    return true;
}

// The significant digits of `value` rounded to 15, trailing zeros removed, and the
// decimal exponent of the first one.
void SignificantDigits(double value, std::string& digits, int& exponent) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                      std::chars_format::scientific, 14);
    const std::string_view text(buffer, static_cast<size_t>(result.ptr - buffer));
    const size_t e = text.find('e');
    digits.clear();
    for (const char c : text.substr(0, e))
        if (c != '.') digits += c;
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    exponent = 0;
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                    exponent);
}

} // namespace

std::string FloatToStr(double value) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    if (value == 0) return "0";
    std::string digits;
    int exponent = 0;
    SignificantDigits(value, digits, exponent);
    std::string out = value < 0 ? "-" : "";
    const char point = FormatSettings.DecimalSeparator;
    if (exponent >= 15 || exponent < -4) {
        out += digits[0];
        if (digits.size() > 1) {
            out += point;
            out.append(digits, 1);
        }
        out += 'E';
        out += std::to_string(exponent);
    } else if (exponent < 0) {
        out += '0';
        out += point;
        out.append(static_cast<size_t>(-exponent - 1), '0');
        out += digits;
    } else {
        const auto intDigits = static_cast<size_t>(exponent) + 1;
        if (digits.size() <= intDigits) {
            out += digits;
            out.append(intDigits - digits.size(), '0');
        } else {
            out.append(digits, 0, intDigits);
            out += point;
            out.append(digits, intDigits);
        }
    }
    return out;
}

double StrToFloat(std::string_view text) {
    TDecimalText decimal;
    double value = 0;
    if (!ScanDecimal(TrimBlanks(text), FormatSettings.DecimalSeparator, decimal) ||
        !ConvertDecimal(decimal, value))
        throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
    return value;
}

bool TryParseDecimal(std::string_view text, double& value) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    TDecimalText decimal;
    double result = 0;
    if (!ScanDecimal(text, '.', decimal) || !ConvertDecimal(decimal, result)) return false;
    value = result;
    return true;
}

std::string FormatFixed(double value, int decimals) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    // No double has more than 1074 fraction digits; the bound only keeps the
    // arithmetic below in range.
    decimals = std::clamp(decimals, 0, 1 << 20);
    // Enough fraction digits to print the binary value exactly, so that rounding
    // below sees its true decimal expansion: a double m * 2^-k has k of them.
    int exactDecimals = 0;
    if (value != 0) {
        int binaryExponent = 0;
        const double fraction = std::frexp(std::fabs(value), &binaryExponent);
        auto mantissa = static_cast<uint64_t>(std::ldexp(fraction, 53));
        int fractionBits = 53 - binaryExponent;
        while (fractionBits > 0 && (mantissa & 1) == 0) {
            mantissa >>= 1;
            --fractionBits;
        }
        exactDecimals = std::max(fractionBits, 0);
    }
    const int precision = std::max(decimals + 1, exactDecimals);
    std::string buffer(static_cast<size_t>(precision) + 330, '\0');
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                      std::fabs(value), std::chars_format::fixed, precision);
    buffer.resize(static_cast<size_t>(result.ptr - buffer.data()));

    // buffer: integer digits '.' fraction digits, exact. Keep `decimals` of them and
    // round on the next one, away from zero.
    const size_t dot = buffer.find('.');
    std::string digits =
        buffer.substr(0, dot) + buffer.substr(dot + 1, static_cast<size_t>(decimals));
    const bool roundUp = buffer[dot + 1 + static_cast<size_t>(decimals)] >= '5';
    if (roundUp) {
        size_t i = digits.size();
        while (i > 0 && digits[i - 1] == '9')
            digits[--i] = '0';
        if (i == 0)
            digits.insert(digits.begin(), '1');
        else
            ++digits[i - 1];
    }
    const size_t intDigits = digits.size() - static_cast<size_t>(decimals);
    std::string out;
    if (value < 0 && digits.find_first_not_of('0') != std::string::npos) out += '-';
    out.append(digits, 0, intDigits);
    if (decimals > 0) {
        out += '.';
        out.append(digits, intDigits);
    }
    return out;
}

} // namespace tarnis
