// The built-in functions and their registry. Each works in the call's buffer and
// the call node's two scratch buffers, so a call allocates nothing once its buffers
// have grown to the values they carry.
#include "engine/expr/TtvUDF.h"

#include "engine/base/tv6_Date.h"
#include "platform/code_page.h"
#include "platform/format_settings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

namespace tarnis {

namespace {

[[noreturn]] void RaiseInvalid(const char* What) {
    RaiseExpression(std::string("A ") + What + " value is required but invalid");
}

void CheckTextLength(int64_t length) {
    if (length > static_cast<int64_t>(MaxTextResult))
        RaiseExpression("Text result longer than " + std::to_string(MaxTextResult) + " characters");
}

// Truncated toward zero into the 32-bit range; not a number counts as 0.
int32_t TruncInt(double x) {
    if (std::isnan(x)) return 0;
    if (x >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (x <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(x);
}

bool IsNumberType(uint8_t Type) {
    return Type == rtNumber || Type == 5;
}
bool IsDateType(uint8_t Type) {
    return Type == rtDate || Type == 7;
}

// The day number of a date value for the date routines: the truncated value, 0 (the
// blank date) when it lies outside the 32-bit range.
int32_t DayNumber(double d) {
    const double day = std::trunc(d);
    if (!(day >= std::numeric_limits<int32_t>::min() && day <= std::numeric_limits<int32_t>::max()))
        return 0;
    return static_cast<int32_t>(day);
}

// Argument Index as text, left in Buffer; the returned text can be changed in place.
std::string& TextArgument(TtvExpFunction& Node, int32_t Index, TtvExpBuffer& Buffer) {
    uint8_t actual = rtNone;
    Node.GetArgument(Index, Buffer, rtText, actual);
    return Buffer.TextBytes();
}

double NumberArgument(TtvExpFunction& Node, int32_t Index, TtvExpBuffer& Buffer,
                      uint8_t Expected = rtNumber) {
    uint8_t actual = rtNone;
    Node.GetArgument(Index, Buffer, Expected, actual);
    return Buffer.AsNumber();
}

bool TextResult(uint8_t& Type) {
    Type = rtText;
    return true;
}

bool NumberResult(TtvExpBuffer& Buffer, uint8_t& Type, double Value) {
    Buffer.SetNumber(Value);
    Type = rtNumber;
    return true;
}

void TrimLeft(std::string& text) {
    text.erase(0, std::min(text.find_first_not_of(' '), text.size()));
}

void TrimRight(std::string& text) {
    size_t end = text.size();
    while (end > 0 && text[end - 1] == ' ')
        --end;
    text.resize(end);
}

// A whole number computed as a 32-bit integer when it is one.
double AsWholeNumber(double rounded) {
    if (rounded >= std::numeric_limits<int32_t>::min() &&
        rounded <= std::numeric_limits<int32_t>::max())
        return static_cast<double>(static_cast<int32_t>(rounded));
    return rounded;
}

bool ExecuteAt(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type, bool IgnoreCase) {
    std::string& needle = TextArgument(Node, 0, Node.Work[0]);
    std::string& haystack = TextArgument(Node, 1, Node.Work[1]);
    uint8_t actual = rtNone;
    Node.GetArgument(2, Buffer, rtAny, actual);
    int32_t n = IsNumberType(actual) ? TruncInt(Buffer.AsNumber()) : 1;
    if (IgnoreCase) {
        AnsiUpperBuff(needle.data(), needle.size());
        AnsiUpperBuff(haystack.data(), haystack.size());
    }
    size_t result = 0;
    size_t from = 0;
    while (n > 0 && !needle.empty()) {
        const size_t at = haystack.find(needle, from);
        if (at == std::string::npos) break;
        result = at + 1;
        from = at + 1;
        --n;
    }
    return NumberResult(Buffer, Type, static_cast<double>(result));
}

// Writes Value in fixed notation with Decimals digits after a "." into Out, rounded
// half away from zero on the exact decimal value of the double, with a "-" only when
// a digit is not zero: the rule of the platform's FormatFixed, without its heap
// buffer, because STR runs once per record in index builds. False when the text
// would not fit the stack buffers (very many decimals); FormatFixed does those.
bool FormatFixedInto(std::string& Out, double Value, int32_t Decimals) {
    constexpr int32_t MostDecimals = 200;
    if (Decimals > MostDecimals) return false;
    // A double m * 2^-k has k fraction digits; printing them all makes the
    // expansion exact.
    int32_t exactDecimals = 0;
    if (Value != 0) {
        int binaryExponent = 0;
        const double fraction = std::frexp(std::fabs(Value), &binaryExponent);
        auto mantissa = static_cast<uint64_t>(std::ldexp(fraction, 53));
        int32_t fractionBits = 53 - binaryExponent;
        while (fractionBits > 0 && (mantissa & 1) == 0) {
            mantissa >>= 1;
            --fractionBits;
        }
        exactDecimals = std::max(fractionBits, 0);
    }
    const int32_t precision = std::max(Decimals + 1, exactDecimals);
    // digits[0] stays free for a carry out of the first digit.
    char digits[1500];
    const auto printed = std::to_chars(digits + 1, digits + sizeof digits, std::fabs(Value),
                                       std::chars_format::fixed, precision);
    if (printed.ec != std::errc()) return false;
    char* const first = digits + 1;
    char* const point = std::find(first, printed.ptr, '.');
    if (point == printed.ptr) return false;
    const bool roundUp = point[1 + Decimals] >= '5';
    // The kept fraction digits move over the point: first..end is the number
    // without its point.
    std::memmove(point, point + 1, static_cast<size_t>(Decimals));
    char* begin = first;
    char* const end = point + Decimals;
    if (roundUp) {
        char* at = end;
        while (at > begin && at[-1] == '9')
            *--at = '0';
        if (at == begin)
            *--begin = '1';
        else
            ++at[-1];
    }
    const size_t intDigits = static_cast<size_t>(end - begin) - static_cast<size_t>(Decimals);
    Out.clear();
    if (Value < 0 && std::find_if(begin, end, [](char c) { return c != '0'; }) != end) Out += '-';
    Out.append(begin, intDigits);
    if (Decimals > 0) {
        Out += '.';
        Out.append(begin + intDigits, static_cast<size_t>(Decimals));
    }
    return true;
}

// STR's formatting: Value right-aligned in Width characters with Decimals digits.
// Scratch receives the plain text on the way.
void FormatStr(std::string& out, std::string& scratch, double Value, int32_t Width,
               int32_t Decimals) {
    out.clear();
    if (Width <= 0) return;
    CheckTextLength(Width);
    if (Decimals < 0) Decimals = 0;
    // With decimals the text holds at least a digit, the point and the decimals.
    if (std::isfinite(Value) && (Decimals == 0 || static_cast<int64_t>(Decimals) + 2 <= Width)) {
        if (!FormatFixedInto(scratch, Value, Decimals)) scratch = FormatFixed(Value, Decimals);
        if (scratch.size() <= static_cast<size_t>(Width)) {
            out.assign(static_cast<size_t>(Width) - scratch.size(), ' ');
            out += scratch;
            return;
        }
    }
    out.assign(static_cast<size_t>(Width), '*');
}

char SoundexCode(char c) {
    switch (c) {
    case 'B':
    case 'F':
    case 'P':
    case 'V':
        return '1';
    case 'C':
    case 'G':
    case 'J':
    case 'K':
    case 'Q':
    case 'S':
    case 'X':
    case 'Z':
        return '2';
    case 'D':
    case 'T':
        return '3';
    case 'L':
        return '4';
    case 'M':
    case 'N':
        return '5';
    case 'R':
        return '6';
    default:
        return ' ';
    }
}

} // namespace

// ---- ALLTRIM ----

std::string TtvUDFAllTrim::FunctionName() const {
    return "ALLTRIM";
}

bool TtvUDFAllTrim::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    std::string& s = TextArgument(Node, 0, Buffer);
    TrimRight(s);
    TrimLeft(s);
    return TextResult(Type);
}

// ---- ASC ----

std::string TtvUDFAsc::FunctionName() const {
    return "ASC";
}

bool TtvUDFAsc::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    const std::string& s = TextArgument(Node, 0, Buffer);
    const double code = s.empty() ? 0 : static_cast<unsigned char>(s.front());
    return NumberResult(Buffer, Type, code);
}

// ---- AT, ATC ----

std::string TtvUDFAt::FunctionName() const {
    return "AT";
}

bool TtvUDFAt::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    return ExecuteAt(Node, Buffer, Type, false);
}

