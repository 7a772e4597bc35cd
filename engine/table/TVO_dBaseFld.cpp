#include "engine/table/TVO_dBaseFld.h"

#include "engine/base/byte_order.h"
#include "engine/base/tv6_Date.h"
#include "engine/base/tv6_eror.h"
#include "engine/base/tv6_tool.h"
#include "engine/table/TtvDBFExpUserLink.h"
#include "engine/table/tv6_memo.h"
#include "platform/code_page.h"
#include "platform/format_settings.h"
#include "platform/os_file.h"

#include <cmath>
#include <cstring>

namespace tarnis {

namespace {

constexpr double MillisecondsPerDay = 86400000.0;
constexpr int32_t DayOfYearOne = 1721425; // day number before 1 January of year 1

// Signed 32-bit values of the binary field types.
int32_t Get32(const uint8_t* p) {
    return static_cast<int32_t>(GetLE32(p));
}
void Put32(uint8_t* p, int32_t v) {
    PutLE32(p, static_cast<uint32_t>(v));
}
// False for values outside the 32-bit range and for not-a-number.
bool FitsInt32(double v) {
    return v >= -2147483648.0 && v <= 2147483647.0;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}
std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    return s;
}

bool IsTrueLetter(char c) {
    return TrueLetters.find(c) != std::string_view::npos;
}

// Placeholder of a memo-like field: the upper-case form when the stored block text
// compares greater than "0" (a longer text with an equal start being greater).
const char* Placeholder(std::string_view blockText, const char* present, const char* absent) {
    return blockText > std::string_view("0") ? present : absent;
}

} // namespace

TVO_dBaseFld::TVO_dBaseFld(const std::string& FileName, bool ReadWrite, bool Shared)
    : TVO_dBaseDBF(FileName, ReadWrite, Shared) {
    int32_t offset = 1;
    for (int32_t no = 1; no <= FieldCount; ++no) {
        uint8_t* d = &Descriptors[static_cast<size_t>(no - 1) * DbfDescriptorSize];
        Put32(d + 12, offset);
        d[26] = static_cast<uint8_t>(no);
        d[27] = static_cast<uint8_t>(no >> 8);
        offset += d[16] + (d[11] == 'C' ? 256 * d[17] : 0);
    }
    Link = std::make_unique<TtvDBFExpUserLink>(this);
}

TVO_dBaseFld::~TVO_dBaseFld() = default;

namespace {

// The 1-based number the layout stored in a descriptor (bytes 26-27).
int32_t NumberOf(const uint8_t* d) {
    return d ? d[26] | (d[27] << 8) : 0;
}

} // namespace

const uint8_t* TVO_dBaseFld::Descriptor(int32_t No) const {
    return &Descriptors[static_cast<size_t>(No - 1) * DbfDescriptorSize];
}

void TVO_dBaseFld::FieldError(int32_t Code, int32_t SubCode, std::string_view Info) {
    ErrorCode = Code;
    SetLastOsError(Code);
    ReportError(Code, SubCode, Info);
}

bool TVO_dBaseFld::IsBinaryField(int32_t No) const {
    if (!IsVfp() || !ValidField(No)) return false;
    const uint8_t* d = Descriptor(No);
    switch (d[11]) {
    case 'G':
    case 'I':
    case 'M':
        return d[16] == 4;
    case 'B':
    case 'T':
    case 'Y':
        return d[16] == 8;
    default:
        return false;
    }
}

// ---- descriptors ----

int32_t TVO_dBaseFld::FieldNumber(std::string_view Name) {
    const std::string_view name = TrimRight(Name);
    if (name.empty() || name.size() > 15) return 0;
    for (int32_t no = 1; no <= FieldCount; ++no) {
        const char* stored = reinterpret_cast<const char*>(Descriptor(no));
        if (AnsiCompareText(std::string_view(stored, strnlen(stored, 11)), name) == 0) return no;
    }
    return 0;
}

const uint8_t* TVO_dBaseFld::FindField(std::string_view Name) {
    const int32_t no = FieldNumber(Name);
    if (no == 0) {
        FieldError(ec::FieldNameInvalid, sc::FieldName, FileName + "->" + std::string(Name));
        return nullptr;
    }
    CurrentField = Descriptor(no);
    return CurrentField;
}

