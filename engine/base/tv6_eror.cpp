#include "engine/base/tv6_eror.h"

#include <iterator>

namespace tarnis {

namespace {

struct TErrorText {
    int32_t Code;
    const char* Text;
};

// Searched in this order; the first row with the code wins.
constexpr TErrorText ErrorTexts[] = {
    {2, "File not found"},
    {3, "Path not found"},
    {4, "Too many open files"},
    {5, "File access denied"},
    {12, "Invalid file access code"},
    {15, "Invalid drive number"},
    {32, "File access denied"},
    {33, "Record locked by another user"},
    {100, "Disk read error"},
    {101, "Disk write error"},
    {102, "File not assigned"},
    {103, "File not open"},
    {104, "File not open for input"},
    {105, "File not open for output"},
    {106, "Invalid numeric format"},
    {150, "Disk is write-protected"},
    {152, "Drive not ready"},
    {162, "Hardware failure"},
    {183, "File already exists"},
    {1001, "dBase DBF file header invalid"},
    {1002, "dBase record request beyond EOF"},
    {1003, "dBase field name is invalid"},
    {1004, "dBase field is of incorrect type"},
    {1005, "dBase memo record has format error"},
    {1006, "Formula expression cannot be translated"},
    {1011, "Number too large to fit in field"},
};
static_assert(std::size(ErrorTexts) == 26);

constexpr size_t MaxTextPart = 43;

} // namespace

TEngineErrorProc EngineErrorProc = DefaultEngineError;

void EngineError(int32_t Code, int32_t SubCode, std::string_view Info) {
    EngineErrorProc(Code, SubCode, Info);
}

const char* ErrorText(int32_t Code) {
    for (const auto& row : ErrorTexts)
        if (row.Code == Code) return row.Text;
    return nullptr;
}

std::string EngineErrorMessage(int32_t Code, int32_t SubCode, std::string_view Info) {
    if (const char* text = ErrorText(Code)) {
        std::string message = std::string(text) + " - ";
        if (message.size() > MaxTextPart) message.resize(MaxTextPart);
        message += Info;
        return message;
    }
    std::string message = "Tarnis Error " + std::to_string(Code);
    if (SubCode != NoSubCode) message += ", SubCode " + std::to_string(SubCode);
    message += ".\r";
    if (!Info.empty()) {
        message += ' ';
        message += Info;
        message += '>' + std::to_string(SubCode);
    }
    return message;
}

void DefaultEngineError(int32_t Code, int32_t SubCode, std::string_view Info) {
    if (SubCode < 0 && SubCode != NoSubCode)
        throw ETarnisError("Runtime error " + std::to_string(Code));
    throw ETarnisError(EngineErrorMessage(Code, SubCode, Info));
}

} // namespace tarnis