std::string TtvUDFAtC::FunctionName() const {
    return "ATC";
}

bool TtvUDFAtC::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    return ExecuteAt(Node, Buffer, Type, true);
}

// ---- CEILING, FLOOR ----

std::string TtvUDFCeiling::FunctionName() const {
    return "CEILING";
}

bool TtvUDFCeiling::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    const double x = NumberArgument(Node, 0, Buffer);
    return NumberResult(Buffer, Type, AsWholeNumber(std::ceil(x)));
}

std::string TtvUDFFloor::FunctionName() const {
    return "FLOOR";
}

bool TtvUDFFloor::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    const double x = NumberArgument(Node, 0, Buffer);
    return NumberResult(Buffer, Type, AsWholeNumber(std::floor(x)));
}

// ---- CHR ----

std::string TtvUDFChr::FunctionName() const {
    return "CHR";
}

bool TtvUDFChr::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    const double code = std::trunc(NumberArgument(Node, 0, Buffer));
    if (!(code >= 0 && code <= 255)) RaiseInvalid("Byte");
    std::string& out = Buffer.TextBytes();
    out.clear();
    if (code != 0) out.push_back(static_cast<char>(static_cast<unsigned char>(code)));
    return TextResult(Type);
}

// ---- CTOD, DATE ----