const uint8_t* TVO_dBaseFld::TypedField(std::string_view Name, char Type) {
    const uint8_t* d = FindField(Name);
    if (d == nullptr) return nullptr;
    const char t = static_cast<char>(d[11]);
    const bool accepted =
        t == Type || (Type == 'G' && (t == 'B' || t == 'M')) ||
        (Type == 'N' && (t == 'B' || t == 'F' || t == 'G' || t == 'I' || t == 'M'));
    if (!accepted) {
        FieldError(ec::FieldTypeIncorrect, sc::FieldType, Name);
        return nullptr;
    }
    return d;
}

std::string TVO_dBaseFld::FieldName(int32_t No) {
    if (!ValidField(No)) return {};
    CurrentField = Descriptor(No);
    const char* stored = reinterpret_cast<const char*>(CurrentField);
    return std::string(stored, strnlen(stored, 11));
}

char TVO_dBaseFld::FieldType(int32_t No) {
    if (!ValidField(No)) return 0;
    CurrentField = Descriptor(No);
    return static_cast<char>(CurrentField[11]);
}

int32_t TVO_dBaseFld::FieldLength(int32_t No) {
    if (!ValidField(No)) return 0;
    CurrentField = Descriptor(No);
    return CurrentField[16] + (CurrentField[11] == 'C' ? 256 * CurrentField[17] : 0);
}

int32_t TVO_dBaseFld::FieldDecimals(int32_t No) {
    if (!ValidField(No)) return 0;
    CurrentField = Descriptor(No);
    return CurrentField[11] == 'C' ? 0 : CurrentField[17];
}

int32_t TVO_dBaseFld::FieldOffset(int32_t No) {
    if (!ValidField(No)) return 0;
    CurrentField = Descriptor(No);
    return Get32(CurrentField + 12);
}

// ---- raw characters ----

std::string_view TVO_dBaseFld::RawField(int32_t No) const {
    if (No < 1 || No > FieldCount) return {};
    const uint8_t* d = Descriptor(No);
    const auto* start = reinterpret_cast<const char*>(CurrentRecord + Get32(d + 12));
    const size_t width = static_cast<size_t>(d[16] + (d[11] == 'C' ? 256 * d[17] : 0));
    return {start, strnlen(start, width)};
}

std::string TVO_dBaseFld::GetRawN(int32_t No) {
    if (!ValidField(No)) return {};
    CurrentField = Descriptor(No);
    return std::string(RawField(No));
}

std::string TVO_dBaseFld::GetRaw(std::string_view Name) {
    const int32_t no = NumberOf(FindField(Name));
    return no ? GetRawN(no) : std::string();
}

bool TVO_dBaseFld::PutRawN(int32_t No, std::string_view Text) {
    if (!ValidField(No)) return false;
    const int32_t width = FieldLength(No);
    const char type = FieldType(No);
    uint8_t* field = CurrentRecord + FieldOffset(No);
    std::memset(field, ' ', static_cast<size_t>(width));
    const size_t n = std::min(Text.size(), static_cast<size_t>(width));
    if (n > 0) {
        const bool leftAligned = type == 'C' || type == 'D' || type == 'L';
        std::memcpy(leftAligned ? field : field + (static_cast<size_t>(width) - n), Text.data(), n);
    }
    Notify(NotifyFieldChanged, No);
    return true;
}

bool TVO_dBaseFld::PutRaw(std::string_view Name, std::string_view Text) {
    const int32_t no = NumberOf(FindField(Name));
    return no ? PutRawN(no, Text) : false;
}

// ---- record marks ----

void TVO_dBaseFld::BlankRecord() {
    std::memset(CurrentRecord, ' ', static_cast<size_t>(RecordLength));
    for (int32_t no = 1; no <= FieldCount; ++no) {
        const char t = static_cast<char>(Descriptor(no)[11]);
        if (t == 'F' || t == 'N' || IsBinaryField(no)) PutNumberN(no, 0.0);
    }
    Notify(NotifyBlanked, 0);
}

