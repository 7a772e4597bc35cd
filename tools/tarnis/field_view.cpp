#include "tools/tarnis/field_view.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace tarnis::tool {

namespace {

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

std::string_view Trim(std::string_view s) {
    s = TrimRight(s);
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    return s;
}

bool IsBlank(std::string_view s) {
    return TrimRight(s).empty();
}

enum class Kind { Text, Number, Date, Logical, Memo };

Kind KindOf(const TVO_dBaseFld& table, char type) {
    const bool vfp = table.Version == 0x30;
    switch (type) {
    case 'N':
    case 'F':
        return Kind::Number;
    case 'I':
    case 'Y':
        return vfp ? Kind::Number : Kind::Text;
    case 'B':
        return vfp ? Kind::Number : Kind::Memo;
    case 'D':
        return Kind::Date;
    case 'L':
        return Kind::Logical;
    case 'M':
    case 'G':
        return Kind::Memo;
    default:
        return Kind::Text;
    }
}

} // namespace

std::string JsonString(std::string_view utf8) {
    std::string out = "\"";
    for (const char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (u < 0x20 || u == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

std::string NumberText(double value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string MemoBytes(TVO_dBaseFld& Table, int32_t No) {
    int32_t length = Table.MemoLengthN(No);
    if (length <= 0) return {};
    std::string bytes(static_cast<size_t>(length), '\0');
    Table.ReadMemoN(No, reinterpret_cast<uint8_t*>(bytes.data()), length);
    bytes.resize(static_cast<size_t>(std::max(length, 0)));
    return bytes;
}

std::string FieldJson(TVO_dBaseFld& Table, int32_t No, TCodePage Page) {
    const char type = Table.FieldType(No);
    const std::string_view raw = Table.RawField(No);
    switch (KindOf(Table, type)) {
    case Kind::Number:
        if ((type == 'N' || type == 'F') && IsBlank(raw)) return "null";
        return NumberText(Table.GetNumberN(No));
    case Kind::Date:
        return IsBlank(raw) ? "null" : JsonString(DecodeToUtf8(raw, Page));
    case Kind::Logical:
        if (raw.empty()) return "null";
        if (TrueLetters.find(raw.front()) != std::string_view::npos) return "true";
        if (FalseLetters.find(raw.front()) != std::string_view::npos) return "false";
        return "null";
    case Kind::Memo:
        return JsonString(DecodeToUtf8(MemoBytes(Table, No), Page));
    case Kind::Text:
    default:
        return JsonString(DecodeToUtf8(TrimRight(raw), Page));
    }
}

std::string FieldDisplay(TVO_dBaseFld& Table, int32_t No, TCodePage Page) {
    const char type = Table.FieldType(No);
    const std::string_view raw = Table.RawField(No);
    switch (KindOf(Table, type)) {
    case Kind::Number:
        if (type == 'N' || type == 'F') return std::string(Trim(raw));
        return NumberText(Table.GetNumberN(No));
    case Kind::Memo: {
        std::string text = MemoBytes(Table, No);
        const size_t lineEnd = text.find_first_of("\r\n");
        if (lineEnd != std::string::npos) text = text.substr(0, lineEnd) + "...";
        return DecodeToUtf8(text, Page);
    }
    case Kind::Date:
    case Kind::Logical:
    case Kind::Text:
    default:
        return DecodeToUtf8(TrimRight(raw), Page);
    }
}

} // namespace tarnis::tool