std::string TtvUDFCTOD::FunctionName() const {
    return "CTOD";
}

bool TtvUDFCTOD::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    const std::string& s = TextArgument(Node, 0, Buffer);
    const double date = s.empty() ? BlankDateValue : EngineDates.ParseDate(s);
    Buffer.SetDate(date);
    Type = rtDate;
    return true;
}

std::string TtvUDFDate::FunctionName() const {
    return "DATE";
}

bool TtvUDFDate::Execute(TtvExpFunction& /*Node*/, TtvExpBuffer& Buffer, uint8_t& Type) {
    Buffer.SetDate(EngineDates.Today());
    Type = rtDate;
    return true;
}

// ---- DESCEND ----

std::string TtvUDFDescend::FunctionName() const {
    return "DESCEND";
}

bool TtvUDFDescend::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    uint8_t actual = rtNone;
    Node.GetArgument(0, Buffer, rtAny, actual);
    if (IsDateType(actual)) {
        const double d = Buffer.AsNumber();
        if (d != BlankDateValue) Buffer.ReplaceNumber(5231808 - d);
    } else if (IsNumberType(actual)) {
        const double x = Buffer.AsNumber();
        if (x != 0) Buffer.ReplaceNumber(-x);
    } else if (actual == rtText) {
        for (char& c : Buffer.TextBytes())
            c = static_cast<char>((256 - static_cast<unsigned char>(c)) % 256);
    } else if (actual == rtLogical) {
        Buffer.SetLogical(!Buffer.AsLogical());
    } else if (Buffer.Size() > 0) {
        Buffer.MutableData()[0] = 0;
    }
    Type = actual;
    return true;
}

// ---- DOW, DTOC, DTOS ----

std::string TtvUDFDOW::FunctionName() const {
    return "DOW";
}

bool TtvUDFDOW::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    const double d = NumberArgument(Node, 0, Buffer, rtDate);
    const int32_t day = d == BlankDateValue ? 0 : DayNumber(d);
    return NumberResult(Buffer, Type, day <= 0 ? 0 : EngineDates.WeekDay(day));
}

std::string TtvUDFDTOC::FunctionName() const {
    return "DTOC";
}

bool TtvUDFDTOC::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    const double d = NumberArgument(Node, 0, Buffer, rtDate);
    uint8_t mode = rtNone;
    Node.GetArgument(1, Buffer, rtAny, mode);
    const bool stored = IsNumberType(mode) && Buffer.AsNumber() == 1;
    std::string& out = Buffer.TextBytes();
    out.clear();
    if (d != BlankDateValue)
        out = stored ? EngineDates.FormatStored(DayNumber(d))
                     : EngineDates.FormatDisplay(DayNumber(d));
    return TextResult(Type);
}

std::string TtvUDFDTOS::FunctionName() const {
    return "DTOS";
}