void TVO_dBaseFld::DeleteRecord() {
    CurrentRecord[0] = '*';
    ReplaceRecord(RecNo);
}

void TVO_dBaseFld::RecallRecord() {
    CurrentRecord[0] = ' ';
    ReplaceRecord(RecNo);
}

// ---- dates ----

int32_t TVO_dBaseFld::GetDateN(int32_t No) {
    if (!ValidField(No)) return 0;
    CurrentField = Descriptor(No);
    const std::string_view raw = RawField(No);
    try {
        return EngineDates.ParseDate(raw);
    } catch (const EConvertError&) {
        FieldError(ec::FieldTypeIncorrect, NoSubCode,
                   "Invalid date in field " + BareFileName(FileName) + "->" + FieldName(No) + " (" +
                       std::string(raw) + ")");
        return 0;
    }
}

int32_t TVO_dBaseFld::GetDate(std::string_view Name) {
    const int32_t no = NumberOf(TypedField(Name, 'D'));
    return no ? GetDateN(no) : -1;
}

bool TVO_dBaseFld::PutDateN(int32_t No, int32_t Jdn) {
    if (!ValidField(No)) return false;
    if (Jdn == -1) {
        FieldError(ec::FieldTypeIncorrect, sc::FieldPutDate, {});
        return false;
    }
    if (FieldType(No) != 'D') return false;
    return PutRawN(No, EngineDates.FormatStored(Jdn));
}

bool TVO_dBaseFld::PutDate(std::string_view Name, int32_t Jdn) {
    const int32_t no = NumberOf(TypedField(Name, 'D'));
    return no ? PutDateN(no, Jdn) : false;
}

// ---- logicals ----

bool TVO_dBaseFld::GetLogicalN(int32_t No) {
    if (!ValidField(No)) return false;
    CurrentField = Descriptor(No);
    const std::string_view raw = RawField(No);
    // The stored text must occur in "TtYyJj"; for the one-character field that is
    // one of those letters.
    return !raw.empty() && TrueLetters.find(raw) != std::string_view::npos;
}

bool TVO_dBaseFld::GetLogical(std::string_view Name) {
    const int32_t no = NumberOf(TypedField(Name, 'L'));
    return no ? GetLogicalN(no) : false;
}

bool TVO_dBaseFld::PutLogicalN(int32_t No, bool Value) {
    if (!ValidField(No)) return false;
    if (FieldType(No) != 'L') {
        FieldError(ec::FieldTypeIncorrect, sc::FieldType, {});
        return false;
    }
    return PutRawN(No, Value ? "T" : "F");
}

bool TVO_dBaseFld::PutLogical(std::string_view Name, bool Value) {
    const int32_t no = NumberOf(TypedField(Name, 'L'));
    return no ? PutLogicalN(no, Value) : false;
}

// ---- numbers ----

double TVO_dBaseFld::GetNumberN(int32_t No) {
    if (!ValidField(No)) return 0.0;
    const char type = FieldType(No);
    const uint8_t* field = CurrentRecord + FieldOffset(No);
    if (IsBinaryField(No)) {
        switch (type) {
        case 'G':
        case 'I':
        case 'M':
            return Get32(field);
        case 'B': {
            double d = 0;
            std::memcpy(&d, field, 8);
            return d;
        }
        case 'T': {
            const bool blankDay = std::memcmp(field, "    ", 4) == 0;
            const bool blankTime = std::memcmp(field + 4, "    ", 4) == 0;
            const double day = blankDay ? 2415019.0 : Get32(field);
            const double ms = blankTime ? 0.0 : Get32(field + 4);
            return (day - DayOfYearOne) * MillisecondsPerDay + ms;
        }
        case 'Y': {
            int64_t v = 0;
            std::memcpy(&v, field, 8);
            return static_cast<double>(v) * 0.0001;
        }
        default:
            break;
        }
    }
    std::string_view text = TrimRight(RawField(No));
    if (text.size() > 31) text = text.substr(0, 31);
    if (text.empty()) return 0.0;
    double value = 0;
    if (!TryParseDecimal(text, value)) {
        FieldError(ec::FieldTypeIncorrect, NoSubCode,
                   "Invalid number in field " + BareFileName(FileName) + "->" + FieldName(No) +
                       " (" + std::string(text) + ")");
        return 0.0;
    }
    return value;
}

double TVO_dBaseFld::GetNumber(std::string_view Name) {
    const int32_t no = NumberOf(TypedField(Name, 'N'));
    return no ? GetNumberN(no) : 0.0;
}

bool TVO_dBaseFld::PutNumberN(int32_t No, double Value) {
    if (!ValidField(No)) return false;
    const char type = FieldType(No);
    const bool accepted = type == 'B' || type == 'F' || type == 'G' || type == 'M' || type == 'N' ||
                          (IsVfp() && (type == 'I' || type == 'T' || type == 'Y'));
    if (!accepted) {
        FieldError(ec::FieldTypeIncorrect, sc::FieldType, {});
        return false;
    }
    if (IsBinaryField(No)) {
        uint8_t* field = CurrentRecord + FieldOffset(No);
        if (type == 'B') {
            std::memcpy(field, &Value, 8);
            Notify(NotifyFieldChanged, No);
            return true;
        }
        // The integers must hold the truncated value: a value beyond their range (or
        // not a number) is too large for the field, as in a decimal field, and the
        // field keeps what it had.
        bool fits = false;
        if (type == 'T') {
            const double day = std::trunc(Value / MillisecondsPerDay);
            const double ms = std::trunc(Value - day * MillisecondsPerDay);
            fits = FitsInt32(day + DayOfYearOne) && FitsInt32(ms);
            if (fits) {
                Put32(field, static_cast<int32_t>(day + DayOfYearOne));
                Put32(field + 4, static_cast<int32_t>(ms));
            }
        } else if (type == 'Y') {
            const double v = std::trunc(Value * 10000.0);
            fits = v >= -9223372036854775808.0 && v < 9223372036854775808.0;
            if (fits) {
                const auto i = static_cast<int64_t>(v);
                std::memcpy(field, &i, 8);
            }
        } else {
            const double v = std::trunc(Value);
            fits = FitsInt32(v);
            if (fits) Put32(field, static_cast<int32_t>(v));
        }
        if (!fits) {
            FieldError(ec::NumberTooLarge, sc::FieldPutNumber,
                       FieldName(No) + " - " + FormatFixed(Value, 0));
            return false;
        }
        Notify(NotifyFieldChanged, No);
        return true;
    }
    const int32_t width = CurrentField[16];
    const int32_t decimals = CurrentField[17];
    // Not-a-number and infinities have no decimal form: they never fit a field.
    const bool finite = std::isfinite(Value);
    const std::string text = finite ? FormatFixed(Value, decimals) : FloatToStr(Value);
    if (!finite || static_cast<int32_t>(text.size()) > width) {
        FieldError(ec::NumberTooLarge, sc::FieldPutNumber, FieldName(No) + " - " + text);
        return false;
    }
    return PutRawN(No, text);
}

bool TVO_dBaseFld::PutNumber(std::string_view Name, double Value) {
    const int32_t no = NumberOf(TypedField(Name, 'N'));
    return no ? PutNumberN(no, Value) : false;
}

// ---- text ----

std::string TVO_dBaseFld::GetTextN(int32_t No) {
    if (!ValidField(No)) return {};
    const char type = FieldType(No);
    const std::string_view text = TrimRight(RawField(No));
    switch (type) {
    case 'D':
        return EngineDates.FormatDisplay(EngineDates.ParseDate(text));
    case 'L':
        return !text.empty() && TrueLetters.find(text) != std::string_view::npos ? "T" : "F";
    case 'M':
        if (IsBinaryField(No))
            return Placeholder(GetNumberN(No) > 0.1 ? "1" : "0", "---MEMO---", "---memo---");
        return Placeholder(TrimLeft(text), "---MEMO---", "---memo---");
    // The binary fields of 0x30 tables hold no text to compare: like a binary memo
    // field, they show the upper-case form for a value above zero.
    case 'G':
        if (IsBinaryField(No))
            return Placeholder(GetNumberN(No) > 0.1 ? "1" : "0", "-GENERAL--", "-general--");
        return Placeholder(TrimLeft(text), "-GENERAL--", "-general--");
    case 'B':
        if (IsBinaryField(No))
            return Placeholder(GetNumberN(No) > 0.1 ? "1" : "0", "--BINARY--", "--binary--");
        return Placeholder(TrimLeft(text), "--BINARY--", "--binary--");
    case 'F':
    case 'N': {
        const std::string_view number = TrimLeft(text);
        if (!number.empty()) return std::string(number);
        return FormatFixed(0.0, CurrentField[17]);
    }
    default:
        return std::string(text);
    }
}