bool TtvUDFDTOS::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    const double d = NumberArgument(Node, 0, Buffer, rtDate);
    std::string& out = Buffer.TextBytes();
    out.clear();
    if (d != BlankDateValue) out = EngineDates.FormatStored(DayNumber(d));
    return TextResult(Type);
}

// ---- EMPTY ----

std::string TtvUDFEmpty::FunctionName() const {
    return "EMPTY";
}

bool TtvUDFEmpty::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    uint8_t actual = rtNone;
    Node.GetArgument(0, Buffer, rtAny, actual);
    bool empty = false;
    if (IsDateType(actual))
        empty = Buffer.AsNumber() == BlankDateValue;
    else if (IsNumberType(actual))
        empty = Buffer.AsNumber() == 0;
    else if (actual == rtText)
        empty = Buffer.AsText().empty();
    else if (actual == rtLogical)
        empty = !Buffer.AsLogical();
    Buffer.SetLogical(empty);
    Type = rtLogical;
    return true;
}

// ---- IIF ----

std::string TtvUDFIIF::FunctionName() const {
    return "IIF";
}

bool TtvUDFIIF::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    uint8_t actual = rtNone;
    Node.GetArgument(0, Buffer, rtLogical, actual);
    const bool condition = Buffer.FirstByte() != 0;
    Node.GetArgument(condition ? 1 : 2, Buffer, rtAny, Type);
    return true;
}

// ---- INT ----

std::string TtvUDFInt::FunctionName() const {
    return "INT";
}

bool TtvUDFInt::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    const double x = std::trunc(NumberArgument(Node, 0, Buffer));
    // A whole number with no sign of its own: INT(-0.5) is 0, not -0.
    return NumberResult(Buffer, Type, x == 0 ? 0.0 : x);
}

// ---- LEFT, RIGHT, LEN ----

std::string TtvUDFLeft::FunctionName() const {
    return "LEFT";
}

bool TtvUDFLeft::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    TextArgument(Node, 0, Buffer);
    const double n = NumberArgument(Node, 1, Node.Work[0]);
    std::string& s = Buffer.TextBytes();
    if (!(n > 0.01))
        s.clear();
    else if (static_cast<size_t>(TruncInt(n)) < s.size())
        s.resize(static_cast<size_t>(TruncInt(n)));
    return TextResult(Type);
}

std::string TtvUDFRight::FunctionName() const {
    return "RIGHT";
}

bool TtvUDFRight::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    TextArgument(Node, 0, Buffer);
    const int32_t n = TruncInt(NumberArgument(Node, 1, Node.Work[0]));
    std::string& s = Buffer.TextBytes();
    if (n <= 0)
        s.clear();
    else if (static_cast<size_t>(n) < s.size())
        s.erase(0, s.size() - static_cast<size_t>(n));
    return TextResult(Type);
}

std::string TtvUDFLen::FunctionName() const {
    return "LEN";
}

bool TtvUDFLen::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    const std::string& s = TextArgument(Node, 0, Buffer);
    return NumberResult(Buffer, Type, static_cast<double>(s.size()));
}

// ---- LOWER, UPPER ----

std::string TtvUDFLower::FunctionName() const {
    return "LOWER";
}

bool TtvUDFLower::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    std::string& s = TextArgument(Node, 0, Buffer);
    AnsiLowerBuff(s.data(), s.size());
    return TextResult(Type);
}

std::string TtvUDFUpper::FunctionName() const {
    return "UPPER";
}

bool TtvUDFUpper::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    std::string& s = TextArgument(Node, 0, Buffer);
    AnsiUpperBuff(s.data(), s.size());
    return TextResult(Type);
}

// ---- LTRIM, TRIM, RTRIM ----

std::string TtvUDFLTrim::FunctionName() const {
    return "LTRIM";
}

bool TtvUDFLTrim::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    TrimLeft(TextArgument(Node, 0, Buffer));
    return TextResult(Type);
}

std::string TtvUDFTrim::FunctionName() const {
    return "TRIM";
}

bool TtvUDFTrim::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    TrimRight(TextArgument(Node, 0, Buffer));
    return TextResult(Type);
}

std::string TtvUDFRTrim::FunctionName() const {
    return "RTRIM";
}

// ---- PADC, PADL, PADR ----