std::string TVO_dBaseFld::GetText(std::string_view Name) {
    const int32_t no = FieldNumber(Name);
    if (no == 0) {
        FieldError(ec::FieldNameInvalid, sc::FieldName, FileName + "->" + std::string(Name));
        return {};
    }
    return GetTextN(no);
}

bool TVO_dBaseFld::PutTextN(int32_t No, std::string_view Text) {
    if (!ValidField(No)) return false;
    switch (FieldType(No)) {
    case 'D':
        return PutDateN(No, EngineDates.ParseDate(Text));
    case 'L': {
        const char first = Text.empty() ? 'F' : Text.front();
        bool value = false;
        if (IsTrueLetter(first)) {
            value = true;
        } else if (FalseLetters.find(first) == std::string_view::npos) {
            double number = 0;
            if (!TryParseDecimal(std::string_view(&first, 1), number)) {
                FieldError(ec::FieldTypeIncorrect, sc::FieldPutLogical, FieldName(No));
                return false;
            }
            value = std::trunc(number) != 0;
        }
        return PutLogicalN(No, value);
    }
    case 'N': {
        std::string_view text = TrimRight(Text);
        if (text.size() > 32) text = text.substr(0, 32);
        double value = 0;
        if (!text.empty() && !TryParseDecimal(text, value)) {
            FieldError(ec::FieldTypeIncorrect, sc::FieldPutNumber, {});
            return false;
        }
        return PutNumberN(No, value);
    }
    default:
        return PutRawN(No, Text);
    }
}

bool TVO_dBaseFld::PutText(std::string_view Name, std::string_view Text) {
    const int32_t no = NumberOf(FindField(Name));
    return no ? PutTextN(no, Text) : false;
}

int32_t TVO_dBaseFld::ExternalFunction(std::string_view, std::string_view, uint8_t*, char&, bool&) {
    return -1;
}

// ---- memos ----

TVobjMemo* TVO_dBaseFld::MemoOf(int32_t No) {
    if (!ValidField(No)) return nullptr;
    const char type = FieldType(No);
    if (type != 'B' && type != 'G' && type != 'M') return nullptr;
    return OpenMemo();
}

namespace {

// A block number as the memo layer takes it: the stored number truncated; anything
// that is not a block number (negative, beyond 32 bits) means no memo.
int32_t BlockOf(double number) {
    const double t = std::trunc(number);
    return t >= 1 && t <= 2147483647.0 ? static_cast<int32_t>(t) : 0;
}

} // namespace

int32_t TVO_dBaseFld::MemoLengthN(int32_t No) {
    TVobjMemo* memo = MemoOf(No);
    return memo ? memo->MemoLength(BlockOf(GetNumberN(No))) : 0;
}

bool TVO_dBaseFld::ReadMemoN(int32_t No, uint8_t* Buffer, int32_t& Length) {
    TVobjMemo* memo = MemoOf(No);
    if (memo == nullptr) return false;
    memo->ReadMemo(Buffer, BlockOf(GetNumberN(No)), Length);
    return true;
}

int32_t TVO_dBaseFld::WriteMemoN(int32_t No, const uint8_t* Data, int32_t& Length) {
    TVobjMemo* memo = MemoOf(No);
    if (memo == nullptr) return 0;
    int32_t block = BlockOf(GetNumberN(No));
    const int32_t result = memo->WriteMemo(Data, block, Length);
    PutNumberN(No, block);
    return result;
}

} // namespace tarnis