bool TtvUDFPadMain::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    uint8_t actual = rtNone;
    Node.GetArgument(2, Buffer, rtText, actual);
    char fill = ' ';
    if (actual != rtAbsent) {
        const std::string_view given = Buffer.AsText();
        if (actual != rtText || given.size() != 1) RaiseInvalid("Char");
        fill = given.front();
    }
    TextArgument(Node, 0, Buffer);
    const int32_t n = TruncInt(NumberArgument(Node, 1, Node.Work[0]));
    std::string& s = Buffer.TextBytes();
    if (n <= 0) {
        s.clear();
    } else if (s.size() < static_cast<size_t>(n)) {
        CheckTextLength(n);
        const size_t missing = static_cast<size_t>(n) - s.size();
        const size_t leading = LeadingFill(missing);
        s.insert(0, leading, fill);
        s.append(missing - leading, fill);
    } else {
        s.resize(static_cast<size_t>(n));
    }
    return TextResult(Type);
}

size_t TtvUDFPadMain::LeadingFill(size_t /*Missing*/) const {
    return 0;
}

std::string TtvUDFPadC::FunctionName() const {
    return "PADC";
}
size_t TtvUDFPadC::LeadingFill(size_t Missing) const {
    return Missing / 2;
}

std::string TtvUDFPadL::FunctionName() const {
    return "PADL";
}
size_t TtvUDFPadL::LeadingFill(size_t Missing) const {
    return Missing;
}

std::string TtvUDFPadR::FunctionName() const {
    return "PADR";
}

// ---- SOUNDEX ----

std::string TtvUDFSoundex::FunctionName() const {
    return "SOUNDEX";
}

bool TtvUDFSoundex::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    std::string& s = TextArgument(Node, 0, Buffer);
    if (s.empty()) {
        s.assign("0000");
        return TextResult(Type);
    }
    AnsiUpperBuff(s.data(), s.size());
    // The code is built over the text itself: it never runs ahead of the reading.
    size_t kept = 1;
    char last = s.front();
    for (size_t i = 1; i < s.size(); ++i) {
        const char code = SoundexCode(s[i]);
        if (code != ' ' && code != last) {
            s[kept++] = code;
            last = code;
        }
    }
    s.resize(kept);
    s.resize(4, '0');
    return TextResult(Type);
}

// ---- SPACE ----

std::string TtvUDFSpace::FunctionName() const {
    return "SPACE";
}

bool TtvUDFSpace::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    const int32_t n = TruncInt(NumberArgument(Node, 0, Buffer));
    CheckTextLength(n);
    std::string& out = Buffer.TextBytes();
    out.assign(n > 0 ? static_cast<size_t>(n) : 0, ' ');
    return TextResult(Type);
}

// ---- STR, STRZERO ----

std::string TtvUDFStr::FunctionName() const {
    return "STR";
}

bool TtvUDFStr::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    const double x = NumberArgument(Node, 0, Buffer);
    const int32_t fieldWidth = Buffer.NumberWidth();
    uint8_t actual = rtNone;
    Node.GetArgument(1, Buffer, rtAny, actual);
    int32_t width = 0;
    int32_t decimals = 0;
    if (IsNumberType(actual)) {
        width = TruncInt(Buffer.AsNumber());
        Node.GetArgument(2, Buffer, rtAny, actual);
        if (IsNumberType(actual)) decimals = TruncInt(Buffer.AsNumber());
    } else {
        const TtvExpUserLink* link = Node.Handler == nullptr ? nullptr : Node.Handler->Link;
        width = link == nullptr ? 10 : link->DefaultNumberWidth;
        if (width == -1) width = fieldWidth > 0 ? fieldWidth : 10;
    }
    Node.Work[0].Clear();
    FormatStr(Buffer.TextBytes(), Node.Work[0].TextBytes(), x, width, decimals);
    return TextResult(Type);
}

std::string TtvUDFStrZero::FunctionName() const {
    return "STRZERO";
}

bool TtvUDFStrZero::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    TtvUDFStr::Execute(Node, Buffer, Type);
    for (char& c : Buffer.TextBytes()) {
        if (c != ' ') break;
        c = '0';
    }
    return true;
}

// ---- SUBSTR ----

std::string TtvUDFSubStr::FunctionName() const {
    return "SUBSTR";
}

bool TtvUDFSubStr::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    TextArgument(Node, 0, Buffer);
    const int32_t start = TruncInt(NumberArgument(Node, 1, Node.Work[0]));
    uint8_t actual = rtNone;
    Node.GetArgument(2, Node.Work[0], rtAny, actual);
    std::string& s = Buffer.TextBytes();
    const int64_t length = static_cast<int64_t>(s.size());
    if (start < 1 || start > length) {
        s.clear();
        return TextResult(Type);
    }
    int64_t count = IsNumberType(actual) ? TruncInt(Node.Work[0].AsNumber()) : length;
    count = std::min(count, length - start + 1);
    if (count <= 0) {
        s.clear();
        return TextResult(Type);
    }
    s.resize(static_cast<size_t>(start - 1 + count));
    s.erase(0, static_cast<size_t>(start - 1));
    return TextResult(Type);
}

// ---- VAL ----

std::string TtvUDFVal::FunctionName() const {
    return "VAL";
}

bool TtvUDFVal::Execute(TtvExpFunction& Node, TtvExpBuffer& Buffer, uint8_t& Type) {
    // The locale's text-to-float rule (the decimal separator, blanks around), read
    // without its conversion error: text that is not a number is common in data,
    // and an exception per record is neither cheap nor free of allocations. The
    // text is put into the form of a number with a period and read by
    // TryParseDecimal, which takes leading blanks itself.
    std::string& s = TextArgument(Node, 0, Buffer);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.pop_back();
    const char separator = FormatSettings.DecimalSeparator;
    double value = 0;
    if (separator == '.' || s.find('.') == std::string::npos) {
        if (separator != '.') std::replace(s.begin(), s.end(), separator, '.');
        if (s.empty() || !TryParseDecimal(s, value)) value = 0;
    }
    return NumberResult(Buffer, Type, value);
}

// ---------------------------------------------------------------------------
// The registry
// ---------------------------------------------------------------------------

namespace {

TtvFunctionReg MakeBuiltinFunctions() {
    TtvFunctionReg functions;
    functions.Add(std::make_unique<TtvUDFAllTrim>());
    functions.Add(std::make_unique<TtvUDFAsc>());
    functions.Add(std::make_unique<TtvUDFAt>());
    functions.Add(std::make_unique<TtvUDFAtC>());
    functions.Add(std::make_unique<TtvUDFCeiling>());
    functions.Add(std::make_unique<TtvUDFChr>());
    functions.Add(std::make_unique<TtvUDFCTOD>());
    functions.Add(std::make_unique<TtvUDFDate>());
    functions.Add(std::make_unique<TtvUDFDescend>());
    functions.Add(std::make_unique<TtvUDFDOW>());
    functions.Add(std::make_unique<TtvUDFDTOC>());
    functions.Add(std::make_unique<TtvUDFDTOS>());
    functions.Add(std::make_unique<TtvUDFEmpty>());
    functions.Add(std::make_unique<TtvUDFFloor>());
    functions.Add(std::make_unique<TtvUDFIIF>());
    functions.Add(std::make_unique<TtvUDFInt>());
    functions.Add(std::make_unique<TtvUDFLeft>());
    functions.Add(std::make_unique<TtvUDFLen>());
    functions.Add(std::make_unique<TtvUDFLower>());
    functions.Add(std::make_unique<TtvUDFLTrim>());
    functions.Add(std::make_unique<TtvUDFPadC>());
    functions.Add(std::make_unique<TtvUDFPadL>());
    functions.Add(std::make_unique<TtvUDFPadR>());
    functions.Add(std::make_unique<TtvUDFRight>());
    functions.Add(std::make_unique<TtvUDFRTrim>());
    functions.Add(std::make_unique<TtvUDFSoundex>());
    functions.Add(std::make_unique<TtvUDFSpace>());
    functions.Add(std::make_unique<TtvUDFStr>());
    functions.Add(std::make_unique<TtvUDFStrZero>());
    functions.Add(std::make_unique<TtvUDFSubStr>());
    functions.Add(std::make_unique<TtvUDFTrim>());
    functions.Add(std::make_unique<TtvUDFUpper>());
    functions.Add(std::make_unique<TtvUDFVal>());
    return functions;
}

} // namespace

// Only running out of memory at start-up can make this throw, and that ends the
// program anyway.
const TtvFunctionReg BuiltinFunctions = MakeBuiltinFunctions(); // NOLINT(cert-err58-cpp)

} // namespace tarnis
